// SPDX-License-Identifier: MIT
// The request service: device offsets, bounds, rate-limited messages,
// read-only mounts and the block layer's segment-by-segment completion.
#include "DriverFixture.h"

namespace qimtest {
namespace {

using kern::CountLog;
using kern::Log;

constexpr RawGeometry kFloppy{2880, 2, 18, 512};

class Requests : public DriverTest {
protected:
    Bytes MountFloppy(std::uint32_t readOnly = 0)
    {
        path = dir.file("floppy.img");
        Bytes disk = WriteRawImage(path, {kFloppy});
        EXPECT_EQ(Mount(RawFloppyWords(kFloppy, readOnly), path), 0);
        kern::ClearLog();
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
        kern::Request* r = kern::Submit(Dev(1), qim::READ, 0, {{1, {}, true}});
        kern::RunQueue(static_cast<unsigned>(qim::qim_major));
        EXPECT_EQ(r->block.statuses, std::vector<int>{0});
        EXPECT_TRUE(r->block.finished);
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
    kern::Request* r = kern::Submit(Dev(), 7, 0, {{1, {}, true}});
    kern::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->block.statuses, std::vector<int>{0});
    EXPECT_TRUE(Log().empty());
}

TEST_F(Requests, EverySegmentIsTriedAfterAFailedOne)
{
    const Bytes disk = MountFloppy();
    kern::Request* r = kern::Submit(Dev(), qim::READ, 2877, {{2, {}, true}, {3, {}, true}, {1, {}, true}});
    kern::Request* next = kern::Submit(Dev(), qim::READ, 4, {{1, {}, true}});
    kern::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->block.statuses, (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(r->buffers[0], Bytes(disk.end() - 3 * 512, disk.end() - 512));
    EXPECT_TRUE(r->block.finished);
    EXPECT_EQ(CountLog("<1>qim: request past end of device\n"), 2u);
    EXPECT_EQ(next->block.statuses, std::vector<int>{1});
    EXPECT_EQ(next->buffers[0], Bytes(disk.begin() + 2048, disk.begin() + 2560));
    EXPECT_EQ(kern::QueueLength(static_cast<unsigned>(qim::qim_major)), 0u);
}

TEST_F(Requests, SegmentsAreServedInOrderAtTheirOwnSectors)
{
    const Bytes disk = MountFloppy();
    kern::Request* r = kern::Submit(Dev(), qim::READ, 100, {{1, {}, true}, {4, {}, true}, {2, {}, true}});
    kern::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_EQ(r->block.statuses, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(r->buffers[1], Bytes(disk.begin() + 101 * 512, disk.begin() + 105 * 512));
    EXPECT_EQ(r->buffers[2], Bytes(disk.begin() + 105 * 512, disk.begin() + 107 * 512));
}

TEST_F(Requests, BrokenQueuesHaltTheKernel)
{
    const Bytes disk = MountFloppy();
    const auto major = static_cast<unsigned>(qim::qim_major);
    // A request of another major on the driver's queue.
    kern::Submit(qim::MKDEV(3, 0), qim::READ, 0, {{1, {}, true}}, true, major);
    try {
        kern::RunQueue(major);
        ADD_FAILURE() << "no panic";
    } catch (const kern::KernelPanic& p) {
        EXPECT_EQ(p.message, "qim: request list destroyed");
    }
    kern::DropQueue(major);

    kern::Submit(Dev(), qim::READ, 0, {{1, {}, false}});
    try {
        kern::RunQueue(major);
        ADD_FAILURE() << "no panic";
    } catch (const kern::KernelPanic& p) {
        EXPECT_EQ(p.message, "qim: block not locked");
    }
    kern::DropQueue(major);

    // A request without buffer heads has nothing to be locked.
    kern::Request* r = kern::Submit(Dev(), qim::READ, 0, {{1, {}, false}}, false);
    kern::RunQueue(major);
    EXPECT_EQ(r->block.statuses, std::vector<int>{1});
    EXPECT_EQ(r->buffers[0], Bytes(disk.begin(), disk.begin() + 512));
}

}  // namespace
}  // namespace qimtest
