// SPDX-License-Identifier: MIT
// Virtual PC dynamic images (DiskType 7), and the block engine they share
// with differencing images (DiskType 9): 2 MiB blocks allocated on the first
// write that is not all zero, each a 512-byte sector bitmap and its data.
#pragma once

#include "DiskFormats.h"
#include "Disk.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

struct VirtualPCHardDiskState {
    DiskInfo Info;                        // from the footer geometry
    NkHandle hFile;
    std::uint32_t* pdwBlockTable;         // host order, dwTableEntries long; owned
    std::uint32_t dwTableEntries;
    std::array<std::byte, 512> abFooter;  // the 511-byte footer copy at offset 0
    // Differencing images only: where sectors absent from this file are read. Owned.
    Disk* pParentDisk;
    // The sector bitmap last read or written, of the block stored at
    // dwBitmapEntry (kVpcUnallocated: none), so that sequential reads of a
    // block read its bitmap once.
    std::uint32_t dwBitmapEntry;
    std::array<std::byte, 512> abBitmap;
};

// What a differencing image adds to opening, run after the dynamic header
// check and before the table is loaded: the trailing footer (511 bytes) must
// equal the leading copy, and the parent is opened into pParentDisk.
using VirtualPCParentStep = int (*)(VirtualPCHardDiskState* state, const char* path,
                                    std::span<const std::byte> trailingFooter, DiskChain* chain);

// Opens a dynamic (no parent step) or differencing image of the footer type
// given; on failure everything acquired is released and the state is empty.
[[nodiscard]] int VirtualPCSparse_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly,
                                       std::uint32_t footerType, VirtualPCParentStep parentStep,
                                       DiskChain* chain = nullptr);

[[nodiscard]] VirtualPCHardDiskState* VirtualPCHardDisk_Malloc();
void VirtualPCHardDisk_Construct(VirtualPCHardDiskState* state);
[[nodiscard]] int VirtualPCHardDisk_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly);
// Closes the file, frees the table, closes and frees the parent, constructs again.
void VirtualPCHardDisk_Close(VirtualPCHardDiskState* state);
void VirtualPCHardDisk_GetDiskInfo(VirtualPCHardDiskState* state, DiskInfo* info);
// Reads allocated blocks from the file (a child: its present sectors) and the
// rest as zeros or from the parent.
[[nodiscard]] int VirtualPCHardDisk_Read(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                         void* buffer);
// Allocates a block on the first write that would change what it reads as.
[[nodiscard]] int VirtualPCHardDisk_Write(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                                          const void* buffer);
// Where the disk's bytes at offset come from: an allocated block of a dynamic
// image whole; for a differencing image each sector by its bitmap bit, and
// every other from the parent.
[[nodiscard]] int VirtualPCHardDisk_Allocation(VirtualPCHardDiskState* state, std::uint64_t offset,
                                               std::uint64_t* length, std::uint32_t* where);
// Checks the file at path as a dynamic (or differencing) image without opening
// it: footer and dynamic header, the trailing footer equal to the leading copy,
// the table inside the file and every block inside the file and named once.
// ERR_INVALID_PARAMETER when the file is no image of that footer type.
[[nodiscard]] int VirtualPCSparse_Check(const char* path, std::uint32_t footerType, DiskCheckSink sink, void* param);
[[nodiscard]] int VirtualPCHardDisk_Check(const char* path, DiskCheckSink sink, void* param);
[[nodiscard]] int VirtualPCHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain = nullptr);

inline constexpr DiskFormat kVirtualPCHardDiskFormat = {DISK_VIRTUALPC, "Virtual PC dynamic",
     MakeDiskDriver<VirtualPCHardDiskSet, VirtualPCHardDisk_Close, VirtualPCHardDisk_GetDiskInfo,
                    VirtualPCHardDisk_Read, VirtualPCHardDisk_Write, VirtualPCHardDisk_Allocation, nullptr,
                    VirtualPCHardDisk_Check>(),
     "vhd", true, false, false};

}  // namespace qim
