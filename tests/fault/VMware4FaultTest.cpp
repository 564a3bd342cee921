// SPDX-License-Identifier: MIT
// VMware 4 disks on a platform layer that fails on request: every failing
// step of an open leaves nothing behind, a failed grain allocation keeps no
// entry, and allocated grains that follow each other are read in one transfer.
#include "Disk.h"
#include "NkFaults.h"
#include "VMware4Image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace qim;
using namespace qimtest;

namespace {

// A redo log of two extents over a monolithic parent; grain 1 of the parent holds data, grain 0 is zero.
struct Images {
    TempDir dir;
    std::string mono = dir.file("m.vmdk"), redo = dir.file("r.vmdk");
    Bytes contents = PatternBytes(0, 6 * kVmdkGrainBytes, 4);
    std::vector<std::string> files{mono, redo};
    Images()
    {
        std::fill_n(contents.begin(), kVmdkGrainBytes, 0);
        WriteVmdkMonolithic(mono, contents);
        for (const std::string& f : WriteVmdkRedo(redo, "m.vmdk", contents, contents, {256, 512}))
            files.push_back(f);
    }
};

TEST(VMware4Faults, EveryFailingStepOfOpenLeavesNothing)
{
    Images images;
    const auto snap = [&images] {
        std::vector<Bytes> s;
        for (const std::string& f : images.files)
            s.push_back(ReadFile(f));
        return s;
    };
    const auto before = snap();
    for (const auto& [path, code] :
         {std::pair{images.mono, DISK_VMWARE_MONOLITHIC}, std::pair{images.redo, DISK_VMWARE4_REDO}}) {
        // Closing is not checked: a failed close still closes.
        const std::uint32_t ops = faults::kAll & ~faults::kClose;
        Disk disk;
        Disk_Construct(&disk);
        faults::Reset();
        ASSERT_EQ(Disk_OpenType(&disk, path.c_str(), 0, code), 0);
        const std::uint32_t steps = faults::Count(ops);
        Disk_Close(&disk);
        EXPECT_GT(steps, 10u);
        std::uint32_t failed = 0;
        for (std::uint32_t n = 1; n <= steps; ++n) {
            const std::size_t files = OpenFileCount();
            faults::Reset();
            faults::FailNth(n, ops);
            // A step of the parent's open may fail one attempt of Disk_Open that a later one makes good.
            if (Disk_OpenType(&disk, path.c_str(), 0, code) == 0)
                Disk_Close(&disk);
            else
                ++failed;
            faults::Reset();
            EXPECT_EQ(disk.pImpl, nullptr) << path << " step " << n;
            EXPECT_EQ(OpenFileCount(), files) << path << " step " << n;
        }
        EXPECT_GT(failed, 10u) << path;
    }
    EXPECT_EQ(snap(), before);
}

// Whichever step of a grain allocation fails, the write reports it, the grain
// still reads as before, a later write allocates it, and the disk reopens.
TEST(VMware4Faults, FailedAllocationKeepsNoEntry)
{
    for (const bool redo : {false, true}) {
        for (std::uint32_t n = 1;; ++n) {
            Images images;
            Disk disk;
            Disk_Construct(&disk);
            ASSERT_EQ(Disk_Open(&disk, (redo ? images.redo : images.mono).c_str(), 0), 0);
            // Unallocated: zeros in the monolithic disk, the parent's data under the redo log.
            const std::uint64_t at = redo ? 2 * kVmdkGrainBytes + 300 : 300;
            const Bytes data(5000, 0x3C);
            Bytes got(data.size());
            faults::Reset();
            faults::FailNth(n, faults::kAll);
            const int rc = Disk_Write64(&disk, at, static_cast<std::uint32_t>(data.size()), data.data());
            faults::Reset();
            if (rc == 0) {
                Disk_Close(&disk);
                EXPECT_GT(n, 4u);
                break;
            }
            ASSERT_EQ(Disk_Read64(&disk, at, static_cast<std::uint32_t>(got.size()), got.data()), 0);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), images.contents.begin() + static_cast<long>(at)))
                << "redo " << redo << " step " << n;
            ASSERT_EQ(Disk_Write64(&disk, at, static_cast<std::uint32_t>(data.size()), data.data()), 0);
            Disk_Close(&disk);
            ASSERT_EQ(Disk_Open(&disk, (redo ? images.redo : images.mono).c_str(), 1), 0) << "step " << n;
            ASSERT_EQ(Disk_Read64(&disk, at, static_cast<std::uint32_t>(got.size()), got.data()), 0);
            EXPECT_TRUE(got == data) << "redo " << redo << " step " << n;
            Disk_Close(&disk);
        }
    }
}

// An append that stopped part-way is cut off again, so the extent still ends
// at its highest grain, and the next grain starts where it did.
TEST(VMware4Faults, PartialAppendIsCutOff)
{
    Images images;
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, images.mono.c_str(), 0), 0);
    // The first write after opening also gives the descriptor a new CID: one
    // to an allocated grain goes first, so that the fault lands on the append.
    const Bytes data(512, 0x11);
    ASSERT_EQ(Disk_Write64(&disk, kVmdkGrainBytes, 512, data.data()), 0);
    const std::uint64_t size = FileSize(images.mono);
    faults::Reset();
    faults::ShortWriteNth(1, 1000);
    EXPECT_EQ(Disk_Write64(&disk, 100, 512, data.data()), ERR_EXTEND_FILE);
    faults::Reset();
    EXPECT_EQ(FileSize(images.mono), size);
    ASSERT_EQ(Disk_Write64(&disk, 100, 512, data.data()), 0);
    Disk_Close(&disk);
    EXPECT_EQ(FileSize(images.mono), size + kVmdkGrainBytes);
    ASSERT_EQ(Disk_Open(&disk, images.mono.c_str(), 1), 0);
    Bytes got(512);
    ASSERT_EQ(Disk_Read64(&disk, 100, 512, got.data()), 0);
    EXPECT_TRUE(got == data);
    Disk_Close(&disk);
}

TEST(VMware4Faults, ContiguousGrainsAreOneTransfer)
{
    TempDir dir;
    const Bytes contents = PatternBytes(0, 8 * kVmdkGrainBytes, 6);
    for (const bool reverse : {false, true}) {
        WriteVmdkMonolithic(dir.file("m.vmdk"), contents, {}, reverse);
        WriteVmdkRedo(dir.file("r.vmdk"), "m.vmdk", contents, contents, {1024});
        for (const char* name : {"m.vmdk", "r.vmdk"}) {
            Disk disk;
            Disk_Construct(&disk);
            ASSERT_EQ(Disk_Open(&disk, dir.file(name).c_str(), 1), 0);
            Bytes got(4 * kVmdkGrainBytes + 1000);
            faults::Reset();
            ASSERT_EQ(Disk_Read64(&disk, 3000, static_cast<std::uint32_t>(got.size()), got.data()), 0);
            EXPECT_EQ(faults::Count(faults::kRead), reverse ? 5u : 1u) << name;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), contents.begin() + 3000)) << name;
            Disk_Close(&disk);
        }
    }
}

}  // namespace
