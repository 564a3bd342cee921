// SPDX-License-Identifier: MIT
// Unz hard-disk images (.h0 to .h4): no header; the file is whole cylinders
// of 64 heads and 32 sectors of 512 bytes (1 MiB each). With nothing to
// recognise, they are opened by their extension only.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kUnzHardDiskRules;

[[nodiscard]] int UnzHardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int UnzHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

// Unz images carry nothing to recognise them by: only their extension names them.
inline constexpr DiskFormat kUnzHardDiskFormat = {DISK_UNZ_HARD, "Unz hard disk", HeadedDiskDriver<UnzHardDiskSet>(), "h0 h1 h2 h3 h4", false, false, false};

}  // namespace qim
