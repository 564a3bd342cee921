// SPDX-License-Identifier: MIT
// The mount record both sides of the node share: the bytes the encoder
// writes, the decoder reading back exactly what was written, and the copies
// the decoder refuses.
#include "QimMount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const qim::MountRecord& record, const std::string& path)
{
    Bytes bytes(qim::MountRecordLength(static_cast<std::uint32_t>(path.size())), 0xCC);
    qim::StoreMountRecord(record, path, std::as_writable_bytes(std::span(bytes)));
    return bytes;
}

std::uint32_t WordAt(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24);
}

TEST(MountRecord, BytesOfRecognisedAndRawImages)
{
    const std::string path = "/images/disk001.vmdk";
    ASSERT_EQ(path.size(), 20u);
    qim::MountRecord record{};
    record.dwDiskType = 7;
    record.dwPartition = 1;
    record.dwReadOnly = 1;
    Bytes bytes = Encode(record, path);
    ASSERT_EQ(bytes.size(), 64u);
    const std::vector<std::uint32_t> words = {0, 7, 0, 0, 0, 0, 0, 0, 1, 1};
    for (std::size_t i = 0; i < words.size(); ++i)
        EXPECT_EQ(WordAt(bytes, 4 * i), words[i]) << "word " << i;
    EXPECT_EQ(bytes[40], 20);
    EXPECT_EQ(bytes[41], 0);
    EXPECT_EQ(std::string(bytes.begin() + 42, bytes.begin() + 62), path);
    EXPECT_EQ(bytes[62], 0);
    EXPECT_EQ(bytes[63], 0);

    qim::MountRecord raw{};
    raw.dwBeta = 1;
    raw.dwDiskType = 99;  // not word 1 of a raw image
    raw.diBetaInfo = {0x01020304, 16, 63, 512};
    raw.dwImageOffset = 0x80000001;
    raw.dwPC98 = 1;
    raw.dwPartition = 0x0A0B0C0D;
    bytes = Encode(raw, std::string(300, 'p'));
    const std::vector<std::uint32_t> rawWords = {1, 0x01020304, 16, 63, 512, 0x80000001, 0, 1, 0x0A0B0C0D, 0};
    for (std::size_t i = 0; i < rawWords.size(); ++i)
        EXPECT_EQ(WordAt(bytes, 4 * i), rawWords[i]) << "word " << i;
    EXPECT_EQ(bytes[40], 300 & 0xFF);
    EXPECT_EQ(bytes[41], 300 >> 8);
}

TEST(MountRecord, DecoderReadsBackWhatTheEncoderWrote)
{
    qim::MountRecord recognised{};
    recognised.dwDiskType = qim::DISK_D88_FLOPPY;
    recognised.dwFloppy = 1;
    recognised.dwReadOnly = 1;
    qim::MountRecord raw{1, 0, {40960, 16, 63, 1024}, 0xFFFFFFFF, 0, 1, 7, 0};
    for (const qim::MountRecord& record : {recognised, raw})
        for (const std::string& path : {std::string(), std::string("/a"), std::string(4095, 'n'),
                                        std::string(qim::kMountRecordMaxName, 'm')}) {
            const Bytes bytes = Encode(record, path);
            qim::MountRecord decoded{};
            const char* name = nullptr;
            ASSERT_TRUE(qim::LoadMountRecord(std::as_bytes(std::span(bytes)), &decoded, &name)) << path.size();
            EXPECT_EQ(qim::MountRecordWords(decoded), qim::MountRecordWords(record)) << path.size();
            EXPECT_EQ(name, path);
            // A copy longer than the record states is read only as far as it states.
            Bytes longer = bytes;
            longer.push_back(0x41);
            ASSERT_TRUE(qim::LoadMountRecord(std::as_bytes(std::span(longer)), &decoded, &name));
            EXPECT_EQ(name, path);
        }
}

TEST(MountRecord, DecoderRefusesCopiesThatDoNotHoldTheRecord)
{
    const Bytes good = Encode({1, 0, {2880, 2, 18, 512}, 0, 1, 0, 0, 0}, "/fd.img");
    struct Row {
        const char* what;
        std::size_t copied;       // bytes of the record in the copy
        std::ptrdiff_t breakAt;  // a byte set nonzero, or -1
    };
    for (const Row& row : {Row{"nothing", 0, -1}, Row{"fixed part short", 43, -1},
                           Row{"name cut", good.size() - 3, -1}, Row{"reserved byte missing", good.size() - 1, -1},
                           Row{"name not terminated", good.size(), static_cast<std::ptrdiff_t>(good.size() - 2)}}) {
        Bytes copy(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(row.copied));
        if (row.breakAt >= 0)
            copy[static_cast<std::size_t>(row.breakAt)] = 'x';
        qim::MountRecord decoded{};
        decoded.dwPartition = 77;
        const char* name = nullptr;
        EXPECT_FALSE(qim::LoadMountRecord(std::as_bytes(std::span(copy)), &decoded, &name)) << row.what;
        EXPECT_EQ(decoded.dwPartition, 77u) << row.what << ": a refused copy leaves the record as it was";
        EXPECT_EQ(name, nullptr) << row.what;
    }
}

}  // namespace
