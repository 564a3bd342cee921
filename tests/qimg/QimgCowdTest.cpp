// qimg over VMware 3 and 2 disks built here: allocation by small block across
// extent files, holes, and a redo log's parent.
#include "CowdImage.h"
#include "QimgRun.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>

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
