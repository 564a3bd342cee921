// SPDX-License-Identifier: MIT
// The command line the dialogue prints, run again, mounts the same choice:
// the same record, the same exit status, for every kind of image the dialogue
// knows and for numbers up to the top of 32 bits.
#include "D88Image.h"
#include "PartitionTable.h"
#include "QimcFixture.h"
#include "RawImage.h"

#include <functional>
#include <sstream>

namespace qimtest {
namespace {

const RawGeometry kFloppy = {2880, 2, 18, 512};

// The words of the printed line after "qimc m", or empty when none was printed.
std::vector<std::string> PrintedArguments(const std::string& out)
{
    const std::string head = "command line [# ";
    const std::size_t at = out.find(head);
    if (at == std::string::npos)
        return {};
    const std::size_t end = out.find("]\n", at);
    std::istringstream words(out.substr(at + head.size(), end - at - head.size()));
    std::vector<std::string> args;
    for (std::string word; words >> word;)
        args.push_back(word);
    EXPECT_GE(args.size(), 3u);
    EXPECT_EQ(args[0], "qimc");
    EXPECT_EQ(args[1], "m");
    return {args.begin() + 2, args.end()};
}

// A raw floppy's data offset bytes into a sparse file.
void WriteFloppyAt(const std::string& path, std::uint64_t offset)
{
    MakeSparseFile(path, offset + kFloppy.bytes());
    WriteFileAt(path, offset, PatternBytes(0, kFloppy.bytes(), 5));
}

void WritePcAtDisk(const std::string& path)
{
    Bytes disk(std::size_t{40960} * 512);
    PcAtLayout layout;
    layout.primary = {{0x83, 2048, 8192}};
    layout.logical = {{0x0B, 16384, 2048}, {0x07, 20480, 4096}};
    WritePcAtLayout(disk, layout);
    WriteRawImageFrom(path, {40960, 16, 63, 512}, disk, 512);
}

void WritePc98Disk(const std::string& path)
{
    Bytes disk(std::size_t{8000} * 1024);
    Pc98Table table;
    table.bytesPerSector = 1024;
    table.slots[1] = MakePc98Slot(1, 10, "MS-DOS 5.0");
    table.slots[3] = MakePc98Slot(11, 20, "DATA");
    WritePc98Table(disk, table);
    WriteRawImageFrom(path, {8000, 8, 25, 1024}, disk);
}

struct Replay {
    const char* name;
    std::function<void(const TempDir&)> write;
    const char* input;
    int status;
};

const Replay kReplays[] = {
    {"RecognisedFloppyReadWrite",
     [](const TempDir& d) {
         D88Layout layout;
         WriteD88Image(d.file("disk.d88"), layout, PatternBytes(0, layout.diskBytes(), 3));
     },
     "disk.d88 2", 0},
    {"ListedFloppyReadOnly", [](const TempDir& d) { WriteRawImage(d.file("disk.flp"), {kFloppy}); }, "disk.flp 1", 0},
    {"ListedFloppyReadWrite", [](const TempDir& d) { WriteRawImage(d.file("disk.flp"), {kFloppy}); }, "disk.flp 2", 0},
    {"RawFloppyReadWrite", [](const TempDir& d) { WriteRawImage(d.file("fd.bin"), {kFloppy, 1024}); },
     "fd.bin 2 2 1024 512 2880 2 18", 0},
    // Offsets past 2^31 must not come back as 2147483647, a wrong place that
    // a read-write mount would write to.
    {"OffsetPastTwoGiB", [](const TempDir& d) { WriteFloppyAt(d.file("big.bin"), 3000000000); },
     "big.bin 2 2 3000000000 512 2880 2 18", 0},
    {"OffsetAtTheTopOf32Bits", [](const TempDir& d) { WriteFloppyAt(d.file("top.bin"), 4294967295); },
     "top.bin 1 2 4294967295 512 2880 2 18", 0},
    {"PcAtLogicalPartition", [](const TempDir& d) { WritePcAtDisk(d.file("hd.bin")); },
     "hd.bin 2 1 1 512 512 40960 16 63 3", 0x07},
    {"Pc98Partition", [](const TempDir& d) { WritePc98Disk(d.file("98.bin")); },
     "98.bin 1 1 2 0 1024 8000 8 25 2", 0},
};

void PrintTo(const Replay& replay, std::ostream* out) { *out << replay.name; }

class QimcReplayTest : public QimcTest, public ::testing::WithParamInterface<Replay> {};

TEST_P(QimcReplayTest, PrintedLineMountsTheSameChoice)
{
    GetParam().write(dir);
    const QimcResult dialogue = Run({"m"}, GetParam().input);
    ASSERT_EQ(dialogue.status, GetParam().status) << dialogue.out;
    const Bytes record = SavedRecord();
    ASSERT_FALSE(record.empty());
    const std::vector<std::string> args = PrintedArguments(dialogue.out);
    ASSERT_FALSE(args.empty()) << dialogue.out;

    ForgetNode();
    std::vector<std::string> again = {"m"};
    again.insert(again.end(), args.begin(), args.end());
    const QimcResult replay = Run(again);
    EXPECT_EQ(replay.out, "") << dialogue.out;
    EXPECT_EQ(replay.status, GetParam().status);
    EXPECT_EQ(SavedRecord(), record) << dialogue.out;
}

INSTANTIATE_TEST_SUITE_P(Dialogues, QimcReplayTest, ::testing::ValuesIn(kReplays),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace qimtest
