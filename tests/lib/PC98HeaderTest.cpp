// SPDX-License-Identifier: MIT
// The header checks of the PC-98 emulator and FM Towns formats: one table per
// header, its checks in their order with their codes; where each format's
// disk lies in its file; short headers in each build.
#include "BuildFlavor.h"
#include "D88Image.h"
#include "Disk.h"
#include "PC98Images.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace qim;
using namespace qimtest;

namespace {

// A little-endian field set in a built image, or (width 0) the file resized to `at`.
struct Patch {
    std::uint64_t at;
    std::uint32_t width;
    std::uint64_t value;
};
constexpr Patch Resize(std::uint64_t size) { return {size, 0, 0}; }

using Builder = std::function<void(const std::string& path)>;

struct HeaderRow {
    const char* what;
    std::vector<Patch> patches;
    int expected;
    DiskInfo info = {};  // the geometry of a row that opens
    Builder build = {};  // instead of the table's image
};

// Size, first and last MiB: files here reach 4 GiB.
Bytes Fingerprint(const std::string& path)
{
    const std::uint64_t size = FileSize(path);
    Bytes out = ReadFileRange(path, 0, 1 << 20);
    const Bytes tail = ReadFileRange(path, size > (1 << 20) ? size - (1 << 20) : 0, 1 << 20);
    out.insert(out.end(), tail.begin(), tail.end());
    out.push_back(static_cast<std::uint8_t>(size >> 32));
    return out;
}

// Each row on a fresh image opened read-write by its code; a refused file is
// left as it was and the Disk untouched.
void ExpectRows(std::uint32_t code, const Builder& build, const std::vector<HeaderRow>& rows)
{
    for (const HeaderRow& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string path = dir.file("image");
        (row.build ? row.build : build)(path);
        for (const Patch& p : row.patches) {
            if (p.width == 0)
                MakeSparseFile(path, p.at);
            for (std::uint32_t i = 0; i < p.width; ++i)
                WriteFileAt(path, p.at + i, {static_cast<std::uint8_t>(p.value >> (8 * i))});
        }
        const Bytes before = Fingerprint(path);
        Disk disk = {77, nullptr};
        ASSERT_EQ(Disk_OpenType(&disk, path.c_str(), 0, code), row.expected);
        DiskInfo info{};
        if (row.expected == 0) {
            EXPECT_EQ(disk.dwType, code);
            Disk_GetDiskInfo(&disk, &info);
            Disk_Close(&disk);
        }
        EXPECT_EQ(std::tie(info.dwTotalSectors, info.dwHeads, info.dwSectorsPerTrack, info.dwBytesPerSector),
                  std::tie(row.info.dwTotalSectors, row.info.dwHeads, row.info.dwSectorsPerTrack,
                           row.info.dwBytesPerSector));
        EXPECT_EQ(disk.dwType, row.expected == 0 ? 0u : 77u) << "a refused open leaves the Disk alone";
        EXPECT_EQ(Fingerprint(path), before);
    }
}

constexpr int kBad = ERR_INVALID_IMAGE;

void ExpectAnex86Rows(std::uint32_t code)
{
    using namespace anex86;
    const Chs chs{4, 2, 8, 512};
    const auto empty = [](std::uint64_t c, std::uint64_t h, std::uint64_t s, std::uint64_t size, std::uint64_t file) {
        return std::vector<Patch>{{kDataSizeAt, 4, 0}, {kCylindersAt, 4, c}, {kSurfacesAt, 4, h}, {kSectorsAt, 4, s},
                                  {kSectorSizeAt, 4, size}, Resize(file)};
    };
    ExpectRows(code, [&](const std::string& p) { WriteAnex86Image(p, chs, Bytes(chs.bytes(), 1)); },
               {
                   {"as built", {}, 0, {64, 2, 8, 512}},
                   {"dwHeaderSize 512", {{kHeaderSizeAt, 4, 512}}, kBad},
                   {"dwDataSize one more", {{kDataSizeAt, 4, 32769}}, kBad},
                   {"a byte appended and counted", {{kDataSizeAt, 4, 32769}, Resize(4096 + 32769)}, kBad},
                   {"dwCylinders one more", {{kCylindersAt, 4, 5}}, kBad},
                   // dwDataSize + 4096 matches the file size's low 32 bits.
                   {"4 GiB of data, dwDataSize 0", empty(16384, 16, 32, 512, (1ull << 32) + 4096), kBad},
                   {"sectors x size 2^32", empty(4096, 1, 1, 1 << 20, 4096), kBad},
                   {"total sectors 2^32 wrap to none", empty(1 << 16, 256, 256, 512, 4096), 0, {0, 256, 256, 512}},
               });
}

TEST(PC98Header, Anex86HardDisk) { ExpectAnex86Rows(DISK_ANEX86_HARD); }
TEST(PC98Header, Anex86FloppyDisk) { ExpectAnex86Rows(DISK_ANEX86_FLOPPY); }

TEST(PC98Header, T98HardDisk)
{
    ExpectRows(DISK_T98_HARD, [](const std::string& p) { WriteT98Image(p, 2, Bytes(2 * 67584, 2)); },
               {
                   {"as built", {}, 0, {528, 8, 33, 256}},
                   {"dwCylinders one more", {{0, 4, 3}}, kBad},
                   {"a byte appended", {Resize(256 + 2 * 67584 + 1)}, kBad},
                   {"no cylinders", {{0, 4, 0}, Resize(256)}, 0, {0, 8, 33, 256}},
                   {"2^21 cylinders: 33 x 2^32 bytes", {{0, 4, 1 << 21}, Resize(256)}, kBad},
               });
}

TEST(PC98Header, T98NextHardDisk)
{
    using namespace t98next;
    const Chs chs{3, 4, 17, 512};  // the file is 512 + 104,448 bytes
    const auto geometry = [](std::uint64_t at, std::uint64_t c, std::uint64_t h, std::uint64_t s, std::uint64_t b) {
        return std::vector<Patch>{{kHeaderSizeAt, 4, at}, {kCylindersAt, 4, c}, {kSurfacesAt, 2, h},
                                  {kSectorsAt, 2, s}, {kSectorSizeAt, 2, b}};
    };
    auto wrap64 = geometry(512, 48912491, 32681, 22539, 512);  // 2^64 + 512 bytes
    wrap64.push_back(Resize(1024));
    auto wrap32 = geometry(512, 1 << 16, 256, 256, 256);  // 2^40 bytes
    wrap32.push_back(Resize(512));
    auto wrapSum = geometry(66560, 907920, 37688, 32776, 16448);  // 2^64 - 65,536 bytes behind 66,560
    wrapSum.push_back(Resize(1024));
    ExpectRows(DISK_T98NEXT_HARD, [&](const std::string& p) { WriteT98NextHardImage(p, chs, Bytes(chs.bytes(), 3)); },
               {
                   {"as built", {}, 0, {204, 4, 17, 512}},
                   {"signature byte 0", {{0, 1, 't'}}, kBad},
                   {"signature's NUL", {{14, 1, ' '}}, kBad},
                   {"dwHeaderSize one more", {{kHeaderSizeAt, 4, 513}}, kBad},
                   {"wSectors one more", {{kSectorsAt, 2, 18}}, kBad},
                   {"a byte appended", {Resize(512 + 104448 + 1)}, kBad},
                   {"size product past 32 bits", wrap32, kBad},
                   {"size product past 64 bits", wrap64, kBad},
                   {"size plus header past 64 bits", wrapSum, kBad},
                   // 1-byte sectors: the data would cover the header's fields.
                   {"data at 0", geometry(0, 104960, 1, 1, 1), kBad},
                   {"data behind the fields", geometry(286, 104960 - 286, 1, 1, 1), 0, {104960 - 286, 1, 1, 1}},
               });
}

TEST(PC98Header, Virtual98HardDisk)
{
    using namespace virtual98;
    const Chs chs{5, 4, 17, 512};
    ExpectRows(DISK_VIRTUAL98_HARD, [&](const std::string& p) { WriteVirtual98Image(p, chs, Bytes(chs.bytes(), 4)); },
               {
                   {"as built", {}, 0, {340, 4, 17, 512}},
                   {"signature byte 0", {{0, 1, 'v'}}, kBad},
                   {"signature's NUL", {{7, 1, ' '}}, kBad},
                   {"bSurfaces one more", {{kSurfacesAt, 1, 5}}, kBad},
                   {"a byte appended", {Resize(220 + chs.bytes() + 1)}, kBad},
               });
}

TEST(PC98Header, HeaderlessSizes)
{
    ExpectRows(DISK_PC98E_HARD, [](const std::string& p) { WritePC98EImage(p, Bytes(4096, 5)); },
               {{"as built", {}, 0, {128000, 8, 20, 512}},
                {"a byte short", {Resize(kPC98EFileSize - 1)}, kBad},
                {"a byte long", {Resize(kPC98EFileSize + 1)}, kBad}});
    ExpectRows(DISK_UNZ_HARD, [](const std::string& p) { WriteFile(p, Bytes(2 << 20, 6)); },
               {{"2 MiB", {}, 0, {4096, 64, 32, 512}},
                {"empty", {Resize(0)}, 0, {0, 64, 32, 512}},
                {"1 MiB and a sector", {Resize((1 << 20) + 512)}, kBad}});
    ExpectRows(DISK_FMTOWNS_DOSROM, [](const std::string& p) { WriteFMTownsRomImage(p, Bytes(262144, 7)); },
               {{"as built", {}, 0, {512, 2, 8, 512}},
                {"a byte short", {Resize(kFMTownsRomFileSize - 1)}, kBad},
                {"a byte long", {Resize(kFMTownsRomFileSize + 1)}, kBad}});
}

// Both revisions: a 1.25 MB floppy behind the revision's header.
void ExpectT98NextFloppyRows(std::uint32_t code, int revision)
{
    using namespace t98next;
    const std::uint64_t header = revision == 0 ? kR0HeaderBytes : kR1HeaderBytes;
    std::vector<HeaderRow> rows = {
        {"signature of the other revision", {{13, 1, revision == 0 ? 0x31u : 0x30u}}, kBad},
        {"signature's NUL", {{14, 1, ' '}}, kBad},
        {"bHeads 1", {{kHeadsAt, 1, 1}}, kBad},
        {"dwHeaderSize past the file", {{kHeaderSizeAt, 4, 0xFFFFFFFF}}, kBad},
        {"a byte appended", {Resize(header + 1261568 + 1)}, kBad},
        {"data inside the fields", {{kHeaderSizeAt, 4, 100}, Resize(100 + 737280)}, kBad},
        {"data behind the fields", {{kHeaderSizeAt, 4, 278}, Resize(278 + 737280)}, 0, {1440, 2, 9, 512}},
    };
    // Every listed data size, behind a header size the header states.
    for (const auto& [size, info] :
         {std::pair{655360u, DiskInfo{1280, 2, 8, 512}}, std::pair{737280u, DiskInfo{1440, 2, 9, 512}},
          std::pair{1228800u, DiskInfo{2400, 2, 15, 512}}, std::pair{1261568u, DiskInfo{1232, 2, 8, 1024}},
          std::pair{1474560u, DiskInfo{2880, 2, 18, 512}}, std::pair{2949120u, DiskInfo{5760, 2, 36, 512}}})
        rows.push_back({"a listed size", {{kHeaderSizeAt, 4, header + 512}, Resize(header + 512 + size)}, 0, info});
    ExpectRows(code, [&](const std::string& p) { WriteT98NextFloppyImage(p, revision, Bytes(1261568, 8)); }, rows);
}

TEST(PC98Header, T98NextR0FloppyDisk) { ExpectT98NextFloppyRows(DISK_T98NEXT_R0_FLOPPY, 0); }
TEST(PC98Header, T98NextR1FloppyDisk) { ExpectT98NextFloppyRows(DISK_T98NEXT_R1_FLOPPY, 1); }

TEST(PC98Header, D88FloppyDisk)
{
    using namespace d88;
    const auto build = [](const D88Layout& l) {
        return [l](const std::string& p) { WriteD88Image(p, l, Bytes(l.diskBytes(), 9)); };
    };
    const auto media = [&](const char* what, const D88Layout& l, int expected, std::vector<Patch> patches = {}) {
        return HeaderRow{what, std::move(patches), expected,
                         expected == 0 ? DiskInfo{l.tracks * l.sectorsPerTrack, 2, l.sectorsPerTrack, l.bytesPerSector}
                                       : DiskInfo{},
                         build(l)};
    };
    const D88Layout hd;  // 2HD: 154 tracks of 8 sectors of 1,024 bytes
    const std::uint64_t size = hd.trackOffset(153) + hd.trackBytes();
    const auto entry = [](std::uint32_t t) { return kTrackTableAt + 4 * t; };
    const D88Layout dd = {0x10, 160, 9, 512};
    ExpectRows(DISK_D88_FLOPPY, build(hd),
               {
                   {"as built", {}, 0, {1232, 2, 8, 1024}},
                   {"dwDiskSize one more", {{kDiskSizeAt, 4, size + 1}}, kBad},
                   {"a byte appended", {Resize(size + 1)}, kBad},
                   {"media type 0x30", {{kMediaTypeAt, 1, 0x30}}, kBad},
                   {"153 tracks", {{entry(153), 4, 0}}, kBad},
                   {"no track", {{entry(0), 4, 0}}, kBad},
                   {"track 5 with 9 sectors", {{hd.trackOffset(5) + kRecordSectorsAt, 2, 9}}, kBad},
                   {"track 5 with 512-byte sectors", {{hd.trackOffset(5) + kRecordDataSizeAt, 2, 512}}, kBad},
                   // A record header made in the file header's own bytes: writes to
                   // that track would rewrite the track table.
                   {"a track inside the file header", {{6, 2, 8}, {16, 2, 1024}, {entry(153), 4, 2}}, kBad},
                   // Starting at its own last record, track 153 runs 7 sectors past the file.
                   {"a track past the file's end", {{entry(153), 4, hd.fileOffset(hd.diskBytes() - 1) - 1039}}, kBad},
                   media("2D, 8 sectors", {0x00, 80, 8, 512}, 0),
                   media("2D, 9 sectors", {0x00, 80, 9, 512}, 0),
                   media("2DD, 8 sectors", {0x10, 160, 8, 512}, 0),
                   media("2DD, 9 sectors", dd, 0),
                   media("2HD, 15 sectors", {0x20, 160, 15, 512}, 0),
                   media("2HD, 18 sectors", {0x20, 160, 18, 512}, 0),
                   media("2D, 160 tracks", {0x00, 160, 9, 512}, kBad),
                   media("2HD, 154 tracks of 9 sectors", {0x20, 154, 9, 1024}, kBad),
                   media("2DD, 16 sectors of 256 bytes", {0x10, 160, 16, 256}, kBad),
                   media("2DD, 164 tracks", {0x10, 164, 9, 512}, kBad),
                   media("160 tracks, a 0 entry, more entries", dd, 0, {{entry(161), 4, 688}, {entry(163), 4, 688}}),
                   // A table of 160 entries: the first track begins where entry 160 would be.
                   media("2HD, first track at 672", {0x20, 154, 8, 1024, 0, false, 672}, 0),
                   media("2DD 160 tracks, first track at 672", {0x10, 160, 9, 512, 0, false, 672}, 0),
               });
}

// Writes of the first bytes, of a range across sectors (and at 8,192 a D88
// track) and of the last bytes land at the format's data offset and nowhere
// else: headers, record headers and tails stay as built.
TEST(PC98Header, WritesLandAtTheDataOffsetOnly)
{
    struct Row {
        std::uint32_t code;
        ConformanceBuilder build;
        std::function<std::uint64_t(std::uint64_t)> fileOffset;  // of a disk byte
    };
    const auto at = [](std::uint64_t dataOffset) { return [dataOffset](std::uint64_t v) { return dataOffset + v; }; };
    const Row rows[] = {
        {DISK_ANEX86_HARD, BuildAnex86HardDiskConformance, at(4096)},
        {DISK_T98_HARD, BuildT98HardDiskConformance, at(256)},
        {DISK_T98NEXT_HARD, BuildT98NextHardDiskConformance, at(512)},
        {DISK_VIRTUAL98_HARD, BuildVirtual98HardDiskConformance, at(220)},
        {DISK_PC98E_HARD, BuildPC98EHardDiskConformance, at(0)},
        {DISK_UNZ_HARD, BuildUnzHardDiskConformance, at(0)},
        {DISK_ANEX86_FLOPPY, BuildAnex86FloppyDiskConformance, at(4096)},
        {DISK_T98NEXT_R0_FLOPPY, BuildT98NextR0FloppyDiskConformance, at(68112)},
        {DISK_T98NEXT_R1_FLOPPY, BuildT98NextR1FloppyDiskConformance, at(960)},
        {DISK_FMTOWNS_DOSROM, BuildFMTownsDosRomDiskConformance, at(0)},
        {DISK_D88_FLOPPY, BuildD88FloppyDiskConformance,
         [](std::uint64_t v) { return kD88ConformanceLayout.fileOffset(v); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        TempDir dir;
        const BuiltImage built = row.build(dir.file("image"));
        Bytes expected = ReadFile(built.path);
        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_OpenType(&disk, built.path.c_str(), 0, row.code), 0);
        for (const auto& [offset, length] : {std::pair<std::uint64_t, std::uint32_t>{0, 256},
                                             {8192 - 700, 2000},
                                             {built.contents.size() - 256, 256}}) {
            const Bytes data = PatternBytes(offset, length, 99);
            ASSERT_EQ(Disk_Write64(&disk, offset, length, data.data()), 0) << offset;
            for (std::uint32_t i = 0; i < length; ++i)
                expected[row.fileOffset(offset + i)] = data[i];
        }
        Disk_Close(&disk);
        EXPECT_TRUE(ReadFile(built.path) == expected);
    }
}

// A file shorter than the header part a driver reads: the user build's read
// fails; the kernel build's short read succeeds, and the rules then decide on
// zeros past the file's end.
TEST(PC98Header, ShortHeaders)
{
    struct Row {
        const char* what;
        std::uint32_t code;
        Builder build;
        int kernelResult;
    };
    const Row rows[] = {
        {"T98, 2 bytes", DISK_T98_HARD, [](const std::string& p) { WriteFile(p, {1, 0}); }, kBad},
        // dwHeaderSize 4096 is all the file holds of a header.
        {"Anex86, 10 bytes", DISK_ANEX86_HARD,
         [](const std::string& p) { WriteFile(p, {0, 0, 0, 0, 0, 0, 0, 0, 0, 16}); }, kBad},
        // The header states 300 header bytes and no cylinders: an empty disk in the kernel build.
        {"T98-Next, 300 bytes", DISK_T98NEXT_HARD,
         [](const std::string& p) { WriteT98NextHardImage(p, {0, 8, 17, 512}, {}, 300); }, 0},
        {"T98-Next R1, 500 bytes", DISK_T98NEXT_R1_FLOPPY,
         [](const std::string& p) { WriteT98NextFloppyImage(p, 1, {}, 500); }, kBad},
        {"D88, 100 bytes", DISK_D88_FLOPPY, [](const std::string& p) { WriteFile(p, Bytes(100, 0)); }, kBad},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const std::string path = dir.file("short");
        row.build(path);
        const Bytes before = ReadFile(path);
        Disk disk = {77, nullptr};
        const int rc = Disk_OpenType(&disk, path.c_str(), 0, row.code);
        EXPECT_EQ(rc, kKernelBuild ? row.kernelResult : ERR_READ_FILE);
        if (rc == 0) {
            DiskInfo info{};
            Disk_GetDiskInfo(&disk, &info);
            EXPECT_EQ(info.dwTotalSectors, 0u);
            Disk_Close(&disk);
        }
        EXPECT_EQ(ReadFile(path), before);
    }
}

}  // namespace
