// Module start and stop.
#include "DriverFixture.h"

#include <cerrno>

namespace qimtest {
namespace {

class Module : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override { fake::Reset(); }
};

TEST_F(Module, StartInstallsTablesQueueAndDevice)
{
    ASSERT_EQ(qim::qim_init(), 0);
    const auto m = static_cast<unsigned>(qim::qim_major);
    EXPECT_EQ(m, 254u);
    EXPECT_TRUE(fake::Registered(m));
    EXPECT_EQ(qim::blk_size[m], qim::qim_sizes);
    EXPECT_EQ(qim::blk_size[m][0], 0);
    EXPECT_EQ(qim::blksize_size[m][0], 1024);
    EXPECT_EQ(qim::hardsect_size[m][0], 512);
    EXPECT_EQ(qim::read_ahead[m], 1);
    EXPECT_EQ(qim::BLK_DEFAULT_QUEUE(m)->request_fn, &qim::qim_request);
    EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"register_blkdev 0", "register_disk 0xfe00 1 0"}));
    EXPECT_EQ(qim::qim_devices[0].nOpenCount, 0);
    EXPECT_EQ(qim::qim_devices[0].pDisk, nullptr);
    EXPECT_TRUE(fake::Log().empty());
    qim::qim_cleanup();
    EXPECT_FALSE(fake::Registered(m));
    EXPECT_EQ(fake::LiveAllocations(), 0u);
}

TEST_F(Module, StartWithoutAMajorLogsAndReturnsTheError)
{
    fake::SetRegisterResult(-EBUSY);
    EXPECT_EQ(qim::qim_init(), -EBUSY);
    EXPECT_EQ(fake::Log(), std::vector<std::string>{"<1>qim: can't get major 0\n"});
    EXPECT_EQ(fake::LiveAllocations(), 0u);
}

// Whichever of the four allocations fails, the module frees the others,
// clears the kernel's tables and gives its major back.
TEST_F(Module, FailedAllocationUndoesTheStart)
{
    for (int nth = 1; nth <= 4; ++nth) {
        SCOPED_TRACE(nth);
        fake::Reset();
        fake::FailKmalloc(nth);
        EXPECT_EQ(qim::qim_init(), -ENOMEM);
        EXPECT_EQ(fake::LiveAllocations(), 0u);
        EXPECT_EQ(fake::BadFrees(), 0);
        EXPECT_FALSE(fake::Registered(254));
        EXPECT_EQ(qim::blk_size[254], nullptr);
        EXPECT_EQ(qim::blksize_size[254], nullptr);
        EXPECT_EQ(qim::hardsect_size[254], nullptr);
        EXPECT_EQ(qim::read_ahead[254], 0);
        EXPECT_EQ(qim::qim_devices, nullptr);
        EXPECT_EQ(fake::CountCalls("register_disk 0xfe00 1 0"), 0u);
        EXPECT_EQ(qim::BLK_DEFAULT_QUEUE(254)->request_fn, nullptr);
    }
    // The fifth allocation is not the module's: start succeeds.
    fake::Reset();
    fake::FailKmalloc(5);
    EXPECT_EQ(qim::qim_init(), 0);
    qim::qim_cleanup();
}

TEST_F(Module, StopFlushesAndClosesAMountedImage)
{
    TempDir dir;
    const RawGeometry g{2880, 2, 18, 512};
    const std::string path = dir.file("floppy.img");
    WriteRawImage(path, {g});
    ASSERT_EQ(qim::qim_init(), 0);
    const auto m = static_cast<unsigned>(qim::qim_major);
    qim::inode node{qim::MKDEV(m, 0)};
    qim::file f{};
    ASSERT_EQ(qim::qim_open(&node, &f), 0);
    fake::MapUser(kRecordAt, MountRecordBytes(RawFloppyWords(g), path));
    ASSERT_EQ(qim::qim_ioctl(&node, &f, qim::QIM_MOUNT, kRecordAt), 0);
    ASSERT_EQ(qim::qim_release(&node, &f), 0);
    EXPECT_EQ(OpenFileCount(path), 1);

    qim::qim_cleanup();
    EXPECT_EQ(OpenFileCount(path), 0);
    EXPECT_EQ(fake::LiveAllocations(), 0u);
    EXPECT_EQ(fake::BadFrees(), 0);
    EXPECT_EQ(fake::CountCalls("fsync 0xfe00"), 2u);  // the last release, then stop
    EXPECT_EQ(fake::CountCalls("unregister_blkdev 254"), 1u);
    EXPECT_EQ(fake::CountCalls("blk_cleanup_queue"), 1u);
    EXPECT_FALSE(fake::Registered(m));
    EXPECT_EQ(qim::blk_size[m], nullptr);
    EXPECT_EQ(qim::read_ahead[m], 0);
    EXPECT_EQ(qim::qim_devices, nullptr);
}

}  // namespace
}  // namespace qimtest
