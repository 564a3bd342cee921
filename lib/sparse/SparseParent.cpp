// SPDX-License-Identifier: MIT
#include "SparseParent.h"

#include "DiskCheck.h"
#include "DiskEtc.h"

namespace qim {

int SparseParent_Open(Disk** parent, const char* childPath, const char* name, std::uint32_t sectors, DiskInfo* info,
                      DiskChain* chain)
{
    Disk* disk = NkMallocState<Disk>();
    *parent = nullptr;
    if (disk == nullptr)
        return ERR_NO_MEMORY;
    Disk_Construct(disk);
    if (int rc = Disk_OpenParent(disk, childPath, name, chain); rc != 0) {
        // A parent that never opened is freed, not closed.
        NkFree(disk);
        return rc;
    }
    *parent = disk;
    Disk_GetDiskInfo(disk, info);
    // Byte sizes must agree too, or requests inside the disk would fall outside the child's storage.
    return info->dwTotalSectors == sectors && info->dwBytesPerSector == 512 ? 0 : ERR_INVALID_IMAGE;
}

void SparseParent_Close(Disk** parent)
{
    if (*parent == nullptr)
        return;
    Disk_Close(*parent);
    NkFree(*parent);
    *parent = nullptr;
}

bool SparseParent_Present(const char* childPath, const char* name, std::span<char> resolved, DiskCheckSink sink,
                          void* param)
{
    NkHandle file = nullptr;
    if (GetBaseFileFullPath(childPath, name, resolved) != 0 || !NkCreateFile(resolved.data(), 1, &file)) {
        DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "the parent image is missing");
        return false;
    }
    NkCloseFile(file);
    return true;
}

}  // namespace qim
