// SPDX-License-Identifier: MIT
// VMware 3 redo logs: the disk code with a parent, which every absent small
// block is read from and which no write ever reaches.
#include "VMware3HardDisk.h"

#include "DiskEtc.h"

namespace qim {

VMware3RedoHardDiskState* VMware3RedoHardDisk_Malloc() { return VMware3HardDisk_Malloc(); }

void VMware3RedoHardDisk_Construct(VMware3RedoHardDiskState* state) { VMware3HardDisk_Construct(state); }

int VMware3RedoHardDisk_Open(VMware3RedoHardDiskState* state, const char* path, std::uint32_t readOnly,
                             DiskChain* chain)
{
    return VMware3Disk_Open(state, path, readOnly, true, chain);
}

void VMware3RedoHardDisk_Close(VMware3RedoHardDiskState* state) { VMware3HardDisk_Close(state); }

void VMware3RedoHardDisk_GetDiskInfo(VMware3RedoHardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VMware3RedoHardDisk_Read(VMware3RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return CowdDiskRead({state->pExtents, state->dwExtentCount}, state->pParentDisk, state->Info, offset, count,
                        buffer);
}

int VMware3RedoHardDisk_Write(VMware3RedoHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                              const void* buffer)
{
    return CowdDiskWrite({state->pExtents, state->dwExtentCount}, state->pParentDisk, state->Info, offset, count,
                         buffer);
}

int VMware3RedoHardDisk_Parent(VMware3RedoHardDiskState* state, const char* childPath, Disk** parent,
                               std::span<char> path)
{
    return CowdParent(state->pExtents[0], state->pParentDisk, childPath, parent, path);
}

int VMware3RedoHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain)
{
    return DiskSet<VMware3RedoHardDisk_Malloc, VMware3RedoHardDisk_Construct, VMware3RedoHardDisk_Open>(
        disk, DISK_VMWARE3_REDO, path, readOnly, chain);
}

}  // namespace qim
