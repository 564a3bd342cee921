// SPDX-License-Identifier: MIT
#include "CowdImage.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace qimtest {

namespace {

void PutU32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string ExtentName(const std::string& path, std::uint32_t k)
{
    if (k == 0)
        return path;
    const std::size_t dot = path.rfind('.');
    const std::string base = dot == std::string::npos ? path : path.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    std::string number = std::to_string(k + 1);
    if (number.size() < 2)
        number = "0" + number;
    return base + "-" + number + "." + ext;
}

// The small blocks (disk-wide numbers) the runs touch.
std::set<std::uint64_t> TouchedBlocks(const DiskRuns& runs)
{
    std::set<std::uint64_t> blocks;
    for (const auto& [offset, bytes] : runs)
        if (!bytes.empty())
            for (std::uint64_t b = offset / kCowdSmallBlock; b <= (offset + bytes.size() - 1) / kCowdSmallBlock; ++b)
                blocks.insert(b);
    return blocks;
}

struct FileLayout {
    std::uint32_t index, count, sectors;  // this file's place and the sectors it serves
    std::uint64_t base;                   // disk offset of its first byte
};

Bytes Header(const CowdDisk& disk, const FileLayout& f, std::uint32_t dirEntries, std::uint32_t freeSector)
{
    using namespace cowdfield;
    const bool redo = !disk.parentName.empty();
    Bytes h(2048, 0);
    h[0] = 'C', h[1] = 'O', h[2] = 'W', h[3] = 'D';
    PutU32(h, kVersion, disk.version);
    PutU32(h, kFlags, (redo ? 0x12 : 0x13) | (f.count > 1 ? 0x08 : 0));
    PutU32(h, kSmallBlockSize, 128);
    PutU32(h, kDirectorySector, 4);
    PutU32(h, 24, dirEntries);  // directory size, which qemu-img reads
    PutU32(h, kFreeSector, freeSector);
    PutU32(h, kSectors, disk.totalSectors);
    if (redo) {
        if (disk.parentName.size() >= 2048 - kParentName)
            throw std::invalid_argument("parent name too long");
        std::copy(disk.parentName.begin(), disk.parentName.end(), h.begin() + kParentName);
        PutU32(h, kExtentSize, kCowdExtentSectors);
    } else {
        const CowdGeometry g = disk.version == 3 ? CowdDiskGeometry(disk.totalSectors, disk.scsi)
                                                 : CowdGeometry{disk.totalSectors / 1008, 16, 63};
        PutU32(h, kCylinders, g.cylinders);
        PutU32(h, kHeads, g.heads);
        PutU32(h, kSectorsPerTrack, g.sectorsPerTrack);
        PutU32(h, kPaired1060, 0x5A5A);
        PutU32(h, kPaired1636, 0x5A5A);
        if (disk.version == 3) {
            PutU32(h, kExtentSize, kCowdExtentSectors);
            PutU32(h, kAdapter, disk.scsi ? 0x69736373 : 0x00656469);
            PutU32(h, kDiskCylinders, g.cylinders);
            PutU32(h, kDiskHeads, g.heads);
            PutU32(h, kDiskSectorsPerTrack, g.sectorsPerTrack);
            PutU32(h, kDiskSectors, disk.totalSectors);
        }
    }
    if (disk.version == 3) {
        PutU32(h, kExtentIndex, f.index);
        PutU32(h, kExtentCount, f.count);
    }
    return h;
}

void WriteExtent(const std::string& path, const CowdDisk& disk, const FileLayout& f, const DiskRuns& runs,
                 const DiskRuns& parent, const std::set<std::uint64_t>& touched)
{
    const std::uint32_t dirEntries = (f.sectors + 65535) / 65536;
    const std::uint64_t firstBlock = f.base / kCowdSmallBlock;
    const std::uint64_t blocks = (std::uint64_t{f.sectors} * 512 + kCowdSmallBlock - 1) / kCowdSmallBlock;
    std::vector<std::uint64_t> stored;  // extent-relative small block numbers
    for (std::uint64_t b = 0; b < blocks; ++b)
        if (disk.allocateAll || touched.count(firstBlock + b) != 0)
            stored.push_back(b);
    if (disk.reverseOrder)
        std::reverse(stored.begin(), stored.end());

    std::set<std::uint64_t> tables;
    for (std::uint64_t b : stored)
        tables.insert(b / 512);
    std::uint32_t sector = 4 + (dirEntries * 4 + 511) / 512;
    Bytes file(std::uint64_t{sector + 4 * tables.size() + 128 * stored.size()} * 512, 0);
    std::map<std::uint64_t, std::uint32_t> tableAt;
    for (std::uint64_t t : tables) {
        tableAt[t] = sector;
        PutU32(file, 2048 + 4 * t, sector);
        sector += 4;
    }
    for (std::uint64_t b : stored) {
        PutU32(file, std::uint64_t{tableAt[b / 512]} * 512 + 4 * (b % 512), sector);
        const std::uint64_t offset = f.base + b * kCowdSmallBlock;
        Bytes block = RunsBytes(parent, offset, kCowdSmallBlock);
        for (const auto& [runAt, bytes] : runs)
            for (std::uint64_t v = std::max(runAt, offset);
                 v < std::min(runAt + bytes.size(), offset + kCowdSmallBlock); ++v)
                block[v - offset] = bytes[v - runAt];
        std::copy(block.begin(), block.end(), file.begin() + static_cast<std::ptrdiff_t>(sector * 512ull));
        sector += 128;
    }
    const Bytes header = Header(disk, f, dirEntries, sector);
    std::copy(header.begin(), header.end(), file.begin());
    WriteFile(path, file);
}

}  // namespace

Bytes RunsBytes(const DiskRuns& runs, std::uint64_t offset, std::size_t length)
{
    Bytes out(length, 0);
    for (const auto& [at, bytes] : runs) {
        const std::uint64_t from = std::max(at, offset);
        const std::uint64_t to = std::min<std::uint64_t>(at + bytes.size(), offset + length);
        for (std::uint64_t v = from; v < to; ++v)
            out[v - offset] = bytes[v - at];
    }
    return out;
}

CowdGeometry CowdDiskGeometry(std::uint32_t t, bool scsi)
{
    std::uint32_t heads = 16, spt = 63;
    if (scsi) {
        heads = t <= 0x1FF800 ? 64 : t <= 0x3FF000 ? 128 : 255;
        spt = t <= 0x3FF000 ? 32 : 63;
    } else if (t > 0xFBFC10) {
        return {16383, heads, spt};
    }
    if (t % (heads * spt) != 0)
        throw std::invalid_argument("no geometry of these heads and sectors per track gives the disk's sectors");
    return {t / (heads * spt), heads, spt};
}

std::vector<std::string> WriteCowdDisk(const std::string& path, const CowdDisk& disk, const DiskRuns& runs,
                                       const DiskRuns& parent)
{
    const std::uint32_t count =
        disk.version == 3
            ? std::max<std::uint32_t>(1, (disk.totalSectors + kCowdExtentSectors - 1) / kCowdExtentSectors)
            : 1;
    const std::set<std::uint64_t> touched = TouchedBlocks(runs);
    std::vector<std::string> files;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t sectors =
            disk.version == 3 && count > 1
                ? (k + 1 < count ? kCowdExtentSectors : disk.totalSectors - k * kCowdExtentSectors)
                : disk.totalSectors;
        const FileLayout f{k, count, sectors, std::uint64_t{k} * kCowdExtentSectors * 512};
        files.push_back(ExtentName(path, k));
        WriteExtent(files.back(), disk, f, runs, parent, touched);
    }
    return files;
}

std::uint32_t FileU32(const std::string& path, std::uint64_t offset)
{
    const Bytes b = ReadFileRange(path, offset, 4);
    if (b.size() != 4)
        throw std::runtime_error("short file " + path);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

BuiltImage BuildCowdConformance(const std::string& path, std::uint32_t version, bool redo)
{
    constexpr std::uint32_t t = 1008 * 9;
    const std::uint64_t size = t * 512ull;
    const DiskRuns base = {{0, PatternBytes(0, 100000, 21)},
                           {2 * kCowdSmallBlock - 5000, PatternBytes(2 * kCowdSmallBlock - 5000, 10000, 22)},
                           {size - 7000, PatternBytes(size - 7000, 7000, 23)}};
    BuiltImage built{path, {t, 16, 63, 512}, {}, {}, {}};
    Bytes contents = RunsBytes(base, 0, size);
    if (!redo) {
        built.files = WriteCowdDisk(path, {.version = version, .totalSectors = t}, base);
    } else {
        const std::string name = version == 3 ? "parent.vmdk" : "parent.dsk";
        built.parents =
            WriteCowdDisk(path.substr(0, path.rfind('/') + 1) + name, {.version = version, .totalSectors = t}, base);
        const DiskRuns own = {{200000, PatternBytes(200000, 150000, 24)}, {size - 70000, PatternBytes(size, 1000, 25)}};
        built.files = WriteCowdDisk(path, {.version = version, .totalSectors = t, .parentName = name}, own, base);
        built.files.insert(built.files.end(), built.parents.begin(), built.parents.end());
        for (const auto& [at, bytes] : own)
            std::copy(bytes.begin(), bytes.end(), contents.begin() + static_cast<std::ptrdiff_t>(at));
    }
    built.contents.resize(contents.size());
    std::transform(contents.begin(), contents.end(), built.contents.begin(),
                   [](std::uint8_t b) { return std::byte{b}; });
    return built;
}

void PatchU32(const std::string& path, std::uint64_t offset, std::uint32_t value)
{
    Bytes b(4);
    PutU32(b, 0, value);
    WriteFileAt(path, offset, b);
}

}  // namespace qimtest
