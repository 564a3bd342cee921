// SPDX-License-Identifier: MIT
// Builders of Virtual PC images: fixed, dynamic and differencing, written
// from a disk's contents as Virtual PC lays them out (big-endian footer and
// dynamic header, block table at 1536, 2 MiB blocks behind their bitmaps).
#pragma once

#include "Conformance.h"
#include "TempDir.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qimtest {

inline constexpr std::uint32_t kVpcBlockBytes = 2 * 1024 * 1024;
inline constexpr std::uint32_t kVpcTableOffset = 1536;
inline constexpr std::uint64_t kVpcLocatorEntry7 = 512 + 576 + 24 * 7;  // file offset 1256

struct VpcGeometry {
    std::uint16_t cylinders = 0;
    std::uint8_t heads = 0;
    std::uint8_t sectorsPerTrack = 0;
    [[nodiscard]] std::uint32_t sectors() const { return std::uint32_t{cylinders} * heads * sectorsPerTrack; }
    [[nodiscard]] std::uint64_t bytes() const { return std::uint64_t{sectors()} * 512; }
    // The geometry rounded up to whole MiB: the size the footer states.
    [[nodiscard]] std::uint64_t roundedBytes() const { return (std::uint64_t{sectors()} + 2047) / 2048 << 20; }
    [[nodiscard]] std::uint32_t tableEntries() const
    {
        return (static_cast<std::uint32_t>(roundedBytes() >> 20) + 1) / 2;
    }
};

// The 512-byte footer sector of a disk of this type (2 fixed, 3 dynamic,
// 4 differencing), checksum included; the format handles its first 511 bytes.
[[nodiscard]] Bytes VpcFooter(std::uint32_t diskType, const VpcGeometry& geometry);

// A fixed image: the disk (zero-padded to the rounded size), then 511 footer bytes.
void WriteVpcFixed(const std::string& path, const VpcGeometry& geometry, const Bytes& disk);

struct VpcSparseLayout {
    VpcGeometry geometry{};
    // Differencing when set: the parent path stored in locator entry 7.
    std::string parent{};
    // Which sectors the file holds (one flag per sector; empty: every sector
    // of a block that is not all zero, so a dynamic image is as sparse as it
    // can be). A block is stored when one of its sectors is.
    std::vector<bool> present{};
    std::uint32_t trailingFooterBytes = 511;  // 512: the whole footer sector
};

// A dynamic (no parent) or differencing image holding the disk's bytes in its
// present sectors; other sectors of stored blocks hold zeros.
void WriteVpcSparse(const std::string& path, const VpcSparseLayout& layout, const Bytes& disk);

// Where block i's bitmap lies in an image read back from the file (or UINT32_MAX).
[[nodiscard]] std::uint32_t VpcTableEntry(const std::string& path, std::uint32_t block);

// Sets the creator application of every footer copy of a file (at 0, and in
// its last 511 or 512 bytes) and recomputes their checksums.
void VpcSetCreator(const std::string& path, const std::string& creator);

// Conformance images of 20160 sectors (10 MiB stated, 5 blocks): a fixed one;
// a dynamic one with blocks 1 and 3 unallocated; a differencing one holding
// every third sector of blocks 0 and 1 over such a dynamic parent.
BuiltImage BuildVpcFixedConformance(const std::string& path);
BuiltImage BuildVpcDynamicConformance(const std::string& path);
BuiltImage BuildVpcDifferencingConformance(const std::string& path);

}  // namespace qimtest
