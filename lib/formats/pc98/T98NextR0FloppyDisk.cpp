// SPDX-License-Identifier: MIT
// T98-Next floppy images (.nfd), first revision: a signed header with a table
// per sector, 68,112 bytes in all, read whole. The sector tables are not
// consulted: the data must be one of the listed floppy sizes, in one run.
#include "T98NextR0FloppyDisk.h"

namespace qim {

// "T98FDDIMAGE.R0" and its NUL at 0, dwHeaderSize at 272, bHeads at 277.
// The data may not begin inside those fields.
constexpr HeadedRules kT98NextR0FloppyDiskRules = {
    .headerBytes = 68112,
    .signature = {"T98FDDIMAGE.R0", 15},
    .checked = Field8(277),
    .checkedValue = 2,
    .dataOffset = Field32(272),
    .minDataOffset = 278,
    .size = HeadedSize::FloppyTable,
};
static_assert(HeadedRulesValid(kT98NextR0FloppyDiskRules));

int T98NextR0FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kT98NextR0FloppyDiskRules);
}

int T98NextR0FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, T98NextR0FloppyDisk_Open>(
        disk, DISK_T98NEXT_R0_FLOPPY, path, readOnly);
}

}  // namespace qim
