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
    fake::Reset();
    ASSERT_EQ(qim::qim_init(), 0);
    ASSERT_EQ(Open(), 0);
    fake::ClearLog();
}

void DriverTest::TearDown()
{
    while (opens > 0)
        Release();
    qim::qim_cleanup();
    EXPECT_EQ(fake::LiveAllocations(), 0u);
    EXPECT_EQ(fake::BadFrees(), 0);
    fake::Reset();
}

int DriverTest::Open(unsigned minor)
{
    qim::inode node{Dev(minor)};
    qim::file f{};
    const int rc = qim::qim_bdops.open(&node, &f);
    if (rc == 0)
        ++opens;
    return rc;
}

int DriverTest::Release(unsigned minor)
{
    qim::inode node{Dev(minor)};
    qim::file f{};
    --opens;
    return qim::qim_bdops.release(&node, &f);
}

int DriverTest::Ioctl(unsigned request, unsigned long argument)
{
    qim::inode node{Dev()};
    qim::file f{};
    return qim::qim_bdops.ioctl(&node, &f, request, argument);
}

int DriverTest::Mount(const Bytes& record)
{
    fake::MapUser(kRecordAt, record);
    return Ioctl(qim::QIM_MOUNT, kRecordAt);
}

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
    fake::MapUser(kAnswerAt, Bytes(sizeof(qim::hd_geometry), 0xCC));
    Geometry g{};
    g.result = Ioctl(qim::HDIO_GETGEO, kAnswerAt);
    const Bytes b = fake::ReadUser(kAnswerAt, sizeof(qim::hd_geometry));
    g.heads = b[0];
    g.sectors = b[1];
    g.cylinders = static_cast<std::uint16_t>(LittleEndian(b, 2, 2));
    g.start = LittleEndian(b, 8, 8);
    return g;
}

DriverTest::Size DriverTest::QuerySize()
{
    fake::MapUser(kAnswerAt, Bytes(sizeof(unsigned long), 0xCC));
    Size s{};
    s.result = Ioctl(qim::BLKGETSIZE, kAnswerAt);
    s.sectors = LittleEndian(fake::ReadUser(kAnswerAt, sizeof(unsigned long)), 0, sizeof(unsigned long));
    return s;
}

Bytes DriverTest::ReadSectors(unsigned long sector, std::uint32_t count)
{
    fake::Request* r = fake::Submit(Dev(), qim::READ, sector, {{count, {}, true}});
    fake::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_TRUE(r->finished);
    return r->statuses == std::vector<int>{1} ? r->segments[0].data : Bytes{};
}

int DriverTest::WriteSectors(unsigned long sector, const Bytes& data)
{
    fake::Segment seg{static_cast<std::uint32_t>(data.size() / 512), data, true};
    fake::Request* r = fake::Submit(Dev(), qim::WRITE, sector, {seg});
    fake::RunQueue(static_cast<unsigned>(qim::qim_major));
    EXPECT_TRUE(r->finished);
    return r->statuses == std::vector<int>{1} ? 1 : 0;
}

}  // namespace qimtest
