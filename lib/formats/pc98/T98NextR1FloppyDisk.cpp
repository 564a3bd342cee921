// SPDX-License-Identifier: MIT
// T98-Next floppy images (.nfd), second revision: a signed header with a table
// per track; its first 960 bytes are read. The data must be one of the
// listed floppy sizes, in one run.
#include "T98NextR1FloppyDisk.h"

namespace qim {

// "T98FDDIMAGE.R1" and its NUL at 0, dwHeaderSize at 272, bHeads at 277.
// The data may not begin inside those fields.
constexpr HeadedRules kT98NextR1FloppyDiskRules = {
    .headerBytes = 960,
    .signature = {"T98FDDIMAGE.R1", 15},
    .checked = Field8(277),
    .checkedValue = 2,
    .dataOffset = Field32(272),
    .minDataOffset = 278,
    .size = HeadedSize::FloppyTable,
};
static_assert(HeadedRulesValid(kT98NextR1FloppyDiskRules));

int T98NextR1FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kT98NextR1FloppyDiskRules);
}

int T98NextR1FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, T98NextR1FloppyDisk_Open>(
        disk, DISK_T98NEXT_R1_FLOPPY, path, readOnly);
}

}  // namespace qim
