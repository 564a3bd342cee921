// SPDX-License-Identifier: MIT
// qimg against images whose facts the builders know: info (text and JSON),
// check verdicts and exit statuses, convert with holes, progress and errors.
#include "Conformance.h"
#include "PartitionTable.h"
#include "QimgRun.h"
#include "RawImage.h"
#include "TempDir.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

#include "Disk.h"
#include "DiskFormats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qimtest;
using nlohmann::json;

namespace {

std::string RawArg(const qim::DiskInfo& info, std::uint32_t offset)
{
    return std::to_string(offset) + "," + std::to_string(info.dwBytesPerSector) + "," +
           std::to_string(info.dwTotalSectors) + "," + std::to_string(info.dwHeads) + "," +
           std::to_string(info.dwSectorsPerTrack);
}

// How qimg is pointed at a built image of the row's format.
std::vector<std::string> ImageArgs(const ConformanceRow& row, const BuiltImage& built)
{
    if (row.code == qim::DISK_BETA)
        return {built.path, "--raw", RawArg(built.info, built.rawDataOffset)};
    return {built.path};
}

Bytes AsBytes(const std::vector<std::byte>& contents)
{
    Bytes out(contents.size());
    for (std::size_t i = 0; i < contents.size(); ++i)
        out[i] = std::to_integer<std::uint8_t>(contents[i]);
    return out;
}

class FormatTest : public ::testing::TestWithParam<ConformanceRow> {
protected:
    TempDir dir;
};

TEST_P(FormatTest, InfoReportsWhatTheBuilderMade)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    const json info = InfoJson(ImageArgs(row, built));
    EXPECT_EQ(info["filename"], built.path);
    if (row.code == qim::DISK_BETA) {
        EXPECT_TRUE(info["format-code"].is_null());
        EXPECT_EQ(info["format"], "raw");
    } else {
        EXPECT_EQ(info["format-code"], row.code);
    }
    EXPECT_EQ(info["virtual-size"], built.contents.size());
    EXPECT_EQ(info["geometry"]["total-sectors"], built.info.dwTotalSectors);
    EXPECT_EQ(info["geometry"]["heads"], built.info.dwHeads);
    EXPECT_EQ(info["geometry"]["sectors-per-track"], built.info.dwSectorsPerTrack);
    EXPECT_EQ(info["geometry"]["bytes-per-sector"], built.info.dwBytesPerSector);
    EXPECT_EQ(info["file-size"], FileSize(built.path));
    EXPECT_LE(info["allocated-size"].get<std::uint64_t>(), built.contents.size());
    ASSERT_TRUE(info["parents"].is_array());
    EXPECT_EQ(info["parents"].empty(), built.parents.empty());
    for (const json& parent : info["parents"])
        EXPECT_NE(std::find(built.parents.begin(), built.parents.end(), parent["filename"]), built.parents.end())
            << parent;
    ASSERT_TRUE(info["partitions"].is_array());
    EXPECT_TRUE(info["partition-table"] == "pc-at" || info["partition-table"] == "pc-98" ||
                info["partition-table"] == "none");

    const QimgResult text = RunQimg([&] {
        std::vector<std::string> args = {"info"};
        const auto image = ImageArgs(row, built);
        args.insert(args.end(), image.begin(), image.end());
        return args;
    }());
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("virtual size: "), std::string::npos);
    EXPECT_NE(text.out.find("(" + std::to_string(built.contents.size()) + " bytes)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(std::to_string(built.info.dwTotalSectors) + " sectors, " +
                            std::to_string(built.info.dwHeads) + " heads, " +
                            std::to_string(built.info.dwSectorsPerTrack) + " sectors per track, " +
                            std::to_string(built.info.dwBytesPerSector) + " bytes per sector"),
              std::string::npos)
        << text.out;
}

TEST_P(FormatTest, ConvertGivesTheDiskBytesAndChecksClean)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    std::vector<std::string> args = {"convert"};
    const auto image = ImageArgs(row, built);
    args.insert(args.end(), image.begin(), image.end());
    args.push_back(dir.file("out.raw"));
    const QimgResult r = RunQimg(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(ReadFile(dir.file("out.raw")) == AsBytes(built.contents));

    args = {"check"};
    args.insert(args.end(), image.begin(), image.end());
    const QimgResult check = RunQimg(args);
    const qim::DiskFormat* format = qim::DiskFormatOf(row.code);
    if (format != nullptr && format->driver.Check != nullptr) {
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_NE(check.out.find("clean"), std::string::npos) << check.out;
        args.push_back("--output=json");
        const json verdict = json::parse(RunQimg(args).out, nullptr, false);
        EXPECT_EQ(verdict["filename"], built.path);
        EXPECT_EQ(verdict["corruptions"], 0);
        EXPECT_EQ(verdict["leaks"], 0);
        EXPECT_TRUE(verdict["findings"].empty()) << verdict;
    } else {
        EXPECT_EQ(check.status, 63) << "no metadata check, as qemu-img says";
        ExpectOneErrorLine(check, built.path, "image has no metadata to check");
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatTest, ::testing::ValuesIn(ConformanceRows()),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- raw images ----

TEST(QimgRaw, ListedFloppySizesNeedNoGeometry)
{
    struct Floppy {
        std::uint32_t kib;
        qim::DiskInfo info;
    };
    const Floppy floppies[] = {{640, {1280, 2, 8, 512}},   {720, {1440, 2, 9, 512}},   {1200, {2400, 2, 15, 512}},
                               {1232, {1232, 2, 8, 1024}}, {1440, {2880, 2, 18, 512}}, {2880, {5760, 2, 36, 512}}};
    TempDir dir;
    for (const Floppy& f : floppies) {
        SCOPED_TRACE(f.kib);
        // As qimc opens them: a listed extension and a listed size; any other name with -f raw.
        const std::string path = dir.file("floppy" + std::to_string(f.kib) + ".flp");
        const Bytes bytes = PatternBytes(0, std::size_t{f.kib} * 1024, f.kib);
        WriteFile(path, bytes);
        WriteFile(dir.file("floppy.bin"), bytes);
        EXPECT_EQ(RunQimg({"info", dir.file("floppy.bin")}).status, 1);
        EXPECT_EQ(InfoJson({"-f", "raw", dir.file("floppy.bin")})["geometry"]["heads"], f.info.dwHeads);
        const json info = InfoJson({path});
        EXPECT_EQ(info["format"], "raw");
        EXPECT_EQ(info["geometry"]["total-sectors"], f.info.dwTotalSectors);
        EXPECT_EQ(info["geometry"]["heads"], f.info.dwHeads);
        EXPECT_EQ(info["geometry"]["sectors-per-track"], f.info.dwSectorsPerTrack);
        EXPECT_EQ(info["geometry"]["bytes-per-sector"], f.info.dwBytesPerSector);
        EXPECT_EQ(info["partition-table"], "none");
        const QimgResult r = RunQimg({"convert", path, dir.file("out")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ReadFile(dir.file("out")) == bytes);
        const QimgResult p = RunQimg({"convert", path, dir.file("out"), "--partition", "1"});
        EXPECT_EQ(p.status, 1);
        ExpectOneErrorLine(p, path, "floppy image has no partitions");
    }
    // A UTF-8 name passes through JSON as it is; a byte that is no character is escaped in text.
    const std::string utf8 = dir.file("\u30c7\u30a3\u30b9\u30af.flp"), odd = dir.file("a\xFF\x1B.flp");
    WriteFile(utf8, Bytes(1474560, 0));
    WriteFile(odd, Bytes(1474560, 0));
    EXPECT_EQ(InfoJson({utf8})["filename"], utf8);
    EXPECT_EQ(RunQimg({"info", odd}).out.rfind("image: " + dir.path() + "/a\\xFF\\x1B.flp\n", 0), 0u);
}

TEST(QimgRaw, PcAtPartitionsListedAndConverted)
{
    TempDir dir;
    const std::string path = dir.file("disk.img");
    PcAtLayout layout;
    layout.primary = {{0x06, 63, 2000}, {0x83, 2100, 3000}};
    layout.logical = {{0x07, 5200, 1000}, {0x83, 6300, 1500}};
    const std::vector<PcAtPartition> parts = WritePcAtDisk(path, 8192, layout);
    // Data in the second logical partition, to find again in its converted bytes.
    const Bytes data = PatternBytes(0, 64 * 512, 7);
    WriteFileAt(path, 6300ull * 512 + 4096, data);

    const std::string raw = "0,512,8192,16,63";
    const json info = InfoJson({path, "--raw", raw});
    EXPECT_EQ(info["partition-table"], "pc-at");
    ASSERT_EQ(info["partitions"].size(), parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info["partitions"][i]["number"], i + 1);
        EXPECT_EQ(info["partitions"][i]["type"], parts[i].systemId);
        EXPECT_EQ(info["partitions"][i]["start"], parts[i].start);
        EXPECT_EQ(info["partitions"][i]["length"], parts[i].count);
    }
    EXPECT_EQ(info["partitions"][0]["name"], "DOS FAT16(32M-2G)");

    const std::size_t last = parts.size();
    const QimgResult r = RunQimg({"convert", path, dir.file("part.raw"), "--raw", raw, "--partition",
                                  std::to_string(last)});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes whole = ReadFile(path);
    const auto start = static_cast<std::ptrdiff_t>(parts[last - 1].start) * 512;
    const Bytes expected(whole.begin() + start, whole.begin() + start + parts[last - 1].count * 512);
    EXPECT_TRUE(ReadFile(dir.file("part.raw")) == expected);
    EXPECT_TRUE(ReadFileRange(dir.file("part.raw"), 4096, data.size()) == data);

    const QimgResult beyond = RunQimg({"convert", path, dir.file("x"), "--raw", raw, "--partition", "9"});
    EXPECT_EQ(beyond.status, 1);
    ExpectOneErrorLine(beyond, path, "no partition 9");
    EXPECT_NE(::access(dir.file("x").c_str(), F_OK), 0) << "no output is left after a failure";
}

TEST(QimgRaw, Pc98PartitionsByCylinders)
{
    TempDir dir;
    const std::string path = dir.file("pc98.hdd");
    const qim::DiskInfo geometry{8 * 17 * 40, 8, 17, 512};
    Bytes disk(std::size_t{geometry.dwTotalSectors} * 512, 0);
    Pc98Table table;
    table.slots[0] = MakePc98Slot(1, 9, "MS-DOS 6.20");
    table.slots[1] = MakePc98Slot(10, 39, "\x82\xA0" "DATA");
    WritePc98Table(disk, table);
    const Bytes mark = PatternBytes(0, 3000, 98);
    std::copy(mark.begin(), mark.end(), disk.begin() + 10 * 8 * 17 * 512);
    WriteFile(path, disk);

    const std::string raw = RawArg(geometry, 0);
    const json info = InfoJson({path, "--raw", raw});
    EXPECT_EQ(info["partition-table"], "pc-98");
    ASSERT_EQ(info["partitions"].size(), 2u);
    EXPECT_EQ(info["partitions"][0]["name"], "MS-DOS 6.20");
    EXPECT_EQ(info["partitions"][0]["start"], 1 * 136);
    EXPECT_EQ(info["partitions"][0]["length"], 9 * 136);
    // Names are Shift JIS, decoded.
    EXPECT_EQ(info["partitions"][1]["name"], "\u3042DATA");
    EXPECT_EQ(info["partitions"][1]["start"], 10 * 136);
    EXPECT_EQ(info["partitions"][1]["length"], 30 * 136);

    // Text shows the decoded name; a byte that is no character is escaped.
    WriteFileAt(path, 512 + 16, {0x01, 0x1B});
    const QimgResult text = RunQimg({"info", path, "--raw", raw});
    EXPECT_NE(text.out.find("2. \u3042DATA"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1. \\x01\\x1B-DOS 6.20"), std::string::npos) << text.out;

    const QimgResult r = RunQimg({"convert", path, dir.file("p2"), "--raw", raw, "--partition", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FileSize(dir.file("p2")), 30ull * 136 * 512);
    EXPECT_TRUE(ReadFileRange(dir.file("p2"), 0, mark.size()) == mark);
}

// A partition that runs past the end is listed where its table puts it and
// converted up to the disk's end, as the driver serves it, with a warning.
TEST(QimgRaw, PartitionsPastTheDisksEnd)
{
    TempDir dir;
    const std::string at = dir.file("at.img"), pc98 = dir.file("pc98.hdd");
    PcAtLayout layout;
    layout.primary = {{0x83, 63, 30000}};
    static_cast<void>(WritePcAtDisk(at, 20480, layout));
    const qim::DiskInfo geometry{8 * 17 * 40, 8, 17, 512};
    Bytes disk(std::size_t{geometry.dwTotalSectors} * 512, 0);
    Pc98Table table;
    table.slots[0] = MakePc98Slot(1, 59, "LONG");
    WritePc98Table(disk, table);
    WriteFile(pc98, disk);
    struct Case {
        std::string path, raw;
        std::uint64_t start, length, total;
    };
    for (const Case& c : {Case{at, "0,512,20480,16,63", 63, 30000, 20480},
                          Case{pc98, RawArg(geometry, 0), 136, 59 * 136, geometry.dwTotalSectors}}) {
        SCOPED_TRACE(c.path);
        const json info = InfoJson({c.path, "--raw", c.raw});
        ASSERT_EQ(info["partitions"].size(), 1u);
        EXPECT_EQ(info["partitions"][0]["start"], c.start);
        EXPECT_EQ(info["partitions"][0]["length"], c.length);
        const QimgResult r = RunQimg({"convert", c.path, dir.file("p"), "--raw", c.raw, "--partition", "1"});
        EXPECT_EQ(r.status, 0);
        ExpectOneErrorLine(r, c.path,
                           "warning: partition 1 ends at sector " + std::to_string(c.start + c.length) +
                               ", past the disk's end at sector " + std::to_string(c.total));
        EXPECT_EQ(FileSize(dir.file("p")), (c.total - c.start) * 512);
    }
}

TEST(QimgConvert, ZeroRangesBecomeHoles)
{
    TempDir dir;
    const std::string path = dir.file("sparse.img");
    constexpr std::uint64_t kSize = 64ull << 20;
    MakeSparseFile(path, kSize);
    // Data at the start, in the middle (unaligned) and in the last byte.
    const Bytes a = PatternBytes(0, 100000, 1), b = PatternBytes(0, 5000, 2);
    WriteFileAt(path, 0, a);
    WriteFileAt(path, (20ull << 20) + 123, b);
    WriteFileAt(path, kSize - 1, {0x5A});
    const std::string out = dir.file("out.raw");
    const QimgResult r = RunQimg({"convert", path, out, "--raw", "0,512,131072,16,63"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FileSize(out), kSize);
    EXPECT_TRUE(ReadFile(out) == ReadFile(path));
    EXPECT_LT(AllocatedBytes(out), 1ull << 20) << "the zero ranges are holes";
}

TEST(QimgConvert, ProgressOnlyOnATerminal)
{
    TempDir dir;
    const std::string path = dir.file("f.flp");
    WriteFile(path, PatternBytes(0, 1474560, 3));
    const QimgResult quiet = RunQimg({"convert", "-p", path, dir.file("a")});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "") << "nothing when standard error is no terminal";

    const QimgResult shown = RunQimgOnTerminal({"convert", "-p", path, dir.file("b")});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.err.find("100.0%"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("MB/s"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("left"), std::string::npos) << shown.err;
    EXPECT_TRUE(ReadFile(dir.file("b")) == ReadFile(path));
}

// The names in a directory, sorted.
std::vector<std::string> Listing(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// True once the process holds a file under the directory open.
bool HoldsFileUnder(int pid, const std::string& directory)
{
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        if (std::filesystem::read_symlink(fd.path(), error).string().rfind(directory + "/", 0) == 0)
            return true;
    return false;
}

std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 256> line{};
        while (std::fgets(line.data(), line.size(), p) != nullptr)
            out += line.data();
        ::pclose(p);
    }
    return out.substr(0, out.find('\n'));
}

TEST(QimgConvert, OutputsThatCannotHarm)
{
    TempDir in, out;
    // Inputs: a differencing VHD over its parent, a VMDK of two extents, and a
    // raw disk of 1 GiB that takes long enough to copy to be interrupted.
    const VpcGeometry geometry{80, 16, 16};
    const Bytes base = PatternBytes(0, geometry.bytes(), 21);
    WriteVpcSparse(in.file("base.vhd"), {.geometry = geometry}, base);
    const Bytes own = PatternBytes(0, geometry.bytes(), 22);
    std::vector<bool> present(geometry.sectors(), false);
    present[7] = true;
    Bytes merged = base;
    std::copy_n(own.begin() + 7 * 512, 512, merged.begin() + 7 * 512);
    WriteVpcSparse(in.file("child.vhd"), {.geometry = geometry, .parent = "base.vhd", .present = present}, own);
    Bytes vmdk = PatternBytes(0, 8192 * 512, 23);
    std::fill(vmdk.begin() + (1 << 20), vmdk.begin() + (3 << 20), 0);  // unallocated grains
    const std::vector<std::string> extents = WriteVmdkTwoGb(in.file("two.vmdk"), vmdk, {4096, 4096});
    MakeSparseFile(in.file("big.img"), 1ull << 30);
    const std::vector<std::string> bigRaw = {in.file("big.img"), "--raw", "0,512,2097152,16,63"};
    ::symlink(in.file("child.vhd").c_str(), out.file("link").c_str());
    ::link(in.file("child.vhd").c_str(), out.file("hard").c_str());
    ::mkfifo(out.file("fifo").c_str(), 0600);
    ::mkdir(out.file("dir").c_str(), 0700);
    WriteFile(out.file("old"), Bytes(100, 0x77));
    ::chmod(out.file("old").c_str(), 0640);
    std::map<std::string, Bytes> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(in.path()))
        if (entry.path() != in.file("big.img"))
            inputs[entry.path().string()] = ReadFile(entry.path().string());

    std::string loop;  // detached whatever happens
    struct Detach {
        std::string* device;
        ~Detach()
        {
            if (!device->empty())
                static_cast<void>(Shell("losetup -d " + *device));
        }
    } detach{&loop};

    struct Case {
        const char* name;
        std::vector<std::string> image;
        std::string output;
        int status;        // -1000: killed by the signal
        std::string words;  // on standard error
        std::function<void()> after;
        int signal = 0;
    };
    const auto unchanged = [&] { EXPECT_TRUE(ReadFile(out.file("old")) == Bytes(100, 0x77)); };
    const std::vector<Case> cases = {
        {"the input itself", {in.file("child.vhd")}, in.file("child.vhd"), 1, "is a file of the image being converted", {}},
        {"its parent", {in.file("child.vhd")}, in.file("base.vhd"), 1, "is a file of the image being converted", {}},
        {"an extent", {in.file("two.vmdk")}, extents[1], 1, "is a file of the image being converted", {}},
        {"a symbolic link to the input", {in.file("child.vhd")}, out.file("link"), 1, "is a file of the image", {}},
        {"a hard link to the input", {in.file("child.vhd")}, out.file("hard"), 1, "is a file of the image", {}},
        {"a FIFO", {in.file("child.vhd")}, out.file("fifo"), 1, "is a FIFO",
         [&] { EXPECT_TRUE(std::filesystem::is_fifo(out.file("fifo"))); }},
        {"a directory", {in.file("child.vhd")}, out.file("dir"), 1, "is a directory",
         [&] { EXPECT_TRUE(std::filesystem::is_empty(out.file("dir"))); }},
        {"killed part-way (SIGTERM)", bigRaw, out.file("old"), -1000, "", unchanged, SIGTERM},
        {"interrupted part-way (SIGINT)", bigRaw, out.file("old"), -1000, "interrupted; no output was made", unchanged,
         SIGINT},
        {"an existing regular file", {in.file("child.vhd")}, out.file("old"), 0, "",
         [&] {
             EXPECT_TRUE(ReadFile(out.file("old")) == merged);
             EXPECT_EQ(std::filesystem::status(out.file("old")).permissions(), std::filesystem::perms(0640));
         }},
        {"a block device", {in.file("two.vmdk")}, "", 0, "", [&] {
             EXPECT_TRUE(std::filesystem::is_block_file(loop)) << "the node remains";
             EXPECT_TRUE(ReadFileRange(loop, 0, vmdk.size()) == vmdk);
         }},
        {"a loop device over an extent", {in.file("two.vmdk")}, extents[0], 1,
         "is a loop device over a file of the image", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string output = c.output;
        if (output.empty() || output == extents[0]) {
            // A loop device over a file of other bytes: every byte of the disk must land, zeros included.
            const std::string backing = output.empty() ? out.file("backing") : extents[0];
            if (output.empty())
                WriteFile(backing, Bytes(vmdk.size() + 4096, 0xEE));
            if (!loop.empty())
                static_cast<void>(Shell("losetup -d " + loop));
            loop = ::geteuid() == 0 ? Shell("losetup --find --show " + backing + " 2>/dev/null") : "";
            if (loop.empty())
                GTEST_SKIP() << "no loop device (needs root and losetup)";
            output = loop;
        }
        const std::vector<std::string> before = Listing(out.path());
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), c.image.begin(), c.image.end());
        args.push_back(output);
        const QimgResult r = RunQimgSignalled(args, c.signal, [&](int pid) {
            return c.signal != 0 && HoldsFileUnder(pid, out.path());
        });
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 1)
            ExpectOneErrorLine(r, output, c.words);
        else
            EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
        EXPECT_EQ(Listing(out.path()), before) << "qimg leaves no file of its own";
        if (c.after)
            c.after();
        for (const auto& [path, bytes] : inputs)
            EXPECT_TRUE(ReadFile(path) == bytes) << path << " changed";
        // The big disk is all hole: any write would allocate.
        EXPECT_EQ(AllocatedBytes(in.file("big.img")), 0u);
        EXPECT_EQ(FileSize(in.file("big.img")), 1ull << 30);
    }
}

// ---- errors and exit statuses ----

TEST(QimgErrors, OneLineInWordsWithTheFileName)
{
    TempDir dir;
    const std::string odd = dir.file("odd.bin");
    WriteFile(odd, Bytes(1000, 0x11));
    const std::string small = dir.file("small.img");
    WriteFile(small, Bytes(4096, 0));
    struct Case {
        std::vector<std::string> args;
        std::string file;
        std::string words;
    };
    const std::vector<Case> cases = {
        {{"info", dir.file("none.vhd")}, dir.file("none.vhd"), "cannot open the file"},
        {{"convert", dir.file("none.vhd"), dir.file("o")}, dir.file("none.vhd"), "No such file"},
        {{"info", odd}, odd, "not an image of a format qimg knows"},
        {{"info", dir.path()}, dir.path(), "Is a directory"},
        {{"info", small, "--raw", "0,512,100,1,1"}, small, "need 51200 bytes; the file holds 4096"},
        {{"convert", small, dir.file("nodir/o"), "--raw", "0,512,8,1,8"}, dir.file("nodir/o"),
         "cannot create the file"},
        {{"convert", small, dir.file("o"), "--raw", "0,512,8,1,8", "--partition", "1"}, small, "no partition 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const QimgResult r = RunQimg(c.args);
        EXPECT_EQ(r.status, 1);
        ExpectOneErrorLine(r, c.file, c.words);
        EXPECT_EQ(r.out, "");
    }
}

TEST(QimgErrors, RefusalsSayWhy)
{
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);  // for the unprivileged run
    const Bytes disk = PatternBytes(0, 2048 * 512, 31);
    WriteFile(dir.file("locked.img"), Bytes(1474560, 1));
    ::chmod(dir.file("locked.img").c_str(), 0);
    WriteVpcSparse(dir.file("base.vhd"), {.geometry = {32, 4, 16}}, disk);
    WriteVpcSparse(dir.file("child.vhd"), {.geometry = {32, 4, 16}, .parent = "base.vhd"}, disk);
    std::remove(dir.file("base.vhd").c_str());
    WriteVmdkMonolithic(dir.file("made.vmdk"), disk);
    std::rename(dir.file("made.vmdk").c_str(), dir.file("renamed.vmdk").c_str());
    WriteVpcSparse(dir.file("qemu.vhd"), {.geometry = {32, 4, 16}}, disk);
    VpcSetCreator(dir.file("qemu.vhd"), "qemu");
    Vmdk4Descriptor hw7;
    hw7.hwVersion = 7;
    WriteVmdkMonolithic(dir.file("hw7.vmdk"), disk, hw7);
    PcAtLayout layout;
    layout.primary = {{0x06, 63, 500}, {0x83, 600, 1000}};
    static_cast<void>(WritePcAtDisk(dir.file("two.img"), 2048, layout));
    WriteFile(dir.file("noimage.bin"), Bytes(1000, 0x11));
    // A parent replaced by another disk of its size: another unique id in both footers.
    WriteVpcSparse(dir.file("old.vhd"), {.geometry = {32, 4, 16}}, disk);
    WriteVpcSparse(dir.file("new.vhd"), {.geometry = {32, 4, 16}, .parent = "old.vhd"}, disk);
    WriteFileAt(dir.file("old.vhd"), 68, {0x55});
    WriteFileAt(dir.file("old.vhd"), FileSize(dir.file("old.vhd")) - 511 + 68, {0x55});

    struct Refusal {
        const char* name;
        std::vector<std::string> args;  // the image first
        std::string words;
        int status;
    };
    const std::vector<Refusal> refusals = {
        {"an unreadable file", {"info", dir.file("locked.img")}, "Permission denied", 1},
        {"a missing parent", {"info", dir.file("child.vhd")}, "cannot open " + dir.file("base.vhd") + ": No such file", 1},
        {"a missing parent, checked", {"check", dir.file("child.vhd")}, "cannot check: cannot open " + dir.file("base.vhd"), 1},
        {"a renamed monolithic VMDK", {"info", dir.file("renamed.vmdk")}, "its descriptor names the extent \"made.vmdk\"", 1},
        {"a renamed monolithic VMDK, checked", {"check", dir.file("renamed.vmdk")}, "cannot check: its descriptor names", 1},
        {"a VHD of another creator", {"info", dir.file("qemu.vhd")}, "creator application \"qemu\": this driver reads only \"vpc \"", 1},
        {"a VHD of another creator, checked", {"check", dir.file("qemu.vhd")}, "cannot check: creator application \"qemu\"", 1},
        {"a VMDK of another hardware version", {"check", dir.file("hw7.vmdk")}, "ddb.virtualHWVersion is 7: this driver reads only 3", 1},
        {"a partition number too big", {"convert", dir.file("two.img"), dir.file("o"), "--raw", "0,512,2048,16,63", "--partition", "3"}, "no partition 3: the disk has 2 partitions", 1},
        {"a raw total too big", {"info", dir.file("two.img"), "--raw", "0,512,2049,16,63"}, "2049 sectors of 512 bytes at offset 0 need 1049088 bytes; the file holds 1048576", 1},
        {"a file that is no image", {"info", dir.file("noimage.bin")}, "not an image of a format qimg knows", 1},
        {"a replaced parent", {"info", dir.file("new.vhd")}, "but the parent " + dir.file("old.vhd") + " has 55", 1},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        const QimgResult result = RunQimgUnprivileged(r.args);
        EXPECT_EQ(result.status, r.status) << result.out << result.err;
        ExpectOneErrorLine(result, r.args[1], r.words);
        EXPECT_EQ(result.out, "");
    }
}

TEST(QimgErrors, CheckStatuses)
{
    TempDir dir;
    const std::string odd = dir.file("odd.bin");
    WriteFile(odd, Bytes(1000, 0x11));
    const QimgResult missing = RunQimg({"check", dir.file("none.vmdk")});
    EXPECT_EQ(missing.status, 1);
    ExpectOneErrorLine(missing, dir.file("none.vmdk"), "cannot open the file");
    const QimgResult notImage = RunQimg({"check", odd});
    EXPECT_EQ(notImage.status, 1);
    ExpectOneErrorLine(notImage, odd, "not an image");
    const QimgResult raw = RunQimg({"check", odd, "--raw", "0,500,2,1,2"});
    EXPECT_EQ(raw.status, 63) << raw.err;
    ExpectOneErrorLine(raw, odd, "a raw image has no metadata to check");
}

TEST(QimgErrors, Usage)
{
    struct Case {
        std::vector<std::string> args;
        std::string words;  // the reason's line
    };
    for (const Case& c : std::vector<Case>{
             {{}, "no command"},
             {{"frobnicate", "x"}, "unknown command frobnicate"},
             {{"info"}, "info takes one image"},
             {{"info", "a", "b"}, "info takes one image"},
             {{"convert", "a"}, "convert takes an image and an output file"},
             {{"info", "a", "--raw", "1,2,3"}, "--raw takes"},
             {{"info", "a", "--raw", "0,0,10,1,1"}, "--raw takes"},
             {{"convert", "a", "b", "--partition", "0"}, "--partition takes"},
             {{"info", "a", "-x"}, "-x is not an option of info"},
             {{"info", "--frob", "a"}, "--frob is not an option of info"},
             {{"check", "-p", "a"}, "-p is not an option of check"},
             {{"check", "a", "--partition", "7"}, "--partition is not an option of check"},
             {{"info", "a", "--output"}, "--output needs a value"},
             {{"info", "a", "--output=xml"}, "--output takes human or json"},
             {{"info", "-f", "qcow2", "a"}, "-f takes raw"},
         }) {
        const QimgResult r = RunQimg(c.args);
        SCOPED_TRACE(r.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("qimg: " + c.words, 0), 0u);
        EXPECT_NE(r.err.find("usage: qimg info"), std::string::npos);
    }
    for (const char* command : {"info", "check", "convert"}) {
        const QimgResult own = RunQimg({command, "--help"});
        EXPECT_EQ(own.status, 0);
        EXPECT_EQ(own.out.rfind(std::string("usage: qimg ") + command, 0), 0u) << own.out;
    }
    // "--" ends the options: a file whose name begins with "-".
    TempDir dir;
    WriteFile(dir.file("-x.img"), Bytes(4096, 0));
    const std::string relative = "-x.img";
    const QimgResult dashed = [&] {
        const std::string cwd = std::filesystem::current_path().string();
        std::filesystem::current_path(dir.path());
        const QimgResult r = RunQimg({"info", "-f", "raw", "--", relative});
        std::filesystem::current_path(cwd);
        return r;
    }();
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_NE(dashed.out.find("geometry: 8 sectors, 16 heads, 63 sectors per track"), std::string::npos) << dashed.out;
    const QimgResult help = RunQimg({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("qimg convert [-p]"), std::string::npos);
}

}  // namespace
