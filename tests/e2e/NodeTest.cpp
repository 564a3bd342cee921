// SPDX-License-Identifier: MIT
// The whole system as an administrator meets it: qim serving a node, qimc
// mounting raw partitioned images, the node mounted through a loop device.
#include "E2eSupport.h"
#include "MountRecordBytes.h"
#include "QimMount.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

constexpr unsigned long kGetSize = 0x1260;  // BLKGETSIZE

class E2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(qim.Start()) << "qim did not come up: " << qim.Log();
    }

    // The node's size as stat sees it.
    std::uint64_t NodeSize() const
    {
        struct stat st {};
        return ::stat(qim.node().c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : UINT64_MAX;
    }

    void MountImage(const PartitionedImage& image, bool readOnly, int partition)
    {
        const RunResult r = Qimc(qim.node(), RawMountArgs(image, readOnly, partition));
        ASSERT_EQ(r.status, 0x83) << r.out << r.err << qim.Log();
        ASSERT_EQ(r.out, "");
    }

    TempDir dir;
    QimServer qim{dir};
};

std::string MakeDir(const TempDir& dir, const std::string& name)
{
    const std::string path = dir.file(name);
    ::mkdir(path.c_str(), 0700);
    return path;
}

std::string ReadText(const std::string& path)
{
    const Bytes b = ReadFile(path);
    return {b.begin(), b.end()};
}

// The physical block of each of a file's first count logical blocks, from
// debugfs's bmap (its "blocks" listing mixes in indirect blocks).
std::vector<std::uint64_t> FileBlocks(const TempDir& dir, const std::string& image, std::uint64_t fsOffset,
                                      const std::string& file, std::size_t count)
{
    std::string commands;
    for (std::size_t i = 0; i < count; ++i)
        commands += "bmap " + file + " " + std::to_string(i) + "\n";
    const std::string script = dir.file("bmap.cmds");
    WriteFile(script, Bytes(commands.begin(), commands.end()));
    const RunResult r = RunCommand({"debugfs", "-f", script, image + "?offset=" + std::to_string(fsOffset)});
    std::vector<std::uint64_t> blocks;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            blocks.push_back(std::stoull(line));
    return blocks;
}

struct CycleCase {
    int partition;  // 1: primary, 2: logical
    int readOnly;  // an int, so the parameter has no padding bytes in its printed name
};

class FullCycle : public E2e, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(FullCycle, MountsChangesAndChecksClean)
{
    const CycleCase c = GetParam();
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "primary partition\n"}},
                                     {{"hello.txt", "logical partition\n"}}, image, error))
        << error;
    const std::uint64_t start = c.partition == 1 ? image.primaryStart : image.logicalStart;
    const std::uint64_t sectors = c.partition == 1 ? image.primarySectors : image.logicalSectors;
    const std::uint64_t fsOffset = start * 512;
    const Bytes before = ReadFile(image.path);

    EXPECT_EQ(NodeSize(), 0u) << "no image mounted yet";
    MountImage(image, c.readOnly, c.partition);
    EXPECT_EQ(NodeSize(), sectors * 512);

    const std::string mnt = MakeDir(dir, "mnt");
    const Bytes written = PatternBytes(0, 300 * 1024 + 77, 42);
    {
        NodeMount mount(qim.node(), mnt, c.readOnly);
        ASSERT_TRUE(mount.ok()) << mount.error() << qim.Log();
        EXPECT_EQ(ReadText(mnt + "/hello.txt"), c.partition == 1 ? "primary partition\n" : "logical partition\n");
        if (!c.readOnly) {
            WriteFile(mnt + "/written.bin", written);
            WriteFile(mnt + "/hello.txt", Bytes{'c', 'h', 'a', 'n', 'g', 'e', 'd', '\n'});
            EXPECT_EQ(ReadFile(mnt + "/written.bin"), written);
        }
        EXPECT_TRUE(mount.Unmount());
    }
    const RunResult unmount = Qimc(qim.node(), {"u"});
    EXPECT_EQ(unmount.status, 0) << unmount.out << qim.Log();
    EXPECT_EQ(NodeSize(), 0u);
    EXPECT_EQ(qim.Stop(), 0);
    EXPECT_EQ(qim.Log().find("error"), std::string::npos) << qim.Log();

    const std::string fs = image.path + "?offset=" + std::to_string(fsOffset);
    const RunResult fsck = RunCommand({"e2fsck", "-fn", fs}, 120);
    EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;

    const Bytes after = ReadFile(image.path);
    ASSERT_EQ(after.size(), before.size());
    if (c.readOnly) {
        EXPECT_TRUE(after == before) << "a read-only cycle changed the image";
        return;
    }
    // The bytes outside the partition are untouched.
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + static_cast<long>(fsOffset), before.begin()));
    EXPECT_TRUE(std::equal(after.begin() + static_cast<long>(fsOffset + sectors * 512), after.end(),
                           before.begin() + static_cast<long>(fsOffset + sectors * 512)));
    // The data written is in the image, at the partition's offset plus the
    // file system's block positions.
    const std::vector<std::uint64_t> blocks =
        FileBlocks(dir, image.path, fsOffset, "/written.bin", written.size() / 1024);
    ASSERT_EQ(blocks.size(), written.size() / 1024);
    for (std::size_t i = 0; i < written.size() / 1024; ++i) {
        const Bytes got = ReadFileRange(image.path, fsOffset + blocks[i] * 1024, 1024);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), written.begin() + static_cast<long>(i * 1024)))
            << "block " << i << " of the file";
    }
    const RunResult cat = RunCommand({"debugfs", "-R", "cat /hello.txt", fs});
    EXPECT_EQ(cat.out, "changed\n");
}

INSTANTIATE_TEST_SUITE_P(Raw, FullCycle,
                         ::testing::Values(CycleCase{1, 0}, CycleCase{1, 1}, CycleCase{2, 0},
                                           CycleCase{2, 1}),
                         [](const auto& param) {
                             return std::string(param.param.partition == 1 ? "Primary" : "Logical") +
                                    (param.param.readOnly ? "ReadOnly" : "ReadWrite");
                         });

TEST_F(E2e, MountAndUnmountAreRefusedWhileTheNodeIsMounted)
{
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"a.txt", "A\n"}}, {{"b.txt", "B\n"}}, image, error)) << error;
    MountImage(image, false, 1);
    const std::string mnt = MakeDir(dir, "mnt");
    NodeMount mount(qim.node(), mnt, false);
    ASSERT_TRUE(mount.ok()) << mount.error();

    const RunResult again = Qimc(qim.node(), RawMountArgs(image, false, 2));
    EXPECT_EQ(again.out, "mount error\n");
    EXPECT_EQ(again.status, 255);
    EXPECT_NE(qim.Log().find("<1>qim: device busy\n"), std::string::npos) << qim.Log();
    const RunResult unmountBusy = Qimc(qim.node(), {"u"});
    EXPECT_EQ(unmountBusy.out, "unmount error\n");
    EXPECT_EQ(unmountBusy.status, 255);
    // The mounted file system is still served from the first partition.
    EXPECT_EQ(ReadText(mnt + "/a.txt"), "A\n");

    ASSERT_TRUE(mount.Unmount());
    const RunResult unmount = Qimc(qim.node(), {"u"});
    EXPECT_EQ(unmount.status, 0) << unmount.out << qim.Log();
    EXPECT_EQ(NodeSize(), 0u);
}

TEST_F(E2e, ASecondMountReplacesTheImageWithoutStaleData)
{
    PartitionedImage first;
    PartitionedImage second;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "first.img", {{"which.txt", "first\n"}}, {}, first, error)) << error;
    ASSERT_TRUE(MakePartitionedImage(dir, "second.img", {}, {{"which.txt", "second\n"}}, second, error)) << error;
    const std::string whole = dir.file("whole.bin");

    MountImage(first, true, 1);
    RunResult dd = RunCommand({"dd", "if=" + qim.node(), "of=" + whole, "bs=64K", "status=none"});
    ASSERT_EQ(dd.status, 0) << dd.err;
    EXPECT_TRUE(ReadFile(whole) == ReadFileRange(first.path, first.primaryStart * 512, first.primarySectors * 512));

    // No unmount in between: the new image replaces the old one.
    MountImage(second, true, 2);
    EXPECT_EQ(NodeSize(), second.logicalSectors * 512);
    dd = RunCommand({"dd", "if=" + qim.node(), "of=" + whole, "bs=64K", "status=none"});
    ASSERT_EQ(dd.status, 0) << dd.err;
    EXPECT_TRUE(ReadFile(whole) == ReadFileRange(second.path, second.logicalStart * 512, second.logicalSectors * 512));

    const std::string mnt = MakeDir(dir, "mnt");
    NodeMount mount(qim.node(), mnt, true);
    ASSERT_TRUE(mount.ok()) << mount.error();
    EXPECT_EQ(ReadText(mnt + "/which.txt"), "second\n");
}

// A mount record for a raw PC/AT hard disk, as any program may build it.
Bytes RawRecord(const PartitionedImage& image, std::uint32_t partitionIndex, bool readOnly)
{
    return MountRecordBytes({1, static_cast<std::uint32_t>(image.totalSectors), 16, 63, 512, 0, 0, 0, partitionIndex,
                             readOnly ? 1u : 0u},
                            image.path);
}

TEST_F(E2e, AnyProgramCanMountByRecordAddress)
{
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"a.txt", "A\n"}}, {{"b.txt", "B\n"}}, image, error)) << error;
    const int fd = ::open(qim.node().c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);

    Bytes record = RawRecord(image, 1, true);
    EXPECT_EQ(::ioctl(fd, qim::QIM_MOUNT, record.data()), 0) << std::strerror(errno) << qim.Log();
    EXPECT_EQ(NodeSize(), image.logicalSectors * 512);
    // The driver writes the answer into this process's memory.
    unsigned long sectors = 0;
    EXPECT_EQ(::ioctl(fd, kGetSize, &sectors), 0);
    EXPECT_EQ(sectors, image.logicalSectors);

    errno = 0;
    EXPECT_EQ(::ioctl(fd, qim::QIM_MOUNT, reinterpret_cast<void*>(8)), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(::ioctl(fd, kGetSize, reinterpret_cast<void*>(8)), -1);
    EXPECT_EQ(errno, EFAULT);
    // A record whose name runs past the end of readable memory.
    const long page = ::sysconf(_SC_PAGESIZE);
    void* twoPages = ::mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(twoPages, MAP_FAILED);
    ::munmap(static_cast<char*>(twoPages) + page, static_cast<std::size_t>(page));
    auto* tail = static_cast<std::uint8_t*>(twoPages) + page - 48;
    std::memcpy(tail, record.data(), 44);  // wNameLength says the name goes on past the page
    errno = 0;
    EXPECT_EQ(::ioctl(fd, qim::QIM_MOUNT, tail), -1);
    EXPECT_EQ(errno, EFAULT);
    ::munmap(twoPages, static_cast<std::size_t>(page));
    // Failed mounts leave the mounted image in place.
    EXPECT_EQ(NodeSize(), image.logicalSectors * 512) << qim.Log();

    EXPECT_EQ(::ioctl(fd, qim::QIM_UNMOUNT, 0), 0);
    EXPECT_EQ(NodeSize(), 0u);
    ::close(fd);
}

TEST_F(E2e, ReadOnlyRefusesWritesAndDdReadsExactlyTheDevice)
{
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"a.txt", "A\n"}}, {{"b.txt", "B\n"}}, image, error)) << error;
    const Bytes before = ReadFile(image.path);
    MountImage(image, true, 2);

    // Writers are refused at open, as by a write-protected block device.
    for (const int mode : {O_RDWR, O_WRONLY}) {
        errno = 0;
        EXPECT_EQ(::open(qim.node().c_str(), mode), -1);
        EXPECT_EQ(errno, EROFS);
    }
    const RunResult ddWrite = RunCommand({"dd", "if=/dev/zero", "of=" + qim.node(), "bs=4K", "count=4", "conv=notrunc"});
    EXPECT_NE(ddWrite.status, 0);

    // Whole-device reads, aligned and not, end exactly at the device's end.
    const Bytes device = ReadFileRange(image.path, image.logicalStart * 512, image.logicalSectors * 512);
    for (const char* bs : {"bs=1M", "bs=1000"}) {
        const std::string out = dir.file("whole.bin");
        const RunResult dd = RunCommand({"dd", "if=" + qim.node(), "of=" + out, bs, "status=none"});
        EXPECT_EQ(dd.status, 0) << dd.err;
        EXPECT_EQ(FileSize(out), image.logicalSectors * 512) << bs;
        EXPECT_TRUE(ReadFile(out) == device) << bs;
    }
    ASSERT_EQ(Qimc(qim.node(), {"u"}).status, 0);
    EXPECT_EQ(qim.Stop(), 0);
    EXPECT_TRUE(ReadFile(image.path) == before) << "a read-only mount changed the image";
}

// Readers check a region nobody writes, half of the reads in whole sectors;
// two writers share every sector of a second region, each writing only its
// own half of each sector, so a read-modify-write that is not atomic under
// the lock loses the other's data.
TEST_F(E2e, ConcurrentReadersAndWritersKeepTheData)
{
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {}, {}, image, error)) << error;
    MountImage(image, false, 1);
    constexpr std::uint64_t kStatic = 4 << 20;   // bytes [0, 4 MiB) are read only
    constexpr std::uint64_t kShared = 1 << 20;   // the writers' region follows
    const Bytes fixed = PatternBytes(0, kStatic, 11);
    {
        const int fd = ::open(qim.node().c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, fixed.data(), fixed.size(), 0), static_cast<ssize_t>(fixed.size()));
        ::close(fd);
    }
    Bytes model(kShared, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 4; ++r) {
        threads.emplace_back([&, r] {
            const int fd = ::open(qim.node().c_str(), O_RDONLY);
            std::mt19937 rng(static_cast<unsigned>(r));
            Bytes buf(256 * 1024);
            while (fd >= 0 && !stop) {
                std::uint64_t off = rng() % (kStatic - 1);
                std::size_t n = std::min<std::uint64_t>(1 + rng() % buf.size(), kStatic - off);
                // Whole sectors are served from the image's pages, the rest through a bounce buffer.
                if (rng() % 2 == 0) {
                    off -= off % 512;
                    n = std::max<std::size_t>(512, n - n % 512);
                }
                if (::pread(fd, buf.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n) ||
                    !std::equal(buf.begin(), buf.begin() + static_cast<long>(n), fixed.begin() + static_cast<long>(off)))
                    ++failures;
                ++reads;
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
    for (int half = 0; half < 2; ++half) {
        threads.emplace_back([&, half] {
            const int fd = ::open(qim.node().c_str(), O_WRONLY);
            std::mt19937 rng(static_cast<unsigned>(100 + half));
            for (int i = 0; fd >= 0 && !stop; ++i) {
                const std::uint64_t sector = rng() % (kShared / 512);
                const std::uint64_t off = sector * 512 + static_cast<std::uint64_t>(half) * 256;
                const Bytes data = PatternBytes(off, 256, static_cast<std::uint32_t>(i));
                if (::pwrite(fd, data.data(), data.size(), static_cast<off_t>(kStatic + off)) != 256)
                    ++failures;
                std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(off));
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 100);

    const int fd = ::open(qim.node().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Bytes shared(kShared);
    ASSERT_EQ(::pread(fd, shared.data(), shared.size(), kStatic), static_cast<ssize_t>(kShared));
    ::close(fd);
    EXPECT_TRUE(shared == model) << "a writer's half-sector was lost";
    ASSERT_EQ(Qimc(qim.node(), {"u"}).status, 0);
    EXPECT_EQ(qim.Stop(), 0);
    const Bytes image1 = ReadFileRange(image.path, image.primaryStart * 512 + kStatic, kShared);
    EXPECT_TRUE(image1 == model) << "the image file does not hold the writers' data";
}

// The node over each transport and the kernel's io_uring switch: qim names
// the transport it serves, and reads, writes, the ioctls, the size after an
// unmount and the stop behave alike over all of them.
struct TransportCase {
    const char* name;
    const char* transport;  // qim's --transport
    bool switchOn;
    const char* says;  // in qim's log
};

class Transports : public ::testing::TestWithParam<TransportCase> {};

TEST_P(Transports, ServeTheNodeAlike)
{
    const TransportCase c = GetParam();
    if (const std::string why = SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    const UringSwitch uring(c.switchOn);
    if (!uring.ok())
        GTEST_SKIP() << "this kernel has no FUSE over io_uring (/sys/module/fuse/parameters/enable_uring)";
    TempDir dir;
    QimServer qim{dir};
    ASSERT_TRUE(qim.Start(false, c.transport)) << qim.Log();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (qim.Log().find("serving over") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(qim.Log().find(c.says), std::string::npos) << qim.Log();

    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {}, {}, image, error)) << error;
    ASSERT_EQ(Qimc(qim.node(), RawMountArgs(image, false, 1)).status, 0x83) << qim.Log();
    const int fd = ::open(qim.node().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned long sectors = 0;
    ASSERT_EQ(::ioctl(fd, kGetSize, &sectors), 0);
    EXPECT_EQ(sectors, image.primarySectors);
    // Odd sizes and offsets, and readers side by side, as several ring entries serve them.
    constexpr std::size_t kBytes = (1 << 20) + 4097;
    const Bytes data = PatternBytes(0, kBytes, 27);
    ASSERT_EQ(::pwrite(fd, data.data(), kBytes, 513), static_cast<ssize_t>(kBytes));
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&, r] {
            Bytes back(kBytes - static_cast<std::size_t>(r) * 1000);
            if (::pread(fd, back.data(), back.size(), 513 + r * 1000) != static_cast<ssize_t>(back.size()) ||
                !std::equal(back.begin(), back.end(), data.begin() + r * 1000))
                ++bad;
        });
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    ::close(fd);
    ASSERT_EQ(Qimc(qim.node(), {"u"}).status, 0);
    struct stat st {};
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(qim.Stop(), 0) << qim.Log();
    EXPECT_TRUE(ReadFileRange(image.path, image.primaryStart * 512 + 513, kBytes) == data);
}

INSTANTIATE_TEST_SUITE_P(Node, Transports,
                         ::testing::Values(TransportCase{"Uring", "uring", true, "serving over io_uring"},
                                           TransportCase{"Dev", "dev", true, "serving over /dev/fuse (--transport=dev)"},
                                           TransportCase{"AutoSwitchedOff", "auto", false,
                                                         "serving over /dev/fuse: the kernel offers no io_uring"},
                                           TransportCase{"UringSwitchedOff", "uring", false,
                                                         "io_uring was asked for; serving over /dev/fuse"}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
