// SPDX-License-Identifier: MIT
// qimg over VMware 4 disks built here: allocation, parents, holes and the
// metadata check with one fault at a time.
#include "QimgRun.h"
#include "TempDir.h"
#include "VMware4Image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using namespace qimtest;

namespace {

constexpr std::uint64_t kGrain = kVmdkGrainBytes;

// 8 MiB with data in a few grains, one of them only in its last byte.
Bytes SparseDisk()
{
    Bytes disk(128 * kGrain, 0);
    for (std::uint64_t g : {0, 3, 50, 51, 127}) {
        const Bytes data = PatternBytes(g * kGrain, kGrain, 9);
        std::copy(data.begin(), data.end(), disk.begin() + static_cast<std::ptrdiff_t>(g * kGrain));
    }
    disk[90 * kGrain + kGrain - 1] = 0x42;
    return disk;
}
constexpr std::uint64_t kSparseGrains = 6;

TEST(QimgVmdk, AllocationAndHolesOfPlainDisks)
{
    const Bytes disk = SparseDisk();
    struct Case {
        const char* name;
        std::function<void(const std::string&)> write;
    };
    const Case cases[] = {
        {"monolithic", [&](const std::string& p) { WriteVmdkMonolithic(p, disk); }},
        {"monolithic, grains in reverse", [&](const std::string& p) { WriteVmdkMonolithic(p, disk, {}); }},
        {"two-gigabyte, three extents",
         [&](const std::string& p) { static_cast<void>(WriteVmdkTwoGb(p, disk, {4096, 8192, 4096})); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("disk.vmdk"), out = dir.file("disk.raw");
        c.write(path);
        const nlohmann::json info = InfoJson({path});
        EXPECT_EQ(info["virtual-size"], disk.size());
        EXPECT_EQ(info["allocated-size"], kSparseGrains * kGrain);
        EXPECT_TRUE(info["parents"].empty());

        const QimgResult r = RunQimg({"convert", path, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ReadFile(out) == disk);
        EXPECT_LE(AllocatedBytes(out), kSparseGrains * kGrain) << "unallocated grains are holes";

        const QimgResult check = RunQimg({"check", path});
        EXPECT_EQ(check.status, 0) << check.out << check.err;
    }
}

TEST(QimgVmdk, RedoLogListsItsParentAndConvertsMerged)
{
    TempDir dir;
    const Bytes parent = SparseDisk();
    Bytes child = parent;
    for (std::uint64_t at : {5 * kGrain + 7, 50 * kGrain + 100})
        child[at] = 0x77;
    WriteVmdkMonolithic(dir.file("base.vmdk"), parent);
    static_cast<void>(WriteVmdkRedo(dir.file("redo.vmdk"), "base.vmdk", parent, child, {16384}));
    const nlohmann::json info = InfoJson({dir.file("redo.vmdk")});
    EXPECT_EQ(info["format-code"], 2);
    ASSERT_EQ(info["parents"].size(), 1u);
    EXPECT_EQ(info["parents"][0]["filename"], dir.file("base.vmdk"));
    EXPECT_EQ(info["parents"][0]["format-code"], 0);
    EXPECT_EQ(info["allocated-size"], 2 * kGrain) << "only the changed grains are in the redo log";

    const QimgResult r = RunQimg({"convert", dir.file("redo.vmdk"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir.file("out")) == child);

    const QimgResult text = RunQimg({"info", dir.file("redo.vmdk")});
    EXPECT_NE(text.out.find("parent 1: " + dir.file("base.vmdk") + " (VMware 4 monolithic sparse)"),
              std::string::npos)
        << text.out;
}

// One fault at a time in a monolithic disk whose layout the builder reports.
TEST(QimgVmdk, CheckFindsEachFault)
{
    const Bytes disk = SparseDisk();
    struct Fault {
        const char* name;
        // Changes the built file; gets the path and the builder's map.
        std::function<void(const std::string&, const Vmdk4ExtentMap&)> apply;
        int status;
        std::vector<std::string> lines;  // every finding, in order
    };
    // copies: 1 the redundant table (the one read), 2 the primary, 3 both.
    auto setEntry = [](const std::string& path, const Vmdk4ExtentMap& map, std::uint32_t g, std::uint32_t value,
                       int copies = 3) {
        const Bytes le = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        if ((copies & 1) != 0)
            WriteFileAt(path, std::uint64_t{map.redundantGts[0]} * 512 + 4 * g, le);
        if ((copies & 2) != 0)
            WriteFileAt(path, std::uint64_t{map.gts[0]} * 512 + 4 * g, le);
    };
    const std::vector<Fault> faults = {
        {"clean", [](auto&, auto&) {}, 0, {}},
        {"an entry past the end of the file",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 3, 0x100000); }, 2,
         {"corrupt: block lies past the end of the file (entry 3, file offset 536870912)",
          "leaked: file space that no entry names"}},
        {"two entries naming one grain",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 7, m.grains[3]); }, 2,
         {"corrupt: two entries name the same storage"}},
        {"table copies that differ",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 9, m.grains[3], 2); }, 2,
         {"corrupt: grain table copies differ (table 0, entry 9)"}},
        {"an entry in the redundant table alone",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 9, m.grains[3], 1); }, 2,
         {"leaked: primary grain table lacks an entry; the next write completes it (table 0, entry 9)",
          "corrupt: two entries name the same storage"}},
        {"a grain no entry names",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 3, 0); }, 3,
         {"leaked: file space that no entry names"}},
        {"a grain inside the metadata",
         [&](const std::string& p, const Vmdk4ExtentMap& m) { setEntry(p, m, 4, m.gts[0]); }, 2,
         {"corrupt: block lies inside the metadata (entry 4, file offset "}},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        TempDir dir;
        const std::string path = dir.file("disk.vmdk");
        Vmdk4Descriptor descriptor;
        descriptor.extents = {{static_cast<std::uint32_t>(disk.size() / 512), "disk.vmdk"}};
        Vmdk4ExtentLayout layout;
        layout.capacity = static_cast<std::uint32_t>(disk.size() / 512);
        layout.embedded = true;
        layout.descriptor = descriptor.Text();
        const Vmdk4ExtentMap map = WriteVmdk4Extent(path, layout, disk);
        f.apply(path, map);
        const Bytes before = ReadFile(path);
        const QimgResult r = RunQimg({"check", path});
        EXPECT_EQ(r.status, f.status) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        const std::string summary = ExpectFindings(r, f.lines);
        EXPECT_EQ(summary.rfind(path + ": VMware 4 monolithic sparse image, ", 0), 0u) << summary;
        EXPECT_TRUE(ReadFile(path) == before) << "check changes nothing";
    }
}

TEST(QimgVmdk, RedoLogWithoutItsParentIsNotChecked)
{
    TempDir dir;
    const Bytes parent = SparseDisk();
    WriteVmdkMonolithic(dir.file("base.vmdk"), parent);
    static_cast<void>(WriteVmdkRedo(dir.file("redo.vmdk"), "base.vmdk", parent, parent, {16384}));
    EXPECT_EQ(RunQimg({"check", dir.file("redo.vmdk")}).status, 0);
    // Replaced by another disk of the same size: another CID.
    Vmdk4Descriptor other;
    other.cid = "0badcafe";
    WriteVmdkMonolithic(dir.file("base.vmdk"), parent, other);
    const QimgResult replaced = RunQimg({"check", dir.file("redo.vmdk")});
    EXPECT_EQ(replaced.status, 2) << replaced.out << replaced.err;
    EXPECT_NE(replaced.out.find("corrupt: the parent is another disk than the one the image was made over"),
              std::string::npos)
        << replaced.out;
    std::remove(dir.file("base.vmdk").c_str());
    const QimgResult r = RunQimg({"check", dir.file("redo.vmdk")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ExpectOneErrorLine(r, dir.file("redo.vmdk"), "cannot check: cannot open " + dir.file("base.vmdk"));
}

}  // namespace
