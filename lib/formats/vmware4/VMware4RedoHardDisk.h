// SPDX-License-Identifier: MIT
// VMware 4 redo logs: a two-gigabyte-extent descriptor naming its parent with
// "parentFileNameHint"; its extents hold the grains changed over the parent.
#pragma once

#include "DiskFormats.h"
#include "VMware4Disk.h"
#include "Disk.h"
#include "VMware4Sparse.h"

#include <cstdint>
#include <span>

namespace qim {

struct VMware4RedoHardDiskState {
    DiskInfo Info;
    std::uint32_t dwExtentCount;
    VMware4RedoSparse* pExtents;
    Disk* pParentDisk;
    VMware4Cid Cid;
};

[[nodiscard]] VMware4RedoHardDiskState* VMware4RedoHardDisk_Malloc();
void VMware4RedoHardDisk_Construct(VMware4RedoHardDiskState* state);
[[nodiscard]] int VMware4RedoHardDisk_Open(VMware4RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                                           DiskChain* chain = nullptr);
void VMware4RedoHardDisk_Close(VMware4RedoHardDiskState* state);
void VMware4RedoHardDisk_GetDiskInfo(VMware4RedoHardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMware4RedoHardDisk_Read(VMware4RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                          void* buffer);
[[nodiscard]] int VMware4RedoHardDisk_Write(VMware4RedoHardDiskState* state, std::uint64_t offset,
                                           std::uint32_t count, const void* buffer);
[[nodiscard]] int VMware4RedoHardDisk_Allocation(VMware4RedoHardDiskState* state, std::uint64_t offset,
                                                std::uint64_t* length, std::uint32_t* where);
// The parent as the descriptor at childPath names it.
[[nodiscard]] int VMware4RedoHardDisk_Parent(VMware4RedoHardDiskState* state, const char* childPath, Disk** parent,
                                            std::span<char> path);
[[nodiscard]] int VMware4RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware4RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVMware4RedoHardDiskFormat = {DISK_VMWARE4_REDO, "VMware 4 redo log",
     MakeDiskDriver<VMware4RedoHardDiskSet, VMware4RedoHardDisk_Close, VMware4RedoHardDisk_GetDiskInfo,
                    VMware4RedoHardDisk_Read, VMware4RedoHardDisk_Write, VMware4RedoHardDisk_Allocation,
                    VMware4RedoHardDisk_Parent, VMware4RedoHardDisk_Check>(),
     "vmdk", true, false, false};

}  // namespace qim
