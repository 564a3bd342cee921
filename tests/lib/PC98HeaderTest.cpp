// The header checks of the PC-98 emulator and FM Towns formats, one table per
// header in the order the checks run, with the code each gives; where each
// format's disk lies in its file; what a header shorter than its read does
// in each build.
#include "BuildFlavor.h"
#include "D88Image.h"
#include "Disk.h"
#include "PC98Images.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace qim;
using namespace qimtest;

namespace {

// A change to a freshly built image: a little-endian field, or (width 0) the
// file cut or extended to `at` bytes.
struct Patch {
    std::uint64_t at;
    std::uint32_t width;
    std::uint64_t value;
};
constexpr Patch Resize(std::uint64_t size) { return {size, 0, 0}; }

using Builder = std::function<void(const std::string& path)>;

struct HeaderRow {
    const char* field;
    std::vector<Patch> patches;
    int expected;
    DiskInfo info = {};  // the geometry of a row that opens
    Builder build = {};  // instead of the table's own image
};

void Apply(const std::string& path, const Patch& p)
{
    if (p.width == 0) {
        MakeSparseFile(path, p.at);
        return;
    }
    Bytes bytes(p.width);
    for (std::uint32_t i = 0; i < p.width; ++i)
        bytes[i] = static_cast<std::uint8_t>(p.value >> (8 * i));
    WriteFileAt(path, p.at, bytes);
}

// Size and the bytes of the first and last MiB: files here reach 4 GiB, and
// an open that writes would write at the start (a header) or the end.
Bytes Fingerprint(const std::string& path)
{
    const std::uint64_t size = FileSize(path);
    Bytes out = ReadFileRange(path, 0, 1 << 20);
    const Bytes tail = ReadFileRange(path, size > (1 << 20) ? size - (1 << 20) : 0, 1 << 20);
    out.insert(out.end(), tail.begin(), tail.end());
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    return out;
}

// The shared body: each row on a fresh image opened read-write by its code.
// A refused file is left as it was and the Disk untouched.
void ExpectRows(std::uint32_t code, const Builder& build, const std::vector<HeaderRow>& rows)
{
    for (const HeaderRow& row : rows) {
        SCOPED_TRACE(row.field);
        TempDir dir;
        const std::string path = dir.file("image");
        (row.build ? row.build : build)(path);
        for (const Patch& p : row.patches)
            Apply(path, p);
        const Bytes before = Fingerprint(path);
        Disk disk = {77, nullptr};
        ASSERT_EQ(Disk_OpenType(&disk, path.c_str(), 0, code), row.expected);
        if (row.expected == 0) {
            EXPECT_EQ(disk.dwType, code);
            DiskInfo info{};
            Disk_GetDiskInfo(&disk, &info);
            EXPECT_EQ(info.dwTotalSectors, row.info.dwTotalSectors);
            EXPECT_EQ(info.dwHeads, row.info.dwHeads);
            EXPECT_EQ(info.dwSectorsPerTrack, row.info.dwSectorsPerTrack);
            EXPECT_EQ(info.dwBytesPerSector, row.info.dwBytesPerSector);
            Disk_Close(&disk);
        } else {
            EXPECT_EQ(disk.dwType, 77u);
            EXPECT_EQ(disk.pImpl, nullptr);
        }
        EXPECT_EQ(Fingerprint(path), before);
    }
}

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

// Both Anex86 formats: 4 x 2 x 8 sectors of 512 bytes behind 4096 header bytes.
void ExpectAnex86Rows(std::uint32_t code)
{
    using namespace anex86;
    const Chs chs{4, 2, 8, 512};
    ExpectRows(code, [&](const std::string& p) { WriteAnex86Image(p, chs, PatternBytes(0, chs.bytes(), 1)); },
               {
                   {"as built", {}, 0, {64, 2, 8, 512}},
                   {"dwHeaderSize 512", {{kHeaderSizeAt, 4, 512}}, ERR_INVALID_IMAGE},
                   {"dwDataSize one more", {{kDataSizeAt, 4, 32769}}, ERR_INVALID_IMAGE},
                   {"a byte appended, dwDataSize with it", {{kDataSizeAt, 4, 32769}, Resize(4096 + 32769)},
                    ERR_INVALID_IMAGE},
                   {"dwCylinders one more", {{kCylindersAt, 4, 5}}, ERR_INVALID_IMAGE},
                   {"dwSectorSize 1024", {{kSectorSizeAt, 4, 1024}}, ERR_INVALID_IMAGE},
                   // The 32-bit sum dwDataSize + 4096 matches the file's low word.
                   {"4 GiB of data stated as dwDataSize 0",
                    {{kDataSizeAt, 4, 0}, {kCylindersAt, 4, 16384}, {kSurfacesAt, 4, 16}, {kSectorsAt, 4, 32},
                     Resize(k4GiB + 4096)},
                    ERR_INVALID_IMAGE},
                   // 4096 sectors of 1 MiB are 2^32 bytes: 0 in 32 bits.
                   {"sectors x size past 32 bits",
                    {{kDataSizeAt, 4, 0}, {kCylindersAt, 4, 4096}, {kSurfacesAt, 4, 1}, {kSectorsAt, 4, 1},
                     {kSectorSizeAt, 4, 1 << 20}, Resize(4096)},
                    ERR_INVALID_IMAGE},
                   // The total is a 32-bit product; 2^32 sectors are none.
                   {"total sectors past 32 bits",
                    {{kDataSizeAt, 4, 0}, {kCylindersAt, 4, 1 << 16}, {kSurfacesAt, 4, 256}, {kSectorsAt, 4, 256},
                     Resize(4096)},
                    0, {0, 256, 256, 512}},
               });
}

TEST(PC98Header, Anex86HardDisk) { ExpectAnex86Rows(DISK_ANEX86_HARD); }
TEST(PC98Header, Anex86FloppyDisk) { ExpectAnex86Rows(DISK_ANEX86_FLOPPY); }

TEST(PC98Header, T98HardDisk)
{
    const Builder build = [](const std::string& p) { WriteT98Image(p, 2, PatternBytes(0, 2 * 67584, 2)); };
    ExpectRows(DISK_T98_HARD, build,
               {
                   {"as built", {}, 0, {528, 8, 33, 256}},
                   {"dwCylinders one more", {{t98::kCylindersAt, 4, 3}}, ERR_INVALID_IMAGE},
                   {"a byte appended", {Resize(256 + 2 * 67584 + 1)}, ERR_INVALID_IMAGE},
                   {"no cylinders, header alone", {{t98::kCylindersAt, 4, 0}, Resize(256)}, 0, {0, 8, 33, 256}},
                   // 2^21 cylinders are 33 x 2^32 bytes: 0 in 32 bits.
                   {"cylinders x 67,584 past 32 bits", {{t98::kCylindersAt, 4, 1 << 21}, Resize(256)},
                    ERR_INVALID_IMAGE},
               });
}

TEST(PC98Header, T98NextHardDisk)
{
    using namespace t98next;
    const Chs chs{3, 4, 17, 512};  // 204 sectors: the file is 512 + 104,448 bytes
    const Builder build = [&](const std::string& p) { WriteT98NextHardImage(p, chs, PatternBytes(0, chs.bytes(), 3)); };
    ExpectRows(DISK_T98NEXT_HARD, build,
               {
                   {"as built", {}, 0, {204, 4, 17, 512}},
                   {"signature byte 0", {{0, 1, 't'}}, ERR_INVALID_IMAGE},
                   {"signature R1", {{13, 1, '1'}}, ERR_INVALID_IMAGE},
                   {"signature's NUL", {{14, 1, ' '}}, ERR_INVALID_IMAGE},
                   {"dwHeaderSize one more", {{kHeaderSizeAt, 4, 513}}, ERR_INVALID_IMAGE},
                   {"dwCylinders one more", {{kCylindersAt, 4, 4}}, ERR_INVALID_IMAGE},
                   {"wSurfaces one more", {{kSurfacesAt, 2, 5}}, ERR_INVALID_IMAGE},
                   {"wSectors one more", {{kSectorsAt, 2, 18}}, ERR_INVALID_IMAGE},
                   {"wSectorSize 256", {{kSectorSizeAt, 2, 256}}, ERR_INVALID_IMAGE},
                   {"a byte appended", {Resize(512 + 104448 + 1)}, ERR_INVALID_IMAGE},
                   // 2^16 x 256 x 256 x 256 bytes: 0 in 32 bits.
                   {"size product past 32 bits",
                    {{kCylindersAt, 4, 1 << 16}, {kSurfacesAt, 2, 256}, {kSectorsAt, 2, 256}, {kSectorSizeAt, 2, 256},
                     Resize(512)},
                    ERR_INVALID_IMAGE},
                   // 48,912,491 x 32,681 x 22,539 x 512 = 2^64 + 512: one sector in 64 bits.
                   {"size product past 64 bits",
                    {{kCylindersAt, 4, 48912491}, {kSurfacesAt, 2, 32681}, {kSectorsAt, 2, 22539}, Resize(1024)},
                    ERR_INVALID_IMAGE},
                   // 104,960 bytes of 1-byte sectors at 0 would put the header's fields on the disk.
                   {"data at offset 0",
                    {{kHeaderSizeAt, 4, 0}, {kCylindersAt, 4, 104960}, {kSurfacesAt, 2, 1}, {kSectorsAt, 2, 1},
                     {kSectorSizeAt, 2, 1}},
                    ERR_INVALID_IMAGE},
                   {"data right behind the fields",
                    {{kHeaderSizeAt, 4, 286}, {kCylindersAt, 4, 104960 - 286}, {kSurfacesAt, 2, 1},
                     {kSectorsAt, 2, 1}, {kSectorSizeAt, 2, 1}},
                    0, {104960 - 286, 1, 1, 1}},
               });
}

TEST(PC98Header, Virtual98HardDisk)
{
    using namespace virtual98;
    const Chs chs{5, 4, 17, 512};
    ExpectRows(DISK_VIRTUAL98_HARD,
               [&](const std::string& p) { WriteVirtual98Image(p, chs, PatternBytes(0, chs.bytes(), 4)); },
               {
                   {"as built", {}, 0, {340, 4, 17, 512}},
                   {"signature byte 0", {{0, 1, 'v'}}, ERR_INVALID_IMAGE},
                   {"signature's NUL", {{7, 1, ' '}}, ERR_INVALID_IMAGE},
                   {"wSectorSize 256", {{kSectorSizeAt, 2, 256}}, ERR_INVALID_IMAGE},
                   {"bSectors one more", {{kSectorsAt, 1, 18}}, ERR_INVALID_IMAGE},
                   {"bSurfaces one more", {{kSurfacesAt, 1, 5}}, ERR_INVALID_IMAGE},
                   {"wCylinders one more", {{kCylindersAt, 2, 6}}, ERR_INVALID_IMAGE},
                   {"a byte appended", {Resize(220 + chs.bytes() + 1)}, ERR_INVALID_IMAGE},
               });
}

TEST(PC98Header, HeaderlessSizes)
{
    const Builder pc98e = [](const std::string& p) { WritePC98EImage(p, PatternBytes(0, 4096, 5)); };
    ExpectRows(DISK_PC98E_HARD, pc98e,
               {
                   {"as built", {}, 0, {128000, 8, 20, 512}},
                   {"a byte short", {Resize(kPC98EFileSize - 1)}, ERR_INVALID_IMAGE},
                   {"a byte long", {Resize(kPC98EFileSize + 1)}, ERR_INVALID_IMAGE},
               });
    const Builder unz = [](const std::string& p) { WriteUnzImage(p, PatternBytes(0, 2 << 20, 6)); };
    ExpectRows(DISK_UNZ_HARD, unz,
               {
                   {"as built", {}, 0, {4096, 64, 32, 512}},
                   {"empty", {Resize(0)}, 0, {0, 64, 32, 512}},
                   {"1 MiB and a byte", {Resize((1 << 20) + 1)}, ERR_INVALID_IMAGE},
                   {"1 MiB and a sector", {Resize((1 << 20) + 512)}, ERR_INVALID_IMAGE},
               });
    const Builder rom = [](const std::string& p) { WriteFMTownsRomImage(p, PatternBytes(0, 262144, 7)); };
    ExpectRows(DISK_FMTOWNS_DOSROM, rom,
               {
                   {"as built", {}, 0, {512, 2, 8, 512}},
                   {"a byte short", {Resize(kFMTownsRomFileSize - 1)}, ERR_INVALID_IMAGE},
                   {"a byte long", {Resize(kFMTownsRomFileSize + 1)}, ERR_INVALID_IMAGE},
               });
}

// Both revisions: a 1.25 MB floppy behind the revision's header.
void ExpectT98NextFloppyRows(std::uint32_t code, int revision)
{
    using namespace t98next;
    const std::uint32_t header = revision == 0 ? kR0HeaderBytes : kR1HeaderBytes;
    const Builder build = [&](const std::string& p) {
        WriteT98NextFloppyImage(p, revision, PatternBytes(0, 1261568, 8));
    };
    std::vector<HeaderRow> rows = {
        {"as built", {}, 0, {1232, 2, 8, 1024}},
        {"signature of the other revision", {{13, 1, revision == 0 ? 0x31u : 0x30u}}, ERR_INVALID_IMAGE},
        {"signature's NUL", {{14, 1, ' '}}, ERR_INVALID_IMAGE},
        {"bHeads 1", {{kHeadsAt, 1, 1}}, ERR_INVALID_IMAGE},
        {"dwHeaderSize past the file", {{kHeaderSizeAt, 4, 0xFFFFFFFF}}, ERR_INVALID_IMAGE},
        {"a byte appended", {Resize(header + 1261568 + 1)}, ERR_INVALID_IMAGE},
        // A listed size behind 100 header bytes would put bHeads on the disk.
        {"data inside the header's fields", {{kHeaderSizeAt, 4, 100}, Resize(100 + 737280)}, ERR_INVALID_IMAGE},
        {"data right behind the fields", {{kHeaderSizeAt, 4, 278}, Resize(278 + 737280)}, 0, {1440, 2, 9, 512}},
    };
    // Every listed data size opens with its geometry; the header size is stated, not fixed.
    const std::uint32_t stated = header + 512;
    for (const auto& [size, info] : {std::pair{655360u, DiskInfo{1280, 2, 8, 512}},
                                     std::pair{737280u, DiskInfo{1440, 2, 9, 512}},
                                     std::pair{1228800u, DiskInfo{2400, 2, 15, 512}},
                                     std::pair{1261568u, DiskInfo{1232, 2, 8, 1024}},
                                     std::pair{1474560u, DiskInfo{2880, 2, 18, 512}},
                                     std::pair{2949120u, DiskInfo{5760, 2, 36, 512}}})
        rows.push_back({"a listed size", {{kHeaderSizeAt, 4, stated}, Resize(stated + size)}, 0, info});
    rows.push_back({"an unlisted size", {Resize(header + 1261568 - 1024)}, ERR_INVALID_IMAGE});
    ExpectRows(code, build, rows);
}

TEST(PC98Header, T98NextR0FloppyDisk) { ExpectT98NextFloppyRows(DISK_T98NEXT_R0_FLOPPY, 0); }
TEST(PC98Header, T98NextR1FloppyDisk) { ExpectT98NextFloppyRows(DISK_T98NEXT_R1_FLOPPY, 1); }

Builder D88(const D88Layout& layout)
{
    return [layout](const std::string& p) { WriteD88Image(p, layout, PatternBytes(0, layout.diskBytes(), 9)); };
}

TEST(PC98Header, D88FloppyDisk)
{
    using namespace d88;
    const D88Layout hd;  // 2HD: 154 tracks of 8 sectors of 1,024 bytes
    const std::uint64_t size = hd.trackOffset(153) + hd.trackBytes();
    const auto entry = [](std::uint32_t t) { return kTrackTableAt + 4 * t; };
    const auto record = [&](std::uint32_t t, std::uint32_t field) { return hd.trackOffset(t) + field; };
    const D88Layout dd160 = {0x10, 160, 9, 512};
    ExpectRows(DISK_D88_FLOPPY, D88(hd),
               {
                   {"as built", {}, 0, {1232, 2, 8, 1024}},
                   {"dwDiskSize one more", {{kDiskSizeAt, 4, size + 1}}, ERR_INVALID_IMAGE},
                   {"a byte appended", {Resize(size + 1)}, ERR_INVALID_IMAGE},
                   {"media type 0x30", {{kMediaTypeAt, 1, 0x30}}, ERR_INVALID_IMAGE},
                   {"media type 0x10 with 154 tracks", {{kMediaTypeAt, 1, 0x10}}, ERR_INVALID_IMAGE},
                   {"153 tracks", {{entry(153), 4, 0}}, ERR_INVALID_IMAGE},
                   {"no tracks", {{entry(0), 4, 0}}, ERR_INVALID_IMAGE},
                   {"track 5 with 9 sectors", {{record(5, kRecordSectorsAt), 2, 9}}, ERR_INVALID_IMAGE},
                   {"track 5 with 512-byte sectors", {{record(5, kRecordDataSizeAt), 2, 512}}, ERR_INVALID_IMAGE},
                   // A record header the driver would accept, made in the header's own bytes:
                   // writes to that track would rewrite the track table.
                   {"a track inside the file header",
                    {{2 + kRecordSectorsAt, 2, 8}, {2 + kRecordDataSizeAt, 2, 1024}, {entry(153), 4, 2}},
                    ERR_INVALID_IMAGE},
                   // Track 153 starting at its own last record runs 7 sectors past the file's end.
                   {"a track past the file's end", {{entry(153), 4, hd.dataOffset(153, 7) - kRecordHeader}},
                    ERR_INVALID_IMAGE},
               });
    // The media table, and the track count ending at the first 0 entry.
    const auto layoutRow = [](const char* name, const D88Layout& l, int expected, std::vector<Patch> patches = {}) {
        return HeaderRow{name, std::move(patches), expected,
                         {l.tracks * l.sectorsPerTrack, 2, l.sectorsPerTrack, l.bytesPerSector}, D88(l)};
    };
    ExpectRows(DISK_D88_FLOPPY, D88(hd),
               {
                   layoutRow("2D, 8 sectors", {0x00, 80, 8, 512}, 0),
                   layoutRow("2D, 9 sectors", {0x00, 80, 9, 512}, 0),
                   layoutRow("2DD, 8 sectors", {0x10, 160, 8, 512}, 0),
                   layoutRow("2DD, 9 sectors", dd160, 0),
                   layoutRow("2HD, 15 sectors", {0x20, 160, 15, 512}, 0),
                   layoutRow("2HD, 18 sectors", {0x20, 160, 18, 512}, 0),
                   layoutRow("2D, 160 tracks", {0x00, 160, 9, 512}, ERR_INVALID_IMAGE),
                   layoutRow("2DD, 16 sectors of 256 bytes", {0x10, 160, 16, 256}, ERR_INVALID_IMAGE),
                   layoutRow("2HD, 154 tracks of 9 sectors", {0x20, 154, 9, 1024}, ERR_INVALID_IMAGE),
                   layoutRow("2DD, 164 tracks", {0x10, 164, 9, 512}, ERR_INVALID_IMAGE),
                   layoutRow("2DD, 160 tracks, a 0 entry, further entries", dd160, 0,
                             {{entry(161), 4, kHeaderBytes}, {entry(163), 4, kHeaderBytes}}),
               });
}

// Each format's disk lies at its data offset: a write of the first sector,
// of a range across sectors (and tracks) and of the last sector lands there,
// and nowhere else: headers, record headers and the file's tail stay as built.
TEST(PC98Header, WritesLandAtTheDataOffsetOnly)
{
    struct Row {
        const char* name;
        std::uint32_t code;
        Builder build;
        std::uint64_t diskBytes;
        std::function<std::uint64_t(std::uint64_t)> fileOffset;  // of a disk byte
    };
    const auto headed = [](std::uint64_t dataOffset) {
        return [dataOffset](std::uint64_t v) { return dataOffset + v; };
    };
    D88Layout d88;
    d88.gap = 33;
    d88.reversed = true;
    const Chs small{3, 2, 17, 512};
    const Row rows[] = {
        {"Anex86 hard disk", DISK_ANEX86_HARD,
         [&](const std::string& p) { WriteAnex86Image(p, small, Bytes(small.bytes(), 0)); }, small.bytes(),
         headed(4096)},
        {"T98", DISK_T98_HARD, [](const std::string& p) { WriteT98Image(p, 1, Bytes(67584, 0)); }, 67584, headed(256)},
        {"T98-Next", DISK_T98NEXT_HARD,
         [&](const std::string& p) { WriteT98NextHardImage(p, small, Bytes(small.bytes(), 0), 1000); },
         small.bytes(), headed(1000)},
        {"Virtual98", DISK_VIRTUAL98_HARD,
         [&](const std::string& p) { WriteVirtual98Image(p, small, Bytes(small.bytes(), 0)); }, small.bytes(),
         headed(220)},
        {"PC98E", DISK_PC98E_HARD, [](const std::string& p) { WritePC98EImage(p, {}); }, 65536000, headed(0)},
        {"Unz", DISK_UNZ_HARD, [](const std::string& p) { WriteUnzImage(p, Bytes(1 << 20, 0)); }, 1 << 20, headed(0)},
        {"Anex86 floppy", DISK_ANEX86_FLOPPY,
         [&](const std::string& p) { WriteAnex86Image(p, {77, 2, 8, 1024}, Bytes(1261568, 0)); }, 1261568,
         headed(4096)},
        {"T98-Next R0", DISK_T98NEXT_R0_FLOPPY,
         [](const std::string& p) { WriteT98NextFloppyImage(p, 0, Bytes(1261568, 0)); }, 1261568, headed(68112)},
        {"T98-Next R1", DISK_T98NEXT_R1_FLOPPY,
         [](const std::string& p) { WriteT98NextFloppyImage(p, 1, Bytes(737280, 0), 2000); }, 737280, headed(2000)},
        {"FM Towns ROM", DISK_FMTOWNS_DOSROM, [](const std::string& p) { WriteFMTownsRomImage(p, Bytes(262144, 0)); },
         262144, headed(0)},
        {"D88", DISK_D88_FLOPPY, [&](const std::string& p) { WriteD88Image(p, d88, Bytes(d88.diskBytes(), 0)); },
         d88.diskBytes(), [&](std::uint64_t v) {
             const std::uint64_t track = v / 8192;
             return d88.dataOffset(static_cast<std::uint32_t>(track), static_cast<std::uint32_t>(v % 8192 / 1024),
                                   static_cast<std::uint32_t>(v % 1024));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir.file("image");
        row.build(path);
        Bytes expected = ReadFile(path);
        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_OpenType(&disk, path.c_str(), 0, row.code), 0);
        // Sector sizes here are 256 to 1,024 bytes; the middle range crosses
        // sectors, and at 8,192 bytes a D88 track.
        for (const auto& [offset, length] : {std::pair<std::uint64_t, std::uint32_t>{0, 256},
                                             {8192 - 700, 2000},
                                             {row.diskBytes - 256, 256}}) {
            const Bytes data = PatternBytes(offset, length, 99);
            ASSERT_EQ(Disk_Write64(&disk, offset, length, data.data()), 0) << offset;
            for (std::uint32_t i = 0; i < length; ++i)
                expected[row.fileOffset(offset + i)] = data[i];
            Bytes back(length);
            ASSERT_EQ(Disk_Read64(&disk, offset, length, back.data()), 0);
            EXPECT_EQ(back, data);
        }
        Disk_Close(&disk);
        EXPECT_TRUE(ReadFile(path) == expected);
    }
}

// A file shorter than the header part a driver reads: the user build's read
// fails; the kernel build's short read succeeds, and the header's rules then
// decide on zeros past the file's end.
TEST(PC98Header, ShortHeaders)
{
    struct Row {
        const char* name;
        std::uint32_t code;
        Builder build;
        int kernelResult;
    };
    const Row rows[] = {
        {"T98, 2 bytes", DISK_T98_HARD, [](const std::string& p) { WriteFile(p, {1, 0}); }, ERR_INVALID_IMAGE},
        {"Anex86, 10 bytes", DISK_ANEX86_HARD,
         [](const std::string& p) { WriteFile(p, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 16}); }, ERR_INVALID_IMAGE},
        // The header states 300 header bytes and no cylinders: an empty disk, in the kernel build.
        {"T98-Next, a 300-byte header of an empty disk", DISK_T98NEXT_HARD,
         [](const std::string& p) {
             WriteT98NextHardImage(p, {0, 8, 17, 512}, {}, 300);
         },
         0},
        {"T98-Next R1, 500 bytes", DISK_T98NEXT_R1_FLOPPY,
         [](const std::string& p) { WriteT98NextFloppyImage(p, 1, {}, 500); }, ERR_INVALID_IMAGE},
        {"D88, 100 bytes", DISK_D88_FLOPPY, [](const std::string& p) { WriteFile(p, Bytes(100, 0)); },
         ERR_INVALID_IMAGE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
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
