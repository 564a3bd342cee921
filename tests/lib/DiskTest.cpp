// SPDX-License-Identifier: MIT
// Format dispatch, recognition order, and the shared helpers of every driver.
#include "Disk.h"
#include "DiskEtc.h"
#include "DiskFormats.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

using namespace qim;
using namespace qimtest;

namespace {

std::vector<std::uint32_t> CodesOf(const char* path)
{
    const auto codes = DiskExtensionCodes(path);
    return {codes.begin(), codes.end()};
}

using Codes = std::vector<std::uint32_t>;

TEST(DiskOpen, ExtensionSelectsTheFirstDrivers)
{
    EXPECT_EQ(CodesOf("/x/image.vmdk"), (Codes{0, 1, 2, 3, 4}));
    EXPECT_EQ(CodesOf("/x/image.VMDK"), (Codes{0, 1, 2, 3, 4}));
    EXPECT_EQ(CodesOf("a.dsk"), (Codes{5, 6}));
    EXPECT_EQ(CodesOf("a.Vhd"), (Codes{7, 8, 9}));
    EXPECT_EQ(CodesOf("a.hdi"), (Codes{10}));
    EXPECT_EQ(CodesOf("a.thd"), (Codes{11}));
    EXPECT_EQ(CodesOf("a.nhd"), (Codes{12}));
    EXPECT_EQ(CodesOf("a.hdd"), (Codes{13}));
    EXPECT_EQ(CodesOf("disk.h3"), (Codes{15}));
    EXPECT_EQ(CodesOf("disk.H0"), (Codes{15}));
    EXPECT_EQ(CodesOf("disk.h4"), (Codes{15}));
    EXPECT_EQ(CodesOf("a.fdi"), (Codes{16}));
    EXPECT_EQ(CodesOf("a.D88"), (Codes{17}));
    EXPECT_EQ(CodesOf("a.nfd"), (Codes{18, 19}));
    EXPECT_EQ(CodesOf("a.rom"), (Codes{20}));
    // No extension, or one that names no format: straight to the probe.
    EXPECT_EQ(CodesOf("disk.h5"), Codes{});
    EXPECT_EQ(CodesOf("disk.h10"), Codes{});
    EXPECT_EQ(CodesOf("disk.h"), Codes{});
    EXPECT_EQ(CodesOf("/data.d/image"), Codes{});
    EXPECT_EQ(CodesOf("/x/image."), Codes{});
    EXPECT_EQ(CodesOf("/x/image.vmdkx"), Codes{});
    EXPECT_EQ(CodesOf("/x/image.vmd"), Codes{});
}

TEST(DiskOpen, ProbeOrderSkipsOnlyUnz)
{
    const auto probe = DiskProbeCodes();
    EXPECT_EQ((Codes{probe.begin(), probe.end()}),
              (Codes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18, 19, 20}));
}

TEST(DiskOpen, UnrecognisedFileLeavesDiskUnchanged)
{
    TempDir dir;
    for (const char* name : {"junk.bin", "junk.vmdk", "junk"}) {
        const std::string path = dir.file(name);
        WriteFile(path, PatternBytes(0, 4096, 1));
        const Bytes before = ReadFile(path);
        Disk disk{1234, reinterpret_cast<void*>(0x10)};
        EXPECT_EQ(Disk_Open(&disk, path.c_str(), 0), ERR_INVALID_PARAMETER) << name;
        EXPECT_EQ(disk.dwType, 1234u);
        EXPECT_EQ(disk.pImpl, reinterpret_cast<void*>(0x10));
        EXPECT_EQ(ReadFile(path), before) << "probing must not change the file";
    }
    Disk disk{1234, nullptr};
    EXPECT_EQ(Disk_Open(&disk, dir.file("missing.vhd").c_str(), 1), ERR_INVALID_PARAMETER);
    EXPECT_EQ(disk.dwType, 1234u);
}

TEST(DiskOpen, OpenTypeRefusesCodesWithoutDriver)
{
    TempDir dir;
    const std::string path = dir.file("f.img");
    WriteFile(path, Bytes(4096, 0));
    Disk disk;
    Disk_Construct(&disk);
    EXPECT_EQ(Disk_OpenType(&disk, path.c_str(), 1, 21), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Disk_OpenType(&disk, path.c_str(), 1, 0xFFFFFFFFu), ERR_INVALID_PARAMETER);
    EXPECT_EQ(disk.dwType, 0u);
    EXPECT_EQ(disk.pImpl, nullptr);
    for (std::uint32_t code = 0; code < kDiskTypeCount; ++code) {
        if (DiskDriverOf(code) == nullptr) {
            EXPECT_EQ(Disk_OpenType(&disk, path.c_str(), 1, code), ERR_INVALID_PARAMETER) << code;
        }
    }
}

// Code 0 names a driver, so an unopened Disk must not reach it.
TEST(DiskObject, ConstructedButNeverOpenedIsRefusedAndClosedSafely)
{
    Disk disk;
    Disk_Construct(&disk);
    Bytes buf(16, 0x77);
    EXPECT_EQ(Disk_Read(&disk, 0, 0, 16, buf.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Disk_Write(&disk, 0, 0, 16, buf.data()), ERR_INVALID_PARAMETER);
    DiskInfo info{1, 2, 3, 4};
    Disk_GetDiskInfo(&disk, &info);
    EXPECT_EQ(info.dwTotalSectors, 1u);
    Disk_Close(&disk);
    EXPECT_EQ(disk.pImpl, nullptr);
}

TEST(DiskObject, UnknownTypeIsRefusedAndClosedSafely)
{
    Disk disk{25, NkMalloc(32)};
    Bytes buf(16, 0x77);
    EXPECT_EQ(Disk_Read(&disk, 0, 0, 16, buf.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Disk_Write(&disk, 0, 0, 16, buf.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(buf, Bytes(16, 0x77));
    DiskInfo info{1, 2, 3, 4};
    Disk_GetDiskInfo(&disk, &info);
    EXPECT_EQ(info.dwTotalSectors, 1u);
    EXPECT_EQ(info.dwHeads, 2u);
    EXPECT_EQ(info.dwSectorsPerTrack, 3u);
    EXPECT_EQ(info.dwBytesPerSector, 4u);
    Disk_Close(&disk);  // frees pImpl (the sanitizer build would report a leak)
    EXPECT_EQ(disk.dwType, 0u);
    EXPECT_EQ(disk.pImpl, nullptr);
}

std::string BaseOf(const char* image, const char* name)
{
    char out[kNkMaxPath];
    std::fill(std::begin(out), std::end(out), 'Z');
    if (GetBaseFileFullPath(image, name, out) != 0)
        return "<refused>";
    return out;
}

TEST(DiskObject, BaseFileFullPath)
{
    EXPECT_EQ(BaseOf("/vm/a/child.vmdk", "parent.vmdk"), "/vm/a/parent.vmdk");
    EXPECT_EQ(BaseOf("/vm/a/child.vmdk", "/abs/p.vmdk"), "/abs/p.vmdk");
    EXPECT_EQ(BaseOf("child.vmdk", "parent.vmdk"), "parent.vmdk");
    EXPECT_EQ(BaseOf("/child.vmdk", "p"), "/p");
    EXPECT_EQ(BaseOf("rel/dir/child", "../p"), "rel/dir/../p");

    // Results that do not fit 4,096 bytes are refused, never written past the buffer.
    const std::string longDir = "/" + std::string(4000, 'd') + "/";
    const std::string name90(90, 'n');
    EXPECT_EQ(BaseOf((longDir + "c").c_str(), name90.c_str()), longDir + name90);
    const std::string name95(95, 'n');
    EXPECT_EQ(BaseOf((longDir + "c").c_str(), name95.c_str()), "<refused>");
    const std::string hugeImage = "/" + std::string(5000, 'i');
    EXPECT_EQ(BaseOf(hugeImage.c_str(), "p"), "<refused>");
    EXPECT_EQ(BaseOf(hugeImage.c_str(), "/abs/p"), "/abs/p") << "an absolute name ignores the image path";
    const std::string hugeName(5000, 'n');
    EXPECT_EQ(BaseOf("/a/b", hugeName.c_str()), "<refused>");

    char small[8];
    EXPECT_EQ(GetBaseFileFullPath("/a/b", "longname", small), ERR_INVALID_PARAMETER);
    EXPECT_EQ(GetBaseFileFullPath("/a/b", "abcde", small), ERR_INVALID_PARAMETER);
    EXPECT_EQ(GetBaseFileFullPath("/a/b", "abcd", small), 0);
    EXPECT_STREQ(small, "/a/abcd");
}

using Piece = std::tuple<std::uint64_t, std::uint64_t, std::size_t>;

std::vector<Piece> PiecesOf(std::uint64_t offset, std::size_t count, std::uint64_t unit)
{
    std::vector<std::byte> storage(count);
    std::vector<Piece> pieces;
    std::size_t expectedStart = 0;
    const int rc = ForEachPiece(offset, std::span<std::byte>(storage), unit,
                                [&](std::uint64_t index, std::uint64_t inUnit, std::span<std::byte> piece) {
                                    EXPECT_EQ(piece.data(), storage.data() + expectedStart);
                                    expectedStart += piece.size();
                                    pieces.emplace_back(index, inUnit, piece.size());
                                    return 0;
                                });
    EXPECT_EQ(rc, 0);
    return pieces;
}

TEST(RangeSplitter, CutsAtUnitBoundaries)
{
    EXPECT_TRUE(PiecesOf(100, 0, 512).empty());
    EXPECT_EQ(PiecesOf(0, 512, 512), (std::vector<Piece>{{0, 0, 512}}));
    EXPECT_EQ(PiecesOf(100, 100, 512), (std::vector<Piece>{{0, 100, 100}}));
    EXPECT_EQ(PiecesOf(500, 20, 512), (std::vector<Piece>{{0, 500, 12}, {1, 0, 8}}));
    EXPECT_EQ(PiecesOf(511, 1026, 512), (std::vector<Piece>{{0, 511, 1}, {1, 0, 512}, {2, 0, 512}, {3, 0, 1}}));
    const std::uint64_t big = (std::uint64_t{1} << 32) - 3;
    EXPECT_EQ(PiecesOf(big, 10, 1 << 21), (std::vector<Piece>{{2047, (1 << 21) - 3, 3}, {2048, 0, 7}}));

    // The first nonzero result stops the walk.
    std::vector<std::byte> storage(2048);
    int calls = 0;
    const int rc = ForEachPiece(0, std::span<std::byte>(storage), 512, [&](auto, auto, auto) {
        return ++calls == 2 ? ERR_READ_FILE : 0;
    });
    EXPECT_EQ(rc, ERR_READ_FILE);
    EXPECT_EQ(calls, 2);
}

// Every fact of a format comes from its row: the extension groups and the
// probe above are derived from the rows, and so are the dispatch columns.
TEST(DiskFormats, ColumnsFollowTheRows)
{
    for (const DiskFormat& format : DiskFormats()) {
        EXPECT_EQ(apDiskSetFunc[format.code], format.driver.Set) << format.name;
        EXPECT_EQ(apRead[format.code], format.driver.Read) << format.name;
        EXPECT_EQ(DiskDriverOf(format.code) != nullptr, format.driver.Close != nullptr) << format.name;
        EXPECT_FALSE(format.name.empty());
    }
    const DiskFormat* raw = DiskFormatOf(DISK_BETA);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->driver.Set, nullptr) << "raw images are opened only with a given geometry";
    EXPECT_FALSE(raw->probed);
    EXPECT_EQ(DiskFormatOf(kDiskTypeCount), nullptr);
}

TEST(RangeSplitter, RangeCheckAndLoads)
{
    const DiskInfo info = {10, 1, 10, 512};
    EXPECT_TRUE(DiskRangeFits(info, 5120, 0));
    EXPECT_TRUE(DiskRangeFits(info, 0, 5120));
    EXPECT_FALSE(DiskRangeFits(info, 1, 5120));
    EXPECT_FALSE(DiskRangeFits(info, 5121, 0));
    EXPECT_FALSE(DiskRangeFits(info, ~std::uint64_t{0}, 2));

    const std::byte raw[] = {std::byte{0x12}, std::byte{0x34}, std::byte{0x56}, std::byte{0x78}};
    EXPECT_EQ(LoadLE<std::uint32_t>(raw, 0), 0x78563412u);
    EXPECT_EQ(LoadBE<std::uint32_t>(raw, 0), 0x12345678u);
    EXPECT_EQ(LoadLE<std::uint16_t>(raw, 2), 0x7856u);
    std::byte out[8] = {};
    StoreBE<std::uint64_t>(out, 0, 0x0102030405060708ull);
    EXPECT_EQ(LoadBE<std::uint64_t>(out, 0), 0x0102030405060708ull);
    StoreLE<std::uint16_t>(out, 6, 0xBEEF);
    EXPECT_EQ(out[6], std::byte{0xEF});

    // Offsets from the data go through a reader that remembers a miss.
    ByteReader reader(raw);
    EXPECT_EQ(reader.LE<std::uint16_t>(2), 0x7856u);
    EXPECT_TRUE(reader.ok());
    EXPECT_EQ(reader.LE<std::uint32_t>(1), 0u);
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.BE<std::uint16_t>(0), 0x1234u) << "later loads inside still work";
    EXPECT_FALSE(reader.ok()) << "the miss stays recorded";
    EXPECT_EQ(ByteReader(raw).LE<std::uint8_t>(~std::size_t{0}), 0u);
}

// A fixed-offset access outside its bytes is a bug and must not go unnoticed in any build.
TEST(RangeSplitterDeathTest, FixedLoadsOutsideTheSpanStop)
{
    const std::byte raw[8] = {};
    std::byte out[8] = {};
    EXPECT_DEATH((void)LoadLE<std::uint32_t>(raw, 10), "");
    EXPECT_DEATH((void)LoadBE<std::uint32_t>(raw, 5), "");
    EXPECT_DEATH(StoreLE<std::uint16_t>(out, 7, 1), "");
    EXPECT_DEATH(StoreBE<std::uint64_t>(out, 1, 1), "");
    EXPECT_EQ(LoadLE<std::uint32_t>(raw, 4), 0u) << "the last field that fits is fine";
}

}  // namespace
