// SPDX-License-Identifier: MIT
// T98-Next floppy images (.nfd), first revision: a signed header with a table
// per sector, 68,112 bytes in all, read whole. The sector tables are not
// consulted: the data must be one of the listed floppy sizes, in one run.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kT98NextR0FloppyDiskRules;

[[nodiscard]] int T98NextR0FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int T98NextR0FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kT98NextR0FloppyDiskFormat = {DISK_T98NEXT_R0_FLOPPY, "T98-Next R0 floppy", HeadedDiskDriver<T98NextR0FloppyDiskSet>(), "nfd", true, true,
     false};

}  // namespace qim
