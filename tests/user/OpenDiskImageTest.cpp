// SPDX-License-Identifier: MIT
// Image opening by the control program, its classification of formats, the
// floppy size table.
#include "ConsoleInput.h"
#include "Disk.h"
#include "HeadedDisk.h"
#include "OpenDiskImage.h"
#include "RawImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qimtest {
namespace {

using qim::DiskInfo;
using qim::MountRecord;

TEST(ClassifyDiskType, FloppiesAndPC98HardDisks)
{
    for (std::uint32_t type = 0; type < qim::kDiskTypeCount; ++type) {
        const bool floppy = type >= 16 && type <= 19;
        const bool pc98 = type >= 10 && type <= 14;
        const auto c = qim::ClassifyDiskType(type);
        EXPECT_EQ(c.dwFloppy, floppy ? 1u : 0u) << type;
        EXPECT_EQ(c.dwPC98, pc98 ? 1u : 0u) << type;
    }
    EXPECT_EQ(qim::ClassifyDiskType(qim::DISK_BETA).dwFloppy, 0u);
    EXPECT_EQ(qim::ClassifyDiskType(qim::kDiskTypeCount).dwPC98, 0u);
}

TEST(FloppyGeometryOfSize, ListedSizesOnly)
{
    struct Row {
        std::uint64_t size;
        DiskInfo info;
    };
    for (const Row& row : {Row{655360, {1280, 2, 8, 512}}, Row{737280, {1440, 2, 9, 512}},
                           Row{1228800, {2400, 2, 15, 512}}, Row{1261568, {1232, 2, 8, 1024}},
                           Row{1474560, {2880, 2, 18, 512}}, Row{2949120, {5760, 2, 36, 512}}}) {
        const DiskInfo* info = qim::FloppyGeometryOfSize(row.size);
        ASSERT_NE(info, nullptr) << row.size;
        EXPECT_EQ(info->dwTotalSectors, row.info.dwTotalSectors);
        EXPECT_EQ(info->dwHeads, row.info.dwHeads);
        EXPECT_EQ(info->dwSectorsPerTrack, row.info.dwSectorsPerTrack);
        EXPECT_EQ(info->dwBytesPerSector, row.info.dwBytesPerSector);
        // Compared in 64 bits: a size with upper bits set is not listed.
        EXPECT_EQ(qim::FloppyGeometryOfSize(row.size | (std::uint64_t{1} << 32)), nullptr);
    }
    EXPECT_EQ(qim::FloppyGeometryOfSize(1474561), nullptr);
    EXPECT_EQ(qim::FloppyGeometryOfSize(0), nullptr);
}

// Fake questions: each records its call and gives a scripted answer.
struct Script {
    std::vector<std::string> calls;
    std::uint32_t hardDisk = 1;
    std::uint32_t pcat = 1;
    DiskInfo info{};
    std::uint32_t offset = 0;
    int hardDiskResult = 0, pcatResult = 0, infoResult = 0;
};

int FakeIsHardDisk(void* p, std::uint32_t* answer)
{
    auto* s = static_cast<Script*>(p);
    s->calls.push_back("isHardDisk");
    *answer = s->hardDisk;
    return s->hardDiskResult;
}
int FakeIsPCAT(void* p, std::uint32_t* answer)
{
    auto* s = static_cast<Script*>(p);
    s->calls.push_back("isPCAT");
    *answer = s->pcat;
    return s->pcatResult;
}
int FakeInfo(Script* s, const char* name, DiskInfo* info, std::uint32_t* offset)
{
    s->calls.push_back(name);
    *info = s->info;
    *offset = s->offset;
    return s->infoResult;
}
int FakeHardInfo(void* p, DiskInfo* info, std::uint32_t* offset)
{
    return FakeInfo(static_cast<Script*>(p), "hardInfo", info, offset);
}
int FakeFloppyInfo(void* p, DiskInfo* info, std::uint32_t* offset)
{
    return FakeInfo(static_cast<Script*>(p), "floppyInfo", info, offset);
}

class OpenDiskImageTest : public ::testing::Test {
protected:
    int Open(const std::string& name, Script* script, std::uint32_t readOnly = 1)
    {
        qim::Disk_Construct(&disk);
        record = MountRecord{};
        record.dwFloppy = record.dwPC98 = 7;  // set by every outcome
        return qim::OpenDiskImage(&disk, dir.file(name).c_str(), readOnly, FakeIsHardDisk, script, FakeIsPCAT,
                                  script, FakeHardInfo, script, FakeFloppyInfo, script, &record);
    }
    DiskInfo OpenedInfo()
    {
        DiskInfo info{};
        qim::Disk_GetDiskInfo(&disk, &info);
        return info;
    }
    void TearDown() override
    {
        if (disk.pImpl != nullptr)
            qim::Disk_Close(&disk);
    }

    TempDir dir;
    qim::Disk disk{};
    MountRecord record{};
};

TEST_F(OpenDiskImageTest, ListedFloppyAsksNothing)
{
    for (const char* name : {"disk.IMA", "a.b.flp", "x.Vfd", "y.tfd"}) {
        const Bytes content = WriteRawImage(dir.file(name), {{2880, 2, 18, 512}});
        Script script;
        ASSERT_EQ(Open(name, &script), 0) << name;
        EXPECT_TRUE(script.calls.empty());
        EXPECT_EQ(record.dwBeta, 1u);
        EXPECT_EQ(record.diBetaInfo.dwTotalSectors, 2880u);
        EXPECT_EQ(record.diBetaInfo.dwHeads, 2u);
        EXPECT_EQ(record.diBetaInfo.dwSectorsPerTrack, 18u);
        EXPECT_EQ(record.diBetaInfo.dwBytesPerSector, 512u);
        EXPECT_EQ(record.dwImageOffset, 0u);
        EXPECT_EQ(record.dwFloppy, 1u);
        EXPECT_EQ(record.dwPC98, 0u);
        EXPECT_EQ(disk.dwType, qim::DISK_BETA);
        EXPECT_EQ(OpenedInfo().dwTotalSectors, 2880u);
        Bytes first(512);
        ASSERT_EQ(qim::Disk_Read(&disk, 512 * 2879, 0, 512, first.data()), 0);
        EXPECT_EQ(first, Bytes(content.end() - 512, content.end()));
        qim::Disk_Close(&disk);
    }
}

TEST_F(OpenDiskImageTest, UnlistedFilesAskTheQuestions)
{
    WriteRawImage(dir.file("disk.img"), {{2880, 2, 18, 512}});                // size listed, extension not
    WriteRawImage(dir.file("disk.vfd"), {{2880, 2, 18, 512}, 0, 1});          // extension listed, size not
    WriteRawImage(dir.file("noext"), {{2880, 2, 18, 512}});
    std::filesystem::create_directory(dir.file("dot.ima"));
    WriteRawImage(dir.file("dot.ima/inside"), {{2880, 2, 18, 512}});          // the last dot is the directory's
    for (const char* name : {"disk.img", "disk.vfd", "noext", "dot.ima/inside"}) {
        Script script;
        script.hardDisk = 0;
        script.info = {1440, 2, 9, 1024};
        script.offset = 0;
        ASSERT_EQ(Open(name, &script), 0) << name;
        EXPECT_EQ(script.calls, (std::vector<std::string>{"isHardDisk", "floppyInfo"}));
        EXPECT_EQ(record.dwBeta, 1u);
        EXPECT_EQ(record.dwFloppy, 1u);
        EXPECT_EQ(record.dwPC98, 0u);
        EXPECT_EQ(OpenedInfo().dwBytesPerSector, 1024u);
        qim::Disk_Close(&disk);
    }
}

TEST_F(OpenDiskImageTest, HardDiskTables)
{
    WriteRawImage(dir.file("hd.bin"), {{1000, 4, 25, 512}, 4096});
    for (std::uint32_t pcat : {1u, 0u}) {
        Script script;
        script.pcat = pcat;
        script.info = {1000, 4, 25, 512};
        script.offset = 4096;
        ASSERT_EQ(Open("hd.bin", &script, 0), 0);
        EXPECT_EQ(script.calls, (std::vector<std::string>{"isHardDisk", "isPCAT", "hardInfo"}));
        EXPECT_EQ(record.dwFloppy, 0u);
        EXPECT_EQ(record.dwPC98, pcat == 1 ? 0u : 1u);
        EXPECT_EQ(record.dwImageOffset, 4096u);
        const Bytes sector(512, 0x5A);
        EXPECT_EQ(qim::Disk_Write(&disk, 0, 0, 512, sector.data()), 0);  // opened read-write
        qim::Disk_Close(&disk);
    }
    EXPECT_EQ(ReadFileRange(dir.file("hd.bin"), 4096, 512), Bytes(512, 0x5A));
}

TEST_F(OpenDiskImageTest, CallbackResultsAndBadGeometry)
{
    WriteRawImage(dir.file("hd.bin"), {{1000, 4, 25, 512}});
    struct Case {
        int hardDiskResult, pcatResult, infoResult;
        std::uint32_t totalSectors;
        int expected;
        std::size_t calls;
    };
    for (const Case& c : {Case{1, 0, 0, 1000, 1, 1}, Case{0, 7, 0, 1000, 7, 2}, Case{0, 0, -1, 1000, -1, 3},
                          Case{0, 0, 0, 1001, -1, 3}, Case{0, 0, 0, 0xFFFFFFFF, -1, 3}}) {
        Script script;
        script.hardDiskResult = c.hardDiskResult;
        script.pcatResult = c.pcatResult;
        script.infoResult = c.infoResult;
        script.info = {c.totalSectors, 4, 25, 512};
        EXPECT_EQ(Open("hd.bin", &script), c.expected);
        EXPECT_EQ(script.calls.size(), c.calls);
        EXPECT_EQ(disk.pImpl, nullptr);
        EXPECT_EQ(record.dwBeta, 1u);
    }
    // A geometry beyond the file with a data offset.
    Script script;
    script.info = {1000, 4, 25, 512};
    script.offset = 1;
    EXPECT_EQ(Open("hd.bin", &script), -1);
    EXPECT_EQ(disk.pImpl, nullptr);
}

TEST_F(OpenDiskImageTest, ReadOnlyIsPassedAsOneOrZero)
{
    WriteRawImage(dir.file("disk.IMA"), {{2880, 2, 18, 512}});
    Script script;
    ASSERT_EQ(Open("disk.IMA", &script, 2), 0);
    const Bytes sector(512, 1);
    EXPECT_NE(qim::Disk_Write(&disk, 0, 0, 512, sector.data()), 0);
}

TEST(ConsoleInput, NumberWords)
{
    int i = 0;
    std::uint32_t u = 0;
    EXPECT_TRUE(qim::ParseInt("12", &i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(qim::ParseInt("-3", &i));
    EXPECT_EQ(i, -3);
    EXPECT_TRUE(qim::ParseInt("+2147483647", &i));
    EXPECT_EQ(i, 2147483647);
    for (const char* bad : {"", "-", "+", "1x", "x1", "2147483648", "-2147483649", "1 ", "0x10"})
        EXPECT_FALSE(qim::ParseInt(bad, &i)) << bad;
    EXPECT_TRUE(qim::ParseUnsigned("4294967295", &u));
    EXPECT_EQ(u, 4294967295u);
    EXPECT_TRUE(qim::ParseUnsigned("+0", &u));
    EXPECT_EQ(u, 0u);
    for (const char* bad : {"", "-1", "4294967296", "99999999999999999999999", "1e3", "+"})
        EXPECT_FALSE(qim::ParseUnsigned(bad, &u)) << bad;
}

}  // namespace
}  // namespace qimtest
