#include "SparseExtent.h"

#include "DiskEtc.h"

#include <algorithm>
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

// Serves [offset, offset + buf.size()) spot by spot, joining spots into runs.
// A write hands each absent piece to onHole(unit, inUnit, piece) once the
// run before it is written, so that the pieces are done in order.
template <class Byte, class Hole>
int Transfer(const SparseExtent& x, std::uint64_t offset, std::span<Byte> buf, Hole&& onHole)
{
    using R = Run<Byte>;
    R run;
    const std::uint64_t unitBytes = x.pMap->qwUnitBytes;
    const int rc = ForEachPiece(offset, buf, unitBytes, [&](std::uint64_t u, std::uint64_t inUnit, std::span<Byte> piece) {
        while (!piece.empty()) {
            SparseSpot spot{};
            if (int r = x.pMap->Find(x.pState, u, inUnit, &spot); r != 0)
                return r;
            if (spot.qwBytes == 0)
                return ERR_INVALID_IMAGE;
            const std::span<Byte> part = piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(spot.qwBytes, piece.size())));
            R next{R::kFile, spot.qwFileAt, part};
            if (!spot.bStored) {
                if constexpr (std::is_const_v<Byte>) {
                    if (int r = run.Flush(x); r != 0)
                        return r;
                    run = {};
                    if (int r = onHole(u, inUnit, part); r != 0)
                        return r;
                    next = {};
                } else if (x.pParent != nullptr) {
                    next = {R::kParent, x.qwParentBase + u * unitBytes + inUnit, part};
                } else {
                    next = {R::kZero, 0, part};
                }
            }
            if (next.kind != R::kNone && !run.Join(next)) {
                if (int r = run.Flush(x); r != 0)
                    return r;
                run = next;
            }
            piece = piece.subspan(part.size());
            inUnit += part.size();
        }
        return 0;
    });
    return rc != 0 ? rc : run.Flush(x);
}

// Allocates the unit for data at inUnit unless it would read the same
// without it. The new unit is the parent's bytes (zeros without a parent,
// and past the extent's end) with the data laid over them; the format places
// it, it is written, and only then entered. A failed append is cut off again.
int AllocateUnit(const SparseExtent& x, std::uint64_t u, std::uint64_t inUnit, std::span<const std::byte> data)
{
    const SparseMap& map = *x.pMap;
    const bool dataZero = NkIsAllZero(data.data(), static_cast<std::uint32_t>(data.size())) != 0;
    if (x.pParent == nullptr && dataZero)
        return 0;
    NkBuffer unit(static_cast<std::uint32_t>(map.qwUnitBytes));
    if (!unit)
        return ERR_NO_MEMORY;
    std::memset(unit.data(), 0, unit.span().size());
    if (x.pParent != nullptr) {
        const std::uint64_t at = u * map.qwUnitBytes;
        const std::uint64_t inside = std::min(map.qwUnitBytes, x.qwBytes - at);
        if (int rc = Disk_Read64(x.pParent, x.qwParentBase + at, static_cast<std::uint32_t>(inside), unit.data());
            rc != 0)
            return rc;
        if (dataZero && NkIsAllZero(unit.data() + inUnit, static_cast<std::uint32_t>(data.size())))
            return 0;
    }
    std::memcpy(unit.data() + inUnit, data.data(), data.size());
    std::uint64_t fileAt = 0;
    std::uint64_t cutTo = 0;
    if (int rc = map.Place(x.pState, u, &fileAt, &cutTo); rc != 0)
        return rc;
    if (fileAt > map.qwLastUnitAt)
        return ERR_EXTEND_FILE;
    const int rc = NkWriteFile(x.hFile, fileAt, static_cast<std::uint32_t>(map.qwUnitBytes), unit.data())
                       ? map.Enter(x.pState, u, fileAt)
                       : ERR_EXTEND_FILE;
    std::uint64_t size = 0;
    if (rc != 0 && NkGetFileSize(x.hFile, &size) && size > cutTo)
        static_cast<void>(NkSetFileSize(x.hFile, cutTo));
    return rc;
}

}  // namespace

int SparseExtent_Read(const SparseExtent& x, std::uint64_t offset, std::span<std::byte> buffer)
{
    return Transfer(x, offset, buffer, [](auto...) { return 0; });
}

int SparseExtent_Write(const SparseExtent& x, std::uint64_t offset, std::span<const std::byte> data)
{
    return Transfer(x, offset, data, [&x](std::uint64_t u, std::uint64_t inUnit, std::span<const std::byte> piece) {
        return AllocateUnit(x, u, inUnit, piece);
    });
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
