// SPDX-License-Identifier: MIT
// A VMware 3 disk of two files whose ext2 partition spans the files'
// boundary, and a redo log over it, served by qim and mounted through the node.
#include "CowdImage.h"
#include "E2eSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

constexpr std::uint32_t kSectors = 1008 * 4270;                       // two files: 0x3FF800 sectors and the rest
constexpr std::uint64_t kPartStart = 4160000, kPartSectors = 131072;  // across sector 0x3FF800

std::string Text(const std::string& path)
{
    const Bytes b = ReadFile(path);
    return {b.begin(), b.end()};
}

// A partitioned raw disk with an ext2 file system, turned into a two-file
// VMware 3 disk holding only the small blocks that are not zero.
bool MakeDisk(const TempDir& dir, const Bytes& big, std::string& error)
{
    const std::string raw = dir.file("disk.raw");
    MakeSparseFile(raw, kSectors * 512ull);
    std::ofstream(dir.file("layout")) << "label: dos\nunit: sectors\n" << kPartStart << "," << kPartSectors << ",83\n";
    const RunResult sfdisk = RunCommand({"sh", "-c", "sfdisk -q '" + raw + "' < '" + dir.file("layout") + "'"});
    ::mkdir(dir.file("content").c_str(), 0700);
    WriteFile(dir.file("content/big.bin"), big);
    WriteFile(dir.file("content/hello.txt"), Bytes{'h', 'i', '\n'});
    const RunResult mk = RunCommand({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-E",
                                     "offset=" + std::to_string(kPartStart * 512), "-d", dir.file("content"), raw,
                                     std::to_string(kPartSectors / 2) + "k"},
                                    120);
    if (sfdisk.status != 0 || mk.status != 0) {
        error = sfdisk.err + mk.err;
        return false;
    }
    DiskRuns runs = {{0, ReadFileRange(raw, 0, 512)}};
    for (std::uint64_t at = kPartStart * 512; at < (kPartStart + kPartSectors) * 512; at += kCowdSmallBlock) {
        Bytes block = ReadFileRange(raw, at, kCowdSmallBlock);
        if (std::any_of(block.begin(), block.end(), [](std::uint8_t b) { return b != 0; }))
            runs[at] = std::move(block);
    }
    WriteCowdDisk(dir.file("disk.vmdk"), {.totalSectors = kSectors}, runs);
    return true;
}

TEST(VMware3E2e, RedoLogOverATwoFileDiskMountsAndKeepsTheParent)
{
    if (const std::string why = SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    TempDir dir;
    const Bytes big = PatternBytes(0, 3 << 20, 31);
    std::string error;
    ASSERT_TRUE(MakeDisk(dir, big, error)) << error;
    const auto redo = WriteCowdDisk(dir.file("redo.vmdk"), {.totalSectors = kSectors, .parentName = "disk.vmdk"}, {});
    ASSERT_EQ(redo.size(), 2u);
    ASSERT_GT(FileSize(dir.file("disk-02.vmdk")), 100000u) << "the file system reaches the second file";
    const std::vector<std::string> parents = {dir.file("disk.vmdk"), dir.file("disk-02.vmdk")};
    std::vector<Bytes> before;
    for (const auto& f : parents)
        before.push_back(ReadFile(f));

    QimServer qim(dir);
    ASSERT_TRUE(qim.Start()) << qim.Log();
    const std::string mnt = dir.file("mnt");
    ::mkdir(mnt.c_str(), 0700);
    const Bytes written = PatternBytes(0, 5 << 20, 32);
    for (const std::string& image : {parents[0], redo[0]}) {
        // The plain disk read-only, then the redo log read-write.
        const bool readOnly = image == parents[0];
        RunResult r = Qimc(qim.node(), readOnly ? std::vector<std::string>{"m", image, "r", "1"}
                                                : std::vector<std::string>{"m", image, "1"});
        ASSERT_EQ(r.status, 0x83) << r.out << r.err << qim.Log();
        NodeMount mount(qim.node(), mnt, readOnly);
        ASSERT_TRUE(mount.ok()) << mount.error() << qim.Log();
        EXPECT_EQ(Text(mnt + "/hello.txt"), "hi\n");
        EXPECT_TRUE(ReadFile(mnt + "/big.bin") == big);
        if (!readOnly) {
            WriteFile(mnt + "/written.bin", written);
            WriteFile(mnt + "/hello.txt", Bytes{'r', 'e', 'd', 'o', '\n'});
        }
        EXPECT_TRUE(mount.Unmount());
        r = Qimc(qim.node(), {"u"});
        EXPECT_EQ(r.status, 0) << r.out << qim.Log();
    }

    // The redo log again, read-only: what was written is there and the file system is clean.
    RunResult r = Qimc(qim.node(), {"m", redo[0], "r", "1"});
    ASSERT_EQ(r.status, 0x83) << r.out << r.err << qim.Log();
    const RunResult fsck = RunCommand({"e2fsck", "-fn", qim.node()}, 120);
    EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
    {
        NodeMount mount(qim.node(), mnt, true);
        ASSERT_TRUE(mount.ok()) << mount.error() << qim.Log();
        EXPECT_EQ(Text(mnt + "/hello.txt"), "redo\n");
        EXPECT_TRUE(ReadFile(mnt + "/written.bin") == written);
        EXPECT_TRUE(mount.Unmount());
    }
    EXPECT_EQ(Qimc(qim.node(), {"u"}).status, 0);
    EXPECT_EQ(qim.Stop(), 0);
    for (std::size_t k = 0; k < parents.size(); ++k)
        EXPECT_TRUE(ReadFile(parents[k]) == before[k]) << parents[k] << " changed";
}

}  // namespace
