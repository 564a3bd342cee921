// SPDX-License-Identifier: MIT
#include "SparseExtent.h"

#include "DiskEtc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

namespace qim {

namespace {

// A stretch of consecutive pieces served by one transfer: file bytes that
// follow one another, parent bytes, or zeros.
template <class Byte> struct Run {
    enum Kind { kNone, kFile, kParent, kZero } kind = kNone;
    std::uint64_t from = 0;  // file offset (kFile) or parent offset (kParent)
    std::span<Byte> buf;

    // Takes the next piece in if it continues this run; false otherwise.
    bool Join(const Run& next)
    {
        if (next.kind != kind || (kind != kZero && next.from != from + buf.size()) ||
            next.buf.data() != buf.data() + buf.size())
            return false;
        buf = {buf.data(), buf.size() + next.buf.size()};
        return true;
    }

    int Flush(const SparseExtent& x) const
    {
        const auto n = static_cast<std::uint32_t>(buf.size());
        if constexpr (std::is_const_v<Byte>) {
            if (kind == kFile && !NkWriteFile(x.hFile, from, n, buf.data()))
                return ERR_WRITE_FILE;
        } else if (kind == kFile) {
            if (!NkReadFile(x.hFile, from, n, buf.data()))
                return ERR_READ_FILE;
        } else if (kind == kParent) {
            return Disk_Read64(x.pParent, from, n, buf.data());
        } else if (kind == kZero) {
            std::fill(buf.begin(), buf.end(), std::byte{0});
        }
        return 0;
    }
};

constexpr std::uint64_t kSector = 512;
constexpr std::uint32_t kZeroChunk = 65536;

// Bytes at an extent offset that the file does not hold: the parent's, or zeros.
int ReadAbsent(const SparseExtent& x, std::uint64_t offset, std::span<std::byte> out)
{
    if (x.pParent != nullptr)
        return Disk_Read64(x.pParent, x.qwParentBase + offset, static_cast<std::uint32_t>(out.size()), out.data());
    std::memset(out.data(), 0, out.size());
    return 0;
}

}  // namespace

// Spot by spot, joining spots into runs.
int SparseExtent_Read(const SparseExtent& x, std::uint64_t offset, std::span<std::byte> buf)
{
    using R = Run<std::byte>;
    R run;
    const std::uint64_t unitBytes = x.pMap->qwUnitBytes;
    while (!buf.empty()) {
        SparseSpot spot{};
        if (int rc = x.pMap->Find(x.pState, offset / unitBytes, offset % unitBytes, &spot); rc != 0)
            return rc;
        if (spot.qwBytes == 0)
            return ERR_INVALID_IMAGE;
        const auto part = buf.first(static_cast<std::size_t>(std::min<std::uint64_t>(spot.qwBytes, buf.size())));
        const R next = spot.bStored            ? R{R::kFile, spot.qwFileAt, part}
                       : x.pParent != nullptr ? R{R::kParent, x.qwParentBase + offset, part}
                                              : R{R::kZero, 0, part};
        if (!run.Join(next)) {
            if (int rc = run.Flush(x); rc != 0)
                return rc;
            run = next;
        }
        buf = buf.subspan(part.size());
        offset += part.size();
    }
    return run.Flush(x);
}

namespace {

// Zeros over a new empty unit's place, in pieces of at most 64 KiB.
bool WriteZeros(const SparseExtent& x, std::uint64_t at, std::uint64_t bytes)
{
    NkBuffer zeros(kZeroChunk);
    if (!zeros)
        return false;
    std::memset(zeros.data(), 0, kZeroChunk);
    for (std::uint64_t n = 0; bytes != 0; at += n, bytes -= n) {
        n = bytes % kZeroChunk != 0 ? bytes % kZeroChunk : kZeroChunk;
        if (!NkWriteFile(x.hFile, at, static_cast<std::uint32_t>(n), zeros.data()))
            return false;
    }
    return true;
}

// Appends unit u (empty: zeros): placed, checked against what the format
// addresses, the trailer moved behind it, written, then entered. A failed
// append is cut back, the trailer put back at the cut.
int Append(const SparseExtent& x, std::uint64_t u, std::span<const std::byte> unit)
{
    const SparseMap& map = *x.pMap;
    std::uint64_t fileAt = 0;
    std::uint64_t cutTo = 0;
    if (int rc = map.Place(x.pState, u, &fileAt, &cutTo); rc != 0)
        return rc;
    if (fileAt > map.qwLastUnitAt)
        return ERR_EXTEND_FILE;
    const std::span<const std::byte> trailer = map.Trailer != nullptr ? map.Trailer(x.pState) : std::span<const std::byte>{};
    const auto trailerBytes = static_cast<std::uint32_t>(trailer.size());
    bool ok = trailer.empty() || NkWriteFile(x.hFile, fileAt + map.qwRecordBytes, trailerBytes, trailer.data());
    ok = ok && (unit.empty() ? WriteZeros(x, fileAt, map.qwRecordBytes)
                             : NkWriteFile(x.hFile, fileAt, static_cast<std::uint32_t>(unit.size()), unit.data()));
    const int rc = ok ? map.Enter(x.pState, u, fileAt) : ERR_EXTEND_FILE;
    std::uint64_t size = 0;
    if (rc != 0 && (trailer.empty() || NkWriteFile(x.hFile, cutTo - trailerBytes, trailerBytes, trailer.data())) &&
        NkGetFileSize(x.hFile, &size) && size > cutTo)
        static_cast<void>(NkSetFileSize(x.hFile, cutTo));
    return rc;
}

// Allocates the unit for data at inUnit unless it would read the same
// without it. Written whole, the new unit is the parent's bytes (zeros
// without a parent, and past the extent's end) with the data laid over them;
// an empty one is entered first and then written into.
int Allocate(const SparseExtent& x, std::uint64_t u, std::uint64_t inUnit, std::span<const std::byte> data)
{
    const SparseMap& map = *x.pMap;
    const auto n = static_cast<std::uint32_t>(data.size());
    const bool dataZero = NkIsAllZero(data.data(), n) != 0;
    if (x.pParent == nullptr && dataZero)
        return 0;
    if (map.bEmptyUnits && !dataZero)
        return Append(x, u, {});
    NkBuffer unit(static_cast<std::uint32_t>(map.bEmptyUnits ? data.size() : map.qwUnitBytes));
    if (!unit)
        return ERR_NO_MEMORY;
    const std::uint64_t at = u * map.qwUnitBytes + (map.bEmptyUnits ? inUnit : 0);
    const std::size_t under = map.bEmptyUnits ? 0 : static_cast<std::size_t>(inUnit);
    std::memset(unit.data(), 0, unit.span().size());
    if (x.pParent != nullptr) {
        const auto inside = static_cast<std::uint32_t>(std::min<std::uint64_t>(unit.span().size(), x.qwBytes - at));
        if (int rc = ReadAbsent(x, at, unit.span().first(inside)); rc != 0)
            return rc;
        if (dataZero && NkIsAllZero(unit.data() + under, n))
            return 0;
    }
    if (map.bEmptyUnits)
        return Append(x, u, {});
    std::memcpy(unit.data() + under, data.data(), n);
    return Append(x, u, unit.span());
}

// Writes part of a sector absent from an allocated unit, completed with the
// bytes the sector reads as now.
int CompleteSector(const SparseExtent& x, std::uint64_t offset, std::uint64_t fileAt, std::span<const std::byte> part)
{
    std::array<std::byte, kSector> sector{};
    const std::uint64_t inSector = offset % kSector;
    if (int rc = ReadAbsent(x, offset - inSector, sector); rc != 0)
        return rc;
    std::memcpy(sector.data() + inSector, part.data(), part.size());
    return NkWriteFile(x.hFile, fileAt - inSector, kSector, sector.data()) ? 0 : ERR_WRITE_FILE;
}

// Writes a piece inside one unit: allocated first when it is not, then spot
// by spot; sectors of an absent part covered only in part (at most its first
// and last) are completed. The run is written before the unit's Written step.
int WriteUnit(const SparseExtent& x, Run<const std::byte>* run, std::uint64_t u, std::uint64_t inUnit,
              std::span<const std::byte> piece)
{
    using R = Run<const std::byte>;
    const SparseMap& map = *x.pMap;
    const std::uint64_t bytes = piece.size();
    SparseSpot spot{};
    if (int rc = map.Find(x.pState, u, inUnit, &spot); rc != 0)
        return rc;
    if (!spot.bAllocated) {
        if (int rc = run->Flush(x); rc != 0)
            return rc;
        *run = {};
        SparseSpot after{};
        if (int rc = Allocate(x, u, inUnit, piece); rc != 0 || !map.bEmptyUnits)
            return rc;
        if (int rc = map.Find(x.pState, u, inUnit, &after); rc != 0 || !after.bAllocated)
            return rc;  // nothing to write: the piece changed nothing
    }
    const auto add = [&](std::uint64_t fileAt, std::span<const std::byte> part) {
        const R next{R::kFile, fileAt, part};
        if (run->Join(next))
            return 0;
        const int rc = run->Flush(x);
        *run = next;
        return rc;
    };
    for (std::uint64_t at = inUnit; !piece.empty();) {
        if (int rc = map.Find(x.pState, u, at, &spot); rc != 0)
            return rc;
        if (spot.qwBytes == 0)
            return ERR_INVALID_IMAGE;
        auto part = piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(spot.qwBytes, piece.size())));
        piece = piece.subspan(part.size());
        std::uint64_t offset = u * map.qwUnitBytes + at;
        std::uint64_t fileAt = spot.qwFileAt;
        at += part.size();
        if (!spot.bStored && (offset % kSector != 0 || part.size() < kSector)) {
            const auto head = std::min<std::size_t>(part.size(), kSector - offset % kSector);
            if (int rc = CompleteSector(x, offset, fileAt, part.first(head)); rc != 0)
                return rc;
            part = part.subspan(head);
            offset += head;
            fileAt += head;
        }
        if (!spot.bStored && (offset + part.size()) % kSector != 0 && !part.empty()) {
            const auto tail = static_cast<std::size_t>((offset + part.size()) % kSector);
            if (int rc = CompleteSector(x, offset + part.size() - tail, fileAt + part.size() - tail, part.last(tail));
                rc != 0)
                return rc;
            part = part.first(part.size() - tail);
        }
        if (!part.empty())
            if (int rc = add(fileAt, part); rc != 0)
                return rc;
    }
    if (map.Written == nullptr)
        return 0;
    const int rc = run->Flush(x);
    *run = {};
    return rc != 0 ? rc : map.Written(x.pState, u, inUnit, bytes);
}

}  // namespace

int SparseExtent_Write(const SparseExtent& x, std::uint64_t offset, std::span<const std::byte> data)
{
    Run<const std::byte> run;
    const int rc = ForEachPiece(offset, data, x.pMap->qwUnitBytes,
                                [&](std::uint64_t u, std::uint64_t inUnit, std::span<const std::byte> piece) {
                                    return WriteUnit(x, &run, u, inUnit, piece);
                                });
    return rc != 0 ? rc : run.Flush(x);
}

int SparseExtent_Allocation(const SparseExtent& x, std::uint64_t offset, std::uint64_t* length, std::uint32_t* where)
{
    const std::uint64_t end = offset + *length;
    std::uint64_t at = offset;
    while (at < end) {
        SparseSpot spot{};
        if (int rc = x.pMap->Find(x.pState, at / x.pMap->qwUnitBytes, at % x.pMap->qwUnitBytes, &spot); rc != 0)
            return rc;
        const std::uint32_t here = spot.bStored ? DISK_ALLOCATED : x.pParent != nullptr ? DISK_IN_PARENT : DISK_UNALLOCATED;
        if (at == offset)
            *where = here;
        else if (here != *where)
            break;
        at = std::min(end, at + std::max<std::uint64_t>(spot.qwBytes, 1));
    }
    *length = at - offset;
    return 0;
}

bool SparseStoreWord(NkHandle file, std::span<const std::uint64_t> places, const SparseWord& word,
                     const SparseWord& former)
{
    for (std::size_t c = 0; c < places.size(); ++c) {
        if (NkWriteFile(file, places[c], 4, word.data()))
            continue;
        for (std::size_t undo = 0; undo <= c; ++undo)
            static_cast<void>(NkWriteFile(file, places[undo], 4, former.data()));
        return false;
    }
    return true;
}

}  // namespace qim
