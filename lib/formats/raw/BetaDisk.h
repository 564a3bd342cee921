// SPDX-License-Identifier: MIT
// Raw images: the disk is one contiguous run of sectors at a fixed offset in
// the file. Also the building block of every headed format that serves its
// data as one run (they attach their open file and geometry).
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "Nk.h"

#include <cstdint>

namespace qim {

struct BetaDiskState {
    NkHandle hFile;
    std::uint32_t dwDataOffset;
    DiskInfo Info;
};

[[nodiscard]] BetaDiskState* BetaDisk_Malloc();
void BetaDisk_Construct(BetaDiskState* state);
[[nodiscard]] int BetaDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly,
                                std::uint32_t dataOffset, const DiskInfo* info);
void BetaDisk_Close(BetaDiskState* state);
void BetaDisk_GetDiskInfo(BetaDiskState* state, DiskInfo* info);
[[nodiscard]] int BetaDisk_Read(BetaDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int BetaDisk_Write(BetaDiskState* state, std::uint64_t offset, std::uint32_t count,
                                 const void* buffer);
// Stores an open file, data offset and geometry; tests nothing.
void BetaDisk_Attach(BetaDiskState* state, NkHandle file, std::uint32_t dataOffset, const DiskInfo* info);
// Hands the file back to the owning format, which closes it; the state is not changed.
[[nodiscard]] NkHandle BetaDisk_Detach(BetaDiskState* state);
[[nodiscard]] int BetaDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset,
                              const DiskInfo* info);

inline constexpr DiskFormat kBetaDiskFormat = {
    DISK_BETA, "raw",
    MakeDiskDriver<nullptr, BetaDisk_Close, BetaDisk_GetDiskInfo, BetaDisk_Read, BetaDisk_Write>(),
    "", false, false, false};

}  // namespace qim
