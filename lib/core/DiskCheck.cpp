// SPDX-License-Identifier: MIT
#include "DiskCheck.h"

#include "Nk.h"

#include <algorithm>

namespace qim {

int DiskCheck_OpenFile(const char* path, NkHandle* file, std::uint64_t* size, std::span<std::byte> head)
{
    if (!NkCreateFile(path, 1, file))
        return ERR_CREATE_FILE;
    int rc = 0;
    if (!NkGetFileSize(*file, size))
        rc = ERR_GET_FILE_SIZE;
    else if (*size < head.size())
        rc = ERR_INVALID_PARAMETER;
    else if (!NkReadFile(*file, 0, static_cast<std::uint32_t>(head.size()), head.data()))
        rc = ERR_READ_FILE;
    if (rc != 0)
        NkCloseFile(*file);
    return rc;
}

void DiskCheck_Report(DiskCheckSink sink, void* param, std::uint32_t kind, const char* what, const char* first,
                      std::uint64_t firstValue, const char* second, std::uint64_t secondValue)
{
    const DiskCheckFinding finding{kind, what, first, firstValue, second, secondValue};
    sink(param, &finding);
}

void DiskFindings_Sink(void* findings, const DiskCheckFinding* finding)
{
    auto* f = static_cast<DiskFindings*>(findings);
    f->bCorrupt = f->bCorrupt || finding->dwKind == DISK_CHECK_CORRUPT;
    if (f->pSink != nullptr)
        f->pSink(f->pParam, finding);
}

bool DiskFindings_Report(DiskFindings* findings, std::uint32_t kind, const char* what, const char* first,
                         std::uint64_t firstValue, const char* second, std::uint64_t secondValue)
{
    DiskCheck_Report(DiskFindings_Sink, findings, kind, what, first, firstValue, second, secondValue);
    return DiskFindings_Stop(*findings);
}

int DiskBlockCheck_Init(DiskBlockCheck* check, DiskCheckSink sink, void* param, std::uint64_t dataStart,
                        std::uint64_t dataEnd, std::uint64_t blockBytes, std::uint32_t maxBlocks)
{
    *check = {sink, param, dataStart, dataEnd, blockBytes, nullptr, 0, maxBlocks};
    const std::uint64_t bytes = std::uint64_t{std::max(maxBlocks, 1u)} * sizeof(DiskCheckBlock);
    if (bytes > 0xFFFFFFFFu)
        return ERR_NO_MEMORY;
    check->pBlocks = static_cast<DiskCheckBlock*>(NkMalloc(static_cast<std::uint32_t>(bytes)));
    return check->pBlocks != nullptr ? 0 : ERR_NO_MEMORY;
}

void DiskBlockCheck_Add(DiskBlockCheck* check, std::uint64_t index, std::uint64_t start)
{
    if (start < check->qwDataStart) {
        DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_CORRUPT, "block lies inside the metadata", "entry", index, "file offset",
                         start);
    } else if (start > check->qwDataEnd || check->qwDataEnd - start < check->qwBlockBytes) {
        DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_CORRUPT, "block lies past the end of the file", "entry", index,
                         "file offset", start);
    } else if (check->dwCount < check->dwMax) {
        check->pBlocks[check->dwCount++] = {start, check->qwBlockBytes, index};
    }
}

void DiskBlockCheck_AddMetadata(DiskBlockCheck* check, std::uint64_t start, std::uint64_t length)
{
    if (check->dwCount < check->dwMax)
        check->pBlocks[check->dwCount++] = {start, length, kDiskCheckMetadata};
}

void DiskBlockCheck_Finish(DiskBlockCheck* check)
{
    DiskCheckBlock* blocks = check->pBlocks;
    std::sort(blocks, blocks + check->dwCount,
              [](const DiskCheckBlock& a, const DiskCheckBlock& b) { return a.qwStart < b.qwStart; });
    std::uint64_t covered = check->qwDataStart;  // end of the storage named so far
    std::uint64_t coveredBy = 0;                 // the entry whose block reaches furthest
    for (std::uint32_t i = 0; i < check->dwCount; ++i) {
        const DiskCheckBlock& b = blocks[i];
        if (b.qwStart < covered && (b.qwIndex == kDiskCheckMetadata || coveredBy == kDiskCheckMetadata))
            DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_CORRUPT, "block overlaps the metadata", "entry",
                             b.qwIndex == kDiskCheckMetadata ? coveredBy : b.qwIndex);
        else if (b.qwStart < covered)
            DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_CORRUPT, "two entries name the same storage",
                             "entry", coveredBy, "entry", b.qwIndex);
        else if (b.qwStart > covered)
            DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_LEAK, "file space that no entry names", "file offset", covered,
                             "bytes", b.qwStart - covered);
        if (b.qwStart + b.qwLength > covered) {
            covered = b.qwStart + b.qwLength;
            coveredBy = b.qwIndex;
        }
    }
    if (covered < check->qwDataEnd)
        DiskCheck_Report(check->pSink, check->pParam, DISK_CHECK_LEAK, "file space that no entry names", "file offset", covered, "bytes",
                         check->qwDataEnd - covered);
    DiskBlockCheck_Free(check);
}

void DiskBlockCheck_Free(DiskBlockCheck* check)
{
    NkFree(check->pBlocks);
    check->pBlocks = nullptr;
    check->dwCount = 0;
}

}  // namespace qim
