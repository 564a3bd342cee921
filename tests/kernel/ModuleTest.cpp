// SPDX-License-Identifier: MIT
// Module start and stop.
#include "DriverFixture.h"

#include <cerrno>

namespace qimtest {
namespace {

class Module : public ::testing::Test {
protected:
    void SetUp() override { kern::Reset(); }
    static int Init() { return kern::Locked(qim::qim_init); }
    static void Cleanup() { kern::Locked(qim::qim_cleanup); }
    void TearDown() override { kern::Reset(); }
};

TEST_F(Module, StartInstallsTablesQueueAndDevice)
{
    ASSERT_EQ(Init(), 0);
    const auto m = static_cast<unsigned>(qim::qim_major);
    EXPECT_EQ(m, 254u);
    EXPECT_TRUE(kern::Registered(m));
    EXPECT_EQ(qim::blk_size[m], qim::qim_sizes);
    EXPECT_EQ(qim::blk_size[m][0], 0);
    EXPECT_EQ(qim::blksize_size[m][0], 1024);
    EXPECT_EQ(qim::hardsect_size[m][0], 512);
    EXPECT_EQ(qim::read_ahead[m], 1);
    EXPECT_EQ(qim::BLK_DEFAULT_QUEUE(m)->request_fn, &qim::qim_request);
    EXPECT_EQ(kern::Calls(), (std::vector<std::string>{"register_blkdev 0", "register_disk 0xfe00 1 0"}));
    EXPECT_EQ(qim::qim_devices[0].nOpenCount, 0);
    EXPECT_EQ(qim::qim_devices[0].pDisk, nullptr);
    EXPECT_TRUE(kern::Log().empty());
    Cleanup();
    EXPECT_FALSE(kern::Registered(m));
    EXPECT_EQ(kern::LiveAllocations(), 0u);
}

TEST_F(Module, StartWithoutAMajorLogsAndReturnsTheError)
{
    kern::OccupyAllMajors();
    EXPECT_EQ(Init(), -EBUSY);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: can't get major 0\n"});
    EXPECT_EQ(kern::LiveAllocations(), 0u);
}

// Whichever of the four allocations fails, the module frees the others,
// clears the kernel's tables and gives its major back.
TEST_F(Module, FailedAllocationUndoesTheStart)
{
    for (int nth = 1; nth <= 4; ++nth) {
        SCOPED_TRACE(nth);
        kern::Reset();
        kern::FailKmalloc(nth);
        EXPECT_EQ(Init(), -ENOMEM);
        EXPECT_EQ(kern::LiveAllocations(), 0u);
        EXPECT_EQ(kern::BadFrees(), 0);
        EXPECT_FALSE(kern::Registered(254));
        EXPECT_EQ(qim::blk_size[254], nullptr);
        EXPECT_EQ(qim::blksize_size[254], nullptr);
        EXPECT_EQ(qim::hardsect_size[254], nullptr);
        EXPECT_EQ(qim::read_ahead[254], 0);
        EXPECT_EQ(qim::qim_devices, nullptr);
        EXPECT_EQ(kern::CountCalls("register_disk 0xfe00 1 0"), 0u);
        EXPECT_EQ(qim::BLK_DEFAULT_QUEUE(254)->request_fn, nullptr);
    }
    // The fifth allocation is not the module's: start succeeds.
    kern::Reset();
    kern::FailKmalloc(5);
    EXPECT_EQ(Init(), 0);
    Cleanup();
}

TEST_F(Module, StopFlushesAndClosesAMountedImage)
{
    TempDir dir;
    const RawGeometry g{2880, 2, 18, 512};
    const std::string path = dir.file("floppy.img");
    WriteRawImage(path, {g});
    ASSERT_EQ(Init(), 0);
    const auto m = static_cast<unsigned>(qim::qim_major);
    qim::inode node{qim::MKDEV(m, 0)};
    qim::file f{};
    const unsigned long record = kern::PlaceUser(MountRecordBytes(RawFloppyWords(g), path));
    kern::Locked([&] {
        ASSERT_EQ(qim::qim_open(&node, &f), 0);
        ASSERT_EQ(qim::qim_ioctl(&node, &f, qim::QIM_MOUNT, record), 0);
        ASSERT_EQ(qim::qim_release(&node, &f), 0);
    });
    EXPECT_EQ(OpenFileCount(path), 1);

    Cleanup();
    EXPECT_EQ(OpenFileCount(path), 0);
    EXPECT_EQ(kern::LiveAllocations(), 0u);
    EXPECT_EQ(kern::BadFrees(), 0);
    EXPECT_EQ(kern::CountCalls("fsync 0xfe00"), 2u);  // the last release, then stop
    EXPECT_EQ(kern::CountCalls("unregister_blkdev 254"), 1u);
    EXPECT_EQ(kern::CountCalls("blk_cleanup_queue"), 1u);
    EXPECT_FALSE(kern::Registered(m));
    EXPECT_EQ(qim::blk_size[m], nullptr);
    EXPECT_EQ(qim::read_ahead[m], 0);
    EXPECT_EQ(qim::qim_devices, nullptr);
}

}  // namespace
}  // namespace qimtest
