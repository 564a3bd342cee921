// SPDX-License-Identifier: MIT
// VMware 2 disks, plain and redo: one COWD file opened by the VMware 2 rules
// and served by the code VMware 3 disks use, as a disk of a single extent.
#include "VMware2HardDisk.h"

#include "DiskEtc.h"
#include "SparseParent.h"
#include "VMware3HardDisk.h"

namespace qim {

int VMware2Disk_Open(VMware2HardDiskState* state, const char* path, std::uint32_t readOnly, bool redo,
                     DiskChain* chain)
{
    using namespace cowd;
    ScopeGuard guard([state] { VMware2HardDisk_Close(state); });
    VMware3SparseState& e = state->Extent;
    if (int rc = CowdOpen(&e, path, readOnly, 1, redo, 0); rc != 0)
        return rc;
    if (LoadLE<std::uint32_t>(e.abHeader, kFlags) != (redo ? kFlagsRedo : kFlagsPlain))
        return ERR_INVALID_IMAGE;
    if (redo) {
        if (int rc = SparseParent_Open(&state->pParentDisk, path, CowdParentName(e), e.dwExtentSectors, &state->Info,
                                       chain); rc != 0)
            return rc;
    } else {
        state->Info = {e.dwExtentSectors, LoadLE<std::uint32_t>(e.abHeader, kHeads),
                       LoadLE<std::uint32_t>(e.abHeader, kSectorsPerTrack), 512};
    }
    guard.release();
    return 0;
}

VMware2HardDiskState* VMware2HardDisk_Malloc() { return NkMallocState<VMware2HardDiskState>(); }

void VMware2HardDisk_Construct(VMware2HardDiskState* state)
{
    state->Info = DiskInfo{};
    VMware3Sparse_Construct(&state->Extent);
    state->pParentDisk = nullptr;
}

int VMware2HardDisk_Open(VMware2HardDiskState* state, const char* path, std::uint32_t readOnly)
{
    return VMware2Disk_Open(state, path, readOnly, false);
}

// The file closes before the parent, which it was read over.
void VMware2HardDisk_Close(VMware2HardDiskState* state)
{
    VMware3Sparse_Close(&state->Extent);
    SparseParent_Close(&state->pParentDisk);
    VMware2HardDisk_Construct(state);
}

void VMware2HardDisk_GetDiskInfo(VMware2HardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VMware2HardDisk_Read(VMware2HardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return CowdDiskRead({&state->Extent, 1}, nullptr, state->Info, offset, count, buffer);
}

int VMware2HardDisk_Write(VMware2HardDiskState* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return CowdDiskWrite({&state->Extent, 1}, nullptr, state->Info, offset, count, buffer);
}

int VMware2HardDisk_Allocation(VMware2HardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                               std::uint32_t* where)
{
    return CowdDiskAllocation({&state->Extent, 1}, state->pParentDisk, offset, length, where);
}

int VMware2HardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CowdDiskCheck(path, 1, false, sink, param);
}

int VMware2RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CowdDiskCheck(path, 1, true, sink, param);
}

int VMware2HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VMware2HardDisk_Malloc, VMware2HardDisk_Construct, VMware2HardDisk_Open>(disk, DISK_VMWARE2, path,
                                                                                            readOnly);
}

}  // namespace qim
