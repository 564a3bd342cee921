// SPDX-License-Identifier: MIT
// Where a mount puts the device: a PC/AT or PC-98 partition of a hard-disk
// image, with its offset, length, geometry and published sizes.
#include "DriverFixture.h"
#include "PartitionTable.h"

#include <cerrno>
#include <cstring>

namespace qimtest {
namespace {

constexpr RawGeometry kAtDisk{16 * 63 * 20, 16, 63, 512};
constexpr RawGeometry kPc98Disk{8 * 17 * 110, 8, 17, 512};

class Mapping : public DriverTest {
protected:
    // A pattern disk with the layout's tables in it; returns the disk.
    Bytes AtImage(const PcAtLayout& layout)
    {
        Bytes disk = PatternBytes(0, kAtDisk.bytes(), 3);
        WritePcAtLayout(disk, layout);
        WriteRawImageFrom(path, kAtDisk, disk);
        return disk;
    }
    Bytes Pc98Image(std::uint16_t startCylinder, std::uint16_t endCylinder)
    {
        Bytes disk = PatternBytes(0, kPc98Disk.bytes(), 4);
        Pc98Table table;
        table.slots[0] = MakePc98Slot(startCylinder, endCylinder, "MS-DOS");
        table.at254 = std::array<std::uint8_t, 2>{0, 0};
        table.at510 = std::array<std::uint8_t, 2>{0x55, 0xAA};
        WritePc98Table(disk, table);
        WriteRawImageFrom(path, kPc98Disk, disk);
        return disk;
    }
    static Bytes At(const Bytes& disk, std::uint64_t offset, std::size_t length)
    {
        return Bytes(disk.begin() + static_cast<long>(offset), disk.begin() + static_cast<long>(offset + length));
    }
    int Table(int** table) const { return table[qim::qim_major][0]; }

    std::string path = dir.file("hd.img");
};

PcAtLayout TwoPrimaries()
{
    PcAtLayout layout;
    layout.primary = {{0x06, 63, 8001}, {0x83, 8064, 10080}};
    return layout;
}

TEST_F(Mapping, FirstPcAtPartitionStartsAtItsSector)
{
    const Bytes disk = AtImage(TwoPrimaries());
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 0), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 32256u);
    EXPECT_EQ(QuerySize().sectors, 8001u);
    // Sectors 0 to 7 of the device are 4096 bytes at image position 32256.
    EXPECT_EQ(ReadSectors(0, 8), At(disk, 32256, 4096));
    EXPECT_EQ(ReadSectors(8000, 1), At(disk, (63 + 8000) * 512, 512));
    EXPECT_TRUE(ReadSectors(8001, 1).empty());
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: request past end of device\n"});
}

TEST_F(Mapping, SecondPcAtPartitionPublishesItsOwnSize)
{
    const Bytes disk = AtImage(TwoPrimaries());
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 1), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 8064u * 512);
    EXPECT_EQ(QuerySize().sectors, 10080u);
    const Geometry g = QueryGeometry();
    EXPECT_EQ(g.heads, 16);
    EXPECT_EQ(g.sectors, 63);
    EXPECT_EQ(g.cylinders, 10);
    // The partition's size, not the whole image's 10080 KiB.
    EXPECT_EQ(Table(qim::blk_size), 5040);
    EXPECT_EQ(Table(qim::hardsect_size), 512);

    const Bytes data = PatternBytes(0, 1024, 77);
    EXPECT_EQ(WriteSectors(10078, data), 1);
    EXPECT_EQ(ReadFileRange(path, (8064 + 10078) * 512, 1024), data);
    EXPECT_EQ(ReadFileRange(path, 8064 * 512 - 512, 512), At(disk, 8064 * 512 - 512, 512));
}

TEST_F(Mapping, LogicalPartitionFollowsThePrimaries)
{
    PcAtLayout layout;
    layout.primary = {{0x06, 63, 4000}};
    layout.logical = {{0x83, 4200, 3000}, {0x0B, 7300, 5000}};
    AtImage(layout);
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 2), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 7300u * 512);
    EXPECT_EQ(QuerySize().sectors, 5000u);
    EXPECT_EQ(QueryGeometry().cylinders, 5000 / (16 * 63));
}

// A raw disk of 1,024-byte sectors finds its logical tables, and maps its
// partitions, in sectors of that size.
TEST_F(Mapping, KilobyteSectorsLogicalPartitionMapsItsOwnBytes)
{
    constexpr RawGeometry kKiloDisk{8 * 32 * 40, 8, 32, 1024};
    PcAtLayout layout;
    layout.bytesPerSector = 1024;
    layout.primary = {{0x06, 32, 2000}};
    layout.logical = {{0x83, 3000, 2000}, {0x0B, 6000, 3000}};
    Bytes disk = PatternBytes(0, kKiloDisk.bytes(), 5);
    WritePcAtLayout(disk, layout);
    WriteRawImageFrom(path, kKiloDisk, disk);

    ASSERT_EQ(Mount(RawPartitionWords(kKiloDisk, 0, 2), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 6000u * 1024);
    EXPECT_EQ(QuerySize().sectors, 6000u);
    EXPECT_EQ(QueryGeometry().cylinders, 3000 / (8 * 32));
    EXPECT_EQ(ReadSectors(0, 4), At(disk, 6000 * 1024, 2048));
    EXPECT_EQ(ReadSectors(5999, 1), At(disk, 9000 * 1024 - 512, 512));
    EXPECT_TRUE(ReadSectors(6000, 1).empty());

    ASSERT_EQ(Mount(RawPartitionWords(kKiloDisk, 0, 1), path), 0);
    EXPECT_EQ(ReadSectors(0, 2), At(disk, 3000 * 1024, 1024));
}

TEST_F(Mapping, PartitionBeyondTheLastIsRefused)
{
    AtImage(TwoPrimaries());
    EXPECT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 2), path), -14);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: partition error\n"});
    EXPECT_EQ(Device().pDisk, nullptr);
    EXPECT_EQ(OpenFileCount(path), 0);
}

TEST_F(Mapping, Pc98PartitionCoversWholeCylinders)
{
    const Bytes disk = Pc98Image(1, 100);
    ASSERT_EQ(Mount(RawPartitionWords(kPc98Disk, 1, 0), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 69632u);
    EXPECT_EQ(QuerySize().sectors, 13600u);
    const Geometry g = QueryGeometry();
    EXPECT_EQ(g.heads, 8);
    EXPECT_EQ(g.sectors, 17);
    EXPECT_EQ(g.cylinders, 100);
    EXPECT_EQ(Table(qim::blk_size), 6800);
    EXPECT_EQ(ReadSectors(0, 2), At(disk, 69632, 1024));
    EXPECT_EQ(ReadSectors(13599, 1), At(disk, 69632 + 13599 * 512, 512));
    EXPECT_TRUE(ReadSectors(13600, 1).empty());
}

TEST_F(Mapping, Pc98PartitionEndingBeforeItStartsIsRefused)
{
    Pc98Image(50, 10);
    EXPECT_EQ(Mount(RawPartitionWords(kPc98Disk, 1, 0), path), -14);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: partition error\n"});
    EXPECT_EQ(Mount(RawPartitionWords(kPc98Disk, 1, 1), path), -14);  // one slot in use
}

TEST_F(Mapping, WholeHardDiskWhenAskedForTheFloppyMapping)
{
    const Bytes disk = AtImage(TwoPrimaries());
    ASSERT_EQ(Mount(RawFloppyWords(kAtDisk), path), 0);
    EXPECT_EQ(Device().qwByteOffset, 0u);
    EXPECT_EQ(QuerySize().sectors, kAtDisk.totalSectors);
    EXPECT_EQ(QueryGeometry().cylinders, 20);
    EXPECT_EQ(ReadSectors(0, 1), At(disk, 0, 512));
}

}  // namespace
// A partition of a truncated disk: one that starts past the end is refused,
// one that runs past it is served up to the end.
TEST_F(Mapping, PartitionsBeyondTheDisksEnd)
{
    PcAtLayout layout;
    layout.primary = {{0x83, 63, kAtDisk.totalSectors}, {0x06, kAtDisk.totalSectors + 10, 100}};
    const Bytes disk = AtImage(layout);
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 1), path), -EFAULT);
    EXPECT_EQ(kern::Log(), std::vector<std::string>{"<1>qim: partition error\n"});
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 0), path), 0);
    EXPECT_EQ(QuerySize().sectors, kAtDisk.totalSectors - 63);
    EXPECT_EQ(ReadSectors(kAtDisk.totalSectors - 64, 1), At(disk, (kAtDisk.totalSectors - 1) * 512, 512));
    EXPECT_TRUE(ReadSectors(kAtDisk.totalSectors - 63, 1).empty());

    // PC-98 alike: cylinders 100 to 199 of a disk of 110 are served as 100 to 109.
    const Bytes pc98 = Pc98Image(100, 199);
    ASSERT_EQ(Mount(RawPartitionWords(kPc98Disk, 1, 0), path), 0);
    EXPECT_EQ(QuerySize().sectors, 10u * 136);
    EXPECT_EQ(ReadSectors(10 * 136 - 1, 1), At(pc98, (kPc98Disk.totalSectors - 1) * 512, 512));
    EXPECT_TRUE(ReadSectors(10 * 136, 1).empty());
    Pc98Image(110, 120);
    EXPECT_EQ(Mount(RawPartitionWords(kPc98Disk, 1, 0), path), -EFAULT);
}

// The device's read-only flag follows the mounted image, for the block
// layer's BLKROGET and so for the node's mode.
TEST_F(Mapping, ReadOnlyFlagFollowsTheImage)
{
    AtImage(TwoPrimaries());
    const auto readOnly = [this] {
        const unsigned long at = kern::PlaceUser(Bytes(sizeof(int), 0xFF));
        EXPECT_EQ(Ioctl(qim::BLKROGET, at), 0);
        int value = -1;
        std::memcpy(&value, reinterpret_cast<const void*>(at), sizeof value);
        return value;
    };
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 0, 1), path), 0);
    EXPECT_EQ(readOnly(), 1);
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 1, 0), path), 0);
    EXPECT_EQ(readOnly(), 0);
    ASSERT_EQ(Mount(RawPartitionWords(kAtDisk, 0, 1, 1), path), 0);
    ASSERT_EQ(Unmount(), 0);
    EXPECT_EQ(readOnly(), 0);
}

}  // namespace qimtest
