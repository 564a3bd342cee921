// SPDX-License-Identifier: MIT
// D88 floppy images: a table of track offsets, each track a run of sector
// records (a 16-byte header, then the sector's data). Regular media only.
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qim {

inline constexpr std::uint32_t kD88HeaderBytes = 688;

struct D88State {
    NkHandle hFile;
    DiskInfo Info;
    std::array<std::byte, kD88HeaderBytes> Header;  // the file's header; every transfer uses its track table
};

[[nodiscard]] D88State* D88FloppyDisk_Malloc();
void D88FloppyDisk_Construct(D88State* state);
[[nodiscard]] int D88FloppyDisk_Open(D88State* state, const char* path, std::uint32_t readOnly);
void D88FloppyDisk_Close(D88State* state);
void D88FloppyDisk_GetDiskInfo(D88State* state, DiskInfo* info);
[[nodiscard]] int D88FloppyDisk_Read(D88State* state, std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int D88FloppyDisk_Write(D88State* state, std::uint64_t offset, std::uint32_t count,
                                      const void* buffer);
[[nodiscard]] int D88FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kD88FloppyDiskFormat = {DISK_D88_FLOPPY, "D88 floppy",
     MakeDiskDriver<D88FloppyDiskSet, D88FloppyDisk_Close, D88FloppyDisk_GetDiskInfo, D88FloppyDisk_Read,
                    D88FloppyDisk_Write>(),
     "d88", true, true, false};

}  // namespace qim
