// SPDX-License-Identifier: MIT
// VMware 3 sparse disks (code 3) and redo logs (code 4): one or more COWD
// extent files, "disk.vmdk", "disk-02.vmdk", ..., each serving 0x3FF800
// sectors but the last. A redo log reads what it lacks from a parent image of
// any format, named in its first file.
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "VMware3Sparse.h"

#include <cstdint>
#include <span>

namespace qim {

// Plain and redo disks share the record; a plain disk has no parent.
struct VMware3HardDiskState {
    DiskInfo Info;
    std::uint32_t dwExtentCount;
    VMware3SparseState* pExtents;
    Disk* pParentDisk;
};
using VMware3RedoHardDiskState = VMware3HardDiskState;

[[nodiscard]] VMware3HardDiskState* VMware3HardDisk_Malloc();
void VMware3HardDisk_Construct(VMware3HardDiskState* state);
[[nodiscard]] int VMware3HardDisk_Open(VMware3HardDiskState* state, const char* path, std::uint32_t readOnly);
void VMware3HardDisk_Close(VMware3HardDiskState* state);
void VMware3HardDisk_GetDiskInfo(VMware3HardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMware3HardDisk_Read(VMware3HardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                       void* buffer);
[[nodiscard]] int VMware3HardDisk_Write(VMware3HardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                        const void* buffer);
[[nodiscard]] int VMware3HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

[[nodiscard]] VMware3RedoHardDiskState* VMware3RedoHardDisk_Malloc();
void VMware3RedoHardDisk_Construct(VMware3RedoHardDiskState* state);
[[nodiscard]] int VMware3RedoHardDisk_Open(VMware3RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                                           DiskChain* chain = nullptr);
void VMware3RedoHardDisk_Close(VMware3RedoHardDiskState* state);
void VMware3RedoHardDisk_GetDiskInfo(VMware3RedoHardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMware3RedoHardDisk_Read(VMware3RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                           void* buffer);
[[nodiscard]] int VMware3RedoHardDisk_Write(VMware3RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                            const void* buffer);
[[nodiscard]] int VMware3RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

// The name of extent k (k >= 1) of a disk whose first file is `path`: the path
// cut at its last '.', then "%s-%02u.%s" with k + 1. False when it does not fit.
[[nodiscard]] bool VMware3ExtentName(const char* path, std::uint32_t k, std::span<char> out);

// What VMware 3 and VMware 2 disks share.
// Opens the disk's files, plain or redo, with the parent of a redo log.
[[nodiscard]] int VMware3Disk_Open(VMware3HardDiskState* state, const char* path, std::uint32_t readOnly, bool redo,
                                   DiskChain* chain = nullptr);
// Where the disk's bytes at offset come from, over its extents; *length stops
// at an extent's end.
[[nodiscard]] int CowdDiskAllocation(std::span<VMware3SparseState> extents, Disk* parent, std::uint64_t offset,
                                     std::uint64_t* length, std::uint32_t* where);
// The parent a redo log's first extent names, resolved beside the log's path.
[[nodiscard]] int CowdParent(const VMware3SparseState& first, Disk* open, const char* childPath, Disk** parent,
                             std::span<char> path);
// Checks the metadata of every file of a disk whose first file is path
// (version 3 or 1, plain or redo), and that a redo log's parent is there.
[[nodiscard]] int CowdDiskCheck(const char* path, std::uint32_t version, bool redo, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware3HardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware3RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMware3HardDisk_Allocation(VMware3HardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                                             std::uint32_t* where);
inline constexpr auto VMware3RedoHardDisk_Allocation = &VMware3HardDisk_Allocation;
[[nodiscard]] int VMware3RedoHardDisk_Parent(VMware3RedoHardDiskState* state, const char* childPath, Disk** parent,
                                            std::span<char> path);
// A disk request after the range check, split at the extents' boundaries.
[[nodiscard]] int CowdDiskRead(std::span<VMware3SparseState> extents, Disk* parent, const DiskInfo& info,
                               std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int CowdDiskWrite(std::span<VMware3SparseState> extents, Disk* parent, const DiskInfo& info,
                                std::uint64_t offset, std::uint32_t count, const void* buffer);

inline constexpr DiskFormat kVMware3HardDiskFormat = {DISK_VMWARE3, "VMware 3",
     MakeDiskDriver<VMware3HardDiskSet, VMware3HardDisk_Close, VMware3HardDisk_GetDiskInfo, VMware3HardDisk_Read,
                    VMware3HardDisk_Write, VMware3HardDisk_Allocation, nullptr,
                    VMware3HardDisk_Check>(),
     "vmdk", true, false, false};

inline constexpr DiskFormat kVMware3RedoHardDiskFormat = {DISK_VMWARE3_REDO, "VMware 3 redo log",
     MakeDiskDriver<VMware3RedoHardDiskSet, VMware3RedoHardDisk_Close, VMware3RedoHardDisk_GetDiskInfo,
                    VMware3RedoHardDisk_Read, VMware3RedoHardDisk_Write, VMware3RedoHardDisk_Allocation,
                    VMware3RedoHardDisk_Parent, VMware3RedoHardDisk_Check>(),
     "vmdk", true, false, false};

}  // namespace qim
