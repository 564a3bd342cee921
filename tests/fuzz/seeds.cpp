// SPDX-License-Identifier: MIT
// Writes the fuzz targets' seed inputs from the test image builders: small
// images of every format that fits in a few hundred KiB, packed as the
// targets read them. Usage: fuzz_seeds DIR (writes DIR/<target>/<n>).
#include "CowdImage.h"
#include "D88Image.h"
#include "FuzzFiles.h"
#include "MountRecordBytes.h"
#include "PC98Images.h"
#include "PartitionTable.h"
#include "RawImage.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace qimtest;
using qimfuzz::FilePiece;
using qimfuzz::JoinPieces;

namespace {

// The largest seed written; bigger images would slow every mutation.
constexpr std::size_t kMaxSeed = 270 * 1024;

std::string Text(const Bytes& b) { return {b.begin(), b.end()}; }

// A 64-sector disk with a PC/AT table of two primaries and an extended chain
// of three logical partitions, PC-98 and FM Towns tables beside it.
Bytes PartitionedDisk(std::uint32_t seed)
{
    Bytes disk = PatternBytes(0, 64 * 512, seed);
    WritePcAtLayout(disk, {.primary = {{0x06, 1, 8}, {0x83, 9, 8}},
                           .logical = {{0x07, 20, 4}, {0x0B, 30, 4}, {0x83, 40, 20}},
                           .logicalGap = 1});
    return disk;
}

Bytes Pc98Disk()
{
    Bytes disk = PatternBytes(0, 2 * 4 * 16 * 512, 7);
    Pc98Table table;
    table.slots[0] = MakePc98Slot(1, 1, "MS-DOS 6.20");
    table.slots[1] = MakePc98Slot(1, 1, "DATA");
    table.at254 = std::array<std::uint8_t, 2>{0x55, 0xAA};
    WritePc98Table(disk, table);
    return disk;
}

// Every file an image builder wrote into dir, the image (named first) first.
std::vector<std::string> ImageFiles(const TempDir& dir, const std::string& image)
{
    std::vector<std::string> pieces = {FilePiece(image, Text(ReadFile(dir.file(image))))};
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename() != image)
            pieces.push_back(FilePiece(e.path().filename().string(), Text(ReadFile(e.path()))));
    return pieces;
}

struct Image {
    std::string name;
    std::function<void(const TempDir&)> build;  // writes name (and its other files) into the directory
    bool probed = true;                          // also written as "image.bin" for the probe
};

std::vector<Image> Images()
{
    const Bytes at = PartitionedDisk(3);
    const Chs chs{2, 4, 16, 512};
    return {
        {"image.vmdk", [](const TempDir& d) { WriteCowdDisk(d.file("image.vmdk"), {.totalSectors = 1008}, {{0, PatternBytes(0, 1024, 1)}}); }},
        {"image.vmdk", [](const TempDir& d) {
             WriteCowdDisk(d.file("parent.vmdk"), {.totalSectors = 1008}, {{0, PatternBytes(0, 512, 2)}});
             WriteCowdDisk(d.file("image.vmdk"), {.totalSectors = 1008, .parentName = "parent.vmdk"},
                           {{512, PatternBytes(0, 512, 3)}}, {{0, PatternBytes(0, 512, 2)}});
         }},
        {"image.dsk", [](const TempDir& d) { WriteCowdDisk(d.file("image.dsk"), {.version = 1, .totalSectors = 1008}, {{0, PatternBytes(0, 1024, 1)}}); }},
        {"image.vmdk", [at](const TempDir& d) { WriteVmdkMonolithic(d.file("image.vmdk"), at); }},
        {"image.vmdk", [at](const TempDir& d) {
             Bytes first(at.begin(), at.begin() + 32 * 512);  // the second extent stores nothing
             first.resize(at.size());
             WriteVmdkTwoGb(d.file("image.vmdk"), first, {32, 32}, {.createType = "twoGbMaxExtentSparse"});
         }},
        {"image.vmdk", [at](const TempDir& d) {
             const Bytes parent(at.size(), 0);
             WriteVmdkMonolithic(d.file("parent.vmdk"), parent);
             WriteVmdkRedo(d.file("image.vmdk"), "parent.vmdk", parent, at, {64});
         }},
        {"image.vhd", [](const TempDir& d) { WriteVpcSparse(d.file("image.vhd"), {.geometry = {4, 4, 17}}, Bytes(4 * 4 * 17 * 512, 0)); }},
        {"image.vhd", [](const TempDir& d) {
             WriteVpcSparse(d.file("parent.vhd"), {.geometry = {4, 4, 17}}, Bytes(4 * 4 * 17 * 512, 0));
             WriteVpcSparse(d.file("image.vhd"), {.geometry = {4, 4, 17}, .parent = "parent.vhd"}, Bytes(4 * 4 * 17 * 512, 0));
         }},
        {"image.hdi", [chs](const TempDir& d) { WriteAnex86Image(d.file("image.hdi"), chs, Pc98Disk()); }},
        {"image.fdi", [](const TempDir& d) { WriteAnex86Image(d.file("image.fdi"), {2, 2, 8, 512}, PatternBytes(0, 2 * 2 * 8 * 512, 5)); }},
        {"image.thd", [](const TempDir& d) { WriteT98Image(d.file("image.thd"), 1, PatternBytes(0, 8 * 33 * 256, 5)); }},
        {"image.nhd", [chs](const TempDir& d) { WriteT98NextHardImage(d.file("image.nhd"), chs, Pc98Disk()); }},
        {"image.hdd", [chs](const TempDir& d) { WriteVirtual98Image(d.file("image.hdd"), chs, Pc98Disk()); }},
        {"image.h0", [at](const TempDir& d) { WriteFile(d.file("image.h0"), at); }, false},
        {"image.d88", [](const TempDir& d) {
             const D88Layout layout{0x20, 4, 4, 256, 16, true};
             WriteD88Image(d.file("image.d88"), layout, PatternBytes(0, layout.diskBytes(), 6));
         }},
        {"image.nfd", [](const TempDir& d) { WriteT98NextFloppyImage(d.file("image.nfd"), 0, PatternBytes(0, 4096, 8)); }},
        {"image.nfd", [](const TempDir& d) { WriteT98NextFloppyImage(d.file("image.nfd"), 1, PatternBytes(0, 4096, 8)); }},
    };
}

// Steering of the disk target: read-only with the check and reads, or
// read-write with writes between reads.
const std::vector<std::string> kDiskSteers = {
    std::string("\x03\x00\x00\x00\x00\x00\x00\x02\x00"
                "\x04\x00\x00\x00\x80\x00\x10\x00"
                "\x02\x00\x00\x00\x40\x00\x00\x01", 25),
    std::string("\x00\x01\x00\x00\x00\x10\x00\x02\x00"
                "\x0D\x00\x00\x00\x80\x00\x04\x00"
                "\x00\x00\x00\x00\x00\x00\x00\x04"
                "\x03\x00\x00\x00\x00\x00\x02\x00", 33),
};

class SeedWriter {
public:
    explicit SeedWriter(std::filesystem::path root) : root_(std::move(root)) {}
    void Add(const std::string& target, const std::string& bytes)
    {
        if (bytes.size() > kMaxSeed) {
            std::fprintf(stderr, "fuzz_seeds: %s seed of %zu bytes left out\n", target.c_str(), bytes.size());
            return;
        }
        std::filesystem::create_directories(root_ / target);
        std::ofstream(root_ / target / std::to_string(++count_), std::ios::binary) << bytes;
    }

private:
    std::filesystem::path root_;
    int count_ = 0;
};

std::string Words(const RecordWords& w, const std::string& name) { return Text(MountRecordBytes(w, name)); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    SeedWriter seeds(argv[1]);
    for (const Image& image : Images()) {
        TempDir dir;
        image.build(dir);
        std::vector<std::string> files = ImageFiles(dir, image.name);
        for (const std::string& steer : kDiskSteers) {
            std::vector<std::string> pieces = {steer};
            pieces.insert(pieces.end(), files.begin(), files.end());
            seeds.Add("disk", JoinPieces(pieces));
            if (image.probed) {
                pieces[1] = FilePiece("image.bin", files[0].substr(files[0].find('\n') + 1));
                seeds.Add("disk", JoinPieces(pieces));
            }
        }
        // qimc: read-only, partition 1 (a floppy ignores it).
        std::vector<std::string> qimc = {"r 1"};
        qimc.insert(qimc.end(), files.begin(), files.end());
        seeds.Add("qimc", JoinPieces(qimc));
    }

    const Bytes at = PartitionedDisk(3);
    const Bytes pc98 = Pc98Disk();
    Bytes towns = PatternBytes(0, 16 * 1024, 9);
    WriteFMTownsTable(towns, {.slots = {}});
    for (const Bytes& disk : {at, pc98, towns})
        seeds.Add("partition", std::string("\x01\x04\x10\x00\x00\x00\x00\x00", 8) + Text(disk));

    for (const std::string& words : {"h a 0 512 64 4 16 5", "r f 0 512 64 4 16", "h 9 0 512 128 4 16 1"})
        seeds.Add("qimc", JoinPieces({words, FilePiece("disk.img", Text(words[2] == '9' ? pc98 : at))}));

    for (const Vmdk4Descriptor& d :
         {Vmdk4Descriptor{.extents = {{64, "image.vmdk"}}},
          Vmdk4Descriptor{.createType = "twoGbMaxExtentSparse", .extents = {{32, "a-s001.vmdk"}, {32, "a-s002.vmdk"}}},
          Vmdk4Descriptor{.extents = {{64, "redo.vmdk"}}, .parentHint = "parent.vmdk", .ddb = false}})
        seeds.Add("descriptor", d.Text());

    // The driver: a raw floppy, a raw partition, a read-only PC-98 partition.
    const std::string transfers("\x00\x00\x00\x00\x02\x00\x01\x00\x00\x00\x01\x01\x05\x00\x00\x00\x10\x00", 18);
    seeds.Add("mount", JoinPieces({Words({1, 64, 4, 16, 512, 0, 1, 0, 0, 0}, "disk.img"), transfers,
                                   FilePiece("disk.img", Text(at))}));
    seeds.Add("mount", JoinPieces({Words({1, 64, 4, 16, 512, 0, 0, 0, 4, 0}, "disk.img"), transfers,
                                   FilePiece("disk.img", Text(at))}));
    seeds.Add("mount", JoinPieces({Words({1, 128, 4, 16, 512, 0, 0, 1, 0, 1}, "disk.img"), transfers,
                                   FilePiece("disk.img", Text(pc98))}));
    {
        TempDir dir;
        WriteVmdkMonolithic(dir.file("image.vmdk"), at);
        std::vector<std::string> pieces = {Words({0, 0, 0, 0, 0, 0, 0, 0, 2, 0}, "image.vmdk"), transfers};
        for (const std::string& f : ImageFiles(dir, "image.vmdk"))
            pieces.push_back(f);
        seeds.Add("mount", JoinPieces(pieces));
    }
    return 0;
}
