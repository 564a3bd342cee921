// SPDX-License-Identifier: MIT
// qemu-img as the peer: images it makes convert here to the same bytes it
// converts them to, with the same virtual size, and check clean.
#include "QemuImg.h"
#include "QimgRun.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>

using namespace qimtest;

namespace {

// A sparse raw disk with data at the start, across a 2 MiB block and grain
// boundaries, partial sectors and the very end.
std::string MakeRaw(const TempDir& dir, std::uint64_t size)
{
    const std::string raw = dir.file("disk.raw");
    MakeSparseFile(raw, size);
    WriteFileAt(raw, 0, PatternBytes(0, 70000, 1));
    WriteFileAt(raw, (2ull << 20) - 3000, PatternBytes(0, 9000, 2));
    WriteFileAt(raw, (37ull << 20) + 77, PatternBytes(0, 300, 3));
    WriteFileAt(raw, size - 512, PatternBytes(0, 512, 4));
    return raw;
}

void ExpectSameAsQemu(const TempDir& dir, const std::string& image, const char* qimgFormat)
{
    const nlohmann::json info = InfoJson({image});
    EXPECT_EQ(info["format"], qimgFormat);
    EXPECT_EQ(info["virtual-size"].get<unsigned long long>(), QemuVirtualSize(image));

    const std::string ours = dir.file("ours.raw"), theirs = dir.file("theirs.raw");
    const QimgResult r = RunQimg({"convert", image, ours});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(RunCommand("qemu-img convert -O raw " + ShellQuote(image) + " " + ShellQuote(theirs)), 0);
    EXPECT_EQ(FileSize(ours), FileSize(theirs));
    EXPECT_EQ(RunCommand("cmp -s " + ShellQuote(ours) + " " + ShellQuote(theirs)), 0) << "byte for byte";
    EXPECT_LT(AllocatedBytes(ours), FileSize(ours) / 4) << "the empty ranges are holes";

    const QimgResult check = RunQimg({"check", image});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

class QemuPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveQemuImg())
            GTEST_SKIP() << "qemu-img is not installed (scripts/setup.sh installs qemu-utils)";
    }
    TempDir dir;
};

TEST_F(QemuPeer, MonolithicSparseVmdk)
{
    const std::string vmdk = dir.file("disk.vmdk");
    QemuMakeVmdk(MakeRaw(dir, 64ull << 20), vmdk);
    ExpectSameAsQemu(dir, vmdk, "VMware 4 monolithic sparse");
}

TEST_F(QemuPeer, DynamicVhdOfAWholeMiBGeometry)
{
    const std::string vhd = dir.file("disk.vhd");
    QemuMakeVhd(MakeRaw(dir, 504ull << 20), vhd);
    ExpectSameAsQemu(dir, vhd, "Virtual PC dynamic");
}

}  // namespace
