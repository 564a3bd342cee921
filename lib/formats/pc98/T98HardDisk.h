// SPDX-License-Identifier: MIT
// T98 hard-disk images (.thd): a 256-byte header of which only the cylinder
// count matters; every cylinder is 8 heads of 33 sectors of 256 bytes.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kT98HardDiskRules;

[[nodiscard]] int T98HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int T98HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kT98HardDiskFormat = {DISK_T98_HARD, "T98 hard disk", HeadedDiskDriver<T98HardDiskSet>(), "thd", true, false, true};

}  // namespace qim
