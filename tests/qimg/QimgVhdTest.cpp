// SPDX-License-Identifier: MIT
// qimg over Virtual PC images built here: allocation by block and by sector
// bitmap, the parent chain, holes and the metadata check with one fault at a time.
#include "QimgRun.h"
#include "TempDir.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using namespace qimtest;

namespace {

const VpcGeometry kGeometry{80, 16, 16};  // 10 MiB: five 2 MiB blocks

// Data in blocks 0 and 3 only; block 3 only in its last byte.
Bytes SparseDisk()
{
    Bytes disk(kGeometry.bytes(), 0);
    const Bytes data = PatternBytes(0, 300000, 5);
    std::copy(data.begin(), data.end(), disk.begin() + 1000);
    disk[4ull * kVpcBlockBytes - 1] = 0x33;
    return disk;
}

void StoreTableEntry(const std::string& path, std::uint32_t block, std::uint32_t entry)
{
    WriteFileAt(path, kVpcTableOffset + 4ull * block,
                {static_cast<std::uint8_t>(entry >> 24), static_cast<std::uint8_t>(entry >> 16),
                 static_cast<std::uint8_t>(entry >> 8), static_cast<std::uint8_t>(entry)});
}

TEST(QimgVhd, DynamicAllocationAndHoles)
{
    TempDir dir;
    const Bytes disk = SparseDisk();
    const std::string path = dir.file("disk.vhd"), out = dir.file("disk.raw");
    WriteVpcSparse(path, {.geometry = kGeometry}, disk);
    const nlohmann::json info = InfoJson({path});
    EXPECT_EQ(info["format-code"], 7);
    EXPECT_EQ(info["virtual-size"], disk.size());
    EXPECT_EQ(info["allocated-size"], 2ull * kVpcBlockBytes);
    EXPECT_EQ(info["file-size"], FileSize(path));
    // -f raw reads the file itself, as qemu-img's does.
    EXPECT_EQ(InfoJson({"-f", "raw", path})["virtual-size"], FileSize(path) / 512 * 512);

    const QimgResult r = RunQimg({"convert", path, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(out) == disk);
    EXPECT_LT(AllocatedBytes(out), 400000u) << "unallocated blocks and zero ranges are holes";
}

TEST(QimgVhd, DifferencingListsItsParentAndConvertsMerged)
{
    TempDir dir;
    const Bytes parent = SparseDisk();
    WriteVpcSparse(dir.file("base.vhd"), {.geometry = kGeometry}, parent);
    // The child holds sectors 2, 3 and 9 of block 1, and sector 0 of block 4.
    const Bytes own = PatternBytes(0, parent.size(), 6);
    std::vector<bool> present(kGeometry.sectors(), false);
    Bytes merged = parent;
    for (std::uint32_t s : {4096u + 2, 4096u + 3, 4096u + 9, 16384u}) {
        present[s] = true;
        std::copy_n(own.begin() + s * 512ll, 512, merged.begin() + s * 512ll);
    }
    WriteVpcSparse(dir.file("child.vhd"), {.geometry = kGeometry, .parent = "base.vhd", .present = present}, own);

    const nlohmann::json info = InfoJson({dir.file("child.vhd")});
    EXPECT_EQ(info["format-code"], 9);
    ASSERT_EQ(info["parents"].size(), 1u);
    EXPECT_EQ(info["parents"][0]["filename"], dir.file("base.vhd"));
    EXPECT_EQ(info["parents"][0]["format-code"], 7);
    EXPECT_EQ(info["allocated-size"], 4 * 512) << "only the sectors whose bit is set";

    const QimgResult r = RunQimg({"convert", dir.file("child.vhd"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir.file("out")) == merged);
    EXPECT_EQ(RunQimg({"check", dir.file("child.vhd")}).status, 0);

    // The parent replaced by another disk of the same size.
    const std::string base = dir.file("base.vhd");
    WriteFileAt(base, 68, {0x55});
    WriteFileAt(base, FileSize(base) - 511 + 68, {0x55});
    const QimgResult other = RunQimg({"check", dir.file("child.vhd")});
    EXPECT_EQ(other.status, 2) << other.out;
    ExpectFindings(other, {"corrupt: the parent is another disk than the one the image was made over"});

    std::remove(dir.file("base.vhd").c_str());
    const QimgResult missing = RunQimg({"check", dir.file("child.vhd")});
    EXPECT_EQ(missing.status, 1) << missing.out;
    ExpectOneErrorLine(missing, dir.file("child.vhd"), "cannot check: cannot open " + dir.file("base.vhd"));
}

TEST(QimgVhd, CheckFindsEachFault)
{
    const Bytes disk = SparseDisk();
    struct Fault {
        const char* name;
        std::function<void(const std::string&)> apply;
        int status;
        std::vector<std::string> lines;  // every finding, in order (prefixes)
    };
    const std::vector<Fault> faults = {
        {"clean", [](const std::string&) {}, 0, {}},
        {"a table entry past the end of the file",
         [](const std::string& p) { StoreTableEntry(p, 4, static_cast<std::uint32_t>(FileSize(p) / 512 + 10)); }, 2,
         {"corrupt: block lies past the end of the file (entry 4, file offset "}},
        {"two entries naming one block",
         [](const std::string& p) { StoreTableEntry(p, 2, VpcTableEntry(p, 0)); }, 2,
         {"corrupt: two entries name the same storage (entry 0, entry 2)"}},
        {"a bad footer copy",
         [](const std::string& p) { WriteFileAt(p, FileSize(p) - 400, {0xFF}); }, 2,
         {"corrupt: the footer copies differ"}},
        {"a block no entry names",
         [](const std::string& p) { StoreTableEntry(p, 0, 0xFFFFFFFF); }, 3,
         {"leaked: file space that no entry names (file offset "}},
        {"a block inside the table",
         [](const std::string& p) { StoreTableEntry(p, 1, 2); }, 2,
         {"corrupt: block lies inside the metadata (entry 1, file offset 1024)"}},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        TempDir dir;
        const std::string path = dir.file("disk.vhd");
        WriteVpcSparse(path, {.geometry = kGeometry}, disk);
        f.apply(path);
        const Bytes before = ReadFile(path);
        const QimgResult r = RunQimg({"check", path});
        EXPECT_EQ(r.status, f.status) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        const std::string summary = ExpectFindings(r, f.lines);
        EXPECT_EQ(summary.rfind(path + ": Virtual PC dynamic image, ", 0), 0u) << summary;
        EXPECT_TRUE(ReadFile(path) == before) << "check changes nothing";
    }
}

}  // namespace
