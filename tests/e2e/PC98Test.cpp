// SPDX-License-Identifier: MIT
// PC-98 emulator images end to end: qim serving the node, qimc mounting an
// Anex86 and a T98-Next hard disk by their PC-98 partition and a D88 floppy
// whole, mtools reading and writing the FAT file system on the node; then the
// files are in the image and every byte outside the disk is as it was.
#include "D88Image.h"
#include "E2eSupport.h"
#include "PC98Images.h"
#include "PartitionTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

using FileOffset = std::function<std::uint64_t(std::uint64_t)>;  // of a disk byte

struct Pc98Case {
    const char* name;
    const char* file;
    std::vector<std::string> mkfs;  // options and size in KiB of the FAT file system
    std::vector<std::string> mountArgs;  // after the image path
    // Writes the image holding the file system; returns where the disk's
    // bytes lie in the file and where the file system lies on the disk.
    std::function<FileOffset(const std::string& path, const Bytes& fs, std::uint64_t& diskBytes,
                             std::uint64_t& fsOffset)> write;
};

// 121 cylinders of 8 heads and 17 sectors; cylinders 1 to 120, 8,160 KiB, are the partition.
constexpr Chs kHardDisk = {121, 8, 17, 512};
constexpr std::uint64_t kCylinder = 8 * 17 * 512;

template <class Write> FileOffset HardDisk(const Bytes& fs, std::uint64_t& diskBytes, std::uint64_t& fsOffset,
                                           std::uint64_t dataOffset, Write write)
{
    Bytes disk(kHardDisk.bytes());
    Pc98Table table;
    table.slots[0] = MakePc98Slot(1, 120, "MS-DOS 6.2");
    WritePc98Table(disk, table);
    std::copy(fs.begin(), fs.end(), disk.begin() + static_cast<long>(kCylinder));
    write(disk);
    diskBytes = disk.size();
    fsOffset = kCylinder;
    return [dataOffset](std::uint64_t v) { return dataOffset + v; };
}

const Pc98Case kCases[] = {
    {"Anex86", "disk.hdi", {"-F", "16", "-s", "1", "8160"}, {"1"},
     [](const std::string& path, const Bytes& fs, std::uint64_t& diskBytes, std::uint64_t& fsOffset) {
         return HardDisk(fs, diskBytes, fsOffset, 4096, [&](const Bytes& d) { WriteAnex86Image(path, kHardDisk, d); });
     }},
    {"T98Next", "disk.nhd", {"-F", "16", "-s", "1", "8160"}, {"1"},
     [](const std::string& path, const Bytes& fs, std::uint64_t& diskBytes, std::uint64_t& fsOffset) {
         return HardDisk(fs, diskBytes, fsOffset, 512,
                         [&](const Bytes& d) { WriteT98NextHardImage(path, kHardDisk, d); });
     }},
    // 2HD of 1,024-byte sectors, its tracks stored last first, mounted whole.
    {"D88", "disk.d88", {"-F", "12", "-S", "1024", "1232"}, {"w"},
     [](const std::string& path, const Bytes& fs, std::uint64_t& diskBytes, std::uint64_t& fsOffset) {
         WriteD88Image(path, kD88ConformanceLayout, fs);
         diskBytes = fs.size();
         fsOffset = 0;
         return FileOffset([](std::uint64_t v) { return kD88ConformanceLayout.fileOffset(v); });
     }},
};

class PC98E2e : public ::testing::TestWithParam<Pc98Case> {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        for (const char* tool : {"mdir", "mcopy", "mkfs.fat", "fsck.fat"})
            if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
                GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs mtools and dosfstools)";
        ASSERT_TRUE(qim.Start()) << "qim did not come up: " << qim.Log();
    }

    RunResult Mtools(std::vector<std::string> argv) { return RunCommand(argv, 60, {"MTOOLS_SKIP_CHECK=1"}); }

    // hello.txt and written.bin are in the FAT file system of `image`, which checks clean.
    void ExpectFiles(const std::string& image, bool written)
    {
        const RunResult dir1 = Mtools({"mdir", "-i", image, "::"});
        EXPECT_NE(dir1.out.find("hello    txt"), std::string::npos) << dir1.out << dir1.err;
        EXPECT_EQ(Mtools({"mcopy", "-i", image, "::/hello.txt", "-"}).out, hello);
        if (written) {
            const RunResult get = Mtools({"mcopy", "-n", "-i", image, "::/written.bin", dir.file("back.bin")});
            EXPECT_EQ(get.status, 0) << get.err;
            EXPECT_TRUE(ReadFile(dir.file("back.bin")) == data);
        }
    }

    TempDir dir;
    QimServer qim{dir};
    const std::string hello = "hello, PC-98\n";
    const Bytes data = PatternBytes(0, 200 * 1024 + 5, 17);
};

TEST_P(PC98E2e, MountedThroughQimcAndWrittenWithMtools)
{
    const Pc98Case& c = GetParam();
    const std::string fsPath = dir.file("fs.img");
    std::vector<std::string> mkfs = {"mkfs.fat"};
    mkfs.insert(mkfs.end(), c.mkfs.begin(), c.mkfs.end() - 1);
    mkfs.insert(mkfs.end(), {"-C", fsPath, c.mkfs.back()});
    WriteFile(dir.file("hello.txt"), Bytes(hello.begin(), hello.end()));
    ASSERT_EQ(RunCommand(mkfs).status, 0);
    ASSERT_EQ(Mtools({"mcopy", "-i", fsPath, dir.file("hello.txt"), "::/hello.txt"}).status, 0);
    const Bytes fs = ReadFile(fsPath);
    const std::string path = dir.file(c.file);
    std::uint64_t diskBytes = 0, fsOffset = 0;
    const FileOffset fileOffset = c.write(path, fs, diskBytes, fsOffset);
    const Bytes before = ReadFile(path);

    std::vector<std::string> args = {"m", path};
    args.insert(args.end(), c.mountArgs.begin(), c.mountArgs.end());
    const RunResult mount = Qimc(qim.node(), args);
    ASSERT_EQ(mount.status, 0) << mount.out << mount.err << qim.Log();
    ExpectFiles(qim.node(), false);
    WriteFile(dir.file("written.bin"), data);
    EXPECT_EQ(Mtools({"mcopy", "-i", qim.node(), dir.file("written.bin"), "::/written.bin"}).status, 0);
    ExpectFiles(qim.node(), true);
    EXPECT_EQ(Qimc(qim.node(), {"u"}).status, 0) << qim.Log();
    EXPECT_EQ(qim.Stop(), 0);

    // Put back the disk's bytes as they were: nothing else of the file changed.
    Bytes after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size());
    Bytes disk(diskBytes);
    for (std::uint64_t v = 0; v < diskBytes; ++v) {
        disk[v] = after[fileOffset(v)];
        after[fileOffset(v)] = before[fileOffset(v)];
    }
    EXPECT_TRUE(after == before) << "bytes outside the disk changed";
    const auto fsStart = disk.begin() + static_cast<long>(fsOffset);
    EXPECT_TRUE(std::equal(disk.begin(), fsStart, before.begin() + static_cast<long>(fileOffset(0))))
        << "the partition table's cylinder changed";
    WriteFile(fsPath, Bytes(fsStart, fsStart + static_cast<long>(fs.size())));
    const RunResult fsck = RunCommand({"fsck.fat", "-n", fsPath});
    EXPECT_EQ(fsck.status, 0) << fsck.out;
    ExpectFiles(fsPath, true);
}

INSTANTIATE_TEST_SUITE_P(Images, PC98E2e, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
