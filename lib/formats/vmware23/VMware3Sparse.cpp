// SPDX-License-Identifier: MIT
// COWD extents, plain and redo: one implementation, told apart by the parent
// (null for a plain extent). An absent small block reads as zeros or as the
// parent's bytes; a write that needs storage appends a table and a 64 KiB
// small block at the free sector. Every extent keeps one table in memory.
#include "VMware3Sparse.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "SparseExtent.h"
#include "SparseParent.h"

#include <algorithm>
#include <cstring>

namespace qim {

namespace {

constexpr std::uint32_t kNoTable = 0xFFFFFFFF;  // no large block has this number
constexpr std::uint32_t kTableSectors = kCowdTableBytes / 512;

std::uint32_t Field(std::span<const std::byte> header, std::size_t at) { return LoadLE<std::uint32_t>(header, at); }

// The geometry rules of a VMware 3 plain header: 0 or ERR_INVALID_IMAGE.
int CheckGeometry(std::span<const std::byte> h)
{
    using namespace cowd;
    const std::uint64_t t = Field(h, kDiskSectors), c = Field(h, kDiskCylinders), hd = Field(h, kDiskHeads),
                        s = Field(h, kDiskSectorsPerTrack);
    const std::uint64_t ownC = Field(h, kCylinders), ownH = Field(h, kHeads), ownS = Field(h, kSectorsPerTrack),
                        ownT = Field(h, kSectors), count = Field(h, kExtentCount);
    bool ok = false;
    switch (Field(h, kAdapter)) {
    case kAdapterIde:
        ok = ownH == 16 && hd == 16 && ownS == 63 && s == 63;
        if (t > kCowdSectorsPerExtent)
            ok = ok && count == (t + kCowdSectorsPerExtent - 1) / kCowdSectorsPerExtent && t <= 0x10000000 &&
                 (t <= 0xFBFC10 ? c * 1008 == t : c == 16383);
        else
            ok = ok && count == 1 && ownC * 1008 == ownT && c * 1008 == t && ownC >= c;
        break;
    case kAdapterScsi:
        ok = t > kCowdSectorsPerExtent || (ownH == hd && ownS == s && ownT == t && ownC == c);
        if (t <= 0x1FF800)
            ok = ok && hd == 64 && s == 32;
        else if (t <= 0x3FF000)
            ok = ok && hd == 128 && s == 32;
        else
            ok = ok && t <= 0xFFFEB05 && hd == 255 && s == 63;
        // Heads and sectors are bounded now, so the product cannot wrap.
        ok = ok && hd * c * s == t;
        break;
    default:
        break;
    }
    return ok ? 0 : ERR_INVALID_IMAGE;
}

// The sectors that extent extentIndex serves: every extent of a VMware 3 disk
// but the last serves kCowdSectorsPerExtent.
std::uint32_t ExtentSectors(std::span<const std::byte> h, std::uint32_t version, bool redo, std::uint32_t extentIndex)
{
    using namespace cowd;
    if (version != 3)
        return Field(h, kSectors);
    std::uint32_t diskSectors = Field(h, kSectors);
    if (!redo && Field(h, kDiskSectors) > kCowdSectorsPerExtent)
        diskSectors = Field(h, kDiskSectors);
    const std::uint32_t rest = diskSectors % kCowdSectorsPerExtent;
    const bool last = std::uint64_t{extentIndex} + 1 == Field(h, kExtentCount);
    return last && rest != 0 ? rest : kCowdSectorsPerExtent;
}

std::uint32_t DirectoryEntries(std::uint32_t extentSectors)
{
    return static_cast<std::uint32_t>((std::uint64_t{extentSectors} + 65535) / 65536);
}

// The first sector behind the header and a directory of n entries.
std::uint64_t FirstFreeSector(std::uint32_t n) { return 4 + (std::uint64_t{n} * 4 + 511) / 512; }

// Converts n little-endian u32 read from a file into host order, in place.
void FromLE(std::uint32_t* p, std::uint32_t n)
{
    const auto bytes = std::as_bytes(std::span(p, n));
    for (std::uint32_t k = 0; k < n; ++k)
        p[k] = LoadLE<std::uint32_t>(bytes, 4 * std::size_t{k});
}

// Writes a metadata word; when that fails, puts the former value back.
[[nodiscard]] bool ReplaceU32(NkHandle file, std::uint64_t at, std::uint32_t value, std::uint32_t former)
{
    SparseWord word{}, old{};
    StoreLE<std::uint32_t>(word, 0, value);
    StoreLE<std::uint32_t>(old, 0, former);
    return SparseStoreWord(file, std::span{&at, 1}, word, old);
}

std::uint32_t FreeSector(const VMware3SparseState* e) { return Field(e->abHeader, cowd::kFreeSector); }
void SetFreeSector(VMware3SparseState* e, std::uint32_t sector)
{
    StoreLE(std::span(e->abHeader), cowd::kFreeSector, sector);
}

std::uint64_t FirstDataSector(const VMware3SparseState* e) { return FirstFreeSector(e->dwDirEntries); }

// True when n sectors at `at` lie behind the directory and before the free
// sector: writes there reach no metadata, and no new unit is placed over them.
bool InDataArea(const VMware3SparseState* e, std::uint32_t at, std::uint32_t n)
{
    return at >= FirstDataSector(e) && std::uint64_t{at} + n <= FreeSector(e);
}

// The free sector, when n sectors fit there without wrapping and without
// overwriting the header or the directory; 0 otherwise.
std::uint32_t PlaceFor(const VMware3SparseState* e, std::uint32_t n)
{
    const std::uint32_t free = FreeSector(e);
    return free >= FirstDataSector(e) && free <= 0xFFFFFFFF - n ? free : 0;
}

// Makes the cache hold large block i's table, whose directory entry is set.
// A failed read, or a table naming a small block outside the data area,
// leaves the cache holding no table.
int LoadTable(VMware3SparseState* e, std::uint32_t i)
{
    if (e->dwCachedTable == i)
        return 0;
    e->dwCachedTable = kNoTable;
    if (!NkReadFile(e->hFile, std::uint64_t{e->pdwDirectory[i]} * 512, kCowdTableBytes, e->pdwTableCache))
        return ERR_READ_FILE;
    FromLE(e->pdwTableCache, kCowdTableEntries);
    for (std::uint32_t j = 0; j < kCowdTableEntries; ++j)
        if (e->pdwTableCache[j] != 0 && !InDataArea(e, e->pdwTableCache[j], kCowdSmallBlockSectors))
            return ERR_INVALID_IMAGE;
    e->dwCachedTable = i;
    return 0;
}

// Appends a zero table for large block i: the table, then the free sector,
// then its directory entry, so that no table the directory names is ever
// handed out again as free space. -303 on failure; the directory in memory
// keeps the entry only once the file holds it.
int CreateTable(VMware3SparseState* e, std::uint32_t i)
{
    const std::uint32_t at = PlaceFor(e, kTableSectors);
    if (at == 0)
        return ERR_EXTEND_FILE;
    std::memset(e->pdwTableCache, 0, kCowdTableBytes);
    e->dwCachedTable = i;
    if (!NkWriteFile(e->hFile, std::uint64_t{at} * 512, kCowdTableBytes, e->pdwTableCache) ||
        !ReplaceU32(e->hFile, cowd::kFreeSector, at + kTableSectors, at))
        return ERR_EXTEND_FILE;
    SetFreeSector(e, at + kTableSectors);
    if (!ReplaceU32(e->hFile, std::uint64_t{4} * 512 + 4 * std::uint64_t{i}, at, 0))
        return ERR_EXTEND_FILE;
    e->pdwDirectory[i] = at;
    return 0;
}

// The one walk of an extent's metadata, for the open and for qimg check: the
// header, the directory inside the file, every table and small block behind
// the directory and inside the file, and the free sector behind them all, so
// that no write lands in metadata and no new unit is placed over another.
// The open's findings end the walk at the first corruption.
int WalkMetadata(VMware3SparseState* e, std::uint32_t version, bool redo, std::uint32_t extentIndex, DiskFindings* f)
{
    using namespace cowd;
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(e->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    const std::span<const std::byte> h = e->abHeader;
    if (CheckCowdHeader(h, version, redo) != 0 || (version == 3 && Field(h, kExtentIndex) != extentIndex)) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "header fields do not fit the format");
        return 0;
    }
    e->dwExtentSectors = ExtentSectors(h, version, redo, extentIndex);
    const std::uint32_t entries = e->dwDirEntries = DirectoryEntries(e->dwExtentSectors);
    const std::uint64_t dataStart = FirstDataSector(e) * 512;
    if (fileSize < dataStart) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "directory lies past the end of the file");
        return 0;
    }
    e->pdwDirectory = static_cast<std::uint32_t*>(NkMalloc(4 * std::max(entries, 1u)));
    NkBuffer table(kCowdTableBytes);
    if (e->pdwDirectory == nullptr || !table)
        return ERR_NO_MEMORY;
    if (!NkReadFile(e->hFile, 4 * 512, 4 * entries, e->pdwDirectory))
        return ERR_READ_FILE;
    FromLE(e->pdwDirectory, entries);
    // Tables and small blocks lie side by side after the directory; once more
    // of them are named than the file can hold apart, some overlap already.
    std::uint32_t tables = 0;
    for (std::uint32_t i = 0; i < entries; ++i)
        tables += e->pdwDirectory[i] != 0 ? 1 : 0;
    const auto room = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::uint64_t{tables} * (kCowdTableEntries + 1), fileSize / kCowdTableBytes + 1));
    DiskBlockCheck blocks{};
    if (int rc = DiskBlockCheck_Init(&blocks, DiskFindings_Sink, f, dataStart, fileSize, kCowdSmallBlockBytes,
                                     f->pSink != nullptr ? room : 0);
        rc != 0)
        return rc;
    ScopeGuard freeBlocks([&blocks] { DiskBlockCheck_Free(&blocks); });
    std::uint64_t used = dataStart;  // the end of the furthest table or block
    for (std::uint32_t i = 0; i < entries && !DiskFindings_Stop(*f); ++i) {
        const std::uint64_t at = std::uint64_t{e->pdwDirectory[i]} * 512;
        if (at == 0)
            continue;
        if (at < dataStart || at > fileSize || fileSize - at < kCowdTableBytes) {
            DiskFindings_Report(f, DISK_CHECK_CORRUPT, "table lies outside the file's data", "large block", i,
                                "file offset", at);
            continue;
        }
        if (!NkReadFile(e->hFile, at, kCowdTableBytes, table.data()))
            return ERR_READ_FILE;
        DiskBlockCheck_AddMetadata(&blocks, at, kCowdTableBytes);
        used = std::max(used, at + kCowdTableBytes);
        for (std::uint32_t j = 0; j < kCowdTableEntries; ++j)
            if (const std::uint64_t block = std::uint64_t{LoadLE<std::uint32_t>(table.span(), 4 * j)} * 512; block != 0) {
                DiskBlockCheck_Add(&blocks, std::uint64_t{i} * kCowdTableEntries + j, block);
                if (block <= fileSize)
                    used = std::max(used, block + kCowdSmallBlockBytes);
            }
    }
    // The next table or block is appended at the free sector.
    if (!DiskFindings_Stop(*f) && std::uint64_t{FreeSector(e)} * 512 < used)
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "the free sector lies before stored blocks", "free sector",
                            FreeSector(e), "file offset", used);
    if (f->pSink != nullptr) {
        freeBlocks.release();
        DiskBlockCheck_Finish(&blocks);
    }
    return 0;
}

// The map: small block u is entry u % 512 of large block u / 512's table.
int FindSmallBlock(void* state, std::uint64_t u, std::uint64_t inBlock, SparseSpot* spot)
{
    auto* e = static_cast<VMware3SparseState*>(state);
    const auto large = static_cast<std::uint32_t>(u / kCowdTableEntries);
    *spot = {false, false, 0, kCowdSmallBlockBytes - inBlock};
    if (e->pdwDirectory[large] == 0)
        return 0;
    if (int rc = LoadTable(e, large); rc != 0)
        return rc;
    const std::uint32_t entry = e->pdwTableCache[u % kCowdTableEntries];
    *spot = {entry != 0, entry != 0, std::uint64_t{entry} * 512 + inBlock, kCowdSmallBlockBytes - inBlock};
    return 0;
}

// A small block goes at the free sector, behind its large block's table,
// which is made first when there is none.
int PlaceSmallBlock(void* state, std::uint64_t u, std::uint64_t* fileAt, std::uint64_t* cutTo)
{
    auto* e = static_cast<VMware3SparseState*>(state);
    const auto large = static_cast<std::uint32_t>(u / kCowdTableEntries);
    if (e->pdwDirectory[large] == 0)
        if (int rc = CreateTable(e, large); rc != 0)
            return rc;
    const std::uint32_t at = PlaceFor(e, kCowdSmallBlockSectors);
    if (at == 0)
        return ERR_EXTEND_FILE;
    *fileAt = *cutTo = std::uint64_t{at} * 512;
    return 0;
}

// The free sector, then the table entry; the cached table keeps the entry
// only once the file holds it.
int EnterSmallBlock(void* state, std::uint64_t u, std::uint64_t fileAt)
{
    auto* e = static_cast<VMware3SparseState*>(state);
    const auto at = static_cast<std::uint32_t>(fileAt / 512);
    const auto large = static_cast<std::uint32_t>(u / kCowdTableEntries);
    const std::uint64_t j = u % kCowdTableEntries;
    if (!ReplaceU32(e->hFile, cowd::kFreeSector, at + kCowdSmallBlockSectors, at))
        return ERR_EXTEND_FILE;
    SetFreeSector(e, at + kCowdSmallBlockSectors);
    if (!ReplaceU32(e->hFile, std::uint64_t{e->pdwDirectory[large]} * 512 + 4 * j, at, 0))
        return ERR_EXTEND_FILE;
    if (e->dwCachedTable == large)
        e->pdwTableCache[j] = at;
    return 0;
}

// The free sector is a 32-bit sector number.
constexpr SparseMap kSmallBlockMap = {kCowdSmallBlockBytes, kCowdSmallBlockBytes,
                                      (std::uint64_t{UINT32_MAX} - kCowdSmallBlockSectors) * 512, false, FindSmallBlock,
                                      PlaceSmallBlock, EnterSmallBlock, nullptr, nullptr};

SparseExtent Extent(VMware3SparseState* e, Disk* parent, std::uint64_t base)
{
    return {&kSmallBlockMap, e, e->hFile, std::uint64_t{e->dwExtentSectors} * 512, parent, base};
}

}  // namespace

int CheckCowdHeader(std::span<const std::byte> header, std::uint32_t version, bool redo)
{
    using namespace cowd;
    if (header.size() != kCowdHeaderSize)
        return ERR_INVALID_IMAGE;
    if (Field(header, kMagic) != kMagicValue || Field(header, kVersion) != version ||
        Field(header, kSmallBlockSize) != kCowdSmallBlockSectors || Field(header, kDirectorySector) != 4)
        return ERR_INVALID_IMAGE;
    if (!redo && (Field(header, kZero1056) != 0 || Field(header, kPaired1060) != Field(header, kPaired1636)))
        return ERR_INVALID_IMAGE;
    if ((version == 3 || redo) && Field(header, kExtentSize) != kCowdSectorsPerExtent)
        return ERR_INVALID_IMAGE;
    // The parent's name is used as a string: it must end inside the header.
    const auto name = header.subspan(kParentName);
    if (redo && std::find(name.begin(), name.end(), std::byte{0}) == name.end())
        return ERR_INVALID_IMAGE;
    return version == 3 && !redo ? CheckGeometry(header) : 0;
}

const char* CowdParentName(const VMware3SparseState& e)
{
    return reinterpret_cast<const char*>(e.abHeader.data() + cowd::kParentName);
}

int CowdOpen(VMware3SparseState* state, const char* path, std::uint32_t readOnly, std::uint32_t version, bool redo,
             std::uint32_t extentIndex)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { VMware3Sparse_Close(state); });
    if (!NkReadFile(state->hFile, 0, kCowdHeaderSize, state->abHeader.data()))
        return ERR_READ_FILE;
    DiskFindings findings{};
    if (int rc = WalkMetadata(state, version, redo, extentIndex, &findings); rc != 0 || findings.bCorrupt)
        return rc != 0 ? rc : ERR_INVALID_IMAGE;
    state->pdwTableCache = static_cast<std::uint32_t*>(NkMalloc(kCowdTableBytes));
    if (state->pdwTableCache == nullptr)
        return ERR_NO_MEMORY;
    state->dwCachedTable = kNoTable;
    if (state->dwDirEntries > 0 && state->pdwDirectory[0] != 0)
        if (int rc = LoadTable(state, 0); rc != 0)
            return rc;
    guard.release();
    return 0;
}

void VMware3Sparse_Construct(VMware3SparseState* state)
{
    state->hFile = nullptr;
    state->abHeader.fill(std::byte{0});
    state->dwExtentSectors = 0;
    state->dwDirEntries = 0;
    state->pdwDirectory = nullptr;
    state->dwCachedTable = 0;
    state->pdwTableCache = nullptr;
}

void VMware3Sparse_Close(VMware3SparseState* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    NkFree(state->pdwDirectory);
    NkFree(state->pdwTableCache);
    VMware3Sparse_Construct(state);
}

int VMware3Sparse_Open(VMware3SparseState* state, const char* path, std::uint32_t readOnly, std::uint32_t extentIndex)
{
    return CowdOpen(state, path, readOnly, 3, false, extentIndex);
}

int VMware3Sparse_Open2(VMware3SparseState* state, const char* path, std::uint32_t readOnly)
{
    return CowdOpen(state, path, readOnly, 1, false, 0);
}

int VMware3Sparse_Read(VMware3SparseState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return SparseExtent_Read(Extent(state, nullptr, 0), offset, std::span(static_cast<std::byte*>(buffer), count));
}

int VMware3Sparse_Write(VMware3SparseState* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return SparseExtent_Write(Extent(state, nullptr, 0), offset,
                              std::span(static_cast<const std::byte*>(buffer), count));
}

void VMware3RedoSparse_Construct(VMware3SparseState* state) { VMware3Sparse_Construct(state); }

void VMware3RedoSparse_Close(VMware3SparseState* state) { VMware3Sparse_Close(state); }

int VMware3RedoSparse_Open(VMware3SparseState* state, const char* path, std::uint32_t readOnly,
                           std::uint32_t extentIndex)
{
    return CowdOpen(state, path, readOnly, 3, true, extentIndex);
}

int VMware3RedoSparse_Open2(VMware3SparseState* state, const char* path, std::uint32_t readOnly)
{
    return CowdOpen(state, path, readOnly, 1, true, 0);
}

int VMware3RedoSparse_Read(VMware3SparseState* state, Disk* parent, std::uint64_t base, std::uint64_t offset,
                           std::uint32_t count, void* buffer)
{
    return SparseExtent_Read(Extent(state, parent, base), offset, std::span(static_cast<std::byte*>(buffer), count));
}

int VMware3RedoSparse_Write(VMware3SparseState* state, Disk* parent, std::uint64_t base, std::uint64_t offset,
                            std::uint32_t count, const void* buffer)
{
    return SparseExtent_Write(Extent(state, parent, base), offset,
                              std::span(static_cast<const std::byte*>(buffer), count));
}

int VMware3Sparse_Allocation(VMware3SparseState* state, Disk* parent, std::uint64_t offset, std::uint64_t* length,
                             std::uint32_t* where)
{
    return SparseExtent_Allocation(Extent(state, parent, 0), offset, length, where);
}

int CowdCheckFile(const char* path, std::uint32_t version, bool redo, std::uint32_t extentIndex, DiskCheckSink sink,
                  void* param, std::uint32_t* extentCount)
{
    using namespace cowd;
    VMware3SparseState e{};
    VMware3Sparse_Construct(&e);
    std::uint64_t fileSize = 0;
    if (int rc = DiskCheck_OpenFile(path, &e.hFile, &fileSize, e.abHeader); rc != 0)
        return rc;
    ScopeGuard close([&e] { VMware3Sparse_Close(&e); });
    const std::span<const std::byte> h = e.abHeader;
    const std::uint32_t flags = Field(h, kFlags);
    const bool multi = version == 3 && flags == (redo ? kFlagsRedoMulti : kFlagsPlainMulti);
    if (Field(h, kMagic) != kMagicValue || Field(h, kVersion) != version ||
        (flags != (redo ? kFlagsRedo : kFlagsPlain) && !multi))
        return ERR_INVALID_PARAMETER;
    *extentCount = version == 3 ? Field(h, kExtentCount) : 1;
    DiskFindings findings{sink, param, false};
    if (version == 3 && multi != (Field(h, kExtentCount) > 1)) {
        DiskFindings_Report(&findings, DISK_CHECK_CORRUPT, "header fields do not fit the format");
        return 0;
    }
    char parentPath[kNkMaxPath];
    if (redo && extentIndex == 0 && CheckCowdHeader(h, version, redo) == 0)
        static_cast<void>(SparseParent_Present(path, CowdParentName(e), parentPath, DiskFindings_Sink, &findings));
    return WalkMetadata(&e, version, redo, extentIndex, &findings);
}

}  // namespace qim
