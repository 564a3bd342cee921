// SPDX-License-Identifier: MIT
// Anex86 hard-disk images (.hdi): a 4096-byte header, then the disk. The
// header states its own size and its data size; both must agree with the file.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

// Also the rules of the Anex86 floppies. The first 32 bytes: dwHeaderSize at
// 8, dwDataSize at 12, dwSectorSize at 16, dwSectors at 20, dwSurfaces at 24,
// dwCylinders at 28.
inline constexpr HeadedRules kAnex86HardDiskRules = {
    .headerBytes = 32,
    .checked = Field32(8),
    .checkedValue = 4096,
    .cylinders = Field32(28),
    .heads = Field32(24),
    .sectors = Field32(20),
    .bytesPerSector = Field32(16),
    .dataOffset = Fixed(4096),
    .size = HeadedSize::Anex86,
    .dataSize = Field32(12),
};
static_assert(HeadedRulesValid(kAnex86HardDiskRules));

[[nodiscard]] int Anex86HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Anex86HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kAnex86HardDiskFormat = {DISK_ANEX86_HARD, "Anex86 hard disk", HeadedDiskDriver<Anex86HardDiskSet>(), "hdi", true, false, true};

}  // namespace qim
