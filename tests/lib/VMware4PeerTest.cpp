// SPDX-License-Identifier: MIT
// qemu-img as the oracle for VMware 4 disks, both ways: monolithic disks it
// makes and writes read here as it reads them; disks built and written here
// read there as expected and pass its check.
#include "Disk.h"
#include "VMware4Image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace qim;
using namespace qimtest;

namespace {

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class VMware4Peer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (Shell("command -v qemu-img && command -v qemu-io") != 0)
            GTEST_SKIP() << "qemu-img and qemu-io (qemu-utils) are not installed";
    }

    // The disk as qemu-img reads it.
    Bytes QemuReads(const std::string& path)
    {
        const std::string raw = dir.file("qemu.raw");
        EXPECT_EQ(Shell("qemu-img convert -O raw '" + path + "' '" + raw + "'"), 0) << path;
        return ReadFile(raw);
    }

    static Bytes WeReads(Disk* disk)
    {
        DiskInfo info{};
        Disk_GetDiskInfo(disk, &info);
        Bytes out(std::uint64_t{info.dwTotalSectors} * info.dwBytesPerSector);
        EXPECT_EQ(Disk_Read64(disk, 0, static_cast<std::uint32_t>(out.size()), out.data()), 0);
        return out;
    }

    // Writes runs of data and of zeros here, into the model too.
    static void WeWrite(Disk* disk, Bytes& model, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < 40; ++i) {
            const auto n = static_cast<std::uint32_t>(rng() % 200000 + 1);
            const std::uint64_t at = rng() % (model.size() - n);
            Bytes data = i % 4 == 0 ? Bytes(n, 0) : PatternBytes(at, n, seed + i);
            ASSERT_EQ(Disk_Write64(disk, at, n, data.data()), 0);
            std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(at));
        }
    }

    TempDir dir;
};

TEST_F(VMware4Peer, QemuMonolithicReadsAlikeAndPassesItsCheckAfterOurWrites)
{
    const std::string path = dir.file("q.vmdk");
    ASSERT_EQ(Shell("qemu-img create -f vmdk -o hwversion=3,adapter_type=ide,subformat=monolithicSparse '" + path +
                  "' 40M"),
              0);
    ASSERT_EQ(Shell("qemu-io -c 'write -P 0x5a 1000 70000' -c 'write -P 0x11 33550000 100000' -c 'write -z 0 512' '" +
                  path + "'"),
              0);
    Disk disk;
    Disk_Construct(&disk);
    ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
    EXPECT_EQ(disk.dwType, DISK_VMWARE_MONOLITHIC);
    Bytes model = QemuReads(path);
    ASSERT_TRUE(WeReads(&disk) == model);
    WeWrite(&disk, model, 7);
    Disk_Close(&disk);

    EXPECT_EQ(Shell("qemu-img check '" + path + "'"), 0);
    WriteFile(dir.file("model.raw"), model);
    EXPECT_EQ(Shell("qemu-img compare -f vmdk -F raw '" + path + "' '" + dir.file("model.raw") + "'"), 0);
}

// qemu-img gives every extent of these kinds an embedded descriptor, which
// their extents must not carry.
TEST_F(VMware4Peer, QemuTwoGbAndRedoExtentsAreRefused)
{
    const std::string base = dir.file("b.vmdk"), two = dir.file("t.vmdk"), redo = dir.file("r.vmdk");
    ASSERT_EQ(Shell("qemu-img create -f vmdk -o hwversion=3,subformat=monolithicSparse '" + base + "' 4M"), 0);
    ASSERT_EQ(Shell("qemu-img create -f vmdk -o hwversion=3,subformat=twoGbMaxExtentSparse '" + two + "' 4M"), 0);
    ASSERT_EQ(Shell("qemu-img create -f vmdk -o subformat=twoGbMaxExtentSparse -F vmdk -b b.vmdk '" + redo + "'"), 0);
    Disk disk;
    Disk_Construct(&disk);
    EXPECT_EQ(Disk_OpenType(&disk, two.c_str(), 0, DISK_VMWARE_TWOGB_SPARSE), ERR_INVALID_IMAGE);
    EXPECT_EQ(Disk_OpenType(&disk, redo.c_str(), 0, DISK_VMWARE4_REDO), ERR_INVALID_IMAGE);
    EXPECT_EQ(Disk_OpenType(&disk, base.c_str(), 0, DISK_VMWARE_MONOLITHIC), 0);
    Disk_Close(&disk);
}

TEST_F(VMware4Peer, OurTwoGbAndRedoDisksReadThereAsHere)
{
    const std::uint32_t sectors = 69632 + 256;
    Bytes parent = PatternBytes(0, sectors * 512ull, 3);
    std::fill_n(parent.begin() + 5 * kVmdkGrainBytes, 9 * kVmdkGrainBytes, 0);
    Bytes child = parent;
    std::fill_n(child.begin() + 100000, 300000, 0x61);
    std::fill_n(child.begin() + 34000000, 10, 0);
    WriteVmdkMonolithic(dir.file("base.vmdk"), parent);
    // qemu-img places an extent that ends inside a grain differently; real ones are whole grains.
    WriteVmdkTwoGb(dir.file("two.vmdk"), parent, {40064, sectors - 40064});
    WriteVmdkRedo(dir.file("redo.vmdk"), "base.vmdk", parent, child, {65536, sectors - 65536});

    for (auto [name, model] : {std::pair{"two.vmdk", parent}, std::pair{"redo.vmdk", child}}) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(QemuReads(path) == model) << name;
        EXPECT_EQ(Shell("qemu-img check '" + path + "'"), 0) << name;
        Disk disk;
        Disk_Construct(&disk);
        ASSERT_EQ(Disk_Open(&disk, path.c_str(), 0), 0);
        WeWrite(&disk, model, 11);
        ASSERT_TRUE(WeReads(&disk) == model) << name;
        Disk_Close(&disk);
        EXPECT_TRUE(QemuReads(path) == model) << name << " after our writes";
        EXPECT_EQ(Shell("qemu-img check '" + path + "'"), 0) << name << " after our writes";
    }
    EXPECT_TRUE(QemuReads(dir.file("base.vmdk")) == parent) << "the parent is never written";
}

}  // namespace
