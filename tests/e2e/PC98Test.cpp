// PC-98 emulator images end to end: qim serving the node, qimc mounting an
// Anex86 and a T98-Next hard disk by their PC-98 partition and a D88 floppy
// whole, mtools reading and writing the FAT file system on the node, and
// afterwards the files in the image with every header byte as it was.
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

const std::vector<std::string> kMtoolsEnv = {"MTOOLS_SKIP_CHECK=1"};

bool HaveTools()
{
    for (const char* tool : {"mdir", "mcopy", "mkfs.fat", "fsck.fat"})
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
            return false;
    return true;
}

// A FAT file system of kib KiB made by mkfs.fat with the extra options, holding hello.txt.
bool MakeFat(const TempDir& dir, std::uint32_t kib, const std::vector<std::string>& options,
             const std::string& hello, Bytes& fs, std::string& error)
{
    const std::string path = dir.file("fs.img");
    std::vector<std::string> argv = {"mkfs.fat", "-C", path};
    argv.insert(argv.begin() + 1, options.begin(), options.end());
    argv.push_back(std::to_string(kib));
    RunResult r = RunCommand(argv);
    WriteFile(dir.file("hello.txt"), Bytes(hello.begin(), hello.end()));
    if (r.status == 0)
        r = RunCommand({"mcopy", "-i", path, dir.file("hello.txt"), "::/hello.txt"}, 60, kMtoolsEnv);
    if (r.status != 0) {
        error = r.out + r.err;
        return false;
    }
    fs = ReadFile(path);
    std::remove(path.c_str());
    return true;
}

struct Pc98Case {
    const char* name;
    const char* file;
    // Writes the image holding the disk; returns the file offset of a disk byte.
    std::function<std::function<std::uint64_t(std::uint64_t)>(const std::string& path, const Bytes& disk)> write;
};

class PC98FloppyE2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        if (!HaveTools())
            GTEST_SKIP() << "mtools or dosfstools are not installed (scripts/setup.sh installs them)";
        ASSERT_TRUE(qim.Start()) << "qim did not come up: " << qim.Log();
    }

    // Mounts the image with qimc, checks the file system on the node with
    // mtools, writes a file, unmounts; returns the disk's bytes afterwards.
    void Cycle(const std::vector<std::string>& mountArgs, const std::string& hello, const Bytes& written)
    {
        const RunResult mount = Qimc(qim.node(), mountArgs);
        ASSERT_EQ(mount.status, 0) << mount.out << mount.err << qim.Log();
        ASSERT_EQ(mount.out, "");
        const RunResult dir1 = RunCommand({"mdir", "-i", qim.node(), "::"}, 60, kMtoolsEnv);
        EXPECT_EQ(dir1.status, 0) << dir1.err;
        EXPECT_NE(dir1.out.find("hello    txt"), std::string::npos) << dir1.out;
        const RunResult cat = RunCommand({"mcopy", "-i", qim.node(), "::/hello.txt", "-"}, 60, kMtoolsEnv);
        EXPECT_EQ(cat.out, hello) << cat.err;

        WriteFile(dir.file("written.bin"), written);
        const RunResult put =
            RunCommand({"mcopy", "-i", qim.node(), dir.file("written.bin"), "::/written.bin"}, 60, kMtoolsEnv);
        EXPECT_EQ(put.status, 0) << put.err;
        const RunResult back =
            RunCommand({"mcopy", "-n", "-i", qim.node(), "::/written.bin", dir.file("back.bin")}, 60, kMtoolsEnv);
        EXPECT_EQ(back.status, 0) << back.err;
        EXPECT_TRUE(ReadFile(dir.file("back.bin")) == written);

        const RunResult unmount = Qimc(qim.node(), {"u"});
        EXPECT_EQ(unmount.status, 0) << unmount.out << qim.Log();
        EXPECT_EQ(qim.Stop(), 0);
    }

    // The file system now in the image holds both files and checks clean.
    void ExpectFilesIn(const Bytes& fs, const std::string& hello, const Bytes& written)
    {
        const std::string path = dir.file("after.img");
        WriteFile(path, fs);
        const RunResult fsck = RunCommand({"fsck.fat", "-n", path});
        EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
        const RunResult cat = RunCommand({"mcopy", "-i", path, "::/hello.txt", "-"}, 60, kMtoolsEnv);
        EXPECT_EQ(cat.out, hello);
        const RunResult get =
            RunCommand({"mcopy", "-n", "-i", path, "::/written.bin", dir.file("in-image.bin")}, 60, kMtoolsEnv);
        EXPECT_EQ(get.status, 0) << get.err;
        EXPECT_TRUE(ReadFile(dir.file("in-image.bin")) == written);
    }

    TempDir dir;
    QimServer qim{dir};
};

// Every byte of the file that is not a disk byte (headers, record headers) is unchanged.
void ExpectOnlyDiskBytesChanged(const Bytes& before, Bytes after, std::uint64_t diskBytes,
                                const std::function<std::uint64_t(std::uint64_t)>& fileOffset)
{
    ASSERT_EQ(after.size(), before.size());
    for (std::uint64_t v = 0; v < diskBytes; ++v)
        after[fileOffset(v)] = before[fileOffset(v)];
    EXPECT_TRUE(after == before) << "bytes outside the disk changed";
}

Bytes DiskOf(const Bytes& file, std::uint64_t diskBytes, const std::function<std::uint64_t(std::uint64_t)>& fileOffset)
{
    Bytes disk(diskBytes);
    for (std::uint64_t v = 0; v < diskBytes; ++v)
        disk[v] = file[fileOffset(v)];
    return disk;
}

class PC98E2e : public PC98FloppyE2e, public ::testing::WithParamInterface<Pc98Case> {};

// 121 cylinders of 8 heads and 17 sectors; cylinders 1 to 120 are the
// partition, 8,160 KiB of FAT16 with one sector per cluster.
constexpr Chs kHardDisk = {121, 8, 17, 512};
constexpr std::uint64_t kCylinder = 8 * 17 * 512;

TEST_P(PC98E2e, PartitionOfAHardDiskThroughMtools)
{
    const Pc98Case& c = GetParam();
    const std::string hello = std::string("hello from ") + c.name + "\n";
    Bytes fs;
    std::string error;
    ASSERT_TRUE(MakeFat(dir, 8160, {"-F", "16", "-s", "1"}, hello, fs, error)) << error;
    ASSERT_EQ(fs.size(), 120 * kCylinder);
    Bytes disk(kHardDisk.bytes());
    Pc98Table table;
    table.slots[0] = MakePc98Slot(1, 120, "MS-DOS 6.2");
    WritePc98Table(disk, table);
    std::copy(fs.begin(), fs.end(), disk.begin() + static_cast<long>(kCylinder));
    const std::string path = dir.file(c.file);
    const auto fileOffset = c.write(path, disk);
    const Bytes before = ReadFile(path);

    const Bytes written = PatternBytes(0, 300 * 1024 + 5, 17);
    Cycle({"m", path, "1"}, hello, written);

    const Bytes after = ReadFile(path);
    ExpectOnlyDiskBytesChanged(before, after, disk.size(), fileOffset);
    const Bytes diskAfter = DiskOf(after, disk.size(), fileOffset);
    EXPECT_TRUE(std::equal(diskAfter.begin(), diskAfter.begin() + kCylinder, disk.begin()))
        << "the table's cylinder changed";
    ExpectFilesIn(Bytes(diskAfter.begin() + kCylinder, diskAfter.end()), hello, written);
}

INSTANTIATE_TEST_SUITE_P(
    HardDisks, PC98E2e,
    ::testing::Values(Pc98Case{"Anex86", "disk.hdi",
                               [](const std::string& path, const Bytes& disk) {
                                   WriteAnex86Image(path, kHardDisk, disk);
                                   return std::function([](std::uint64_t v) { return 4096 + v; });
                               }},
                      Pc98Case{"T98Next", "disk.nhd",
                               [](const std::string& path, const Bytes& disk) {
                                   WriteT98NextHardImage(path, kHardDisk, disk);
                                   return std::function([](std::uint64_t v) { return 512 + v; });
                               }}),
    [](const auto& param) { return std::string(param.param.name); });

// A D88 2HD floppy of 1,024-byte sectors, its tracks stored last first, holds
// FAT12 and is mounted whole.

TEST_F(PC98FloppyE2e, D88FloppyThroughMtools)
{
    const std::string hello = "hello from a D88 floppy\n";
    Bytes fs;
    std::string error;
    ASSERT_TRUE(MakeFat(dir, 1232, {"-F", "12", "-S", "1024"}, hello, fs, error)) << error;
    D88Layout layout;
    layout.reversed = true;
    ASSERT_EQ(fs.size(), layout.diskBytes());
    const std::string path = dir.file("disk.d88");
    WriteD88Image(path, layout, fs);
    const auto fileOffset = [&layout](std::uint64_t v) { return layout.fileOffset(v); };
    const Bytes before = ReadFile(path);

    const Bytes written = PatternBytes(0, 200 * 1024 + 3, 18);
    Cycle({"m", path, "w"}, hello, written);

    const Bytes after = ReadFile(path);
    ExpectOnlyDiskBytesChanged(before, after, fs.size(), fileOffset);
    ExpectFilesIn(DiskOf(after, fs.size(), fileOffset), hello, written);
}

}  // namespace
