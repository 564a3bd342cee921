// SPDX-License-Identifier: MIT
// Virtual PC fixed images (DiskType 8): the disk's bytes, then the 511-byte footer.
#pragma once

#include "DiskFormats.h"
#include "BetaDisk.h"
#include "Disk.h"
#include "HeadedDisk.h"

#include <cstdint>

namespace qim {

// Once its footer and length are checked, the image is served as a raw disk.
using VirtualPCFixedHardDiskState = BetaDiskState;

[[nodiscard]] VirtualPCFixedHardDiskState* VirtualPCFixedHardDisk_Malloc();
void VirtualPCFixedHardDisk_Construct(VirtualPCFixedHardDiskState* state);
[[nodiscard]] int VirtualPCFixedHardDisk_Open(VirtualPCFixedHardDiskState* state, const char* path,
                                              std::uint32_t readOnly);
// Closes the file and constructs the state, as every headed format does.
inline constexpr auto VirtualPCFixedHardDisk_Close = &HeadedDisk_Close;
inline constexpr auto VirtualPCFixedHardDisk_GetDiskInfo = &BetaDisk_GetDiskInfo;
inline constexpr auto VirtualPCFixedHardDisk_Read = &BetaDisk_Read;
inline constexpr auto VirtualPCFixedHardDisk_Write = &BetaDisk_Write;
[[nodiscard]] int VirtualPCFixedHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVirtualPCFixedHardDiskFormat = {DISK_VIRTUALPC_FIXED, "Virtual PC fixed",
     MakeDiskDriver<VirtualPCFixedHardDiskSet, VirtualPCFixedHardDisk_Close, VirtualPCFixedHardDisk_GetDiskInfo,
                    VirtualPCFixedHardDisk_Read, VirtualPCFixedHardDisk_Write>(),
     "vhd", true, false, false};

}  // namespace qim
