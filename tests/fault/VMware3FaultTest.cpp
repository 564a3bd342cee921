// SPDX-License-Identifier: MIT
// COWD disks on a failing platform layer: a failed allocation step keeps no
// entry in memory that the file lacks, and a failed open leaves nothing open.
#include "CowdImage.h"
#include "Disk.h"
#include "NkFaults.h"

#include <gtest/gtest.h>

using namespace qim;
using namespace qimtest;

namespace {

struct Kind {
    CowdDisk disk;
    const char* name;
};
// A plain VMware 3 disk and a VMware 2 redo log over a non-zero parent.
const Kind kKinds[] = {{{.totalSectors = 2016}, "d.vmdk"},
                       {{.version = 1, .totalSectors = 2016, .parentName = "p.vmdk"}, "r.dsk"}};

std::uint8_t ByteAt(Disk* disk, std::uint64_t at)
{
    std::uint8_t b = 0xCC;
    EXPECT_EQ(Disk_Read64(disk, at, 1, &b), 0);
    return b;
}

// Each write of a first allocation (table, free sector, directory entry,
// block, free sector, table entry) fails or stores half in turn. What the
// open disk then reads is what the file holds, and a later write is kept.
TEST(CowdFaults, FailedAllocationStepKeepsNoEntryTheFileLacks)
{
    for (const Kind& kind : kKinds)
        for (std::uint32_t n = 1; n <= 6; ++n)
            for (const bool shortWrite : {false, true}) {
                SCOPED_TRACE(std::string(kind.name) + " write " + std::to_string(n) + (shortWrite ? " short" : ""));
                TempDir dir;
                WriteCowdDisk(dir.file("p.vmdk"), {.totalSectors = 2016}, {{0, PatternBytes(0, 300000, 4)}});
                const auto files = WriteCowdDisk(dir.file(kind.name), kind.disk, {});
                const std::uint64_t at = 70000;
                faults::Reset();
                Disk disk;
                ASSERT_EQ(Disk_Open(&disk, files[0].c_str(), 0), 0);
                const std::uint8_t first = 0xA1, second = 0xB2;
                if (shortWrite)
                    faults::ShortWriteNth(n, 2);
                else
                    faults::FailNth(n, faults::kWrite);
                EXPECT_EQ(Disk_Write64(&disk, at, 1, &first), ERR_EXTEND_FILE);
                faults::Reset();
                const std::uint8_t seen = ByteAt(&disk, at);
                ASSERT_EQ(Disk_Write64(&disk, at + 1, 1, &second), 0);
                Disk_Close(&disk);

                ASSERT_EQ(Disk_Open(&disk, files[0].c_str(), 1), 0);
                EXPECT_EQ(ByteAt(&disk, at), seen);
                EXPECT_EQ(ByteAt(&disk, at + 1), second);
                Disk_Close(&disk);
            }
}

// Every operation of opening a two-file redo disk over a two-file parent
// fails in turn: the open fails or succeeds whole, and no file stays open.
TEST(CowdFaults, FailedOpenLeavesNothingOpen)
{
    TempDir dir;
    const CowdDisk parent = {.totalSectors = 1008 * 4161};
    WriteCowdDisk(dir.file("p.vmdk"), parent, {{0, Bytes(10, 1)}});
    CowdDisk redo = parent;
    redo.parentName = "p.vmdk";
    const auto files = WriteCowdDisk(dir.file("r.vmdk"), redo, {{kCowdExtentSectors * 512ull, Bytes(10, 2)}});
    faults::Reset();
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_OpenType(&disk, files[0].c_str(), 0, DISK_VMWARE3_REDO), 0);
    Disk_Close(&disk);
    const std::uint32_t operations = faults::Count();
    const std::size_t fds = OpenFileCount();
    for (std::uint32_t n = 1; n <= operations; ++n) {
        faults::Reset();
        faults::FailNth(n);
        const int rc = Disk_OpenType(&disk, files[0].c_str(), 0, DISK_VMWARE3_REDO);
        faults::Reset();
        if (rc == 0) {
            EXPECT_EQ(ByteAt(&disk, kCowdExtentSectors * 512ull), 2) << n;
            Disk_Close(&disk);
        }
        EXPECT_EQ(disk.pImpl, nullptr) << n;
        EXPECT_EQ(OpenFileCount(), fds) << "operation " << n;
    }
}

// Free sectors and entries past 65,535: a write that stops after two bytes
// leaves a word that is half new, half old. The free sector 0x1FF80 becomes
// 0x20000, torn 0x10000; a new block's entry 0x1FF80, torn 0xFF80. Whichever
// stops so, the disk reopens with the block stored where the torn word points
// intact, and a later allocation keeps it.
TEST(CowdFaults, HalfWrittenMetadataWordPointsNowhere)
{
    constexpr std::uint32_t kFree = 0x1FF80;
    const Bytes stored = PatternBytes(0, kCowdSmallBlock, 8);
    const struct {
        std::uint32_t write;  // of the allocation: block, free sector, table entry
        std::uint32_t storedAt;
    } rows[] = {{2, 0x10000}, {3, 0xFF80}};
    for (const auto [n, storedAt] : rows) {
        SCOPED_TRACE("write " + std::to_string(n));
        TempDir dir;
        const auto files = WriteCowdDisk(dir.file("d.vmdk"), {.totalSectors = 2016}, {{0, Bytes(10, 1)}});
        // The builder's one table follows the one-sector directory, at sector 5.
        PatchU32(files[0], 5 * 512 + 4, storedAt);
        PatchU32(files[0], cowdfield::kFreeSector, kFree);
        WriteFileAt(files[0], std::uint64_t{storedAt} * 512, stored);
        MakeSparseFile(files[0], std::uint64_t{kFree} * 512);
        const std::uint8_t byte = 0xC3;
        Disk disk;
        ASSERT_EQ(Disk_OpenType(&disk, files[0].c_str(), 0, DISK_VMWARE3), 0);
        faults::Reset();
        faults::ShortWriteNth(n, 2);
        EXPECT_EQ(Disk_Write64(&disk, 2 * kCowdSmallBlock, 1, &byte), ERR_EXTEND_FILE);
        faults::Reset();
        Disk_Close(&disk);

        ASSERT_EQ(Disk_OpenType(&disk, files[0].c_str(), 0, DISK_VMWARE3), 0);
        ASSERT_EQ(Disk_Write64(&disk, 2 * kCowdSmallBlock, 1, &byte), 0);
        Bytes got(kCowdSmallBlock);
        ASSERT_EQ(Disk_Read64(&disk, kCowdSmallBlock, static_cast<std::uint32_t>(got.size()), got.data()), 0);
        EXPECT_TRUE(got == stored);
        EXPECT_EQ(ByteAt(&disk, 2 * kCowdSmallBlock), byte);
        Disk_Close(&disk);
    }
}

}  // namespace
