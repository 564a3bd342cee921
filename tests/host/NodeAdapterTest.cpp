// SPDX-License-Identifier: MIT
// The node's operations on the loaded driver, called as FUSE calls them: from
// any thread, at once. This process is the caller of its own control requests.
#include "Kernel.h"
#include "Module.h"
#include "MountRecordBytes.h"
#include "NodeAdapter.h"
#include "RawImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <linux/userfaultfd.h>
#include <span>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
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

// A transfer stalled inside one device's image read (its buffer's page is
// held back by userfaultfd, as a slow file would hold the read) holds up no
// request of another device: the second device's read completes first.
TEST(NodeAdapterDevices, StalledReadOnOneDeviceHoldsUpNoOther)
{
    const int uffd = static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC));
    if (uffd < 0)
        GTEST_SKIP() << "no userfaultfd for kernel-mode faults here: " << std::strerror(errno);
    ASSERT_EQ(qim::host::LoadModule(2), 0);
    TempDir dir;
    std::array<Bytes, 2> disks;
    std::array<qim::host::NodeOps, 2> ops{};
    for (unsigned minor = 0; minor < 2; ++minor) {
        const std::string image = dir.file("fd" + std::to_string(minor) + ".img");
        disks[minor] = WriteRawImage(image, {kFloppy, 0, 0, minor + 3});
        ops[minor] = qim::host::DeviceNodeOps(minor);
        ASSERT_EQ(ops[minor].open(ops[minor].context), 0);
        const Bytes record = MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, image);
        ASSERT_EQ(ops[minor].ioctl(ops[minor].context, ::getpid(), qim::QIM_MOUNT,
                                   reinterpret_cast<unsigned long>(record.data())).result, 0);
    }

    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* stalled = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(stalled, MAP_FAILED);
    uffdio_api api{UFFD_API, 0, 0};
    uffdio_register reg{{reinterpret_cast<std::uint64_t>(stalled), page}, UFFDIO_REGISTER_MODE_MISSING, 0};
    ASSERT_EQ(::ioctl(uffd, UFFDIO_API, &api), 0);
    ASSERT_EQ(::ioctl(uffd, UFFDIO_REGISTER, &reg), 0);

    std::atomic<int> order{0};
    int slowDone = 0;
    long slowRead = 0;
    std::thread slow([&] {
        slowRead = ops[1].read(ops[1].context, 0, {static_cast<std::byte*>(stalled), 512});
        slowDone = ++order;
    });
    // The stall: the slow read has reached the image and waits on its buffer.
    uffd_msg msg{};
    ASSERT_TRUE(::read(uffd, &msg, sizeof msg) == sizeof msg && msg.event == UFFD_EVENT_PAGEFAULT);

    Bytes out(512);
    auto fast = std::async(std::launch::async, [&] {
        const long n = ops[0].read(ops[0].context, 512, std::as_writable_bytes(std::span(out)));
        ++order;
        return n;
    });
    const bool fastFinished = fast.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    const int fastDone = order.load();
    uffdio_zeropage zero{{reinterpret_cast<std::uint64_t>(stalled), page}, 0, 0};
    ASSERT_EQ(::ioctl(uffd, UFFDIO_ZEROPAGE, &zero), 0);
    slow.join();
    EXPECT_TRUE(fastFinished && fast.get() == 512);
    EXPECT_EQ(fastDone, 1) << "device 0's read waited for device 1's";
    EXPECT_EQ(slowDone, 2);
    EXPECT_EQ(out, Bytes(disks[0].begin() + 512, disks[0].begin() + 1024));
    EXPECT_EQ(slowRead, 512);

    for (qim::host::NodeOps& o : ops)
        o.release(o.context);
    qim::host::UnloadModule();
    ::munmap(stalled, page);
    ::close(uffd);
}

}  // namespace
}  // namespace qimtest
