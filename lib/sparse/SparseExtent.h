// SPDX-License-Identifier: MIT
// The engine of the sparse formats. A format keeps its header rules, its map
// (where a unit lies, where a new one goes, which metadata words record it)
// and its named entries; reading zeros or the parent's bytes, allocating on
// the first write that changes what a unit reads as, the order data then
// entries, cutting back a failed append and the allocation query are here.
#pragma once

#include "Disk.h"
#include "Nk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

// Where an extent's bytes at one offset lie: in the file at qwFileAt, or
// absent (then the parent's, or zeros), for qwBytes bytes. An absent part of
// an allocated unit (a differencing image's sector without its bit) still
// has its place in the file.
struct SparseSpot {
    bool bStored;
    bool bAllocated;
    std::uint64_t qwFileAt;
    std::uint64_t qwBytes;
};

// A format's map; every function takes the format's state.
struct SparseMap {
    std::uint64_t qwUnitBytes;
    std::uint64_t qwRecordBytes;  // a unit's bytes in the file, its own metadata before its data included
    // The last file offset a unit may begin at: the format's entries address no further.
    std::uint64_t qwLastUnitAt;
    // New units are entered empty (zeros) and then written like stored ones;
    // otherwise a unit is written whole, parent bytes and data, before its entry.
    bool bEmptyUnits;
    // Where the bytes at inUnit of the unit lie; the spot ends inside the unit.
    int (*Find)(void* state, std::uint64_t unit, std::uint64_t inUnit, SparseSpot* spot);
    // Where a new unit goes (metadata it needs first, a COWD table, is written
    // here), and the file size a failed append is cut back to.
    int (*Place)(void* state, std::uint64_t unit, std::uint64_t* fileAt, std::uint64_t* cutTo);
    // Records the unit written at fileAt, word by word in the format's order;
    // a failed step puts back what it changed.
    int (*Enter)(void* state, std::uint64_t unit, std::uint64_t fileAt);
    // When set: records, after the data, which part of an allocated unit a
    // write reached (a sector bitmap).
    int (*Written)(void* state, std::uint64_t unit, std::uint64_t inUnit, std::uint64_t bytes);
    // When set: the bytes that end the file, moved behind a new unit before
    // it is written and put back at the cut of a failed append (a footer).
    std::span<const std::byte> (*Trailer)(void* state);
};

// One extent as the engine serves it.
struct SparseExtent {
    const SparseMap* pMap;
    void* pState;
    NkHandle hFile;
    std::uint64_t qwBytes;       // its size: parent bytes past it count as zeros
    Disk* pParent;               // null: absent bytes read as zeros
    std::uint64_t qwParentBase;  // the parent's offset of the extent's first byte
};

// Requests stay inside the extent. Contiguous pieces take one transfer each.
[[nodiscard]] int SparseExtent_Read(const SparseExtent& x, std::uint64_t offset, std::span<std::byte> buffer);
// A unit is allocated unless the data and what the unit reads as now are zero;
// it then holds the parent's bytes (or zeros) around the data.
[[nodiscard]] int SparseExtent_Write(const SparseExtent& x, std::uint64_t offset, std::span<const std::byte> data);
// DISK_ALLOCATED, DISK_IN_PARENT or DISK_UNALLOCATED at offset; *length is cut where that changes.
[[nodiscard]] int SparseExtent_Allocation(const SparseExtent& x, std::uint64_t offset, std::uint64_t* length,
                                          std::uint32_t* where);

using SparseWord = std::array<std::byte, 4>;
// Writes one metadata word at each place in turn. When a write fails, every
// place written so far gets the former word back (a write that stopped
// part-way leaves a word half old, half new, pointing elsewhere); false then.
[[nodiscard]] bool SparseStoreWord(NkHandle file, std::span<const std::uint64_t> places, const SparseWord& word,
                                   const SparseWord& former);

}  // namespace qim
