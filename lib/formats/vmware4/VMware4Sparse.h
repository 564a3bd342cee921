// SPDX-License-Identifier: MIT
// VMware 4 sparse extents ("KDMV"): one file holding part or all of a disk in
// 64 KiB grains allocated on first write, found through two copies of every
// grain table. The redo variant reads what the extent lacks from a parent Disk.
#pragma once

#include "Disk.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

inline constexpr std::size_t kVMware4HeaderBytes = 80;

// Byte offsets of the header fields; every 64-bit field is used by its low word.
enum VMware4HeaderField : std::size_t {
    kVMware4Magic = 0,
    kVMware4Version = 4,
    kVMware4Flags = 8,
    kVMware4Capacity = 12,
    kVMware4GrainSize = 20,
    kVMware4DescriptorOffset = 28,
    kVMware4DescriptorSize = 36,
    kVMware4GtesPerGt = 44,
    kVMware4RedundantGdOffset = 48,
    kVMware4GdOffset = 56,
    kVMware4Overhead = 64,
    kVMware4CheckWord0 = 72,  // unclean-shutdown byte and the first three line-end test bytes
    kVMware4CheckWord1 = 76,  // last line-end test byte, compression algorithm, padding
};
static_assert(kVMware4CheckWord1 + 4 == kVMware4HeaderBytes);

inline constexpr std::uint32_t kVMware4MaxCapacity = 0x10000000;  // sectors: 128 GiB

struct VMware4SparseHeader {
    std::array<std::byte, kVMware4HeaderBytes> ab;
};

struct VMware4Sparse {
    NkHandle hFile;
    VMware4SparseHeader Header;
    std::uint32_t dwCapacity;
    std::uint32_t dwGdEntries;
    std::uint32_t* pdwRedundantGd;
    std::uint32_t* pdwGd;
    std::uint32_t dwCachedGt;  // kVMware4NoTable when no table is cached
    std::uint32_t* pdwGtCache;
    bool bPrimaryLags;  // some entry is in the redundant tables alone
};
// A redo extent is the same file and the same record; only its reads and
// writes differ, by the parent they are given.
using VMware4RedoSparse = VMware4Sparse;

inline constexpr std::uint32_t kVMware4NoTable = 0xFFFFFFFF;

// 0 when every header rule holds, the descriptor is where the flag requires
// (flag 0: embedded descriptor present, nonzero: none) and the capacity is at
// most kVMware4MaxCapacity; else ERR_INVALID_IMAGE.
[[nodiscard]] int CheckVMware4SparseHeader(std::span<const std::byte> header, std::uint32_t descriptorFlag);

void VMware4Sparse_Construct(VMware4Sparse* state);
[[nodiscard]] int VMware4Sparse_Open(VMware4Sparse* state, const char* path, std::uint32_t readOnly,
                                     std::uint32_t descriptorFlag);
void VMware4Sparse_Close(VMware4Sparse* state);
// Requests stay inside the extent; the disk drivers cut them at its end.
[[nodiscard]] int VMware4Sparse_Read(VMware4Sparse* state, std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int VMware4Sparse_Write(VMware4Sparse* state, std::uint64_t offset, std::uint32_t count,
                                      const void* buffer);

void VMware4RedoSparse_Construct(VMware4RedoSparse* state);
[[nodiscard]] int VMware4RedoSparse_Open(VMware4RedoSparse* state, const char* path, std::uint32_t readOnly,
                                         std::uint32_t descriptorFlag);
void VMware4RedoSparse_Close(VMware4RedoSparse* state);
// diskOffset: where the extent's first byte lies within the whole disk.
[[nodiscard]] int VMware4RedoSparse_Read(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset,
                                         std::uint64_t offset, std::uint32_t count, void* buffer);
[[nodiscard]] int VMware4RedoSparse_Write(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset,
                                          std::uint64_t offset, std::uint32_t count, const void* buffer);

// Where the extent's bytes at offset come from: a grain of the file, else the
// parent (when one is given) or nowhere; *length is cut where the answer changes.
[[nodiscard]] int VMware4Sparse_Allocation(VMware4Sparse* state, Disk* parent, std::uint64_t offset,
                                           std::uint64_t* length, std::uint32_t* where);

// Checks the extent file at path without opening it as a disk: header, both
// directories and every table inside the metadata, table copies equal, every
// grain inside the file and named once. Grain entries are numbered from
// firstGrain, so that a disk of several extents numbers them in disk order.
// ERR_INVALID_PARAMETER when the file is no sparse extent.
[[nodiscard]] int VMware4Sparse_CheckFile(const char* path, std::uint64_t firstGrain, DiskCheckSink sink, void* param);

}  // namespace qim
