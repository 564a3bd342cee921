// Virtual98 hard-disk images (.hdd): a signed 220-byte header, the data
// directly behind it.
#pragma once

#include "HeadedDisk.h"

namespace qim {

extern const HeadedRules kVirtual98HardDiskRules;

[[nodiscard]] int Virtual98HardDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Virtual98HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly);

}  // namespace qim
