// SPDX-License-Identifier: MIT
// Builder of raw images: a header (any bytes) followed by the disk's sectors.
#pragma once

#include "TempDir.h"

#include <cstdint>
#include <string>

namespace qimtest {

struct RawGeometry {
    std::uint32_t totalSectors = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 512;
    [[nodiscard]] std::uint64_t bytes() const { return std::uint64_t{totalSectors} * bytesPerSector; }
};

struct RawImageLayout {
    RawGeometry geometry;
    std::uint32_t dataOffset = 0;   // bytes before the disk's first byte
    std::uint64_t tail = 0;         // extra bytes after the disk
    std::uint32_t seed = 1;         // pattern of the disk's contents (PatternByte)
    std::uint8_t headerFill = 0xEE; // what fills the bytes before the disk
};

// Writes the image; the disk holds PatternBytes(0, bytes, seed). Returns its contents.
Bytes WriteRawImage(const std::string& path, const RawImageLayout& layout);
// A raw image whose disk is the given bytes (padded with zeros to the geometry).
void WriteRawImageFrom(const std::string& path, const RawGeometry& geometry, const Bytes& disk,
                       std::uint32_t dataOffset = 0);

}  // namespace qimtest
