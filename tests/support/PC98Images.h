// SPDX-License-Identifier: MIT
// Builders of the PC-98 emulator and FM Towns images that hold the disk as
// one run of sectors behind a header (or none): Anex86 .hdi/.fdi, T98 .thd,
// T98-Next .nhd/.nfd, Virtual98 .hdd, PC98E, Unz .h0 and FM Towns .rom. Each
// writes the whole file from the disk's contents (exactly the geometry's
// bytes); header bytes the formats leave unexamined are 0xEE.
#pragma once

#include "Conformance.h"
#include "TempDir.h"

#include <cstdint>
#include <string>

namespace qimtest {

struct Chs {
    std::uint32_t cylinders = 0, heads = 0, sectors = 0, bytesPerSector = 512;
    [[nodiscard]] std::uint32_t totalSectors() const { return cylinders * heads * sectors; }
    [[nodiscard]] std::uint64_t bytes() const { return std::uint64_t{totalSectors()} * bytesPerSector; }
};

// Header field offsets (little-endian fields).
namespace anex86 {
inline constexpr std::uint32_t kHeaderSizeAt = 8, kDataSizeAt = 12, kSectorSizeAt = 16, kSectorsAt = 20,
                               kSurfacesAt = 24, kCylindersAt = 28;
}
namespace t98next {
inline constexpr std::uint32_t kHeaderSizeAt = 272, kCylindersAt = 276, kSurfacesAt = 280, kSectorsAt = 282,
                               kSectorSizeAt = 284, kHeadsAt = 277, kR0HeaderBytes = 68112, kR1HeaderBytes = 960;
}
namespace virtual98 {
inline constexpr std::uint32_t kSectorSizeAt = 142, kSectorsAt = 144, kSurfacesAt = 145, kCylindersAt = 146;
}
inline constexpr std::uint64_t kPC98EFileSize = 69206016, kFMTownsRomFileSize = 524288;

void WriteAnex86Image(const std::string& path, const Chs& chs, const Bytes& disk);
// 8 heads of 33 sectors of 256 bytes per cylinder, behind 256 header bytes.
void WriteT98Image(const std::string& path, std::uint32_t cylinders, const Bytes& disk);
void WriteT98NextHardImage(const std::string& path, const Chs& chs, const Bytes& disk, std::uint32_t headerSize = 512);
void WriteVirtual98Image(const std::string& path, const Chs& chs, const Bytes& disk);
// A file of kPC98EFileSize bytes that begins with the given bytes (zeros, sparse, after them).
void WritePC98EImage(const std::string& path, const Bytes& disk);
// headerSize 0: the revision's usual one (68,112 or 960 bytes).
void WriteT98NextFloppyImage(const std::string& path, int revision, const Bytes& disk, std::uint32_t headerSize = 0);
// The disk's 262,144 bytes, then the ROM's other half.
void WriteFMTownsRomImage(const std::string& path, const Bytes& disk);
// Unz images are the disk alone: WriteFile.

// Conformance builders: an image at path whose disk holds a pattern.
BuiltImage BuildAnex86HardDiskConformance(const std::string& path);
BuiltImage BuildT98HardDiskConformance(const std::string& path);
BuiltImage BuildT98NextHardDiskConformance(const std::string& path);
BuiltImage BuildVirtual98HardDiskConformance(const std::string& path);
BuiltImage BuildPC98EHardDiskConformance(const std::string& path);
BuiltImage BuildUnzHardDiskConformance(const std::string& path);
BuiltImage BuildAnex86FloppyDiskConformance(const std::string& path);
BuiltImage BuildT98NextR0FloppyDiskConformance(const std::string& path);
BuiltImage BuildT98NextR1FloppyDiskConformance(const std::string& path);
BuiltImage BuildFMTownsDosRomDiskConformance(const std::string& path);
// The BuiltImage of a disk written at path.
BuiltImage BuiltFrom(const std::string& path, const qim::DiskInfo& info, const Bytes& disk);

}  // namespace qimtest
