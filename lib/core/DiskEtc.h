// SPDX-License-Identifier: MIT
// What every format driver shares: the driver-table row and its adapters, the
// four-step Set function, the disk range check, the range splitter and
// bounds-checked byte-order loads.
#pragma once

#include "Disk.h"
#include "DiskRefusal.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace qim {

// The parents above an image being opened, passed down a chain of
// differencing images and redo logs (null: the image is no parent).
struct DiskChain {
    std::uint32_t dwDepth;  // parents above the one being opened
    bool bTooDeep;          // the chain ran deeper than kMaxParentDepth
    bool bBroken;           // a parent below the first failed to open
};
using DiskSetFunc = int (*)(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain);
using DiskCloseFunc = void (*)(void* state);
using DiskGetDiskInfoFunc = void (*)(void* state, DiskInfo* info);
using DiskReadFunc = int (*)(void* state, std::uint64_t offset, std::uint32_t count, void* buffer);
using DiskWriteFunc = int (*)(void* state, std::uint64_t offset, std::uint32_t count, const void* buffer);
// Where the bytes at offset come from (a DiskAllocation), for the longest
// prefix of [offset, offset + *length) that the answer holds for: *length is
// shortened to it and stays above 0. The range lies inside the disk.
using DiskAllocationFunc = int (*)(void* state, std::uint64_t offset, std::uint64_t* length, std::uint32_t* where);
// The parent of a child image: *parent is null for an image without one;
// otherwise path receives the parent's file name as the child resolves it
// beside childPath (GetBaseFileFullPath).
using DiskParentFunc = int (*)(void* state, const char* childPath, Disk** parent, std::span<char> path);
// Checks the metadata of the file at path without opening it through the
// driver, reporting each finding to sink. ERR_INVALID_PARAMETER when the file
// does not carry the format's signature; 0 when it was checked.
using DiskCheckFunc = int (*)(const char* path, DiskCheckSink sink, void* param);

// One row of the driver tables. A code whose driver is not built has an empty
// row. The last three are optional: without Allocation everything is
// allocated in the image, without Parent it has none, without Check opening
// it is the whole check.
struct DiskDriver {
    DiskSetFunc Set = nullptr;
    DiskCloseFunc Close = nullptr;
    DiskGetDiskInfoFunc GetDiskInfo = nullptr;
    DiskReadFunc Read = nullptr;
    DiskWriteFunc Write = nullptr;
    DiskAllocationFunc Allocation = nullptr;
    DiskParentFunc Parent = nullptr;
    DiskCheckFunc Check = nullptr;
};

namespace detail {
template <class F> struct StateOf;
template <class R, class S, class... A> struct StateOf<R (*)(S*, A...)> {
    using type = S;
};
template <auto Fn> using StateOfT = typename StateOf<decltype(Fn)>::type;

template <auto Fn> void CloseThunk(void* s) { Fn(static_cast<StateOfT<Fn>*>(s)); }
template <auto Fn> void InfoThunk(void* s, DiskInfo* i) { Fn(static_cast<StateOfT<Fn>*>(s), i); }
template <auto Fn> int ReadThunk(void* s, std::uint64_t o, std::uint32_t n, void* b)
{
    return Fn(static_cast<StateOfT<Fn>*>(s), o, n, b);
}
template <auto Fn> int WriteThunk(void* s, std::uint64_t o, std::uint32_t n, const void* b)
{
    return Fn(static_cast<StateOfT<Fn>*>(s), o, n, b);
}
template <auto Fn> int AllocationThunk(void* s, std::uint64_t o, std::uint64_t* n, std::uint32_t* w)
{
    return Fn(static_cast<StateOfT<Fn>*>(s), o, n, w);
}
template <auto Fn> int ParentThunk(void* s, const char* c, Disk** p, std::span<char> path)
{
    return Fn(static_cast<StateOfT<Fn>*>(s), c, p, path);
}
}  // namespace detail

// A table row from a driver's typed functions; the optional ones may be left out.
template <auto Set, auto Close, auto GetDiskInfo, auto Read, auto Write, auto Allocation = nullptr,
          auto Parent = nullptr, DiskCheckFunc Check = nullptr>
constexpr DiskDriver MakeDiskDriver()
{
    DiskDriver row{Set, &detail::CloseThunk<Close>, &detail::InfoThunk<GetDiskInfo>, &detail::ReadThunk<Read>,
                   &detail::WriteThunk<Write>};
    // Decided by type: a function's address is no constant to compare in sanitizer builds.
    if constexpr (!std::is_null_pointer_v<decltype(Allocation)>)
        row.Allocation = &detail::AllocationThunk<Allocation>;
    if constexpr (!std::is_null_pointer_v<decltype(Parent)>)
        row.Parent = &detail::ParentThunk<Parent>;
    row.Check = Check;
    return row;
}

// The Set function every driver shares: allocate, construct, open, bind.
// On failure the state is freed and the Disk is left untouched.
template <auto Malloc, auto Construct, auto Open, class... Args>
[[nodiscard]] int DiskSet(Disk* disk, std::uint32_t type, Args... args)
{
    auto* state = Malloc();
    if (state == nullptr)
        return ERR_NO_MEMORY;
    Construct(state);
    if (int rc = Open(state, args...); rc != 0) {
        NkFree(state);
        return rc;
    }
    disk->dwType = type;
    disk->pImpl = state;
    return 0;
}

// A typed state allocation through NkMalloc.
template <class State> [[nodiscard]] State* NkMallocState()
{
    return static_cast<State*>(NkMalloc(static_cast<std::uint32_t>(sizeof(State))));
}

[[nodiscard]] constexpr std::uint64_t DiskByteSize(const DiskInfo& info)
{
    return std::uint64_t{info.dwTotalSectors} * info.dwBytesPerSector;
}

// True when [offset, offset + count) lies inside the disk; every _Read and
// _Write asks this before any file access. Immune to wrap-around.
[[nodiscard]] constexpr bool DiskRangeFits(const DiskInfo& info, std::uint64_t offset, std::uint32_t count)
{
    const std::uint64_t size = DiskByteSize(info);
    return offset <= size && count <= size - offset;
}

// Calls fn(unitIndex, offsetInUnit, piece) for each piece of
// [offset, offset + buf.size()) cut at multiples of unit; returns the first
// nonzero result of fn, or 0. An empty range calls nothing.
template <class Byte, class Fn>
[[nodiscard]] int ForEachPiece(std::uint64_t offset, std::span<Byte> buf, std::uint64_t unit, Fn&& fn)
{
    std::size_t done = 0;
    while (done < buf.size()) {
        const std::uint64_t pos = offset + done;
        const std::uint64_t inUnit = pos % unit;
        const std::uint64_t room = unit - inUnit;
        const std::size_t left = buf.size() - done;
        const std::size_t n = room < left ? static_cast<std::size_t>(room) : left;
        if (int rc = fn(pos / unit, inUnit, buf.subspan(done, n)); rc != 0)
            return rc;
        done += n;
    }
    return 0;
}

namespace detail {
// An access outside the span is a programming error (layout offsets are
// constants checked against the header size), so it stops the program in
// every build rather than reading or writing beside the buffer.
template <class T, class Byte> constexpr std::span<Byte, sizeof(T)> Field(std::span<Byte> b, std::size_t at)
{
    static_assert(sizeof(T) <= 8);
    if (at > b.size() || b.size() - at < sizeof(T))
        __builtin_trap();
    return b.subspan(at).template first<sizeof(T)>();
}
}  // namespace detail

// Checked little- and big-endian loads and stores at fixed layout offsets.
template <class T> [[nodiscard]] constexpr T LoadLE(std::span<const std::byte> b, std::size_t at)
{
    const auto piece = detail::Field<T>(b, at);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= std::uint64_t{std::to_integer<std::uint8_t>(piece[i])} << (8 * i);
    return static_cast<T>(v);
}
template <class T> [[nodiscard]] constexpr T LoadBE(std::span<const std::byte> b, std::size_t at)
{
    const auto piece = detail::Field<T>(b, at);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v = (v << 8) | std::to_integer<std::uint8_t>(piece[i]);
    return static_cast<T>(v);
}
template <class T> constexpr void StoreLE(std::span<std::byte> b, std::size_t at, T value)
{
    const auto piece = detail::Field<T>(b, at);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        piece[i] = static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF);
}
template <class T> constexpr void StoreBE(std::span<std::byte> b, std::size_t at, T value)
{
    const auto piece = detail::Field<T>(b, at);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        piece[i] = static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * (sizeof(T) - 1 - i))) & 0xFF);
}

// Loads at offsets that come from the data itself: a load outside the bytes
// gives 0 and is remembered, so a parser checks ok() once at the end.
class ByteReader {
public:
    explicit constexpr ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}
    template <class T> [[nodiscard]] constexpr T LE(std::size_t at) { return Fits<T>(at) ? LoadLE<T>(bytes_, at) : T{}; }
    template <class T> [[nodiscard]] constexpr T BE(std::size_t at) { return Fits<T>(at) ? LoadBE<T>(bytes_, at) : T{}; }
    [[nodiscard]] constexpr bool ok() const { return ok_; }

private:
    template <class T> constexpr bool Fits(std::size_t at)
    {
        const bool fits = at <= bytes_.size() && bytes_.size() - at >= sizeof(T);
        ok_ = ok_ && fits;
        return fits;
    }
    std::span<const std::byte> bytes_;
    bool ok_ = true;
};

// A scratch buffer over NkMalloc; data() is null when the allocation failed.
class NkBuffer {
public:
    explicit NkBuffer(std::uint32_t size) : p_(static_cast<std::byte*>(NkMalloc(size))), size_(p_ ? size : 0) {}
    ~NkBuffer() { NkFree(p_); }
    NkBuffer(const NkBuffer&) = delete;
    NkBuffer& operator=(const NkBuffer&) = delete;
    [[nodiscard]] std::byte* data() const { return p_; }
    [[nodiscard]] std::span<std::byte> span() const { return {p_, size_}; }
    [[nodiscard]] explicit operator bool() const { return p_ != nullptr; }

private:
    std::byte* p_;
    std::uint32_t size_;
};

// Runs fn at scope exit unless released: "every failed _Open releases what it acquired".
template <class Fn> class ScopeGuard {
public:
    explicit ScopeGuard(Fn fn) : fn_(fn) {}
    ~ScopeGuard()
    {
        if (armed_)
            fn_();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    void release() { armed_ = false; }

private:
    Fn fn_;
    bool armed_ = true;
};

// How many parents below the image itself a chain of differencing images or
// redo logs may have; a longer one is taken for a loop.
inline constexpr std::uint32_t kMaxParentDepth = 64;

// Opens the parent that a child image names: the name is resolved beside the
// child with GetBaseFileFullPath and opened as Disk_Open does, so any format
// may be a parent. chain is the child's (null when the child is no parent
// itself). A chain deeper than kMaxParentDepth (a circular chain among them)
// gives ERR_INVALID_IMAGE at every level, instead of recursing without end;
// once a parent below the first failed, every level above refuses at once,
// since Disk_Open offers each level to a driver twice (extension, then
// probe), which would otherwise walk the chain again 2^depth times.
// Otherwise the result is Disk_Open's (GetBaseFileFullPath's for a name that
// does not fit). Parents are closed with Disk_Close.
[[nodiscard]] int Disk_OpenParent(Disk* parent, const char* childPath, const char* name, DiskChain* chain);

// The codes Disk_Open offers a path to before probing, by its extension
// (empty when the path has none or it names no format).
[[nodiscard]] std::span<const std::uint32_t> DiskExtensionCodes(const char* path);
// The probe order of Disk_Open.
[[nodiscard]] std::span<const std::uint32_t> DiskProbeCodes();
// The table row of a code, or null when no driver of that code is built.
[[nodiscard]] const DiskDriver* DiskDriverOf(std::uint32_t type);

}  // namespace qim
