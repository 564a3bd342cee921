// SPDX-License-Identifier: MIT
// PC/AT, PC-98 and FM Towns partition tables, read through a Disk. The control
// program and the driver number partitions by the same walk, so that a
// partition chosen in one is found again in the other.
#pragma once

#include "Disk.h"

#include <cstdint>

namespace qim {

#pragma pack(push, 1)
struct PartitionEntry {
    std::uint8_t bBootIndicator;
    std::uint8_t abStartChs[3];
    std::uint8_t bSystemId;
    std::uint8_t abEndChs[3];
    std::uint32_t dwStartSector;  // absolute in a returned entry
    std::uint32_t dwSectorCount;
};

struct PartitionEntry98 {
    std::uint8_t abReserved0[10];
    std::uint16_t wStartCylinder;
    std::uint8_t abReserved1[2];
    std::uint16_t wEndCylinder;  // inclusive
    char achName[16];            // not zero-terminated
};

struct PartitionEntryFMTowns {
    std::uint8_t abData[48];
};
#pragma pack(pop)

static_assert(sizeof(PartitionEntry) == 16);
static_assert(sizeof(PartitionEntry98) == 32);
static_assert(sizeof(PartitionEntryFMTowns) == 48);

// How many entries a caller's partition list holds; no walk appends more.
inline constexpr std::uint32_t kPartitionListMax = 256;

// Why a walk of the extended-partition chain ended early.
enum class PartitionChainBreak : std::uint8_t {
    None,
    Loop,          // a link to a table already visited
    PastEnd,       // a link past the end of the disk, or past 32 bits
    Unreadable,    // a linked table without signature, or whose read failed
    ListFull,      // more entries than a list holds, or more tables than the walk visits
};
// Where the chain was cut: the table holding the broken link or entry, and the sector it names.
struct PartitionChainCut {
    PartitionChainBreak eBreak;
    std::uint32_t dwTableSector;
    std::uint64_t qwTarget;
};
[[nodiscard]] const char* PartitionChainBreakText(PartitionChainBreak why);

// PC/AT. count is in/out: entries are appended at list[count] (list holds kPartitionListMax).
// A broken link of the chain (see PartitionChainBreak) ends the walk with
// success, keeping every entry found before it, so that the primaries and the
// logical partitions before the break stay usable; cut, when given, says
// where. An unreadable table at sector itself is an error.
[[nodiscard]] int ReadPartitionEntryList(Disk* disk, std::uint32_t sector, std::uint32_t* count,
                                         PartitionEntry* list, PartitionChainCut* cut = nullptr);
[[nodiscard]] int ReadPartitionEntryListEx(Disk* disk, std::uint32_t sector, std::uint32_t base,
                                           std::uint32_t* count, PartitionEntry* list);
// Partition number *index (list order) into entry; ERR_INVALID_IMAGE when there are fewer.
// Walks the table as the list does, ending where the list ends, so it finds
// exactly the partitions the list shows.
[[nodiscard]] int ReadPartitionEntry(Disk* disk, std::uint32_t sector, std::uint32_t* index, PartitionEntry* entry);
[[nodiscard]] int ReadPartitionEntryEx(Disk* disk, std::uint32_t sector, std::uint32_t base, std::uint32_t* index,
                                       PartitionEntry* entry);
[[nodiscard]] const char* PartitionTypeToString(std::uint8_t systemId);

// PC-98: the table is at byte position bytesPerSector. The list sets count itself (at most 8).
// Both probe the boot signature at 254; the lookup also at 510 for 512-byte sectors.
[[nodiscard]] int ReadPartitionEntryList98(Disk* disk, std::uint32_t bytesPerSector, std::uint32_t* count,
                                           PartitionEntry98* list);
[[nodiscard]] int ReadPartitionEntry98(Disk* disk, std::uint32_t bytesPerSector, std::uint32_t index,
                                       PartitionEntry98* entry);

// Where a partition lies on the disk, in the disk's sectors, as the driver
// serves it: a PC/AT entry by its start and count, a PC-98 entry by whole
// cylinders of the disk's geometry.
struct PartitionExtent {
    std::uint64_t qwStartSector;
    std::uint64_t qwSectorCount;
};
// ERR_INVALID_IMAGE for a PC-98 entry that ends before it starts, or a
// geometry without heads or sectors per track.
[[nodiscard]] int PartitionExtentOf98(const PartitionEntry98& entry, const DiskInfo& info, PartitionExtent* extent);
// Partition number index (list order) of the PC/AT (pc98 0) or PC-98 table;
// the lookups' errors unchanged.
[[nodiscard]] int GetPartitionExtent(Disk* disk, std::uint32_t pc98, std::uint32_t index, PartitionExtent* extent);

// The part of a partition the disk holds, as the driver and qimg serve it: a
// partition that runs past the disk's end (a truncated or damaged image) is
// cut at the end, so that what the disk holds of it can be rescued.
// ERR_INVALID_IMAGE, extent unchanged, when it starts at or past the end.
[[nodiscard]] int ClipPartitionExtent(const DiskInfo& info, PartitionExtent* extent);

// FM Towns: sets count itself (at most 10).
[[nodiscard]] int ReadPartitionEntryListFMTowns(Disk* disk, std::uint32_t* count, PartitionEntryFMTowns* list);

}  // namespace qim
