// SPDX-License-Identifier: MIT
#include "DriverFixture.h"

#include <filesystem>

namespace qimtest {

RecordWords RawFloppyWords(const RawGeometry& g, std::uint32_t readOnly)
{
    return {1, g.totalSectors, g.heads, g.sectorsPerTrack, g.bytesPerSector, 0, 1, 0, 0, readOnly};
}

RecordWords RawPartitionWords(const RawGeometry& g, std::uint32_t pc98, std::uint32_t partition,
                              std::uint32_t readOnly)
{
    return {1, g.totalSectors, g.heads, g.sectorsPerTrack, g.bytesPerSector, 0, 0, pc98, partition, readOnly};
}

int OpenFileCount(const std::string& path)
{
    namespace fs = std::filesystem;
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(e.path(), linkError) == path)
            ++n;
    }
    return n;
}

void DriverTest::SetUp()
{
    kern::Reset();
    ASSERT_EQ(kern::Locked(qim::qim_init), 0);
    ASSERT_EQ(Open(), 0);
    kern::ClearLog();
}

void DriverTest::TearDown()
{
    while (opens > 0)
        Release();
    kern::Locked(qim::qim_cleanup);
    EXPECT_EQ(kern::LiveAllocations(), 0u);
    EXPECT_EQ(kern::BadFrees(), 0);
    kern::Reset();
}

int DriverTest::Open(unsigned minor)
{
    qim::inode node{Dev(minor)};
    qim::file f{};
    const int rc = kern::Locked([&] { return qim::qim_bdops.open(&node, &f); });
    if (rc == 0)
        ++opens;
    return rc;
}

int DriverTest::Release(unsigned minor)
{
    qim::inode node{Dev(minor)};
    qim::file f{};
    --opens;
    return kern::Locked([&] { return qim::qim_bdops.release(&node, &f); });
}

int DriverTest::Ioctl(unsigned request, unsigned long argument)
{
    qim::inode node{Dev()};
    qim::file f{};
    return kern::Locked([&] { return qim::qim_bdops.ioctl(&node, &f, request, argument); });
}

int DriverTest::Mount(const Bytes& record) { return Ioctl(qim::QIM_MOUNT, kern::PlaceUser(record)); }

namespace {
std::uint64_t LittleEndian(const Bytes& b, std::size_t at, std::size_t size)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i)
        v |= std::uint64_t{b[at + i]} << (8 * i);
    return v;
}
}  // namespace

DriverTest::Geometry DriverTest::QueryGeometry()
{
    const unsigned long answer = kern::PlaceUser(Bytes(sizeof(qim::hd_geometry), 0xCC));
    Geometry g{};
    g.result = Ioctl(qim::HDIO_GETGEO, answer);
    const Bytes b = kern::ReadUser(answer, sizeof(qim::hd_geometry));
    g.heads = b[0];
    g.sectors = b[1];
    g.cylinders = static_cast<std::uint16_t>(LittleEndian(b, 2, 2));
    g.start = LittleEndian(b, 8, 8);
    return g;
}

DriverTest::Size DriverTest::QuerySize()
{
    const unsigned long answer = kern::PlaceUser(Bytes(sizeof(unsigned long), 0xCC));
    Size s{};
    s.result = Ioctl(qim::BLKGETSIZE, answer);
    s.sectors = LittleEndian(kern::ReadUser(answer, sizeof(unsigned long)), 0, sizeof(unsigned long));
    return s;
}

Bytes DriverTest::ReadSectors(unsigned long sector, std::uint32_t count)
{
    kern::Request* r = kern::Submit(Dev(), qim::READ, sector, {{count, {}, true}});
    kern::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_TRUE(r->block.finished);
    return r->block.statuses == std::vector<int>{1} ? r->buffers[0] : Bytes{};
}

int DriverTest::WriteSectors(unsigned long sector, const Bytes& data)
{
    kern::Segment seg{static_cast<std::uint32_t>(data.size() / 512), data, true};
    kern::Request* r = kern::Submit(Dev(), qim::WRITE, sector, {seg});
    kern::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_TRUE(r->block.finished);
    return r->block.statuses == std::vector<int>{1} ? 1 : 0;
}

}  // namespace qimtest
