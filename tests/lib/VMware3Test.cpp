// SPDX-License-Identifier: MIT
// COWD extents and the VMware 3 and VMware 2 disks over them: header rules,
// extent names, growth of a file, requests across the units, redo logs.
#include "CowdImage.h"
#include "Disk.h"
#include "DiskEtc.h"
#include "VMware3HardDisk.h"
#include "VMware3Sparse.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

using namespace qim;
using namespace qimtest;
using namespace qimtest::cowdfield;

namespace {

Bytes DiskBytes(Disk* disk, std::uint64_t offset, std::uint32_t length)
{
    Bytes b(length);
    EXPECT_EQ(Disk_Read64(disk, offset, length, b.data()), 0) << "at " << offset;
    return b;
}

// Disk images the header table starts from.
enum Base { kIdeSmall, kIdeTwoFiles, kScsiSmall, kScsiMedium, kRedo3, kPlain2, kRedo2 };
struct BaseImage {
    CowdDisk disk;
    std::uint32_t code;
};
BaseImage BaseOf(Base b)
{
    switch (b) {
    case kIdeSmall: return {{.totalSectors = 2016}, DISK_VMWARE3};
    case kIdeTwoFiles: return {{.totalSectors = 1008 * 4161}, DISK_VMWARE3};
    case kScsiSmall: return {{.totalSectors = 2048, .scsi = true}, DISK_VMWARE3};
    case kScsiMedium: return {{.totalSectors = 0x200000, .scsi = true}, DISK_VMWARE3};
    case kRedo3: return {{.totalSectors = 2016, .parentName = "parent.vmdk"}, DISK_VMWARE3_REDO};
    case kPlain2: return {{.version = 1, .totalSectors = 2016}, DISK_VMWARE2};
    case kRedo2: return {{.version = 1, .totalSectors = 2016, .parentName = "parent.vmdk"}, DISK_VMWARE2_REDO};
    }
    return {};
}

struct HeaderCase {
    const char* name;
    Base base;
    std::uint32_t file;  // which of the disk's files is changed
    std::vector<std::pair<std::size_t, std::uint32_t>> fields;
    int headerCode;  // of the header check on the changed file's bytes
    int openCode;    // of opening the disk with its own code
};

class CowdHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(CowdHeader, RefusesWhatBreaksARuleAndChangesNothing)
{
    const HeaderCase& c = GetParam();
    TempDir dir;
    const BaseImage base = BaseOf(c.base);
    const bool redo = !base.disk.parentName.empty();
    if (redo)
        WriteCowdDisk(dir.file("parent.vmdk"), {.totalSectors = base.disk.totalSectors}, {{0, PatternBytes(0, 4096, 3)}});
    const auto files = WriteCowdDisk(dir.file("disk.vmdk"), base.disk, {{512, PatternBytes(0, 700, 1)}});
    for (const auto& [at, value] : c.fields)
        PatchU32(files[c.file], at, value);
    std::vector<Bytes> before;
    for (const auto& f : files)
        before.push_back(ReadFile(f));

    const Bytes header = ReadFileRange(files[c.file], 0, 2048);
    EXPECT_EQ(CheckCowdHeader(std::as_bytes(std::span(header)), base.disk.version, redo), c.headerCode);
    const std::size_t fds = OpenFileCount();
    Disk disk;
    Disk_Construct(&disk);
    const int rc = Disk_OpenType(&disk, files[0].c_str(), 0, base.code);
    EXPECT_EQ(rc, c.openCode);
    if (rc == 0)
        Disk_Close(&disk);
    EXPECT_EQ(OpenFileCount(), fds) << "a file was left open";
    for (std::size_t k = 0; k < files.size(); ++k)
        EXPECT_EQ(ReadFile(files[k]), before[k]) << files[k];
}

constexpr int kBad = ERR_INVALID_IMAGE;
// The 0 rows show a rule's other side; the patched fields alone decide them.
INSTANTIATE_TEST_SUITE_P(Rules, CowdHeader, ::testing::Values(
    HeaderCase{"Valid", kIdeSmall, 0, {}, 0, 0},
    HeaderCase{"Magic", kIdeSmall, 0, {{0, 0x44574F44}}, kBad, kBad},
    HeaderCase{"Version1", kIdeSmall, 0, {{kVersion, 1}}, kBad, kBad},
    HeaderCase{"SmallBlock", kIdeSmall, 0, {{kSmallBlockSize, 64}}, kBad, kBad},
    HeaderCase{"DirectorySector", kIdeSmall, 0, {{kDirectorySector, 5}}, kBad, kBad},
    HeaderCase{"Field1056", kIdeSmall, 0, {{kZero1056, 1}}, kBad, kBad},
    HeaderCase{"Unpaired1060", kIdeSmall, 0, {{kPaired1060, 1}}, kBad, kBad},
    HeaderCase{"ExtentSize", kIdeSmall, 0, {{kExtentSize, 0x3FF7FF}}, kBad, kBad},
    HeaderCase{"Adapter", kIdeSmall, 0, {{kAdapter, 0x00697461}}, kBad, kBad},
    HeaderCase{"IdeOwnHeads", kIdeSmall, 0, {{kHeads, 15}}, kBad, kBad},
    HeaderCase{"IdeDiskSectorsPerTrack", kIdeSmall, 0, {{kDiskSectorsPerTrack, 32}}, kBad, kBad},
    HeaderCase{"IdeSmallCount", kIdeSmall, 0, {{kExtentCount, 2}}, kBad, kBad},
    HeaderCase{"IdeOwnCylindersTimes1008", kIdeSmall, 0, {{kSectors, 2017}}, kBad, kBad},
    HeaderCase{"IdeCylindersTimes1008", kIdeSmall, 0, {{kDiskCylinders, 3}}, kBad, kBad},
    HeaderCase{"IdeOwnCylindersBelowDisk", kIdeSmall, 0, {{kCylinders, 1}, {kSectors, 1008}}, kBad, kBad},
    HeaderCase{"IdeOwnCylindersAboveDisk", kIdeSmall, 0, {{kCylinders, 3}, {kSectors, 3024}}, 0, 0},
    HeaderCase{"IdeLargeCount", kIdeTwoFiles, 0, {{kExtentCount, 3}}, kBad, kBad},
    HeaderCase{"IdeLargeCylinders", kIdeTwoFiles, 0, {{kDiskCylinders, 4162}}, kBad, kBad},
    HeaderCase{"IdeAbove0xFBFC10Needs16383", kIdeTwoFiles, 0, {{kDiskSectors, 0xFBFC11}, {kExtentCount, 4}}, kBad, kBad},
    HeaderCase{"IdeAbove0xFBFC10", kIdeTwoFiles, 0, {{kDiskSectors, 0xFBFC11}, {kExtentCount, 4}, {kDiskCylinders, 16383}}, 0, kBad},
    HeaderCase{"IdeAbove0x10000000", kIdeTwoFiles, 0, {{kDiskSectors, 0x10000001}, {kExtentCount, 65}, {kDiskCylinders, 16383}}, kBad, kBad},
    HeaderCase{"ScsiHeads", kScsiSmall, 0, {{kDiskHeads, 128}, {kHeads, 128}, {kDiskCylinders, 0}}, kBad, kBad},
    HeaderCase{"ScsiOwnSectors", kScsiSmall, 0, {{kSectors, 4096}}, kBad, kBad},
    HeaderCase{"ScsiOwnCylinders", kScsiSmall, 0, {{kCylinders, 2}}, kBad, kBad},
    HeaderCase{"ScsiProduct", kScsiSmall, 0, {{kDiskCylinders, 2}, {kCylinders, 2}}, kBad, kBad},
    HeaderCase{"ScsiAbove0x1FF800Needs128", kScsiMedium, 0, {{kDiskHeads, 64}, {kHeads, 64}, {kDiskCylinders, 1024}, {kCylinders, 1024}}, kBad, kBad},
    HeaderCase{"ScsiAbove0x3FF000Needs255", kScsiMedium, 0, {{kDiskSectors, 0x3FF800}, {kSectors, 0x3FF800}, {kDiskCylinders, 0x7FF}, {kCylinders, 0x7FF}}, kBad, kBad},
    HeaderCase{"ScsiLimit", kScsiMedium, 0, {{kDiskSectors, 16065 * 16709}, {kDiskHeads, 255}, {kDiskSectorsPerTrack, 63}, {kDiskCylinders, 16709}}, 0, 0},
    HeaderCase{"ScsiAboveLimit", kScsiMedium, 0, {{kDiskSectors, 16065 * 16710}, {kDiskHeads, 255}, {kDiskSectorsPerTrack, 63}, {kDiskCylinders, 16710}}, kBad, kBad},
    HeaderCase{"SingleFileMultiFlags", kIdeSmall, 0, {{kFlags, 0x1B}}, 0, kBad},
    HeaderCase{"FirstFileIndex1", kIdeSmall, 0, {{kExtentIndex, 1}}, 0, kBad},
    HeaderCase{"SecondFileIndex0", kIdeTwoFiles, 1, {{kExtentIndex, 0}}, 0, kBad},
    HeaderCase{"SecondFileCount", kIdeTwoFiles, 1, {{kExtentCount, 3}}, kBad, kBad},
    HeaderCase{"SecondFileFlags", kIdeTwoFiles, 1, {{kFlags, 0x13}}, 0, kBad},
    HeaderCase{"RedoValid", kRedo3, 0, {{kZero1056, 7}}, 0, 0},
    HeaderCase{"RedoFlags", kRedo3, 0, {{kFlags, 0x13}}, 0, kBad},
    HeaderCase{"RedoExtentSize", kRedo3, 0, {{kExtentSize, 0}}, kBad, kBad},
    HeaderCase{"RedoParentOfOtherSize", kRedo3, 0, {{kSectors, 1008}}, 0, kBad},
    HeaderCase{"Plain2Valid", kPlain2, 0, {{kExtentSize, 0}}, 0, 0},
    HeaderCase{"Plain2Version3", kPlain2, 0, {{kVersion, 3}}, kBad, kBad},
    HeaderCase{"Plain2Unpaired1060", kPlain2, 0, {{kPaired1636, 1}}, kBad, kBad},
    HeaderCase{"Plain2RedoFlags", kPlain2, 0, {{kFlags, 0x12}}, 0, kBad},
    HeaderCase{"Redo2ExtentSize", kRedo2, 0, {{kExtentSize, 0x3FF7FF}}, kBad, kBad},
    HeaderCase{"Redo2Flags", kRedo2, 0, {{kFlags, 0x13}}, 0, kBad},
    HeaderCase{"Redo2MissingParent", kRedo2, 0, {{kParentName, 'x'}}, 0, ERR_INVALID_PARAMETER},
    // A table inside the header or directory, or past the free sector: its
    // small blocks would be written over metadata or handed out again.
    HeaderCase{"TableInHeader", kIdeSmall, 0, {{4 * 512, 1}}, 0, kBad},
    HeaderCase{"TablePastFreeSector", kPlain2, 0, {{4 * 512, 0x100000}}, 0, kBad},
    HeaderCase{"FreeSectorInsideTable", kRedo3, 0, {{kFreeSector, 6}}, 0, kBad},
    // The builder's first table follows the one-sector directory, at sector 5.
    HeaderCase{"TableAtFirstFreeSector", kIdeSmall, 0, {{4 * 512, 5}}, 0, 0},
    HeaderCase{"SmallBlockInDirectory", kIdeSmall, 0, {{5 * 512, 4}}, 0, kBad},
    HeaderCase{"SmallBlockPastFreeSector", kRedo2, 0, {{5 * 512, 0x100000}}, 0, kBad}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(VMware3ExtentName, CutsAtTheLastDotOfThePath)
{
    const std::vector<std::tuple<const char*, std::uint32_t, const char*>> cases = {
        {"disk.vmdk", 1, "disk-02.vmdk"}, {"/vm/disk.vmdk", 8, "/vm/disk-09.vmdk"},
        {"disk.vmdk", 99, "disk-100.vmdk"}, {"/images/base.disk/redo", 1, "/images/base-02.disk/redo"},
        {"disk", 1, "disk-02."}};
    for (const auto& [path, k, expected] : cases) {
        std::array<char, 64> out{};
        ASSERT_TRUE(VMware3ExtentName(path, k, out)) << path;
        EXPECT_STREQ(out.data(), expected);
    }
    std::array<char, 12> small{};
    EXPECT_FALSE(VMware3ExtentName("disk.vmdk", 1, small));
    const std::string huge(kNkMaxPath - 4, 'x');
    std::vector<char> big(2 * kNkMaxPath);
    EXPECT_FALSE(VMware3ExtentName(huge.c_str(), 1, big));
}

// The first non-zero byte of an empty file: table, directory entry, free
// sector, block, length, exactly; an all-zero write stores nothing.
TEST(CowdGrowth, FirstWritesAppendTablesAndBlocksInPlace)
{
    TempDir dir;
    const std::string path = dir.file("g.vmdk");
    WriteCowdDisk(path, {.totalSectors = 1008 * 130}, {});
    const std::uint32_t f = FileU32(path, kFreeSector);
    ASSERT_EQ(f, 5u);
    const Bytes empty = ReadFile(path);
    Disk disk;
    ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
    const Bytes zeros(100000, 0);
    ASSERT_EQ(Disk_Write64(&disk, 1000, static_cast<std::uint32_t>(zeros.size()), zeros.data()), 0);
    EXPECT_EQ(ReadFile(path), empty);

    const std::uint8_t one = 0x5A;
    ASSERT_EQ(Disk_Write64(&disk, 0, 1, &one), 0);
    Bytes expected = empty;
    expected.resize(empty.size() + 2048 + 65536, 0);
    auto put = [&](std::uint64_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) expected[at + i] = static_cast<std::uint8_t>(v >> 8 * i); };
    put(2048, f);
    put(kFreeSector, f + 132);
    put(f * 512ull, f + 4);
    expected[(f + 4) * 512ull] = one;
    EXPECT_EQ(ReadFile(path), expected);

    // Across the 32 MiB boundary: a block in the first table, a second table and its block.
    const Bytes two = {1, 2};
    ASSERT_EQ(Disk_Write64(&disk, kCowdLargeBlock - 1, 2, two.data()), 0);
    EXPECT_EQ(FileU32(path, f * 512ull + 4 * 511), f + 132);
    EXPECT_EQ(FileU32(path, 2052), f + 260);
    EXPECT_EQ(FileU32(path, (f + 260) * 512ull), f + 264);
    EXPECT_EQ(FileU32(path, kFreeSector), f + 392);
    EXPECT_EQ(FileSize(path), (f + 392) * 512ull);
    Disk_Close(&disk);
    ASSERT_EQ(Disk_Open(&disk, path.c_str(), 1), 0);
    EXPECT_EQ(DiskBytes(&disk, kCowdLargeBlock - 1, 2), two);
    EXPECT_EQ(DiskBytes(&disk, 0, 2), (Bytes{one, 0}));
    Disk_Close(&disk);
}

// A disk of four full files, read and written across small blocks, large
// blocks and files against a model, with blocks stored apart and together.
TEST(VMware3Disk, RequestsAcrossBlocksAndFiles)
{
    for (const bool reverse : {false, true}) {
        TempDir dir;
        const std::uint64_t extent = kCowdExtentSectors * 512ull;
        DiskRuns model;
        for (std::uint64_t at : {std::uint64_t{0}, kCowdLargeBlock - 70000, extent - 100000, 2 * extent - 5, 3 * extent - 65536})
            model[at] = PatternBytes(at, 200000, 7);
        const auto files = WriteCowdDisk(dir.file("d.vmdk"), {.totalSectors = 4 * kCowdExtentSectors, .reverseOrder = reverse}, model);
        ASSERT_EQ(files.size(), 4u);
        std::mt19937_64 rng(reverse);
        for (int round = 0; round < 2; ++round) {
            Disk disk;
            ASSERT_EQ(Disk_Open(&disk, files[0].c_str(), 0), 0);
            DiskInfo info{};
            Disk_GetDiskInfo(&disk, &info);
            ASSERT_EQ(info.dwTotalSectors, 4 * kCowdExtentSectors);
            for (const auto& [at, bytes] : model)
                for (std::uint64_t probe : {at, at + 65536 - 7, at + 131072 + 3})
                    EXPECT_EQ(DiskBytes(&disk, probe, 60000), RunsBytes(model, probe, 60000)) << probe;
            const std::uint64_t at = round == 0 ? extent - 40000 : rng() % (4 * extent - 100000);
            const Bytes data = PatternBytes(at, 80000, 9 + round);
            ASSERT_EQ(Disk_Write64(&disk, at, 80000, data.data()), 0);
            model[at] = data;
            EXPECT_EQ(DiskBytes(&disk, at - 1000, 82000), RunsBytes(model, at - 1000, 82000));
            Disk_Close(&disk);
        }
    }
}

// A redo log over a parent with data and holes: copy-on-write keeps the
// parent's bytes around new ones, a zero write is stored only over data, the
// block at the disk's end takes only the bytes inside it, the parent never changes.
TEST(CowdRedo, CopiesTheParentIntoNewBlocks)
{
    for (const std::uint32_t version : {3u, 1u}) {
        TempDir dir;
        const std::uint32_t sectors = 1008 * 3;  // ends inside a small block
        const std::uint64_t end = sectors * 512ull;
        const DiskRuns parentRuns = {{0, PatternBytes(0, 400000, 2)}, {end - 200000, PatternBytes(end, 200000, 3)}};
        const auto parent = WriteCowdDisk(dir.file("p.vmdk"), {.totalSectors = sectors}, parentRuns);
        const std::string path = dir.file(version == 3 ? "r.vmdk" : "r.dsk");
        WriteCowdDisk(path, {.version = version, .totalSectors = sectors, .parentName = "p.vmdk"}, {});
        const Bytes parentBefore = ReadFile(parent[0]);
        Disk disk;
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
        EXPECT_EQ(disk.dwType, version == 3 ? DISK_VMWARE3_REDO : DISK_VMWARE2_REDO);
        EXPECT_EQ(DiskBytes(&disk, 1000, 70000), RunsBytes(parentRuns, 1000, 70000));

        const std::uint64_t size0 = FileSize(path);
        const Bytes ten(10, 0xEE);
        ASSERT_EQ(Disk_Write64(&disk, 65536 + 100, 10, ten.data()), 0);
        const std::uint32_t block = FileU32(path, kFreeSector) - 128;
        Bytes expected = RunsBytes(parentRuns, 65536, 65536);
        std::fill(expected.begin() + 100, expected.begin() + 110, 0xEE);
        EXPECT_EQ(ReadFileRange(path, block * 512ull, 65536), expected);
        EXPECT_EQ(FileSize(path), size0 + 2048 + 65536);

        const Bytes zeros(4096, 0);
        ASSERT_EQ(Disk_Write64(&disk, 3 * 65536, 4096, zeros.data()), 0);
        const std::uint32_t stored = FileU32(path, kFreeSector) - 128;
        EXPECT_EQ(ReadFileRange(path, stored * 512ull, 4096), zeros);
        EXPECT_EQ(DiskBytes(&disk, 3 * 65536, 4097), RunsBytes({{0, zeros}, {4096, RunsBytes(parentRuns, 3 * 65536 + 4096, 1)}}, 0, 4097));

        const std::uint64_t grown = FileSize(path);
        ASSERT_EQ(Disk_Write64(&disk, 600000, 4096, zeros.data()), 0);
        EXPECT_EQ(FileSize(path), grown) << "a zero write over zeros stores nothing";

        ASSERT_EQ(Disk_Write64(&disk, end - 1, 1, ten.data()), 0);
        const std::uint32_t last = FileU32(path, kFreeSector) - 128;
        expected = RunsBytes(parentRuns, end - end % 65536, 65536);
        expected[end % 65536 - 1] = 0xEE;
        EXPECT_EQ(ReadFileRange(path, last * 512ull, 65536), expected);
        Disk_Close(&disk);
        EXPECT_EQ(ReadFile(parent[0]), parentBefore);
    }
}

// Chains of redo logs open 64 parents deep; one more, or a loop, is refused.
TEST(CowdRedo, ParentChainsEndAt64Levels)
{
    TempDir dir;
    WriteCowdDisk(dir.file("r0.dsk"), {.version = 1, .totalSectors = 2016}, {{0, Bytes(7, 7)}});
    for (int level = 1; level <= 65; ++level)
        WriteCowdDisk(dir.file("r" + std::to_string(level) + ".dsk"),
                      {.version = 1, .totalSectors = 2016, .parentName = "r" + std::to_string(level - 1) + ".dsk"}, {});
    WriteCowdDisk(dir.file("loop.dsk"), {.version = 1, .totalSectors = 2016, .parentName = "loop.dsk"}, {});
    const std::size_t fds = OpenFileCount();
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, dir.file("r64.dsk").c_str(), 1), 0);
    EXPECT_EQ(DiskBytes(&disk, 0, 8), (Bytes{7, 7, 7, 7, 7, 7, 7, 0}));
    Disk_Close(&disk);
    EXPECT_EQ(Disk_OpenType(&disk, dir.file("r65.dsk").c_str(), 1, DISK_VMWARE2_REDO), ERR_INVALID_IMAGE);
    EXPECT_EQ(Disk_OpenType(&disk, dir.file("loop.dsk").c_str(), 1, DISK_VMWARE2_REDO), ERR_INVALID_IMAGE);
    EXPECT_EQ(OpenFileCount(), fds);
}

// qemu-img (7.2) reads a COWD file only as the "VMFSSPARSE" extent of a
// descriptor, with 4,096-entry tables that agree with these 512-entry ones in
// the first 32 MiB: images built and grown here read the same through it.
TEST(CowdPeer, QemuImgReadsTheSameBytes)
{
    if (std::system("qemu-img --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "qemu-img is not installed (Debian package qemu-utils)";
    for (const std::uint32_t version : {3u, 1u}) {
        TempDir dir;
        const std::uint32_t sectors = 1008 * 60;
        const std::string path = dir.file("q.vmdk");
        WriteCowdDisk(path, {.version = version, .totalSectors = sectors, .reverseOrder = true},
                      {{5000, PatternBytes(5000, 300000, 8)}, {sectors * 512ull - 100, Bytes(100, 9)}});
        Disk disk;
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
        const Bytes data = PatternBytes(0, 200000, 10);
        ASSERT_EQ(Disk_Write64(&disk, 20000000, 200000, data.data()), 0);
        const Bytes all = DiskBytes(&disk, 0, sectors * 512);
        Disk_Close(&disk);
        const std::string descriptor = "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                                       "createType=\"vmfsSparse\"\nRW " + std::to_string(sectors) +
                                       " VMFSSPARSE \"q.vmdk\"\n";
        WriteFile(dir.file("desc.vmdk"), Bytes(descriptor.begin(), descriptor.end()));
        const std::string raw = dir.file("q.raw");
        const std::string command = "qemu-img convert -f vmdk -O raw '" + dir.file("desc.vmdk") + "' '" + raw + "'";
        if (std::system(command.c_str()) != 0)
            GTEST_SKIP() << "this qemu-img does not read COWD extents: " << command;
        EXPECT_TRUE(ReadFileRange(raw, 0, all.size()) == all) << "version " << version;
    }
}

}  // namespace
