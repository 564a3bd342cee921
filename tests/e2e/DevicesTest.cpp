// SPDX-License-Identifier: MIT
// Several devices of one qim: a VMware 4 disk and a Virtual PC disk mounted at
// once, the status list, and the image locks between mounts and qimg.
#include "E2eSupport.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

constexpr VpcGeometry kVpcGeometry = {64, 16, 48};

RunResult Qimg(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{QIMG_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, 120);
}

class Devices : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(qim.Start()) << "qim did not come up: " << qim.Log();
    }

    // The partitioned disk with hello.txt in partition 1, as a VMware 4 and a Virtual PC image.
    void MakeImages()
    {
        std::string error;
        ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "hi\n"}}, {}, raw, error)) << error;
        WriteVmdkMonolithic(vmdk, ReadFile(raw.path));
        WriteVpcSparse(vhd, {.geometry = kVpcGeometry}, ReadFile(raw.path));
    }

    // qimc -d device ..., with QIM_DEVICE naming device 0.
    RunResult On(int device, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", std::to_string(device)});
        return Qimc(qim.node(), args);
    }

    // The file system in partition 1 of an image, through qimg: clean, and holding the files.
    void ExpectFiles(const std::string& image, const std::vector<FileSpec>& files)
    {
        const std::string out = dir.file("check.raw");
        ASSERT_EQ(Qimg({"convert", image, out, "--partition", "1"}).status, 0);
        const RunResult fsck = RunCommand({"e2fsck", "-fn", out}, 120);
        EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
        for (const FileSpec& f : files)
            EXPECT_TRUE(RunCommand({"debugfs", "-R", "cat /" + f.name, out}).out == f.contents) << image << ": " << f.name;
    }

    TempDir dir;
    QimServer qim{dir, 2};
    PartitionedImage raw;
    std::string vmdk = dir.file("a.vmdk"), vhd = dir.file("b.vhd");
};

// Both file systems written at once while files are copied from each to the
// other; both images then check clean and hold every file.
TEST_F(Devices, VMware4AndVirtualPCMountedAtOnce)
{
    MakeImages();
    ASSERT_EQ(On(0, {"m", vmdk, "1"}).status, 0x83);
    ASSERT_EQ(On(1, {"m", vhd, "1"}).status, 0x83) << qim.Log();

    const std::string size = std::to_string(raw.primarySectors * 512);
    const RunResult text = On(1, {"s"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const std::string& image : {vmdk, vhd})
        EXPECT_NE(text.out.find(" 1         rw   0       " + size + "      " + image + "\n"), std::string::npos)
            << text.out;
    const RunResult json = On(0, {"s", "--output=json"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("{\"device\": 1, \"node\": \"" + qim.node(1) + "\", \"image\": \"" + vhd +
                            "\", \"partition\": 1, \"table\": \"pc/at\", \"read-only\": false, \"openers\": 0, "
                            "\"size\": " + size + "}"),
              std::string::npos)
        << json.out;

    const std::array<std::string, 2> mnt{dir.file("mnt0"), dir.file("mnt1")};
    const Bytes big0 = PatternBytes(0, 3 * 1024 * 1024 + 11, 5), big1 = PatternBytes(0, 2 * 1024 * 1024 + 7, 6);
    {
        ::mkdir(mnt[0].c_str(), 0700), ::mkdir(mnt[1].c_str(), 0700);
        NodeMount m0(qim.node(0), mnt[0], false), m1(qim.node(1), mnt[1], false);
        ASSERT_TRUE(m0.ok() && m1.ok()) << m0.error() << m1.error() << qim.Log();
        std::thread w0([&] { WriteFile(mnt[0] + "/big0.bin", big0); });
        std::thread w1([&] { WriteFile(mnt[1] + "/big1.bin", big1); });
        EXPECT_EQ(RunCommand({"cp", mnt[0] + "/hello.txt", mnt[1] + "/from0.txt"}).status, 0);
        EXPECT_EQ(RunCommand({"cp", mnt[1] + "/hello.txt", mnt[0] + "/from1.txt"}).status, 0);
        w0.join(), w1.join();
        EXPECT_EQ(RunCommand({"cp", mnt[0] + "/big0.bin", mnt[1] + "/big0.bin"}).status, 0);
        EXPECT_EQ(RunCommand({"cp", mnt[1] + "/big1.bin", mnt[0] + "/big1.bin"}).status, 0);
        EXPECT_TRUE(m0.Unmount() && m1.Unmount());
    }
    EXPECT_TRUE(On(0, {"u"}).status == 0 && On(1, {"u"}).status == 0);
    EXPECT_EQ(qim.Stop(), 0) << qim.Log();

    for (const std::string& image : {vmdk, vhd}) {
        const RunResult check = Qimg({"check", image});
        EXPECT_EQ(check.status, 0) << image << ": " << check.out << check.err;
        ExpectFiles(image, {{"hello.txt", "hi\n"}, {image == vmdk ? "from1.txt" : "from0.txt", "hi\n"},
                            {"big0.bin", std::string(big0.begin(), big0.end())},
                            {"big1.bin", std::string(big1.begin(), big1.end())}});
    }
}

// An image mounted read-write is locked against a second writer (another qim)
// and against qimg's reads, unless -U; read-only mounts share an image.
TEST_F(Devices, ImageLocks)
{
    MakeImages();
    ASSERT_EQ(On(0, {"m", vmdk, "1"}).status, 0x83);

    TempDir otherDir;
    QimServer other(otherDir);
    ASSERT_TRUE(other.Start()) << other.Log();
    const RunResult second = Qimc(other.node(), {"m", vmdk, "1"});
    EXPECT_TRUE(second.status == 255 && second.out == "mount error\n") << second.out;
    EXPECT_NE(second.err.find("is locked: another program reads or writes it"), std::string::npos) << second.err;
    EXPECT_NE(other.Log().find("<1>qim: " + vmdk + " is locked"), std::string::npos) << other.Log();
    EXPECT_EQ(On(1, {"m", vmdk, "r", "1"}).status, 255) << "no reader beside a writer";

    const std::string out = dir.file("copy.raw");
    const RunResult convert = Qimg({"convert", vmdk, out});
    EXPECT_EQ(convert.status, 1);
    EXPECT_NE(convert.err.find(vmdk + " is locked: another program writes it"), std::string::npos) << convert.err;
    EXPECT_EQ(Qimg({"convert", "-U", vmdk, out}).status, 0);

    ASSERT_EQ(On(0, {"u"}).status, 0);
    EXPECT_EQ(On(0, {"m", vmdk, "r", "1"}).status, 0x83);
    EXPECT_EQ(On(1, {"m", vmdk, "r", "1"}).status, 0x83) << "readers share";
    EXPECT_EQ(Qimg({"check", vmdk}).status, 0) << "qimg reads beside read-only mounts";
    EXPECT_EQ(Qimc(other.node(), {"m", vmdk, "1"}).status, 255) << "no writer beside readers";
    EXPECT_EQ(other.Stop(), 0);
}

}  // namespace
