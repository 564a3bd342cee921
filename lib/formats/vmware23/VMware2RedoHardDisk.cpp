// SPDX-License-Identifier: MIT
// VMware 2 redo logs: the VMware 2 disk code with a parent, which every absent
// small block is read from and which no write ever reaches.
#include "VMware2HardDisk.h"

#include "DiskEtc.h"
#include "VMware3HardDisk.h"

namespace qim {

VMware2RedoHardDiskState* VMware2RedoHardDisk_Malloc() { return VMware2HardDisk_Malloc(); }

void VMware2RedoHardDisk_Construct(VMware2RedoHardDiskState* state) { VMware2HardDisk_Construct(state); }

int VMware2RedoHardDisk_Open(VMware2RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                             DiskChain* chain)
{
    return VMware2Disk_Open(state, path, readOnly, true, chain);
}

void VMware2RedoHardDisk_Close(VMware2RedoHardDiskState* state) { VMware2HardDisk_Close(state); }

void VMware2RedoHardDisk_GetDiskInfo(VMware2RedoHardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VMware2RedoHardDisk_Read(VMware2RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return CowdDiskRead({&state->Extent, 1}, state->pParentDisk, state->Info, offset, count, buffer);
}

int VMware2RedoHardDisk_Write(VMware2RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                              const void* buffer)
{
    return CowdDiskWrite({&state->Extent, 1}, state->pParentDisk, state->Info, offset, count, buffer);
}

int VMware2RedoHardDisk_Parent(VMware2RedoHardDiskState* state, const char* childPath, Disk** parent,
                               std::span<char> path)
{
    return CowdParent(state->Extent, state->pParentDisk, childPath, parent, path);
}

int VMware2RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain)
{
    return DiskSet<VMware2RedoHardDisk_Malloc, VMware2RedoHardDisk_Construct, VMware2RedoHardDisk_Open>(
        disk, DISK_VMWARE2_REDO, path, readOnly, chain);
}

}  // namespace qim
