// Builder of D88 floppy images: a 688-byte header with the media type, the
// file size and a table of track offsets, then each track as a run of sector
// records (16-byte record header, then the sector's data).
#pragma once

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
    std::uint32_t tracks = 154;
    std::uint32_t sectorsPerTrack = 8;
    std::uint32_t bytesPerSector = 1024;
    std::uint32_t gap = 0;          // bytes between one track's records and the next track's
    bool reversed = false;          // tracks stored in the file last first
    [[nodiscard]] std::uint64_t trackBytes() const
    {
        return std::uint64_t{sectorsPerTrack} * (d88::kRecordHeader + bytesPerSector);
    }
    [[nodiscard]] std::uint64_t diskBytes() const { return std::uint64_t{tracks} * sectorsPerTrack * bytesPerSector; }
    // Where track t's first record lies in the file.
    [[nodiscard]] std::uint64_t trackOffset(std::uint32_t t) const
    {
        const std::uint32_t slot = reversed ? tracks - 1 - t : t;
        return d88::kHeaderBytes + slot * (trackBytes() + gap);
    }
    // File offset of byte `inSector` of sector s of track t.
    [[nodiscard]] std::uint64_t dataOffset(std::uint32_t t, std::uint32_t s, std::uint32_t inSector = 0) const
    {
        return trackOffset(t) + s * (d88::kRecordHeader + bytesPerSector) + d88::kRecordHeader + inSector;
    }
};

// Writes the image holding disk (exactly layout.diskBytes() long).
void WriteD88Image(const std::string& path, const D88Layout& layout, const Bytes& disk);

}  // namespace qimtest
