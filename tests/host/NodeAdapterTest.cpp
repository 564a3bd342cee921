// The node's operations on the loaded driver, called as FUSE calls them: from
// any thread, at once. This process is the caller of its own control requests.
#include "Kernel.h"
#include "Module.h"
#include "MountRecordBytes.h"
#include "NodeAdapter.h"
#include "RawImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <span>
#include <thread>
#include <unistd.h>

namespace qimtest {
namespace {

constexpr RawGeometry kFloppy{2880, 2, 18, 512};
constexpr std::uint64_t kFloppyBytes = 2880 * 512;

class NodeAdapter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qim::host::LoadModule(), 0);
        ASSERT_EQ(ops.open(ops.context), 0);  // the control program's open
        image = dir.file("fd.img");
        disk = WriteRawImage(image, {kFloppy});
    }
    void TearDown() override
    {
        ops.release(ops.context);
        qim::host::UnloadModule();
    }

    qim::host::IoctlAnswer Control(unsigned int request, const void* argument)
    {
        return ops.ioctl(ops.context, ::getpid(), request, reinterpret_cast<unsigned long>(argument));
    }
    qim::host::IoctlAnswer MountFloppy()
    {
        const Bytes record = MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, image);
        return Control(qim::QIM_MOUNT, record.data());
    }
    long Read(std::uint64_t offset, Bytes& out)
    {
        return ops.read(ops.context, offset, std::as_writable_bytes(std::span(out)));
    }
    long Write(std::uint64_t offset, const Bytes& in)
    {
        return ops.write(ops.context, offset, std::as_bytes(std::span(in)));
    }

    const qim::host::NodeOps ops = qim::host::DeviceNodeOps();
    TempDir dir;
    std::string image;
    Bytes disk;
};

// The node's size is what the driver answers: the mounted device's bytes,
// and nothing while it holds no image.
TEST_F(NodeAdapter, SizeAndDataFollowTheMountedImage)
{
    EXPECT_EQ(ops.size(ops.context), 0u);
    Bytes out(700);
    EXPECT_EQ(Read(0, out), 0);

    const qim::host::IoctlAnswer mounted = MountFloppy();
    EXPECT_EQ(mounted.result, 0);
    EXPECT_TRUE(mounted.invalidate);
    EXPECT_EQ(ops.size(ops.context), kFloppyBytes);
    EXPECT_EQ(Read(1000, out), 700);
    EXPECT_EQ(out, Bytes(disk.begin() + 1000, disk.begin() + 1700));
    EXPECT_EQ(Read(kFloppyBytes - 100, out), 100);

    // The caller's own queries reach its memory.
    unsigned long sectors = 0;
    EXPECT_EQ(Control(qim::BLKGETSIZE, &sectors).result, 0);
    EXPECT_EQ(sectors, 2880u);
    EXPECT_EQ(Control(qim::BLKGETSIZE, nullptr).result, -EINVAL);

    // Held open by someone else: refused, nothing to invalidate.
    ASSERT_EQ(ops.open(ops.context), 0);
    const qim::host::IoctlAnswer busy = Control(qim::QIM_UNMOUNT, nullptr);
    EXPECT_EQ(busy.result, 1);
    EXPECT_FALSE(busy.invalidate);
    ops.release(ops.context);

    const qim::host::IoctlAnswer unmounted = Control(qim::QIM_UNMOUNT, nullptr);
    EXPECT_EQ(unmounted.result, 0);
    EXPECT_TRUE(unmounted.invalidate);
    EXPECT_EQ(ops.size(ops.context), 0u);
    EXPECT_EQ(Read(0, out), 0);
    EXPECT_EQ(Write(0, out), -ENOSPC);
    EXPECT_EQ(ops.fsync(ops.context), 0);
}

// Two writers of neighbouring halves of the same sectors: each unaligned
// write reads its sector, patches half of it and writes it back, and the
// other writer's half must survive every one of those. Each writer finds its
// own half as it left it before it writes it again.
TEST_F(NodeAdapter, ConcurrentUnalignedWritersKeepEachOthersBytes)
{
    ASSERT_EQ(MountFloppy().result, 0);
    constexpr std::uint32_t kSectors = 4;
    constexpr std::uint32_t kRounds = 1000;
    constexpr std::size_t kHalf = 256;
    auto half = [](std::uint32_t round, std::uint32_t writer) { return PatternBytes(0, kHalf, round * 2 + writer + 7); };

    std::vector<std::thread> writers;
    std::vector<int> failures(2, 0);
    std::vector<int> lost(2, 0);
    for (std::uint32_t writer = 0; writer < 2; ++writer)
        writers.emplace_back([&, writer] {
            Bytes mine(kHalf);
            for (std::uint32_t round = 0; round < kRounds; ++round)
                for (std::uint32_t sector = 0; sector < kSectors; ++sector) {
                    const std::uint64_t at = std::uint64_t{sector} * 512 + writer * kHalf;
                    const Bytes before = round == 0 ? Bytes(disk.begin() + static_cast<long>(at),
                                                            disk.begin() + static_cast<long>(at + kHalf))
                                                    : half(round - 1, writer);
                    if (Read(at, mine) != static_cast<long>(kHalf) || Write(at, half(round, writer)) !=
                                                                           static_cast<long>(kHalf))
                        ++failures[writer];
                    else if (mine != before)
                        ++lost[writer];
                }
        });
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0}));
    EXPECT_EQ(lost, (std::vector<int>{0, 0})) << "half-sector updates lost to the other writer";

    Bytes expected;
    for (std::uint32_t sector = 0; sector < kSectors; ++sector)
        for (std::uint32_t writer = 0; writer < 2; ++writer) {
            const Bytes h = half(kRounds - 1, writer);
            expected.insert(expected.end(), h.begin(), h.end());
        }
    Bytes got(expected.size());
    ASSERT_EQ(Read(0, got), static_cast<long>(got.size()));
    EXPECT_TRUE(got == expected) << "a writer's half-sector update was lost";
    EXPECT_EQ(ops.fsync(ops.context), 0);
    EXPECT_TRUE(ReadFileRange(image, 0, expected.size()) == expected);
    EXPECT_TRUE(ReadFileRange(image, expected.size(), 512) == Bytes(disk.begin() + static_cast<long>(expected.size()),
                                                                    disk.begin() + static_cast<long>(expected.size()) + 512));
}

}  // namespace
}  // namespace qimtest
