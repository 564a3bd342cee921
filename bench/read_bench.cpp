// SPDX-License-Identifier: MIT
// Reads a disk through Disk_Read in 128 KiB requests and reports its
// throughput as a ratio to plain pread of the same number of bytes from a raw
// file, both measured in this run (best of several alternating rounds).
//
//   read_bench_user|read_bench_kern [--image PATH] [--raw PATH] [--size MiB] [--rounds N]
//                                   [--format vmware3] [--vmdk 1] [--vpc 1]
//
// With no --image, a raw image of --size MiB (default 256) is made in $TMPDIR
// and opened as a raw disk; --raw names the baseline file (default: the image).
// An --image is opened by format recognition (Disk_Open).
// --format vmware3 makes a fully allocated VMware 3 disk of the raw image's
// bytes and reads it instead; it also reports first writes (the whole disk
// written into an empty VMware 3 disk) as a ratio to plain writes of a new file.
// --vmdk 1 instead fills an empty VMware 4 monolithic disk and then an empty
// redo log over it with the raw image's bytes (first writes, as a ratio to
// plain writes of a new file) and reads each back, fully allocated (as a ratio
// to plain reads of the raw image).
//
// --vpc 1 builds Virtual PC images of --size MiB instead: a fully allocated
// dynamic image and a differencing image holding every sector over an empty
// parent, each read against plain pread of a raw file of the same bytes; then
// an empty dynamic image and an empty differencing image written whole (every
// write a first write, every block allocated) against plain pwrite of the
// same bytes to a new file.
#include "Disk.h"
#include "CowdImage.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

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

void MakeRawFile(const std::string& path, std::uint64_t bytes)
{
    std::vector<char> fill(kChunk);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (std::uint64_t pos = 0; pos < bytes; pos += kChunk) {
        for (std::size_t j = 0; j < fill.size(); j += 512)
            std::memcpy(&fill[j], &pos, sizeof pos);
        if (fd < 0 || ::write(fd, fill.data(), kChunk) != static_cast<ssize_t>(kChunk))
            std::exit(1);
    }
    ::close(fd);
}

void Evict(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fdatasync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
        std::exit(1);
    ::close(fd);
}

// The whole of an empty VMware 3 disk written through Disk_Write, close included.
double FirstWritePass(const std::string& path, std::uint32_t sectors, std::vector<char>& buf)
{
    qimtest::WriteCowdDisk(path, {.totalSectors = sectors}, {});
    qim::Disk disk;
    qim::Disk_Construct(&disk);
    if (qim::Disk_Open(&disk, path.c_str(), 0) != 0)
        std::exit(1);
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t pos = 0; pos + kChunk <= std::uint64_t{sectors} * 512; pos += kChunk)
        if (qim::Disk_Write64(&disk, pos, kChunk, buf.data()) != 0)
            std::exit(1);
    qim::Disk_Close(&disk);
    const double s = Seconds(t);
    ::unlink(path.c_str());
    return s;
}

double PlainWritePass(const std::string& path, std::uint64_t bytes, std::vector<char>& buf)
{
    const auto t = std::chrono::steady_clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (std::uint64_t pos = 0; pos + kChunk <= bytes; pos += kChunk)
        if (fd < 0 || ::pwrite(fd, buf.data(), kChunk, static_cast<off_t>(pos)) != static_cast<ssize_t>(kChunk))
            std::exit(1);
    ::close(fd);
    const double s = Seconds(t);
    ::unlink(path.c_str());
    return s;
}

// Writes the raw file's bytes into the disk, every chunk a first write.
double FillPass(qim::Disk* disk, const std::string& raw, std::uint64_t bytes, std::vector<char>& buf)
{
    const int fd = ::open(raw.c_str(), O_RDONLY);
    double s = 0;
    for (std::uint64_t pos = 0; pos < bytes; pos += kChunk) {
        if (::pread(fd, buf.data(), kChunk, static_cast<off_t>(pos)) != static_cast<ssize_t>(kChunk))
            std::exit(1);
        const auto t = std::chrono::steady_clock::now();
        if (qim::Disk_Write64(disk, pos, kChunk, buf.data()) != 0) {
            std::fprintf(stderr, "Disk_Write failed at %llu\n", static_cast<unsigned long long>(pos));
            std::exit(1);
        }
        s += Seconds(t);
    }
    ::close(fd);
    return s;
}

// A monolithic disk, then a redo log over it: first writes and full reads of each.
int VmdkBench(const std::string& raw, std::uint64_t bytes, int rounds)
{
    const std::string dir = raw.substr(0, raw.rfind('/') + 1);
    const std::string base = dir + "qim_bench_base.vmdk", redo = dir + "qim_bench_redo.vmdk";
    const std::string scratch = dir + "qim_bench_plain.tmp";
    const qimtest::Bytes none(bytes, 0);
    std::vector<char> buf(kChunk);
    std::vector<std::string> files = {base, redo};
    for (const bool isRedo : {false, true}) {
        const std::string path = isRedo ? redo : base;
        double plainWrite = 1e9, firstWrite = 1e9, plainRead = 1e9, read = 1e9;
        for (int r = 0; r < rounds; ++r) {
            if (isRedo) {
                for (const std::string& f : qimtest::WriteVmdkRedo(redo, "qim_bench_base.vmdk", none, none,
                                                                   {static_cast<std::uint32_t>(bytes / 512)}))
                    files.push_back(f);
            } else {
                qimtest::WriteVmdkMonolithic(base, none);
            }
            qim::Disk disk;
            qim::Disk_Construct(&disk);
            if (qim::Disk_Open(&disk, path.c_str(), 0) != 0)
                return 1;
            plainWrite = std::min(plainWrite, PlainWritePass(scratch, bytes, buf));
            firstWrite = std::min(firstWrite, FillPass(&disk, raw, bytes, buf));
            qim::Disk_Close(&disk);
            if (qim::Disk_Open(&disk, path.c_str(), 1) != 0)
                return 1;
            DiskPass(&disk, bytes, buf);
            plainRead = std::min(plainRead, PlainPass(raw, bytes, buf));
            read = std::min(read, DiskPass(&disk, bytes, buf));
            qim::Disk_Close(&disk);
        }
        const double mib = static_cast<double>(bytes) / (1 << 20);
        std::printf("%s, %.0f MiB in 128 KiB requests\n", isRedo ? "VMware 4 redo log" : "VMware 4 monolithic", mib);
        std::printf("  first writes: %8.1f MiB/s, plain writes %8.1f MiB/s, ratio %.3f\n", mib / firstWrite,
                    mib / plainWrite, plainWrite / firstWrite);
        std::printf("  full reads  : %8.1f MiB/s, plain reads  %8.1f MiB/s, ratio %.3f\n", mib / read,
                    mib / plainRead, plainRead / read);
    }
    for (const std::string& f : files)
        ::unlink(f.c_str());
    return 0;
}

double DiskWritePass(const std::string& image, std::uint64_t bytes, const std::vector<char>& buf)
{
    qim::Disk disk;
    qim::Disk_Construct(&disk);
    if (qim::Disk_Open(&disk, image.c_str(), 0) != 0)
        std::exit(1);
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t pos = 0; pos < bytes; pos += kChunk)
        if (qim::Disk_Write64(&disk, pos, kChunk, buf.data()) != 0) {
            std::fprintf(stderr, "Disk_Write failed at %llu\n", static_cast<unsigned long long>(pos));
            std::exit(1);
        }
    const double s = Seconds(t);
    qim::Disk_Close(&disk);
    return s;
}

// Reads of fully allocated images and first writes into empty ones, each as
// a ratio to plain file I/O of the same bytes in this run.
int VpcBench(std::uint64_t sizeMiB, int rounds)
{
    using namespace qimtest;
    TempDir dir;
    const VpcGeometry geometry = {static_cast<std::uint16_t>(sizeMiB * 2), 16, 64};
    const std::uint64_t bytes = geometry.bytes();
    Bytes disk(bytes);
    for (std::uint64_t pos = 0; pos < bytes; pos += 512)
        std::memcpy(&disk[pos], &pos, sizeof pos);
    const Bytes zeros(bytes, 0);
    const std::string raw = dir.file("raw.img"), dynamic = dir.file("full.vhd"), empty = dir.file("empty.vhd"),
                      child = dir.file("child.vhd"), scratch = dir.file("plain.bin");
    WriteFile(raw, disk);
    WriteVpcSparse(dynamic, {.geometry = geometry}, disk);
    WriteVpcSparse(empty, {.geometry = geometry}, zeros);
    WriteVpcSparse(child, {.geometry = geometry, .parent = empty, .present = std::vector<bool>(geometry.sectors(), true)},
                   disk);

    std::vector<char> buf(kChunk);
    for (const std::string& image : {dynamic, child}) {
        qim::Disk d;
        qim::Disk_Construct(&d);
        if (qim::Disk_Open(&d, image.c_str(), 1) != 0)
            return 1;
        double plain = 1e9, through = 1e9;
        DiskPass(&d, bytes, buf);
        for (int r = 0; r < rounds; ++r) {
            plain = std::min(plain, PlainPass(raw, bytes, buf));
            through = std::min(through, DiskPass(&d, bytes, buf));
        }
        std::printf("read  %-12s %5llu MiB fully allocated: ratio to pread %.3f\n",
                    d.dwType == qim::DISK_VIRTUALPC ? "dynamic" : "differencing",
                    static_cast<unsigned long long>(sizeMiB), plain / through);
        qim::Disk_Close(&d);
    }

    std::memset(buf.data(), 0x5A, buf.size());
    const std::string fresh = dir.file("fresh.vhd");
    for (const bool differencing : {false, true}) {
        double plain = 1e9, through = 1e9;
        for (int r = 0; r < rounds; ++r) {
            VpcSparseLayout layout{.geometry = geometry};
            if (differencing) {
                layout.parent = empty;
                layout.present.assign(geometry.sectors(), false);
            }
            WriteVpcSparse(fresh, layout, zeros);
            plain = std::min(plain, PlainWritePass(scratch, bytes, buf));
            through = std::min(through, DiskWritePass(fresh, bytes, buf));
        }
        std::printf("write %-12s %5llu MiB, all first writes: ratio to pwrite %.3f\n",
                    differencing ? "differencing" : "dynamic", static_cast<unsigned long long>(sizeMiB),
                    plain / through);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string image, raw, format;
    std::uint64_t sizeMiB = 256;
    int rounds = 5;
    bool vmdk = false;
    bool vpc = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--image") == 0)
            image = argv[i + 1];
        else if (std::strcmp(argv[i], "--raw") == 0)
            raw = argv[i + 1];
        else if (std::strcmp(argv[i], "--size") == 0)
            sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--format") == 0)
            format = argv[i + 1];
        else if (std::strcmp(argv[i], "--vmdk") == 0)
            vmdk = std::atoi(argv[i + 1]) != 0;
        else if (std::strcmp(argv[i], "--vpc") == 0)
            vpc = std::atoi(argv[i + 1]) != 0;
    }
    if (vpc) {
        return VpcBench(sizeMiB, rounds);
    }

    std::string made, madeCowd;
    qim::Disk disk;
    qim::Disk_Construct(&disk);
    const char* tmp = std::getenv("TMPDIR");
    const std::string prefix = std::string(tmp != nullptr ? tmp : "/tmp") + "/qim_read_bench_" + std::to_string(::getpid());
    // VMware 3 disks come in whole cylinders of 1008 sectors.
    const auto cowdSectors = static_cast<std::uint32_t>((sizeMiB << 11) / 1008 * 1008);
    if (format == "vmware3") {
        made = prefix + ".img";
        madeCowd = prefix + ".vmdk";
        MakeRawFile(made, std::uint64_t{cowdSectors} * 512);
        std::vector<std::uint8_t> bytes(std::uint64_t{cowdSectors} * 512);
        const int fd = ::open(made.c_str(), O_RDONLY);
        if (fd < 0 || ::pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
            return 1;
        ::close(fd);
        qimtest::WriteCowdDisk(madeCowd, {.totalSectors = cowdSectors, .allocateAll = true}, {{0, std::move(bytes)}});
        image = madeCowd;
        raw = made;
        // The page cache keeps a file as it was written (the builder writes
        // 64 KiB pieces, the raw file 128 KiB ones), which alone changes copy
        // speed by half: both files are read back from the disk instead.
        Evict(made);
        Evict(madeCowd);
        if (qim::Disk_Open(&disk, image.c_str(), 1) != 0)
            return 1;
    } else if (image.empty()) {
        made = prefix + ".img";
        MakeRawFile(made, sizeMiB << 20);
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
    if (vmdk) {
        qim::Disk_Close(&disk);
        const int rc = VmdkBench(raw, sizeMiB << 20, rounds);
        if (!made.empty())
            ::unlink(made.c_str());
        return rc;
    }

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
    if (!madeCowd.empty())
        ::unlink(madeCowd.c_str());

    const double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("disk type 0x%X, %.0f MiB in 128 KiB requests\n", type, mib);
    std::printf("plain pread : %8.1f MiB/s\n", mib / plain);
    std::printf("Disk_Read   : %8.1f MiB/s\n", mib / through);
    std::printf("ratio       : %.3f\n", plain / through);
    if (format == "vmware3") {
        for (std::size_t j = 0; j < buf.size(); ++j)
            buf[j] = static_cast<char>(j % 251 + 1);
        double plainWrite = 1e9, firstWrite = 1e9;
        const std::uint64_t written = std::uint64_t{cowdSectors} * 512 / kChunk * kChunk;
        for (int r = 0; r < rounds; ++r) {
            plainWrite = std::min(plainWrite, PlainWritePass(prefix + ".w.img", written, buf));
            firstWrite = std::min(firstWrite, FirstWritePass(prefix + ".w.vmdk", cowdSectors, buf));
        }
        const double wmib = static_cast<double>(written) / (1 << 20);
        std::printf("first writes, %.0f MiB into an empty VMware 3 disk\n", wmib);
        std::printf("plain pwrite: %8.1f MiB/s\n", wmib / plainWrite);
        std::printf("Disk_Write  : %8.1f MiB/s\n", wmib / firstWrite);
        std::printf("ratio       : %.3f\n", plainWrite / firstWrite);
    }
    return 0;
}
