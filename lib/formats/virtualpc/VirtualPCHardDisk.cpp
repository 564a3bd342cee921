// Virtual PC dynamic images, and the block engine differencing images share.
//
// The file is a footer copy, the dynamic header, the block allocation table,
// the blocks, and the footer again in its last bytes. A block is allocated on
// the first write that would change what it reads as: it is appended where the
// trailing footer began, and the footer moves behind it. A dynamic image reads
// an allocated block whole from the file; a differencing image reads the
// sectors whose bitmap bit is set from the file and every other from its
// parent, and completes a partly written sector from the parent before it
// sets the sector's bit.
#include "VirtualPCHardDisk.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "VirtualPCHeader.h"

#include <algorithm>
#include <cstring>

namespace qim {

namespace {

constexpr std::uint64_t kBlockFileBytes = VPC_BITMAP_LENGTH + std::uint64_t{VPC_BLOCK_SIZE};
constexpr std::uint32_t kZeroChunk = 65536;
static_assert(VPC_BLOCK_SIZE % kZeroChunk == 0);

using Bitmap = std::array<std::byte, VPC_BITMAP_LENGTH>;

std::uint64_t BitmapAt(std::uint32_t entry) { return std::uint64_t{entry} * VPC_SECTOR_SIZE; }
std::uint64_t DataAt(std::uint32_t entry, std::uint64_t inBlock)
{
    return BitmapAt(entry) + VPC_BITMAP_LENGTH + inBlock;
}

int ReadAt(const VirtualPCHardDiskState* state, std::uint64_t at, std::span<std::byte> out)
{
    return NkReadFile(state->hFile, at, static_cast<std::uint32_t>(out.size()), out.data()) ? 0 : ERR_READ_FILE;
}

int WriteAt(const VirtualPCHardDiskState* state, std::uint64_t at, std::span<const std::byte> in, int failure)
{
    return NkWriteFile(state->hFile, at, static_cast<std::uint32_t>(in.size()), in.data()) ? 0 : failure;
}

// Bytes at a disk offset that this file does not hold: the parent's, or zeros.
int ReadAbsent(const VirtualPCHardDiskState* state, std::uint64_t offset, std::span<std::byte> out)
{
    if (state->pParentDisk != nullptr)
        return Disk_Read64(state->pParentDisk, offset, static_cast<std::uint32_t>(out.size()), out.data());
    std::memset(out.data(), 0, out.size());
    return 0;
}

// Calls fn(present, inBlock, run) for each longest run of [start, start +
// piece.size()) whose sectors are all present or all absent in the bitmap;
// returns the first nonzero result.
template <class Byte, class Fn>
int ForEachSectorRun(const Bitmap& bitmap, std::uint32_t start, std::span<Byte> piece, Fn&& fn)
{
    std::uint32_t runStart = start;
    std::size_t runLength = 0;
    bool runPresent = false;
    auto flush = [&] {
        const std::size_t at = runStart - start;
        return runLength == 0 ? 0 : fn(runPresent, runStart, piece.subspan(at, runLength));
    };
    const int rc = ForEachPiece(start, piece, VPC_SECTOR_SIZE,
                                [&](std::uint64_t sector, std::uint64_t, std::span<Byte> part) {
                                    const bool present =
                                        IsExistData(static_cast<std::uint32_t>(sector), bitmap) != 0;
                                    if (runLength != 0 && present != runPresent) {
                                        if (int r = flush(); r != 0)
                                            return r;
                                        runStart += static_cast<std::uint32_t>(runLength);
                                        runLength = 0;
                                    }
                                    runPresent = present;
                                    runLength += part.size();
                                    return 0;
                                });
    return rc != 0 ? rc : flush();
}

// Loads the table (host order) and checks that every allocated block lies
// behind it and ends before the trailing footer, so that no write through the
// table can land in the headers or past the file.
int LoadTable(VirtualPCHardDiskState* state, std::uint32_t entries, std::uint64_t fileSize)
{
    const std::uint32_t bytes = entries * 4;
    state->pdwBlockTable = static_cast<std::uint32_t*>(NkMalloc(bytes));
    if (state->pdwBlockTable == nullptr)
        return ERR_NO_MEMORY;
    state->dwTableEntries = entries;
    const std::span<std::byte> raw(reinterpret_cast<std::byte*>(state->pdwBlockTable), bytes);
    if (int rc = ReadAt(state, VPC_TABLE_OFFSET, raw); rc != 0)
        return rc;
    const std::uint64_t tableEnd = VPC_TABLE_OFFSET + std::uint64_t{bytes};
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint32_t entry = LoadBE<std::uint32_t>(raw, std::size_t{i} * 4);
        state->pdwBlockTable[i] = entry;
        if (entry != VPC_UNALLOCATED &&
            (BitmapAt(entry) < tableEnd || BitmapAt(entry) + kBlockFileBytes > fileSize - VPC_FOOTER_LENGTH))
            return ERR_INVALID_IMAGE;
    }
    return 0;
}

// Appends an empty block where the trailing footer begins, then records it
// in the table on file and only then in memory: a failed step leaves the
// entry unallocated (bytes already written stay). The footer moves first, so
// the file never ends without one, which a differencing image needs to open;
// should that write stop part-way, a whole footer is put at the new end. The
// footer begins at size - 511, or at size - 512 when it fills a sector;
// rounding down to a sector serves both, so the bitmap lies exactly at the
// sector number recorded.
int AppendBlock(VirtualPCHardDiskState* state, std::uint32_t block)
{
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    const std::uint64_t tableEnd = VPC_TABLE_OFFSET + std::uint64_t{state->dwTableEntries} * 4;
    if (fileSize < tableEnd + VPC_FOOTER_LENGTH)
        return ERR_EXTEND_FILE;  // the file shrank under us
    // Behind the table in any case: a footer may follow a table that does not fill its last sector.
    const std::uint64_t pos = std::max((fileSize - VPC_FOOTER_LENGTH) / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE,
                                       (tableEnd + VPC_SECTOR_SIZE - 1) / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE);
    if (pos / VPC_SECTOR_SIZE >= VPC_UNALLOCATED)
        return ERR_EXTEND_FILE;
    const auto entry = static_cast<std::uint32_t>(pos / VPC_SECTOR_SIZE);

    NkBuffer zeros(kZeroChunk);
    if (!zeros)
        return ERR_NO_MEMORY;
    std::memset(zeros.data(), 0, kZeroChunk);
    const std::span<const std::byte> footer(state->abFooter.data(), VPC_FOOTER_LENGTH);
    if (int rc = WriteAt(state, pos + kBlockFileBytes, footer, ERR_EXTEND_FILE); rc != 0) {
        if (NkGetFileSize(state->hFile, &fileSize) && fileSize > pos + VPC_FOOTER_LENGTH)
            static_cast<void>(WriteAt(state, fileSize - VPC_FOOTER_LENGTH, footer, ERR_EXTEND_FILE));
        return rc;
    }
    if (int rc = WriteAt(state, pos, zeros.span().first(VPC_BITMAP_LENGTH), ERR_EXTEND_FILE); rc != 0)
        return rc;
    for (std::uint32_t done = 0; done < VPC_BLOCK_SIZE; done += kZeroChunk)
        if (int rc = WriteAt(state, DataAt(entry, done), zeros.span(), ERR_EXTEND_FILE); rc != 0)
            return rc;
    std::array<std::byte, 4> stored{};
    StoreBE(std::span(stored), 0, entry);
    const std::uint64_t entryAt = VPC_TABLE_OFFSET + std::uint64_t{block} * 4;
    if (int rc = WriteAt(state, entryAt, stored, ERR_EXTEND_FILE); rc != 0) {
        // Half an entry may point past the file, and then the image does not open: put the old one back.
        StoreBE(std::span(stored), 0, VPC_UNALLOCATED);
        static_cast<void>(WriteAt(state, entryAt, stored, ERR_EXTEND_FILE));
        return rc;
    }
    state->pdwBlockTable[block] = entry;
    return 0;
}

// The bitmap of the block stored at entry, from the state's copy when it holds that block's.
int LoadBitmap(VirtualPCHardDiskState* state, std::uint32_t entry, Bitmap* bitmap)
{
    if (state->dwBitmapEntry != entry) {
        state->dwBitmapEntry = VPC_UNALLOCATED;
        if (int rc = ReadAt(state, BitmapAt(entry), state->abBitmap); rc != 0)
            return rc;
        state->dwBitmapEntry = entry;
    }
    *bitmap = state->abBitmap;
    return 0;
}

// Completes the part of an absent sector that a write covers with the
// parent's bytes and writes the whole sector.
int CopyOnWriteSector(VirtualPCHardDiskState* state, std::uint32_t entry, std::uint64_t base, std::uint32_t inBlock,
                      std::span<const std::byte> part)
{
    const std::uint32_t sectorStart = inBlock / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE;
    std::array<std::byte, VPC_SECTOR_SIZE> sector{};
    if (int rc = Disk_Read64(state->pParentDisk, base + sectorStart, VPC_SECTOR_SIZE, sector.data()); rc != 0)
        return rc;
    std::memcpy(sector.data() + (inBlock - sectorStart), part.data(), part.size());
    return WriteAt(state, DataAt(entry, sectorStart), sector, ERR_WRITE_FILE);
}

// Writes a run of sectors absent from a child: a sector covered only in part
// (at most the first and the last) is completed from the parent.
int WriteAbsentRun(VirtualPCHardDiskState* state, std::uint32_t entry, std::uint64_t base, std::uint32_t at,
                   std::span<const std::byte> run)
{
    std::uint32_t first = at;
    std::uint32_t end = at + static_cast<std::uint32_t>(run.size());
    const std::uint32_t firstSectorEnd = (first / VPC_SECTOR_SIZE + 1) * VPC_SECTOR_SIZE;
    if (first % VPC_SECTOR_SIZE != 0 || end < firstSectorEnd) {
        const std::uint32_t partEnd = end < firstSectorEnd ? end : firstSectorEnd;
        if (int rc = CopyOnWriteSector(state, entry, base, first, run.first(partEnd - first)); rc != 0)
            return rc;
        first = partEnd;
    }
    if (first < end && end % VPC_SECTOR_SIZE != 0) {
        const std::uint32_t lastStart = end / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE;
        if (int rc = CopyOnWriteSector(state, entry, base, lastStart, run.subspan(lastStart - at)); rc != 0)
            return rc;
        end = lastStart;
    }
    if (first == end)
        return 0;
    return WriteAt(state, DataAt(entry, first), run.subspan(first - at, end - first), ERR_WRITE_FILE);
}

// True when writing data at offset leaves the disk reading as it did: the
// data is zero and so is what the unallocated block reads as now.
int ChangesNothing(const VirtualPCHardDiskState* state, std::uint64_t offset, std::span<const std::byte> data,
                   bool* unchanged)
{
    *unchanged = false;
    if (!NkIsAllZero(data.data(), static_cast<std::uint32_t>(data.size())))
        return 0;
    if (state->pParentDisk == nullptr) {
        *unchanged = true;
        return 0;
    }
    NkBuffer parent(static_cast<std::uint32_t>(data.size()));
    if (!parent)
        return ERR_NO_MEMORY;
    if (int rc = ReadAbsent(state, offset, parent.span()); rc != 0)
        return rc;
    *unchanged = NkIsAllZero(parent.data(), static_cast<std::uint32_t>(data.size())) != 0;
    return 0;
}

int BlockRead(VirtualPCHardDiskState* state, std::uint32_t block, std::uint32_t start, std::span<std::byte> out)
{
    const std::uint64_t base = std::uint64_t{block} * VPC_BLOCK_SIZE;
    const std::uint32_t entry = state->pdwBlockTable[block];
    if (entry == VPC_UNALLOCATED)
        return ReadAbsent(state, base + start, out);
    if (state->pParentDisk == nullptr)
        return ReadAt(state, DataAt(entry, start), out);
    Bitmap bitmap{};
    if (int rc = LoadBitmap(state, entry, &bitmap); rc != 0)
        return rc;
    return ForEachSectorRun(bitmap, start, out, [&](bool present, std::uint32_t at, std::span<std::byte> run) {
        return present ? ReadAt(state, DataAt(entry, at), run) : ReadAbsent(state, base + at, run);
    });
}

// Data first, then the bitmap: a sector's bit reaches the file only after its data.
int BlockWrite(VirtualPCHardDiskState* state, std::uint32_t block, std::uint32_t start,
               std::span<const std::byte> data)
{
    const std::uint64_t base = std::uint64_t{block} * VPC_BLOCK_SIZE;
    if (state->pdwBlockTable[block] == VPC_UNALLOCATED) {
        bool unchanged = false;
        if (int rc = ChangesNothing(state, base + start, data, &unchanged); rc != 0 || unchanged)
            return rc;
        if (int rc = AppendBlock(state, block); rc != 0)
            return rc;
    }
    const std::uint32_t entry = state->pdwBlockTable[block];
    Bitmap bitmap{};
    if (int rc = LoadBitmap(state, entry, &bitmap); rc != 0)
        return rc;
    int rc = 0;
    if (state->pParentDisk == nullptr)
        rc = WriteAt(state, DataAt(entry, start), data, ERR_WRITE_FILE);
    else
        rc = ForEachSectorRun(bitmap, start, data,
                              [&](bool present, std::uint32_t at, std::span<const std::byte> run) {
                                  return present ? WriteAt(state, DataAt(entry, at), run, ERR_WRITE_FILE)
                                                 : WriteAbsentRun(state, entry, base, at, run);
                              });
    if (rc != 0)
        return rc;
    const Bitmap before = bitmap;
    const std::uint32_t last = (start + static_cast<std::uint32_t>(data.size()) - 1) / VPC_SECTOR_SIZE;
    for (std::uint32_t sector = start / VPC_SECTOR_SIZE; sector <= last; ++sector)
        SetMiniBlockBit(sector, bitmap);
    if (bitmap == before)
        return 0;
    // Whatever a failed write left on file, the copy is read again.
    state->dwBitmapEntry = VPC_UNALLOCATED;
    if (rc = WriteAt(state, BitmapAt(entry), bitmap, ERR_WRITE_FILE); rc != 0)
        return rc;
    state->abBitmap = bitmap;
    state->dwBitmapEntry = entry;
    return 0;
}

}  // namespace

int VirtualPCSparse_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly,
                         std::uint32_t footerType, VirtualPCParentStep parentStep)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { VirtualPCHardDisk_Close(state); });

    const std::span<const std::byte> footer(state->abFooter.data(), VPC_FOOTER_LENGTH);
    if (int rc = ReadAt(state, 0, std::span(state->abFooter).first(VPC_FOOTER_LENGTH)); rc != 0)
        return rc;
    if (int rc = CheckMainHeader(footer, footerType); rc != 0)
        return rc;
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    if (fileSize < VPC_SECTOR_SIZE)
        return ERR_INVALID_IMAGE;
    std::array<std::byte, VPC_FOOTER_LENGTH> trailing{};
    if (int rc = ReadAt(state, fileSize - VPC_FOOTER_LENGTH, trailing); rc != 0)
        return rc;
    if (int rc = VirtualPCFooterInfo(footer, &state->Info); rc != 0)
        return rc;
    std::array<std::byte, VPC_SPARSE_HEADER_LENGTH> header{};
    if (int rc = ReadAt(state, VPC_SPARSE_HEADER_OFFSET, header); rc != 0)
        return rc;
    const auto sizeMiB = static_cast<std::uint32_t>(VirtualPCOriginalSize(footer) >> 20);
    if (int rc = CheckSparseHeader(header, sizeMiB); rc != 0)
        return rc;
    if (parentStep != nullptr)
        if (int rc = parentStep(state, path, trailing); rc != 0)
            return rc;
    if (int rc = LoadTable(state, LoadBE<std::uint32_t>(header, kVpcSparseMaxTableEntries), fileSize); rc != 0)
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
    state->dwBitmapEntry = VPC_UNALLOCATED;
    state->abBitmap = {};
}

int VirtualPCHardDisk_Open(VirtualPCHardDiskState* state, const char* path, std::uint32_t readOnly)
{
    return VirtualPCSparse_Open(state, path, readOnly, VPC_TYPE_DYNAMIC, nullptr);
}

// The image's own file first, then its parent chain.
void VirtualPCHardDisk_Close(VirtualPCHardDiskState* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    NkFree(state->pdwBlockTable);
    if (state->pParentDisk != nullptr) {
        Disk_Close(state->pParentDisk);
        NkFree(state->pParentDisk);
    }
    VirtualPCHardDisk_Construct(state);
}

void VirtualPCHardDisk_GetDiskInfo(VirtualPCHardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VirtualPCHardDisk_Read(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return ForEachPiece(offset, std::span(static_cast<std::byte*>(buffer), count), VPC_BLOCK_SIZE,
                        [state](std::uint64_t block, std::uint64_t start, std::span<std::byte> piece) {
                            return BlockRead(state, static_cast<std::uint32_t>(block),
                                             static_cast<std::uint32_t>(start), piece);
                        });
}

int VirtualPCHardDisk_Write(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint32_t count,
                            const void* buffer)
{
    if (!DiskRangeFits(state->Info, offset, count))
        return ERR_INVALID_PARAMETER;
    return ForEachPiece(offset, std::span(static_cast<const std::byte*>(buffer), count), VPC_BLOCK_SIZE,
                        [state](std::uint64_t block, std::uint64_t start, std::span<const std::byte> piece) {
                            return BlockWrite(state, static_cast<std::uint32_t>(block),
                                              static_cast<std::uint32_t>(start), piece);
                        });
}

int VirtualPCHardDisk_Allocation(VirtualPCHardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                                 std::uint32_t* where)
{
    const bool child = state->pParentDisk != nullptr;
    const std::uint32_t absent = child ? DISK_IN_PARENT : DISK_UNALLOCATED;
    const std::uint64_t end = offset + *length;
    std::uint64_t at = offset;
    Bitmap bitmap{};
    while (at < end) {
        const auto block = static_cast<std::uint32_t>(at / VPC_BLOCK_SIZE);
        const std::uint64_t blockEnd = std::min(end, (std::uint64_t{block} + 1) * VPC_BLOCK_SIZE);
        const std::uint32_t entry = state->pdwBlockTable[block];
        std::uint32_t here = entry == VPC_UNALLOCATED ? absent : DISK_ALLOCATED;
        std::uint64_t next = blockEnd;
        if (entry != VPC_UNALLOCATED && child) {
            // A child's block holds only the sectors whose bit is set.
            if (int rc = ReadAt(state, BitmapAt(entry), bitmap); rc != 0)
                return rc;
            const auto sector = [&](std::uint64_t p) {
                return static_cast<std::uint32_t>(p % VPC_BLOCK_SIZE / VPC_SECTOR_SIZE);
            };
            here = IsExistData(sector(at), bitmap) != 0 ? DISK_ALLOCATED : DISK_IN_PARENT;
            next = std::min(blockEnd, (at / VPC_SECTOR_SIZE + 1) * VPC_SECTOR_SIZE);
            while (next < blockEnd && (IsExistData(sector(next), bitmap) != 0) == (here == DISK_ALLOCATED))
                next = std::min(blockEnd, next + VPC_SECTOR_SIZE);
        }
        if (at == offset)
            *where = here;
        else if (here != *where)
            break;
        at = next;
        if (next != blockEnd)
            break;
    }
    *length = at - offset;
    return 0;
}

int VirtualPCSparse_Check(const char* path, std::uint32_t footerType, DiskCheckSink sink, void* param)
{
    NkHandle file = nullptr;
    std::uint64_t fileSize = 0;
    std::array<std::byte, VPC_SECTOR_SIZE> footer{};
    if (int rc = DiskCheck_OpenFile(path, &file, &fileSize, footer); rc != 0)
        return rc;
    ScopeGuard closeFile([file] { NkCloseFile(file); });
    if (std::memcmp(footer.data(), "conectix", 8) != 0 || LoadBE<std::uint32_t>(footer, kVpcFooterDiskType) != footerType)
        return ERR_INVALID_PARAMETER;
    const auto report = [sink, param](const char* what, const char* first = nullptr, std::uint64_t a = 0) {
        DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, what, first, a);
    };
    const std::span<const std::byte> leading = std::span(footer).first(VPC_FOOTER_LENGTH);
    DiskInfo info{};
    if (CheckMainHeader(leading, footerType) != 0 || VirtualPCFooterInfo(leading, &info) != 0) {
        report("footer fields do not fit the format");
        return 0;
    }
    // The trailing copy fills the last sector, or the last 511 bytes.
    std::array<std::byte, VPC_SECTOR_SIZE> trailing{};
    if (!NkReadFile(file, fileSize - VPC_SECTOR_SIZE, VPC_SECTOR_SIZE, trailing.data()))
        return ERR_READ_FILE;
    const std::uint64_t dataEnd = (fileSize - VPC_FOOTER_LENGTH) / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE;
    const std::size_t copyAt = std::memcmp(trailing.data(), "conectix", 8) == 0 ? 0 : 1;
    if (std::memcmp(trailing.data() + copyAt, leading.data(), VPC_FOOTER_LENGTH) != 0)
        report("the footer copies differ");
    std::array<std::byte, VPC_SPARSE_HEADER_LENGTH> header{};
    if (!NkReadFile(file, VPC_SPARSE_HEADER_OFFSET, VPC_SPARSE_HEADER_LENGTH, header.data()))
        return ERR_READ_FILE;
    if (CheckSparseHeader(header, static_cast<std::uint32_t>(VirtualPCOriginalSize(leading) >> 20)) != 0) {
        report("dynamic header fields do not fit the format");
        return 0;
    }
    const std::uint32_t entries = LoadBE<std::uint32_t>(header, kVpcSparseMaxTableEntries);
    const std::uint64_t tableEnd = VPC_TABLE_OFFSET + std::uint64_t{entries} * 4;
    if (entries > UINT32_MAX / 4 || tableEnd > dataEnd) {
        report("the block table lies past the end of the file", "entries", entries);
        return 0;
    }
    NkBuffer table(entries * 4);
    DiskBlockCheck blocks{};
    if (!table)
        return ERR_NO_MEMORY;
    if (!NkReadFile(file, VPC_TABLE_OFFSET, entries * 4, table.data()))
        return ERR_READ_FILE;
    // Blocks begin at a sector boundary behind the table.
    const std::uint64_t dataStart = (tableEnd + VPC_SECTOR_SIZE - 1) / VPC_SECTOR_SIZE * VPC_SECTOR_SIZE;
    if (int rc = DiskBlockCheck_Init(&blocks, sink, param, dataStart, dataEnd, kBlockFileBytes, entries + 1); rc != 0)
        return rc;
    // A differencing image keeps its parent's name among the blocks.
    std::array<std::byte, VPC_LOCATOR_LENGTH> locator{};
    if (footerType == VPC_TYPE_DIFFERENCING && NkReadFile(file, VPC_LOCATOR_OFFSET, VPC_LOCATOR_LENGTH, locator.data()) &&
        CheckDifferenceHeader(locator) == 0)
        DiskBlockCheck_AddMetadata(&blocks, LoadBE<std::uint32_t>(locator, kVpcLocatorDataOffsetLow),
                                   LoadBE<std::uint32_t>(locator, kVpcLocatorDataSpace));
    for (std::uint32_t i = 0; i < entries; ++i)
        if (const std::uint32_t entry = LoadBE<std::uint32_t>(table.span(), std::size_t{i} * 4); entry != VPC_UNALLOCATED)
            DiskBlockCheck_Add(&blocks, i, BitmapAt(entry));
    DiskBlockCheck_Finish(&blocks);
    return 0;
}

int VirtualPCHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return VirtualPCSparse_Check(path, VPC_TYPE_DYNAMIC, sink, param);
}

int VirtualPCHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly)
{
    return DiskSet<VirtualPCHardDisk_Malloc, VirtualPCHardDisk_Construct, VirtualPCHardDisk_Open>(
        disk, DISK_VIRTUALPC, path, readOnly);
}

}  // namespace qim
