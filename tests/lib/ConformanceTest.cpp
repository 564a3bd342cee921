// SPDX-License-Identifier: MIT
// The format conformance suite: every format row must open by its extension
// and by the probe with its own code, read and write like a plain byte array,
// keep what was written across a close, refuse writes when read-only and
// refuse every request past the disk's end, changing no file when it refuses.
#include "Conformance.h"
#include "Disk.h"
#include "DiskEtc.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#if defined(QIM_BUILD_KERN)
#include "NkReadCapture.h"

#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qim;
using namespace qimtest;

namespace {

using ByteVec = std::vector<std::byte>;
using Snapshot = std::map<std::string, Bytes>;

Snapshot Snap(const std::vector<std::string>& files)
{
    Snapshot s;
    for (const std::string& f : files)
        s[f] = ReadFile(f);
    return s;
}

#if defined(QIM_BUILD_KERN)
// Reads into a buffer the way the node serves them: file bytes left in a pipe
// and brought back afterwards. Pieces counts how many went through the pipe.
struct PipeCapture {
    NkReadCapture c;
    std::size_t pieces = 0;
    PipeCapture()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            c.pipeRead = fds[0];
            c.pipeWrite = fds[1];
            static_cast<void>(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20));
        }
    }
    ~PipeCapture()
    {
        ::close(c.pipeRead);
        ::close(c.pipeWrite);
    }
    int Read(Disk* disk, std::uint64_t offset, std::uint32_t n, std::byte* out)
    {
        c.base = out;
        c.size = n;
        nkReadCapture = &c;
        const int rc = Disk_Read64(disk, offset, n, out);
        nkReadCapture = nullptr;
        pieces += c.count;
        EXPECT_TRUE(NkReadCaptureSettle(&c));
        return rc;
    }
};
#endif

class ConformanceTest : public ::testing::TestWithParam<ConformanceRow> {
protected:
    // Opens the built image the way its format is reached; 0 or the error.
    int Open(Disk* disk, const BuiltImage& built, std::uint32_t readOnly)
    {
        Disk_Construct(disk);
        if (GetParam().code == DISK_BETA)
            return Disk_OpenBeta(disk, built.path.c_str(), readOnly, built.rawDataOffset, &built.info);
        return Disk_Open(disk, built.path.c_str(), readOnly);
    }

    // The whole disk, read in pieces of varying size.
    ByteVec ReadAll(Disk* disk, std::uint64_t size)
    {
        ByteVec out(size);
        std::uint64_t at = 0;
        std::uint32_t step = 65536 + 511;
        while (at < size) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(step, size - at));
            EXPECT_EQ(Disk_Read64(disk, at, n, out.data() + at), 0) << "at " << at;
            at += n;
            step = step * 3 % 300000 + 1;
        }
        return out;
    }

    TempDir dir;
};

TEST_P(ConformanceTest, OpensWithItsCodeAndGeometry)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    Disk disk;
    ASSERT_EQ(Open(&disk, built, 1), 0);
    EXPECT_EQ(disk.dwType, row.code);
    DiskInfo info{};
    Disk_GetDiskInfo(&disk, &info);
    EXPECT_EQ(info.dwTotalSectors, built.info.dwTotalSectors);
    EXPECT_EQ(info.dwHeads, built.info.dwHeads);
    EXPECT_EQ(info.dwSectorsPerTrack, built.info.dwSectorsPerTrack);
    EXPECT_EQ(info.dwBytesPerSector, built.info.dwBytesPerSector);
    ASSERT_EQ(DiskByteSize(info), built.contents.size());
    EXPECT_TRUE(ReadAll(&disk, built.contents.size()) == built.contents);
    Disk_Close(&disk);

    if (!row.probed)
        return;
    TempDir other;
    const BuiltImage probed = row.build(other.file("image.bin"));
    ASSERT_EQ(Open(&disk, probed, 1), 0);
    EXPECT_EQ(disk.dwType, row.code) << "found by the probe";
    Disk_Close(&disk);
}

// Random reads and writes against a byte model, then close and reopen.
TEST_P(ConformanceTest, ReadsAndWritesLikeAByteArray)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    const Snapshot parents = Snap(built.parents);
    ByteVec model = built.contents;
    const std::uint64_t size = model.size();
    const std::uint32_t sector = built.info.dwBytesPerSector;

    Disk disk;
    ASSERT_EQ(Open(&disk, built, 0), 0);
#if defined(QIM_BUILD_KERN)
    PipeCapture capture;
    ASSERT_GE(capture.c.pipeRead, 0);
#endif
    std::mt19937_64 rng(20261208);
    for (int i = 0; i < 300 && size > 0; ++i) {
        // Lengths from a byte to a few hundred KiB, half of them on sector bounds,
        // so that pieces cross every unit a format cuts at.
        std::uint64_t length = std::uniform_int_distribution<std::uint64_t>(1, std::min<std::uint64_t>(size, 300000))(rng);
        std::uint64_t offset = std::uniform_int_distribution<std::uint64_t>(0, size - length)(rng);
        if (rng() % 2 == 0) {
            offset -= offset % sector;
            length = std::max<std::uint64_t>(sector, length - length % sector);
            length = std::min(length, size - offset);
        }
        const auto n = static_cast<std::uint32_t>(length);
        if (rng() % 2 == 0) {
            ByteVec data(n);
            const int kind = static_cast<int>(rng() % 4);
            for (auto& b : data)
                b = kind == 0 ? std::byte{0} : static_cast<std::byte>(rng());
            ASSERT_EQ(Disk_Write64(&disk, offset, n, data.data()), 0) << "write " << offset << "+" << n;
            std::copy(data.begin(), data.end(), model.begin() + static_cast<std::ptrdiff_t>(offset));
        } else {
            ByteVec got(n, std::byte{0xCC});
            int rc = -1;
#if defined(QIM_BUILD_KERN)
            if (rng() % 2 == 0)
                rc = capture.Read(&disk, offset, n, got.data());
            else
#endif
                rc = Disk_Read64(&disk, offset, n, got.data());
            ASSERT_EQ(rc, 0) << "read " << offset << "+" << n;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + static_cast<std::ptrdiff_t>(offset)))
                << "read " << offset << "+" << n;
        }
    }
    EXPECT_TRUE(ReadAll(&disk, size) == model);
    Disk_Close(&disk);
#if defined(QIM_BUILD_KERN)
    if (row.code == DISK_BETA) {
        EXPECT_GT(capture.pieces, 0u) << "no read went through the pipe";
    }
#endif

    ASSERT_EQ(Open(&disk, built, 1), 0);
    EXPECT_TRUE(ReadAll(&disk, size) == model) << "after reopening";
    Disk_Close(&disk);
    EXPECT_EQ(Snap(built.parents), parents) << "writes reached a parent";
}

TEST_P(ConformanceTest, ReadOnlyRefusesWritesAndChangesNothing)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    const Snapshot before = Snap(built.files);
    Disk disk;
    ASSERT_EQ(Open(&disk, built, 1), 0);
    const ByteVec data(4096, std::byte{0x5A});
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(data.size(), built.contents.size()));
    EXPECT_NE(Disk_Write64(&disk, 0, n, data.data()), 0);
    EXPECT_TRUE(ReadAll(&disk, built.contents.size()) == built.contents) << "the image stays usable";
    Disk_Close(&disk);
    EXPECT_EQ(Snap(built.files), before);
}

TEST_P(ConformanceTest, RefusesEveryRequestPastTheEnd)
{
    const ConformanceRow& row = GetParam();
    const BuiltImage built = row.build(dir.file(std::string("image.") + row.extension));
    const std::uint64_t size = built.contents.size();
    Disk disk;
    ASSERT_EQ(Open(&disk, built, 0), 0);
    const Snapshot before = Snap(built.files);
    ByteVec buf(1024, std::byte{0x77});
    const ByteVec untouched = buf;
    struct Range {
        std::uint64_t offset;
        std::uint32_t count;
    };
    for (const Range r :
         {Range{size - 1, 2}, Range{size, 1}, Range{size + 512, 512}, Range{~0ull, 2}, Range{~0ull - 511, 1024}}) {
        EXPECT_EQ(Disk_Read64(&disk, r.offset, r.count, buf.data()), ERR_INVALID_PARAMETER) << r.offset;
        EXPECT_EQ(Disk_Write64(&disk, r.offset, r.count, buf.data()), ERR_INVALID_PARAMETER) << r.offset;
    }
    EXPECT_TRUE(buf == untouched) << "a refused read writes nothing";
    EXPECT_EQ(Disk_Read64(&disk, size, 0, buf.data()), 0) << "an empty range at the end is served";
    Disk_Close(&disk);
    EXPECT_EQ(Snap(built.files), before);
}

INSTANTIATE_TEST_SUITE_P(Formats, ConformanceTest, ::testing::ValuesIn(ConformanceRows()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
