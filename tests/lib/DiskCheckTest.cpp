// SPDX-License-Identifier: MIT
// The block-map check every sparse format's metadata check uses: blocks
// outside the data area, overlapping blocks and unnamed space.
#include "DiskCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace qim;

namespace {

struct Seen {
    std::uint32_t kind;
    std::string text;
};

std::vector<Seen> CheckBlocks(std::uint64_t dataStart, std::uint64_t dataEnd, std::uint64_t block,
                      const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries)
{
    std::vector<Seen> seen;
    const DiskCheckSink sink = [](void* p, const DiskCheckFinding* f) {
        std::string text = f->pszWhat;
        if (f->pszFirst != nullptr)
            text += std::string(" ") + f->pszFirst + "=" + std::to_string(f->qwFirst);
        if (f->pszSecond != nullptr)
            text += std::string(" ") + f->pszSecond + "=" + std::to_string(f->qwSecond);
        static_cast<std::vector<Seen>*>(p)->push_back({f->dwKind, text});
    };
    DiskBlockCheck check{};
    EXPECT_EQ(DiskBlockCheck_Init(&check, sink, &seen, dataStart, dataEnd, block,
                                  static_cast<std::uint32_t>(entries.size())),
              0);
    for (const auto& [index, start] : entries) {
        if (index == kDiskCheckMetadata)
            DiskBlockCheck_AddMetadata(&check, start, 50);  // 50 bytes of metadata among the blocks
        else
            DiskBlockCheck_Add(&check, index, start);
    }
    DiskBlockCheck_Finish(&check);
    EXPECT_EQ(check.pBlocks, nullptr);
    return seen;
}

TEST(DiskBlockCheck, Findings)
{
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;  // (entry, file offset)
        std::vector<Seen> expected;
    };
    // Data area [1000, 1400), blocks of 100 bytes.
    const std::vector<Case> cases = {
        {"packed in any order", {{3, 1300}, {0, 1000}, {9, 1200}, {1, 1100}}, {}},
        {"empty file", {}, {{DISK_CHECK_LEAK, "file space that no entry names file offset=1000 bytes=400"}}},
        {"past the end",
         {{0, 1000}, {1, 1100}, {2, 1200}, {3, 1300}, {7, 1301}},
         {{DISK_CHECK_CORRUPT, "block lies past the end of the file entry=7 file offset=1301"}}},
        {"far past the end, no wrap",
         {{0, 1000}, {1, 1100}, {2, 1200}, {3, 1300}, {5, ~0ull - 10}},
         {{DISK_CHECK_CORRUPT, "block lies past the end of the file entry=5 file offset=18446744073709551605"}}},
        {"inside the metadata",
         {{0, 1000}, {1, 1100}, {2, 1200}, {3, 1300}, {4, 999}},
         {{DISK_CHECK_CORRUPT, "block lies inside the metadata entry=4 file offset=999"}}},
        {"two entries, one block",
         {{0, 1000}, {1, 1100}, {2, 1200}, {3, 1300}, {6, 1100}},
         {{DISK_CHECK_CORRUPT, "two entries name the same storage entry=1 entry=6"}}},
        {"overlap", {{0, 1000}, {1, 1050}, {2, 1150}, {3, 1300}},
         {{DISK_CHECK_CORRUPT, "two entries name the same storage entry=0 entry=1"},
          {DISK_CHECK_LEAK, "file space that no entry names file offset=1250 bytes=50"}}},
        {"metadata among the blocks", {{0, 1000}, {kDiskCheckMetadata, 1100}, {1, 1150}, {2, 1250}},
         {{DISK_CHECK_LEAK, "file space that no entry names file offset=1350 bytes=50"}}},
        {"a block over the metadata", {{0, 1000}, {kDiskCheckMetadata, 1120}, {1, 1100}, {2, 1200}, {3, 1300}},
         {{DISK_CHECK_CORRUPT, "block overlaps the metadata entry=1"}}},
        {"gaps", {{0, 1100}, {1, 1250}},
         {{DISK_CHECK_LEAK, "file space that no entry names file offset=1000 bytes=100"},
          {DISK_CHECK_LEAK, "file space that no entry names file offset=1200 bytes=50"},
          {DISK_CHECK_LEAK, "file space that no entry names file offset=1350 bytes=50"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Seen> seen = CheckBlocks(1000, 1400, 100, c.entries);
        ASSERT_EQ(seen.size(), c.expected.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].kind, c.expected[i].kind);
            EXPECT_EQ(seen[i].text, c.expected[i].text);
        }
    }
}

}  // namespace
