// SPDX-License-Identifier: MIT
// qemu-img and qemu-io as a second reader and writer of dynamic images: what
// qemu made and wrote reads here as qemu reads it, and what was written here
// reads in qemu as intended. (qemu reads a differencing image without its
// parent, so it judges only dynamic images.)
#include "Disk.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace qim;
using namespace qimtest;

namespace {

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

bool HaveQemu() { return Shell("qemu-img --version") == 0 && Shell("qemu-io --version") == 0; }

// The disk through Disk_Read, in 2 MiB pieces, against the same bytes of a raw file.
void ExpectDiskEquals(Disk* disk, const std::string& raw)
{
    DiskInfo info{};
    Disk_GetDiskInfo(disk, &info);
    const std::uint64_t size = std::uint64_t{info.dwTotalSectors} * 512;
    ASSERT_EQ(FileSize(raw), size);
    Bytes got(kVpcBlockBytes);
    for (std::uint64_t at = 0; at < size; at += got.size()) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(got.size(), size - at));
        ASSERT_EQ(Disk_Read64(disk, at, n, got.data()), 0) << at;
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, ReadFileRange(raw, at, n).begin())) << "at " << at;
    }
}

// Writes through the Disk and into the raw file alike: into an allocated
// block, an unallocated one, across a block boundary, and parts of sectors.
void WriteBoth(Disk* disk, const std::string& raw, std::uint32_t seed)
{
    for (const auto& [at, n] : {std::pair<std::uint64_t, std::uint32_t>{3 * 1048576 + 100, 5000},
                                {40 * 1048576 + 7, 3},
                                {4 * 1048576 - 1000, 70000},
                                {7 * 1048576, 512}}) {
        const Bytes data = PatternBytes(at, n, seed);
        ASSERT_EQ(Disk_Write64(disk, at, n, data.data()), 0);
        WriteFileAt(raw, at, data);
    }
}

TEST(VirtualPCPeer, QemuImagesReadAsQemuReadsThemAndAcceptOurWrites)
{
    if (!HaveQemu())
        GTEST_SKIP() << "qemu-img or qemu-io is not installed";
    TempDir dir;
    const std::string image = dir.file("qemu.vhd"), raw = dir.file("expected.raw");
    // 504 MiB is exactly 1024/16/63: the geometry this format's size rule asks for.
    ASSERT_EQ(Shell("qemu-img create -f vpc " + image + " 504M"), 0);
    VpcSetCreator(image, "vpc ");
    ASSERT_EQ(Shell("qemu-io -f vpc -c 'write -P 0xab 0 64k' -c 'write -P 0x5e 4190208 8192' -c 'write -P 0x11 "
                  "100M 512' " + image),
              0);
    ASSERT_EQ(Shell("qemu-img convert -f vpc -O raw " + image + " " + raw), 0);

    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, image.c_str(), 0), 0);
    EXPECT_EQ(disk.dwType, DISK_VIRTUALPC);
    ExpectDiskEquals(&disk, raw);
    WriteBoth(&disk, raw, 1);
    Disk_Close(&disk);
    EXPECT_EQ(Shell("qemu-img compare -f vpc -F raw " + image + " " + raw), 0);
}

TEST(VirtualPCPeer, OurImagesReadInQemuAsBuiltAndAsWritten)
{
    if (!HaveQemu())
        GTEST_SKIP() << "qemu-img or qemu-io is not installed";
    TempDir dir;
    const std::string image = dir.file("ours.vhd"), raw = dir.file("expected.raw"), out = dir.file("qemu.raw");
    const VpcGeometry geometry = {256, 16, 63};  // 126 MiB
    Bytes disk = PatternBytes(0, geometry.bytes(), 2);
    std::fill(disk.begin() + 8 * 1048576, disk.end(), 0);  // blocks 4 on unallocated
    WriteVpcSparse(image, {.geometry = geometry}, disk);
    WriteFile(raw, disk);
    ASSERT_EQ(Shell("qemu-img convert -f vpc -O raw " + image + " " + out), 0);
    EXPECT_TRUE(ReadFile(out) == disk);

    Disk d;
    Disk_Construct(&d);
    ASSERT_EQ(Disk_Open(&d, image.c_str(), 0), 0);
    for (const std::uint32_t seed : {3u, 4u})
        WriteBoth(&d, raw, seed);
    Disk_Close(&d);
    ASSERT_EQ(Shell("qemu-img convert -f vpc -O raw " + image + " " + out), 0);
    EXPECT_TRUE(ReadFile(out) == ReadFile(raw));
}

}  // namespace
