// SPDX-License-Identifier: MIT
// VMware 2 sparse disks (code 5) and redo logs (code 6): a single COWD file
// with header version 1, as long as its header says. A redo log reads what it
// lacks from a parent image of any format, named in its header.
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "VMware3Sparse.h"

#include <cstdint>
#include <span>

namespace qim {

// Plain and redo disks share the record; a plain disk has no parent.
struct VMware2HardDiskState {
    DiskInfo Info;
    VMware3SparseState Extent;
    Disk* pParentDisk;
};
using VMware2RedoHardDiskState = VMware2HardDiskState;

[[nodiscard]] int VMware2HardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware2RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware2HardDisk_Allocation(VMware2HardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                                             std::uint32_t* where);
[[nodiscard]] int VMware2RedoHardDisk_Parent(VMware2RedoHardDiskState* state, const char* childPath, Disk** parent,
                                            std::span<char> path);
[[nodiscard]] VMware2HardDiskState* VMware2HardDisk_Malloc();
void VMware2HardDisk_Construct(VMware2HardDiskState* state);
[[nodiscard]] int VMware2HardDisk_Open(VMware2HardDiskState* state, const char* path, std::uint32_t readOnly);
void VMware2HardDisk_Close(VMware2HardDiskState* state);
void VMware2HardDisk_GetDiskInfo(VMware2HardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMware2HardDisk_Read(VMware2HardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                       void* buffer);
[[nodiscard]] int VMware2HardDisk_Write(VMware2HardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                        const void* buffer);
[[nodiscard]] int VMware2HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

[[nodiscard]] VMware2RedoHardDiskState* VMware2RedoHardDisk_Malloc();
void VMware2RedoHardDisk_Construct(VMware2RedoHardDiskState* state);
[[nodiscard]] int VMware2RedoHardDisk_Open(VMware2RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                                           DiskChain* chain = nullptr);
void VMware2RedoHardDisk_Close(VMware2RedoHardDiskState* state);
void VMware2RedoHardDisk_GetDiskInfo(VMware2RedoHardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMware2RedoHardDisk_Read(VMware2RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                           void* buffer);
[[nodiscard]] int VMware2RedoHardDisk_Write(VMware2RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                            const void* buffer);
[[nodiscard]] int VMware2RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

// Opens the file, plain or redo, with the parent of a redo log.
[[nodiscard]] int VMware2Disk_Open(VMware2HardDiskState* state, const char* path, std::uint32_t readOnly, bool redo,
                                   DiskChain* chain = nullptr);

inline constexpr DiskFormat kVMware2HardDiskFormat = {DISK_VMWARE2, "VMware 2",
     MakeDiskDriver<VMware2HardDiskSet, VMware2HardDisk_Close, VMware2HardDisk_GetDiskInfo, VMware2HardDisk_Read,
                    VMware2HardDisk_Write, VMware2HardDisk_Allocation, nullptr,
                    VMware2HardDisk_Check>(),
     "dsk", true, false, false};

inline constexpr DiskFormat kVMware2RedoHardDiskFormat = {DISK_VMWARE2_REDO, "VMware 2 redo log",
     MakeDiskDriver<VMware2RedoHardDiskSet, VMware2RedoHardDisk_Close, VMware2RedoHardDisk_GetDiskInfo,
                    VMware2RedoHardDisk_Read, VMware2RedoHardDisk_Write, VMware2HardDisk_Allocation,
                    VMware2RedoHardDisk_Parent, VMware2RedoHardDisk_Check>(),
     "dsk", true, false, false};

}  // namespace qim
