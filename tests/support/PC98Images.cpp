// SPDX-License-Identifier: MIT
#include "PC98Images.h"

#include <algorithm>
#include <stdexcept>

namespace qimtest {

namespace {

// A header of `size` bytes of 0xEE with the given fields (offset, width, value) set.
struct Field {
    std::uint32_t at, width;
    std::uint64_t value;
};
Bytes Header(std::uint32_t size, std::initializer_list<Field> fields, const std::string& signature = {})
{
    Bytes h(std::max<std::size_t>(size, 512), 0xEE);
    std::copy(signature.begin(), signature.end(), h.begin());
    for (const Field& f : fields)
        for (std::uint32_t i = 0; i < f.width; ++i)
            h.at(f.at + i) = static_cast<std::uint8_t>(f.value >> (8 * i));
    h.resize(size);
    return h;
}

void WriteHeaded(const std::string& path, Bytes header, const Bytes& disk, std::uint64_t expected)
{
    if (disk.size() != expected)
        throw std::invalid_argument("disk size differs from the geometry: " + path);
    header.insert(header.end(), disk.begin(), disk.end());
    WriteFile(path, header);
}

}  // namespace

void WriteAnex86Image(const std::string& path, const Chs& chs, const Bytes& disk)
{
    using namespace anex86;
    WriteHeaded(path,
                Header(4096, {{0, 8, 0}, {kHeaderSizeAt, 4, 4096}, {kDataSizeAt, 4, disk.size()},
                              {kSectorSizeAt, 4, chs.bytesPerSector}, {kSectorsAt, 4, chs.sectors},
                              {kSurfacesAt, 4, chs.heads}, {kCylindersAt, 4, chs.cylinders}}),
                disk, chs.bytes());
}

void WriteT98Image(const std::string& path, std::uint32_t cylinders, const Bytes& disk)
{
    WriteHeaded(path, Header(256, {{0, 4, cylinders}}), disk, std::uint64_t{cylinders} * 67584);
}

void WriteT98NextHardImage(const std::string& path, const Chs& chs, const Bytes& disk, std::uint32_t headerSize)
{
    using namespace t98next;
    WriteHeaded(path,
                Header(headerSize,
                       {{kHeaderSizeAt, 4, headerSize}, {kCylindersAt, 4, chs.cylinders}, {kSurfacesAt, 2, chs.heads},
                        {kSectorsAt, 2, chs.sectors}, {kSectorSizeAt, 2, chs.bytesPerSector}},
                       std::string("T98HDDIMAGE.R0\0a comment nobody reads", 38)),
                disk, chs.bytes());
}

void WriteVirtual98Image(const std::string& path, const Chs& chs, const Bytes& disk)
{
    using namespace virtual98;
    WriteHeaded(path,
                Header(220,
                       {{kSectorSizeAt, 2, chs.bytesPerSector}, {kSectorsAt, 1, chs.sectors},
                        {kSurfacesAt, 1, chs.heads}, {kCylindersAt, 2, chs.cylinders}},
                       std::string("VHD1.00", 8)),
                disk, chs.bytes());
}

void WritePC98EImage(const std::string& path, const Bytes& disk)
{
    WriteFile(path, disk);
    MakeSparseFile(path, kPC98EFileSize);
}

void WriteT98NextFloppyImage(const std::string& path, int revision, const Bytes& disk, std::uint32_t headerSize)
{
    using namespace t98next;
    const std::uint32_t size = headerSize != 0 ? headerSize : revision == 0 ? kR0HeaderBytes : kR1HeaderBytes;
    WriteHeaded(path,
                Header(size, {{kHeaderSizeAt, 4, size}, {kHeadsAt, 1, 2}},
                       std::string(revision == 0 ? "T98FDDIMAGE.R0" : "T98FDDIMAGE.R1", 15)),
                disk, disk.size());
}

void WriteFMTownsRomImage(const std::string& path, const Bytes& disk)
{
    Bytes file = disk;
    file.resize(kFMTownsRomFileSize, 0x5A);
    WriteFile(path, file);
}

BuiltImage BuiltFrom(const std::string& path, const qim::DiskInfo& info, const Bytes& disk)
{
    BuiltImage built{path, info, {}, {path}, {}};
    built.contents.resize(disk.size());
    std::transform(disk.begin(), disk.end(), built.contents.begin(), [](std::uint8_t b) { return std::byte{b}; });
    return built;
}

namespace {
template <class Write> BuiltImage Conformance(const std::string& path, const Chs& chs, std::uint32_t seed, Write write)
{
    const Bytes disk = PatternBytes(0, chs.bytes(), seed);
    write(disk);
    return BuiltFrom(path, {chs.totalSectors(), chs.heads, chs.sectors, chs.bytesPerSector}, disk);
}
}  // namespace

BuiltImage BuildAnex86HardDiskConformance(const std::string& path)
{
    const Chs chs{20, 4, 17, 512};
    return Conformance(path, chs, 21, [&](const Bytes& d) { WriteAnex86Image(path, chs, d); });
}
BuiltImage BuildT98HardDiskConformance(const std::string& path)
{
    return Conformance(path, {6, 8, 33, 256}, 22, [&](const Bytes& d) { WriteT98Image(path, 6, d); });
}
BuiltImage BuildT98NextHardDiskConformance(const std::string& path)
{
    const Chs chs{10, 4, 17, 512};
    return Conformance(path, chs, 23, [&](const Bytes& d) { WriteT98NextHardImage(path, chs, d); });
}
BuiltImage BuildVirtual98HardDiskConformance(const std::string& path)
{
    const Chs chs{12, 4, 17, 512};
    return Conformance(path, chs, 24, [&](const Bytes& d) { WriteVirtual98Image(path, chs, d); });
}
// A pattern in the first and last MiB of the 62.5 MiB disk, zeros (sparse) between.
BuiltImage BuildPC98EHardDiskConformance(const std::string& path)
{
    Bytes disk(800 * 8 * 20 * 512, 0);
    const Bytes head = PatternBytes(0, 1 << 20, 25);
    const Bytes tail = PatternBytes(disk.size() - (1 << 20), 1 << 20, 25);
    std::copy(head.begin(), head.end(), disk.begin());
    std::copy(tail.begin(), tail.end(), disk.end() - (1 << 20));
    WritePC98EImage(path, head);
    WriteFileAt(path, disk.size() - (1 << 20), tail);
    return BuiltFrom(path, {128000, 8, 20, 512}, disk);
}
BuiltImage BuildUnzHardDiskConformance(const std::string& path)
{
    return Conformance(path, {2, 64, 32, 512}, 26, [&](const Bytes& d) { WriteFile(path, d); });
}
BuiltImage BuildAnex86FloppyDiskConformance(const std::string& path)
{
    const Chs chs{77, 2, 8, 1024};
    return Conformance(path, chs, 27, [&](const Bytes& d) { WriteAnex86Image(path, chs, d); });
}
BuiltImage BuildT98NextR0FloppyDiskConformance(const std::string& path)
{
    return Conformance(path, {80, 2, 9, 512}, 29, [&](const Bytes& d) { WriteT98NextFloppyImage(path, 0, d); });
}
BuiltImage BuildT98NextR1FloppyDiskConformance(const std::string& path)
{
    return Conformance(path, {80, 2, 18, 512}, 30, [&](const Bytes& d) { WriteT98NextFloppyImage(path, 1, d); });
}
BuiltImage BuildFMTownsDosRomDiskConformance(const std::string& path)
{
    return Conformance(path, {32, 2, 8, 512}, 31, [&](const Bytes& d) { WriteFMTownsRomImage(path, d); });
}

}  // namespace qimtest
