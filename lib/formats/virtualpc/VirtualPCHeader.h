// SPDX-License-Identifier: MIT
// Virtual PC on-disk structures shared by the fixed, dynamic and differencing
// drivers: the hard disk footer, the dynamic disk header, the parent locator
// and the per-block sector bitmap. Every integer on disk is big-endian.
#pragma once

#include "Disk.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

// The footer is handled as 511 bytes, read and written, although it occupies
// a 512-byte sector: a fixed image ends in exactly these 511 bytes.
inline constexpr std::uint32_t kVpcFooterLength = 511;
inline constexpr std::uint32_t kVpcSparseHeaderOffset = 512;
inline constexpr std::uint32_t kVpcSparseHeaderLength = 40;  // the part of the header that is checked
// 32 bytes at 1248: the last 8 bytes of parent locator entry 6, then entry 7.
inline constexpr std::uint32_t kVpcLocatorOffset = 0x4E0;
inline constexpr std::uint32_t kVpcLocatorLength = 32;
inline constexpr std::uint32_t kVpcBlockTableOffset = 1536;
inline constexpr std::uint32_t kVpcBlockSize = 0x200000;
inline constexpr std::uint32_t kVpcBitmapLength = 512;
inline constexpr std::uint32_t kVpcSectorSize = 512;
inline constexpr std::uint32_t kVpcUnallocated = 0xFFFFFFFF;

// Footer disk types.
inline constexpr std::uint32_t kVpcTypeFixed = 2;
inline constexpr std::uint32_t kVpcTypeDynamic = 3;
inline constexpr std::uint32_t kVpcTypeDifferencing = 4;

// Footer field offsets.
inline constexpr std::size_t kVpcFooterCookie = 0;
inline constexpr std::size_t kVpcFooterVersion = 12;
inline constexpr std::size_t kVpcFooterDataOffset = 16;
inline constexpr std::size_t kVpcFooterCreatorApp = 28;
inline constexpr std::size_t kVpcFooterOriginalSize = 40;
inline constexpr std::size_t kVpcFooterCurrentSize = 48;
inline constexpr std::size_t kVpcFooterCylinders = 56;
inline constexpr std::size_t kVpcFooterHeads = 58;
inline constexpr std::size_t kVpcFooterSectorsPerTrack = 59;
inline constexpr std::size_t kVpcFooterDiskType = 60;
inline constexpr std::size_t kVpcFooterUniqueId = 68;  // 16 bytes
inline constexpr std::size_t kVpcUniqueIdBytes = 16;
static_assert(kVpcFooterUniqueId + kVpcUniqueIdBytes <= kVpcFooterLength);
// File offset of a differencing image's record of its parent's unique id, in the dynamic header.
inline constexpr std::uint64_t kVpcParentUniqueIdAt = kVpcSparseHeaderOffset + 40;

// Dynamic header field offsets (within its first 40 bytes).
inline constexpr std::size_t kVpcSparseCookie = 0;
inline constexpr std::size_t kVpcSparseDataOffset = 8;
inline constexpr std::size_t kVpcSparseTableOffset = 16;
inline constexpr std::size_t kVpcSparseVersion = 24;
inline constexpr std::size_t kVpcSparseMaxTableEntries = 28;
inline constexpr std::size_t kVpcSparseBlockSize = 32;
inline constexpr std::size_t kVpcSparseChecksum = 36;
static_assert(kVpcSparseChecksum + 2 <= kVpcSparseHeaderLength);

// Parent locator entry 7, by offset within the 32 bytes read at kVpcLocatorOffset.
inline constexpr std::size_t kVpcLocatorCode = 8;
inline constexpr std::size_t kVpcLocatorDataSpace = 12;
inline constexpr std::size_t kVpcLocatorDataLength = 16;
inline constexpr std::size_t kVpcLocatorDataOffsetLow = 28;  // the high half (24..27) is ignored
static_assert(kVpcLocatorDataOffsetLow + 4 == kVpcLocatorLength);

// 0 when the footer (at least kVpcFooterLength bytes) is of the expected disk
// type (2, 3 or 4) and its cookie, version, data offset, creator application
// and sizes agree; ERR_INVALID_IMAGE otherwise. Checksum, time stamp and
// geometry are not examined here.
[[nodiscard]] int CheckMainHeader(std::span<const std::byte> footer, std::uint32_t expectedType);
// 0 when the first 40 bytes of a dynamic header fit a disk of sizeMiB MiB;
// only the first two checksum bytes are examined. ERR_INVALID_IMAGE otherwise.
[[nodiscard]] int CheckSparseHeader(std::span<const std::byte> header, std::uint32_t sizeMiB);
// 0 when parent locator entry 7 is a "Wi2k" entry with 512 bytes of space.
[[nodiscard]] int CheckDifferenceHeader(std::span<const std::byte> locator);

// The footer's geometry as a DiskInfo (C×H×S sectors of 512 bytes); fails with
// ERR_INVALID_IMAGE unless the original size is that geometry rounded up to whole MiB.
[[nodiscard]] int VirtualPCFooterInfo(std::span<const std::byte> footer, DiskInfo* info);
[[nodiscard]] std::uint64_t VirtualPCOriginalSize(std::span<const std::byte> footer);

// Sector s of a block is bit 7 - s % 8 of bitmap byte s / 8.
[[nodiscard]] int IsExistData(std::uint32_t sector, std::span<const std::byte, kVpcBitmapLength> bitmap);
void SetMiniBlockBit(std::uint32_t sector, std::span<std::byte, kVpcBitmapLength> bitmap);

}  // namespace qim
