// SPDX-License-Identifier: MIT
// Anex86 hard-disk images (.hdi): a 4096-byte header, then the disk. The
// header states its own size and its data size; both must agree with the file.
#include "Anex86HardDisk.h"

namespace qim {

int Anex86HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kAnex86HardDiskRules);
}

int Anex86HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, Anex86HardDisk_Open>(disk, DISK_ANEX86_HARD, path, readOnly);
}

}  // namespace qim
