// SPDX-License-Identifier: MIT
// Open, release and the control requests of the driver.
#include "DriverFixture.h"

namespace qimtest {
namespace {

class ControlTest : public DriverTest {
protected:
    std::string Image(const std::string& name, const RawGeometry& g, std::uint32_t seed)
    {
        RawImageLayout layout;
        layout.geometry = g;
        layout.seed = seed;
        WriteRawImage(dir.file(name), layout);
        return dir.file(name);
    }
    int Table(int** table) const { return table[qim::qim_major][0]; }
};

constexpr RawGeometry kFloppy{2880, 2, 18, 512};
constexpr RawGeometry kSmallFloppy{1440, 2, 9, 512};
constexpr RawGeometry kKiloFloppy{1232, 2, 8, 1024};

TEST_F(ControlTest, QueriesBeforeAnyMount)
{
    EXPECT_EQ(QueryGeometry().result, -61);
    EXPECT_EQ(Ioctl(qim::BLKGETSIZE, 0), -22);
    const Size size = QuerySize();
    EXPECT_EQ(size.result, 0);
    EXPECT_EQ(size.sectors, 0u);
    EXPECT_EQ(Ioctl(qim::BLKRRPART, 0), -25);
    // Every other request is the block layer's.
    EXPECT_EQ(Ioctl(qim::BLKFLSBUF, 77), 0);
    EXPECT_EQ(kern::CountCalls("blk_ioctl 0xfe00 0x1261"), 1u);
    EXPECT_EQ(kern::CountCalls("fsync 0xfe00"), 1u);
    const unsigned long answer = kern::PlaceUser(Bytes(4, 0xCC));
    EXPECT_EQ(Ioctl(qim::BLKSSZGET, answer), 0);
    EXPECT_EQ(kern::ReadUser(answer, 4), (Bytes{0, 2, 0, 0}));
    EXPECT_EQ(Ioctl(0x1234, 0), -22);
    EXPECT_TRUE(kern::Log().empty());
}

TEST_F(ControlTest, MinorOneDoesNotExist)
{
    EXPECT_EQ(Open(1), -19);
    qim::inode node{Dev(1)};
    qim::file f{};
    EXPECT_EQ(kern::Locked([&] { return qim::qim_ioctl(&node, &f, qim::QIM_UNMOUNT, 0); }), -19);
    EXPECT_EQ(kern::Locked([&] { return qim::qim_release(&node, &f); }), -19);
    EXPECT_EQ(kern::UseCount(), 1);
    EXPECT_EQ(Device().nOpenCount, 1);
}

TEST_F(ControlTest, FloppyServedWhole)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("fd.img", kFloppy, 1)), 0);
    EXPECT_TRUE(kern::Log().empty());
    const Geometry g = QueryGeometry();
    ASSERT_EQ(g.result, 0);
    EXPECT_EQ(g.heads, 2);
    EXPECT_EQ(g.sectors, 18);
    EXPECT_EQ(g.cylinders, 80);
    EXPECT_EQ(g.start, 0u);
    EXPECT_EQ(QuerySize().sectors, 2880u);
    EXPECT_EQ(Device().qwByteOffset, 0u);
    EXPECT_EQ(Table(qim::blk_size), 1440);
    EXPECT_EQ(Table(qim::blksize_size), 512);
    EXPECT_EQ(Table(qim::hardsect_size), 512);
    EXPECT_EQ(qim::read_ahead[qim::qim_major], 1);
}

TEST_F(ControlTest, RawFloppyOfKilobyteSectors)
{
    ASSERT_EQ(Mount(RawFloppyWords(kKiloFloppy), Image("98.img", kKiloFloppy, 1)), 0);
    EXPECT_EQ(QuerySize().sectors, 2464u);
    EXPECT_EQ(Table(qim::hardsect_size), 1024);
    EXPECT_EQ(Table(qim::blksize_size), 1024);
    EXPECT_EQ(Table(qim::blk_size), 1232);
    EXPECT_EQ(QueryGeometry().cylinders, 77);
}

// A 64-bit caller's unsigned long and hd_geometry are written whole, start
// included, and nothing past them.
TEST_F(ControlTest, QueriesAnswerInTheHostsLayouts)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("fd.img", kFloppy, 1)), 0);
    static_assert(sizeof(unsigned long) == 8 && sizeof(qim::hd_geometry) == 16);
    const Bytes cc(8, 0xCC);
    const unsigned long geometryAt = kern::PlaceUser(Bytes(24, 0xCC));
    ASSERT_EQ(Ioctl(qim::HDIO_GETGEO, geometryAt), 0);
    Bytes geometry = {2, 18, 80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    geometry.insert(geometry.end(), cc.begin(), cc.end());
    EXPECT_EQ(kern::ReadUser(geometryAt, 24), geometry);

    const unsigned long sizeAt = kern::PlaceUser(Bytes(16, 0xCC));
    ASSERT_EQ(Ioctl(qim::BLKGETSIZE, sizeAt), 0);
    Bytes size = {0x40, 0x0B, 0, 0, 0, 0, 0, 0};  // 2880
    size.insert(size.end(), cc.begin(), cc.end());
    EXPECT_EQ(kern::ReadUser(sizeAt, 16), size);
}

TEST_F(ControlTest, QueriesFaultOnUnwritableAnswers)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("fd.img", kFloppy, 1)), 0);
    EXPECT_EQ(Ioctl(qim::HDIO_GETGEO, kern::UnmappedUser()), -14);
    EXPECT_EQ(Ioctl(qim::BLKGETSIZE, kern::PlaceUser(Bytes(2))), -14);  // a quarter of the answer fits
    EXPECT_EQ(Ioctl(qim::BLKGETSIZE, kern::PlaceUserAtLimit(Bytes(2))), -14);
}

TEST_F(ControlTest, BusyWhileAnyoneElseHoldsTheDevice)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("a.img", kFloppy, 1)), 0);
    const std::string b = Image("b.img", kSmallFloppy, 2);
    qim::Disk* mounted = Device().pDisk;

    ASSERT_EQ(Open(), 0);  // a file system on the device
    EXPECT_EQ(Mount(RawFloppyWords(kSmallFloppy), b), 1);
    EXPECT_EQ(Unmount(), 1);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: device busy\n"});
    EXPECT_EQ(Device().pDisk, mounted);
    EXPECT_EQ(QuerySize().sectors, 2880u);

    ASSERT_EQ(Release(), 0);
    ASSERT_EQ(Release(), 0);  // nobody holds it: not the requester's sole open either
    EXPECT_EQ(Mount(RawFloppyWords(kSmallFloppy), b), 1);
    EXPECT_EQ(Device().pDisk, mounted);
}

TEST_F(ControlTest, ReleaseOfLastOpenFlushesAndKeepsTheImage)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("fd.img", kFloppy, 1)), 0);
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(Release(), 0);
    EXPECT_EQ(kern::CountCalls("fsync 0xfe00"), 0u);
    ASSERT_EQ(Release(), 0);
    EXPECT_EQ(kern::CountCalls("fsync 0xfe00"), 1u);
    EXPECT_EQ(kern::CountCalls("invalidate 0xfe00 0"), 1u);
    EXPECT_EQ(kern::UseCount(), 0);
    EXPECT_NE(Device().pDisk, nullptr);
}

TEST_F(ControlTest, ReplacingMountClosesTheFormerImage)
{
    const std::string a = Image("a.img", kFloppy, 1);
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), a), 0);
    ASSERT_EQ(Mount(RawFloppyWords(kKiloFloppy), Image("b.img", kKiloFloppy, 2)), 0);
    EXPECT_EQ(QuerySize().sectors, 2464u);
    EXPECT_EQ(Table(qim::blksize_size), 1024);
    EXPECT_EQ(kern::LiveAllocations(), 4u + 1u);  // three tables, the devices, one Disk
    EXPECT_EQ(OpenFileCount(a), 0);
    EXPECT_EQ(ReadSectors(0, 1), PatternBytes(0, 512, 2));
}

TEST_F(ControlTest, UnmountFromEmptyAndAfterMount)
{
    EXPECT_EQ(Unmount(), 0);
    EXPECT_TRUE(kern::Log().empty());

    const std::string path = Image("fd.img", kFloppy, 1);
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), path), 0);
    EXPECT_EQ(OpenFileCount(path), 1);
    EXPECT_EQ(Unmount(), 0);
    EXPECT_EQ(OpenFileCount(path), 0);
    EXPECT_EQ(Device().pDisk, nullptr);
    EXPECT_EQ(Table(qim::blksize_size), 0);
    EXPECT_EQ(kern::LiveAllocations(), 4u);
    EXPECT_EQ(QueryGeometry().result, -61);
    // The mapping keeps its values; only the image is gone.
    EXPECT_EQ(QuerySize().sectors, 2880u);
    EXPECT_EQ(Unmount(), 0);
    EXPECT_TRUE(kern::Log().empty());
}

// Each way a mount can fail, tried with a floppy already mounted.
enum class Step {
    FixedPartAboveUserMemory,
    WholeRecordAboveUserMemory,
    FixedPartUnmapped,
    NameUnmapped,
    CopyNotAllocated,
    DiskNotAllocated,
    NameNotTerminated,
    ImageMissing,
    ImageShorterThanGeometry,
    UnknownFormatCode,
    NoPartitionTable,
    ZeroHeads,
    ZeroSectorsPerTrack,
};

struct FailingMount {
    Step step;
    const char* name;
    const char* message;
    int result;
};

const FailingMount kFailingMounts[] = {
    {Step::FixedPartAboveUserMemory, "FixedPartAboveUserMemory", "<1>qim: invalid argument\n", -14},
    {Step::WholeRecordAboveUserMemory, "WholeRecordAboveUserMemory", "<1>qim: invalid argument\n", -14},
    {Step::FixedPartUnmapped, "FixedPartUnmapped", "<1>qim: copy_from_user error\n", -14},
    {Step::NameUnmapped, "NameUnmapped", "<1>qim: copy_from_user error\n", -14},
    {Step::CopyNotAllocated, "CopyNotAllocated", "<1>qim: out of memory\n", -12},
    {Step::DiskNotAllocated, "DiskNotAllocated", "<1>qim: out of memory\n", -12},
    {Step::NameNotTerminated, "NameNotTerminated", "<1>qim: invalid argument\n", -14},
    {Step::ImageMissing, "ImageMissing", "<1>qim: image error\n", -14},
    {Step::ImageShorterThanGeometry, "ImageShorterThanGeometry", "<1>qim: image error\n", -14},
    {Step::UnknownFormatCode, "UnknownFormatCode", "<1>qim: image error\n", -14},
    {Step::NoPartitionTable, "NoPartitionTable", "<1>qim: partition error\n", -14},
    {Step::ZeroHeads, "ZeroHeads", "<1>qim: invalid geometry\n", -22},
    {Step::ZeroSectorsPerTrack, "ZeroSectorsPerTrack", "<1>qim: invalid geometry\n", -22},
};

class FailingMountTest : public ControlTest, public ::testing::WithParamInterface<FailingMount> {
protected:
    // A record with only its first `mapped` bytes in user memory, which ends
    // there, or where user memory ends (atLimit).
    int MountCut(const Bytes& record, std::size_t mapped, bool atLimit)
    {
        const Bytes head(record.begin(), record.begin() + static_cast<long>(mapped));
        return Ioctl(qim::QIM_MOUNT, atLimit ? kern::PlaceUserAtLimit(head) : kern::PlaceUser(head));
    }

    int Attempt(Step step, const std::string& b)
    {
        const Bytes record = MountRecordBytes(RawFloppyWords(kSmallFloppy), b);
        RecordWords words = RawFloppyWords(kSmallFloppy);
        switch (step) {
        case Step::FixedPartAboveUserMemory:
            return MountCut(record, 40, true);
        case Step::WholeRecordAboveUserMemory:
            return MountCut(record, 50, true);
        case Step::FixedPartUnmapped:
            return Ioctl(qim::QIM_MOUNT, kern::UnmappedUser());
        case Step::NameUnmapped:
            return MountCut(record, 50, false);
        case Step::CopyNotAllocated:
            kern::FailKmalloc(1);
            return Mount(record);
        case Step::DiskNotAllocated:
            kern::FailKmalloc(2);
            return Mount(record);
        case Step::NameNotTerminated: {
            Bytes bad = record;
            bad[bad.size() - 2] = 'x';  // where the name's zero belongs
            return Mount(bad);
        }
        case Step::ImageMissing:
            return Mount(words, dir.file("none.img"));
        case Step::ImageShorterThanGeometry:
            return Mount(RawFloppyWords(kFloppy), b);
        case Step::UnknownFormatCode:
            words[0] = 0;
            words[1] = 99;
            return Mount(words, b);
        case Step::NoPartitionTable:
            return Mount(RawPartitionWords(kSmallFloppy, 0, 0), b);
        case Step::ZeroHeads:
            words[2] = 0;
            return Mount(words, b);
        case Step::ZeroSectorsPerTrack:
            words = RawPartitionWords(kSmallFloppy, 0, 0);
            words[3] = 0;
            return Mount(words, b);
        }
        return 0;
    }
};

TEST_P(FailingMountTest, LeavesTheFormerImageMounted)
{
    ASSERT_EQ(Mount(RawFloppyWords(kFloppy), Image("a.img", kFloppy, 1)), 0);
    const std::string b = Image("b.img", kSmallFloppy, 2);
    qim::Disk* mounted = Device().pDisk;
    const std::size_t allocations = kern::LiveAllocations();

    EXPECT_EQ(Attempt(GetParam().step, b), GetParam().result);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{GetParam().message});
    EXPECT_EQ(kern::LiveAllocations(), allocations);
    EXPECT_EQ(OpenFileCount(b), 0);

    EXPECT_EQ(Device().pDisk, mounted);
    EXPECT_EQ(Table(qim::blk_size), 1440);
    const Geometry g = QueryGeometry();
    EXPECT_EQ(g.result, 0);
    EXPECT_EQ(g.sectors, 18);
    EXPECT_EQ(QuerySize().sectors, 2880u);
    EXPECT_EQ(ReadSectors(2879, 1), PatternBytes(2879 * 512, 512, 1));
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingMountTest, ::testing::ValuesIn(kFailingMounts),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace qimtest
