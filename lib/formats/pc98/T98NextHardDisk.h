// SPDX-License-Identifier: MIT
// T98-Next hard-disk images (.nhd): a signed 512-byte header stating its own
// size and the geometry.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kT98NextHardDiskRules;

[[nodiscard]] int T98NextHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int T98NextHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kT98NextHardDiskFormat = {DISK_T98NEXT_HARD, "T98-Next hard disk", HeadedDiskDriver<T98NextHardDiskSet>(), "nhd", true, false, true};

}  // namespace qim
