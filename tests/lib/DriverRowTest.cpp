// SPDX-License-Identifier: MIT
// The driver row's optional operations and the entry functions over them:
// a row of five functions still builds and reports everything allocated; a
// sixth answers through its typed function; answers outside the range are refused.
#include "Disk.h"
#include "DiskEtc.h"
#include "DiskFormats.h"
#include "RawImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace qim;
using namespace qimtest;

namespace {

struct FakeState {
    DiskInfo info;
    std::uint64_t answerLength;  // what the fake's Allocation shortens the range to
    std::uint32_t answerWhere;
};
int FakeSet(Disk*, const char*, std::uint32_t, DiskChain*) { return 0; }
void FakeClose(FakeState*) {}
void FakeInfo(FakeState* s, DiskInfo* info) { *info = s->info; }
int FakeRead(FakeState*, std::uint64_t, std::uint32_t, void*) { return 0; }
int FakeWrite(FakeState*, std::uint64_t, std::uint32_t, const void*) { return 0; }
int FakeAllocation(FakeState* s, std::uint64_t, std::uint64_t* length, std::uint32_t* where)
{
    *length = s->answerLength;
    *where = s->answerWhere;
    return 0;
}

constexpr DiskDriver kFive = MakeDiskDriver<FakeSet, FakeClose, FakeInfo, FakeRead, FakeWrite>();
constexpr DiskDriver kSix = MakeDiskDriver<FakeSet, FakeClose, FakeInfo, FakeRead, FakeWrite, FakeAllocation>();
static_assert(kFive.Allocation == nullptr && kFive.Parent == nullptr && kFive.Check == nullptr);
static_assert(kSix.Parent == nullptr && kSix.Check == nullptr);

TEST(DriverRow, SixthOperationReachesTheTypedFunction)
{
    ASSERT_NE(kSix.Allocation, nullptr);
    FakeState state{{8, 1, 8, 512}, 100, DISK_UNALLOCATED};
    std::uint64_t length = 4096;
    std::uint32_t where = DISK_ALLOCATED;
    EXPECT_EQ(kSix.Allocation(&state, 0, &length, &where), 0);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(where, DISK_UNALLOCATED);
}

TEST(DriverRow, RawImagesAreAllocatedEverywhere)
{
    TempDir dir;
    RawImageLayout layout;
    layout.geometry = {64, 2, 16, 512};
    layout.dataOffset = 512;
    WriteRawImage(dir.file("r.img"), layout);
    Disk disk;
    Disk_Construct(&disk);
    const DiskInfo info{64, 2, 16, 512};
    ASSERT_EQ(Disk_OpenBeta(&disk, dir.file("r.img").c_str(), 1, 512, &info), 0);
    struct Case {
        std::uint64_t offset, length;
        int rc;
    };
    for (const Case c : {Case{0, 32768, 0}, Case{1, 100, 0}, Case{32767, 1, 0}, Case{0, 0, ERR_INVALID_PARAMETER},
                         Case{0, 32769, ERR_INVALID_PARAMETER}, Case{32768, 1, ERR_INVALID_PARAMETER},
                         Case{~0ull, 2, ERR_INVALID_PARAMETER}}) {
        SCOPED_TRACE(c.offset);
        std::uint64_t length = c.length;
        std::uint32_t where = 99;
        EXPECT_EQ(Disk_GetAllocation(&disk, c.offset, &length, &where), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(length, c.length) << "the whole range";
            EXPECT_EQ(where, DISK_ALLOCATED);
        }
    }
    Disk* parent = &disk;
    std::array<char, 16> path{};
    EXPECT_EQ(Disk_GetParent(&disk, "r.img", &parent, path), 0);
    EXPECT_EQ(parent, nullptr);
    Disk_Close(&disk);
}

TEST(DriverRow, ErrorCodesHaveDistinctWords)
{
    std::set<std::string> seen;
    for (int code : {ERR_CREATE_FILE, ERR_READ_FILE, ERR_WRITE_FILE, ERR_GET_FILE_SIZE, ERR_NO_MEMORY, ERR_INVALID_IMAGE,
                     ERR_INVALID_PARAMETER, ERR_EXTEND_FILE}) {
        const std::string words = DiskErrorText(code);
        EXPECT_NE(words, DiskErrorText(-1)) << code;
        EXPECT_EQ(words.find("20"), std::string::npos) << "words, not numbers";
        EXPECT_TRUE(seen.insert(words).second) << words;
    }
}

TEST(DriverRow, CheckOfAFormatWithoutOneIsOpeningAlone)
{
    TempDir dir;
    WriteFile(dir.file("x.bin"), Bytes(4096, 1));
    int calls = 0;
    const DiskCheckSink count = [](void* p, const DiskCheckFinding*) { ++*static_cast<int*>(p); };
    for (const DiskFormat& format : DiskFormats()) {
        if (format.driver.Check == nullptr) {
            EXPECT_EQ(Disk_Check(dir.file("x.bin").c_str(), format.code, count, &calls), 0) << format.name;
        }
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(Disk_Check(dir.file("x.bin").c_str(), 77, count, &calls), ERR_INVALID_PARAMETER);
    std::uint32_t type = 0;
    EXPECT_EQ(Disk_CheckAny(dir.file("x.bin").c_str(), &type, count, &calls), ERR_INVALID_PARAMETER)
        << "no format's signature";
}

}  // namespace
