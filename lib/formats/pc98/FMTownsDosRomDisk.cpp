// SPDX-License-Identifier: MIT
// FM Towns DOS ROM images (.rom): no header, one size. The ROM drive is the
// first 262,144 bytes (512 sectors) of the 524,288-byte file.
#include "FMTownsDosRomDisk.h"

namespace qim {

constexpr HeadedRules kFMTownsDosRomDiskRules = {
    .cylinders = Fixed(32),
    .heads = Fixed(2),
    .sectors = Fixed(8),
    .bytesPerSector = Fixed(512),
    .dataOffset = Fixed(0),
    .size = HeadedSize::Exact,
    .fileSize = 524288,
};
static_assert(HeadedRulesValid(kFMTownsDosRomDiskRules));

int FMTownsDosRomDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kFMTownsDosRomDiskRules);
}

int FMTownsDosRomDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, FMTownsDosRomDisk_Open>(
        disk, DISK_FMTOWNS_DOSROM, path, readOnly);
}

}  // namespace qim
