// SPDX-License-Identifier: MIT
// Virtual98 hard-disk images (.hdd): a signed 220-byte header, the data
// directly behind it.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kVirtual98HardDiskRules;

[[nodiscard]] int Virtual98HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Virtual98HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVirtual98HardDiskFormat = {DISK_VIRTUAL98_HARD, "Virtual98 hard disk", HeadedDiskDriver<Virtual98HardDiskSet>(), "hdd", true, false, true};

}  // namespace qim
