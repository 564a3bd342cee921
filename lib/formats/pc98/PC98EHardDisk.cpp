// SPDX-License-Identifier: MIT
// PC98E hard-disk images: no header and one size. The disk is the first
// 65,536,000 bytes (800 cylinders of 8 heads and 20 sectors) of a file of
// 69,206,016; the rest of the file is never touched.
#include "PC98EHardDisk.h"

namespace qim {

constexpr HeadedRules kPC98EHardDiskRules = {
    .cylinders = Fixed(800),
    .heads = Fixed(8),
    .sectors = Fixed(20),
    .bytesPerSector = Fixed(512),
    .dataOffset = Fixed(0),
    .size = HeadedSize::Exact,
    .fileSize = 69206016,
};
static_assert(HeadedRulesValid(kPC98EHardDiskRules));

int PC98EHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kPC98EHardDiskRules);
}

int PC98EHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, PC98EHardDisk_Open>(disk, DISK_PC98E_HARD, path, readOnly);
}

}  // namespace qim
