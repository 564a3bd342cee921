// SPDX-License-Identifier: MIT
// What the three VMware 4 disk drivers share: Open's working memory, reading
// a descriptor, the plain disks' requirements, and a disk made of a row of
// extent files.
#pragma once

#include "DiskEtc.h"
#include "VMware4DiskDescription.h"
#include "VMware4RedoDiskDescription.h"
#include "VMware4Sparse.h"

#include <array>
#include <cstdint>
#include <span>

namespace qim {

// Open's working memory, from NkMalloc: a kernel stack has no room for it.
struct VMware4OpenWork {
    std::array<char, kDescriptionTextBytes + 1> achText;
    VMware4DiskDescription Plain;
    VMware4RedoDiskDescription Redo;
    std::array<char, kNkMaxPath> achPath;
};
// Allocates Open's working memory into *work (the caller frees it with
// NkFree, also on failure) and reads the descriptor text into it: the
// embedded one at byte 512 of a monolithic extent (wholeFile false), or a
// whole descriptor file, which must not be longer than the text.
// 0, -201, -202, -204, -205 or -206.
[[nodiscard]] int ReadVMware4Descriptor(const char* path, std::uint32_t readOnly, bool wholeFile,
                                        VMware4OpenWork** work);

// Parses work->achText into work->Plain: 0 when it is a plain disk's
// descriptor with this create type, hardware version 3, an "ide" or
// "buslogic" adapter, at least one extent line and no parent (whose data a
// plain disk would silently miss); else ERR_INVALID_IMAGE.
[[nodiscard]] int ParseVMware4PlainDescription(VMware4OpenWork* work, const char* createType);

using VMware4ExtentOpenFunc = int (*)(VMware4Sparse*, const char*, std::uint32_t, std::uint32_t);
using VMware4ExtentCloseFunc = void (*)(VMware4Sparse*);

// Opens the extent files that a descriptor file names, each beside it and
// without an embedded descriptor, and checks each capacity against its line.
// On success *extents holds count opened extents and *totalSectors their sum;
// on failure nothing is left open or allocated.
[[nodiscard]] int OpenVMware4Extents(const char* descriptorPath, std::uint32_t readOnly, std::uint32_t count,
                                     std::span<const std::uint32_t> sectors, std::span<char* const> files,
                                     std::span<char, kNkMaxPath> pathBuffer, VMware4ExtentOpenFunc open,
                                     VMware4ExtentCloseFunc close, VMware4Sparse** extents,
                                     std::uint32_t* totalSectors);
void CloseVMware4Extents(std::uint32_t count, VMware4Sparse** extents, VMware4ExtentCloseFunc close);

// Serves a request that lies inside the disk over the extents in a row; with
// a parent, the extents are redo extents over it.
[[nodiscard]] int ReadVMware4Extents(std::uint32_t count, VMware4Sparse* extents, Disk* parent, std::uint64_t offset,
                                     std::span<std::byte> buffer);
[[nodiscard]] int WriteVMware4Extents(std::uint32_t count, VMware4Sparse* extents, Disk* parent,
                                      std::uint64_t offset, std::span<const std::byte> data);

// Where the disk's bytes at offset come from, over the extents in a row (redo
// extents over the parent when there is one); *length stops at an extent's end.
[[nodiscard]] int VMware4Extents_Allocation(std::uint32_t count, VMware4Sparse* extents, Disk* parent,
                                            std::uint64_t offset, std::uint64_t* length, std::uint32_t* where);

// Whether the parent at parentPath is the disk a redo log was made over: the
// CID of the parent's descriptor against the log's parentCID. 0 also when
// either records none (a parent of another format); ERR_INVALID_IMAGE, both
// ids in *recorded and *found, when they differ.
[[nodiscard]] int CheckVMware4ParentCid(const char* parentPath, const char* parentCid, std::uint32_t* recorded,
                                        std::uint32_t* found);

// A disk's descriptor CID, which its first write after opening replaces (as
// its writers do), so that a redo log made over the disk earlier sees that
// its parent changed.
struct VMware4Cid {
    NkHandle hFile;  // the file holding the descriptor
    bool bOwned;     // hFile was opened for this and is closed with it
    bool bRenewed;   // or there is no CID to replace
    std::uint64_t qwAt;  // file offset of the CID's digits
    std::uint32_t dwDigits;
    std::array<char, 8> achNew;
};
// Finds the CID line in a descriptor text (before it is parsed) that lies at
// textAt in the file: file, or when null the file at path, opened unless
// readOnly (no path: the caller sets hFile).
[[nodiscard]] int VMware4Cid_Init(VMware4Cid* cid, const char* text, std::uint64_t textAt, NkHandle file,
                                  const char* path, std::uint32_t readOnly);
// The first call writes the new CID's digits in place; later ones do nothing.
[[nodiscard]] int VMware4Cid_Renew(VMware4Cid* cid);
void VMware4Cid_Close(VMware4Cid* cid);

// Checks a disk that a descriptor file describes: every extent it names
// (grains numbered in disk order) and, for a redo log, that its parent is
// there. ERR_INVALID_PARAMETER when path is no such descriptor.
[[nodiscard]] int CheckVMware4DescribedDisk(const char* path, bool redo, DiskCheckSink sink, void* param);

}  // namespace qim
