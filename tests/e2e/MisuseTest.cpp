// SPDX-License-Identifier: MIT
// The node and the control program as a careless user or an adversary meets
// them: writes the image takes only in part, images that shrink or are no
// images at all, signals while mounted, a second or a killed qim, read-only
// images under a plain mount.
#include "E2eSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

constexpr std::uint64_t kFloppyBytes = 0x168000;  // 1.44 MB, mounted whole without questions

class Misuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
    }

    void StartQim(bool ignoringSigint = false) { ASSERT_TRUE(qim.Start(ignoringSigint)) << qim.Log(); }

    // A 1.44 MB floppy image filled with fill (sparse when fill is 0).
    std::string Floppy(const std::string& name, std::uint8_t fill) const
    {
        const std::string path = dir.file(name);
        if (fill == 0)
            MakeSparseFile(path, kFloppyBytes);
        else
            WriteFile(path, Bytes(kFloppyBytes, fill));
        return path;
    }

    void MountFloppy(const std::string& path, bool readOnly)
    {
        const RunResult r = Qimc(qim.node(), {"m", path, readOnly ? "r" : "w"});
        ASSERT_EQ(r.status, 0) << r.out << r.err << qim.Log();
    }

    std::string MakeDir(const std::string& name) const
    {
        const std::string path = dir.file(name);
        ::mkdir(path.c_str(), 0700);
        return path;
    }

    TempDir dir;
    QimServer qim{dir};
};

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A write the image's file system takes only in part reaches the writer as a
// failure, never as a whole write.
TEST_F(Misuse, WriteTheImageTakesInPartFails)
{
    StartQim();
    const std::string small = MakeDir("small");
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    const std::string image = small + "/full.flp";
    MakeSparseFile(image, kFloppyBytes);
    MountFloppy(image, false);
    // Fill the file system, then free four pages: 16 KiB of the 64 KiB fit.
    const std::string filler = small + "/filler";
    {
        Fd f{::open(filler.c_str(), O_WRONLY | O_CREAT, 0600)};
        const Bytes page(4096, 1);
        while (::write(f.fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        }
    }
    struct stat st {};
    ASSERT_EQ(::stat(filler.c_str(), &st), 0);
    ASSERT_EQ(::truncate(filler.c_str(), st.st_size - 16384), 0);

    Fd node{::open(qim.node().c_str(), O_RDWR)};
    ASSERT_GE(node.fd, 0);
    const Bytes data = PatternBytes(0, 65536, 5);
    const ssize_t n = ::pwrite(node.fd, data.data(), data.size(), 512 * 1024);
    const int writeErrno = errno;
    EXPECT_LT(n, 0) << "the write was reported as " << n << " bytes";
    if (n < 0) {
        EXPECT_EQ(writeErrno, ENOSPC) << std::strerror(writeErrno);
    }
    EXPECT_NE(qim.Log().find("qim: a write to qim0 failed: no space left on the image's file system"), std::string::npos)
        << qim.Log();
}

// An fsync of the node fails when the image's bytes cannot be made durable.
// The image lies on an ext2 in a loop device whose backing file lies on a
// full tmpfs: the write lands in the image's page cache, its flush does not.
TEST_F(Misuse, FsyncTheImageCannotFlushFails)
{
    StartQim();
    const std::string small = MakeDir("small");
    const std::string ext = MakeDir("ext");
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m"), 0) << std::strerror(errno);
    std::string loop;
    // qim holds the image open, so it goes first; each layer then goes even
    // when the one above it would not.
    struct Teardown {
        std::function<void()> run;
        ~Teardown() { run(); }
    } teardown{[&] {
        qim.Stop();
        if (::umount2(ext.c_str(), 0) != 0)
            ::umount2(ext.c_str(), MNT_DETACH);
        if (!loop.empty())
            RunCommand({"losetup", "-d", loop}, 30);
        ::umount2(small.c_str(), MNT_DETACH);
    }};
    const std::string backing = small + "/backing";
    MakeSparseFile(backing, 32 << 20);
    const RunResult mk = RunCommand({"mke2fs", "-q", "-F", "-t", "ext2", backing}, 60);
    ASSERT_EQ(mk.status, 0) << mk.err;
    const RunResult attach = RunCommand({"losetup", "--find", "--show", backing}, 30);
    ASSERT_EQ(attach.status, 0) << attach.err;
    loop = attach.out.substr(0, attach.out.find('\n'));
    ASSERT_EQ(::mount(loop.c_str(), ext.c_str(), "ext2", 0, nullptr), 0) << std::strerror(errno);
    const std::string image = ext + "/a.flp";
    MakeSparseFile(image, kFloppyBytes);
    MountFloppy(image, false);
    ::sync();
    {
        Fd f{::open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0600)};
        const Bytes page(4096, 1);
        while (::write(f.fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        }
    }

    Fd node{::open(qim.node().c_str(), O_RDWR)};
    ASSERT_GE(node.fd, 0);
    const Bytes data = PatternBytes(0, 65536, 9);
    ASSERT_EQ(::pwrite(node.fd, data.data(), data.size(), 512 * 1024), static_cast<ssize_t>(data.size()));
    errno = 0;
    EXPECT_EQ(::fsync(node.fd), -1) << "the fsync was reported as done";
    EXPECT_EQ(errno, EIO) << std::strerror(errno);
}

// After the image file shrinks under the mount, the bytes past its new end
// read as zeros, never as the bytes of an image read before.
TEST_F(Misuse, ShrunkImageReadsZerosPastItsEnd)
{
    StartQim();
    const std::string first = Floppy("first.flp", 0x11);
    MountFloppy(first, true);
    {
        Fd node{::open(qim.node().c_str(), O_RDONLY)};
        Bytes all(kFloppyBytes);
        ASSERT_EQ(::pread(node.fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
        ASSERT_EQ(all[kFloppyBytes - 1], 0x11);
    }
    const std::string second = Floppy("second.flp", 0x22);
    MountFloppy(second, true);
    ASSERT_EQ(::truncate(second.c_str(), 512 * 1024), 0);
    Fd node{::open(qim.node().c_str(), O_RDONLY)};
    Bytes got(kFloppyBytes, 0x77);
    ASSERT_EQ(::pread(node.fd, got.data(), got.size(), 0), static_cast<ssize_t>(got.size()));
    EXPECT_TRUE(std::all_of(got.begin(), got.begin() + 512 * 1024, [](std::uint8_t b) { return b == 0x22; }));
    const auto stale = std::find_if(got.begin() + 512 * 1024, got.end(), [](std::uint8_t b) { return b != 0; });
    EXPECT_EQ(stale, got.end()) << "byte " << (stale - got.begin()) << " past the end is "
                                << (stale != got.end() ? int{*stale} : 0);
}

// SIGTERM while the node is open does not unload: qim says so, keeps serving,
// and unloads once the last opener has gone.
TEST_F(Misuse, StopSignalWaitsForTheLastOpener)
{
    StartQim();
    const std::string image = Floppy("a.flp", 0x33);
    MountFloppy(image, false);
    Fd node{::open(qim.node().c_str(), O_RDWR)};
    ASSERT_GE(node.fd, 0);
    qim.Signal(SIGTERM);
    EXPECT_EQ(qim.WaitExit(1), std::nullopt) << "qim unloaded while the node was open: " << qim.Log();
    qim.Signal(SIGINT);
    EXPECT_EQ(qim.WaitExit(1), std::nullopt) << qim.Log();
    const Bytes data = PatternBytes(0, 4096, 8);
    EXPECT_EQ(::pwrite(node.fd, data.data(), data.size(), 8192), 4096);
    EXPECT_EQ(::fsync(node.fd), 0);
    const std::string log = qim.Log();
    const std::string inUse = "is in use";
    const std::size_t first = log.find(inUse);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(inUse, first + 1), std::string::npos) << "the second signal is not answered: " << log;

    ::close(node.fd);
    node.fd = -1;
    EXPECT_EQ(qim.WaitExit(10), 0) << qim.Log();
    EXPECT_EQ(ReadFileRange(image, 8192, 4096), data);
}

// Started with SIGINT ignored, as a script's background job is, qim still ends on SIGINT.
TEST_F(Misuse, InheritedIgnoredSigintStillUnloads)
{
    StartQim(true);
    qim.Signal(SIGINT);
    EXPECT_EQ(qim.WaitExit(10), 0) << qim.Log();
}

// Unmounted by someone else while an image is mounted and requests have been
// served, qim ends as on a signal and unloads the driver.
TEST_F(Misuse, NodeUnmountedFromOutsideEndsQim)
{
    StartQim();
    const std::string image = Floppy("a.flp", 0x5a);
    MountFloppy(image, true);
    EXPECT_EQ(ReadFileRange(qim.node(), 4096, 512), Bytes(512, 0x5a));
    ASSERT_EQ(::umount2(qim.node().c_str(), 0), 0) << std::strerror(errno);
    EXPECT_EQ(qim.WaitExit(10), 0) << qim.Log();
    EXPECT_NE(qim.Log().find("the driver is unloaded"), std::string::npos) << qim.Log();
}

// The node as its own image, by its name or a link, is refused at once; the
// node stays usable.
TEST_F(Misuse, NodeIsNotItsOwnImage)
{
    StartQim();
    const std::string link = dir.file("link-to-node");
    ASSERT_EQ(::symlink(qim.node().c_str(), link.c_str()), 0);
    for (const std::string& name : {qim.node(), link}) {
        const std::vector<std::string> args{"m", name, "r", "f", "0", "512", "0", "2", "18"};
        const RunResult r = RunCommand([&] {
            std::vector<std::string> argv{QimcPath()};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }(), 15, {"QIM_DEVICE=" + qim.node()});
        ASSERT_FALSE(r.timedOut) << "qimc hung on " << name;
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, "mount error\n") << name;
    }
    EXPECT_NE(qim.Log().find("<1>qim: image error"), std::string::npos) << qim.Log();
    const std::string image = Floppy("a.flp", 0x44);
    MountFloppy(image, true);
    struct stat st {};
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kFloppyBytes);
}

// A FIFO, a directory, a socket or a character device is no image: refused
// at once, in qimc and in the driver.
TEST_F(Misuse, OnlyRegularFilesAndBlockDevicesAreImages)
{
    StartQim();
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = MakeDir("directory");
    const std::string socketPath = dir.file("socket");
    Fd s{::socket(AF_UNIX, SOCK_STREAM, 0)};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    for (const std::string& name : {fifo, directory, socketPath, std::string("/dev/zero")}) {
        std::vector<std::string> argv{QimcPath(), "m", name, "r", "f", "0", "512", "2880", "2", "18"};
        const RunResult r = RunCommand(argv, 15, {"QIM_DEVICE=" + qim.node()});
        ASSERT_FALSE(r.timedOut) << "qimc hung on " << name;
        EXPECT_EQ(r.status, 255) << name << ": " << r.out;
        EXPECT_EQ(r.out, "failed\n") << name;
        EXPECT_NE(r.err, "") << name << ": no reason given";
    }
    struct stat st {};
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "something was mounted";
}

// --node without a path says so, and the help's example is the one that runs.
TEST_F(Misuse, NodeOptionNeedsAPath)
{
    for (const std::vector<std::string>& argv : {std::vector<std::string>{QimPath(), "--node"},
                                                 {QimPath(), "--node="}, {QimPath(), "--debug", "--node"}}) {
        const RunResult r = RunCommand(argv, 10);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("qim: --node needs a path\n", 0), 0u) << r.err;
    }
    const RunResult help = RunCommand({QimPath(), "--help"}, 10);
    EXPECT_NE(help.out.find("  qimc m disk.vmdk 1; [ $? != 255 ] && mount /dev/qim0 /mnt\n"), std::string::npos)
        << help.out;
}

// A second qim on a served node refuses to start and leaves the first one serving.
TEST_F(Misuse, SecondQimOnAServedNodeRefuses)
{
    StartQim();
    const RunResult second = RunCommand({QimPath(), "--node", qim.node()}, 10);
    ASSERT_FALSE(second.timedOut) << "the second qim kept running";
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err.rfind("qim: " + qim.node() + " is already served\n", 0), 0u) << second.err;
    const std::string image = Floppy("a.flp", 0x55);
    MountFloppy(image, true);
    struct stat st {};
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kFloppyBytes);
}

// After qim was killed, the next one clears the dead mount and serves; a
// loop device still on the dead node is named with what to run.
TEST_F(Misuse, KilledQimsDeadMountIsCleared)
{
    StartQim();
    const std::string image = Floppy("a.flp", 0x66);
    MountFloppy(image, true);
    const RunResult loop = RunCommand({"losetup", "--find", "--show", "--read-only", qim.node()});
    ASSERT_EQ(loop.status, 0) << loop.err;
    std::string loopDevice = loop.out.substr(0, loop.out.find('\n'));
    struct Detach {
        std::string device;
        ~Detach() { RunCommand({"losetup", "-d", device}); }
    } detach{loopDevice};
    qim.Signal(SIGKILL);
    ASSERT_EQ(qim.WaitExit(10), -1);
    ASSERT_TRUE(IsMountPoint(qim.node())) << "no dead mount was left";

    QimServer again{dir};
    ASSERT_TRUE(again.Start()) << again.Log();
    const std::string log = again.Log();
    EXPECT_NE(log.find("dead mount"), std::string::npos) << log;
    EXPECT_NE(log.find(loopDevice + " still sits on the dead node"), std::string::npos) << log;
    EXPECT_NE(log.find("losetup -d " + loopDevice), std::string::npos) << log;
    MountFloppy(image, true);
    EXPECT_EQ(again.Stop(), 0) << again.Log();
}

// While a read-only image is mounted the node is 0440 and refuses openers for
// writing, so that a plain mount falls back to read-only by itself.
TEST_F(Misuse, ReadOnlyImageMountsReadOnlyWithPlainMount)
{
    StartQim();
    PartitionedImage image;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "hi\n"}}, {}, image, error)) << error;
    const Bytes before = ReadFile(image.path);
    const RunResult m = Qimc(qim.node(), RawMountArgs(image, true, 1));
    ASSERT_EQ(m.status, 0x83) << m.out << qim.Log();
    struct stat st {};
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0440u);
    errno = 0;
    EXPECT_LT(::open(qim.node().c_str(), O_RDWR), 0);
    EXPECT_EQ(errno, EROFS);

    const std::string mnt = MakeDir("mnt");
    const RunResult mount = RunCommand({"mount", qim.node(), mnt}, 30);
    EXPECT_EQ(mount.status, 0) << mount.out << mount.err;
    if (mount.status == 0) {
        const RunResult cat = RunCommand({"cat", mnt + "/hello.txt"});
        EXPECT_EQ(cat.out, "hi\n");
        EXPECT_EQ(::access((mnt + "/hello.txt").c_str(), W_OK), -1);
        EXPECT_EQ(errno, EROFS);
        EXPECT_EQ(RunCommand({"umount", mnt}, 30).status, 0);
    }
    EXPECT_EQ(Qimc(qim.node(), {"u"}).status, 0);
    EXPECT_EQ(ReadFile(image.path), before);

    // A read-write image makes the node writable again.
    ASSERT_EQ(Qimc(qim.node(), RawMountArgs(image, false, 1)).status, 0x83);
    ASSERT_EQ(::stat(qim.node().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    Fd rw{::open(qim.node().c_str(), O_RDWR)};
    EXPECT_GE(rw.fd, 0);
}

}  // namespace
