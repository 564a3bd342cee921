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
        ASSERT_TRUE(MakePartitionedImage(dir, "disk.img", {{"hello.txt", "hi\n"}}, {{"other.txt", "x\n"}}, raw, error))
            << error;
        ASSERT_EQ(raw.totalSectors, kVpcGeometry.sectors());
        WriteVmdkMonolithic(vmdk, ReadFile(raw.path));
        WriteVpcSparse(vhd, {.geometry = kVpcGeometry}, ReadFile(raw.path));
    }

    // qimc -d device ..., with QIM_DEVICE naming device 0.
    RunResult On(int device, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", std::to_string(device)});
        return Qimc(qim.node(), args);
    }

    // The file system in partition 1 of an image, through qimg: clean, and holding the file.
    void ExpectFile(const std::string& image, const std::string& name, const Bytes& data)
    {
        const std::string out = dir.file("check.raw");
        ASSERT_EQ(Qimg({"convert", image, out, "--partition", "1"}).status, 0);
        const RunResult fsck = RunCommand({"e2fsck", "-fn", out}, 120);
        EXPECT_EQ(fsck.status, 0) << fsck.out << fsck.err;
        const RunResult cat = RunCommand({"debugfs", "-R", "cat /" + name, out});
        EXPECT_TRUE(cat.out == std::string(data.begin(), data.end())) << image << ": " << name;
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
    const RunResult second = On(1, {"m", vhd, "1"});
    ASSERT_EQ(second.status, 0x83) << second.out << second.err << qim.Log();

    const std::string size = std::to_string(raw.primarySectors * 512);
    const RunResult text = On(1, {"s"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(qim.node(0) + " "), std::string::npos) << text.out;
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
        ::mkdir(mnt[0].c_str(), 0700);
        ::mkdir(mnt[1].c_str(), 0700);
        NodeMount m0(qim.node(0), mnt[0], false), m1(qim.node(1), mnt[1], false);
        ASSERT_TRUE(m0.ok() && m1.ok()) << m0.error() << m1.error() << qim.Log();
        const RunResult busy = On(1, {"s"});
        EXPECT_NE(busy.out.find(" 1         rw   1 "), std::string::npos) << "the loop device opens it: " << busy.out;
        std::thread w0([&] { WriteFile(mnt[0] + "/big0.bin", big0); });
        std::thread w1([&] { WriteFile(mnt[1] + "/big1.bin", big1); });
        EXPECT_EQ(RunCommand({"cp", mnt[0] + "/hello.txt", mnt[1] + "/from0.txt"}).status, 0);
        EXPECT_EQ(RunCommand({"cp", mnt[1] + "/hello.txt", mnt[0] + "/from1.txt"}).status, 0);
        w0.join();
        w1.join();
        EXPECT_EQ(RunCommand({"cp", mnt[0] + "/big0.bin", mnt[1] + "/big0.bin"}).status, 0);
        EXPECT_EQ(RunCommand({"cp", mnt[1] + "/big1.bin", mnt[0] + "/big1.bin"}).status, 0);
        EXPECT_TRUE(m0.Unmount());
        EXPECT_TRUE(m1.Unmount());
    }
    EXPECT_EQ(On(0, {"u"}).status, 0);
    EXPECT_EQ(On(1, {"u"}).status, 0);
    EXPECT_EQ(qim.Stop(), 0) << qim.Log();

    for (const std::string& image : {vmdk, vhd}) {
        const RunResult check = Qimg({"check", image});
        EXPECT_EQ(check.status, 0) << image << ": " << check.out << check.err;
        ExpectFile(image, "hello.txt", Bytes{'h', 'i', '\n'});
        ExpectFile(image, "big0.bin", big0);
        ExpectFile(image, "big1.bin", big1);
    }
    ExpectFile(vmdk, "from1.txt", Bytes{'h', 'i', '\n'});
    ExpectFile(vhd, "from0.txt", Bytes{'h', 'i', '\n'});
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
    EXPECT_EQ(second.status, 255);
    EXPECT_EQ(second.out, "mount error\n");
    EXPECT_NE(second.err.find("is locked: another program reads or writes it"), std::string::npos) << second.err;
    EXPECT_NE(other.Log().find("<1>qim: " + vmdk + " is locked"), std::string::npos) << other.Log();
    const RunResult same = On(1, {"m", vmdk, "r", "1"});
    EXPECT_EQ(same.status, 255) << "read-only beside a writer: " << same.out;

    const std::string out = dir.file("copy.raw");
    const RunResult convert = Qimg({"convert", vmdk, out});
    EXPECT_EQ(convert.status, 1);
    EXPECT_NE(convert.err.find(vmdk + " is locked: another program writes it"), std::string::npos) << convert.err;
    EXPECT_EQ(Qimg({"convert", "-U", vmdk, out}).status, 0);
    EXPECT_EQ(Qimg({"info", "--force-share", vmdk}).status, 0);

    ASSERT_EQ(On(0, {"u"}).status, 0);
    EXPECT_EQ(On(0, {"m", vmdk, "r", "1"}).status, 0x83);
    const RunResult shared = On(1, {"m", vmdk, "r", "1"});
    EXPECT_EQ(shared.status, 0x83) << shared.out << shared.err << qim.Log();
    EXPECT_EQ(Qimg({"check", vmdk}).status, 0) << "qimg reads beside read-only mounts";
    EXPECT_EQ(Qimc(other.node(), {"m", vmdk, "1"}).status, 255) << "no writer beside readers";
    EXPECT_EQ(other.Stop(), 0);
}

}  // namespace
