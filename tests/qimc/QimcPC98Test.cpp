// SPDX-License-Identifier: MIT
// qimc on the PC-98 emulator formats: floppies ask nothing and mount whole,
// hard disks list their PC-98 partitions.
#include "D88Image.h"
#include "PC98Images.h"
#include "PartitionTable.h"
#include "QimcFixture.h"

namespace qimtest {
namespace {

class QimcPC98Test : public QimcTest {
protected:
    // A disk of the geometry with entries 0 and 2 of a PC-98 table in use.
    static Bytes PartitionedDisk(const Chs& chs)
    {
        Bytes disk(chs.bytes());
        Pc98Table table;
        table.bytesPerSector = chs.bytesPerSector;
        table.slots[0] = MakePc98Slot(1, 3, "MS-DOS 6.2");
        table.slots[2] = MakePc98Slot(4, 7, "DATA");
        WritePc98Table(disk, table);
        return disk;
    }
    const std::string kPartitionMenu = "partition no?\n0. cancel\n1. MS-DOS 6.2      \n2. DATA            \n";
};

TEST_F(QimcPC98Test, FloppiesAskNothingAndMountWhole)
{
    D88Layout layout;
    WriteD88Image(dir.file("disk.d88"), layout, Bytes(layout.diskBytes(), 0));
    WriteT98NextFloppyImage(dir.file("disk.nfd"), 1, Bytes(1474560, 0));
    struct Case {
        const char* file;
        std::uint32_t type;
    };
    for (const Case& c : {Case{"disk.d88", 17}, Case{"disk.nfd", 19}}) {
        ForgetNode();
        auto r = Run({"m", c.file, "r"});
        EXPECT_EQ(r.out, "") << c.file;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(SavedRecord(), MountRecordBytes({0, c.type, 0, 0, 0, 0, 1, 0, 0, 1}, real + "/" + c.file));

        ForgetNode();
        r = Run({"m"}, std::string(c.file) + "\n2\n");
        EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu + "command line [# qimc m " + c.file + " w]\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(SavedRecord(), MountRecordBytes({0, c.type, 0, 0, 0, 0, 1, 0, 0, 0}, real + "/" + c.file));
    }
}

TEST_F(QimcPC98Test, HardDisksListTheirPC98Partitions)
{
    const Chs anex{10, 4, 17, 512};
    WriteAnex86Image(dir.file("disk.hdi"), anex, PartitionedDisk(anex));
    const Chs next{10, 8, 17, 256};
    WriteT98NextHardImage(dir.file("disk.nhd"), next, PartitionedDisk(next));
    struct Case {
        const char* file;
        std::uint32_t type;
    };
    for (const Case& c : {Case{"disk.hdi", 10}, Case{"disk.nhd", 12}}) {
        ForgetNode();
        auto r = Run({"m"}, std::string(c.file) + "\n1\n2\n");
        EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu + kPartitionMenu + ": command line [# qimc m " +
                             c.file + " r 2]\n");
        EXPECT_EQ(r.status, 0);
        const Bytes record = MountRecordBytes({0, c.type, 0, 0, 0, 0, 0, 1, 1, 1}, real + "/" + c.file);
        EXPECT_EQ(SavedRecord(), record);

        ForgetNode();
        r = Run({"m", c.file, "r", "2"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(SavedRecord(), record);
    }
}

}  // namespace
}  // namespace qimtest
