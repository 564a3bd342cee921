// SPDX-License-Identifier: MIT
// VMware 4 disks through the whole system: a monolithic disk and a redo log
// over it, each holding partitioned ext2 file systems, mounted through qimc
// and the node, written and unmounted.
#include "E2eSupport.h"
#include "VMware4Image.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

bool HaveQemuImg() { return RunCommand({"sh", "-c", "command -v qemu-img"}).status == 0; }

// Mounts partition 1 of the image read-write, checks the file the builder
// put there, writes one, and unmounts.
void WriteThroughNode(QimServer& qim, const TempDir& dir, const std::string& image, const std::string& name,
                      const Bytes& data)
{
    const RunResult m = Qimc(qim.node(), {"m", image, "1"});
    ASSERT_EQ(m.status, 0x83) << m.out << m.err << qim.Log();
    const std::string mnt = dir.file("mnt");
    ::mkdir(mnt.c_str(), 0700);
    {
        NodeMount mount(qim.node(), mnt, false);
        ASSERT_TRUE(mount.ok()) << mount.error() << qim.Log();
        EXPECT_EQ(ReadFile(mnt + "/hello.txt"), Bytes({'h', 'i', '\n'}));
        WriteFile(mnt + "/" + name, data);
        EXPECT_TRUE(mount.Unmount());
    }
    const RunResult u = Qimc(qim.node(), {"u"});
    EXPECT_EQ(u.status, 0) << u.out << qim.Log();
}

// The file system in partition 1 of a disk image, as qemu-img reads it: clean, and holding the file written.
void ExpectCleanFileSystem(const TempDir& dir, const std::string& image, std::uint64_t fsOffset,
                           const std::string& name, const Bytes& data)
{
    const std::string raw = dir.file("check.raw");
    ASSERT_EQ(RunCommand({"qemu-img", "convert", "-O", "raw", image, raw}, 120).status, 0);
    const RunResult fsck = RunCommand({"e2fsck", "-fn", raw + "?offset=" + std::to_string(fsOffset)}, 120);
    EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
    const RunResult cat = RunCommand({"debugfs", "-R", "cat /" + name, raw + "?offset=" + std::to_string(fsOffset)});
    EXPECT_TRUE(cat.out == std::string(data.begin(), data.end())) << name;
}

TEST(VMware4E2e, MonolithicDiskAndRedoLogThroughTheNode)
{
    if (const std::string why = SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    if (!HaveQemuImg())
        GTEST_SKIP() << "qemu-img (qemu-utils) is not installed";
    TempDir dir;
    PartitionedImage raw;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "hi\n"}}, {{"other.txt", "x\n"}}, raw, error))
        << error;
    const Bytes contents = ReadFile(raw.path);
    const std::string base = dir.file("base.vmdk"), child = dir.file("child.vmdk");
    WriteVmdkMonolithic(base, contents);
    QimServer qim(dir);
    ASSERT_TRUE(qim.Start()) << qim.Log();

    const Bytes baseData = PatternBytes(0, 200 * 1024 + 5, 1), childData = PatternBytes(0, 300 * 1024 + 7, 2);
    WriteThroughNode(qim, dir, base, "base.bin", baseData);
    EXPECT_EQ(RunCommand({"qemu-img", "check", base}).status, 0);
    ExpectCleanFileSystem(dir, base, raw.primaryStart * 512, "base.bin", baseData);

    // A redo log that holds nothing yet: the parent's contents only size it.
    const Bytes none(contents.size(), 0);
    WriteVmdkRedo(child, "base.vmdk", none, none, {static_cast<std::uint32_t>(contents.size() / 512)});
    const Bytes parentBefore = ReadFile(base);
    WriteThroughNode(qim, dir, child, "child.bin", childData);
    EXPECT_EQ(qim.Stop(), 0);
    EXPECT_TRUE(ReadFile(base) == parentBefore) << "the parent was written";
    const RunResult check = RunCommand({"qemu-img", "check", child});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    ExpectCleanFileSystem(dir, child, raw.primaryStart * 512, "child.bin", childData);
    ExpectCleanFileSystem(dir, child, raw.primaryStart * 512, "base.bin", baseData);
}

}  // namespace
