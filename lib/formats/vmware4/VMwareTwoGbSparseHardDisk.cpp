// SPDX-License-Identifier: MIT
// VMware 4 two-gigabyte-extent sparse disks. A descriptor that names a parent
// is a redo log's, whatever else it holds: it is left to the redo driver.
#include "VMwareTwoGbSparseHardDisk.h"

#include "DiskEtc.h"
#include "VMware4Disk.h"

namespace qim {

VMwareTwoGbSparseHardDiskState* VMwareTwoGbSparseHardDisk_Malloc()
{
    return NkMallocState<VMwareTwoGbSparseHardDiskState>();
}

void VMwareTwoGbSparseHardDisk_Construct(VMwareTwoGbSparseHardDiskState* state)
{
    *state = VMwareTwoGbSparseHardDiskState{};
}

int VMwareTwoGbSparseHardDisk_Open(VMwareTwoGbSparseHardDiskState* state, const char* path, std::uint32_t readOnly)
{
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    if (int rc = ReadVMware4Descriptor(path, readOnly, true, &work); rc != 0)
        return rc;
    ScopeGuard guard([state] { VMwareTwoGbSparseHardDisk_Close(state); });
    if (int rc = VMware4Cid_Init(&state->Cid, work->achText.data(), 0, nullptr, path, readOnly); rc != 0)
        return rc;
    if (int rc = ParseVMware4PlainDescription(work, "twoGbMaxExtentSparse"); rc != 0)
        return rc;
    const VMware4DiskDescription& d = work->Plain;

    std::uint32_t total = 0;
    if (int rc = OpenVMware4Extents(path, readOnly, d.dwExtentCount, d.adwExtentSectors, d.apszExtentFile,
                                    work->achPath, VMware4Sparse_Open, VMware4Sparse_Close, &state->pExtents, &total);
        rc != 0)
        return rc;
    state->dwExtentCount = d.dwExtentCount;
    state->Info = {total, d.dwGeoHeads, d.dwGeoSectors, 512};
    guard.release();
    return 0;
}

void VMwareTwoGbSparseHardDisk_Close(VMwareTwoGbSparseHardDiskState* state)
{
    CloseVMware4Extents(state->dwExtentCount, &state->pExtents, VMware4Sparse_Close);
    VMware4Cid_Close(&state->Cid);
    VMwareTwoGbSparseHardDisk_Construct(state);
}

void VMwareTwoGbSparseHardDisk_GetDiskInfo(VMwareTwoGbSparseHardDiskState* state, DiskInfo* info)
{
    *info = state->Info;
}

int VMwareTwoGbSparseHardDisk_Read(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                   void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return ReadVMware4Extents(state->dwExtentCount, state->pExtents, nullptr, offset,
                              {static_cast<std::byte*>(buffer), count});
}

int VMwareTwoGbSparseHardDisk_Write(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                    const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    if (int rc = VMware4Cid_Renew(&state->Cid); rc != 0)
        return rc;
    return WriteVMware4Extents(state->dwExtentCount, state->pExtents, nullptr, offset,
                               {static_cast<const std::byte*>(buffer), count});
}

int VMwareTwoGbSparseHardDisk_Allocation(VMwareTwoGbSparseHardDiskState* state, std::uint64_t offset,
                                        std::uint64_t* length, std::uint32_t* where)
{
    return VMware4Extents_Allocation(state->dwExtentCount, state->pExtents, nullptr, offset, length, where);
}

int VMwareTwoGbSparseHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CheckVMware4DescribedDisk(path, false, sink, param);
}

int VMwareTwoGbSparseHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VMwareTwoGbSparseHardDisk_Malloc, VMwareTwoGbSparseHardDisk_Construct,
                   VMwareTwoGbSparseHardDisk_Open>(disk, DISK_VMWARE_TWOGB_SPARSE, path, readOnly);
}

}  // namespace qim
