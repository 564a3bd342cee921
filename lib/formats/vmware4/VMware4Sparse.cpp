// SPDX-License-Identifier: MIT
// VMware 4 sparse extents, plain and redo. Every grain table exists from the
// start, twice: the redundant directory's copy is the one read, the primary's
// is kept equal to it. New grains are appended at the end of the file, before
// their table entries, so the file ends at its highest grain or, after a
// process ended between the two, behind it with a grain no entry names.
#include "VMware4Sparse.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "SparseExtent.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qim {

namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kGrainSectors = 128;
constexpr std::uint64_t kGrainBytes = std::uint64_t{kGrainSectors} * kSector;
constexpr std::uint32_t kGtes = 512;
constexpr std::uint32_t kGtBytes = kGtes * 4;
constexpr std::uint32_t kTableSectors = kGtBytes / kSector;

std::uint32_t HeaderWord(const VMware4Sparse* s, VMware4HeaderField field)
{
    return LoadLE<std::uint32_t>(s->Header.ab, field);
}

// Tables are little-endian on file; the cache holds host order.
void FromLittleEndian(std::span<std::uint32_t> words)
{
    if constexpr (std::endian::native != std::endian::little)
        for (std::uint32_t& w : words)
            w = LoadLE<std::uint32_t>(std::as_bytes(std::span{&w, 1}), 0);
}

// Brings table t into the cache through the redundant directory. When the
// read fails no table counts as cached, so the next request loads again.
int LoadTable(VMware4Sparse* s, std::uint32_t t)
{
    if (s->dwCachedGt == t)
        return 0;
    s->dwCachedGt = kVMware4NoTable;
    if (!NkReadFile(s->hFile, std::uint64_t{s->pdwRedundantGd[t]} * kSector, kGtBytes, s->pdwGtCache))
        return ERR_READ_FILE;
    FromLittleEndian({s->pdwGtCache, kGtes});
    s->dwCachedGt = t;
    return 0;
}

// How a primary table entry stands against the redundant one, which is the
// copy read. A process that ended between an entry's two writes left it in
// the redundant copy alone: the next write completes the primary. Any other
// difference is damage.
enum class EntryCopies { kEqual, kPrimaryLags, kDiffer };

EntryCopies CompareEntryCopies(std::uint32_t read, std::uint32_t primary)
{
    return read == primary ? EntryCopies::kEqual : primary == 0 ? EntryCopies::kPrimaryLags : EntryCopies::kDiffer;
}

// The one walk of an extent's metadata, for the open and for qimg check:
// the header, both directories inside the file, both copies of every table
// between the header's descriptor and the overhead, the copies equal (or
// the primary lagging, which the next write mends), and every grain behind
// the overhead and inside the file; a write into a grain or a table entry
// then never lands in metadata or past the file. A longer file holds an
// append whose entry never landed: leaked space, behind which the next grain
// goes. The open's findings end the walk at the first corruption.
int WalkMetadata(VMware4Sparse* s, std::uint32_t descriptorFlag, std::uint64_t firstGrain, DiskFindings* f)
{
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(s->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    if (CheckVMware4SparseHeader(s->Header.ab, descriptorFlag) != 0) {
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "header fields do not fit the format");
        return 0;
    }
    s->dwCapacity = HeaderWord(s, kVMware4Capacity);
    const std::uint32_t entries = s->dwGdEntries = static_cast<std::uint32_t>(
        (std::uint64_t{s->dwCapacity} + kGrainSectors * kGtes - 1) / (kGrainSectors * kGtes));
    const std::uint32_t overhead = HeaderWord(s, kVMware4Overhead);
    const std::uint32_t metadataStart =
        std::max(1u, HeaderWord(s, kVMware4DescriptorOffset) + HeaderWord(s, kVMware4DescriptorSize));
    std::uint32_t** directories[2] = {&s->pdwRedundantGd, &s->pdwGd};
    const VMware4HeaderField fields[2] = {kVMware4RedundantGdOffset, kVMware4GdOffset};
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        const std::uint64_t at = std::uint64_t{HeaderWord(s, fields[copy])} * kSector;
        if (at > fileSize || fileSize - at < 4ull * entries) {
            DiskFindings_Report(f, DISK_CHECK_CORRUPT, "grain directory lies past the end of the file", "sector",
                                at / kSector);
            return 0;
        }
        *directories[copy] = static_cast<std::uint32_t*>(NkMalloc(4 * std::max(entries, 1u)));
        if (*directories[copy] == nullptr)
            return ERR_NO_MEMORY;
        if (!NkReadFile(s->hFile, at, 4 * entries, *directories[copy]))
            return ERR_READ_FILE;
        FromLittleEndian({*directories[copy], entries});
    }
    if (fileSize < std::uint64_t{overhead} * kSector &&
        DiskFindings_Report(f, DISK_CHECK_CORRUPT, "the file ends inside the metadata", "file size", fileSize))
        return 0;
    NkBuffer tables(2 * kGtBytes);
    DiskBlockCheck grains{};
    if (!tables)
        return ERR_NO_MEMORY;
    if (int rc = DiskBlockCheck_Init(&grains, DiskFindings_Sink, f, std::uint64_t{overhead} * kSector, fileSize,
                                     kGrainBytes, f->pSink != nullptr ? entries * kGtes : 0);
        rc != 0)
        return rc;
    ScopeGuard freeGrains([&grains] { DiskBlockCheck_Free(&grains); });
    const auto table = tables.span();
    for (std::uint32_t t = 0; t < entries && !DiskFindings_Stop(*f); ++t) {
        std::uint32_t placed = 0;  // copies inside the metadata, read into table
        for (std::uint32_t copy = 0; copy < 2; ++copy) {
            const std::uint32_t sector = (*directories[copy])[t];
            if (sector < metadataStart || std::uint64_t{sector} + kTableSectors > overhead ||
                (std::uint64_t{sector} + kTableSectors) * kSector > fileSize) {
                DiskFindings_Report(f, DISK_CHECK_CORRUPT, "grain table lies outside the metadata", "table", t,
                                    "sector", sector);
                continue;
            }
            if (!NkReadFile(s->hFile, std::uint64_t{sector} * kSector, kGtBytes, table.data() + kGtBytes * placed++))
                return ERR_READ_FILE;
        }
        for (std::uint32_t g = 0; placed == 2 && g < kGtes; ++g) {
            const EntryCopies copies =
                CompareEntryCopies(LoadLE<std::uint32_t>(table, 4 * g), LoadLE<std::uint32_t>(table, kGtBytes + 4 * g));
            if (copies == EntryCopies::kDiffer) {
                DiskFindings_Report(f, DISK_CHECK_CORRUPT, "grain table copies differ", "table", t, "entry", g);
                break;
            }
            s->bPrimaryLags = s->bPrimaryLags || copies == EntryCopies::kPrimaryLags;
            if (copies == EntryCopies::kPrimaryLags)
                DiskFindings_Report(f, DISK_CHECK_LEAK,
                                    "primary grain table lacks an entry; the next write completes it", "table", t,
                                    "entry", g);
        }
        for (std::uint32_t g = 0; placed != 0 && g < kGtes && !DiskFindings_Stop(*f); ++g)
            if (const std::uint32_t grain = LoadLE<std::uint32_t>(table, 4 * g); grain != 0)
                DiskBlockCheck_Add(&grains, firstGrain + std::uint64_t{t} * kGtes + g, std::uint64_t{grain} * kSector);
    }
    if (f->pSink != nullptr) {
        freeGrains.release();
        DiskBlockCheck_Finish(&grains);
    }
    return 0;
}

// Writes into the primary tables the entries only the redundant ones hold.
// Left to the first write rather than the open: an open that fails further
// on (another extent, the parent) must leave every file as it was.
int CompletePrimaryTables(VMware4Sparse* s)
{
    NkBuffer primary(kGtBytes);
    if (!primary)
        return ERR_NO_MEMORY;
    for (std::uint32_t t = 0; t < s->dwGdEntries; ++t) {
        const std::uint64_t at = std::uint64_t{s->pdwGd[t]} * kSector;
        if (int rc = LoadTable(s, t); rc != 0)
            return rc;
        if (!NkReadFile(s->hFile, at, kGtBytes, primary.data()))
            return ERR_READ_FILE;
        for (std::uint32_t g = 0; g < kGtes; ++g) {
            std::array<std::byte, 4> le{};
            StoreLE(std::span{le}, 0, s->pdwGtCache[g]);
            if (std::memcmp(primary.data() + 4 * g, le.data(), 4) != 0 && !NkWriteFile(s->hFile, at + 4 * g, 4, le.data()))
                return ERR_WRITE_FILE;
        }
    }
    return 0;
}

// The map: grain u of table u / 512 is where the redundant table's entry says.
int FindGrain(void* state, std::uint64_t u, std::uint64_t inGrain, SparseSpot* spot)
{
    auto* s = static_cast<VMware4Sparse*>(state);
    if (int rc = LoadTable(s, static_cast<std::uint32_t>(u / kGtes)); rc != 0)
        return rc;
    const std::uint32_t entry = s->pdwGtCache[u % kGtes];
    *spot = {entry != 0, entry != 0, std::uint64_t{entry} * kSector + inGrain, kGrainBytes - inGrain};
    return 0;
}

// A new grain goes at the file's end, rounded up to a sector should an
// earlier append have stopped part-way; a failed one is cut off again.
int PlaceGrain(void* state, std::uint64_t, std::uint64_t* fileAt, std::uint64_t* cutTo)
{
    if (!NkGetFileSize(static_cast<VMware4Sparse*>(state)->hFile, cutTo))
        return ERR_GET_FILE_SIZE;
    *fileAt = (*cutTo + kSector - 1) / kSector * kSector;
    return 0;
}

// The entry goes through both directories, redundant copy first.
int EnterGrain(void* state, std::uint64_t u, std::uint64_t fileAt)
{
    auto* s = static_cast<VMware4Sparse*>(state);
    const auto t = static_cast<std::uint32_t>(u / kGtes);
    const std::uint64_t at = 4 * (u % kGtes);
    const std::uint64_t copies[] = {std::uint64_t{s->pdwRedundantGd[t]} * kSector + at,
                                    std::uint64_t{s->pdwGd[t]} * kSector + at};
    const auto entry = static_cast<std::uint32_t>(fileAt / kSector);
    SparseWord word{}, former{};
    StoreLE(std::span{word}, 0, entry);
    StoreLE(std::span{former}, 0, s->pdwGtCache[u % kGtes]);
    if (!SparseStoreWord(s->hFile, copies, word, former))
        return ERR_EXTEND_FILE;
    s->pdwGtCache[u % kGtes] = entry;
    return 0;
}

// Entries are 32-bit sector numbers: no grain may begin past the last one that fits whole.
constexpr SparseMap kGrainMap = {kGrainBytes, kGrainBytes, (std::uint64_t{UINT32_MAX} + 1 - kGrainSectors) * kSector,
                                 false, FindGrain, PlaceGrain, EnterGrain, nullptr, nullptr};

SparseExtent Extent(VMware4Sparse* s, Disk* parent, std::uint64_t base)
{
    return {&kGrainMap, s, s->hFile, std::uint64_t{s->dwCapacity} * kSector, parent, base};
}

int Read(VMware4Sparse* s, Disk* parent, std::uint64_t base, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return SparseExtent_Read(Extent(s, parent, base), offset, {static_cast<std::byte*>(buffer), count});
}

// The first write completes the primary tables.
int Write(VMware4Sparse* s, Disk* parent, std::uint64_t base, std::uint64_t offset, std::uint32_t count,
          const void* buffer)
{
    if (s->bPrimaryLags) {
        if (int rc = CompletePrimaryTables(s); rc != 0)
            return rc;
        s->bPrimaryLags = false;
    }
    return SparseExtent_Write(Extent(s, parent, base), offset, {static_cast<const std::byte*>(buffer), count});
}

}  // namespace

int CheckVMware4SparseHeader(std::span<const std::byte> header, std::uint32_t descriptorFlag)
{
    const auto word = [header](VMware4HeaderField field) { return LoadLE<std::uint32_t>(header, field); };
    const std::uint32_t descriptorOffset = word(kVMware4DescriptorOffset);
    const bool valid = word(kVMware4Magic) == 0x564D444B && word(kVMware4Version) == 1 && word(kVMware4Flags) == 3 &&
                       word(kVMware4GrainSize) == kGrainSectors &&
                       ((descriptorOffset == 1 && word(kVMware4DescriptorSize) == 20) ||
                        (descriptorOffset == 0 && word(kVMware4DescriptorSize) == 0)) &&
                       word(kVMware4GtesPerGt) == kGtes && word(kVMware4CheckWord0) == 0x0D200A00 &&
                       word(kVMware4CheckWord1) == 0x0000000A &&
                       descriptorOffset == (descriptorFlag == 0 ? 1u : 0u) &&
                       word(kVMware4Capacity) <= kVMware4MaxCapacity;
    return valid ? 0 : ERR_INVALID_IMAGE;
}

void VMware4Sparse_Construct(VMware4Sparse* state) { *state = VMware4Sparse{}; }

int VMware4Sparse_Open(VMware4Sparse* state, const char* path, std::uint32_t readOnly, std::uint32_t descriptorFlag)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { VMware4Sparse_Close(state); });
    if (!NkReadFile(state->hFile, 0, kVMware4HeaderBytes, state->Header.ab.data()))
        return ERR_READ_FILE;
    DiskFindings findings{};
    if (int rc = WalkMetadata(state, descriptorFlag, 0, &findings); rc != 0 || findings.bCorrupt)
        return rc != 0 ? rc : ERR_INVALID_IMAGE;
    state->pdwGtCache = static_cast<std::uint32_t*>(NkMalloc(kGtBytes));
    if (state->pdwGtCache == nullptr)
        return ERR_NO_MEMORY;
    state->dwCachedGt = kVMware4NoTable;
    if (int rc = state->dwGdEntries != 0 ? LoadTable(state, 0) : 0; rc != 0)
        return rc;
    guard.release();
    return 0;
}

void VMware4Sparse_Close(VMware4Sparse* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    NkFree(state->pdwRedundantGd);
    NkFree(state->pdwGd);
    NkFree(state->pdwGtCache);
    VMware4Sparse_Construct(state);
}

int VMware4Sparse_Read(VMware4Sparse* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return Read(state, nullptr, 0, offset, count, buffer);
}

int VMware4Sparse_Write(VMware4Sparse* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return Write(state, nullptr, 0, offset, count, buffer);
}

void VMware4RedoSparse_Construct(VMware4RedoSparse* state) { VMware4Sparse_Construct(state); }

int VMware4RedoSparse_Open(VMware4RedoSparse* state, const char* path, std::uint32_t readOnly,
                           std::uint32_t descriptorFlag)
{
    return VMware4Sparse_Open(state, path, readOnly, descriptorFlag);
}

void VMware4RedoSparse_Close(VMware4RedoSparse* state) { VMware4Sparse_Close(state); }

int VMware4RedoSparse_Read(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset, std::uint64_t offset,
                           std::uint32_t count, void* buffer)
{
    return Read(state, parent, diskOffset, offset, count, buffer);
}

int VMware4RedoSparse_Write(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset, std::uint64_t offset,
                            std::uint32_t count, const void* buffer)
{
    return Write(state, parent, diskOffset, offset, count, buffer);
}

int VMware4Sparse_Allocation(VMware4Sparse* state, Disk* parent, std::uint64_t offset, std::uint64_t* length,
                             std::uint32_t* where)
{
    return SparseExtent_Allocation(Extent(state, parent, 0), offset, length, where);
}

int VMware4Sparse_CheckFile(const char* path, std::uint64_t firstGrain, DiskCheckSink sink, void* param)
{
    VMware4Sparse s{};
    std::uint64_t fileSize = 0;
    if (int rc = DiskCheck_OpenFile(path, &s.hFile, &fileSize, s.Header.ab); rc != 0)
        return rc;
    ScopeGuard close([&s] { VMware4Sparse_Close(&s); });
    if (HeaderWord(&s, kVMware4Magic) != 0x564D444B)
        return ERR_INVALID_PARAMETER;
    DiskFindings findings{sink, param, false};
    return WalkMetadata(&s, HeaderWord(&s, kVMware4DescriptorOffset) == 0 ? 1 : 0, firstGrain, &findings);
}

}  // namespace qim
