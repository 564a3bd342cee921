// SPDX-License-Identifier: MIT
// Raw images through the Disk object, in both builds.
#include "BetaDisk.h"
#include "Disk.h"
#include "RawImage.h"

#include <gtest/gtest.h>

using namespace qim;
using namespace qimtest;

namespace {

constexpr DiskInfo kFloppy = {1280, 2, 8, 512};

class OpenDisk {
public:
    OpenDisk() { Disk_Construct(&disk); }
    ~OpenDisk()
    {
        if (disk.pImpl != nullptr)
            Disk_Close(&disk);
    }
    Disk disk{};
};

TEST(BetaDisk, FileMustHoldOffsetPlusDisk)
{
    TempDir dir;
    const std::string exact = dir.file("exact.img");
    const std::string shorter = dir.file("short.img");
    WriteFile(exact, Bytes(655360, 1));
    WriteFile(shorter, Bytes(655359, 1));

    OpenDisk a;
    ASSERT_EQ(Disk_OpenBeta(&a.disk, exact.c_str(), 1, 0, &kFloppy), 0);
    EXPECT_EQ(a.disk.dwType, DISK_BETA);
    DiskInfo info{};
    Disk_GetDiskInfo(&a.disk, &info);
    EXPECT_EQ(info.dwTotalSectors, 1280u);
    EXPECT_EQ(info.dwHeads, 2u);
    EXPECT_EQ(info.dwSectorsPerTrack, 8u);
    EXPECT_EQ(info.dwBytesPerSector, 512u);

    OpenDisk b;
    b.disk.dwType = 77;
    EXPECT_EQ(Disk_OpenBeta(&b.disk, shorter.c_str(), 1, 0, &kFloppy), ERR_INVALID_IMAGE);
    EXPECT_EQ(b.disk.dwType, 77u);
    EXPECT_EQ(b.disk.pImpl, nullptr);
    // With a data offset the same file falls short by the offset.
    OpenDisk c;
    EXPECT_EQ(Disk_OpenBeta(&c.disk, exact.c_str(), 1, 1, &kFloppy), ERR_INVALID_IMAGE);
    EXPECT_EQ(Disk_OpenBeta(&c.disk, dir.file("none").c_str(), 1, 0, &kFloppy), ERR_CREATE_FILE);
}

TEST(BetaDisk, ReadsAtDataOffsetAndRefusesPastEnd)
{
    TempDir dir;
    const std::string path = dir.file("hd.img");
    RawImageLayout layout;
    layout.geometry = {64, 2, 16, 512};
    layout.dataOffset = 4096;
    layout.tail = 1024;  // bytes past the disk exist in the file but are not the disk's
    const Bytes disk = WriteRawImage(path, layout);

    OpenDisk d;
    const DiskInfo info = {64, 2, 16, 512};
    ASSERT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 1, 4096, &info), 0);

    Bytes buf(512);
    ASSERT_EQ(Disk_Read(&d.disk, 0, 0, 512, buf.data()), 0);
    EXPECT_EQ(buf, ReadFileRange(path, 4096, 512));
    EXPECT_EQ(buf, Bytes(disk.begin(), disk.begin() + 512));

    // Unaligned range, ending exactly at the disk's end.
    const std::uint32_t size = 64 * 512;
    Bytes tail(701);
    ASSERT_EQ(Disk_Read(&d.disk, size - 701, 0, 701, tail.data()), 0);
    EXPECT_EQ(tail, Bytes(disk.end() - 701, disk.end()));

    // One byte further is refused before any transfer: the buffer keeps its contents
    // although the file holds bytes there.
    Bytes untouched(702, 0x5A);
    EXPECT_EQ(Disk_Read(&d.disk, size - 701, 0, 702, untouched.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(untouched, Bytes(702, 0x5A));
    EXPECT_EQ(Disk_Read(&d.disk, size, 0, 1, untouched.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Disk_Read(&d.disk, 0, 1, 1, untouched.data()), ERR_INVALID_PARAMETER);
    // A range whose end wraps around 2^64 is past the end too.
    EXPECT_EQ(Disk_Read(&d.disk, 0xFFFFFFFFu, 0xFFFFFFFFu, 2, untouched.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(untouched, Bytes(702, 0x5A));
    EXPECT_EQ(Disk_Read(&d.disk, size, 0, 0, untouched.data()), 0) << "an empty range at the end is served";
}

TEST(BetaDisk, WritesLandAtOffsetAndNeverPastTheDisk)
{
    TempDir dir;
    const std::string path = dir.file("hd.img");
    RawImageLayout layout;
    layout.geometry = {32, 1, 32, 512};
    layout.dataOffset = 512;
    layout.tail = 512;
    WriteRawImage(path, layout);
    const Bytes before = ReadFile(path);

    OpenDisk d;
    const DiskInfo info = {32, 1, 32, 512};
    ASSERT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 0, 512, &info), 0);
    const Bytes data = PatternBytes(0, 1000, 42);
    ASSERT_EQ(Disk_Write(&d.disk, 300, 0, 1000, data.data()), 0);
    EXPECT_EQ(Disk_Write(&d.disk, 32 * 512 - 10, 0, 11, data.data()), ERR_INVALID_PARAMETER);
    Disk_Close(&d.disk);

    Bytes expected = before;
    std::copy(data.begin(), data.end(), expected.begin() + 512 + 300);
    EXPECT_EQ(ReadFile(path), expected);
}

TEST(BetaDisk, ReadOnlyImageRefusesWritesAndStaysUnchanged)
{
    TempDir dir;
    const std::string path = dir.file("ro.img");
    RawImageLayout layout;
    layout.geometry = {16, 1, 16, 512};
    WriteRawImage(path, layout);
    const Bytes before = ReadFile(path);

    OpenDisk d;
    const DiskInfo info = {16, 1, 16, 512};
    ASSERT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 1, 0, &info), 0);
    const Bytes zeros(512, 0);
    EXPECT_EQ(Disk_Write(&d.disk, 0, 0, 512, zeros.data()), ERR_WRITE_FILE);
    Bytes buf(512);
    EXPECT_EQ(Disk_Read(&d.disk, 0, 0, 512, buf.data()), 0) << "the image stays usable";
    Disk_Close(&d.disk);
    EXPECT_EQ(ReadFile(path), before);
}

TEST(BetaDisk, ZeroSectorGeometry)
{
    TempDir dir;
    const std::string path = dir.file("z.img");
    WriteFile(path, Bytes(100, 3));
    OpenDisk d;
    const DiskInfo info = {0, 0, 0, 512};
    EXPECT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 1, 101, &info), ERR_INVALID_IMAGE);
    ASSERT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 1, 100, &info), 0);
    Bytes buf(1, 0x11);
    EXPECT_EQ(Disk_Read(&d.disk, 0, 0, 1, buf.data()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Disk_Read(&d.disk, 0, 0, 0, buf.data()), 0);
}

TEST(BetaDisk, DiskLargerThan4GiB)
{
    TempDir dir;
    const std::string path = dir.file("big.img");
    const std::uint32_t offset = 1024;
    const DiskInfo info = {static_cast<std::uint32_t>((std::uint64_t{5} << 30) / 512), 16, 63, 512};  // 5 GiB
    MakeSparseFile(path, offset + (std::uint64_t{5} << 30));
    const std::uint64_t far = (std::uint64_t{1} << 32) + 512;
    const Bytes mark = PatternBytes(far, 4096, 7);
    WriteFileAt(path, offset + far, mark);
    // The same bytes below 4 GiB would be found by an offset truncated to 32 bits.
    WriteFileAt(path, offset + 512, Bytes(4096, 0x99));

    OpenDisk d;
    ASSERT_EQ(Disk_OpenBeta(&d.disk, path.c_str(), 0, offset, &info), 0);
    Bytes buf(4096);
    ASSERT_EQ(Disk_Read(&d.disk, 512, 1, 4096, buf.data()), 0);
    EXPECT_EQ(buf, mark);

    const Bytes data = PatternBytes(0, 512, 8);
    const std::uint64_t end = std::uint64_t{5} << 30;
    ASSERT_EQ(Disk_Write64(&d.disk, end - 512, 512, data.data()), 0);
    EXPECT_EQ(ReadFileRange(path, offset + end - 512, 512), data);
    EXPECT_EQ(Disk_Read64(&d.disk, end - 511, 512, buf.data()), ERR_INVALID_PARAMETER);
}

// A headed format hands its open file to the building block and takes it back.
TEST(BetaDisk, AttachAndDetach)
{
    TempDir dir;
    const std::string path = dir.file("headed.img");
    RawImageLayout layout;
    layout.geometry = {8, 1, 8, 256};
    layout.dataOffset = 256;
    const Bytes disk = WriteRawImage(path, layout);

    NkHandle h = nullptr;
    ASSERT_EQ(NkCreateFile(path.c_str(), 1, &h), 1);
    BetaDiskState state;
    BetaDisk_Construct(&state);
    EXPECT_EQ(state.hFile, nullptr);
    const DiskInfo info = {8, 1, 8, 256};
    BetaDisk_Attach(&state, h, 256, &info);
    Bytes buf(256);
    ASSERT_EQ(BetaDisk_Read(&state, 256, 256, buf.data()), 0);
    EXPECT_EQ(buf, Bytes(disk.begin() + 256, disk.begin() + 512));
    EXPECT_EQ(BetaDisk_Detach(&state), h);
    EXPECT_EQ(state.hFile, h) << "detach leaves the state as it was";
    NkCloseFile(h);
}

}  // namespace
