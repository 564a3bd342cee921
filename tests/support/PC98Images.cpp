#include "PC98Images.h"

#include <stdexcept>

namespace qimtest {

namespace {

void Put(Bytes& b, std::uint32_t at, std::uint32_t width, std::uint64_t value)
{
    for (std::uint32_t i = 0; i < width; ++i)
        b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(Bytes& b, std::uint32_t at, const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        b.at(at + i) = static_cast<std::uint8_t>(text[i]);
}

void Expect(bool ok, const char* what)
{
    if (!ok)
        throw std::invalid_argument(what);
}

// header, then the disk at dataOffset (after any gap), as one file.
void WriteHeaded(const std::string& path, Bytes header, std::uint32_t dataOffset, const Bytes& disk)
{
    header.resize(dataOffset, 0xEE);
    header.insert(header.end(), disk.begin(), disk.end());
    WriteFile(path, header);
}

}  // namespace

void WriteAnex86Image(const std::string& path, const Chs& chs, const Bytes& disk)
{
    Expect(disk.size() == chs.bytes(), "Anex86: disk size differs from the geometry");
    Bytes h(anex86::kHeaderBytes, 0xEE);
    Put(h, 0, 4, 0);
    Put(h, 4, 4, 0);
    Put(h, anex86::kHeaderSizeAt, 4, anex86::kHeaderBytes);
    Put(h, anex86::kDataSizeAt, 4, disk.size());
    Put(h, anex86::kSectorSizeAt, 4, chs.bytesPerSector);
    Put(h, anex86::kSectorsAt, 4, chs.sectors);
    Put(h, anex86::kSurfacesAt, 4, chs.heads);
    Put(h, anex86::kCylindersAt, 4, chs.cylinders);
    WriteHeaded(path, h, anex86::kHeaderBytes, disk);
}

void WriteT98Image(const std::string& path, std::uint32_t cylinders, const Bytes& disk)
{
    Expect(disk.size() == std::uint64_t{cylinders} * 8 * 33 * 256, "T98: disk size differs from the cylinders");
    Bytes h(t98::kHeaderBytes, 0xEE);
    Put(h, t98::kCylindersAt, 4, cylinders);
    WriteHeaded(path, h, t98::kHeaderBytes, disk);
}

void WriteT98NextHardImage(const std::string& path, const Chs& chs, const Bytes& disk, std::uint32_t headerSize)
{
    Expect(disk.size() == chs.bytes(), "T98-Next: disk size differs from the geometry");
    Bytes h(std::max(headerSize, t98next::kHardHeaderBytes), 0xEE);
    PutText(h, 0, std::string("T98HDDIMAGE.R0", 15));
    PutText(h, 16, "a comment nobody reads");
    Put(h, t98next::kHeaderSizeAt, 4, headerSize);
    Put(h, t98next::kCylindersAt, 4, chs.cylinders);
    Put(h, t98next::kSurfacesAt, 2, chs.heads);
    Put(h, t98next::kSectorsAt, 2, chs.sectors);
    Put(h, t98next::kSectorSizeAt, 2, chs.bytesPerSector);
    h.resize(headerSize);
    WriteHeaded(path, h, headerSize, disk);
}

void WriteVirtual98Image(const std::string& path, const Chs& chs, const Bytes& disk)
{
    Expect(disk.size() == chs.bytes(), "Virtual98: disk size differs from the geometry");
    Bytes h(virtual98::kHeaderBytes, 0xEE);
    PutText(h, 0, std::string("VHD1.00", 8));
    Put(h, virtual98::kSectorSizeAt, 2, chs.bytesPerSector);
    Put(h, virtual98::kSectorsAt, 1, chs.sectors);
    Put(h, virtual98::kSurfacesAt, 1, chs.heads);
    Put(h, virtual98::kCylindersAt, 2, chs.cylinders);
    WriteHeaded(path, h, virtual98::kHeaderBytes, disk);
}

void WritePC98EImage(const std::string& path, const Bytes& disk)
{
    Expect(disk.size() <= kPC98EFileSize, "PC98E: disk larger than the file");
    WriteFile(path, disk);
    MakeSparseFile(path, kPC98EFileSize);
}

void WriteUnzImage(const std::string& path, const Bytes& disk) { WriteFile(path, disk); }

void WriteT98NextFloppyImage(const std::string& path, int revision, const Bytes& disk, std::uint32_t headerSize)
{
    const std::uint32_t usual = revision == 0 ? t98next::kR0HeaderBytes : t98next::kR1HeaderBytes;
    if (headerSize == 0)
        headerSize = usual;
    Bytes h(std::max(headerSize, usual), 0xEE);
    PutText(h, 0, std::string(revision == 0 ? "T98FDDIMAGE.R0" : "T98FDDIMAGE.R1", 15));
    Put(h, t98next::kHeaderSizeAt, 4, headerSize);
    Put(h, t98next::kHeadsAt, 1, 2);
    h.resize(headerSize);
    WriteHeaded(path, h, headerSize, disk);
}

void WriteFMTownsRomImage(const std::string& path, const Bytes& disk)
{
    Expect(disk.size() == std::uint64_t{kFMTownsRomSectors} * 512, "FM Towns ROM: the disk is 512 sectors");
    Bytes file = disk;
    file.resize(kFMTownsRomFileSize, 0x5A);
    WriteFile(path, file);
}

}  // namespace qimtest
