// SPDX-License-Identifier: MIT
// The Nk layer in both builds, and the differences between them.
#include "BuildFlavor.h"
#include "Nk.h"
#include "TempDir.h"

#if defined(QIM_BUILD_KERN)
#include "NkKern.h"
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qim;
using namespace qimtest;

namespace {

struct OpenFile {
    NkHandle h = nullptr;
    ~OpenFile()
    {
        if (h != nullptr)
            NkCloseFile(h);
    }
};

TEST(Platform, OpenNeverCreatesAndRespectsPermissions)
{
    TempDir dir;
    const std::string missing = dir.file("missing");
    NkHandle sentinel = reinterpret_cast<NkHandle>(0x1234);
    NkHandle h = sentinel;
    EXPECT_EQ(NkCreateFile(missing.c_str(), 1, &h), 0);
    EXPECT_EQ(NkCreateFile(missing.c_str(), 0, &h), 0);
    EXPECT_EQ(h, sentinel) << "a failed open leaves the slot untouched";
    EXPECT_NE(::access(missing.c_str(), F_OK), 0) << "open must not create";

    const std::string ro = dir.file("ro");
    WriteFile(ro, Bytes(16, 7));
    ::chmod(ro.c_str(), 0444);
    OpenFile f;
    EXPECT_EQ(NkCreateFile(ro.c_str(), 1, &f.h), 1);
    // Root ignores file permissions, so only an ordinary user sees the refusal.
    if (::geteuid() != 0) {
        EXPECT_EQ(NkCreateFile(ro.c_str(), 0, &h), 0);
    }
}

TEST(Platform, SizesIncludingPast4GiB)
{
    TempDir dir;
    const std::string empty = dir.file("empty");
    WriteFile(empty, {});
    OpenFile a;
    ASSERT_EQ(NkCreateFile(empty.c_str(), 1, &a.h), 1);
    std::uint64_t size = 99;
    ASSERT_EQ(NkGetFileSize(a.h, &size), 1);
    EXPECT_EQ(size, 0u);

    const std::string big = dir.file("big");
    MakeSparseFile(big, (std::uint64_t{5} << 30) + 3);
    OpenFile b;
    ASSERT_EQ(NkCreateFile(big.c_str(), 1, &b.h), 1);
    ASSERT_EQ(NkGetFileSize(b.h, &size), 1);
    EXPECT_EQ(size, (std::uint64_t{5} << 30) + 3);
    EXPECT_NE(size >> 32, 0u);
}

TEST(Platform, TransfersAtAnyPositionAndAlternating)
{
    TempDir dir;
    const std::string path = dir.file("f");
    MakeSparseFile(path, (std::uint64_t{1} << 32) + 4096);
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 0, &f.h), 1);

    const Bytes data = PatternBytes(0, 1000, 3);
    const std::uint64_t far = (std::uint64_t{1} << 32) + 17;
    ASSERT_EQ(NkWriteFile(f.h, far, 1000, data.data()), 1);
    ASSERT_EQ(NkWriteFile(f.h, 5, 3, data.data()), 1);
    Bytes back(1000);
    ASSERT_EQ(NkReadFile(f.h, far, 1000, back.data()), 1);
    EXPECT_EQ(back, data);
    ASSERT_EQ(NkReadFile(f.h, 5, 3, back.data()), 1);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 3, data.begin()));
    EXPECT_EQ(NkReadFile(f.h, 4096, 0, back.data()), 1) << "a zero-length read succeeds";
    EXPECT_EQ(ReadFileRange(path, far, 1000), data);
}

TEST(Platform, WriteToReadOnlyHandleFails)
{
    TempDir dir;
    const std::string path = dir.file("f");
    WriteFile(path, Bytes(512, 1));
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 1, &f.h), 1);
    const Bytes zeros(512, 0);
    EXPECT_EQ(NkWriteFile(f.h, 0, 512, zeros.data()), 0);
    EXPECT_EQ(ReadFile(path), Bytes(512, 1));
}

// Cutting a file back keeps the bytes before the cut, a written byte just
// before it included (stdio buffers are flushed first); a read-only handle cuts nothing.
TEST(Platform, SetFileSizeCutsBackWritableFilesOnly)
{
    TempDir dir;
    const std::string path = dir.file("f");
    const Bytes data = PatternBytes(0, 3000, 5);
    WriteFile(path, data);
    {
        OpenFile ro;
        ASSERT_EQ(NkCreateFile(path.c_str(), 1, &ro.h), 1);
        EXPECT_EQ(NkSetFileSize(ro.h, 100), 0);
    }
    EXPECT_EQ(FileSize(path), 3000u);
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 0, &f.h), 1);
    const Bytes grown(70000, 0x5A);
    ASSERT_EQ(NkWriteFile(f.h, 3000, 70000, grown.data()), 1);
    ASSERT_EQ(NkWriteFile(f.h, 1999, 1, grown.data()), 1);
    ASSERT_EQ(NkSetFileSize(f.h, 2000), 1);
    std::uint64_t size = 0;
    ASSERT_EQ(NkGetFileSize(f.h, &size), 1);
    EXPECT_EQ(size, 2000u);
    Bytes expected(data.begin(), data.begin() + 2000);
    expected[1999] = 0x5A;
    EXPECT_EQ(ReadFile(path), expected);
}

// A read past the end fails in user space; in the kernel it succeeds and the
// missing bytes are zeros, whatever the buffer held before.
TEST(Platform, ShortReadDiffersByBuild)
{
    TempDir dir;
    const std::string path = dir.file("f");
    const Bytes content = PatternBytes(0, 1000, 5);
    WriteFile(path, content);
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 1, &f.h), 1);
    for (const std::uint64_t offset : {std::uint64_t{900}, std::uint64_t{4096}}) {
        Bytes buffer(512, 0xCC);
        const int ok = NkReadFile(f.h, offset, 512, buffer.data());
        if (!kKernelBuild) {
            EXPECT_EQ(ok, 0);
            continue;
        }
        EXPECT_EQ(ok, 1);
        const std::size_t inFile = offset < content.size() ? content.size() - offset : 0;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + inFile, content.begin() + offset));
        EXPECT_TRUE(std::all_of(buffer.begin() + inFile, buffer.end(), [](std::uint8_t b) { return b == 0; }))
            << "offset " << offset;
    }
}

// A write the file takes only in part fails in both builds: here the file
// size limit lets 16 KiB of 64 KiB in, as a nearly full file system would.
TEST(Platform, WriteStoredOnlyInPartFails)
{
    TempDir dir;
    const std::string path = dir.file("f");
    WriteFile(path, {});
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 0, &f.h), 1);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 16384;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Bytes data = PatternBytes(0, 65536, 9);
    const int ok = NkWriteFile(f.h, 0, 65536, data.data());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(ReadFile(path).size(), 16384u) << "the limit did not cut the write short";
}

// Only regular files and block devices open as images, in either mode, and
// nothing else is ever opened: a FIFO with no writer would block for ever.
TEST(Platform, OnlyRegularFilesAndBlockDevicesOpen)
{
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = dir.file("dir");
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    const std::string socketPath = dir.file("sock");
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::string link = dir.file("link-to-fifo");
    ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
    for (const std::string& path : {fifo, directory, socketPath, std::string("/dev/null"), link})
        for (const std::uint32_t readOnly : {1u, 0u}) {
            NkHandle h = nullptr;
            EXPECT_EQ(NkCreateFile(path.c_str(), readOnly, &h), 0) << path << " readOnly " << readOnly;
            if (h != nullptr)
                NkCloseFile(h);
        }
    NkHandle h = nullptr;
    EXPECT_EQ(NkCreateFileNew(fifo.c_str(), &h), 0);
    ::close(s);
}

#if defined(QIM_BUILD_KERN)
// The driver's own node is refused by any name: opening it from inside the
// driver would wait for the driver.
TEST(Platform, DriverNodeIsNoImage)
{
    TempDir dir;
    const std::string node = dir.file("node");
    WriteFile(node, Bytes(512, 1));
    const std::string link = dir.file("link");
    ASSERT_EQ(::symlink(node.c_str(), link.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(::stat(node.c_str(), &st), 0);
    NkKernSetDriverNode(1, st.st_dev, st.st_ino);
    NkHandle h = nullptr;
    EXPECT_EQ(NkCreateFile(node.c_str(), 1, &h), 0);
    EXPECT_EQ(NkCreateFile(link.c_str(), 0, &h), 0);
    EXPECT_EQ(NkCreateFileNew(node.c_str(), &h), 0);
    NkKernSetDriverNode(1, 0, 0);
    OpenFile f;
    EXPECT_EQ(NkCreateFile(link.c_str(), 1, &f.h), 1);
}
#endif

TEST(Platform, CreateNewTruncatesOnlyInUserSpace)
{
    TempDir dir;
    const std::string path = dir.file("f");
    WriteFile(path, Bytes(300, 9));
    OpenFile f;
    ASSERT_EQ(NkCreateFileNew(path.c_str(), &f.h), 1);
    std::uint64_t size = 0;
    ASSERT_EQ(NkGetFileSize(f.h, &size), 1);
    EXPECT_EQ(size, kKernelBuild ? 300u : 0u);

    const std::string fresh = dir.file("fresh");
    OpenFile g;
    ASSERT_EQ(NkCreateFileNew(fresh.c_str(), &g.h), 1);
    const Bytes one(1, 4);
    EXPECT_EQ(NkWriteFile(g.h, 0, 1, one.data()), 1);
    EXPECT_EQ(NkGetSecFrom2K(), kKernelBuild ? 0 : 1);
}

TEST(Platform, CompareStringAndAtoi)
{
    EXPECT_EQ(NkCompareString("vmdk", "VMDK", 0), 0);
    EXPECT_NE(NkCompareString("vmdk", "VMDK", 1), 0);
    EXPECT_LT(NkCompareString("abc", "abd", 1), 0);
    EXPECT_GT(NkCompareString("abc", "ab", 0), 0);
    // Unsigned bytes: 0xE9 sorts after 'z'.
    EXPECT_GT(NkCompareString("\xE9", "z", 1), 0);
    EXPECT_LT(NkCompareString("[", "a", 1), 0);

    EXPECT_EQ(qim::atoi("-12x"), -12);
    EXPECT_EQ(qim::atoi("2048"), 2048);
    EXPECT_EQ(qim::atoi("x"), 0);
    EXPECT_EQ(qim::atoi(" 7"), kKernelBuild ? 0 : 7) << "only the kernel does not skip blanks";
}

TEST(Platform, MemoryHelpers)
{
    void* p = NkMalloc(64);
    ASSERT_NE(p, nullptr);
    const Bytes src = PatternBytes(0, 64, 9);
    NkCopyMemory(p, src.data(), 64);
    EXPECT_EQ(std::memcmp(p, src.data(), 64), 0);
    NkFree(p);
    NkFree(nullptr);
}

}  // namespace
