// SPDX-License-Identifier: MIT
// The failing platform layer itself: it counts what the library does and
// fails exactly the operation asked for, so format tests can trust it.
#include "BetaDisk.h"
#include "Disk.h"
#include "NkFaults.h"
#include "RawImage.h"

#include <gtest/gtest.h>

using namespace qim;
using namespace qimtest;

namespace {

TEST(FaultLayer, FailsTheNthOperationOfTheChosenKinds)
{
    TempDir dir;
    const std::string path = dir.file("raw.img");
    RawImageLayout layout;
    layout.geometry = {16, 1, 16, 512};
    const Bytes disk = WriteRawImage(path, layout);
    const DiskInfo info = {16, 1, 16, 512};

    // Opening a raw image: state allocation, file open, size.
    faults::Reset();
    Disk d;
    Disk_Construct(&d);
    ASSERT_EQ(Disk_OpenBeta(&d, path.c_str(), 0, 0, &info), 0);
    EXPECT_EQ(faults::Count(faults::kAlloc), 1u);
    EXPECT_EQ(faults::Count(faults::kOpen), 1u);
    EXPECT_EQ(faults::Count(faults::kSize), 1u);
    Disk_Close(&d);

    for (const auto& [op, code] : {std::pair{faults::kAlloc, ERR_NO_MEMORY}, std::pair{faults::kOpen, ERR_CREATE_FILE},
                                  std::pair{faults::kSize, ERR_GET_FILE_SIZE}}) {
        faults::Reset();
        faults::FailNth(1, op);
        EXPECT_EQ(Disk_OpenBeta(&d, path.c_str(), 0, 0, &info), code);
        EXPECT_EQ(d.pImpl, nullptr);
    }

    // The second read fails, the first and third succeed.
    faults::Reset();
    ASSERT_EQ(Disk_OpenBeta(&d, path.c_str(), 0, 0, &info), 0);
    faults::FailNth(2, faults::kRead);
    Bytes buf(512);
    EXPECT_EQ(Disk_Read(&d, 0, 0, 512, buf.data()), 0);
    EXPECT_EQ(Disk_Read(&d, 0, 0, 512, buf.data()), ERR_READ_FILE);
    EXPECT_EQ(Disk_Read(&d, 0, 0, 512, buf.data()), 0);
    EXPECT_EQ(faults::Count(faults::kRead), 3u);

    // A short write stores its first bytes and fails.
    faults::ShortWriteNth(1, 100);
    const Bytes data(512, 0x42);
    EXPECT_EQ(Disk_Write(&d, 0, 0, 512, data.data()), ERR_WRITE_FILE);
    Disk_Close(&d);
    faults::Reset();
    Bytes expected = disk;
    std::fill(expected.begin(), expected.begin() + 100, 0x42);
    EXPECT_EQ(ReadFile(path), expected);
}

}  // namespace
