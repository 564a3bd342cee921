// SPDX-License-Identifier: MIT
// T98 hard-disk images (.thd): a 256-byte header of which only the cylinder
// count matters; every cylinder is 8 heads of 33 sectors of 256 bytes.
#include "T98HardDisk.h"

namespace qim {

// dwCylinders at 0; nothing else of the header is read.
constexpr HeadedRules kT98HardDiskRules = {
    .headerBytes = 4,
    .cylinders = Field32(0),
    .heads = Fixed(8),
    .sectors = Fixed(33),
    .bytesPerSector = Fixed(256),
    .dataOffset = Fixed(256),
    .size = HeadedSize::Geometry,
};
static_assert(HeadedRulesValid(kT98HardDiskRules));

int T98HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kT98HardDiskRules);
}

int T98HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, T98HardDisk_Open>(disk, DISK_T98_HARD, path, readOnly);
}

}  // namespace qim
