// SPDX-License-Identifier: MIT
// Virtual98 hard-disk images (.hdd): a signed 220-byte header, the data
// directly behind it.
#include "Virtual98HardDisk.h"

namespace qim {

// "VHD1.00" and its NUL at 0, wSectorSize at 142, bSectors at 144,
// bSurfaces at 145, wCylinders at 146.
constexpr HeadedRules kVirtual98HardDiskRules = {
    .headerBytes = 220,
    .signature = {"VHD1.00", 8},
    .cylinders = Field16(146),
    .heads = Field8(145),
    .sectors = Field8(144),
    .bytesPerSector = Field16(142),
    .dataOffset = Fixed(220),
    .size = HeadedSize::Geometry,
};
static_assert(HeadedRulesValid(kVirtual98HardDiskRules));

int Virtual98HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kVirtual98HardDiskRules);
}

int Virtual98HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, Virtual98HardDisk_Open>(
        disk, DISK_VIRTUAL98_HARD, path, readOnly);
}

}  // namespace qim
