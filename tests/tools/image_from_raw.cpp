// SPDX-License-Identifier: MIT
// Writes a sparse image holding a raw file's bytes, for scripts that need one
// in a form the drivers accept:
//   vhd   Virtual PC dynamic, by qemu-img, its creator set to "vpc " (the raw
//         size must be a whole CHS geometry, such as 504 MiB)
//   vmdk  VMware 4 monolithic sparse, by qemu-img (hwversion 3, IDE adapter)
//   dsk   VMware 3 plain (IDE adapter), by the builder; only the small blocks
//         that are not all zero are stored
#include "CowdImage.h"
#include "QemuImg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

void WriteDsk(const char* rawPath, const char* out)
{
    const qimtest::Bytes raw = qimtest::ReadFile(rawPath);
    if (raw.empty() || raw.size() % 512 != 0)
        throw std::invalid_argument(std::string(rawPath) + ": not a whole number of sectors");
    qimtest::DiskRuns runs;
    for (std::size_t at = 0; at < raw.size(); at += qimtest::kCowdSmallBlock) {
        const auto first = raw.begin() + static_cast<std::ptrdiff_t>(at);
        const auto last =
            raw.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(raw.size(), at + qimtest::kCowdSmallBlock));
        if (std::any_of(first, last, [](std::uint8_t b) { return b != 0; }))
            runs.emplace(at, qimtest::Bytes(first, last));
    }
    const auto sectors = static_cast<std::uint32_t>(raw.size() / 512);
    if (qimtest::WriteCowdDisk(out, {.version = 3, .totalSectors = sectors}, runs).size() != 1)
        throw std::invalid_argument("the disk takes more than one file; scripts expect one");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: image_from_raw vhd|vmdk|dsk RAW OUT\n");
        return 2;
    }
    try {
        if (std::strcmp(argv[1], "vhd") == 0)
            qimtest::QemuMakeVhd(argv[2], argv[3]);
        else if (std::strcmp(argv[1], "vmdk") == 0)
            qimtest::QemuMakeVmdk(argv[2], argv[3]);
        else if (std::strcmp(argv[1], "dsk") == 0)
            WriteDsk(argv[2], argv[3]);
        else
            throw std::invalid_argument(std::string(argv[1]) + ": not vhd, vmdk or dsk");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "image_from_raw: %s\n", e.what());
        return 1;
    }
    return 0;
}
