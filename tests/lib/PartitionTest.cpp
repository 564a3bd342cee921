// SPDX-License-Identifier: MIT
// Partition tables through the Disk object, in both builds. Every PC/AT and
// PC-98 layout is checked for agreement between the list and the lookup.
#include "Disk.h"
#include "PartitionEntry.h"
#include "PartitionTable.h"
#include "RawImage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <cctype>
#include <cstdio>
#include <sstream>

using namespace qim;
using namespace qimtest;

namespace {

// A raw image file opened read-only as a Disk.
class ImageDisk {
public:
    // path must already exist; its size decides the sector count.
    explicit ImageDisk(const std::string& path, std::uint32_t bytesPerSector = 512)
    {
        Disk_Construct(&disk);
        const DiskInfo info = {static_cast<std::uint32_t>(FileSize(path) / bytesPerSector), 16, 63, bytesPerSector};
        rc = Disk_OpenBeta(&disk, path.c_str(), 1, 0, &info);
    }
    ~ImageDisk()
    {
        if (disk.pImpl != nullptr)
            Disk_Close(&disk);
    }
    Disk disk{};
    int rc = 0;
};

struct Listed {
    int rc = 0;
    std::vector<PartitionEntry> entries;
    PartitionChainCut cut{};
};

// Lists into a full-size list guarded by canaries, and checks that nothing
// was written past the count or past the list.
Listed ListAt(Disk* disk, std::uint32_t startCount = 0)
{
    constexpr std::uint8_t kCanary = 0xC5;
    std::vector<PartitionEntry> list(kPartitionListMax + 8);
    std::memset(list.data(), kCanary, list.size() * sizeof(PartitionEntry));
    std::uint32_t count = startCount;
    Listed out;
    out.rc = ReadPartitionEntryList(disk, 0, &count, list.data(), &out.cut);
    EXPECT_LE(count, kPartitionListMax);
    EXPECT_GE(count, startCount);
    const auto* tail = reinterpret_cast<const std::uint8_t*>(list.data() + count);
    const std::size_t tailBytes = (list.size() - count) * sizeof(PartitionEntry);
    for (std::size_t i = 0; i < tailBytes; ++i)
        if (tail[i] != kCanary) {
            ADD_FAILURE() << "list written past its count at byte " << i;
            break;
        }
    out.entries.assign(list.begin() + startCount, list.begin() + count);
    return out;
}

// The lookup agrees with the list: the same entry at every number, the list's
// error for any number when the list fails, ERR_INVALID_IMAGE past the end.
Listed ListAndCheckLookup(Disk* disk)
{
    Listed l = ListAt(disk);
    const std::uint32_t n = static_cast<std::uint32_t>(l.entries.size());
    for (std::uint32_t i = 0; i <= n; ++i) {
        std::uint32_t index = i;
        PartitionEntry e{};
        std::memset(&e, 0x3C, sizeof e);
        const int rc = ReadPartitionEntry(disk, 0, &index, &e);
        if (l.rc != 0) {
            EXPECT_EQ(rc, l.rc) << "number " << i;
        } else if (i < n) {
            EXPECT_EQ(rc, 0) << "number " << i;
            EXPECT_EQ(std::memcmp(&e, &l.entries[i], sizeof e), 0) << "number " << i;
        } else {
            EXPECT_EQ(rc, ERR_INVALID_IMAGE) << "number " << i;
        }
    }
    std::uint32_t far = 0xFFFFFFFFu;
    PartitionEntry e{};
    EXPECT_EQ(ReadPartitionEntry(disk, 0, &far, &e), l.rc != 0 ? l.rc : ERR_INVALID_IMAGE);
    return l;
}

std::vector<PcAtPartition> Simplified(const std::vector<PartitionEntry>& entries)
{
    std::vector<PcAtPartition> out;
    for (const PartitionEntry& e : entries)
        out.push_back({e.bSystemId, e.dwStartSector, e.dwSectorCount});
    return out;
}

PcAtSlot Slot(std::uint8_t id, std::uint32_t start, std::uint32_t count)
{
    PcAtSlot s;
    s.systemId = id;
    s.start = start;
    s.count = count;
    return s;
}

// A sparse image of the given sectors for tables written one by one.
std::string SparseImage(const TempDir& dir, std::uint32_t sectors)
{
    const std::string path = dir.file("disk.img");
    MakeSparseFile(path, std::uint64_t{sectors} * 512);
    return path;
}

TEST(PcAtPartitions, SlotOrderWithChainInPlaceOfExtendedSlot)
{
    TempDir dir;
    const std::string path = SparseImage(dir, 20000);
    PcAtSlots master{};
    master[0] = Slot(0x83, 63, 937);
    master[0].boot = 0x80;
    master[0].startChs = {1, 1, 0};
    master[0].endChs = {0xFE, 0xFF, 0xFF};
    master[1] = Slot(0x05, 1000, 9000);
    master[3] = Slot(0x82, 12000, 500);
    WritePcAtTable(path, 0, master);
    WritePcAtTable(path, 1000, {Slot(0x06, 63, 2000), Slot(0x05, 3000, 4000)});
    WritePcAtTable(path, 4000, {Slot(0x83, 63, 1000)});

    ImageDisk d(path);
    ASSERT_EQ(d.rc, 0);
    const Listed l = ListAndCheckLookup(&d.disk);
    ASSERT_EQ(l.rc, 0);
    const std::vector<PcAtPartition> want = {{0x83, 63, 937}, {0x06, 1063, 2000}, {0x83, 4063, 1000}, {0x82, 12000, 500}};
    EXPECT_EQ(Simplified(l.entries), want);
    // The uninterpreted bytes travel with the entry.
    EXPECT_EQ(l.entries[0].bBootIndicator, 0x80);
    EXPECT_EQ(l.entries[0].abStartChs[0], 1);
    EXPECT_EQ(l.entries[0].abEndChs[2], 0xFF);

    std::uint32_t index = 3;
    PartitionEntry e{};
    ASSERT_EQ(ReadPartitionEntry(&d.disk, 0, &index, &e), 0);
    EXPECT_EQ(e.bSystemId, 0x82);
    index = 4;
    EXPECT_EQ(ReadPartitionEntry(&d.disk, 0, &index, &e), ERR_INVALID_IMAGE);
}

TEST(PcAtPartitions, LinksRelativeToOutermostDataRelativeToOwnTable)
{
    TempDir dir;
    const std::string path = SparseImage(dir, 40000);
    WritePcAtTable(path, 0, {Slot(0x05, 1000, 30000)});
    WritePcAtTable(path, 1000, {Slot(0x83, 63, 100), Slot(0x05, 5000, 1000)});
    // The second link is relative to 1000, so it leads to 8000, not 13000.
    WritePcAtTable(path, 6000, {Slot(0x0F, 7000, 1000), Slot(0x06, 63, 100)});
    WritePcAtTable(path, 8000, {Slot(0x0B, 10, 20), Slot(0x85, 20000, 100)});
    WritePcAtTable(path, 13000, {Slot(0x01, 1, 1)});  // where a link taken relative to 6000 would lead
    WritePcAtTable(path, 21000, {Slot(0x07, 63, 50)});

    ImageDisk d(path);
    ASSERT_EQ(d.rc, 0);
    const Listed l = ListAndCheckLookup(&d.disk);
    ASSERT_EQ(l.rc, 0);
    // 6000's link comes before its data entry: depth first, slots in order.
    const std::vector<PcAtPartition> want = {{0x83, 1063, 100}, {0x0B, 8010, 20}, {0x07, 21063, 50}, {0x06, 6063, 100}};
    EXPECT_EQ(Simplified(l.entries), want);

    // The extended entry points start at one table of the chain, with the outermost base.
    std::uint32_t count = 0;
    std::array<PartitionEntry, kPartitionListMax> list{};
    ASSERT_EQ(ReadPartitionEntryListEx(&d.disk, 6000, 1000, &count, list.data()), 0);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(list[0].dwStartSector, 8010u);
    EXPECT_EQ(list[2].dwStartSector, 6063u);
    for (std::uint32_t i = 0; i <= count; ++i) {
        std::uint32_t index = i;
        PartitionEntry e{};
        const int rc = ReadPartitionEntryEx(&d.disk, 6000, 1000, &index, &e);
        if (i < count) {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(std::memcmp(&e, &list[i], sizeof e), 0);
        } else {
            EXPECT_EQ(rc, ERR_INVALID_IMAGE);
        }
    }
}

// Table sector k lies at k times the disk's bytes per sector, the unit its
// partitions start in; 512-byte disks read exactly the bytes they always did.
TEST(PcAtPartitions, TablesLieInSectorsOfTheDisksOwnSize)
{
    TempDir dir;
    PcAtLayout layout;
    layout.primary = {{0x06, 63, 937}};
    layout.logical = {{0x83, 1063, 500}, {0x07, 2000, 300}};
    for (const std::uint32_t bps : {512u, 1024u, 2048u}) {
        SCOPED_TRACE(bps);
        layout.bytesPerSector = bps;
        const std::string path = dir.file("disk" + std::to_string(bps) + ".img");
        const std::vector<PcAtPartition> want = WritePcAtDisk(path, 4000, layout);
        ImageDisk d(path, bps);
        ASSERT_EQ(d.rc, 0);
        const Listed l = ListAndCheckLookup(&d.disk);
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(Simplified(l.entries), want);
    }
}

TEST(PcAtPartitions, SeveralLinksAndDataPerTableStrayBytesAndExactExtendedIds)
{
    TempDir dir;
    const std::string path = SparseImage(dir, 100000);
    PcAtSlot stray = Slot(0x00, 0x12345678, 0x9ABCDEF0);  // empty: id 0, other bytes not
    stray.boot = 0x80;
    stray.startChs = {9, 9, 9};
    // 0x0E, 0xA5 and 0x42 are partitions (0x42 is unknown to the text table), never links.
    WritePcAtTable(path, 0, {Slot(0x0E, 100, 10), stray, Slot(0x0F, 1000, 90000), Slot(0xA5, 95000, 10)});
    // One extended table with data, link, data, link.
    WritePcAtTable(path, 1000, {Slot(0x83, 10, 5), Slot(0x05, 10000, 100), Slot(0x42, 20, 5), Slot(0x85, 30000, 100)});
    WritePcAtTable(path, 11000, {stray, Slot(0x05, 20000, 100), stray, Slot(0x07, 7, 3)});
    WritePcAtTable(path, 21000, {Slot(0x06, 1, 2)});
    WritePcAtTable(path, 31000, {Slot(0x0B, 2, 3), stray, Slot(0x0C, 4, 5)});

    ImageDisk d(path);
    ASSERT_EQ(d.rc, 0);
    const Listed l = ListAndCheckLookup(&d.disk);
    ASSERT_EQ(l.rc, 0);
    const std::vector<PcAtPartition> want = {{0x0E, 100, 10},  {0x83, 1010, 5},  {0x06, 21001, 2}, {0x07, 11007, 3},
                                             {0x42, 1020, 5},  {0x0B, 31002, 3}, {0x0C, 31004, 5}, {0xA5, 95000, 10}};
    EXPECT_EQ(Simplified(l.entries), want);
}

void ExpectCut(const Listed& l, PartitionChainBreak why, std::uint32_t table, std::uint64_t target)
{
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.cut.eBreak, why) << PartitionChainBreakText(l.cut.eBreak);
    EXPECT_EQ(l.cut.dwTableSector, table);
    EXPECT_EQ(l.cut.qwTarget, target);
}

// A broken chain ends the walk at the break and keeps what came before it,
// primaries included; the lookup finds exactly those. Only an unreadable
// master table leaves nothing.
TEST(PcAtPartitions, BrokenChainsKeepWhatCameBeforeTheBreak)
{
    TempDir dir;
    {
        const std::string path = dir.file("nosig.img");
        MakeSparseFile(path, 100 * 512);
        WritePcAtTable(path, 0, {Slot(0x83, 1, 10)}, {0x55, 0xAB});
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        EXPECT_EQ(l.rc, ERR_INVALID_IMAGE);
        EXPECT_TRUE(l.entries.empty());
    }
    {
        // The chain's second table lacks its signature; a primary after the link stays too.
        const std::string path = dir.file("badchain.img");
        MakeSparseFile(path, 3000 * 512);
        WritePcAtTable(path, 0, {Slot(0x06, 1, 10), Slot(0x05, 100, 2000), Slot(0x0B, 2500, 10)});
        WritePcAtTable(path, 100, {Slot(0x83, 1, 10), Slot(0x05, 500, 100)});
        WritePcAtTable(path, 600, {Slot(0x83, 1, 10)}, {0x00, 0x00});
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        ExpectCut(l, PartitionChainBreak::Unreadable, 100, 600);
        EXPECT_EQ(Simplified(l.entries), (std::vector<PcAtPartition>{{0x06, 1, 10}, {0x83, 101, 10}}));
    }
    {
        // A link past the disk's end.
        const std::string path = dir.file("short.img");
        MakeSparseFile(path, 50 * 512);
        WritePcAtTable(path, 0, {Slot(0x83, 1, 10), Slot(0x05, 50, 100)});
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        ExpectCut(l, PartitionChainBreak::PastEnd, 0, 50);
        EXPECT_EQ(l.entries.size(), 1u);
    }
    {
        // A start that does not fit 32 bits.
        const std::string path = dir.file("wrap.img");
        MakeSparseFile(path, 3000 * 512);
        WritePcAtTable(path, 0, {Slot(0x83, 1, 5), Slot(0x05, 2000, 100)});
        WritePcAtTable(path, 2000, {Slot(0x83, 0xFFFFFF00u, 10)});
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        ExpectCut(l, PartitionChainBreak::PastEnd, 2000, 2000 + std::uint64_t{0xFFFFFF00u});
        EXPECT_EQ(Simplified(l.entries), (std::vector<PcAtPartition>{{0x83, 1, 5}}));
    }
}

TEST(PcAtPartitions, LoopsCutTheChain)
{
    TempDir dir;
    struct Case {
        const char* what;
        std::vector<std::pair<std::uint32_t, PcAtSlots>> tables;
        std::size_t listedBeforeLoop;
        std::uint32_t cutTable;
        std::uint32_t cutTarget;
    };
    const std::vector<Case> cases = {
        {"master links to itself", {{0, {Slot(0x83, 1, 5), Slot(0x05, 0, 10)}}}, 1, 0, 0},
        {"table links to itself", {{0, {Slot(0x05, 100, 50)}}, {100, {Slot(0x83, 1, 5), Slot(0x05, 0, 50)}}}, 1, 100,
         100},
        {"two tables link to each other",
         {{0, {Slot(0x05, 100, 500)}},
          {100, {Slot(0x05, 200, 50), Slot(0x83, 1, 5)}},
          {300, {Slot(0x83, 1, 5), Slot(0x0F, 0, 50)}}},
         1, 300, 100},
        {"two links to one table", {{0, {Slot(0x05, 100, 50), Slot(0x05, 100, 50)}}, {100, {Slot(0x83, 1, 5)}}}, 1, 0,
         100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = SparseImage(dir, 1000);
        for (const auto& [sector, slots] : c.tables)
            WritePcAtTable(path, sector, slots);
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        ExpectCut(l, PartitionChainBreak::Loop, c.cutTable, c.cutTarget);
        EXPECT_EQ(l.entries.size(), c.listedBeforeLoop);
    }
}

TEST(PcAtPartitions, ListsAtMostAFullListAndVisitsBoundedTables)
{
    TempDir dir;
    auto chainOf = [&](std::uint32_t logical) {
        PcAtLayout layout;
        for (std::uint32_t i = 0; i < logical; ++i)
            layout.logical.push_back({0x83, 100 + i * 100, 10});
        const std::string path = dir.file("chain" + std::to_string(logical) + ".img");
        return std::make_pair(path, WritePcAtDisk(path, 100 + logical * 100, layout));
    };
    {
        const auto [path, want] = chainOf(kPartitionListMax);
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(l.cut.eBreak, PartitionChainBreak::None);
        EXPECT_EQ(Simplified(l.entries), want);
    }
    {
        const auto [path, want] = chainOf(kPartitionListMax + 1);
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.cut.eBreak, PartitionChainBreak::ListFull);
        EXPECT_EQ(Simplified(l.entries), std::vector<PcAtPartition>(want.begin(), want.end() - 1));
        // A list already partly filled gets only the room left.
        const Listed part = ListAt(&d.disk, kPartitionListMax - 3);
        EXPECT_EQ(part.rc, 0);
        EXPECT_EQ(part.entries.size(), 3u);
        const Listed full = ListAt(&d.disk, kPartitionListMax);
        EXPECT_EQ(full.rc, 0);
        EXPECT_EQ(full.cut.eBreak, PartitionChainBreak::ListFull);
        EXPECT_TRUE(full.entries.empty());
    }
    {
        // Thousands of tables holding only links: bounded by tables, not by entries.
        constexpr std::uint32_t kTables = 3000;
        const std::string path = SparseImage(dir, kTables + 10);
        WritePcAtTable(path, 0, {Slot(0x05, 1, kTables)});
        for (std::uint32_t t = 1; t < kTables; ++t)
            WritePcAtTable(path, t, {Slot(0x05, t, 1)});  // relative to base 1: the next sector
        WritePcAtTable(path, kTables, {Slot(0x83, 1, 1)});
        ImageDisk d(path);
        const Listed l = ListAndCheckLookup(&d.disk);
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.cut.eBreak, PartitionChainBreak::ListFull);
        EXPECT_TRUE(l.entries.empty());
    }
}

TEST(PcAtPartitions, TypeTexts)
{
    const std::map<std::uint8_t, std::string> texts = {
        {0x01, "DOS FAT12"},  {0x04, "DOS FAT16(<32M)"}, {0x06, "DOS FAT16(32M-2G)"},
        {0x07, "HPFS/NTFS"},  {0x0B, "DOS FAT32"},       {0x0C, "DOS FAT32X"},
        {0x0E, "DOS FAT16X"}, {0x82, "Soloris/Linux swap"}, {0x83, "Linux ext2fs"},
    };
    for (int id = 0; id < 256; ++id) {
        const auto it = texts.find(static_cast<std::uint8_t>(id));
        EXPECT_STREQ(PartitionTypeToString(static_cast<std::uint8_t>(id)),
                     it != texts.end() ? it->second.c_str() : "UNKNOWN")
            << "id " << id;
    }
}

// ---- sfdisk as an oracle ----

std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    std::array<char, 4096> buf{};
    std::size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    *status = ::pclose(p);
    return out;
}

TEST(PcAtPartitions, MatchesSfdiskDump)
{
    int status = 0;
    RunCommand("sfdisk --version >/dev/null 2>&1", &status);
    if (status != 0)
        GTEST_SKIP() << "sfdisk is not installed (Debian package fdisk)";

    TempDir dir;
    const std::string path = dir.file("sfdisk.img");
    MakeSparseFile(path, std::uint64_t{400} << 20);
    // The extended partition sits before a fourth primary, so its logical
    // partitions must take its place in the list, ahead of partition 4.
    const std::string script = "label: dos\n"
                               "start=2048, size=40960, type=83\n"
                               "size=20480, type=6\n"
                               "size=600000, type=5\n"
                               "size=8192, type=82\n"
                               "size=100000, type=83\n"
                               "size=30000, type=7\n"
                               "type=b\n";
    WriteFile(dir.file("script"), Bytes(script.begin(), script.end()));
    RunCommand("sfdisk --no-reread --no-tell-kernel '" + path + "' < '" + dir.file("script") + "' >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0) << "sfdisk could not write the table";
    const std::string dump = RunCommand("sfdisk --dump '" + path + "' 2>/dev/null", &status);
    ASSERT_EQ(status, 0);

    // Lines read "<image><n> : start=S, size=L, type=T".
    std::map<int, PcAtPartition> numbered;
    std::istringstream in(dump);
    for (std::string text; std::getline(in, text);) {
        const std::size_t colon = text.find(" : start=");
        std::size_t digits = colon;
        while (digits != std::string::npos && digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1])))
            --digits;
        unsigned start = 0, size = 0, type = 0;
        if (colon == std::string::npos || digits == colon ||
            std::sscanf(text.c_str() + colon, " : start= %u, size= %u, type=%x", &start, &size, &type) != 3)
            continue;
        numbered[std::stoi(text.substr(digits, colon - digits))] = {static_cast<std::uint8_t>(type), start, size};
    }
    ASSERT_EQ(numbered.size(), 7u) << dump;
    std::vector<PcAtPartition> want;
    for (int n = 1; n <= 4; ++n) {
        if (numbered[n].systemId != 0x05) {
            want.push_back(numbered[n]);
            continue;
        }
        for (int k = 5; k <= 7; ++k)
            want.push_back(numbered[k]);
    }

    ImageDisk d(path);
    ASSERT_EQ(d.rc, 0);
    const Listed l = ListAndCheckLookup(&d.disk);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(Simplified(l.entries), want) << dump;
}

// ---- PC-98 ----

struct Listed98 {
    int rc = 0;
    std::vector<PartitionEntry98> entries;
};

// lookupRc: what every lookup gives when the lookup refuses a table the list
// accepts (0: the lookup agrees with the list).
Listed98 List98AndCheckLookup(Disk* disk, std::uint32_t bytesPerSector, int lookupRc = 0)
{
    std::array<PartitionEntry98, 8 + 2> list{};
    std::memset(list.data(), 0xC5, sizeof list);
    std::uint32_t count = 99;
    Listed98 l;
    l.rc = ReadPartitionEntryList98(disk, bytesPerSector, &count, list.data());
    EXPECT_LE(count, 8u);
    if (count > 8)
        return l;
    l.entries.assign(list.begin(), list.begin() + count);
    const auto* tail = reinterpret_cast<const std::uint8_t*>(list.data() + count);
    for (std::size_t i = 0; i < (list.size() - count) * sizeof(PartitionEntry98); ++i)
        EXPECT_EQ(tail[i], 0xC5);
    for (std::uint32_t i = 0; i <= 9; ++i) {
        PartitionEntry98 e{};
        const int rc = ReadPartitionEntry98(disk, bytesPerSector, i, &e);
        if (l.rc != 0 || lookupRc != 0) {
            EXPECT_EQ(rc, l.rc != 0 ? l.rc : lookupRc) << "number " << i;
        } else if (i < count) {
            EXPECT_EQ(rc, 0) << "number " << i;
            EXPECT_EQ(std::memcmp(&e, &l.entries[i], sizeof e), 0) << "number " << i;
        } else {
            EXPECT_EQ(rc, ERR_INVALID_IMAGE) << "number " << i;
        }
    }
    return l;
}

std::string Pc98Image(const TempDir& dir, const Bytes& disk, std::uint32_t bytesPerSector)
{
    const std::string path = dir.file("pc98-" + std::to_string(bytesPerSector) + ".img");
    const std::uint32_t sectors = static_cast<std::uint32_t>((disk.size() + bytesPerSector - 1) / bytesPerSector) + 4;
    WriteRawImageFrom(path, {sectors, 8, 17, bytesPerSector}, disk);
    return path;
}

TEST(Pc98Partitions, TableAtSecondSectorOfEverySize)
{
    TempDir dir;
    // Three different tables at 256, 512 and 1024: each size must find its own.
    Bytes disk;
    for (const std::uint32_t bps : {256u, 512u, 1024u}) {
        Pc98Table t;
        t.bytesPerSector = bps;
        const auto cyl = static_cast<std::uint16_t>(bps);
        t.slots[0] = MakePc98Slot(cyl, static_cast<std::uint16_t>(cyl + 9), "MS-DOS " + std::to_string(bps));
        t.slots[2] = MakePc98Slot(static_cast<std::uint16_t>(cyl + 10), static_cast<std::uint16_t>(cyl + 99), "DATA");
        if (bps == 1024)
            t.slots[7][31] = 0x01;  // only the name's last byte is set: in use
        WritePc98Table(disk, t);
    }
    for (const std::uint32_t bps : {256u, 512u, 1024u}) {
        SCOPED_TRACE(bps);
        const std::string path = Pc98Image(dir, disk, bps);
        ImageDisk d(path, bps);
        ASSERT_EQ(d.rc, 0);
        const Listed98 l = List98AndCheckLookup(&d.disk, bps);
        ASSERT_EQ(l.rc, 0);
        ASSERT_EQ(l.entries.size(), bps == 1024 ? 3u : 2u);
        EXPECT_EQ(l.entries[0].wStartCylinder, bps);
        EXPECT_EQ(l.entries[0].wEndCylinder, bps + 9);
        EXPECT_EQ(std::string(l.entries[0].achName, 16).substr(0, 7), "MS-DOS ");
        // Number 1 is table entry 2: the empty entry 1 is skipped.
        EXPECT_EQ(l.entries[1].wStartCylinder, bps + 10);
        EXPECT_EQ(std::string(l.entries[1].achName, 16), "DATA            ");
        EXPECT_EQ(std::memcmp(&l.entries[1], ReadFileRange(path, bps + 64, 32).data(), 32), 0);
        if (bps == 1024) {
            EXPECT_EQ(l.entries[2].achName[15], 1);
        }
    }
}

TEST(Pc98Partitions, SignatureRule)
{
    TempDir dir;
    using Pair = std::array<std::uint8_t, 2>;
    struct Case {
        std::uint32_t bytesPerSector;
        std::optional<Pair> at254, at510;
        int rc;
        int lookupRc = 0;
    };
    const std::vector<Case> cases = {
        {512, Pair{0x12, 0xAA}, std::nullopt, ERR_INVALID_IMAGE},
        {256, Pair{0x12, 0xAA}, std::nullopt, ERR_INVALID_IMAGE},
        {512, Pair{0x55, 0x00}, std::nullopt, 0},
        {512, Pair{0x00, 0x00}, std::nullopt, 0},
        {512, Pair{0x55, 0xAA}, Pair{0x55, 0xAA}, 0},
        {512, Pair{0xAA, 0x55}, Pair{0x00, 0xAB}, 0},
        // Position 510 is probed for 512-byte sectors only, and by the lookup only.
        {512, Pair{0x55, 0xAA}, Pair{0x12, 0xAA}, 0, ERR_INVALID_IMAGE},
        {512, Pair{0x00, 0x00}, Pair{0x00, 0xAA}, 0, ERR_INVALID_IMAGE},
        {1024, Pair{0x55, 0xAA}, Pair{0x12, 0xAA}, 0},
        {256, Pair{0x00, 0xAA}, std::nullopt, ERR_INVALID_IMAGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytesPerSector << " " << (c.at254 ? int((*c.at254)[0]) : -1) << " "
                                        << (c.at510 ? int((*c.at510)[0]) : -1));
        Pc98Table t;
        t.bytesPerSector = c.bytesPerSector;
        t.slots[1] = MakePc98Slot(1, 10, "A");
        t.at254 = c.at254;
        t.at510 = c.at510;
        Bytes disk(4096, 0);
        WritePc98Table(disk, t);
        ImageDisk d(Pc98Image(dir, disk, c.bytesPerSector), c.bytesPerSector);
        const Listed98 l = List98AndCheckLookup(&d.disk, c.bytesPerSector, c.lookupRc);
        EXPECT_EQ(l.rc, c.rc);
        EXPECT_EQ(l.entries.size(), c.rc == 0 ? 1u : 0u);
    }
}

TEST(Pc98Partitions, FullAndEmptyTables)
{
    TempDir dir;
    Pc98Table t;
    for (std::uint16_t i = 0; i < 8; ++i)
        t.slots[i] = MakePc98Slot(static_cast<std::uint16_t>(i * 100), static_cast<std::uint16_t>(i * 100 + 99), "P");
    Bytes disk(2048, 0);
    WritePc98Table(disk, t);
    ImageDisk full(Pc98Image(dir, disk, 512), 512);
    const Listed98 l = List98AndCheckLookup(&full.disk, 512);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.entries.size(), 8u);
    EXPECT_EQ(l.entries[7].wStartCylinder, 700);

    TempDir other;
    ImageDisk empty(Pc98Image(other, Bytes(2048, 0), 512), 512);
    const Listed98 none = List98AndCheckLookup(&empty.disk, 512);
    EXPECT_EQ(none.rc, 0);
    EXPECT_TRUE(none.entries.empty());
}

// ---- FM Towns ----

TEST(FMTownsPartitions, NeedsBothMarksAndListsEntriesInUse)
{
    TempDir dir;
    auto list = [&](const FMTownsTable& t, std::uint32_t* count, std::array<PartitionEntryFMTowns, 10>& out) {
        Bytes disk(4096, 0);
        WriteFMTownsTable(disk, t);
        const std::string path = dir.file("towns.img");
        WriteRawImageFrom(path, {8, 1, 8, 512}, disk);
        ImageDisk d(path);
        EXPECT_EQ(d.rc, 0);
        return ReadPartitionEntryListFMTowns(&d.disk, count, out.data());
    };
    std::array<PartitionEntryFMTowns, 10> out{};
    std::uint32_t count = 0;

    FMTownsTable t;
    t.slots[1][0] = 0x01;
    t.slots[1][47] = 0x77;
    t.slots[2][16] = 0x55;  // bytes past the first 16 do not make an entry used
    t.slots[9][15] = 0x02;
    ASSERT_EQ(list(t, &count, out), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(out[0].abData[0], 0x01);
    EXPECT_EQ(out[0].abData[47], 0x77);
    EXPECT_EQ(out[1].abData[15], 0x02);

    FMTownsTable noMaker = t;
    noMaker.maker = false;
    EXPECT_EQ(list(noMaker, &count, out), ERR_INVALID_IMAGE);
    FMTownsTable noIpl = t;
    noIpl.ipl = false;
    EXPECT_EQ(list(noIpl, &count, out), ERR_INVALID_IMAGE);

    FMTownsTable all;
    for (auto& s : all.slots)
        s[3] = 0x10;
    ASSERT_EQ(list(all, &count, out), 0);
    EXPECT_EQ(count, 10u);
}

}  // namespace
