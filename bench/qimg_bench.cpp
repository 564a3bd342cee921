// SPDX-License-Identifier: MIT
// qimg convert against qemu-img convert -O raw of the same fully allocated
// VMware 4 and Virtual PC images, both writing to tmpfs, in one run. Prints
// each program's best time and the ratio qemu-img time / qimg time (above 1:
// qimg is faster), and for every sparse format (a VMware 3 image too, which
// qemu-img does not read) qimg's time over a plain copy of the same bytes,
// the floor under any converter.
// Usage: qimg_bench [--mib N] [--runs R]   (N: disk size, a whole CHS geometry; default 504)
#include "CowdImage.h"
#include "QemuImg.h"
#include "TempDir.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace qimtest;

namespace {

double TimeCommand(const std::string& commandLine)
{
    const auto start = std::chrono::steady_clock::now();
    if (RunCommand(commandLine + " >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "qimg_bench: failed: %s\n", commandLine.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Random bytes everywhere, so that every block and grain is allocated and no
// range is zero.
void WriteRandomRaw(const std::string& path, std::uint64_t bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    std::mt19937_64 rng(42);
    std::vector<std::uint64_t> chunk(1 << 17);
    for (std::uint64_t done = 0; done < bytes; done += chunk.size() * 8) {
        for (auto& word : chunk)
            word = rng();
        std::fwrite(chunk.data(), 8, chunk.size(), f);
    }
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint64_t mib = 504;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::atoi(argv[i + 1]);
    }
    if (!HaveQemuImg()) {
        std::fprintf(stderr, "qimg_bench: qemu-img is not installed (scripts/setup.sh installs it)\n");
        return 1;
    }
    const std::string qimg = QIMG_PATH;
    TempDir work;
    const std::string tmpfs = "/dev/shm";
    const std::string raw = work.file("disk.raw");
    WriteRandomRaw(raw, mib << 20);
    struct Peer {
        const char* name;
        std::string image;
        double target;
        bool qemu;  // qemu-img reads it too
    };
    Peer peers[] = {{"VMDK", work.file("disk.vmdk"), 3.0, true},
                    {"VHD", work.file("disk.vhd"), 1.0, true},
                    {"COWD", work.file("disk.dsk"), 0, false}};
    QemuMakeVmdk(raw, peers[0].image);
    QemuMakeVhd(raw, peers[1].image);
    // A VMware 3 disk of IDE geometry in one file: every small block stored.
    if (WriteCowdDisk(peers[2].image, {.version = 3, .totalSectors = static_cast<std::uint32_t>(mib << 11)},
                      {{0, ReadFile(raw)}})
            .size() != 1)
        peers[2].image = raw;
    std::printf("fully allocated %llu MiB images, output on %s, best of %d runs\n",
                static_cast<unsigned long long>(mib), tmpfs.c_str(), runs);
    // No converter can write its output faster than a copy of the raw bytes
    // themselves, page cache to tmpfs: the floor under both programs.
    const std::string copy = tmpfs + "/qimg-bench-copy.raw";
    double floor = 1e9;
    for (int run = 0; run < runs; ++run)
        floor = std::min(floor, TimeCommand("cp " + ShellQuote(raw) + " " + ShellQuote(copy)));
    std::remove(copy.c_str());
    std::printf("floor: cp of the raw bytes %.3f s (%.0f MB/s)\n", floor, static_cast<double>(mib << 20) / floor / 1e6);
    int status = 0;
    for (const Peer& peer : peers) {
        std::string info;
        if (RunCommand(qimg + " info " + ShellQuote(peer.image) + " 2>/dev/null", &info) != 0 ||
            info.find("file format: raw") != std::string::npos) {
            std::printf("%-5s skipped: qimg does not read it\n", peer.name);
            continue;
        }
        const std::string ours = tmpfs + "/qimg-bench-ours.raw", theirs = tmpfs + "/qimg-bench-theirs.raw";
        if (!peer.qemu) {
            double best = 1e9;
            for (int run = 0; run < runs; ++run)
                best = std::min(best, TimeCommand(qimg + " convert " + ShellQuote(peer.image) + " " + ShellQuote(ours)));
            const bool same = RunCommand("cmp -s " + ShellQuote(ours) + " " + ShellQuote(raw)) == 0;
            std::remove(ours.c_str());
            std::printf("%-5s qimg %.3f s (%.0f MB/s): %.2f of the floor (aim 1.3)%s\n", peer.name, best,
                        static_cast<double>(mib << 20) / best / 1e6, best / floor, same ? "" : " OUTPUT DIFFERS");
            status |= same ? 0 : 1;
            continue;
        }
        double best = 1e9, bestPeer = 1e9;
        for (int run = 0; run < runs; ++run) {
            bestPeer = std::min(bestPeer, TimeCommand("qemu-img convert -O raw " + ShellQuote(peer.image) + " " +
                                                      ShellQuote(theirs)));
            best = std::min(best, TimeCommand(qimg + " convert " + ShellQuote(peer.image) + " " + ShellQuote(ours)));
        }
        const bool same = RunCommand("cmp -s " + ShellQuote(ours) + " " + ShellQuote(theirs)) == 0;
        std::remove(ours.c_str());
        std::remove(theirs.c_str());
        const double ratio = bestPeer / best;
        std::printf("%-5s qimg %.3f s (%.0f MB/s), qemu-img %.3f s: ratio %.2f (target %.1f)%s; %.2f of the floor "
                    "(aim 1.3)%s\n",
                    peer.name, best, static_cast<double>(mib << 20) / best / 1e6, bestPeer, ratio, peer.target,
                    ratio >= peer.target ? "" : " BELOW TARGET", best / floor, same ? "" : " OUTPUTS DIFFER");
        status |= same ? 0 : 1;
    }
    return status;
}
