// SPDX-License-Identifier: MIT
// VMware 4 monolithic sparse disks. The descriptor inside the extent must
// name this very file, so a copy under another name does not open; the file
// is opened twice, for the descriptor and then as the extent.
#include "VMwareMonolithicHardDisk.h"

#include "DiskEtc.h"
#include "VMware4Disk.h"

#include <cstring>

namespace qim {

VMwareMonolithicHardDiskState* VMwareMonolithicHardDisk_Malloc()
{
    return NkMallocState<VMwareMonolithicHardDiskState>();
}

void VMwareMonolithicHardDisk_Construct(VMwareMonolithicHardDiskState* state)
{
    state->Info = DiskInfo{};
    VMware4Sparse_Construct(&state->Extent);
    state->Cid = {};
}

int VMwareMonolithicHardDisk_Open(VMwareMonolithicHardDiskState* state, const char* path, std::uint32_t readOnly)
{
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    if (int rc = ReadVMware4Descriptor(path, readOnly, false, &work); rc != 0)
        return rc;
    // The descriptor lies behind the header, in the extent's own file.
    if (int rc = VMware4Cid_Init(&state->Cid, work->achText.data(), 512, nullptr, nullptr, readOnly); rc != 0)
        return rc;
    if (int rc = ParseVMware4PlainDescription(work, "monolithicSparse"); rc != 0)
        return rc;
    const VMware4DiskDescription& d = work->Plain;
    const char* slash = std::strrchr(path, '/');
    if (d.dwExtentCount != 1 || NkCompareString(d.apszExtentFile[0], slash != nullptr ? slash + 1 : path, 0) != 0) {
        if (d.dwExtentCount == 1)
            DiskRefuse(DISK_REFUSED_VARIANT, "its descriptor names the extent \"%s\", not this file: a monolithic "
                       "disk is read only under the name it was made with", d.apszExtentFile[0]);
        return ERR_INVALID_IMAGE;
    }

    if (int rc = VMware4Sparse_Open(&state->Extent, path, readOnly, 0); rc != 0)
        return rc;
    if (state->Extent.dwCapacity != d.adwExtentSectors[0]) {
        VMwareMonolithicHardDisk_Close(state);
        return ERR_INVALID_IMAGE;
    }
    state->Info = {state->Extent.dwCapacity, d.dwGeoHeads, d.dwGeoSectors, 512};
    state->Cid.hFile = state->Extent.hFile;
    return 0;
}

void VMwareMonolithicHardDisk_Close(VMwareMonolithicHardDiskState* state)
{
    VMware4Sparse_Close(&state->Extent);
    VMware4Cid_Close(&state->Cid);
    VMwareMonolithicHardDisk_Construct(state);
}

void VMwareMonolithicHardDisk_GetDiskInfo(VMwareMonolithicHardDiskState* state, DiskInfo* info)
{
    *info = state->Info;
}

int VMwareMonolithicHardDisk_Read(VMwareMonolithicHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                  void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return VMware4Sparse_Read(&state->Extent, offset, count, buffer);
}

int VMwareMonolithicHardDisk_Write(VMwareMonolithicHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                   const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    if (int rc = VMware4Cid_Renew(&state->Cid); rc != 0)
        return rc;
    return VMware4Sparse_Write(&state->Extent, offset, count, buffer);
}

int VMwareMonolithicHardDisk_Allocation(VMwareMonolithicHardDiskState* state, std::uint64_t offset,
                                       std::uint64_t* length, std::uint32_t* where)
{
    return VMware4Sparse_Allocation(&state->Extent, nullptr, offset, length, where);
}

int VMwareMonolithicHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return VMware4Sparse_CheckFile(path, 0, sink, param);
}

int VMwareMonolithicHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VMwareMonolithicHardDisk_Malloc, VMwareMonolithicHardDisk_Construct,
                   VMwareMonolithicHardDisk_Open>(disk, DISK_VMWARE_MONOLITHIC, path, readOnly);
}

}  // namespace qim
