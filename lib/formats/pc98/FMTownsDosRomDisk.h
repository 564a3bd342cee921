// SPDX-License-Identifier: MIT
// FM Towns DOS ROM images (.rom): no header, one size. The ROM drive is the
// first 262,144 bytes (512 sectors) of the 524,288-byte file.
#pragma once

#include "DiskFormats.h"
#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kFMTownsDosRomDiskRules;

[[nodiscard]] int FMTownsDosRomDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int FMTownsDosRomDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kFMTownsDosRomDiskFormat = {DISK_FMTOWNS_DOSROM, "FM Towns DOS ROM", HeadedDiskDriver<FMTownsDosRomDiskSet>(), "rom", true, false, false};

}  // namespace qim
