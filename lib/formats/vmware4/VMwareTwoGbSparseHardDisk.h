// SPDX-License-Identifier: MIT
// VMware 4 "twoGbMaxExtentSparse" disks: a descriptor file naming sparse
// extent files that hold the disk one after another.
#pragma once

#include "DiskFormats.h"
#include "VMware4Disk.h"
#include "Disk.h"
#include "VMware4Sparse.h"

#include <cstdint>

namespace qim {

struct VMwareTwoGbSparseHardDiskState {
    DiskInfo Info;
    std::uint32_t dwExtentCount;
    VMware4Sparse* pExtents;
    VMware4Cid Cid;
};

[[nodiscard]] VMwareTwoGbSparseHardDiskState* VMwareTwoGbSparseHardDisk_Malloc();
void VMwareTwoGbSparseHardDisk_Construct(VMwareTwoGbSparseHardDiskState* state);
[[nodiscard]] int VMwareTwoGbSparseHardDisk_Open(VMwareTwoGbSparseHardDiskState* state, const char* path,
                                                 std::uint32_t readOnly);
void VMwareTwoGbSparseHardDisk_Close(VMwareTwoGbSparseHardDiskState* state);
void VMwareTwoGbSparseHardDisk_GetDiskInfo(VMwareTwoGbSparseHardDiskState* state, DiskInfo* info);
[[nodiscard]] int VMwareTwoGbSparseHardDisk_Read(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset,
                                                 std::uint32_t count, void* buffer);
[[nodiscard]] int VMwareTwoGbSparseHardDisk_Write(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset,
                                                  std::uint32_t count, const void* buffer);
[[nodiscard]] int VMwareTwoGbSparseHardDisk_Allocation(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset,
                                                      std::uint64_t* length, std::uint32_t* where);
[[nodiscard]] int VMwareTwoGbSparseHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VMwareTwoGbSparseHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVMwareTwoGbSparseHardDiskFormat = {DISK_VMWARE_TWOGB_SPARSE, "VMware 4 two-gigabyte sparse",
     MakeDiskDriver<VMwareTwoGbSparseHardDiskSet, VMwareTwoGbSparseHardDisk_Close,
                    VMwareTwoGbSparseHardDisk_GetDiskInfo, VMwareTwoGbSparseHardDisk_Read,
                    VMwareTwoGbSparseHardDisk_Write, VMwareTwoGbSparseHardDisk_Allocation, nullptr,
                    VMwareTwoGbSparseHardDisk_Check>(),
     "vmdk", true, false, false};

}  // namespace qim
