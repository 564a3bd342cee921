// SPDX-License-Identifier: MIT
// T98-Next hard-disk images (.nhd): a signed 512-byte header stating its own
// size and the geometry.
#include "T98NextHardDisk.h"

namespace qim {

// "T98HDDIMAGE.R0" and its NUL at 0, dwHeaderSize at 272, dwCylinders at 276,
// wSurfaces at 280, wSectors at 282, wSectorSize at 284. The data may not
// begin inside those fields, or a write to the disk would rewrite them.
constexpr HeadedRules kT98NextHardDiskRules = {
    .headerBytes = 512,
    .signature = {"T98HDDIMAGE.R0", 15},
    .cylinders = Field32(276),
    .heads = Field16(280),
    .sectors = Field16(282),
    .bytesPerSector = Field16(284),
    .dataOffset = Field32(272),
    .minDataOffset = 286,
    .size = HeadedSize::Geometry,
};
static_assert(HeadedRulesValid(kT98NextHardDiskRules));

int T98NextHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kT98NextHardDiskRules);
}

int T98NextHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, T98NextHardDisk_Open>(disk, DISK_T98NEXT_HARD, path, readOnly);
}

}  // namespace qim
