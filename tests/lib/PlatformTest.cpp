// The Nk layer in both builds, and the differences between them.
#include "BuildFlavor.h"
#include "Nk.h"
#include "TempDir.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

// A short transfer fails in user space; in the kernel it succeeds and the rest
// of the buffer keeps its contents.
TEST(Platform, ShortReadDiffersByBuild)
{
    TempDir dir;
    const std::string path = dir.file("f");
    const Bytes content = PatternBytes(0, 1000, 5);
    WriteFile(path, content);
    OpenFile f;
    ASSERT_EQ(NkCreateFile(path.c_str(), 1, &f.h), 1);
    Bytes buffer(512, 0xCC);
    const int ok = NkReadFile(f.h, 900, 512, buffer.data());
    if (kKernelBuild) {
        EXPECT_EQ(ok, 1);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, content.begin() + 900));
        EXPECT_TRUE(std::all_of(buffer.begin() + 100, buffer.end(), [](std::uint8_t b) { return b == 0xCC; }));
    } else {
        EXPECT_EQ(ok, 0);
    }
}

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
