#include "PC98Conformance.h"

#include "D88Image.h"
#include "PC98Images.h"

#include <algorithm>

namespace qimtest {

namespace {

BuiltImage Built(const std::string& path, const qim::DiskInfo& info, const Bytes& disk)
{
    BuiltImage built;
    built.path = path;
    built.info = info;
    built.contents.resize(disk.size());
    std::transform(disk.begin(), disk.end(), built.contents.begin(), [](std::uint8_t b) { return std::byte{b}; });
    built.files = {path};
    return built;
}

qim::DiskInfo InfoOf(const Chs& chs) { return {chs.totalSectors(), chs.heads, chs.sectors, chs.bytesPerSector}; }

}  // namespace

BuiltImage BuildAnex86HardDiskConformance(const std::string& path)
{
    const Chs chs{20, 4, 17, 512};
    const Bytes disk = PatternBytes(0, chs.bytes(), 21);
    WriteAnex86Image(path, chs, disk);
    return Built(path, InfoOf(chs), disk);
}

BuiltImage BuildT98HardDiskConformance(const std::string& path)
{
    const Chs chs{6, 8, 33, 256};
    const Bytes disk = PatternBytes(0, chs.bytes(), 22);
    WriteT98Image(path, chs.cylinders, disk);
    return Built(path, InfoOf(chs), disk);
}

BuiltImage BuildT98NextHardDiskConformance(const std::string& path)
{
    const Chs chs{10, 4, 17, 512};
    const Bytes disk = PatternBytes(0, chs.bytes(), 23);
    WriteT98NextHardImage(path, chs, disk);
    return Built(path, InfoOf(chs), disk);
}

BuiltImage BuildVirtual98HardDiskConformance(const std::string& path)
{
    const Chs chs{12, 4, 17, 512};
    const Bytes disk = PatternBytes(0, chs.bytes(), 24);
    WriteVirtual98Image(path, chs, disk);
    return Built(path, InfoOf(chs), disk);
}

// 62.5 MiB: a pattern at both ends, zeros (sparse in the file) between.
BuiltImage BuildPC98EHardDiskConformance(const std::string& path)
{
    const std::size_t size = std::size_t{kPC98ESectors} * 512;
    Bytes disk(size, 0);
    const Bytes head = PatternBytes(0, 1 << 20, 25);
    const Bytes tail = PatternBytes(size - (1 << 20), 1 << 20, 25);
    std::copy(head.begin(), head.end(), disk.begin());
    std::copy(tail.begin(), tail.end(), disk.end() - static_cast<long>(tail.size()));
    WritePC98EImage(path, head);
    WriteFileAt(path, size - tail.size(), tail);
    return Built(path, {kPC98ESectors, 8, 20, 512}, disk);
}

BuiltImage BuildUnzHardDiskConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, 2 << 20, 26);
    WriteUnzImage(path, disk);
    return Built(path, {4096, 64, 32, 512}, disk);
}

BuiltImage BuildAnex86FloppyDiskConformance(const std::string& path)
{
    const Chs chs{77, 2, 8, 1024};
    const Bytes disk = PatternBytes(0, chs.bytes(), 27);
    WriteAnex86Image(path, chs, disk);
    return Built(path, InfoOf(chs), disk);
}

// Tracks stored last first with gaps between them, so that only the track
// table leads to them.
BuiltImage BuildD88FloppyDiskConformance(const std::string& path)
{
    D88Layout layout;
    layout.gap = 100;
    layout.reversed = true;
    const Bytes disk = PatternBytes(0, layout.diskBytes(), 28);
    WriteD88Image(path, layout, disk);
    return Built(path, {1232, 2, 8, 1024}, disk);
}

BuiltImage BuildT98NextR0FloppyDiskConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, 737280, 29);
    WriteT98NextFloppyImage(path, 0, disk);
    return Built(path, {1440, 2, 9, 512}, disk);
}

BuiltImage BuildT98NextR1FloppyDiskConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, 1474560, 30);
    WriteT98NextFloppyImage(path, 1, disk);
    return Built(path, {2880, 2, 18, 512}, disk);
}

BuiltImage BuildFMTownsDosRomDiskConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, std::size_t{kFMTownsRomSectors} * 512, 31);
    WriteFMTownsRomImage(path, disk);
    return Built(path, {kFMTownsRomSectors, 2, 8, 512}, disk);
}

}  // namespace qimtest
