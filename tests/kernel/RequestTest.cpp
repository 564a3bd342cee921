// The request service: device offsets, bounds, rate-limited messages,
// read-only mounts and the block layer's segment-by-segment completion.
#include "DriverFixture.h"

namespace qimtest {
namespace {

using fake::CountLog;
using fake::Log;

constexpr RawGeometry kFloppy{2880, 2, 18, 512};

class Requests : public DriverTest {
protected:
    Bytes MountFloppy(std::uint32_t readOnly = 0)
    {
        path = dir.file("floppy.img");
        Bytes disk = WriteRawImage(path, {kFloppy});
        EXPECT_EQ(Mount(RawFloppyWords(kFloppy, readOnly), path), 0);
        fake::ClearLog();
        return disk;
    }
    std::string path;
};

TEST_F(Requests, LastSectorIsServedAndTheNextRefusedWithFiveMessages)
{
    const Bytes disk = MountFloppy();
    EXPECT_EQ(ReadSectors(2879, 1), Bytes(disk.end() - 512, disk.end()));
    EXPECT_TRUE(Log().empty());
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(ReadSectors(2880, 1).empty());
    // A segment that starts inside and runs past the end is refused whole.
    EXPECT_TRUE(ReadSectors(2878, 4).empty());
    EXPECT_EQ(CountLog("<1>qim: request past end of device\n"), 5u);
    EXPECT_EQ(Log().size(), 5u);
    // The limit lasts for the module's life, not for a mount.
    EXPECT_EQ(Mount(RawFloppyWords(kFloppy), path), 0);
    EXPECT_TRUE(ReadSectors(~0UL, 1).empty());
    EXPECT_EQ(Log().size(), 5u);
}

TEST_F(Requests, UnknownMinorIsLoggedFiveTimes)
{
    MountFloppy();
    for (int i = 0; i < 8; ++i) {
        fake::Request* r = fake::Submit(Dev(1), qim::READ, 0, {{1, {}, true}});
        fake::RunQueue(static_cast<unsigned>(qim::qim_major));
        EXPECT_EQ(r->statuses, std::vector<int>{0});
        EXPECT_TRUE(r->finished);
    }
    EXPECT_EQ(CountLog("<1>qim: request for unknown device\n"), 5u);
    EXPECT_EQ(Log().size(), 5u);
}

TEST_F(Requests, NoImageIsReportedEveryTime)
{
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(ReadSectors(0, 1).empty());
    EXPECT_EQ(CountLog("<1>qim: device not ready\n"), 7u);
}

TEST_F(Requests, WritesReachTheImageUnlessReadOnly)
{
    MountFloppy(1);
    const Bytes data = PatternBytes(0, 1024, 99);
    EXPECT_EQ(WriteSectors(10, data), 0);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(ReadFileRange(path, 10 * 512, 1024), PatternBytes(10 * 512, 1024, 1));
    EXPECT_EQ(ReadSectors(10, 2), PatternBytes(10 * 512, 1024, 1));

    ASSERT_EQ(Mount(RawFloppyWords(kFloppy, 0), path), 0);
    EXPECT_EQ(WriteSectors(10, data), 1);
    EXPECT_EQ(ReadFileRange(path, 10 * 512, 1024), data);
    EXPECT_EQ(ReadSectors(10, 2), data);
    EXPECT_TRUE(Log().empty());
}

TEST_F(Requests, OtherCommandsFailSilently)
{
    MountFloppy();
    fake::Request* r = fake::Submit(Dev(), 7, 0, {{1, {}, true}});
    fake::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->statuses, std::vector<int>{0});
    EXPECT_TRUE(Log().empty());
}

TEST_F(Requests, EverySegmentIsTriedAfterAFailedOne)
{
    const Bytes disk = MountFloppy();
    fake::Request* r = fake::Submit(Dev(), qim::READ, 2877, {{2, {}, true}, {3, {}, true}, {1, {}, true}});
    fake::Request* next = fake::Submit(Dev(), qim::READ, 4, {{1, {}, true}});
    fake::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->statuses, (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(r->segments[0].data, Bytes(disk.end() - 3 * 512, disk.end() - 512));
    EXPECT_TRUE(r->finished);
    EXPECT_EQ(CountLog("<1>qim: request past end of device\n"), 2u);
    EXPECT_EQ(next->statuses, std::vector<int>{1});
    EXPECT_EQ(next->segments[0].data, Bytes(disk.begin() + 2048, disk.begin() + 2560));
    EXPECT_EQ(fake::QueueLength(static_cast<unsigned>(qim::qim_major)), 0u);
}

TEST_F(Requests, SegmentsAreServedInOrderAtTheirOwnSectors)
{
    const Bytes disk = MountFloppy();
    fake::Request* r = fake::Submit(Dev(), qim::READ, 100, {{1, {}, true}, {4, {}, true}, {2, {}, true}});
    fake::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->statuses, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(r->segments[1].data, Bytes(disk.begin() + 101 * 512, disk.begin() + 105 * 512));
    EXPECT_EQ(r->segments[2].data, Bytes(disk.begin() + 105 * 512, disk.begin() + 107 * 512));
}

TEST_F(Requests, BrokenQueuesHaltTheKernel)
{
    const Bytes disk = MountFloppy();
    const auto major = static_cast<unsigned>(qim::qim_major);
    // A request of another major on the driver's queue.
    fake::Submit(qim::MKDEV(3, 0), qim::READ, 0, {{1, {}, true}}, true, major);
    try {
        fake::RunQueue(major);
        ADD_FAILURE() << "no panic";
    } catch (const fake::KernelPanic& p) {
        EXPECT_EQ(p.message, "qim: request list destroyed");
    }
    fake::DropQueue(major);

    fake::Submit(Dev(), qim::READ, 0, {{1, {}, false}});
    try {
        fake::RunQueue(major);
        ADD_FAILURE() << "no panic";
    } catch (const fake::KernelPanic& p) {
        EXPECT_EQ(p.message, "qim: block not locked");
    }
    fake::DropQueue(major);

    // A request without buffer heads has nothing to be locked.
    fake::Request* r = fake::Submit(Dev(), qim::READ, 0, {{1, {}, false}}, false);
    fake::RunQueue(major);
    EXPECT_EQ(r->statuses, std::vector<int>{1});
    EXPECT_EQ(r->segments[0].data, Bytes(disk.begin(), disk.begin() + 512));
}

}  // namespace
}  // namespace qimtest
