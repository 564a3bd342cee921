// Reads a disk through Disk_Read in 128 KiB requests and reports its
// throughput as a ratio to plain pread of the same number of bytes from a raw
// file, both measured in this run (best of several alternating rounds).
//
//   read_bench_user|read_bench_kern [--image PATH] [--raw PATH] [--size MiB] [--rounds N]
//
// With no --image, a raw image of --size MiB (default 256) is made in $TMPDIR
// and opened as a raw disk; --raw names the baseline file (default: the image).
// An --image is opened by format recognition (Disk_Open).
#include "Disk.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kChunk = 128 * 1024;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double PlainPass(const std::string& path, std::uint64_t bytes, std::vector<char>& buf)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t pos = 0; pos < bytes; pos += kChunk)
        if (::pread(fd, buf.data(), kChunk, static_cast<off_t>(pos)) < 0)
            std::exit(1);
    const double s = Seconds(t);
    ::close(fd);
    return s;
}

double DiskPass(qim::Disk* disk, std::uint64_t bytes, std::vector<char>& buf)
{
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t pos = 0; pos < bytes; pos += kChunk)
        if (qim::Disk_Read64(disk, pos, kChunk, buf.data()) != 0) {
            std::fprintf(stderr, "Disk_Read failed at %llu\n", static_cast<unsigned long long>(pos));
            std::exit(1);
        }
    return Seconds(t);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string image, raw;
    std::uint64_t sizeMiB = 256;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--image") == 0)
            image = argv[i + 1];
        else if (std::strcmp(argv[i], "--raw") == 0)
            raw = argv[i + 1];
        else if (std::strcmp(argv[i], "--size") == 0)
            sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
    }

    std::string made;
    qim::Disk disk;
    qim::Disk_Construct(&disk);
    if (image.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        made = std::string(tmp != nullptr ? tmp : "/tmp") + "/qim_read_bench_" + std::to_string(::getpid()) + ".img";
        std::vector<char> fill(kChunk);
        const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (std::uint64_t pos = 0; pos < (sizeMiB << 20); pos += kChunk) {
            for (std::size_t j = 0; j < fill.size(); j += 512)
                std::memcpy(&fill[j], &pos, sizeof pos);
            if (::write(fd, fill.data(), kChunk) != static_cast<ssize_t>(kChunk))
                return 1;
        }
        ::close(fd);
        image = made;
        const qim::DiskInfo info = {static_cast<std::uint32_t>((sizeMiB << 20) / 512), 16, 63, 512};
        if (qim::Disk_OpenBeta(&disk, image.c_str(), 1, 0, &info) != 0)
            return 1;
    } else if (qim::Disk_Open(&disk, image.c_str(), 1) != 0) {
        std::fprintf(stderr, "%s: no driver accepts the image\n", image.c_str());
        return 1;
    }
    if (raw.empty())
        raw = image;

    qim::DiskInfo info{};
    qim::Disk_GetDiskInfo(&disk, &info);
    std::uint64_t bytes = std::uint64_t{info.dwTotalSectors} * info.dwBytesPerSector;
    bytes -= bytes % kChunk;
    struct stat st {};
    if (::stat(raw.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) < bytes)
        bytes = static_cast<std::uint64_t>(st.st_size) - static_cast<std::uint64_t>(st.st_size) % kChunk;

    std::vector<char> buf(kChunk);
    PlainPass(raw, bytes, buf);  // warm the page cache for both
    DiskPass(&disk, bytes, buf);
    double plain = 1e9, through = 1e9;
    for (int r = 0; r < rounds; ++r) {
        plain = std::min(plain, PlainPass(raw, bytes, buf));
        through = std::min(through, DiskPass(&disk, bytes, buf));
    }
    const std::uint32_t type = disk.dwType;
    qim::Disk_Close(&disk);
    if (!made.empty())
        ::unlink(made.c_str());

    const double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("disk type 0x%X, %.0f MiB in 128 KiB requests\n", type, mib);
    std::printf("plain pread : %8.1f MiB/s\n", mib / plain);
    std::printf("Disk_Read   : %8.1f MiB/s\n", mib / through);
    std::printf("ratio       : %.3f\n", plain / through);
    return 0;
}
