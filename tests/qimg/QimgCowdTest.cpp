// SPDX-License-Identifier: MIT
// qimg over VMware 3 and 2 disks built here: allocation by small block across
// extent files, holes, and a redo log's parent.
#include "CowdImage.h"
#include "QimgRun.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using namespace qimtest;

namespace {

// The output holds the runs' bytes where they are (with a margin around
// them); being no larger on disk than the blocks they touch, the rest is holes.
void ExpectRuns(const std::string& out, const DiskRuns& runs, std::uint64_t size, std::uint64_t allocated)
{
    EXPECT_EQ(FileSize(out), size);
    for (const auto& [at, bytes] : runs) {
        const std::uint64_t from = at > 4096 ? at - 4096 : 0;
        const std::size_t length = bytes.size() + 8192;
        EXPECT_TRUE(ReadFileRange(out, from, length) == RunsBytes(runs, from, length)) << at;
    }
    EXPECT_LE(AllocatedBytes(out), allocated) << "unallocated small blocks are holes";
}

TEST(QimgCowd, AllocationHolesAndParents)
{
    // Runs in three small blocks; one run crosses from the first extent file into the second.
    const DiskRuns runs = {{0, PatternBytes(0, 5000, 1)},
                           {std::uint64_t{kCowdExtentSectors} * 512 - 100, PatternBytes(0, 200, 2)}};
    struct Case {
        const char* name;
        std::uint32_t version;
        std::uint32_t sectors;
        std::uint64_t allocated;  // small blocks the runs touch
    };
    for (const Case c : {Case{"VMware 3, two files", 3, 4160 * 1008, 3 * kCowdSmallBlock},
                         Case{"VMware 2", 1, 4160 * 1008, 3 * kCowdSmallBlock}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string base = dir.file("base.dsk"), redo = dir.file("redo.dsk");
        static_cast<void>(WriteCowdDisk(base, {.version = c.version, .totalSectors = c.sectors}, runs));
        const nlohmann::json info = InfoJson({base});
        EXPECT_EQ(info["virtual-size"], std::uint64_t{c.sectors} * 512);
        EXPECT_EQ(info["allocated-size"], c.allocated);
        const QimgResult r = RunQimg({"convert", base, dir.file("out")});
        ASSERT_EQ(r.status, 0) << r.err;
        ExpectRuns(dir.file("out"), runs, std::uint64_t{c.sectors} * 512, c.allocated);

        const DiskRuns change = {{1ull << 20, Bytes(10, 0x66)}};
        static_cast<void>(WriteCowdDisk(
            redo, {.version = c.version, .totalSectors = c.sectors, .parentName = "base.dsk"}, change, runs));
        const nlohmann::json child = InfoJson({redo});
        ASSERT_EQ(child["parents"].size(), 1u);
        EXPECT_EQ(child["parents"][0]["filename"], base);
        EXPECT_EQ(child["allocated-size"], kCowdSmallBlock);
        DiskRuns merged = runs;
        merged.insert(change.begin(), change.end());
        const QimgResult m = RunQimg({"convert", redo, dir.file("merged")});
        ASSERT_EQ(m.status, 0) << m.err;
        ExpectRuns(dir.file("merged"), merged, std::uint64_t{c.sectors} * 512, c.allocated + kCowdSmallBlock);
    }
}

}  // namespace

TEST(QimgCowd, CheckFindsEachFault)
{
    // Two small blocks in large block 0 and one in large block 1 of the first file.
    const DiskRuns runs = {{0, PatternBytes(0, 70000, 3)}, {kCowdLargeBlock + 512, PatternBytes(0, 512, 4)}};
    const std::uint32_t sectors = 4160 * 1008;  // two files
    // Entry j of large block i's table in the first file.
    auto entryAt = [](const std::string& path, std::uint32_t i, std::uint32_t j) {
        return std::uint64_t{FileU32(path, 2048 + 4 * i)} * 512 + 4 * j;
    };
    struct Fault {
        const char* name;
        std::function<void(const std::string& first, const std::vector<std::string>& files)> apply;
        int status;
        std::vector<std::string> lines;  // every finding, in order
    };
    const std::vector<Fault> faults = {
        {"clean", [](auto&, auto&) {}, 0, {}},
        {"an entry past the end of the file",
         [&](const std::string& p, auto&) { PatchU32(p, entryAt(p, 0, 1), 0x100000); }, 2,
         {"corrupt: block lies past the end of the file (entry 1, file offset 536870912)",
          "leaked: file space that no entry names"}},
        {"two entries naming one block",
         [&](const std::string& p, auto&) { PatchU32(p, entryAt(p, 0, 5), FileU32(p, entryAt(p, 0, 0))); }, 2,
         {"corrupt: two entries name the same storage"}},
        {"a table outside the file",
         [&](const std::string& p, auto&) { PatchU32(p, 2048 + 4 * 3, 0x7FFFFFFF); }, 2,
         {"corrupt: table lies outside the file's data (large block 3, file offset 1099511627264)"}},
        {"a free sector before stored blocks",
         [&](const std::string& p, auto&) { PatchU32(p, cowdfield::kFreeSector, 8); }, 2,
         {"corrupt: the free sector lies before stored blocks (free sector 8, "}},
        {"a block no entry names", [&](const std::string& p, auto&) { PatchU32(p, entryAt(p, 1, 0), 0); }, 3,
         {"leaked: file space that no entry names"}},
        {"a missing second file", [](auto&, const std::vector<std::string>& files) { std::remove(files[1].c_str()); },
         1, {"cannot check: cannot open ", "-02.dsk: No such file or directory"}},
        {"a broken header", [](const std::string& p, auto&) { PatchU32(p, cowdfield::kSmallBlockSize, 64); }, 2,
         {"corrupt: header fields do not fit the format"}},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        TempDir dir;
        const std::string path = dir.file("disk.dsk");
        const std::vector<std::string> files = WriteCowdDisk(path, {.version = 3, .totalSectors = sectors}, runs);
        ASSERT_EQ(files.size(), 2u);
        f.apply(path, files);
        const Bytes before = ReadFile(path);
        const QimgResult r = RunQimg({"check", path});
        EXPECT_EQ(r.status, f.status) << r.out << r.err;
        if (f.status == 1)  // not checked: one line on standard error, its words in f.lines
            for (const std::string& words : f.lines)
                ExpectOneErrorLine(r, path, words);
        else
            ExpectFindings(r, f.lines);
        EXPECT_TRUE(ReadFile(path) == before) << "check changes nothing";
    }

    // A redo log of VMware 2 without its parent.
    TempDir dir;
    const std::string base = dir.file("base.dsk"), redo = dir.file("redo.dsk");
    static_cast<void>(WriteCowdDisk(base, {.version = 1, .totalSectors = sectors}, runs));
    static_cast<void>(
        WriteCowdDisk(redo, {.version = 1, .totalSectors = sectors, .parentName = "base.dsk"}, runs, runs));
    EXPECT_EQ(RunQimg({"check", redo}).status, 0);
    std::remove(base.c_str());
    const QimgResult r = RunQimg({"check", redo});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r, redo, "cannot check: cannot open " + base + ": No such file or directory");
}
