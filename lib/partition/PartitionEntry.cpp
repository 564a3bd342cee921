// SPDX-License-Identifier: MIT
// Partition tables. The PC/AT walk is written once, as an iterative
// depth-first walker that hands each data entry to a visitor: the list appends,
// the lookup picks one by number. Both see the same entries in the same order
// and end with the same error, so the number the control program records names
// the same partition in the driver's copy of the image.
#include "PartitionEntry.h"

#include "DiskEtc.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>

namespace qim {

namespace {

constexpr std::uint32_t kTableBytes = 512;
constexpr std::size_t kFirstSlot = 0x1BE;
constexpr std::size_t kSlotBytes = 16;
constexpr std::uint8_t kSlotCount = 4;
// A chain holds one table per logical partition; tables that hold only links
// are allowed as many again. Bounds the walk's memory and its reads.
constexpr std::uint32_t kPartitionTableMax = 2 * kPartitionListMax;

using TableSector = std::array<std::byte, kTableBytes>;

[[nodiscard]] bool AnyNonzero(const std::uint8_t* bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != 0)
            return true;
    return false;
}

[[nodiscard]] constexpr bool IsExtendedId(std::uint8_t id) { return id == 0x05 || id == 0x0F || id == 0x85; }

// Reads the table in the first 512 bytes of sector k, at byte k times the
// disk's bytes per sector: the unit the driver maps the partitions in, so a
// disk of 1,024-byte sectors finds its logical tables where its partitions are.
// ERR_INVALID_IMAGE when the 0x55 0xAA signature is missing.
[[nodiscard]] int ReadTableSector(Disk* disk, std::uint32_t bytesPerSector, std::uint32_t sector, TableSector& table)
{
    if (int rc = Disk_Read64(disk, std::uint64_t{sector} * bytesPerSector, kTableBytes, table.data()); rc != 0)
        return rc;
    if (table[510] != std::byte{0x55} || table[511] != std::byte{0xAA})
        return ERR_INVALID_IMAGE;
    return 0;
}

[[nodiscard]] PartitionEntry SlotOf(const TableSector& table, std::uint32_t slot)
{
    const std::span<const std::byte> b = std::span<const std::byte>(table).subspan(kFirstSlot + slot * kSlotBytes,
                                                                                   kSlotBytes);
    PartitionEntry e{};
    e.bBootIndicator = std::to_integer<std::uint8_t>(b[0]);
    std::memcpy(e.abStartChs, b.data() + 1, sizeof e.abStartChs);
    e.bSystemId = std::to_integer<std::uint8_t>(b[4]);
    std::memcpy(e.abEndChs, b.data() + 5, sizeof e.abEndChs);
    e.dwStartSector = LoadLE<std::uint32_t>(b, 8);
    e.dwSectorCount = LoadLE<std::uint32_t>(b, 12);
    return e;
}

[[nodiscard]] bool AnySlotInUseFrom(const TableSector& table, std::uint32_t slot)
{
    for (; slot < kSlotCount; ++slot)
        if (SlotOf(table, slot).bSystemId != 0)
            return true;
    return false;
}

// A relative start made absolute; false when it does not fit 32 bits, which
// no sector number in a table can express.
[[nodiscard]] bool AddStart(std::uint32_t origin, std::uint32_t start, std::uint32_t* out)
{
    const std::uint64_t sum = std::uint64_t{origin} + start;
    if (sum > 0xFFFFFFFFu)
        return false;
    *out = static_cast<std::uint32_t>(sum);
    return true;
}

struct WalkFrame {
    std::uint32_t dwSector;
    std::uint8_t bNextSlot;
    bool bMaster;
};

// Lives in NkMalloc memory: a kernel stack cannot hold it. Every push enters a
// new table, so the stack never holds more frames than tables visited.
struct PartitionWalk {
    std::uint32_t dwBytesPerSector;
    std::uint32_t dwTables;
    std::uint32_t dwDepth;
    std::uint32_t adwVisited[kPartitionTableMax];
    WalkFrame aStack[kPartitionTableMax];
};

// Records, reads and pushes table sector; the break that refuses it, or None.
[[nodiscard]] PartitionChainBreak EnterTable(Disk* disk, PartitionWalk& walk, std::uint32_t sector, bool master,
                                             TableSector& table)
{
    for (std::uint32_t i = 0; i < walk.dwTables; ++i)
        if (walk.adwVisited[i] == sector)
            return PartitionChainBreak::Loop;
    if (walk.dwTables == kPartitionTableMax)
        return PartitionChainBreak::ListFull;
    walk.adwVisited[walk.dwTables++] = sector;
    if (ReadTableSector(disk, walk.dwBytesPerSector, sector, table) != 0)
        return PartitionChainBreak::Unreadable;
    walk.aStack[walk.dwDepth++] = WalkFrame{sector, 0, master};
    return PartitionChainBreak::None;
}

// Walks the table at sector (the master table when master is true, else an
// extended table whose links are relative to base) depth-first, slots in
// order, and calls visit(entry) with each data entry's absolute form, at most
// room of them. The first broken link or entry ends the walk with success and
// is noted in cut; an unreadable first table is an error. Returns the first
// nonzero result.
template <class Visit>
[[nodiscard]] int WalkPartitionTables(Disk* disk, std::uint32_t sector, bool master, std::uint32_t base,
                                      std::uint32_t room, PartitionChainCut* cut, Visit&& visit)
{
    *cut = PartitionChainCut{PartitionChainBreak::None, 0, 0};
    auto* walk = NkMallocState<PartitionWalk>();
    if (walk == nullptr)
        return ERR_NO_MEMORY;
    ScopeGuard freeWalk([walk] { NkFree(walk); });
    DiskInfo info{};
    Disk_GetDiskInfo(disk, &info);
    walk->dwBytesPerSector = info.dwBytesPerSector;
    walk->dwTables = 0;
    walk->dwDepth = 0;

    TableSector table;
    if (int rc = ReadTableSector(disk, walk->dwBytesPerSector, sector, table); rc != 0)
        return rc;
    walk->adwVisited[walk->dwTables++] = sector;
    walk->aStack[walk->dwDepth++] = WalkFrame{sector, 0, master};
    const auto cutAt = [cut](PartitionChainBreak why, std::uint32_t tableSector, std::uint64_t target) {
        *cut = PartitionChainCut{why, tableSector, target};
        return 0;
    };
    bool loaded = true;  // table holds the top frame's sector
    while (walk->dwDepth > 0) {
        WalkFrame& top = walk->aStack[walk->dwDepth - 1];
        if (top.bNextSlot == kSlotCount) {
            --walk->dwDepth;
            loaded = false;
            continue;
        }
        // Back from a chain: the table is read again instead of being kept per frame.
        if (!loaded) {
            if (ReadTableSector(disk, walk->dwBytesPerSector, top.dwSector, table) != 0)
                return cutAt(PartitionChainBreak::Unreadable, top.dwSector, top.dwSector);
            loaded = true;
        }
        const std::uint32_t here = top.dwSector;
        const PartitionEntry slot = SlotOf(table, top.bNextSlot++);
        if (slot.bSystemId == 0)
            continue;
        if (IsExtendedId(slot.bSystemId)) {
            const std::uint32_t origin = top.bMaster ? here : base;
            std::uint32_t target = 0;
            if (!AddStart(origin, slot.dwStartSector, &target) || target >= info.dwTotalSectors)
                return cutAt(PartitionChainBreak::PastEnd, here, std::uint64_t{origin} + slot.dwStartSector);
            if (top.bMaster)
                base = target;
            // A link in the last used slot needs no way back: usual chains stay one frame deep.
            if (!AnySlotInUseFrom(table, top.bNextSlot))
                --walk->dwDepth;
            if (const PartitionChainBreak why = EnterTable(disk, *walk, target, false, table);
                why != PartitionChainBreak::None)
                return cutAt(why, here, target);
            continue;
        }
        PartitionEntry found = slot;
        if (!AddStart(here, slot.dwStartSector, &found.dwStartSector))
            return cutAt(PartitionChainBreak::PastEnd, here, std::uint64_t{here} + slot.dwStartSector);
        if (room == 0)
            return cutAt(PartitionChainBreak::ListFull, here, found.dwStartSector);
        --room;
        if (int rc = visit(found); rc != 0)
            return rc;
    }
    return 0;
}

[[nodiscard]] int ListPartitions(Disk* disk, std::uint32_t sector, bool master, std::uint32_t base,
                                 std::uint32_t* count, PartitionEntry* list, PartitionChainCut* cut)
{
    const std::uint32_t room = *count < kPartitionListMax ? kPartitionListMax - *count : 0;
    PartitionChainCut ignored{};
    return WalkPartitionTables(disk, sector, master, base, room, cut != nullptr ? cut : &ignored,
                               [count, list](const PartitionEntry& e) {
        list[(*count)++] = e;
        return 0;
    });
}

// Sees the entries the list would, up to the same break: a number the list
// never shows is never found.
[[nodiscard]] int FindPartition(Disk* disk, std::uint32_t sector, bool master, std::uint32_t base,
                                const std::uint32_t* index, PartitionEntry* entry)
{
    std::uint32_t seen = 0;
    bool found = false;
    PartitionEntry wanted{};
    PartitionChainCut cut{};
    const int rc = WalkPartitionTables(disk, sector, master, base, kPartitionListMax, &cut, [&](const PartitionEntry& e) {
        if (seen++ == *index) {
            wanted = e;
            found = true;
        }
        return 0;
    });
    if (rc != 0)
        return rc;
    if (!found)
        return ERR_INVALID_IMAGE;
    *entry = wanted;
    return 0;
}

struct SystemIdText {
    std::uint8_t bSystemId;
    const char* pszText;
};

constexpr std::array<SystemIdText, 9> kSystemIdTexts = {{
    {0x01, "DOS FAT12"},
    {0x04, "DOS FAT16(<32M)"},
    {0x06, "DOS FAT16(32M-2G)"},
    {0x07, "HPFS/NTFS"},
    {0x0B, "DOS FAT32"},
    {0x0C, "DOS FAT32X"},
    {0x0E, "DOS FAT16X"},
    {0x82, "Soloris/Linux swap"},
    {0x83, "Linux ext2fs"},
}};

// PC-98

constexpr std::uint32_t kTable98Bytes = 256;
constexpr std::uint32_t kEntry98Count = 8;

// A probed pair refuses the table only when it holds a broken signature: a
// second byte 0xAA behind a first byte that is not 0x55.
[[nodiscard]] int ProbeSignature98(Disk* disk, std::uint64_t position)
{
    std::array<std::uint8_t, 2> pair{};
    if (int rc = Disk_Read64(disk, position, 2, pair.data()); rc != 0)
        return rc;
    return pair[0] != 0x55 && pair[1] == 0xAA ? ERR_INVALID_IMAGE : 0;
}

// Probes the boot sector's signature at 254 (and at 510 too when probe510 is
// set and sectors are 512 bytes), reads the table at byte bytesPerSector and
// calls visit(entry) with each in-use entry in table order until visit
// returns true. The list and the lookup both come here, so they take the same
// entries in the same order.
template <class Visit>
[[nodiscard]] int WalkTable98(Disk* disk, std::uint32_t bytesPerSector, bool probe510, Visit&& visit)
{
    if (int rc = ProbeSignature98(disk, 254); rc != 0)
        return rc;
    if (probe510 && bytesPerSector == 512)
        if (int rc = ProbeSignature98(disk, 510); rc != 0)
            return rc;
    std::array<std::uint8_t, kTable98Bytes> table{};
    if (int rc = Disk_Read64(disk, bytesPerSector, kTable98Bytes, table.data()); rc != 0)
        return rc;
    for (std::uint32_t i = 0; i < kEntry98Count; ++i) {
        const std::uint8_t* raw = table.data() + i * sizeof(PartitionEntry98);
        if (!AnyNonzero(raw, sizeof(PartitionEntry98)))
            continue;
        PartitionEntry98 e{};
        std::memcpy(&e, raw, sizeof e);
        if (visit(e))
            break;
    }
    return 0;
}

// FM Towns

constexpr std::array<std::uint8_t, 4> kFMTownsIpl = {'I', 'P', 'L', '4'};
// The maker's name, Fujitsu, in Shift-JIS.
constexpr std::array<std::uint8_t, 6> kFMTownsMaker = {0x95, 0x78, 0x8E, 0x6D, 0x92, 0xCA};
constexpr std::uint32_t kFMTownsMakerAt = 512;
constexpr std::uint32_t kFMTownsFirstEntry = 0x220;
constexpr std::uint32_t kFMTownsEntryCount = 10;
constexpr std::uint32_t kFMTownsInUseBytes = 16;
static_assert(kFMTownsFirstEntry + kFMTownsEntryCount * sizeof(PartitionEntryFMTowns) == 1024);

}  // namespace

int ReadPartitionEntryList(Disk* disk, std::uint32_t sector, std::uint32_t* count, PartitionEntry* list,
                           PartitionChainCut* cut)
{
    return ListPartitions(disk, sector, true, 0, count, list, cut);
}

int ReadPartitionEntryListEx(Disk* disk, std::uint32_t sector, std::uint32_t base, std::uint32_t* count,
                             PartitionEntry* list)
{
    return ListPartitions(disk, sector, false, base, count, list, nullptr);
}

int ReadPartitionEntry(Disk* disk, std::uint32_t sector, std::uint32_t* index, PartitionEntry* entry)
{
    return FindPartition(disk, sector, true, 0, index, entry);
}

int ReadPartitionEntryEx(Disk* disk, std::uint32_t sector, std::uint32_t base, std::uint32_t* index,
                         PartitionEntry* entry)
{
    return FindPartition(disk, sector, false, base, index, entry);
}

const char* PartitionChainBreakText(PartitionChainBreak why)
{
    switch (why) {
    case PartitionChainBreak::Loop:
        return "the link leads back to a table already read";
    case PartitionChainBreak::PastEnd:
        return "the link points past the end of the disk";
    case PartitionChainBreak::Unreadable:
        return "the linked table has no signature or cannot be read";
    case PartitionChainBreak::ListFull:
        return "more partitions than a list holds";
    case PartitionChainBreak::None:
        break;
    }
    return "not cut";
}

const char* PartitionTypeToString(std::uint8_t systemId)
{
    for (const SystemIdText& t : kSystemIdTexts)
        if (t.bSystemId == systemId)
            return t.pszText;
    return "UNKNOWN";
}

int ReadPartitionEntryList98(Disk* disk, std::uint32_t bytesPerSector, std::uint32_t* count,
                             PartitionEntry98* list)
{
    *count = 0;
    // Only the lookup probes 510: a table refused there is still listed.
    return WalkTable98(disk, bytesPerSector, false, [count, list](const PartitionEntry98& e) {
        list[(*count)++] = e;
        return false;
    });
}

int ReadPartitionEntry98(Disk* disk, std::uint32_t bytesPerSector, std::uint32_t index, PartitionEntry98* entry)
{
    bool found = false;
    const int rc = WalkTable98(disk, bytesPerSector, true, [&](const PartitionEntry98& e) {
        if (index-- != 0)
            return false;
        *entry = e;
        found = true;
        return true;
    });
    if (rc != 0)
        return rc;
    return found ? 0 : ERR_INVALID_IMAGE;
}

int ReadPartitionEntryListFMTowns(Disk* disk, std::uint32_t* count, PartitionEntryFMTowns* list)
{
    std::array<std::uint8_t, 1024> head{};
    if (int rc = Disk_Read64(disk, 0, static_cast<std::uint32_t>(head.size()), head.data()); rc != 0)
        return rc;
    if (std::memcmp(head.data(), kFMTownsIpl.data(), kFMTownsIpl.size()) != 0 ||
        std::memcmp(head.data() + kFMTownsMakerAt, kFMTownsMaker.data(), kFMTownsMaker.size()) != 0)
        return ERR_INVALID_IMAGE;
    *count = 0;
    for (std::uint32_t i = 0; i < kFMTownsEntryCount; ++i) {
        const std::uint8_t* raw = head.data() + kFMTownsFirstEntry + i * sizeof(PartitionEntryFMTowns);
        if (AnyNonzero(raw, kFMTownsInUseBytes))
            std::memcpy(&list[(*count)++], raw, sizeof(PartitionEntryFMTowns));
    }
    return 0;
}

int PartitionExtentOf98(const PartitionEntry98& entry, const DiskInfo& info, PartitionExtent* extent)
{
    // An end before the start would wrap into a partition of billions of sectors.
    if (info.dwHeads == 0 || info.dwSectorsPerTrack == 0 || entry.wEndCylinder < entry.wStartCylinder)
        return ERR_INVALID_IMAGE;
    const std::uint64_t cylinderSectors = std::uint64_t{info.dwHeads} * info.dwSectorsPerTrack;
    extent->qwStartSector = entry.wStartCylinder * cylinderSectors;
    extent->qwSectorCount = (std::uint64_t{entry.wEndCylinder} - entry.wStartCylinder + 1) * cylinderSectors;
    return 0;
}

int ClipPartitionExtent(const DiskInfo& info, PartitionExtent* extent)
{
    if (extent->qwStartSector >= info.dwTotalSectors)
        return ERR_INVALID_IMAGE;
    extent->qwSectorCount = std::min<std::uint64_t>(extent->qwSectorCount, info.dwTotalSectors - extent->qwStartSector);
    return 0;
}

int GetPartitionExtent(Disk* disk, std::uint32_t pc98, std::uint32_t index, PartitionExtent* extent)
{
    DiskInfo info{};
    Disk_GetDiskInfo(disk, &info);
    if (pc98 == 0) {
        PartitionEntry entry{};
        if (int rc = ReadPartitionEntry(disk, 0, &index, &entry); rc != 0)
            return rc;
        *extent = {entry.dwStartSector, entry.dwSectorCount};
        return 0;
    }
    PartitionEntry98 entry{};
    if (int rc = ReadPartitionEntry98(disk, info.dwBytesPerSector, index, &entry); rc != 0)
        return rc;
    return PartitionExtentOf98(entry, info, extent);
}

}  // namespace qim
