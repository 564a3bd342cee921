// Anex86 floppy images (.fdi): the header of the Anex86 hard disks, the same
// rules, another format code.
#pragma once

#include "HeadedDisk.h"

namespace qim {

[[nodiscard]] int Anex86FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Anex86FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly);

}  // namespace qim
