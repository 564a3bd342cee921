// SPDX-License-Identifier: MIT
// Builder of D88 floppy images: a 688-byte header with the media type, the
// file size and a table of track offsets, then each track as a run of sector
// records (a 16-byte record header, then the sector's data).
#pragma once

#include "Conformance.h"
#include "TempDir.h"

#include <cstdint>
#include <string>

namespace qimtest {

namespace d88 {
inline constexpr std::uint32_t kMediaTypeAt = 27, kDiskSizeAt = 28, kTrackTableAt = 32, kHeaderBytes = 688;
inline constexpr std::uint32_t kRecordHeader = 16, kRecordSectorsAt = 4, kRecordDataSizeAt = 14;
}  // namespace d88

struct D88Layout {
    std::uint8_t mediaType = 0x20;  // 0x00 2D, 0x10 2DD, 0x20 2HD
    std::uint32_t tracks = 154, sectorsPerTrack = 8, bytesPerSector = 1024;
    std::uint32_t gap = 0;  // bytes between one track's records and the next track's
    bool reversed = false;  // tracks stored in the file last first
    std::uint32_t headerBytes = d88::kHeaderBytes;  // where the first track begins

    [[nodiscard]] std::uint64_t trackBytes() const { return std::uint64_t{sectorsPerTrack} * (16 + bytesPerSector); }
    [[nodiscard]] std::uint64_t diskBytes() const { return std::uint64_t{tracks} * sectorsPerTrack * bytesPerSector; }
    [[nodiscard]] std::uint64_t trackOffset(std::uint32_t t) const
    {
        return headerBytes + (reversed ? tracks - 1 - t : t) * (trackBytes() + gap);
    }
    // The file offset of disk byte v.
    [[nodiscard]] std::uint64_t fileOffset(std::uint64_t v) const
    {
        const std::uint64_t track = v / (std::uint64_t{sectorsPerTrack} * bytesPerSector);
        const std::uint64_t inTrack = v % (std::uint64_t{sectorsPerTrack} * bytesPerSector);
        return trackOffset(static_cast<std::uint32_t>(track)) + inTrack / bytesPerSector * (16 + bytesPerSector) +
               16 + inTrack % bytesPerSector;
    }
};

// Writes the image holding disk (exactly layout.diskBytes() long).
void WriteD88Image(const std::string& path, const D88Layout& layout, const Bytes& disk);

// 2HD, its tracks stored last first with gaps between them, so that only the
// track table leads to them.
inline const D88Layout kD88ConformanceLayout = {0x20, 154, 8, 1024, 100, true};
BuiltImage BuildD88FloppyDiskConformance(const std::string& path);

}  // namespace qimtest
