// SPDX-License-Identifier: MIT
// COWD sparse extents, the files of VMware 2 and VMware 3 disks: a 2,048-byte
// header, a directory of 32 MiB large blocks, one 512-entry table per large
// block, and 64 KiB small blocks appended at the header's free sector.
// VMware3Sparse serves a plain extent (absent blocks read as zeros),
// VMware3RedoSparse an extent of a redo log (absent blocks are the parent's).
#pragma once

#include "Disk.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

inline constexpr std::uint32_t kCowdSectorsPerExtent = 0x3FF800;
inline constexpr std::uint32_t kCowdHeaderSize = 2048;
inline constexpr std::uint32_t kCowdSmallBlockSectors = 128;
inline constexpr std::uint32_t kCowdSmallBlockBytes = kCowdSmallBlockSectors * 512;
inline constexpr std::uint32_t kCowdTableEntries = 512;
inline constexpr std::uint32_t kCowdTableBytes = kCowdTableEntries * 4;
inline constexpr std::uint64_t kCowdLargeBlockBytes = std::uint64_t{kCowdTableEntries} * kCowdSmallBlockBytes;
inline constexpr std::uint64_t kCowdExtentBytes = std::uint64_t{kCowdSectorsPerExtent} * 512;

// Header field offsets.
namespace cowd {
inline constexpr std::size_t kMagic = 0, kVersion = 4, kFlags = 8, kSectors = 12, kSmallBlockSize = 16,
                             kDirectorySector = 20, kDirectorySize = 24, kFreeSector = 28, kCylinders = 32,
                             kParentName = 32, kHeads = 36, kSectorsPerTrack = 40, kZero1056 = 1056, kPaired1060 = 1060,
                             kPaired1636 = 1636, kAdapter = 1640, kExtentIndex = 1648, kExtentCount = 1652,
                             kDiskCylinders = 1656, kDiskHeads = 1660, kDiskSectorsPerTrack = 1664, kDiskSectors = 1668,
                             kExtentSize = 1676;
inline constexpr std::uint32_t kMagicValue = 0x44574F43;   // "COWD"
inline constexpr std::uint32_t kAdapterIde = 0x00656469;   // "ide"
inline constexpr std::uint32_t kAdapterScsi = 0x69736373;  // "scsi"
inline constexpr std::uint32_t kFlagsPlain = 0x13, kFlagsPlainMulti = 0x1B, kFlagsRedo = 0x12, kFlagsRedoMulti = 0x1A;
static_assert(kExtentSize + 4 <= kCowdHeaderSize);
}  // namespace cowd

struct VMware3SparseState {
    NkHandle hFile;
    std::array<std::byte, kCowdHeaderSize> abHeader;  // its free sector is kept current
    std::uint32_t dwExtentSectors;
    std::uint32_t dwDirEntries;
    std::uint32_t* pdwDirectory;
    std::uint32_t dwCachedTable;  // the large block whose table pdwTableCache holds
    std::uint32_t* pdwTableCache;
};

// The rules a header of a VMware 3 (version 3) or VMware 2 (version 1) extent
// must meet, plain or redo: 0 or ERR_INVALID_IMAGE.
[[nodiscard]] int CheckCowdHeader(std::span<const std::byte> header, std::uint32_t version, bool redo);

void VMware3Sparse_Construct(VMware3SparseState* state);
void VMware3Sparse_Close(VMware3SparseState* state);
[[nodiscard]] int VMware3Sparse_Open(VMware3SparseState* state, const char* path, std::uint32_t readOnly,
                                     std::uint32_t extentIndex);
[[nodiscard]] int VMware3Sparse_Open2(VMware3SparseState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int VMware3Sparse_Read(VMware3SparseState* state, std::uint64_t offset, std::uint32_t count,
                                     void* buffer);
[[nodiscard]] int VMware3Sparse_Write(VMware3SparseState* state, std::uint64_t offset, std::uint32_t count,
                                      const void* buffer);

void VMware3RedoSparse_Construct(VMware3SparseState* state);
void VMware3RedoSparse_Close(VMware3SparseState* state);
[[nodiscard]] int VMware3RedoSparse_Open(VMware3SparseState* state, const char* path, std::uint32_t readOnly,
                                         std::uint32_t extentIndex);
[[nodiscard]] int VMware3RedoSparse_Open2(VMware3SparseState* state, const char* path, std::uint32_t readOnly);
[[nodiscard]] int VMware3RedoSparse_Read(VMware3SparseState* state, Disk* parent, std::uint64_t base,
                                         std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int VMware3RedoSparse_Write(VMware3SparseState* state, Disk* parent, std::uint64_t base,
                                          std::uint64_t offset, std::uint32_t count, const void* buffer);

// The parent's name in a redo extent's header; the header check made sure it ends inside it.
[[nodiscard]] const char* CowdParentName(const VMware3SparseState& e);

// Opens an extent of this header version, plain or redo (the open routines' work).
[[nodiscard]] int CowdOpen(VMware3SparseState* state, const char* path, std::uint32_t readOnly, std::uint32_t version,
                           bool redo, std::uint32_t extentIndex);

// Checks the COWD file at path without opening it as a disk: header,
// directory, tables, small blocks and free sector; *extentCount is the number
// of files the header names. ERR_INVALID_PARAMETER when the file carries no
// COWD signature of this version and variant (plain or redo).
[[nodiscard]] int CowdCheckFile(const char* path, std::uint32_t version, bool redo, std::uint32_t extentIndex,
                                DiskCheckSink sink, void* param, std::uint32_t* extentCount);

// Where the extent's bytes at offset come from: a small block of the file,
// else the parent (when one is given) or nowhere; *length is cut where that changes.
[[nodiscard]] int VMware3Sparse_Allocation(VMware3SparseState* state, Disk* parent, std::uint64_t offset,
                                           std::uint64_t* length, std::uint32_t* where);

}  // namespace qim
