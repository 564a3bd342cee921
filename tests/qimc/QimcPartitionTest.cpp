// SPDX-License-Identifier: MIT
// Whole transcripts of qimc on partitioned raw hard disks: the PC/AT and
// PC-98 menus, partition numbers in the argument form, and unreadable or
// empty tables.
#include "PartitionTable.h"
#include "QimcFixture.h"
#include "RawImage.h"

#include <utility>

namespace qimtest {
namespace {

constexpr std::uint32_t kTotal = 40960;
const std::string kStart = std::string("filename: ") + kReadOnlyMenu + kHardDiskMenu;
const std::string kPCATMenuLines = "partition no?\n0. cancel\n"
                                   "1. 0x83 Linux ext2fs offset=2048,length=8192\n"
                                   "2. 0x0B DOS FAT32 offset=10240,length=4096\n"
                                   "3. 0x82 Soloris/Linux swap offset=16384,length=2048\n"
                                   "4. 0xA5 UNKNOWN offset=20480,length=4096\n";

class QimcPartitionTest : public QimcTest {
protected:
    // hd.bin: a PC/AT disk of kTotal sectors behind a 512-byte header; the
    // extended partition in slot 2 holds the last two.
    void WritePCATDisk()
    {
        Bytes disk(std::size_t{kTotal} * 512);
        PcAtLayout layout;
        layout.primary = {{0x83, 2048, 8192}, {0x0B, 10240, 4096}};
        layout.logical = {{0x82, 16384, 2048}, {0xA5, 20480, 4096}};
        const auto listed = WritePcAtLayout(disk, layout);
        ASSERT_EQ(listed.size(), 4u);
        WriteRawImageFrom(dir.file("hd.bin"), {kTotal, 16, 63, 512}, disk, 512);
    }
    // pc98.bin: 1024-byte sectors, entries 0 and 2 in use.
    void WritePC98Disk(const std::optional<std::array<std::uint8_t, 2>>& at254 = std::nullopt, bool empty = false)
    {
        Bytes disk(std::size_t{8000} * 1024);
        Pc98Table table;
        table.bytesPerSector = 1024;
        if (!empty) {
            table.slots[0] = MakePc98Slot(1, 10, "MS-DOS 5.0");
            table.slots[2] = MakePc98Slot(11, 20, "DATA");
        }
        table.at254 = at254;
        WritePc98Table(disk, table);
        WriteRawImageFrom(dir.file("pc98.bin"), {8000, 8, 25, 1024}, disk);
    }
    std::string HardDisk() const { return real + "/hd.bin"; }
    std::string PC98Disk() const { return real + "/pc98.bin"; }
};

TEST_F(QimcPartitionTest, ArgumentFormPCAT)
{
    WritePCATDisk();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::uint32_t partition, readOnly;
    };
    for (const Case& c : {Case{{"m", "hd.bin", "h", "a", "512", "512", "40960", "16", "63", "1"}, 0x83, 0, 0},
                          Case{{"m", "hd.bin", "r", "H", "A", "512", "512", "40960", "16", "63", "4", "x"}, 0xA5, 3, 1},
                          Case{{"m", "hd.bin", "h", "a", "512", "512", "40960", "16", "63", "03"}, 0x82, 2, 0}}) {
        ForgetNode();
        const auto r = Run(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(SavedRecord(), MountRecordBytes({1, kTotal, 16, 63, 512, 512, 0, 0, c.partition, c.readOnly},
                                                  HardDisk()));
    }
    // 0, past the count, not a number (reads as 0), negative.
    ForgetNode();
    for (const char* number : {"0", "5", "x", "-1", "4294967297"}) {
        const auto r = Run({"m", "hd.bin", "h", "a", "512", "512", "40960", "16", "63", number});
        EXPECT_EQ(r.out, "invalid argument\n") << number;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

TEST_F(QimcPartitionTest, ArgumentFormPC98)
{
    WritePC98Disk();
    auto r = Run({"m", "pc98.bin", "h", "9", "0", "1024", "8000", "8", "25", "2"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 8000, 8, 25, 1024, 0, 0, 1, 1, 0}, PC98Disk()));
    // A PC-98 number out of range fails without a word.
    ForgetNode();
    for (const char* number : {"0", "3", "9"}) {
        r = Run({"m", "pc98.bin", "h", "9", "0", "1024", "8000", "8", "25", number});
        EXPECT_EQ(r.out, "") << number;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

TEST_F(QimcPartitionTest, InteractivePCATMenu)
{
    WritePCATDisk();
    const std::string head = kStart + kPCATMenu + kGeometryPrompts + kPCATMenuLines;
    auto r = Run({"m"}, "hd.bin\n2\n1\n1\n512\n512\n40960\n16\n63\n9\nthree\n3\n");
    EXPECT_EQ(r.out, head + ": : : command line [# qimc m hd.bin h a 512 512 40960 16 63 3]\n");
    EXPECT_EQ(r.status, 0x82);
    const Bytes record = SavedRecord();
    EXPECT_EQ(record, MountRecordBytes({1, kTotal, 16, 63, 512, 512, 0, 0, 2, 0}, HardDisk()));

    // The printed line mounts the same choice again.
    ForgetNode();
    r = Run({"m", "hd.bin", "h", "a", "512", "512", "40960", "16", "63", "3"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0x82);
    EXPECT_EQ(SavedRecord(), record);

    // Cancel, end of input, and numbers past the count.
    ForgetNode();
    for (const auto& [answers, prompts] : {std::pair{"0", ": "}, std::pair{"", ": "}, std::pair{"5 0", ": : "},
                                           std::pair{"5 4294967296", ": : : "}}) {
        r = Run({"m"}, std::string("hd.bin 1 1 1 512 512 40960 16 63 ") + answers);
        EXPECT_EQ(r.out, head + prompts + "canceled\n") << answers;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

TEST_F(QimcPartitionTest, InteractivePC98Menu)
{
    WritePC98Disk();
    const std::string head = kStart + kPCATMenu + kGeometryPrompts +
                             "partition no?\n0. cancel\n1. MS-DOS 5.0      \n2. DATA            \n";
    auto r = Run({"m"}, "pc98.bin 1 1 2 0 1024 8000 8 25 3 2");
    EXPECT_EQ(r.out, head + ": : command line [# qimc m pc98.bin r h 9 0 1024 8000 8 25 2]\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 8000, 8, 25, 1024, 0, 0, 1, 1, 1}, PC98Disk()));

    ForgetNode();
    for (const char* answers : {"0", ""}) {
        r = Run({"m"}, std::string("pc98.bin 1 1 2 0 1024 8000 8 25 ") + answers);
        EXPECT_EQ(r.out, head + ": canceled\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

TEST_F(QimcPartitionTest, UnreadableAndEmptyTables)
{
    WriteRawImage(dir.file("blank.bin"), {{kTotal, 16, 63, 512}});  // no signature
    Bytes empty(std::size_t{kTotal} * 512);
    WritePcAtTable(empty, 0, PcAtSlots{});
    WriteRawImageFrom(dir.file("empty.bin"), {kTotal, 16, 63, 512}, empty);
    const std::string geometry = " 0 512 40960 16 63";
    struct Case {
        const char* name;
        const char* interactive;
        const char* argument;
    };
    for (const Case& c : {Case{"blank.bin", "failed2\n", "failed\n"},
                          Case{"empty.bin", "partition not found\n", "partition not found\n"}}) {
        auto r = Run({"m"}, std::string(c.name) + " 2 1 1" + geometry + " 1");
        EXPECT_EQ(r.out, kStart + kPCATMenu + kGeometryPrompts + c.interactive) << c.name;
        EXPECT_EQ(r.status, 255);
        r = Run({"m", c.name, "h", "a", "0", "512", "40960", "16", "63", "1"});
        EXPECT_EQ(r.out, c.argument) << c.name;
        EXPECT_EQ(r.status, 255);
    }

    // PC-98: a refused boot signature, and a table with no entry in use.
    for (bool refused : {true, false}) {
        WritePC98Disk(refused ? std::optional(std::array<std::uint8_t, 2>{0x12, 0xAA}) : std::nullopt, !refused);
        const char* message = refused ? "failed3\n" : "partition not found\n";
        auto r = Run({"m"}, "pc98.bin 2 1 2 0 1024 8000 8 25 1");
        EXPECT_EQ(r.out, kStart + kPCATMenu + kGeometryPrompts + message);
        EXPECT_EQ(r.status, 255);
        r = Run({"m", "pc98.bin", "h", "9", "0", "1024", "8000", "8", "25", "1"});
        EXPECT_EQ(r.out, message);
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

}  // namespace
// A broken chain leaves the partitions before it usable: qimc lists and
// mounts them and says on standard error where the chain was cut.
TEST_F(QimcPartitionTest, CutChainKeepsWhatCameBefore)
{
    const auto slot = [](std::uint8_t id, std::uint32_t start, std::uint32_t count) {
        PcAtSlot s;
        s.systemId = id;
        s.start = start;
        s.count = count;
        return s;
    };
    Bytes disk(std::size_t{kTotal} * 512);
    WritePcAtTable(disk, 0, {slot(0x83, 2048, 8192), slot(0x05, 16000, 8000)});
    WritePcAtTable(disk, 16000, {slot(0x82, 100, 2000), slot(0x05, 0, 4000)});  // back to itself
    WriteRawImageFrom(dir.file("hd.bin"), {kTotal, 16, 63, 512}, disk, 512);
    const std::string cut = "qimc: the extended partition chain is cut at the table in sector 16000 (its link or "
                            "entry names sector 16000): the link leads back to a table already read; only the "
                            "partitions before the cut are listed\n";
    auto r = Run({"m", "hd.bin", "h", "a", "512", "512", "40960", "16", "63", "2"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0x82);
    EXPECT_EQ(r.err, cut);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, kTotal, 16, 63, 512, 512, 0, 0, 1, 0}, HardDisk()));
    r = Run({"m"}, "hd.bin 2 1 1 512 512 40960 16 63 0");
    EXPECT_NE(r.out.find("1. 0x83 Linux ext2fs offset=2048,length=8192\n"
                         "2. 0x82 Soloris/Linux swap offset=16100,length=2000\n: "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, cut);
}

}  // namespace qimtest

namespace qimtest {
namespace {

// A partition past the disk's end mounts as the driver serves it, up to the end, with a warning.
TEST_F(QimcPartitionTest, PartitionPastTheEndIsServedToTheEndWithAWarning)
{
    Bytes disk(std::size_t{20480} * 512);
    PcAtLayout layout;
    layout.primary = {{0x83, 2048, 30000}};
    static_cast<void>(WritePcAtLayout(disk, layout));
    WriteRawImageFrom(dir.file("hd.bin"), {20480, 16, 63, 512}, disk);
    const auto r = Run({"m", "hd.bin", "r", "h", "a", "0", "512", "20480", "16", "63", "1"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0x83);
    EXPECT_EQ(r.err, "qimc: warning: partition 1 ends at sector 32048, past the disk's end at sector 20480; it is "
                     "served up to the end\n");
}

}  // namespace
}  // namespace qimtest
