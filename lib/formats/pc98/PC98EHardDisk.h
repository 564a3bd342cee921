// SPDX-License-Identifier: MIT
// PC98E hard-disk images: no header and one size. The disk is the first
// 65,536,000 bytes (800 cylinders of 8 heads and 20 sectors) of a file of
// 69,206,016; the rest of the file is never touched.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kPC98EHardDiskRules;

[[nodiscard]] int PC98EHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int PC98EHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kPC98EHardDiskFormat = {DISK_PC98E_HARD, "PC98E hard disk", HeadedDiskDriver<PC98EHardDiskSet>(), "", true, false, true};

}  // namespace qim
