// SPDX-License-Identifier: MIT
// Virtual PC images through the whole system: a dynamic image and a
// differencing image over it, each holding a partitioned ext2 disk, mounted
// through qimc and the node, written and unmounted.
#include "E2eSupport.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

// 64 × 16 × 48 sectors: exactly the 24 MiB of the partitioned disk.
constexpr VpcGeometry kGeometry = {64, 16, 48};

class VirtualPCE2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(qim.Start()) << "qim did not come up: " << qim.Log();
        ::mkdir(mnt.c_str(), 0700);
    }

    // Mounts the image's partition through qimc and the node, runs fn on the
    // mounted file system, unmounts both.
    template <class Fn> void Cycle(const std::string& image, bool readOnly, int partition, Fn&& fn)
    {
        std::vector<std::string> args{"m", image};
        if (readOnly)
            args.push_back("r");
        args.push_back(std::to_string(partition));
        const RunResult r = Qimc(qim.node(), args);
        ASSERT_EQ(r.status, 0x83) << r.out << r.err << qim.Log();
        {
            NodeMount mount(qim.node(), mnt, readOnly);
            ASSERT_TRUE(mount.ok()) << mount.error() << qim.Log();
            fn();
            EXPECT_TRUE(mount.Unmount());
        }
        if (readOnly) {
            // The partition as the node serves it must be a clean file system.
            const std::string copy = dir.file("partition.bin");
            ASSERT_EQ(RunCommand({"dd", "if=" + qim.node(), "of=" + copy, "bs=64K", "status=none"}).status, 0);
            const RunResult fsck = RunCommand({"e2fsck", "-fn", copy}, 120);
            EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
        }
        const RunResult u = Qimc(qim.node(), {"u"});
        EXPECT_EQ(u.status, 0) << u.out << qim.Log();
    }

    TempDir dir;
    QimServer qim{dir};
    std::string mnt = dir.file("mnt");
};

std::string ReadText(const std::string& path)
{
    const Bytes b = ReadFile(path);
    return {b.begin(), b.end()};
}

TEST_F(VirtualPCE2e, DynamicAndDifferencingImagesMountWriteAndKeepTheParent)
{
    PartitionedImage raw;
    std::string error;
    ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "primary\n"}}, {{"hello.txt", "logical\n"}},
                                     raw, error))
        << error;
    ASSERT_EQ(raw.totalSectors, kGeometry.sectors());
    const std::string dynamic = dir.file("base.vhd"), child = dir.file("child.vhd");
    WriteVpcSparse(dynamic, {.geometry = kGeometry}, ReadFile(raw.path));
    const Bytes big = PatternBytes(0, 3 * 1024 * 1024 + 333, 7);  // spans new 2 MiB blocks

    Cycle(dynamic, false, 1, [&] {
        EXPECT_EQ(ReadText(mnt + "/hello.txt"), "primary\n");
        WriteFile(mnt + "/big.bin", big);
    });
    const Bytes base = ReadFile(dynamic);
    WriteVpcSparse(child,
                   {.geometry = kGeometry, .parent = dynamic, .present = std::vector<bool>(kGeometry.sectors())},
                   Bytes(kGeometry.bytes(), 0));

    for (const int partition : {1, 2})
        Cycle(child, false, partition, [&] {
            WriteFile(mnt + "/child.txt", Bytes{'c', static_cast<std::uint8_t>('0' + partition)});
            WriteFile(mnt + "/hello.txt", Bytes{'n', 'e', 'w'});
        });
    EXPECT_TRUE(ReadFile(dynamic) == base) << "the parent changed";

    Cycle(child, true, 1, [&] {
        EXPECT_TRUE(ReadFile(mnt + "/big.bin") == big);
        EXPECT_EQ(ReadText(mnt + "/child.txt"), "c1");
        EXPECT_EQ(ReadText(mnt + "/hello.txt"), "new");
    });
    Cycle(child, true, 2, [&] { EXPECT_EQ(ReadText(mnt + "/child.txt"), "c2"); });
    Cycle(dynamic, true, 1, [&] {
        EXPECT_TRUE(ReadFile(mnt + "/big.bin") == big);
        EXPECT_EQ(ReadText(mnt + "/hello.txt"), "primary\n");
    });
    EXPECT_EQ(qim.Stop(), 0);
}

}  // namespace
