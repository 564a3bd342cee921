// SPDX-License-Identifier: MIT
// Failure paths of the PC-98 emulator and FM Towns formats on the failing
// platform layer: every step of an open fails with its own code, in the
// formats' order, and closes what it opened; D88 transfers are one file
// transfer per sector part, and a failed one keeps the parts before it.
#include "D88Image.h"
#include "Disk.h"
#include "NkFaults.h"
#include "PC98Images.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qim;
using namespace qimtest;

namespace {

struct OpenSteps {
    const char* name;
    std::uint32_t code;
    ConformanceBuilder build;
    std::vector<int> codes;  // of the operations of a good open failing in turn
};

TEST(PC98Faults, EachOpenStepFailsWithItsCodeAndClosesTheFile)
{
    const std::vector<int> headed = {ERR_NO_MEMORY, ERR_CREATE_FILE, ERR_READ_FILE, ERR_GET_FILE_SIZE};
    const std::vector<int> headerless = {ERR_NO_MEMORY, ERR_CREATE_FILE, ERR_GET_FILE_SIZE};
    std::vector<int> d88 = {ERR_NO_MEMORY, ERR_CREATE_FILE, ERR_READ_FILE, ERR_GET_FILE_SIZE, ERR_NO_MEMORY};
    d88.insert(d88.end(), 154, ERR_READ_FILE);  // one record header per track
    const OpenSteps rows[] = {
        {"Anex86HardDisk", DISK_ANEX86_HARD, BuildAnex86HardDiskConformance, headed},
        {"T98HardDisk", DISK_T98_HARD, BuildT98HardDiskConformance, headed},
        {"T98NextHardDisk", DISK_T98NEXT_HARD, BuildT98NextHardDiskConformance, headed},
        {"Virtual98HardDisk", DISK_VIRTUAL98_HARD, BuildVirtual98HardDiskConformance, headed},
        {"PC98EHardDisk", DISK_PC98E_HARD, BuildPC98EHardDiskConformance, headerless},
        {"UnzHardDisk", DISK_UNZ_HARD, BuildUnzHardDiskConformance, headerless},
        {"Anex86FloppyDisk", DISK_ANEX86_FLOPPY, BuildAnex86FloppyDiskConformance, headed},
        {"D88FloppyDisk", DISK_D88_FLOPPY, BuildD88FloppyDiskConformance, d88},
        // Its 68,112-byte header is read into an allocation of its own.
        {"T98NextR0FloppyDisk", DISK_T98NEXT_R0_FLOPPY, BuildT98NextR0FloppyDiskConformance,
         {ERR_NO_MEMORY, ERR_CREATE_FILE, ERR_NO_MEMORY, ERR_READ_FILE, ERR_GET_FILE_SIZE}},
        {"T98NextR1FloppyDisk", DISK_T98NEXT_R1_FLOPPY, BuildT98NextR1FloppyDiskConformance, headed},
        {"FMTownsDosRomDisk", DISK_FMTOWNS_DOSROM, BuildFMTownsDosRomDiskConformance, headerless},
    };
    for (const OpenSteps& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const BuiltImage built = row.build(dir.file("image"));
        std::vector<int> got;
        for (std::uint32_t n = 1; n <= row.codes.size() + 1; ++n) {
            faults::Reset();
            faults::FailNth(n);
            Disk disk = {77, nullptr};
            const int rc = Disk_OpenType(&disk, built.path.c_str(), 0, row.code);
            const std::uint32_t opened = faults::Count(faults::kOpen) - (rc == ERR_CREATE_FILE ? 1 : 0);
            if (rc == 0) {
                Disk_Close(&disk);
                break;
            }
            got.push_back(rc);
            EXPECT_EQ(faults::Count(faults::kClose), opened) << "operation " << n;
            EXPECT_EQ(disk.dwType, 77u);
            EXPECT_EQ(disk.pImpl, nullptr);
        }
        faults::Reset();
        EXPECT_EQ(got, row.codes);
    }
}

// The size is asked for only once the header's own checks have passed.
TEST(PC98Faults, HeaderChecksDecideBeforeTheSize)
{
    struct Row {
        const char* name;
        std::uint32_t code;
        ConformanceBuilder build;
        std::uint64_t at;
        std::uint8_t value;
    };
    const Row rows[] = {
        {"Anex86 dwHeaderSize", DISK_ANEX86_HARD, BuildAnex86HardDiskConformance, anex86::kHeaderSizeAt + 1, 0x02},
        {"T98-Next signature", DISK_T98NEXT_HARD, BuildT98NextHardDiskConformance, 14, '!'},
        {"Virtual98 signature", DISK_VIRTUAL98_HARD, BuildVirtual98HardDiskConformance, 0, 'v'},
        {"T98-Next R0 bHeads", DISK_T98NEXT_R0_FLOPPY, BuildT98NextR0FloppyDiskConformance, t98next::kHeadsAt, 1},
        {"T98-Next R1 signature", DISK_T98NEXT_R1_FLOPPY, BuildT98NextR1FloppyDiskConformance, 13, '0'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const BuiltImage built = row.build(dir.file("image"));
        WriteFileAt(built.path, row.at, {row.value});
        faults::Reset();
        faults::FailNth(1, faults::kSize);
        Disk disk = {77, nullptr};
        EXPECT_EQ(Disk_OpenType(&disk, built.path.c_str(), 0, row.code), ERR_INVALID_IMAGE);
        EXPECT_EQ(faults::Count(faults::kSize), 0u);
    }
    faults::Reset();
}

TEST(PC98Faults, D88TransfersOnePerSectorPart)
{
    TempDir dir;
    const std::string path = dir.file("disk.d88");
    D88Layout layout;  // 2HD: 154 tracks of 8 sectors of 1,024 bytes
    const Bytes disk = PatternBytes(0, layout.diskBytes(), 3);
    WriteD88Image(path, layout, disk);
    Disk d;
    Disk_Construct(&d);
    ASSERT_EQ(Disk_OpenType(&d, path.c_str(), 0, DISK_D88_FLOPPY), 0);

    struct Range {
        std::uint64_t offset;
        std::uint32_t count;
        std::uint32_t transfers;
    };
    Bytes buf(20000);
    for (const Range r : {Range{0, 16384, 16}, Range{512, 1536, 2}, Range{1000, 100, 2}, Range{8192 - 1, 2, 2},
                          Range{0, 0, 0}, Range{layout.diskBytes(), 0, 0}}) {
        faults::Reset();
        ASSERT_EQ(Disk_Read64(&d, r.offset, r.count, buf.data()), 0) << r.offset;
        EXPECT_EQ(faults::Count(faults::kRead), r.transfers) << r.offset << "+" << r.count;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + r.count, disk.begin() + static_cast<long>(r.offset)));
    }
    // An empty write touches nothing either; an empty request past the end is refused.
    faults::Reset();
    EXPECT_EQ(Disk_Write64(&d, 4096, 0, buf.data()), 0);
    EXPECT_EQ(Disk_Write64(&d, layout.diskBytes() + 1, 0, buf.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(faults::Count(faults::kFileOps), 0u);

    // The third sector's transfer fails: the two before it stay written, the rest is not.
    const Bytes before = ReadFile(path);
    const Bytes data = PatternBytes(0, 4096, 77);
    faults::FailNth(3, faults::kWrite);
    EXPECT_EQ(Disk_Write64(&d, 8192 - 2048, 4096, data.data()), ERR_WRITE_FILE);
    faults::Reset();
    Disk_Close(&d);
    Bytes expected = before;
    for (std::uint32_t i = 0; i < 2048; ++i)
        expected[layout.fileOffset(8192 - 2048 + i)] = data[i];
    EXPECT_TRUE(ReadFile(path) == expected);
}

}  // namespace
