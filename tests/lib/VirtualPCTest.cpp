// SPDX-License-Identifier: MIT
// Virtual PC images: what the header checks accept and refuse, how a dynamic
// image grows, copy-on-write in differencing images and parent chains.
#include "Disk.h"
#include "VirtualPCHardDisk.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qim;
using namespace qimtest;

namespace {

// 20160 sectors: not a whole MiB, so the footer states 10 MiB and the table 5 blocks.
constexpr VpcGeometry kGeometry = {20, 16, 63};
constexpr std::uint64_t kBlock = kVpcBlockBytes;
constexpr std::uint32_t kFixed = DISK_VIRTUALPC_FIXED, kDynamic = DISK_VIRTUALPC, kChild = DISK_VIRTUALPC_DIFFERENCE;

std::size_t OpenFiles()
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// A disk with data in blocks 0, 2 and 4 only.
Bytes SampleDisk(std::uint32_t seed)
{
    Bytes disk = PatternBytes(0, kGeometry.bytes(), seed);
    std::fill(disk.begin() + kBlock, disk.begin() + 2 * kBlock, 0);
    std::fill(disk.begin() + 3 * kBlock, disk.begin() + 4 * kBlock, 0);
    return disk;
}

struct OpenDisk {
    OpenDisk() { Disk_Construct(&disk); }
    ~OpenDisk()
    {
        if (disk.pImpl != nullptr)
            Disk_Close(&disk);
    }
    [[nodiscard]] Bytes Read(std::uint64_t at, std::size_t n)
    {
        Bytes b(n);
        EXPECT_EQ(Disk_Read64(&disk, at, static_cast<std::uint32_t>(n), b.data()), 0);
        return b;
    }
    [[nodiscard]] int Write(std::uint64_t at, const Bytes& b)
    {
        return Disk_Write64(&disk, at, static_cast<std::uint32_t>(b.size()), b.data());
    }
    std::uint32_t Entry(std::uint32_t block) const
    {
        return static_cast<VirtualPCHardDiskState*>(disk.pImpl)->pdwBlockTable[block];
    }
    Disk disk{};
};

Bytes BE(std::uint64_t v, std::size_t width)
{
    Bytes b(width);
    for (std::size_t i = 0; i < width; ++i)
        b[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
    return b;
}
Bytes Text(const std::string& s) { return {s.begin(), s.end()}; }
Bytes Twice(const Bytes& b)
{
    Bytes both = b;
    both.insert(both.end(), b.begin(), b.end());
    return both;
}

// One field of one image kind set to one value, and the code opening it gives.
enum class Where { Footers, Trailing, File, ParentFooters };
struct FieldCase {
    const char* name;
    std::uint32_t type;
    Where where;
    std::uint64_t at;  // within the footer(s), or a file offset
    Bytes value;
    int expected;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class VirtualPCField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(VirtualPCField, OpenGivesCodeAndLeavesFileAndNothingOpen)
{
    const FieldCase& c = GetParam();
    TempDir dir;
    const std::string parent = dir.file("parent.vhd");
    const std::string path = dir.file("image.vhd");
    WriteVpcSparse(parent, {.geometry = kGeometry}, SampleDisk(1));
    if (c.type == DISK_VIRTUALPC_FIXED)
        WriteVpcFixed(path, kGeometry, SampleDisk(2));
    else
        WriteVpcSparse(path, {.geometry = kGeometry, .parent = c.type == kChild ? parent : ""}, SampleDisk(2));
    const std::uint64_t trailing = FileSize(path) - 511;
    if (c.where == Where::File)
        WriteFileAt(path, c.at, c.value);
    if (c.where == Where::ParentFooters) {
        WriteFileAt(parent, c.at, c.value);
        WriteFileAt(parent, FileSize(parent) - 511 + c.at, c.value);
    } else if (c.where != Where::File) {
        WriteFileAt(path, trailing + c.at, c.value);
    }
    if (c.where == Where::Footers && c.type != DISK_VIRTUALPC_FIXED)
        WriteFileAt(path, c.at, c.value);
    const Bytes before = ReadFile(path);
    const Bytes parentBefore = ReadFile(parent);
    const std::size_t files = OpenFiles();

    OpenDisk d;
    EXPECT_EQ(Disk_OpenType(&d.disk, path.c_str(), 0, c.type), c.expected);
    EXPECT_EQ(d.disk.pImpl != nullptr, c.expected == 0);
    if (d.disk.pImpl != nullptr)
        Disk_Close(&d.disk);
    EXPECT_EQ(OpenFiles(), files);
    EXPECT_TRUE(ReadFile(path) == before);
    EXPECT_TRUE(ReadFile(parent) == parentBefore);
}

constexpr std::uint64_t kSize = 10 << 20;

INSTANTIATE_TEST_SUITE_P(
    Footer, VirtualPCField,
    ::testing::Values(
        FieldCase{"cookie", kDynamic, Where::Footers, 7, {'y'}, ERR_INVALID_IMAGE},
        FieldCase{"version", kFixed, Where::Footers, 12, BE(0x00010001, 4), ERR_INVALID_IMAGE},
        FieldCase{"type", kDynamic, Where::Footers, 60, BE(4, 4), ERR_INVALID_IMAGE},
        FieldCase{"fixedDataOffset", kFixed, Where::Footers, 16, BE(512, 8), ERR_INVALID_IMAGE},
        FieldCase{"sparseDataOffset", kChild, Where::Footers, 16, BE(1024, 8), ERR_INVALID_IMAGE},
        FieldCase{"creator", kFixed, Where::Footers, 28, Text("qemu"), ERR_INVALID_IMAGE},
        FieldCase{"sizesDifferInOneByte", kDynamic, Where::Footers, 55, {1}, ERR_INVALID_IMAGE},
        FieldCase{"sizesNotRounded", kDynamic, Where::Footers, 40, Twice(BE(kSize + 512, 8)), ERR_INVALID_IMAGE},
        FieldCase{"heads", kFixed, Where::Footers, 58, {17}, ERR_INVALID_IMAGE},
        FieldCase{"cylinders", kDynamic, Where::Footers, 56, BE(21, 2), ERR_INVALID_IMAGE},
        FieldCase{"sectorsPerTrack", kChild, Where::Footers, 59, {65}, ERR_INVALID_IMAGE},
        // 20 x 16 x 64 sectors are 10 MiB exactly: the size stated still holds them.
        FieldCase{"sectorsPerTrackWithinSize", kDynamic, Where::Footers, 59, {64}, 0},
        FieldCase{"fixedSizeNotRounded", kFixed, Where::Footers, 40, Twice(BE(kSize - 512, 8)), ERR_INVALID_IMAGE},
        FieldCase{"checksumNotChecked", kFixed, Where::Footers, 64, BE(0xDEADBEEF, 4), 0},
        FieldCase{"stampNotChecked", kChild, Where::Footers, 24, BE(1, 4), 0},
        FieldCase{"dynamicTrailingMayDiffer", kDynamic, Where::Trailing, 0, {'X'}, 0},
        FieldCase{"childTrailingMustMatch", kChild, Where::Trailing, 84, {1}, ERR_INVALID_IMAGE},
        FieldCase{"fixedFullFooterSector", kFixed, Where::Trailing, 511, {0}, ERR_INVALID_IMAGE}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SparseHeader, VirtualPCField,
    ::testing::Values(FieldCase{"cookie", kDynamic, Where::File, 512, Text("cxsparsf"), ERR_INVALID_IMAGE},
                      FieldCase{"dataOffset", kDynamic, Where::File, 520 + 7, {0}, ERR_INVALID_IMAGE},
                      FieldCase{"tableOffset", kChild, Where::File, 528, BE(2048, 8), ERR_INVALID_IMAGE},
                      FieldCase{"version", kDynamic, Where::File, 536, BE(0x00020000, 4), ERR_INVALID_IMAGE},
                      FieldCase{"maxTableEntries", kDynamic, Where::File, 540, BE(6, 4), ERR_INVALID_IMAGE},
                      FieldCase{"blockSize", kDynamic, Where::File, 544, BE(0x100000, 4), ERR_INVALID_IMAGE},
                      FieldCase{"checksumHead", kDynamic, Where::File, 548, {0xFF, 0xFE}, ERR_INVALID_IMAGE},
                      FieldCase{"checksumTailNotChecked", kDynamic, Where::File, 550, {0, 0}, 0},
                      FieldCase{"entryIntoHeader", kDynamic, Where::File, 1536, BE(1, 4), ERR_INVALID_IMAGE},
                      FieldCase{"entryPastFooter", kDynamic, Where::File, 1540, BE(kSize, 4), ERR_INVALID_IMAGE}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ParentLocator, VirtualPCField,
    ::testing::Values(FieldCase{"code", kChild, Where::File, kVpcLocatorEntry7, Text("W2ku"), ERR_INVALID_IMAGE},
                      FieldCase{"space", kChild, Where::File, kVpcLocatorEntry7 + 4, BE(511, 4), ERR_INVALID_IMAGE},
                      FieldCase{"emptyName", kChild, Where::File, kVpcLocatorEntry7 + 8, BE(0, 4), ERR_INVALID_IMAGE},
                      FieldCase{"nameTooLong", kChild, Where::File, kVpcLocatorEntry7 + 8, BE(4096, 4),
                                ERR_INVALID_IMAGE},
                      FieldCase{"highOffsetIgnored", kChild, Where::File, kVpcLocatorEntry7 + 16, BE(7, 4), 0},
                      // 20 x 15 x 63 sectors round to the same 10 MiB: a valid parent of another geometry.
                      FieldCase{"parentGeometry", kChild, Where::ParentFooters, 58, {15}, ERR_INVALID_IMAGE},
                      // A parent no driver takes: the answer of the open that offered it to every driver.
                      // A parent replaced by another disk of the same size.
                      FieldCase{"parentUniqueId", kChild, Where::ParentFooters, 68, {0x55}, ERR_INVALID_IMAGE},
                      FieldCase{"parentRefused", kChild, Where::ParentFooters, 0, Text("x"), ERR_INVALID_PARAMETER},
                      FieldCase{"noParent", kChild, Where::File, 2048, Text("/nonexistent/"),
                                ERR_INVALID_PARAMETER}),
    [](const auto& p) { return std::string(p.param.name); });

// A first write of one byte, for a trailing footer of 511 and of 512 bytes:
// the block goes where the footer began (rounded down to a sector), the
// footer moves behind it, the entry is the bitmap's sector, in memory and on file.
TEST(VirtualPCDynamic, GrowsOneBlockBehindTheDataAndMovesTheFooter)
{
    for (const std::uint32_t footerBytes : {511u, 512u}) {
        SCOPED_TRACE(footerBytes);
        TempDir dir;
        const std::string path = dir.file("d.vhd");
        Bytes model = SampleDisk(3);
        VpcSparseLayout layout{.geometry = kGeometry};
        layout.trailingFooterBytes = footerBytes;
        WriteVpcSparse(path, layout, model);
        const Bytes before = ReadFile(path);
        const std::uint64_t length = before.size();
        const std::uint64_t pos = (length - 511) / 512 * 512;

        OpenDisk d;
        ASSERT_EQ(Disk_Open(&d.disk, path.c_str(), 0), 0);
        ASSERT_EQ(d.disk.dwType, kDynamic);
        EXPECT_EQ(d.Write(3 * kBlock + 5, {0x5C}), 0);
        EXPECT_EQ(d.Entry(3), pos / 512);
        EXPECT_EQ(VpcTableEntry(path, 3), pos / 512);
        const Bytes after = ReadFile(path);
        ASSERT_EQ(after.size(), pos + 512 + kBlock + 511);
        Bytes kept(before.begin(), before.begin() + static_cast<long>(pos));
        const Bytes entry = BE(pos / 512, 4);
        std::copy(entry.begin(), entry.end(), kept.begin() + kVpcTableOffset + 3 * 4);
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), after.begin())) << "all else before the old footer is kept";
        Bytes bitmap(512, 0);
        bitmap[0] = 0x80;
        EXPECT_EQ(ReadFileRange(path, pos, 512), bitmap);
        EXPECT_EQ(after[pos + 512 + 5], 0x5C);
        EXPECT_EQ(ReadFileRange(path, pos + 512, 5), Bytes(5, 0));
        EXPECT_TRUE(std::equal(after.end() - 511, after.end(), after.begin())) << "the footer is last";

        // All-zero writes to unallocated blocks allocate nothing.
        EXPECT_EQ(d.Write(kBlock + 100, Bytes(4096, 0)), 0);
        EXPECT_EQ(d.Write(kBlock - 4096, Bytes(2 * 4096, 0)), 0) << "half into allocated block 0";
        EXPECT_EQ(FileSize(path), after.size());
        // Across a block boundary: the last sector of block 0 and the first of
        // block 1, which is allocated behind block 3, each with its own bitmap.
        const Bytes cross = PatternBytes(0, 1024, 9);
        EXPECT_EQ(d.Write(kBlock - 512, cross), 0);
        EXPECT_EQ(d.Entry(1), (after.size() - 511) / 512);
        EXPECT_EQ(ReadFileRange(path, std::uint64_t{d.Entry(1)} * 512, 1), Bytes{0x80});

        model[3 * kBlock + 5] = 0x5C;
        std::fill_n(model.begin() + kBlock - 4096, 4096, 0);
        std::copy(cross.begin(), cross.end(), model.begin() + kBlock - 512);
        Disk_Close(&d.disk);
        ASSERT_EQ(Disk_Open(&d.disk, path.c_str(), 1), 0);
        EXPECT_TRUE(d.Read(0, model.size()) == model);
    }
}

// A footer right behind a table that does not fill its last sector: the
// first block goes behind the table, at a sector, not over it.
TEST(VirtualPCDynamic, FirstBlockBehindAnUnpaddedTable)
{
    TempDir dir;
    const std::string path = dir.file("d.vhd");
    WriteVpcSparse(path, {.geometry = kGeometry}, Bytes(kGeometry.bytes(), 0));
    const Bytes footer = ReadFileRange(path, 0, 511);
    const std::uint64_t tableEnd = kVpcTableOffset + 4 * kGeometry.tableEntries();
    ASSERT_NE(tableEnd % 512, 0u);
    std::filesystem::resize_file(path, tableEnd);
    WriteFileAt(path, tableEnd, footer);
    Bytes model(kGeometry.bytes(), 0);
    {
        OpenDisk d;
        ASSERT_EQ(Disk_Open(&d.disk, path.c_str(), 0), 0);
        model[2 * kBlock + 7] = 0x5C;
        EXPECT_EQ(d.Write(2 * kBlock + 7, {0x5C}), 0);
        EXPECT_EQ(d.Entry(2), (tableEnd + 511) / 512);
    }
    OpenDisk d;
    ASSERT_EQ(Disk_Open(&d.disk, path.c_str(), 1), 0);
    EXPECT_TRUE(d.Read(0, model.size()) == model);
    EXPECT_EQ(VpcTableEntry(path, 0), UINT32_MAX);
}

struct Chain {
    TempDir dir;
    std::string grand = dir.file("grand.vhd"), parent = dir.file("parent.vhd"), child = dir.file("child.vhd");
    Bytes model = SampleDisk(4);
    // The grandparent holds blocks 0, 2, 4; the parent overrides every other
    // sector of block 2 and sector 0 of block 3; the child is empty.
    Chain()
    {
        WriteVpcSparse(grand, {.geometry = kGeometry}, model);
        Bytes mid = PatternBytes(0, kGeometry.bytes(), 5);
        std::vector<bool> present(kGeometry.sectors(), false);
        for (std::uint64_t s = 2 * kBlock / 512; s < 3 * kBlock / 512 + 1; s += 2) {
            present[s] = true;
            std::copy_n(mid.begin() + static_cast<long>(s * 512), 512, model.begin() + static_cast<long>(s * 512));
        }
        WriteVpcSparse(parent, {kGeometry, grand, present}, mid);
        WriteVpcSparse(child, {kGeometry, parent, std::vector<bool>(kGeometry.sectors(), false)},
                       Bytes(kGeometry.bytes(), 0));
    }
};

TEST(VirtualPCDifferencing, ThreeLevelsReadThroughAndWriteOnlyTheChild)
{
    Chain c;
    const Bytes grandBefore = ReadFile(c.grand), parentBefore = ReadFile(c.parent);
    const std::uint64_t childLength = FileSize(c.child);
    OpenDisk d;
    ASSERT_EQ(Disk_Open(&d.disk, c.child.c_str(), 0), 0);
    ASSERT_EQ(d.disk.dwType, kChild);
    EXPECT_TRUE(d.Read(0, c.model.size()) == c.model);

    // Zeros over zeros (block 1 everywhere) allocate nothing; zeros over data do.
    EXPECT_EQ(d.Write(kBlock + 512, Bytes(8192, 0)), 0);
    EXPECT_EQ(FileSize(c.child), childLength);
    EXPECT_EQ(d.Write(10, Bytes(2, 0)), 0);
    EXPECT_EQ(FileSize(c.child), childLength + 512 + kBlock);
    // 10 bytes 100 bytes into an absent sector: the whole sector is stored,
    // the rest of it from the parent, and it now reads from the child.
    const std::uint64_t at = 2 * kBlock + 3 * 512 + 100;
    const Bytes ten = PatternBytes(0, 10, 11);
    EXPECT_EQ(d.Write(at, ten), 0);
    // A run across present and absent sectors, partial at both ends.
    const Bytes run = PatternBytes(0, 3000, 12);
    EXPECT_EQ(d.Write(2 * kBlock + 5 * 512 + 7, run), 0);
    std::fill_n(c.model.begin() + 10, 2, 0);
    std::copy(ten.begin(), ten.end(), c.model.begin() + static_cast<long>(at));
    std::copy(run.begin(), run.end(), c.model.begin() + static_cast<long>(2 * kBlock + 5 * 512 + 7));

    const std::uint64_t sector3 = std::uint64_t{d.Entry(2)} * 512 + 512 + 3 * 512;
    EXPECT_TRUE(ReadFileRange(c.child, sector3, 512) ==
                Bytes(c.model.begin() + static_cast<long>(at - 100), c.model.begin() + static_cast<long>(at + 412)));
    EXPECT_EQ(ReadFileRange(c.child, std::uint64_t{d.Entry(2)} * 512, 2), (Bytes{0x17, 0xE0}))
        << "sectors 3 and 5..11 present";
    EXPECT_TRUE(d.Read(0, c.model.size()) == c.model);
    Disk_Close(&d.disk);
    EXPECT_TRUE(ReadFile(c.grand) == grandBefore);
    EXPECT_TRUE(ReadFile(c.parent) == parentBefore);
    ASSERT_EQ(Disk_Open(&d.disk, c.child.c_str(), 1), 0);
    EXPECT_TRUE(d.Read(0, c.model.size()) == c.model);
}

TEST(VirtualPCDifferencing, RefusedParentsLeaveNothingOpen)
{
    TempDir dir;
    constexpr VpcGeometry kSmall = {4, 16, 63};  // one block
    const std::size_t files = OpenFiles();
    const Bytes zeros(kSmall.bytes(), 0);
    const std::vector<bool> none(kSmall.sectors(), false);
    // Same rounded size, other head count.
    WriteVpcSparse(dir.file("other.vhd"), {.geometry = {4, 15, 63}}, Bytes(VpcGeometry{4, 15, 63}.bytes(), 0));
    WriteVpcSparse(dir.file("onOther.vhd"), {kSmall, dir.file("other.vhd"), none}, zeros);
    // A loop of two, and a chain one level deeper than the 64 allowed below the top.
    WriteVpcSparse(dir.file("a.vhd"), {kSmall, dir.file("b.vhd"), none}, zeros);
    WriteVpcSparse(dir.file("b.vhd"), {kSmall, dir.file("a.vhd"), none}, zeros);
    WriteVpcSparse(dir.file("0.vhd"), {.geometry = kSmall}, PatternBytes(0, kSmall.bytes(), 6));
    for (int i = 1; i <= 65; ++i)
        WriteVpcSparse(dir.file(std::to_string(i) + ".vhd"), {kSmall, std::to_string(i - 1) + ".vhd", none},
                       zeros);
    for (const char* name : {"onOther.vhd", "a.vhd", "65.vhd"}) {
        OpenDisk d;
        EXPECT_EQ(Disk_OpenType(&d.disk, dir.file(name).c_str(), 1, kChild), ERR_INVALID_IMAGE) << name;
        EXPECT_EQ(OpenFiles(), files) << name;
    }
    OpenDisk deep;
    ASSERT_EQ(Disk_Open(&deep.disk, dir.file("64.vhd").c_str(), 1), 0) << "64 levels below the top open";
    EXPECT_TRUE(deep.Read(0, kSmall.bytes()) == PatternBytes(0, kSmall.bytes(), 6));
}

}  // namespace
