// SPDX-License-Identifier: MIT
// Byte ranges of the node against a sector store that records its requests.
#include "BlockIo.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

using namespace qim::host;

namespace {

struct Store {
    std::vector<std::byte> sectors;
    int reads = 0;
    int writes = 0;
    std::uint64_t failSector = UINT64_MAX;  // a request touching it fails

    SectorIo io() { return {this, &Store::Transfer}; }

    static bool Transfer(void* context, Direction direction, std::uint64_t sector, std::span<std::byte> buffer)
    {
        auto& s = *static_cast<Store*>(context);
        EXPECT_EQ(buffer.size() % kSectorBytes, 0u);
        const std::uint64_t count = buffer.size() / kSectorBytes;
        EXPECT_LE((sector + count) * kSectorBytes, s.sectors.size());
        if (s.failSector >= sector && s.failSector < sector + count)
            return false;
        std::byte* at = s.sectors.data() + sector * kSectorBytes;
        if (direction == Direction::kRead) {
            ++s.reads;
            std::memcpy(buffer.data(), at, buffer.size());
        } else {
            ++s.writes;
            std::memcpy(at, buffer.data(), buffer.size());
        }
        return true;
    }
};

std::vector<std::byte> Pattern(std::size_t n, std::uint32_t seed)
{
    const qimtest::Bytes b = qimtest::PatternBytes(0, n, seed);
    std::vector<std::byte> out(n);
    std::transform(b.begin(), b.end(), out.begin(), [](std::uint8_t v) { return std::byte{v}; });
    return out;
}

TEST(BlockIo, RandomRangesMatchAByteModel)
{
    constexpr std::size_t kDevice = 64 * kSectorBytes;
    Store store{Pattern(kDevice, 3)};
    std::vector<std::byte> model = store.sectors;
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t offset = rng() % (kDevice + 700);
        const std::size_t size = rng() % 3000;
        const std::uint64_t inside = offset >= kDevice ? 0 : std::min<std::uint64_t>(size, kDevice - offset);
        if (rng() % 2 == 0) {
            std::vector<std::byte> out(size, std::byte{0xCC});
            const long n = ReadBytes(store.io(), kDevice, offset, out);
            ASSERT_EQ(n, static_cast<long>(inside)) << offset << "+" << size;
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(inside), model.begin() + static_cast<long>(std::min<std::uint64_t>(offset, kDevice))))
                << offset << "+" << size;
        } else {
            const std::vector<std::byte> in = Pattern(size, static_cast<std::uint32_t>(i + 100));
            const int writesBefore = store.writes;
            const long n = WriteBytes(store.io(), kDevice, offset, in);
            if (size == 0) {
                ASSERT_EQ(n, 0);
            } else if (offset >= kDevice) {
                ASSERT_EQ(n, -ENOSPC);
            } else {
                ASSERT_EQ(n, static_cast<long>(inside));
                ASSERT_EQ(store.writes, writesBefore + 1) << "one write request per transfer";
                std::copy_n(in.begin(), inside, model.begin() + static_cast<long>(offset));
            }
            ASSERT_EQ(store.sectors, model) << offset << "+" << size;
        }
    }
}

TEST(BlockIo, AlignedTransfersNeedNoReadBack)
{
    Store store{Pattern(16 * kSectorBytes, 1)};
    std::vector<std::byte> buffer = Pattern(4 * kSectorBytes, 2);
    EXPECT_EQ(WriteBytes(store.io(), store.sectors.size(), 2 * kSectorBytes, buffer), 4 * 512);
    EXPECT_EQ(store.reads, 0);
    EXPECT_EQ(ReadBytes(store.io(), store.sectors.size(), 2 * kSectorBytes, buffer), 4 * 512);
    EXPECT_EQ(store.reads, 1);
}

TEST(BlockIo, FailedReadBackWritesNothing)
{
    Store store{Pattern(16 * kSectorBytes, 1)};
    const std::vector<std::byte> before = store.sectors;
    store.failSector = 5;
    const std::vector<std::byte> in = Pattern(100, 9);
    // The range's last sector (5) cannot be read, so the write must not happen.
    EXPECT_EQ(WriteBytes(store.io(), store.sectors.size(), 4 * kSectorBytes + 500, in), -EIO);
    EXPECT_EQ(store.writes, 0);
    EXPECT_EQ(store.sectors, before);
    std::vector<std::byte> out(10);
    EXPECT_EQ(ReadBytes(store.io(), store.sectors.size(), 5 * kSectorBytes + 3, out), -EIO);
    // Reads at or past the end are empty; the device ends at a sector boundary.
    EXPECT_EQ(ReadBytes(store.io(), store.sectors.size(), store.sectors.size(), out), 0);
    EXPECT_EQ(ReadBytes(store.io(), 0, 0, out), 0);
}

}  // namespace
