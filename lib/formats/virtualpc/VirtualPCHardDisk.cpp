// SPDX-License-Identifier: MIT
// Virtual PC dynamic images, and the block map differencing images share.
//
// The file is a footer copy, the dynamic header, the block allocation table,
// the blocks, and the footer again in its last bytes. A block is allocated on
// the first write that would change what it reads as: it is appended where the
// trailing footer began, and the footer moves behind it. A dynamic image reads
// an allocated block whole from the file; a differencing image reads the
// sectors whose bitmap bit is set from the file and every other from its
// parent. The sparse engine does the reads and writes over the map here.
#include "VirtualPCHardDisk.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "SparseExtent.h"
#include "SparseParent.h"
#include "VirtualPCHeader.h"

#include <algorithm>
#include <cstring>

namespace qim {

namespace {

constexpr std::uint64_t kBlockFileBytes = kVpcBitmapLength + std::uint64_t{kVpcBlockSize};

using Bitmap = std::array<std::byte, kVpcBitmapLength>;

std::uint64_t BitmapAt(std::uint32_t entry) { return std::uint64_t{entry} * kVpcSectorSize; }
std::uint64_t DataAt(std::uint32_t entry, std::uint64_t inBlock)
{
    return BitmapAt(entry) + kVpcBitmapLength + inBlock;
}

int ReadAt(const VirtualPCHardDiskState* state, std::uint64_t at, std::span<std::byte> out)
{
    return NkReadFile(state->hFile, at, static_cast<std::uint32_t>(out.size()), out.data()) ? 0 : ERR_READ_FILE;
}

int WriteAt(const VirtualPCHardDiskState* state, std::uint64_t at, std::span<const std::byte> in, int failure)
{
    return NkWriteFile(state->hFile, at, static_cast<std::uint32_t>(in.size()), in.data()) ? 0 : failure;
}

// The one walk of an image's metadata, for the open and for qimg check: the
// footer and the dynamic header, the table inside the file, and every
// allocated block behind the table and before the trailing footer, so that
// no write through the table lands in the headers or past the file; the
// table is loaded (host order) and the last sector kept for the caller. The
// open's findings end the walk at the first corruption.
int WalkMetadata(VirtualPCHardDiskState* state, std::uint32_t footerType, DiskFindings* f,
                 std::span<std::byte, kVpcSectorSize> lastSector)
{
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    const std::span<const std::byte> footer(state->abFooter.data(), kVpcFooterLength);
    if (fileSize < kVpcSectorSize || CheckMainHeader(footer, footerType) != 0 ||
        VirtualPCFooterInfo(footer, &state->Info) != 0) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "footer fields do not fit the format");
        return 0;
    }
    std::array<std::byte, kVpcSparseHeaderLength> header{};
    if (int rc = ReadAt(state, fileSize - kVpcSectorSize, lastSector); rc != 0)
        return rc;
    // The trailing copy fills the last sector, or its last 511 bytes. Only
    // the check holds a dynamic image to it; a differencing image's open
    // compares the copies itself.
    const std::size_t copyAt = std::memcmp(lastSector.data(), "conectix", 8) == 0 ? 0 : 1;
    if (f->pSink != nullptr && std::memcmp(lastSector.data() + copyAt, footer.data(), kVpcFooterLength) != 0)
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "the footer copies differ");
    if (int rc = ReadAt(state, kVpcSparseHeaderOffset, header); rc != 0)
        return rc;
    if (CheckSparseHeader(header, static_cast<std::uint32_t>(VirtualPCOriginalSize(footer) >> 20)) != 0) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "dynamic header fields do not fit the format");
        return 0;
    }
    const std::uint32_t entries = LoadBE<std::uint32_t>(header, kVpcSparseMaxTableEntries);
    const std::uint64_t tableEnd = kVpcBlockTableOffset + std::uint64_t{entries} * 4;
    const std::uint64_t dataEnd = (fileSize - kVpcFooterLength) / kVpcSectorSize * kVpcSectorSize;
    if (entries > UINT32_MAX / 4 || tableEnd > fileSize - kVpcFooterLength) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "the block table lies past the end of the file", "entries",
                            entries);
        return 0;
    }
    state->pdwBlockTable = static_cast<std::uint32_t*>(NkMalloc(4 * std::max(entries, 1u)));
    if (state->pdwBlockTable == nullptr)
        return ERR_NO_MEMORY;
    state->dwTableEntries = entries;
    const std::span<std::byte> raw(reinterpret_cast<std::byte*>(state->pdwBlockTable), 4 * std::size_t{entries});
    if (int rc = ReadAt(state, kVpcBlockTableOffset, raw); rc != 0)
        return rc;
    DiskBlockCheck blocks{};
    const std::uint64_t dataStart = (tableEnd + kVpcSectorSize - 1) / kVpcSectorSize * kVpcSectorSize;
    if (int rc = DiskBlockCheck_Init(&blocks, DiskFindings_Sink, f, dataStart, dataEnd, kBlockFileBytes,
                                     f->pSink != nullptr ? entries + 1 : 0);
        rc != 0)
        return rc;
    ScopeGuard freeBlocks([&blocks] { DiskBlockCheck_Free(&blocks); });
    // A differencing image keeps its parent's name among the blocks.
    std::array<std::byte, kVpcLocatorLength> locator{};
    if (f->pSink != nullptr && footerType == kVpcTypeDifferencing && ReadAt(state, kVpcLocatorOffset, locator) == 0 &&
        CheckDifferenceHeader(locator) == 0)
        DiskBlockCheck_AddMetadata(&blocks, LoadBE<std::uint32_t>(locator, kVpcLocatorDataOffsetLow),
                                   LoadBE<std::uint32_t>(locator, kVpcLocatorDataSpace));
    for (std::uint32_t i = 0; i < entries && !DiskFindings_Stop(*f); ++i) {
        state->pdwBlockTable[i] = LoadBE<std::uint32_t>(raw, std::size_t{i} * 4);
        if (state->pdwBlockTable[i] != kVpcUnallocated)
            DiskBlockCheck_Add(&blocks, i, BitmapAt(state->pdwBlockTable[i]));
    }
    if (f->pSink != nullptr) {
        freeBlocks.release();
        DiskBlockCheck_Finish(&blocks);
    }
    return 0;
}

// The bitmap of the block stored at entry, from the state's copy when it holds that block's.
int LoadBitmap(VirtualPCHardDiskState* state, std::uint32_t entry, Bitmap* bitmap)
{
    if (state->dwBitmapEntry != entry) {
        state->dwBitmapEntry = kVpcUnallocated;
        if (int rc = ReadAt(state, BitmapAt(entry), state->abBitmap); rc != 0)
            return rc;
        state->dwBitmapEntry = entry;
    }
    *bitmap = state->abBitmap;
    return 0;
}

// The map: block u is where its table entry says, a sector bitmap and its
// data. A dynamic image holds an allocated block whole; a differencing one
// the sectors whose bit is set, every other being its parent's.
int FindBlock(void* p, std::uint64_t u, std::uint64_t inBlock, SparseSpot* spot)
{
    auto* state = static_cast<VirtualPCHardDiskState*>(p);
    const std::uint32_t entry = state->pdwBlockTable[u];
    *spot = {entry != kVpcUnallocated, entry != kVpcUnallocated, DataAt(entry, inBlock), kVpcBlockSize - inBlock};
    if (entry == kVpcUnallocated || state->pParentDisk == nullptr)
        return 0;
    Bitmap bitmap{};
    if (int rc = LoadBitmap(state, entry, &bitmap); rc != 0)
        return rc;
    const auto sector = static_cast<std::uint32_t>(inBlock / kVpcSectorSize);
    spot->bStored = IsExistData(sector, bitmap) != 0;
    std::uint32_t end = sector + 1;
    while (end < kVpcBlockSize / kVpcSectorSize && (IsExistData(end, bitmap) != 0) == spot->bStored)
        ++end;
    spot->qwBytes = std::uint64_t{end} * kVpcSectorSize - inBlock;
    return 0;
}

// A new block goes where the trailing footer begins, rounded down to a
// sector (a footer of 511 or of 512 bytes), and behind the table in any case:
// a footer may follow a table that does not fill its last sector. The
// footer moves behind the block first, so that the file never ends without
// one, which a differencing image needs to open.
int PlaceBlock(void* p, std::uint64_t, std::uint64_t* fileAt, std::uint64_t* cutTo)
{
    auto* state = static_cast<VirtualPCHardDiskState*>(p);
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    const std::uint64_t tableEnd = kVpcBlockTableOffset + std::uint64_t{state->dwTableEntries} * 4;
    if (fileSize < tableEnd + kVpcFooterLength)
        return ERR_EXTEND_FILE;  // the file shrank under us
    *fileAt = std::max((fileSize - kVpcFooterLength) / kVpcSectorSize * kVpcSectorSize,
                       (tableEnd + kVpcSectorSize - 1) / kVpcSectorSize * kVpcSectorSize);
    *cutTo = *fileAt + kVpcFooterLength;
    return 0;
}

int EnterBlock(void* p, std::uint64_t u, std::uint64_t fileAt)
{
    auto* state = static_cast<VirtualPCHardDiskState*>(p);
    const auto entry = static_cast<std::uint32_t>(fileAt / kVpcSectorSize);
    const std::uint64_t entryAt = kVpcBlockTableOffset + u * 4;
    SparseWord word{}, former{};
    StoreBE(std::span(word), 0, entry);
    StoreBE(std::span(former), 0, kVpcUnallocated);
    if (!SparseStoreWord(state->hFile, std::span{&entryAt, 1}, word, former))
        return ERR_EXTEND_FILE;
    state->pdwBlockTable[u] = entry;
    return 0;
}

// Sets the bits of the sectors a write reached, after their data.
int WrittenBlock(void* p, std::uint64_t u, std::uint64_t inBlock, std::uint64_t bytes)
{
    auto* state = static_cast<VirtualPCHardDiskState*>(p);
    const std::uint32_t entry = state->pdwBlockTable[u];
    Bitmap bitmap{};
    if (int rc = LoadBitmap(state, entry, &bitmap); rc != 0)
        return rc;
    const Bitmap before = bitmap;
    for (auto sector = inBlock / kVpcSectorSize; sector <= (inBlock + bytes - 1) / kVpcSectorSize; ++sector)
        SetMiniBlockBit(static_cast<std::uint32_t>(sector), bitmap);
    if (bitmap == before)
        return 0;
    // Whatever a failed write left on file, the copy is read again.
    state->dwBitmapEntry = kVpcUnallocated;
    if (int rc = WriteAt(state, BitmapAt(entry), bitmap, ERR_WRITE_FILE); rc != 0)
        return rc;
    state->abBitmap = bitmap;
    state->dwBitmapEntry = entry;
    return 0;
}

std::span<const std::byte> Footer(void* p)
{
    return std::span(static_cast<VirtualPCHardDiskState*>(p)->abFooter).first(kVpcFooterLength);
}

// An entry is a sector number, kVpcUnallocated none.
constexpr SparseMap kBlockMap = {kVpcBlockSize, kBlockFileBytes, std::uint64_t{kVpcUnallocated - 1} * kVpcSectorSize,
                                 true, FindBlock, PlaceBlock, EnterBlock, WrittenBlock, Footer};

SparseExtent Extent(VirtualPCHardDiskState* state)
{
    return {&kBlockMap, state, state->hFile, std::uint64_t{state->dwTableEntries} * kVpcBlockSize,
            state->pParentDisk, 0};
}

}  // namespace

int VirtualPCSparse_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly,
                         std::uint32_t footerType, VirtualPCParentStep parentStep, DiskChain* chain)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { VirtualPCHardDisk_Close(state); });
    if (int rc = ReadAt(state, 0, std::span(state->abFooter).first(kVpcFooterLength)); rc != 0)
        return rc;
    DiskFindings findings{};
    std::array<std::byte, kVpcSectorSize> last{};
    if (int rc = WalkMetadata(state, footerType, &findings, last); rc != 0 || findings.bCorrupt)
        return rc != 0 ? rc : ERR_INVALID_IMAGE;
    if (parentStep != nullptr)
        if (int rc = parentStep(state, path, std::span(last).subspan(1), chain); rc != 0)
            return rc;
    guard.release();
    return 0;
}

VirtualPCHardDiskState* VirtualPCHardDisk_Malloc() { return NkMallocState<VirtualPCHardDiskState>(); }

void VirtualPCHardDisk_Construct(VirtualPCHardDiskState* state)
{
    state->Info = DiskInfo{};
    state->hFile = nullptr;
    state->pdwBlockTable = nullptr;
    state->dwTableEntries = 0;
    state->abFooter = {};
    state->pParentDisk = nullptr;
    state->dwBitmapEntry = kVpcUnallocated;
    state->abBitmap = {};
}

int VirtualPCHardDisk_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly)
{
    return VirtualPCSparse_Open(state, path, readOnly, kVpcTypeDynamic, nullptr);
}

// The image's own file first, then its parent chain.
void VirtualPCHardDisk_Close(VirtualPCHardDiskState* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    NkFree(state->pdwBlockTable);
    SparseParent_Close(&state->pParentDisk);
    VirtualPCHardDisk_Construct(state);
}

void VirtualPCHardDisk_GetDiskInfo(VirtualPCHardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VirtualPCHardDisk_Read(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return SparseExtent_Read(Extent(state), offset, std::span(static_cast<std::byte*>(buffer), count));
}

int VirtualPCHardDisk_Write(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                            const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return SparseExtent_Write(Extent(state), offset, std::span(static_cast<const std::byte*>(buffer), count));
}

int VirtualPCHardDisk_Allocation(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                                 std::uint32_t* where)
{
    return SparseExtent_Allocation(Extent(state), offset, length, where);
}

int VirtualPCSparse_Check(const char* path, std::uint32_t footerType, DiskCheckSink sink, void* param)
{
    VirtualPCHardDiskState state{};
    VirtualPCHardDisk_Construct(&state);
    std::uint64_t fileSize = 0;
    if (int rc = DiskCheck_OpenFile(path, &state.hFile, &fileSize, state.abFooter); rc != 0)
        return rc;
    ScopeGuard close([&state] { VirtualPCHardDisk_Close(&state); });
    const std::span<const std::byte> footer = state.abFooter;
    if (std::memcmp(footer.data(), "conectix", 8) != 0 || LoadBE<std::uint32_t>(footer, kVpcFooterDiskType) != footerType)
        return ERR_INVALID_PARAMETER;
    DiskFindings findings{sink, param, false};
    std::array<std::byte, kVpcSectorSize> last{};
    return WalkMetadata(&state, footerType, &findings, last);
}

int VirtualPCHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return VirtualPCSparse_Check(path, kVpcTypeDynamic, sink, param);
}

int VirtualPCHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VirtualPCHardDisk_Malloc, VirtualPCHardDisk_Construct, VirtualPCHardDisk_Open>(
        disk, DISK_VIRTUALPC, path, readOnly);
}

}  // namespace qim
