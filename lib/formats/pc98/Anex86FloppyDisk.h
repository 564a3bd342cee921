// SPDX-License-Identifier: MIT
// Anex86 floppy images (.fdi): the header of the Anex86 hard disks, the same
// rules, another format code.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

[[nodiscard]] int Anex86FloppyDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Anex86FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kAnex86FloppyDiskFormat = {DISK_ANEX86_FLOPPY, "Anex86 floppy", HeadedDiskDriver<Anex86FloppyDiskSet>(), "fdi", true, true, false};

}  // namespace qim
