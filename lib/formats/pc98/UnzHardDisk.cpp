// SPDX-License-Identifier: MIT
// Unz hard-disk images (.h0 to .h4): no header; the file is whole cylinders
// of 64 heads and 32 sectors of 512 bytes (1 MiB each). With nothing to
// recognise, they are opened by their extension only.
#include "UnzHardDisk.h"

namespace qim {

constexpr HeadedRules kUnzHardDiskRules = {
    .heads = Fixed(64),
    .sectors = Fixed(32),
    .bytesPerSector = Fixed(512),
    .dataOffset = Fixed(0),
    .size = HeadedSize::Megabytes,
};
static_assert(HeadedRulesValid(kUnzHardDiskRules));

int UnzHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kUnzHardDiskRules);
}

int UnzHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, UnzHardDisk_Open>(disk, DISK_UNZ_HARD, path, readOnly);
}

}  // namespace qim
