// SPDX-License-Identifier: MIT
// T98-Next floppy images (.nfd), second revision: a signed header with a table
// per track; its first 960 bytes are read. The data must be one of the
// listed floppy sizes, in one run.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kT98NextR1FloppyDiskRules;

[[nodiscard]] int T98NextR1FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int T98NextR1FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kT98NextR1FloppyDiskFormat = {DISK_T98NEXT_R1_FLOPPY, "T98-Next R1 floppy", HeadedDiskDriver<T98NextR1FloppyDiskSet>(), "nfd", true, true,
     false};

}  // namespace qim
