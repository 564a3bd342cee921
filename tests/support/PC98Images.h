// Builders of the PC-98 emulator and FM Towns images that hold the disk as
// one run of sectors behind a header (or none): Anex86 .hdi/.fdi, T98 .thd,
// T98-Next .nhd/.nfd, Virtual98 .hdd, PC98E, Unz .h0 and FM Towns .rom.
// Every one writes the whole file at path from the disk's contents; bytes of
// a header that the format leaves unexamined are filled with 0xEE.
#pragma once

#include "TempDir.h"

#include <cstdint>
#include <string>

namespace qimtest {

struct Chs {
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectors = 0;
    std::uint32_t bytesPerSector = 512;
    [[nodiscard]] std::uint32_t totalSectors() const { return cylinders * heads * sectors; }
    [[nodiscard]] std::uint64_t bytes() const { return std::uint64_t{totalSectors()} * bytesPerSector; }
};

// Field offsets of the headers, as the formats lay them out (little-endian).
namespace anex86 {
inline constexpr std::uint32_t kHeaderSizeAt = 8, kDataSizeAt = 12, kSectorSizeAt = 16, kSectorsAt = 20,
                               kSurfacesAt = 24, kCylindersAt = 28, kHeaderBytes = 4096;
}
namespace t98 {
inline constexpr std::uint32_t kCylindersAt = 0, kHeaderBytes = 256;
}
namespace t98next {
inline constexpr std::uint32_t kHeaderSizeAt = 272, kCylindersAt = 276, kSurfacesAt = 280, kSectorsAt = 282,
                               kSectorSizeAt = 284, kHardHeaderBytes = 512;
inline constexpr std::uint32_t kHeadsAt = 277, kR0HeaderBytes = 68112, kR1HeaderBytes = 960;
}
namespace virtual98 {
inline constexpr std::uint32_t kSectorSizeAt = 142, kSectorsAt = 144, kSurfacesAt = 145, kCylindersAt = 146,
                               kHeaderBytes = 220;
}
inline constexpr std::uint64_t kPC98EFileSize = 69206016;
inline constexpr std::uint32_t kPC98ESectors = 128000;
inline constexpr std::uint64_t kFMTownsRomFileSize = 524288;
inline constexpr std::uint32_t kFMTownsRomSectors = 512;

// The disk bytes must be exactly chs.bytes() long unless said otherwise.
void WriteAnex86Image(const std::string& path, const Chs& chs, const Bytes& disk);
void WriteT98Image(const std::string& path, std::uint32_t cylinders, const Bytes& disk);
void WriteT98NextHardImage(const std::string& path, const Chs& chs, const Bytes& disk,
                           std::uint32_t headerSize = t98next::kHardHeaderBytes);
void WriteVirtual98Image(const std::string& path, const Chs& chs, const Bytes& disk);
// A file of kPC98EFileSize bytes whose first bytes are the disk's (the rest sparse zeros).
void WritePC98EImage(const std::string& path, const Bytes& disk);
// The disk is the whole file: a multiple of 1 MiB for a valid image.
void WriteUnzImage(const std::string& path, const Bytes& disk);
// revision 0 or 1; the disk is one of the listed floppy sizes for a valid image.
// headerSize 0 takes the revision's usual header (68,112 or 960 bytes).
void WriteT98NextFloppyImage(const std::string& path, int revision, const Bytes& disk, std::uint32_t headerSize = 0);
// A file of kFMTownsRomFileSize bytes: the disk's 262,144 bytes, then the ROM's other half.
void WriteFMTownsRomImage(const std::string& path, const Bytes& disk);

}  // namespace qimtest
