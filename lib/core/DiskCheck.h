// SPDX-License-Identifier: MIT
// What every sparse format's metadata check shares: the blocks its tables
// name, collected and compared with the file. A consistent image has every
// block inside the file and after its metadata, no two entries naming
// overlapping storage, and no stored space that no entry names.
#pragma once

#include "Disk.h"
#include "Nk.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

struct DiskCheckBlock {
    std::uint64_t qwStart;   // file offset
    std::uint64_t qwLength;
    std::uint64_t qwIndex;   // the table entry that names it; kDiskCheckMetadata for metadata
};
inline constexpr std::uint64_t kDiskCheckMetadata = ~std::uint64_t{0};

struct DiskBlockCheck {
    DiskCheckSink pSink;
    void* pParam;
    std::uint64_t qwDataStart;   // where blocks may begin: the end of the metadata
    std::uint64_t qwDataEnd;     // where they must end: the file's end, less a trailing copy of metadata
    std::uint64_t qwBlockBytes;  // bytes of one block in the file
    DiskCheckBlock* pBlocks;
    std::uint32_t dwCount;
    std::uint32_t dwMax;
};

// Opens the image file of a check read-only, asks its size and reads its
// first head.size() bytes into head (ERR_INVALID_PARAMETER when the file is
// shorter: it carries no signature); on success the caller closes the file,
// on failure nothing is left open.
[[nodiscard]] int DiskCheck_OpenFile(const char* path, NkHandle* file, std::uint64_t* size, std::span<std::byte> head);

// Reports one finding to a sink.
void DiskCheck_Report(DiskCheckSink sink, void* param, std::uint32_t kind, const char* what,
                      const char* first = nullptr, std::uint64_t firstValue = 0, const char* second = nullptr,
                      std::uint64_t secondValue = 0);

// Where a format's one walk of its metadata reports: qimg check's sink, or
// none for an open, whose walk ends at the first corruption.
struct DiskFindings {
    DiskCheckSink pSink;
    void* pParam;
    bool bCorrupt;  // a corruption was reported
};
// A DiskCheckSink over a DiskFindings: passes the finding on and notes a corruption.
void DiskFindings_Sink(void* findings, const DiskCheckFinding* finding);
// Reports to the findings; true when the walk is to end here (an open's, at a corruption).
bool DiskFindings_Report(DiskFindings* findings, std::uint32_t kind, const char* what, const char* first = nullptr,
                         std::uint64_t firstValue = 0, const char* second = nullptr, std::uint64_t secondValue = 0);
[[nodiscard]] inline bool DiskFindings_Stop(const DiskFindings& f) { return f.bCorrupt && f.pSink == nullptr; }

// Room for maxBlocks entries; ERR_NO_MEMORY when it cannot be had.
[[nodiscard]] int DiskBlockCheck_Init(DiskBlockCheck* check, DiskCheckSink sink, void* param, std::uint64_t dataStart,
                                      std::uint64_t dataEnd, std::uint64_t blockBytes, std::uint32_t maxBlocks);
// Entry index names a block at file offset start: reported at once when it
// lies outside [dataStart, dataEnd), kept for Finish otherwise.
void DiskBlockCheck_Add(DiskBlockCheck* check, std::uint64_t index, std::uint64_t start);
// Metadata that lies among the blocks (a parent's name, for one): no block
// may overlap it, and its bytes are not leaked. Needs a place of maxBlocks.
void DiskBlockCheck_AddMetadata(DiskBlockCheck* check, std::uint64_t start, std::uint64_t length);
// Reports entries whose blocks overlap, then every stretch of
// [dataStart, dataEnd) that no block covers as leaked; frees the list.
void DiskBlockCheck_Finish(DiskBlockCheck* check);
void DiskBlockCheck_Free(DiskBlockCheck* check);

}  // namespace qim
