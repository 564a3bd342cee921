// SPDX-License-Identifier: MIT
// VMware 4 redo logs. The parent may be of any format Disk_Open knows,
// another redo log included; it is opened read-only and never written. The
// redo disk is its parent's geometry, which its extents must cover exactly,
// and a VMware 4 parent must carry the CID the log records.
#include "VMware4RedoHardDisk.h"

#include "DiskEtc.h"
#include "DiskRefusal.h"
#include "SparseParent.h"
#include "VMware4Disk.h"

namespace qim {

VMware4RedoHardDiskState* VMware4RedoHardDisk_Malloc() { return NkMallocState<VMware4RedoHardDiskState>(); }

void VMware4RedoHardDisk_Construct(VMware4RedoHardDiskState* state) { *state = VMware4RedoHardDiskState{}; }

int VMware4RedoHardDisk_Open(VMware4RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                             DiskChain* chain)
{
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    if (int rc = ReadVMware4Descriptor(path, readOnly, true, &work); rc != 0)
        return rc;
    ScopeGuard guard([state] { VMware4RedoHardDisk_Close(state); });
    if (int rc = VMware4Cid_Init(&state->Cid, work->achText.data(), 0, nullptr, path, readOnly); rc != 0)
        return rc;
    VMware4RedoDiskDescription& d = work->Redo;
    VMware4RedoDiskDescription_Init(&d);
    if (!VMware4RedoDiskDescription_Parse(&d, work->achText) ||
        NkCompareString(d.pszCreateType, "twoGbMaxExtentSparse", 1) != 0 || d.dwExtentCount == 0)
        return ERR_INVALID_IMAGE;

    std::uint32_t total = 0;
    if (int rc = OpenVMware4Extents(path, readOnly, d.dwExtentCount, d.adwExtentSectors, d.apszExtentFile,
                                    work->achPath, VMware4RedoSparse_Open, VMware4RedoSparse_Close,
                                    &state->pExtents, &total);
        rc != 0)
        return rc;
    state->dwExtentCount = d.dwExtentCount;

    // The extents hold 512-byte sectors; a parent of other sectors would make
    // the disk's byte size differ from theirs.
    if (int rc = SparseParent_Open(&state->pParentDisk, path, d.pszParentFileNameHint, total, &state->Info, chain); rc != 0)
        return rc;
    std::uint32_t recorded = 0, found = 0;
    if (int rc = GetBaseFileFullPath(path, d.pszParentFileNameHint, work->achPath); rc != 0)
        return rc;
    if (int rc = CheckVMware4ParentCid(work->achPath.data(), d.pszParentCID, &recorded, &found); rc != 0) {
        if (rc == ERR_INVALID_IMAGE)
            DiskRefuse(DISK_REFUSED_CORRUPT, "%s: parentCID is %08x but the parent %s has CID %08x: it is another disk "
                       "than the one this redo log was made over", path, recorded, work->achPath.data(), found);
        return rc;
    }
    guard.release();
    return 0;
}

void VMware4RedoHardDisk_Close(VMware4RedoHardDiskState* state)
{
    CloseVMware4Extents(state->dwExtentCount, &state->pExtents, VMware4RedoSparse_Close);
    SparseParent_Close(&state->pParentDisk);
    VMware4Cid_Close(&state->Cid);
    VMware4RedoHardDisk_Construct(state);
}

void VMware4RedoHardDisk_GetDiskInfo(VMware4RedoHardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VMware4RedoHardDisk_Read(VMware4RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return ReadVMware4Extents(state->dwExtentCount, state->pExtents, state->pParentDisk, offset,
                              {static_cast<std::byte*>(buffer), count});
}

int VMware4RedoHardDisk_Write(VMware4RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                              const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    if (int rc = VMware4Cid_Renew(&state->Cid); rc != 0)
        return rc;
    return WriteVMware4Extents(state->dwExtentCount, state->pExtents, state->pParentDisk, offset,
                               {static_cast<const std::byte*>(buffer), count});
}

int VMware4RedoHardDisk_Allocation(VMware4RedoHardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                                   std::uint32_t* where)
{
    return VMware4Extents_Allocation(state->dwExtentCount, state->pExtents, state->pParentDisk, offset, length, where);
}

int VMware4RedoHardDisk_Parent(VMware4RedoHardDiskState* state, const char* childPath, Disk** parent,
                               std::span<char> path)
{
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    if (int rc = ReadVMware4Descriptor(childPath, 1, true, &work); rc != 0)
        return rc;
    VMware4RedoDiskDescription_Init(&work->Redo);
    if (!VMware4RedoDiskDescription_Parse(&work->Redo, work->achText))
        return ERR_INVALID_IMAGE;
    if (int rc = GetBaseFileFullPath(childPath, work->Redo.pszParentFileNameHint, path); rc != 0)
        return rc;
    *parent = state->pParentDisk;
    return 0;
}

int VMware4RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CheckVMware4DescribedDisk(path, true, sink, param);
}

int VMware4RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain)
{
    return DiskSet<VMware4RedoHardDisk_Malloc, VMware4RedoHardDisk_Construct, VMware4RedoHardDisk_Open>(
        disk, DISK_VMWARE4_REDO, path, readOnly, chain);
}

}  // namespace qim
