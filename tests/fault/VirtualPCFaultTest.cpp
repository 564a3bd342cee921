// SPDX-License-Identifier: MIT
// Virtual PC images when the platform fails: every failed step of an open
// leaves nothing open, and a first write that fails at any step keeps the
// table in memory equal to the table on file, so a later write never claims
// storage the file does not reference.
#include "Disk.h"
#include "NkFaults.h"
#include "VirtualPCHardDisk.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qim;
using namespace qimtest;

namespace {

constexpr VpcGeometry kOneBlock = {4, 16, 63};

std::size_t OpenFiles()
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct ChildImage {
    TempDir dir;
    std::string parent = dir.file("parent.vhd"), child = dir.file("child.vhd");
    Bytes parentDisk = PatternBytes(0, kOneBlock.bytes(), 31);
    Bytes childFile;
    ChildImage()
    {
        WriteVpcSparse(parent, {.geometry = kOneBlock}, parentDisk);
        WriteVpcSparse(child,
                       {.geometry = kOneBlock, .parent = parent, .present = std::vector<bool>(kOneBlock.sectors())},
                       Bytes(kOneBlock.bytes(), 0));
        childFile = ReadFile(child);
    }
};

TEST(VirtualPCFaults, EveryFailedOpenStepLeavesNothingOpen)
{
    ChildImage image;
    faults::Reset();
    Disk d;
    Disk_Construct(&d);
    ASSERT_EQ(Disk_OpenType(&d, image.child.c_str(), 0, DISK_VIRTUALPC_DIFFERENCE), 0);
    Disk_Close(&d);
    const std::uint32_t steps = faults::Count(faults::kAll & ~faults::kClose);
    const std::size_t files = OpenFiles();
    std::uint32_t failures = 0;
    for (std::uint32_t n = 1; n <= steps; ++n) {
        faults::Reset();
        faults::FailNth(n, faults::kAll & ~faults::kClose);
        const int rc = Disk_OpenType(&d, image.child.c_str(), 0, DISK_VIRTUALPC_DIFFERENCE);
        faults::Reset();
        // A step inside the parent's open may only fail one of the drivers
        // Disk_Open offers the parent to; a later one then opens it.
        EXPECT_EQ(d.pImpl != nullptr, rc == 0) << "step " << n;
        failures += rc != 0 ? 1 : 0;
        if (rc == 0)
            Disk_Close(&d);
        EXPECT_EQ(OpenFiles(), files) << "step " << n;
    }
    EXPECT_GE(failures, 12u) << "the child's own steps fail its open";
    EXPECT_TRUE(ReadFile(image.child) == image.childFile);
}

// A partial-sector write into a child's unallocated block: the parent read,
// the allocation, the copy-on-write and the bitmap, each made to fail in turn.
TEST(VirtualPCFaults, AFailedFirstWriteKeepsTableInMemoryAndOnFileAlike)
{
    ChildImage image;
    const Bytes data = PatternBytes(0, 700, 32);
    const std::uint64_t at = 3 * 512 + 100;
    Bytes model = image.parentDisk;
    std::copy(data.begin(), data.end(), model.begin() + at);

    constexpr std::uint32_t kSteps = faults::kFileOps | faults::kAlloc;
    for (std::uint32_t n = 1;; ++n) {
        WriteFile(image.child, image.childFile);
        Disk d;
        Disk_Construct(&d);
        ASSERT_EQ(Disk_Open(&d, image.child.c_str(), 0), 0);
        faults::Reset();
        faults::FailNth(n, kSteps);
        const int rc = Disk_Write64(&d, at, static_cast<std::uint32_t>(data.size()), data.data());
        const bool failed = faults::Count(kSteps) >= n;
        faults::Reset();
        if (!failed) {
            EXPECT_EQ(rc, 0);
            Disk_Close(&d);
            EXPECT_GT(n, 36u) << "bitmap, 32 zero chunks, footer, table entry and more were counted";
            break;
        }
        EXPECT_NE(rc, 0) << "step " << n;
        const auto* state = static_cast<VirtualPCHardDiskState*>(d.pImpl);
        EXPECT_EQ(state->pdwBlockTable[0], VpcTableEntry(image.child, 0)) << "step " << n;
        // The retry succeeds and everything reads as written, also after reopening.
        ASSERT_EQ(Disk_Write64(&d, at, static_cast<std::uint32_t>(data.size()), data.data()), 0) << "step " << n;
        Disk_Close(&d);
        ASSERT_EQ(Disk_Open(&d, image.child.c_str(), 1), 0);
        Bytes got(model.size());
        ASSERT_EQ(Disk_Read64(&d, 0, static_cast<std::uint32_t>(got.size()), got.data()), 0);
        EXPECT_TRUE(got == model) << "step " << n;
        Disk_Close(&d);
    }
}

}  // namespace
