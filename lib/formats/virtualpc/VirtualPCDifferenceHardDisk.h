// SPDX-License-Identifier: MIT
// Virtual PC differencing images (DiskType 9): a dynamic image whose absent
// sectors read from a parent image of any format, written copy-on-write per sector.
#pragma once

#include "DiskFormats.h"
#include "VirtualPCHardDisk.h"

namespace qim {

using VirtualPCDifferenceHardDiskState = VirtualPCHardDiskState;

[[nodiscard]] VirtualPCDifferenceHardDiskState* VirtualPCDifferenceHardDisk_Malloc();
void VirtualPCDifferenceHardDisk_Construct(VirtualPCDifferenceHardDiskState* state);
[[nodiscard]] int VirtualPCDifferenceHardDisk_Open(VirtualPCDifferenceHardDiskState* state, const char* path,
                                                   std::uint32_t readOnly, DiskChain* chain = nullptr);
inline constexpr auto VirtualPCDifferenceHardDisk_Close = &VirtualPCHardDisk_Close;
inline constexpr auto VirtualPCDifferenceHardDisk_GetDiskInfo = &VirtualPCHardDisk_GetDiskInfo;
inline constexpr auto VirtualPCDifferenceHardDisk_Read = &VirtualPCHardDisk_Read;
inline constexpr auto VirtualPCDifferenceHardDisk_Write = &VirtualPCHardDisk_Write;
inline constexpr auto VirtualPCDifferenceHardDisk_Allocation = &VirtualPCHardDisk_Allocation;
// The parent as locator entry 7 of the file at childPath names it.
[[nodiscard]] int VirtualPCDifferenceHardDisk_Parent(VirtualPCDifferenceHardDiskState* state, const char* childPath,
                                                    Disk** parent, std::span<char> path);
// The dynamic image's check, the parent locator and the parent's presence.
[[nodiscard]] int VirtualPCDifferenceHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VirtualPCDifferenceHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVirtualPCDifferenceHardDiskFormat = {DISK_VIRTUALPC_DIFFERENCE, "Virtual PC differencing",
     MakeDiskDriver<VirtualPCDifferenceHardDiskSet, VirtualPCDifferenceHardDisk_Close,
                    VirtualPCDifferenceHardDisk_GetDiskInfo, VirtualPCDifferenceHardDisk_Read,
                    VirtualPCDifferenceHardDisk_Write, VirtualPCDifferenceHardDisk_Allocation,
                    VirtualPCDifferenceHardDisk_Parent, VirtualPCDifferenceHardDisk_Check>(),
     "vhd", true, false, false};

}  // namespace qim
