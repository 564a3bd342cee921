// SPDX-License-Identifier: MIT
// VMware 4 extents and disks: header and consistency checks at open, grain
// growth byte for byte, and every refusal of the three drivers.
#include "Disk.h"
#include "VMware4Image.h"
#include "VMware4Sparse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

using namespace qim;
using namespace qimtest;

namespace {

void Put32(const std::string& path, std::uint64_t at, std::uint32_t v)
{
    WriteFileAt(path, at, {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
}

Bytes DiskBytes(std::size_t grains, std::uint32_t seed) { return PatternBytes(0, grains * kVmdkGrainBytes, seed); }

// Opening the extent fails with the code, leaves nothing open and changes no byte.
void ExpectExtentRefused(const std::string& path, int code, std::uint32_t descriptorFlag, const std::string& what)
{
    const Bytes before = ReadFile(path);
    const std::size_t files = OpenFileCount();
    VMware4Sparse extent;
    VMware4Sparse_Construct(&extent);
    EXPECT_EQ(VMware4Sparse_Open(&extent, path.c_str(), 0, descriptorFlag), code) << what;
    EXPECT_EQ(extent.hFile, nullptr) << what;
    EXPECT_EQ(OpenFileCount(), files) << what;
    EXPECT_TRUE(ReadFile(path) == before) << what;
}

TEST(VMware4Sparse, HeaderChecks)
{
    TempDir dir;
    const std::string path = dir.file("disk.vmdk");
    const struct {
        std::size_t field;
        std::uint32_t bad;
    } rows[] = {
        {kVMware4Magic, 0x564D444C},      {kVMware4Version, 2},           {kVMware4Flags, 1},
        {kVMware4GrainSize, 64},          {kVMware4DescriptorOffset, 2},  {kVMware4DescriptorSize, 19},
        {kVMware4GtesPerGt, 256},         {kVMware4CheckWord0, 0x0D200A01}, {kVMware4CheckWord0, 0x0D0A0A00},
        {kVMware4CheckWord1, 0x0001000A}, {kVMware4CheckWord1, 0x0100000A}, {kVMware4Capacity, 0x10000001},
    };
    for (const auto& row : rows) {
        WriteVmdkMonolithic(path, DiskBytes(2, 1));
        Bytes header = ReadFileRange(path, 0, kVMware4HeaderBytes);
        EXPECT_EQ(CheckVMware4SparseHeader(std::as_bytes(std::span{header}), 0), 0);
        std::memcpy(&header[row.field], &row.bad, 4);
        const std::string what = "field " + std::to_string(row.field);
        EXPECT_EQ(CheckVMware4SparseHeader(std::as_bytes(std::span{header}), 0), ERR_INVALID_IMAGE) << what;
        WriteFileAt(path, 0, header);
        ExpectExtentRefused(path, ERR_INVALID_IMAGE, 0, what);
    }
    WriteVmdkMonolithic(path, DiskBytes(2, 1));
    ExpectExtentRefused(path, ERR_INVALID_IMAGE, 1, "an embedded descriptor where none may be");
    Vmdk4ExtentLayout plain;
    plain.capacity = 256;
    WriteVmdk4Extent(path, plain, DiskBytes(2, 1));
    ExpectExtentRefused(path, ERR_INVALID_IMAGE, 0, "no embedded descriptor where one must be");
}

TEST(VMware4Sparse, ConsistencyChecks)
{
    TempDir dir;
    const std::string path = dir.file("x.vmdk");
    Vmdk4ExtentLayout layout;
    layout.capacity = 0x10000000;
    EXPECT_EQ(WriteVmdk4Extent(path, layout, {}).grains.size(), 4096u * 512);
    VMware4Sparse extent;
    VMware4Sparse_Construct(&extent);
    ASSERT_EQ(VMware4Sparse_Open(&extent, path.c_str(), 1, 1), 0) << "the largest capacity, no grain";
    VMware4Sparse_Close(&extent);

    layout.capacity = 70000;  // two tables
    const std::function<void(const Vmdk4ExtentMap&)> breaks[] = {
        [&](const Vmdk4ExtentMap& m) { Put32(path, m.gts[1] * 512ull + 8, m.grains[2] + 128); },
        [&](const Vmdk4ExtentMap& m) { Put32(path, m.redundantGd * 512 + 4, 0); },
        [&](const Vmdk4ExtentMap& m) { Put32(path, m.gd * 512, 0); },
        [&](const Vmdk4ExtentMap&) { std::filesystem::resize_file(path, FileSize(path) - 512); },
        // A grain inside the metadata, and a table over the header: writes would overwrite them.
        [&](const Vmdk4ExtentMap& m) {
            Put32(path, m.redundantGts[0] * 512ull + 40, 3);
            Put32(path, m.gts[0] * 512ull + 40, 3);
        },
        [&](const Vmdk4ExtentMap& m) { Put32(path, m.redundantGd * 512, 0), Put32(path, m.gd * 512, 0); },
        // The overhead ending inside the last table; a directory read from the header.
        [&](const Vmdk4ExtentMap& m) { Put32(path, kVMware4Overhead, m.gts.back() + 3); },
        [&](const Vmdk4ExtentMap&) { Put32(path, kVMware4RedundantGdOffset, 0); },
        [&](const Vmdk4ExtentMap&) { Put32(path, kVMware4GdOffset, 0); },
        // Both copies name a grain behind the file's end.
        [&](const Vmdk4ExtentMap& m) {
            Put32(path, m.redundantGts[0] * 512ull + 8, m.grains[2] + 1024);
            Put32(path, m.gts[0] * 512ull + 8, m.grains[2] + 1024);
        },
    };
    for (std::size_t i = 0; i < std::size(breaks); ++i) {
        Bytes disk(70000 * 512ull, 0);
        std::fill_n(disk.begin() + 2 * kVmdkGrainBytes, 100, 7);
        std::fill_n(disk.begin() + 513 * kVmdkGrainBytes, 100, 8);
        breaks[i](WriteVmdk4Extent(path, layout, disk));
        ExpectExtentRefused(path, ERR_INVALID_IMAGE, 1, "case " + std::to_string(i));
    }
}

// A process that ends between a grain's append and its table entry leaves the
// file longer than its highest grain, by as much of the append as was done:
// the disk still opens and reads as before, and the next grain goes behind
// the leaked bytes, starting at a sector.
TEST(VMware4Sparse, AppendWithoutEntryStillOpens)
{
    TempDir dir;
    const std::string path = dir.file("m.vmdk");
    for (const std::size_t tail : {std::size_t{1}, std::size_t{1000}, std::size_t{4096}, kVmdkGrainBytes}) {
        Bytes model = DiskBytes(4, 9);
        std::fill_n(model.begin() + 2 * kVmdkGrainBytes, kVmdkGrainBytes, 0);
        WriteVmdkMonolithic(path, model);
        const std::uint64_t size = FileSize(path);
        WriteFileAt(path, size, PatternBytes(0, tail, 3));
        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0) << "tail " << tail;
        Bytes got(model.size());
        ASSERT_EQ(Disk_Read64(&disk, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
        EXPECT_TRUE(got == model) << "tail " << tail;
        const Bytes data(512, 0x5D);
        ASSERT_EQ(Disk_Write64(&disk, 2 * kVmdkGrainBytes + 512, 512, data.data()), 0);
        std::copy(data.begin(), data.end(), model.begin() + 2 * kVmdkGrainBytes + 512);
        Disk_Close(&disk);
        EXPECT_EQ(FileSize(path), (size + tail + 511) / 512 * 512 + kVmdkGrainBytes) << "tail " << tail;
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 1), 0) << "tail " << tail;
        ASSERT_EQ(Disk_Read64(&disk, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
        EXPECT_TRUE(got == model) << "tail " << tail;
        Disk_Close(&disk);
    }
}

// A file grown past what a 32-bit sector number addresses (a hole will do)
// takes no more grains: the write fails and no grain or table changes.
TEST(VMware4Sparse, NoGrainPastTheLastSectorNumber)
{
    TempDir dir;
    const std::string path = dir.file("m.vmdk");
    Bytes model = DiskBytes(4, 9);
    std::fill_n(model.begin() + 2 * kVmdkGrainBytes, kVmdkGrainBytes, 0);
    WriteVmdkMonolithic(path, model);
    const Bytes before = ReadFile(path);
    const std::uint64_t size = (std::uint64_t{1} << 32) * 512 + 5 * 512;
    std::filesystem::resize_file(path, size);
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
    const Bytes data(512, 0x5D);
    EXPECT_NE(Disk_Write64(&disk, 2 * kVmdkGrainBytes, 512, data.data()), 0);
    Bytes got(model.size());
    ASSERT_EQ(Disk_Read64(&disk, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
    Disk_Close(&disk);
    EXPECT_TRUE(got == model);
    EXPECT_EQ(FileSize(path), size);
    // Behind the header and the descriptor, whose CID the write renewed.
    const std::size_t metadata = 21 * 512;
    EXPECT_TRUE(ReadFileRange(path, metadata, before.size() - metadata) == Bytes(before.begin() + metadata, before.end()));
}

// A process that ends between an entry's write to the redundant table and to
// the primary one leaves the entry in the redundant copy alone: the extent
// still opens and reads it, and opening changes nothing (an open that fails
// further on must leave the files as they were). The first write completes
// the primary copy. Other differences stay refused (above).
TEST(VMware4Sparse, EntryOnlyInTheRedundantTableOpens)
{
    TempDir dir;
    const std::string path = dir.file("x.vmdk");
    Vmdk4ExtentLayout layout;
    layout.capacity = 4 * kVmdkGrainBytes / 512;
    Bytes disk = DiskBytes(4, 11);
    const Vmdk4ExtentMap map = WriteVmdk4Extent(path, layout, disk);
    const std::uint64_t primaryEntry = map.gts[0] * 512ull + 4 * 2;
    Put32(path, primaryEntry, 0);
    const Bytes before = ReadFile(path);
    for (const std::uint32_t readOnly : {1u, 0u}) {
        VMware4Sparse extent;
        VMware4Sparse_Construct(&extent);
        ASSERT_EQ(VMware4Sparse_Open(&extent, path.c_str(), readOnly, 1), 0) << readOnly;
        Bytes got(disk.size());
        ASSERT_EQ(VMware4Sparse_Read(&extent, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
        EXPECT_TRUE(got == disk) << readOnly;
        VMware4Sparse_Close(&extent);
        EXPECT_TRUE(ReadFile(path) == before) << readOnly;
    }
    VMware4Sparse extent;
    VMware4Sparse_Construct(&extent);
    ASSERT_EQ(VMware4Sparse_Open(&extent, path.c_str(), 0, 1), 0);
    const Bytes sector(512, 0x5A);
    ASSERT_EQ(VMware4Sparse_Write(&extent, 0, 512, sector.data()), 0);
    VMware4Sparse_Close(&extent);
    std::copy(sector.begin(), sector.end(), disk.begin());
    const Bytes after = ReadFile(path);
    EXPECT_TRUE(std::equal(after.begin() + static_cast<std::ptrdiff_t>(primaryEntry),
                           after.begin() + static_cast<std::ptrdiff_t>(primaryEntry + 4),
                           after.begin() + static_cast<std::ptrdiff_t>(map.redundantGts[0] * 512ull + 8)));
    VMware4Sparse_Construct(&extent);
    ASSERT_EQ(VMware4Sparse_Open(&extent, path.c_str(), 1, 1), 0);
    Bytes got(disk.size());
    ASSERT_EQ(VMware4Sparse_Read(&extent, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
    EXPECT_TRUE(got == disk);
    VMware4Sparse_Close(&extent);
}

// A grain is allocated by the first write that makes it differ from what it
// reads as, exactly 64 KiB at the end of the file, entered in both tables.
TEST(VMware4Sparse, GrainGrowthByteForByte)
{
    TempDir dir;
    const std::string base = dir.file("base.vmdk");
    const std::string redo = dir.file("redo.vmdk");
    // The parent: grain 0 zero, grain 1 pattern, and a disk ending 1,000 bytes into grain 2.
    Bytes parent = DiskBytes(3, 5);
    std::fill_n(parent.begin(), kVmdkGrainBytes, 0);
    parent.resize(2 * kVmdkGrainBytes + 1000);
    parent.resize(2 * kVmdkGrainBytes + 1024, 0);
    WriteVmdkMonolithic(base, parent);
    const std::vector<std::string> extents = WriteVmdkRedo(redo, "base.vmdk", parent, parent, {258});

    for (const std::string& path : {redo, base}) {
        const bool isRedo = path == redo;
        const std::string file = isRedo ? extents[0] : base;
        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
        const Bytes zeros(512, 0);
        std::uint64_t size = FileSize(file);
        ASSERT_EQ(Disk_Write64(&disk, 0, 512, zeros.data()), 0);
        EXPECT_EQ(FileSize(file), size) << "zeros over zeros allocate nothing";
        ASSERT_EQ(Disk_Write64(&disk, kVmdkGrainBytes, 512, zeros.data()), 0);
        EXPECT_EQ(FileSize(file), isRedo ? size + kVmdkGrainBytes : size) << "zeros over the parent's bytes";

        // One byte into an unallocated grain: for the redo log, the one the disk's end cuts short.
        const std::uint64_t grain = isRedo ? 2 : 0;
        const std::uint64_t at = grain * kVmdkGrainBytes + 100;
        size = FileSize(file);
        const std::uint8_t one = 0xA7;
        ASSERT_EQ(Disk_Write64(&disk, at, 1, &one), 0);
        Disk_Close(&disk);
        ASSERT_EQ(FileSize(file), size + kVmdkGrainBytes);
        Bytes expected(kVmdkGrainBytes, 0);
        if (isRedo)
            std::copy(parent.begin() + 2 * kVmdkGrainBytes, parent.end(), expected.begin());
        expected[100] = one;
        EXPECT_TRUE(ReadFileRange(file, size, kVmdkGrainBytes) == expected) << path;
        const Vmdk4ExtentMap map = WriteVmdk4Extent(dir.file("layout"), {258, !isRedo, "", false}, {});
        for (const std::uint32_t table : {map.redundantGts[0], map.gts[0]}) {
            const Bytes entry = ReadFileRange(file, table * 512ull + 4 * grain, 4);
            EXPECT_EQ(entry[0] | entry[1] << 8 | entry[2] << 16 | entry[3] << 24, size / 512) << path;
        }
    }
}

// Requests cut at grains, table spans and extents read what was written.
TEST(VMware4Disk, RequestsAcrossGrainsTablesAndExtents)
{
    TempDir dir;
    const std::string path = dir.file("two.vmdk");
    const Bytes contents = PatternBytes(0, (65536 + 2048) * 512, 9);
    WriteVmdkTwoGb(path, contents, {65536 + 1024, 1024});
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
    const std::uint64_t extentEnd = (65536 + 1024) * 512ull;
    const struct {
        std::uint64_t offset;
        std::uint32_t count;
    } requests[] = {{kVmdkGrainBytes - 1000, 70000}, {(32 << 20) - 5000, 20000}, {extentEnd - 1024, 4096}};
    for (const auto& r : requests) {
        Bytes got(r.count);
        ASSERT_EQ(Disk_Read64(&disk, r.offset, r.count, got.data()), 0);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), contents.begin() + static_cast<long>(r.offset))) << r.offset;
        const Bytes data = PatternBytes(r.offset, r.count, 77);
        ASSERT_EQ(Disk_Write64(&disk, r.offset, r.count, data.data()), 0);
        ASSERT_EQ(Disk_Read64(&disk, r.offset, r.count, got.data()), 0);
        EXPECT_TRUE(got == data) << r.offset;
    }
    Disk_Close(&disk);
}

// Every way a disk is refused: the code, nothing left open, no file changed.
// Each row changes the descriptor of the disk it opens.
TEST(VMware4Disk, Refusals)
{
    TempDir dir;
    const Bytes contents = DiskBytes(4, 3);
    const std::string mono = dir.file("m.vmdk"), two = dir.file("t.vmdk"), redo = dir.file("r.vmdk");
    using Change = std::function<void(Vmdk4Descriptor&)>;
    const struct {
        const char* what;
        std::string path;
        std::uint32_t code;
        int expected;
        Change change;
    } rows[] = {
        {"monolithic under another name", dir.file("copy.vmdk"), 0, ERR_INVALID_IMAGE, {}},
        {"monolithic naming a parent", mono, 0, ERR_INVALID_IMAGE, [](auto& d) { d.parentHint = "x.vmdk"; }},
        {"adapter lsilogic", mono, 0, ERR_INVALID_IMAGE, [](auto& d) { d.adapter = "lsilogic"; }},
        {"hardware version 4", mono, 0, ERR_INVALID_IMAGE, [](auto& d) { d.hwVersion = 4; }},
        {"create type", mono, 0, ERR_INVALID_IMAGE, [](auto& d) { d.createType = "monolithicFlat"; }},
        {"monolithic of two extents", mono, 0, ERR_INVALID_IMAGE, [](auto& d) { d.extents.push_back(d.extents[0]); }},
        {"monolithic extent size not its capacity", mono, 0, ERR_INVALID_IMAGE,
         [](auto& d) { d.extents[0].first = 511; }},
        {"two-gigabyte naming a parent", two, 1, ERR_INVALID_IMAGE, [](auto& d) { d.parentHint = "m.vmdk"; }},
        {"extent size not its line's", two, 1, ERR_INVALID_IMAGE, [](auto& d) { d.extents[0].first = 511; }},
        {"extent missing", two, 1, ERR_CREATE_FILE, [](auto& d) { d.extents[0].second = "none.vmdk"; }},
        {"descriptor of 1,025 bytes", two, 1, ERR_INVALID_IMAGE,
         [](auto& d) { d.cid += std::string(1025 - d.Text().size(), ' '); }},
        {"parent missing", redo, 2, ERR_INVALID_PARAMETER, [](auto& d) { d.parentHint = "none.vmdk"; }},
        {"parent of another size", redo, 2, ERR_INVALID_IMAGE, [](auto& d) { d.parentHint = "big.vmdk"; }},
        {"its own parent", redo, 2, ERR_INVALID_IMAGE, [](auto& d) { d.parentHint = "r.vmdk"; }},
        // The parent replaced by another disk of the same size.
        {"parent of another CID", redo, 2, ERR_INVALID_IMAGE, [](auto& d) { d.parentCid = "87654321"; }},
    };
    for (const auto& row : rows) {
        Vmdk4Descriptor d;
        WriteVmdkMonolithic(mono, contents, d);
        if (row.change != nullptr && row.path == mono) {
            // The monolithic disk's own descriptor sectors, changed.
            d.extents = {{512, "m.vmdk"}};
            row.change(d);
            std::string text = d.Text();
            text.resize(20 * 512, '\0');
            WriteFileAt(mono, 512, Bytes(text.begin(), text.end()));
        }
        WriteVmdkMonolithic(dir.file("big.vmdk"), DiskBytes(5, 3));
        std::filesystem::copy_file(mono, dir.file("copy.vmdk"), std::filesystem::copy_options::overwrite_existing);
        WriteVmdkTwoGb(two, contents, {512});
        WriteVmdkRedo(redo, "m.vmdk", contents, contents, {512});
        if (row.change != nullptr && row.path != mono) {
            d = {};  // the two-gigabyte or redo descriptor again, changed
            d.createType = "twoGbMaxExtentSparse";
            d.extents = {{512, row.path == two ? "t-s001.vmdk" : "r-s001.vmdk"}};
            d.ddb = row.path == two;
            d.parentHint = row.path == two ? "" : "m.vmdk";
            d.parentCid = Vmdk4Descriptor{}.cid;
            row.change(d);
            const std::string text = d.Text();
            WriteFile(row.path, Bytes(text.begin(), text.end()));
        }
        std::vector<std::pair<std::string, Bytes>> before;
        for (const auto& f : std::filesystem::directory_iterator(dir.path()))
            before.emplace_back(f.path(), ReadFile(f.path()));
        const std::size_t files = OpenFileCount();
        Disk disk;
        Disk_Construct(&disk);
        EXPECT_EQ(Disk_OpenType(&disk, row.path.c_str(), 0, row.code), row.expected) << row.what;
        EXPECT_EQ(disk.pImpl, nullptr) << row.what;
        EXPECT_EQ(OpenFileCount(), files) << row.what;
        for (const auto& [f, bytes] : before)
            EXPECT_TRUE(ReadFile(f) == bytes) << row.what << ": " << f;
        // What these rows refuse is all the other driver would take.
        if (std::string(row.what) == "two-gigabyte naming a parent") {
            ASSERT_EQ(Disk_Open(&disk, two.c_str(), 1), 0);
            EXPECT_EQ(disk.dwType, DISK_VMWARE4_REDO);
            Disk_Close(&disk);
        }
    }
}

// The first write after opening gives a disk a new CID, once: a redo log
// made over it before no longer opens, one made after does.
TEST(VMware4Disk, FirstWriteRenewsTheCid)
{
    TempDir dir;
    const std::string mono = dir.file("m.vmdk");
    const Bytes contents = DiskBytes(4, 3);
    WriteVmdkMonolithic(mono, contents);
    WriteVmdkRedo(dir.file("before.vmdk"), "m.vmdk", contents, contents, {512});
    const Bytes original = ReadFile(mono);
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, mono.c_str(), 0), 0);
    const Bytes data(512, 0x42);
    ASSERT_EQ(Disk_Write64(&disk, 0, 512, data.data()), 0);
    const Bytes once = ReadFile(mono);
    ASSERT_EQ(Disk_Write64(&disk, 512, 512, data.data()), 0);
    Disk_Close(&disk);
    const Bytes text(original.begin() + 512, original.begin() + 1024), renewed(once.begin() + 512, once.begin() + 1024);
    EXPECT_FALSE(text == renewed);
    EXPECT_TRUE(std::equal(renewed.begin(), renewed.end(), ReadFile(mono).begin() + 512)) << "renewed once";
    EXPECT_EQ(Disk_OpenType(&disk, dir.file("before.vmdk").c_str(), 1, DISK_VMWARE4_REDO), ERR_INVALID_IMAGE);
    WriteVmdkRedo(dir.file("after.vmdk"), "m.vmdk", contents, contents, {512});
    ASSERT_EQ(Disk_Open(&disk, dir.file("after.vmdk").c_str(), 1), 0);
    Disk_Close(&disk);
}

// Chains of redo logs open 64 deep; one deeper fails.
TEST(VMware4Disk, ParentChainDepth)
{
    TempDir dir;
    const Bytes contents = DiskBytes(1, 8);
    WriteVmdkMonolithic(dir.file("l0.vmdk"), contents);
    for (int level = 1; level <= 65; ++level)
        WriteVmdkRedo(dir.file("l" + std::to_string(level) + ".vmdk"), "l" + std::to_string(level - 1) + ".vmdk",
                      contents, contents, {128});
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, dir.file("l64.vmdk").c_str(), 1), 0);
    Bytes got(contents.size());
    ASSERT_EQ(Disk_Read64(&disk, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
    EXPECT_TRUE(got == contents);
    Disk_Close(&disk);
    EXPECT_EQ(Disk_OpenType(&disk, dir.file("l65.vmdk").c_str(), 1, DISK_VMWARE4_REDO), ERR_INVALID_IMAGE);
}

}  // namespace
