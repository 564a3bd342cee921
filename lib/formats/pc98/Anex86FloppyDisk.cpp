// SPDX-License-Identifier: MIT
// Anex86 floppy images (.fdi): the header of the Anex86 hard disks, the same
// rules, another format code.
#include "Anex86FloppyDisk.h"

#include "Anex86HardDisk.h"

namespace qim {

int Anex86FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly)
{
    return HeadedDisk_Open(state, path, readOnly, kAnex86HardDiskRules);
}

int Anex86FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, Anex86FloppyDisk_Open>(
        disk, DISK_ANEX86_FLOPPY, path, readOnly);
}

}  // namespace qim
