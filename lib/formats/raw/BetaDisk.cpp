// SPDX-License-Identifier: MIT
// Raw images. Every request is exactly one file transfer at dwDataOffset plus
// the disk offset, after the one range check all drivers share.
#include "BetaDisk.h"

#include "DiskEtc.h"

namespace qim {

BetaDiskState* BetaDisk_Malloc() { return NkMallocState<BetaDiskState>(); }

void BetaDisk_Construct(BetaDiskState* state)
{
    state->hFile = nullptr;
    state->dwDataOffset = 0;
    state->Info = DiskInfo{};
}

int BetaDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset,
                  const DiskInfo* info)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { BetaDisk_Close(state); });

    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    // A longer file is fine: its tail is never touched.
    if (DiskByteSize(*info) + dataOffset > fileSize) {
        DiskRefuse(DISK_REFUSED_FILE, "%u sectors of %u bytes at offset %u need %llu bytes; the file holds %llu",
                   info->dwTotalSectors, info->dwBytesPerSector, dataOffset,
                   static_cast<unsigned long long>(DiskByteSize(*info) + dataOffset),
                   static_cast<unsigned long long>(fileSize));
        return ERR_INVALID_IMAGE;
    }

    state->dwDataOffset = dataOffset;
    state->Info = *info;
    guard.release();
    return 0;
}

void BetaDisk_Close(BetaDiskState* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    BetaDisk_Construct(state);
}

void BetaDisk_GetDiskInfo(BetaDiskState* state, DiskInfo* info) { *info = state->Info; }

int BetaDisk_Read(BetaDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return NkReadFile(state->hFile, offset + state->dwDataOffset, count, buffer) ? 0 : ERR_READ_FILE;
}

// The read-only flag is not consulted: a read-only file refuses the write itself.
int BetaDisk_Write(BetaDiskState* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return NkWriteFile(state->hFile, offset + state->dwDataOffset, count, buffer) ? 0 : ERR_WRITE_FILE;
}

void BetaDisk_Attach(BetaDiskState* state, NkHandle file, std::uint32_t dataOffset, const DiskInfo* info)
{
    state->hFile = file;
    state->dwDataOffset = dataOffset;
    state->Info = *info;
}

NkHandle BetaDisk_Detach(BetaDiskState* state) { return state->hFile; }

int BetaDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset, const DiskInfo* info)
{
    return DiskSet<BetaDisk_Malloc, BetaDisk_Construct, BetaDisk_Open>(disk, DISK_BETA, path, readOnly, dataOffset,
                                                                      info);
}

}  // namespace qim
