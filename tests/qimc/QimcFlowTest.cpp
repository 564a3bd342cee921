// SPDX-License-Identifier: MIT
// Whole transcripts of qimc: commands, floppy and raw images, cancel and end
// of input at every prompt, paths, and the node's answers.
#include "QimcFixture.h"
#include "QimVersion.h"
#include "RawImage.h"
#include "VirtualPCImage.h"

#include <cstdlib>
#include <filesystem>

namespace qimtest {
namespace {

constexpr std::uint32_t kFloppyBytes = 1474560;
const RawGeometry kFloppy = {2880, 2, 18, 512};

std::string Mounted(const std::string& commandLine) { return "command line [# " + commandLine + "]\n"; }

TEST_F(QimcTest, CommandsAndBanner)
{
    auto r = Run({});
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.status, 255);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"x"}, {"u", "x"}, {""}, {"unmount", "now"}, {"-m"}}) {
        r = Run(args);
        EXPECT_EQ(r.out, "invalid argument\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");

    // Only the first character counts, in either case.
    for (const char* unmount : {"u", "U", "unmount"}) {
        ForgetNode();
        r = Run({unmount});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(NodeLog(), "open flags=rdonly\nunmount -> 0\nclose\n");
    }
    for (const char* mount : {"m", "M", "mount"}) {
        r = Run({mount}, "");
        EXPECT_EQ(r.out, "filename: ");
        EXPECT_EQ(r.status, 255);
    }
}

TEST_F(QimcTest, UnmountFailures)
{
    // Busy (a file system is mounted on the device) and refused.
    for (int answer : {1, -1}) {
        ForgetNode();
        const auto r = Run({"u"}, "", answer);
        EXPECT_EQ(r.out, "unmount error\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(NodeLog(), "open flags=rdonly\nunmount -> " + std::to_string(answer) + "\nclose\n");
    }
    // No driver: a missing node, or a plain file that answers no request.
    WriteFile(dir.file("plain"), {1, 2, 3});
    for (const std::string& path : {dir.file("missing"), dir.file("plain")}) {
        const auto r = RunWithoutShim({"u"}, "", path);
        EXPECT_EQ(r.out, "unmount error\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(ReadFile(dir.file("plain")), (Bytes{1, 2, 3}));
}

TEST_F(QimcTest, ArgumentMountOfListedFloppy)
{
    WriteRawImage(dir.file("disk.IMA"), {kFloppy});
    const std::string path = real + "/disk.IMA";

    // A floppy takes nothing after FILE, but something must follow it.
    auto r = Run({"m", "disk.IMA"});
    EXPECT_EQ(r.out, "invalid argument\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(NodeLog(), "");

    struct Case {
        std::vector<std::string> args;
        std::uint32_t readOnly;
    };
    for (const Case& c : {Case{{"m", "disk.IMA", "r"}, 1}, Case{{"M", "disk.IMA", "Rw", "1"}, 1},
                          Case{{"mount", "disk.IMA", "x"}, 0}}) {
        ForgetNode();
        r = Run(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(NodeLog(), "open flags=rdonly\nmount -> 0\nclose\n");
        EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, c.readOnly}, path));
    }
}

TEST_F(QimcTest, ArgumentMountOfRawFloppyGeometry)
{
    // Not a listed extension: the geometry comes from the arguments.
    WriteRawImage(dir.file("raw.bin"), {kFloppy, 1024});
    const std::string path = real + "/raw.bin";
    auto r = Run({"m", "raw.bin", "r", "F", "1024", "512", "2880", "2", "18", "ignored"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 1024, 1, 0, 0, 1}, path));

    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    for (const Case& c : {
             Case{{"m", "raw.bin", "h", "a", "0", "512"}, "failed\n"},       // too few numbers
             Case{{"m", "raw.bin", "x", "0", "512", "2880", "2", "18"}, "failed\n"},  // neither h nor f
             Case{{"m", "raw.bin", "h", "b", "0", "512", "2880", "2", "18", "1"}, "failed\n"},
             Case{{"m", "raw.bin", "f", "1024", "512", "2881", "2", "18"}, "failed\n"},  // beyond the file
             Case{{"m", "raw.bin", "f", "1025", "512", "2880", "2", "18"}, "failed\n"},
             // 2^32 + 2880 saturates instead of wrapping to 2880.
             Case{{"m", "raw.bin", "f", "1024", "512", "4294970176", "2", "18"}, "failed\n"},
             Case{{"m", "raw.bin", "h", "a", "0", "512", "2880", "2", "18"}, "invalid argument3\n"},
             Case{{"m", "missing.bin", "r"}, "invalid filename"},
             Case{{"m", "", "r"}, "failed\n"},  // the directory itself: no geometry given
         }) {
        ForgetNode();
        r = Run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args[1] << " " << c.args[2];
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(NodeLog(), "");
    }
}

TEST_F(QimcTest, InteractiveListedFloppy)
{
    WriteRawImage(dir.file("disk.IMA"), {kFloppy});
    auto r = Run({"m"}, "disk.IMA\n1\n");
    EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu + Mounted("qimc m disk.IMA r "));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 1}, real + "/disk.IMA"));

    ForgetNode();
    r = Run({"m"}, "disk.IMA 2");
    EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu + Mounted("qimc m disk.IMA w"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, real + "/disk.IMA"));
}

// The printed command line of a raw image repeats the whole choice.
TEST_F(QimcTest, InteractiveRawFloppyPrintsArgumentForm)
{
    WriteRawImage(dir.file("disk.img"), {kFloppy, 512});
    const auto r = Run({"m"}, "disk.img\n2\n2\n512\n512\n2880\n2\n18\n");
    EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu + kHardDiskMenu + kGeometryPrompts +
                         Mounted("qimc m disk.img f 512 512 2880 2 18 "));
    EXPECT_EQ(r.status, 0);
    const Bytes interactive = SavedRecord();
    EXPECT_EQ(interactive, MountRecordBytes({1, 2880, 2, 18, 512, 512, 1, 0, 0, 0}, real + "/disk.img"));

    ForgetNode();
    const auto again = Run({"m", "disk.img", "f", "512", "512", "2880", "2", "18"});
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(SavedRecord(), interactive);
}

TEST_F(QimcTest, InteractiveCancelAndEndOfInput)
{
    WriteRawImage(dir.file("disk.vfd"), {kFloppy, 0, 1});  // one byte too many for the size table
    const std::string start = std::string("filename: ") + kReadOnlyMenu;
    struct Case {
        const char* input;
        std::string out;
    };
    const std::string geometry = std::string(kHardDiskMenu);
    for (const Case& c : {
             Case{"", "filename: "},
             Case{"disk.vfd", start},
             Case{"disk.vfd 3", start},
             Case{"disk.vfd 1", start + kHardDiskMenu + "canceled\n"},
             Case{"disk.vfd 1 3", start + kHardDiskMenu + "canceled\n"},
             Case{"disk.vfd 1 1", start + kHardDiskMenu + kPCATMenu + "canceled\n"},
             Case{"disk.vfd 1 1 3", start + kHardDiskMenu + kPCATMenu + "canceled\n"},
             Case{"disk.vfd 1 2", start + kHardDiskMenu + "image offset: canceled\n"},
             Case{"disk.vfd 1 2 0", start + kHardDiskMenu + "image offset: bytes per sector: canceled\n"},
             Case{"disk.vfd 1 2 0 512", start + kHardDiskMenu + "image offset: bytes per sector: total sectors: canceled\n"},
             Case{"disk.vfd 1 2 0 512 2880",
                  start + kHardDiskMenu + "image offset: bytes per sector: total sectors: heads: canceled\n"},
             Case{"disk.vfd 1 2 0 512 2880 2", start + kHardDiskMenu + kGeometryPrompts + "canceled\n"},
             Case{"disk.vfd 1 1 1 0 512 2880 2", start + kHardDiskMenu + kPCATMenu + kGeometryPrompts + "canceled\n"},
             // A geometry beyond the file does not open.
             Case{"disk.vfd 1 2 0 512 2882 2 18", start + kHardDiskMenu + kGeometryPrompts + "failed1\n"},
             Case{"missing.vfd 1", "filename: invalid filename\n"},
         }) {
        ForgetNode();
        const auto r = Run({"m"}, c.input);
        EXPECT_EQ(r.out, c.out) << '"' << c.input << '"';
        EXPECT_EQ(r.status, 255) << c.input;
        EXPECT_EQ(NodeLog(), "") << c.input;
    }
}

TEST_F(QimcTest, NonNumbersAreSkipped)
{
    WriteRawImage(dir.file("disk.vfd"), {kFloppy, 0, 1});
    const auto r = Run({"m"}, "disk.vfd\nx 0 4 -1 2\n2x two 9 2\n-1 +0 512 1e3\n4294967296 2880 2 18\n");
    EXPECT_EQ(r.out, std::string("filename: readonly?\n1. readonly\n2. readwrite\n3. cancel\n: : : : : ") +
                         "harddisk?\n1. harddisk\n2. floppydisk\n3. cancel\n: : : : " +
                         "image offset: image offset: bytes per sector: total sectors: total sectors: "
                         "total sectors: heads: sectors per track: " +
                         Mounted("qimc m disk.vfd f 0 512 2880 2 18 "));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, real + "/disk.vfd"));
}

TEST_F(QimcTest, NodeFailuresPrintMountError)
{
    WriteRawImage(dir.file("disk.IMA"), {kFloppy});
    const std::string interactive = std::string("filename: ") + kReadOnlyMenu + "mount error\n";
    for (int answer : {1, -1}) {
        ForgetNode();
        auto r = Run({"m", "disk.IMA", "r"}, "", answer);
        EXPECT_EQ(r.out, "mount error\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(NodeLog(), "open flags=rdonly\nmount -> " + std::to_string(answer) + "\nclose\n");
        r = Run({"m"}, "disk.IMA 1", answer);
        EXPECT_EQ(r.out, interactive);
        EXPECT_EQ(r.status, 255);
    }
    // The reason names the driver's answer, or the node that is not there.
    ForgetNode();
    EXPECT_NE(Run({"m", "disk.IMA", "r"}, "", 1).err.find("the device is busy"), std::string::npos);
    EXPECT_NE(Run({"m", "disk.IMA", "r"}, "", -1).err.find("the driver refused the request"), std::string::npos);
    WriteFile(dir.file("plain"), {9});
    EXPECT_EQ(RunWithoutShim({"m", "disk.IMA", "r"}, "", dir.file("missing")).err,
              "qimc: cannot open the node @TMP@/missing: No such file or directory (is qim running?)\n");
    EXPECT_EQ(RunWithoutShim({"m", "disk.IMA", "r"}, "", dir.file("plain")).err,
              "qimc: no driver serves @TMP@/plain: Inappropriate ioctl for device\n");
    for (const std::string& path : {dir.file("missing"), dir.file("plain")}) {
        auto r = RunWithoutShim({"m", "disk.IMA", "r"}, "", path);
        EXPECT_EQ(r.out, "mount error\n");
        EXPECT_EQ(r.status, 255);
        r = RunWithoutShim({"m"}, "disk.IMA 1", path);
        EXPECT_EQ(r.out, interactive);
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(ReadFile(dir.file("plain")), Bytes{9});
}

// --help and -h describe every form and QIM_DEVICE, --version names the
// package's and the driver's; a bare qimc keeps its banner.
TEST_F(QimcTest, HelpAndReasonsForImagesThatAreNone)
{
    const auto version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("qimc ") + qim::kQimVersion + " (" + qim::kQimDescription + ")\n");
    for (const char* help : {"--help", "-h"}) {
        const auto r = Run({help});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string(qim::kQimDescription) + "\n", 0), 0u);
        for (const char* word : {"qimc m FILE [r] [h a|h 9|f OFFSET BPS TOTAL HEADS SPT] [PARTITION]", "qimc u",
                                 "qimc --version | --help",
                                 "QIM_DEVICE", "qimc m disk.vmdk 1; [ $? != 255 ] && mount /dev/qim0 /mnt"})
            EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(Run({}).out, kBanner);
    // A directory, a missing file: the usual message, and the reason.
    std::filesystem::create_directories(dir.file("sub"));
    auto r = Run({"m", "sub", "r", "f", "0", "512", "2880", "2", "18"});
    EXPECT_EQ(r.out, "failed\n");
    EXPECT_EQ(r.err, "qimc: @TMP@/sub: not a regular file or a block device, so not an image\n");
    r = Run({"m", "gone.img", "r"});
    EXPECT_EQ(r.out, "invalid filename");
    EXPECT_EQ(r.err, "qimc: gone.img: No such file or directory\n");

    // The library's reason, on standard error only.
    const Bytes disk = PatternBytes(0, 512 * 512, 8);
    WriteVpcSparse(dir.file("qemu.vhd"), {.geometry = {8, 4, 16}}, disk);
    VpcSetCreator(dir.file("qemu.vhd"), "qemu");
    WriteVpcSparse(dir.file("child.vhd"), {.geometry = {8, 4, 16}, .parent = "gone.vhd"}, disk);
    WriteRawImage(dir.file("locked.flp"), {kFloppy});
    struct Guard {
        std::string path;
        ~Guard() { static_cast<void>(std::system(("chattr -i " + path + " 2>/dev/null").c_str())); }
    } guard{dir.file("locked.flp")};
    const bool immutable = std::system(("chattr +i " + dir.file("locked.flp") + " 2>/dev/null").c_str()) == 0;
    struct Refusal {
        std::vector<std::string> args;
        std::string err;
    };
    std::vector<Refusal> refusals = {
        {{"m", "qemu.vhd", "r", "1"},
         "qimc: @TMP@/qemu.vhd: creator application \"qemu\": this driver reads only \"vpc \"\n"},
        {{"m", "child.vhd", "r", "1"}, "qimc: @TMP@/child.vhd: cannot open @TMP@/gone.vhd: No such file or directory\n"},
    };
    if (immutable)  // else the file system has no immutable files, or this is no root
        refusals.push_back({{"m", "locked.flp", "w"},
                            "qimc: @TMP@/locked.flp: @TMP@/locked.flp cannot be opened for writing: Operation not "
                            "permitted; mount it read-only (qimc m FILE r ...)\n"});
    for (const Refusal& refusal : refusals) {
        r = Run(refusal.args);
        EXPECT_EQ(r.out, "failed\n");
        EXPECT_EQ(r.err, refusal.err);
    }
    EXPECT_EQ(NodeLog(), "");
}

TEST_F(QimcTest, AbsoluteAndRelativeNames)
{
    std::filesystem::create_directories(dir.file("sub/inner"));
    WriteRawImage(dir.file("sub/disk.IMA"), {kFloppy});
    const std::string path = real + "/sub/disk.IMA";
    std::filesystem::create_symlink(path, dir.file("link.ima"));

    // An absolute name is not looked up below the current directory.
    for (const std::string& name : {path, std::string("sub/inner/../disk.IMA"), std::string("./link.ima"),
                                    dir.file("sub/inner/../disk.IMA")}) {
        ForgetNode();
        auto r = Run({"m", name, "r"});
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 1}, path)) << name;
        ForgetNode();
        r = Run({"m"}, name + "\n2\n");
        EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu +
                             Mounted("qimc m " + ReplaceAll(name, real, "@TMP@") + " w"));
        EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, path)) << name;
    }
}

// Paths up to 4095 bytes and their terminating zero work; longer ones are refused.
TEST_F(QimcTest, LongPaths)
{
    std::string deep = real;
    while (deep.size() + 201 + 1 + 8 <= 4095)
        deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);
    const std::size_t stem = 4095 - deep.size() - 1 - 4;
    const std::string path = deep + "/" + std::string(stem, 'f') + ".ima";
    ASSERT_EQ(path.size(), 4095u);
    WriteRawImage(path, {kFloppy});
    const std::string relative = path.substr(real.size() + 1);

    for (const std::string& name : {path, relative}) {
        ForgetNode();
        auto r = Run({"m", name, "r"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 1}, path));
        ForgetNode();
        r = Run({"m"}, name + "\n1\n");
        EXPECT_EQ(r.out, std::string("filename: ") + kReadOnlyMenu +
                             Mounted("qimc m " + ReplaceAll(name, real, "@TMP@") + " r "));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(SavedRecord().size(), 4095u + 44u);
    }

    // One byte more, through a name that would still resolve to the same file.
    ForgetNode();
    for (const std::string& name : {deep + "//" + std::string(stem, 'f') + ".ima", "./" + relative,
                                    std::string(100000, 'x')}) {
        auto r = Run({"m", name, "r"});
        EXPECT_EQ(r.out, "invalid filename");
        EXPECT_EQ(r.status, 255);
        r = Run({"m"}, name + "\n1\n");
        EXPECT_EQ(r.out, "filename: invalid filename\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(NodeLog(), "");
}

}  // namespace
}  // namespace qimtest
