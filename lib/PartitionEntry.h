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

// PC/AT. count is in/out: entries are appended at list[count] (list holds kPartitionListMax).
// A chain that leads back to a table already visited, or more entries than the
// list holds, ends the walk with ERR_INVALID_IMAGE; what was appended stays.
[[nodiscard]] int ReadPartitionEntryList(Disk* disk, std::uint32_t sector, std::uint32_t* count,
                                         PartitionEntry* list);
[[nodiscard]] int ReadPartitionEntryListEx(Disk* disk, std::uint32_t sector, std::uint32_t base,
                                           std::uint32_t* count, PartitionEntry* list);
// Partition number *index (list order) into entry; ERR_INVALID_IMAGE when there are fewer.
// Walks the whole table as the list does and fails whenever the list would,
// with the same error, so it never finds a partition the list does not show.
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

// FM Towns: sets count itself (at most 10).
[[nodiscard]] int ReadPartitionEntryListFMTowns(Disk* disk, std::uint32_t* count, PartitionEntryFMTowns* list);

}  // namespace qim
