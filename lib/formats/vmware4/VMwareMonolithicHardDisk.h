// SPDX-License-Identifier: MIT
// VMware 4 "monolithicSparse" disks: one sparse extent carrying its own descriptor.
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "VMware4Disk.h"
#include "VMware4Sparse.h"

#include <cstdint>

namespace qim {

struct VMwareMonolithicHardDiskState {
    DiskInfo Info;
    VMware4Sparse Extent;
    VMware4Cid Cid;
};

[[nodiscard]] VMwareMonolithicHardDiskState* VMwareMonolithicHardDisk_Malloc();
void VMwareMonolithicHardDisk_Construct(VMwareMonolithicHardDiskState* state);
[[nodiscard]] int VMwareMonolithicHardDisk_Open(VMwareMonolithicHardDiskState* state, const char* path,
                                                std::uint32_t readOnly);
void VMwareMonolithicHardDisk_Close(VMwareMonolithicHardDiskState* state);
void VMwareMonolithicHardDisk_GetDiskInfo(VMwareMonolithicHardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMwareMonolithicHardDisk_Read(VMwareMonolithicHardDiskState* state, std::uint64_t offset,
                                                std::uint32_t count, void* buffer);
[[nodiscard]] int VMwareMonolithicHardDisk_Write(VMwareMonolithicHardDiskState* state, std::uint64_t offset,
                                                 std::uint32_t count, const void* buffer);
[[nodiscard]] int VMwareMonolithicHardDisk_Allocation(VMwareMonolithicHardDiskState* state, std::uint64_t offset,
                                                     std::uint64_t* length, std::uint32_t* where);
[[nodiscard]] int VMwareMonolithicHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMwareMonolithicHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVMwareMonolithicHardDiskFormat = {DISK_VMWARE_MONOLITHIC, "VMware 4 monolithic sparse",
     MakeDiskDriver<VMwareMonolithicHardDiskSet, VMwareMonolithicHardDisk_Close, VMwareMonolithicHardDisk_GetDiskInfo,
                    VMwareMonolithicHardDisk_Read, VMwareMonolithicHardDisk_Write,
                    VMwareMonolithicHardDisk_Allocation, nullptr, VMwareMonolithicHardDisk_Check>(),
     "vmdk", true, false, false};

}  // namespace qim
