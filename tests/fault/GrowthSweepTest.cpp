// SPDX-License-Identifier: MIT
// Every growing format under a platform layer that fails: one write sequence
// that allocates blocks, grains and tables is run again and again, each time
// with another file operation failing (or another write stopping part-way, or
// the process ending at another write).
// Whatever fails, the image opens again, every write acknowledged before the
// failure reads back, bytes never written read as before, the parent file is
// untouched, and the image still grows.
#include "CowdImage.h"
#include "Disk.h"
#include "NkFaults.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>

using namespace qim;
using namespace qimtest;

namespace {

struct Piece {
    std::uint64_t at;
    std::uint32_t length;
    std::uint32_t seed;  // 0: zeros
    [[nodiscard]] Bytes Data() const { return seed == 0 ? Bytes(length, 0) : PatternBytes(at, length, seed); }
};

constexpr std::uint64_t kMiB = 1 << 20;

// Large enough for two 32 MiB tables, and a cylinder count the COWD geometry rules allow.
constexpr std::uint32_t kLargeSectors = 1008 * 68;
constexpr std::uint64_t kLargeBytes = std::uint64_t{kLargeSectors} * 512;
// Where the two-extent disks change files.
constexpr std::uint32_t kFirstExtentSectors = 40000;

// Grains and small blocks of 64 KiB, tables of 32 MiB.
const std::vector<Piece> kLargeWrites = {
    {1000, 3000, 1},                                   // the first grain of an empty table
    {70000, 70000, 2},                                 // three grains at once
    {32 * kMiB - 1500, 4000, 3},                       // across two tables: COWD creates the second
    {500, 2000, 4},                                    // over an allocated grain
    {32 * kMiB + 100, 333, 5},                         // an unaligned piece of it
    {kFirstExtentSectors * 512ull - 300, 600, 6},      // across extent files
    {200000, 1000, 0},                                 // zeros where nothing is stored
    {kLargeBytes - 777, 777, 7},                       // the disk's last bytes
};

constexpr VpcGeometry kVpcGeometry = {8, 16, 63};  // two 2 MiB blocks, the second cut short

const std::vector<Piece> kVpcWrites = {
    {1000, 3000, 1},                       // the first block
    {2 * kMiB - 1500, 4000, 2},            // across blocks: a second one
    {500, 2000, 3},                        // over an allocated block
    {2 * kMiB + 100, 333, 4},              // an unaligned piece of the second
    {1 * kMiB, 1000, 0},                   // zeros
    {kVpcGeometry.bytes() - 777, 777, 5},  // the disk's last bytes
};

// Parents hold data at the start, around 32 MiB and at the end; zeros between.
DiskRuns ParentRuns(std::uint64_t size)
{
    DiskRuns runs;
    const auto fill = [&](std::uint64_t from, std::uint64_t to) {
        runs[from] = PatternBytes(from, std::min(to, size) - from, 77);
    };
    fill(0, kMiB + 12345);
    if (size > 32 * kMiB)
        fill(32 * kMiB - 100000, 32 * kMiB + 100000);
    fill(size - 90000, size);
    return runs;
}

Bytes ParentContents(std::uint64_t size) { return RunsBytes(ParentRuns(size), 0, size); }

BuiltImage Image(const std::string& path, std::vector<std::string> files, std::vector<std::string> parents,
                 const Bytes& contents)
{
    BuiltImage built;
    built.path = path;
    built.files = std::move(files);
    built.parents = std::move(parents);
    built.files.insert(built.files.end(), built.parents.begin(), built.parents.end());
    built.contents.resize(contents.size());
    std::memcpy(built.contents.data(), contents.data(), contents.size());
    return built;
}

BuiltImage Cowd(const TempDir& dir, std::uint32_t version, bool redo)
{
    const CowdDisk plain = {.version = version, .totalSectors = kLargeSectors};
    if (!redo)
        return Image(dir.file("d.dsk"), WriteCowdDisk(dir.file("d.dsk"), plain, {}), {}, Bytes(kLargeBytes, 0));
    const DiskRuns parent = ParentRuns(kLargeBytes);
    auto parents = WriteCowdDisk(dir.file("p.dsk"), plain, parent);
    CowdDisk child = plain;
    child.parentName = "p.dsk";
    return Image(dir.file("r.dsk"), WriteCowdDisk(dir.file("r.dsk"), child, {}, parent), parents,
                 ParentContents(kLargeBytes));
}

BuiltImage Vmdk(const TempDir& dir, std::uint32_t code)
{
    const Bytes zeros(kLargeBytes, 0);
    const std::vector<std::uint32_t> extents = {kFirstExtentSectors, kLargeSectors - kFirstExtentSectors};
    if (code == DISK_VMWARE_MONOLITHIC) {
        WriteVmdkMonolithic(dir.file("m.vmdk"), zeros);
        return Image(dir.file("m.vmdk"), {dir.file("m.vmdk")}, {}, zeros);
    }
    if (code == DISK_VMWARE_TWOGB_SPARSE) {
        Vmdk4Descriptor descriptor;
        descriptor.createType = "twoGbMaxExtentSparse";
        auto files = WriteVmdkTwoGb(dir.file("s.vmdk"), zeros, extents, descriptor);
        files.insert(files.begin(), dir.file("s.vmdk"));
        return Image(dir.file("s.vmdk"), files, {}, zeros);
    }
    const Bytes parent = ParentContents(kLargeBytes);
    WriteVmdkMonolithic(dir.file("p.vmdk"), parent);
    auto files = WriteVmdkRedo(dir.file("r.vmdk"), "p.vmdk", parent, parent, extents);
    files.insert(files.begin(), dir.file("r.vmdk"));
    return Image(dir.file("r.vmdk"), files, {dir.file("p.vmdk")}, parent);
}

BuiltImage Vpc(const TempDir& dir, bool differencing)
{
    const Bytes zeros(kVpcGeometry.bytes(), 0);
    if (!differencing) {
        WriteVpcSparse(dir.file("d.vhd"), {.geometry = kVpcGeometry}, zeros);
        return Image(dir.file("d.vhd"), {dir.file("d.vhd")}, {}, zeros);
    }
    const Bytes parent = ParentContents(kVpcGeometry.bytes());
    WriteVpcSparse(dir.file("p.vhd"), {.geometry = kVpcGeometry}, parent);
    WriteVpcSparse(dir.file("c.vhd"),
                   {.geometry = kVpcGeometry,
                    .parent = dir.file("p.vhd"),
                    .present = std::vector<bool>(kVpcGeometry.sectors())},
                   zeros);
    return Image(dir.file("c.vhd"), {dir.file("c.vhd")}, {dir.file("p.vhd")}, parent);
}

struct SweepRow {
    const char* name;
    std::uint32_t code;
    std::function<BuiltImage(const TempDir&)> build;
    const std::vector<Piece>& writes;
};

void PrintTo(const SweepRow& row, std::ostream* os) { *os << row.name; }

const SweepRow kRows[] = {
    {"VirtualPCDynamic", DISK_VIRTUALPC, [](const TempDir& d) { return Vpc(d, false); }, kVpcWrites},
    {"VirtualPCDifferencing", DISK_VIRTUALPC_DIFFERENCE, [](const TempDir& d) { return Vpc(d, true); }, kVpcWrites},
    {"VMwareMonolithic", DISK_VMWARE_MONOLITHIC, [](const TempDir& d) { return Vmdk(d, DISK_VMWARE_MONOLITHIC); },
     kLargeWrites},
    {"VMwareTwoGbSparse", DISK_VMWARE_TWOGB_SPARSE,
     [](const TempDir& d) { return Vmdk(d, DISK_VMWARE_TWOGB_SPARSE); }, kLargeWrites},
    {"VMware4Redo", DISK_VMWARE4_REDO, [](const TempDir& d) { return Vmdk(d, DISK_VMWARE4_REDO); }, kLargeWrites},
    {"VMware3", DISK_VMWARE3, [](const TempDir& d) { return Cowd(d, 3, false); }, kLargeWrites},
    {"VMware3Redo", DISK_VMWARE3_REDO, [](const TempDir& d) { return Cowd(d, 3, true); }, kLargeWrites},
    {"VMware2", DISK_VMWARE2, [](const TempDir& d) { return Cowd(d, 1, false); }, kLargeWrites},
    {"VMware2Redo", DISK_VMWARE2_REDO, [](const TempDir& d) { return Cowd(d, 1, true); }, kLargeWrites},
};

// kStop: the process ends at a write, so that write and every later one never happen.
enum class Fault { kFail, kShort, kStop };
// A short write keeps this many bytes: a table entry is then half old, half new.
constexpr std::uint32_t kShortBytes = 2;

// What one run left: the writes acknowledged, and the one that failed (if any).
struct Outcome {
    std::size_t acknowledged = 0;
    bool failed = false;
};

// Byte ranges worth reading back: every write with 128 KiB around it, and the disk's start.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Windows(const std::vector<Piece>& writes, std::uint64_t size)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> w = {{0, std::min<std::uint64_t>(size, 256 * 1024)}};
    for (const Piece& p : writes)
        w.emplace_back(p.at > 131072 ? p.at - 131072 : 0, std::min(size, p.at + p.length + 131072));
    std::sort(w.begin(), w.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& r : w)
        if (!merged.empty() && r.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    return merged;
}

// Lays a write over the bytes of a window that starts at disk offset `from`.
void Overlay(const Piece& p, Bytes* window, std::uint64_t from)
{
    const std::uint64_t begin = std::max(p.at, from), end = std::min(p.at + p.length, from + window->size());
    if (begin >= end)
        return;
    const Bytes data = p.Data();
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(begin - p.at),
              data.begin() + static_cast<std::ptrdiff_t>(end - p.at),
              window->begin() + static_cast<std::ptrdiff_t>(begin - from));
}

class GrowthSweep : public ::testing::TestWithParam<SweepRow> {
protected:
    // Each row's image is built once for both sweeps.
    struct Built {
        TempDir dir;
        BuiltImage image;
        std::vector<Bytes> snapshot;
    };

    void SetUp() override
    {
        static std::map<std::string, std::unique_ptr<Built>> cache;
        std::unique_ptr<Built>& slot = cache[GetParam().name];
        if (!slot) {
            slot = std::make_unique<Built>();
            slot->image = GetParam().build(slot->dir);
            for (const std::string& f : slot->image.files)
                slot->snapshot.push_back(ReadFile(f));
        }
        built = slot.get();
    }

    [[nodiscard]] bool IsParent(const std::string& file) const
    {
        return std::find(built->image.parents.begin(), built->image.parents.end(), file) != built->image.parents.end();
    }

    void Restore() const
    {
        // Parents are checked unchanged after every run instead.
        for (std::size_t i = 0; i < built->image.files.size(); ++i)
            if (!IsParent(built->image.files[i]))
                WriteFile(built->image.files[i], built->snapshot[i]);
    }

    // Opens the image, runs the writes until one fails, closes it.
    // A write during which the n-th counted operation ran must report a failure.
    Outcome Run(std::uint32_t* opensFailed, std::uint32_t ops = 0, std::uint32_t n = 0)
    {
        Outcome out;
        Disk disk;
        Disk_Construct(&disk);
        if (const int rc = Disk_OpenType(&disk, built->image.path.c_str(), 0, GetParam().code); rc != 0) {
            EXPECT_LT(rc, 0);
            ++*opensFailed;
            return out;
        }
        for (const Piece& p : GetParam().writes) {
            const Bytes data = p.Data();
            const std::uint32_t before = faults::Count(ops);
            const int rc = Disk_Write64(&disk, p.at, p.length, data.data());
            if (before < n && n <= faults::Count(ops)) {
                EXPECT_NE(rc, 0) << "write " << out.acknowledged << " reported success over a failed operation";
            }
            if (rc != 0) {
                EXPECT_LT(rc, 0);
                out.failed = true;
                break;
            }
            ++out.acknowledged;
        }
        Disk_Close(&disk);
        return out;
    }

    // The image after a run: it opens, reads as the acknowledged writes left
    // it (the failed write's bytes old or new), the parents are as built, and
    // the failed write succeeds when made again.
    void Check(const Outcome& out, const std::string& where)
    {
        SCOPED_TRACE(where);
        const auto& writes = GetParam().writes;
        const Piece* failed = out.failed ? &writes[out.acknowledged] : nullptr;
        const Bytes failedData = failed != nullptr ? failed->Data() : Bytes{};

        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_OpenType(&disk, built->image.path.c_str(), 0, GetParam().code), 0) << "the image no longer opens";
        for (const auto& [from, to] : Windows(writes, built->image.contents.size())) {
            // The window as the acknowledged writes left it.
            Bytes model(to - from);
            std::memcpy(model.data(), built->image.contents.data() + from, model.size());
            for (std::size_t k = 0; k < out.acknowledged; ++k)
                Overlay(writes[k], &model, from);
            Bytes got(model.size());
            ASSERT_EQ(Disk_Read64(&disk, from, static_cast<std::uint32_t>(got.size()), got.data()), 0);
            if (got == model)
                continue;
            for (std::uint64_t i = 0; i < got.size(); ++i) {
                const std::uint64_t at = from + i;
                const bool asFailed = failed != nullptr && at >= failed->at && at < failed->at + failed->length &&
                                      got[i] == failedData[at - failed->at];
                if (got[i] != model[i] && !asFailed) {
                    ADD_FAILURE() << "disk byte " << at << " reads " << int{got[i]} << ", expected " << int{model[i]};
                    Disk_Close(&disk);
                    return;
                }
            }
        }
        if (failed != nullptr) {
            ASSERT_EQ(Disk_Write64(&disk, failed->at, failed->length, failedData.data()), 0) << "the image stopped growing";
            Bytes got(failed->length);
            ASSERT_EQ(Disk_Read64(&disk, failed->at, failed->length, got.data()), 0);
            const auto differ = std::mismatch(got.begin(), got.end(), failedData.begin());
            EXPECT_TRUE(differ.first == got.end())
                << "write " << out.acknowledged << " made again reads back wrong from disk byte "
                << failed->at + static_cast<std::uint64_t>(differ.first - got.begin());
        }
        Disk_Close(&disk);
        for (std::size_t i = 0; i < built->image.files.size(); ++i) {
            if (IsParent(built->image.files[i])) {
                EXPECT_TRUE(ReadFile(built->image.files[i]) == built->snapshot[i]) << built->image.files[i] << " changed";
            }
        }
    }

    // Runs the sequence once with each operation in turn failing; returns how many were swept.
    std::uint32_t Sweep(Fault fault)
    {
        const std::uint32_t ops = fault == Fault::kFail ? faults::kFileOps : faults::kWrite;
        Restore();
        faults::Reset();
        std::uint32_t opensFailed = 0;
        const Outcome clean = Run(&opensFailed);
        const std::uint32_t total = faults::Count(ops);
        faults::Reset();
        EXPECT_FALSE(clean.failed);
        EXPECT_EQ(clean.acknowledged, GetParam().writes.size());
        for (std::uint32_t n = 1; n <= total; ++n) {
            Restore();
            faults::Reset();
            if (fault == Fault::kFail)
                faults::FailNth(n, ops);
            else if (fault == Fault::kShort)
                faults::ShortWriteNth(n, kShortBytes);
            else
                faults::FailFrom(n, ops);
            const Outcome out = Run(&opensFailed, ops, n);
            faults::Reset();
            const char* kind = fault == Fault::kFail ? "failing" : fault == Fault::kShort ? "short" : "stopping at";
            const std::string where =
                std::string(kind) + " operation " + std::to_string(n) + " of " + std::to_string(total);
            Check(out, where);
            if (HasFailure())
                return n;
        }
        EXPECT_LT(opensFailed, total) << "the writes were swept too";
        return total;
    }

    const Built* built = nullptr;
};

TEST_P(GrowthSweep, EveryFailingFileOperation)
{
    const std::uint32_t swept = Sweep(Fault::kFail);
    EXPECT_GT(swept, 10u);
    std::printf("%s: %u file operations swept\n", GetParam().name, swept);
}

TEST_P(GrowthSweep, EveryShortWrite)
{
    const std::uint32_t swept = Sweep(Fault::kShort);
    EXPECT_GT(swept, 3u);
    std::printf("%s: %u writes swept\n", GetParam().name, swept);
}

TEST_P(GrowthSweep, EveryStopOfTheProcess)
{
    const std::uint32_t swept = Sweep(Fault::kStop);
    EXPECT_GT(swept, 3u);
    std::printf("%s: %u stops swept\n", GetParam().name, swept);
}

// Random writes of random sizes (a byte to a few units, at any alignment,
// zeros among them) against a byte model of the disk, with now and then a
// random file operation failing: after each failure the image reopens and
// reads as the model (the failed write's bytes old or new), and the write
// made again lands.
TEST_P(GrowthSweep, RandomWritesKeepTheByteModel)
{
    Restore();
    const std::uint64_t size = built->image.contents.size();
    Bytes model(size);
    std::memcpy(model.data(), built->image.contents.data(), size);
    std::mt19937_64 rng(GetParam().code);
    const std::uint64_t units[] = {1, 512, 4096, 65536, 2 * kMiB};
    Disk disk;
    Disk_Construct(&disk);
    const auto open = [&] { ASSERT_EQ(Disk_OpenType(&disk, built->image.path.c_str(), 0, GetParam().code), 0); };
    const auto expect = [&](const Piece* failed) {
        Bytes got(size);
        ASSERT_EQ(Disk_Read64(&disk, 0, static_cast<std::uint32_t>(size), got.data()), 0);
        const Bytes data = failed != nullptr ? failed->Data() : Bytes{};
        for (std::uint64_t i = 0; i < size; ++i) {
            const bool asFailed = failed != nullptr && i >= failed->at && i < failed->at + failed->length &&
                                  got[i] == data[i - failed->at];
            ASSERT_TRUE(got[i] == model[i] || asFailed) << "disk byte " << i;
        }
    };
    open();
    std::uint32_t failures = 0;
    for (int k = 0; k < 80 && !HasFailure(); ++k) {
        const std::uint64_t unit = units[rng() % std::size(units)];
        const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 1 + rng() % (3 * unit)));
        const Piece p{rng() % (size - length + 1), length, static_cast<std::uint32_t>(rng() % 4 == 0 ? 0 : 1 + k)};
        const Bytes data = p.Data();
        faults::Reset();
        if (rng() % 2 == 0)
            faults::FailNth(1 + static_cast<std::uint32_t>(rng() % 8), faults::kFileOps);
        const int rc = Disk_Write64(&disk, p.at, p.length, data.data());
        faults::Reset();
        if (rc != 0) {
            ++failures;
            Disk_Close(&disk);
            open();
            expect(&p);
            ASSERT_EQ(Disk_Write64(&disk, p.at, p.length, data.data()), 0) << "the image stopped growing";
        }
        std::copy(data.begin(), data.end(), model.begin() + static_cast<std::ptrdiff_t>(p.at));
    }
    Disk_Close(&disk);
    open();
    expect(nullptr);
    Disk_Close(&disk);
    EXPECT_GT(failures, 5u);
    for (std::size_t i = 0; i < built->image.files.size(); ++i) {
        if (IsParent(built->image.files[i])) {
            EXPECT_TRUE(ReadFile(built->image.files[i]) == built->snapshot[i]) << built->image.files[i] << " changed";
        }
    }
    Restore();
}

INSTANTIATE_TEST_SUITE_P(Formats, GrowthSweep, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<SweepRow>& row) { return std::string(row.param.name); });

}  // namespace
