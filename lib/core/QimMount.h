// SPDX-License-Identifier: MIT
// What the control program and the driver share at the device node, as a
// driver and its tool share one interface header: the product's name, the two
// control requests and the mount record that QIM_MOUNT carries, with its one
// encoder and one decoder. Inline, so that anything that talks to the node
// (a test's stand-in included) can use it without the library.
#pragma once

#include "Disk.h"
#include "DiskEtc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace qim {

// The product line: the module description and the control program's banner.
inline constexpr const char* kQimDescription = "QIM for Linux Ver.0 alpha03";

// Plain request numbers: no direction or size bits, so the caller's raw
// argument reaches the driver and the driver reaches the caller's memory itself.
inline constexpr unsigned int QIM_MOUNT = 0x9201;  // argument: the address of a mount record
inline constexpr unsigned int QIM_UNMOUNT = 0x9202;  // argument: none
inline constexpr unsigned int QIM_STATUS = 0x9203;   // argument: the address of a status record

// The record's words in host order. A recognised image has its format code in
// word 1; a raw image has its geometry there (words 1 to 4) and its data
// offset in word 5. dwPartition is meaningful only when dwFloppy is 0.
struct MountRecord {
    std::uint32_t dwBeta;
    std::uint32_t dwDiskType;
    DiskInfo diBetaInfo;
    std::uint32_t dwImageOffset;
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
    std::uint32_t dwPartition;
    std::uint32_t dwReadOnly;
};

// On the wire: the ten words, little-endian, in the order of MountRecordWords;
// wNameLength (16 bits); the name, its terminating zero, one reserved byte.
inline constexpr std::size_t kMountRecordWordCount = 10;
inline constexpr std::size_t kMountRecordNameLengthAt = 4 * kMountRecordWordCount;
inline constexpr std::size_t kMountRecordNameAt = kMountRecordNameLengthAt + 2;
inline constexpr std::size_t kMountRecordFixedBytes = kMountRecordNameAt + 2;
static_assert(kMountRecordFixedBytes == 44);
// Longest name wNameLength describes.
inline constexpr std::uint32_t kMountRecordMaxName = 0xFFFF;

using MountRecordWordArray = std::array<std::uint32_t, kMountRecordWordCount>;

[[nodiscard]] constexpr std::uint32_t MountRecordLength(std::uint32_t nameLength)
{
    return nameLength + static_cast<std::uint32_t>(kMountRecordFixedBytes);
}

// The whole record's length as its fixed part states it.
[[nodiscard]] constexpr std::uint32_t StatedMountRecordLength(std::span<const std::byte, kMountRecordFixedBytes> fixed)
{
    return MountRecordLength(LoadLE<std::uint16_t>(fixed, kMountRecordNameLengthAt));
}

// Word 1 is the format code or the total sectors, as dwBeta says.
[[nodiscard]] constexpr MountRecordWordArray MountRecordWords(const MountRecord& r)
{
    const DiskInfo& g = r.diBetaInfo;
    return {r.dwBeta,   r.dwBeta != 0 ? g.dwTotalSectors : r.dwDiskType,
            g.dwHeads,  g.dwSectorsPerTrack,
            g.dwBytesPerSector,
            r.dwImageOffset,
            r.dwFloppy, r.dwPC98,
            r.dwPartition,
            r.dwReadOnly};
}

// Both readings of word 1 are filled; dwBeta says which one holds.
[[nodiscard]] constexpr MountRecord MountRecordOfWords(const MountRecordWordArray& w)
{
    return {w[0], w[1], {w[1], w[2], w[3], w[4]}, w[5], w[6], w[7], w[8], w[9]};
}

// Writes the record and path into out, which holds exactly
// MountRecordLength(path.size()) bytes; path.size() must not exceed kMountRecordMaxName.
inline void StoreMountRecord(const MountRecord& record, std::string_view path, std::span<std::byte> out)
{
    const MountRecordWordArray words = MountRecordWords(record);
    for (std::size_t i = 0; i < words.size(); ++i)
        StoreLE<std::uint32_t>(out, 4 * i, words[i]);
    StoreLE<std::uint16_t>(out, kMountRecordNameLengthAt, static_cast<std::uint16_t>(path.size()));
    const auto name = out.subspan(kMountRecordNameAt, path.size() + 2);
    std::memcpy(name.data(), path.data(), path.size());
    name[path.size()] = std::byte{0};      // the terminating zero
    name[path.size() + 1] = std::byte{0};  // the reserved byte
}

// Reads a record from a copy the reader owns. False when the copy is shorter
// than the length it states or the name has no terminating zero inside the
// copy; nothing past the copy is read. fileName points into the copy.
[[nodiscard]] inline bool LoadMountRecord(std::span<const std::byte> copy, MountRecord* record,
                                          const char** fileName)
{
    if (copy.size() < kMountRecordFixedBytes)
        return false;
    // The length is read from the copy: the caller's memory may have changed
    // since the reader measured it, and only the copy is trusted.
    const std::uint32_t length = StatedMountRecordLength(copy.first<kMountRecordFixedBytes>());
    if (copy.size() < length)
        return false;
    const auto name = copy.subspan(kMountRecordNameAt, length - kMountRecordNameAt - 1);
    if (std::memchr(name.data(), 0, name.size()) == nullptr)
        return false;
    MountRecordWordArray words{};
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = LoadLE<std::uint32_t>(copy, 4 * i);
    *record = MountRecordOfWords(words);
    *fileName = reinterpret_cast<const char*>(name.data());
    return true;
}

// What QIM_STATUS writes: the device asked about, as the driver sees it. On
// the wire: the words of StatusRecordWords, little-endian, then the image's
// name with its terminating zero in kStatusRecordNameBytes (empty while
// nothing is mounted). Openers do not count the asker's own open.
struct StatusRecord {
    std::uint32_t dwDevices;  // qim_devs
    std::uint32_t dwMinor;    // the device asked
    std::uint32_t dwMounted;
    std::uint32_t dwReadOnly;
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
    std::uint32_t dwPartition;  // 0-based, as the mount record's
    std::uint32_t dwOpeners;
    std::uint64_t qwBytes;  // the device's length
};

inline constexpr std::size_t kStatusRecordWordCount = 10;
inline constexpr std::size_t kStatusRecordNameAt = 4 * kStatusRecordWordCount;
inline constexpr std::size_t kStatusRecordNameBytes = 4096;
inline constexpr std::size_t kStatusRecordBytes = kStatusRecordNameAt + kStatusRecordNameBytes;

using StatusRecordWordArray = std::array<std::uint32_t, kStatusRecordWordCount>;

[[nodiscard]] constexpr StatusRecordWordArray StatusRecordWords(const StatusRecord& r)
{
    return {r.dwDevices, r.dwMinor, r.dwMounted, r.dwReadOnly, r.dwFloppy, r.dwPC98, r.dwPartition, r.dwOpeners,
            static_cast<std::uint32_t>(r.qwBytes), static_cast<std::uint32_t>(r.qwBytes >> 32)};
}

// Writes the record and name (cut to fit, always terminated) into out.
inline void StoreStatusRecord(const StatusRecord& record, std::string_view name,
                              std::span<std::byte, kStatusRecordBytes> out)
{
    const StatusRecordWordArray words = StatusRecordWords(record);
    for (std::size_t i = 0; i < words.size(); ++i)
        StoreLE<std::uint32_t>(out, 4 * i, words[i]);
    const std::size_t length = name.size() < kStatusRecordNameBytes ? name.size() : kStatusRecordNameBytes - 1;
    std::memset(out.data() + kStatusRecordNameAt, 0, kStatusRecordNameBytes);
    std::memcpy(out.data() + kStatusRecordNameAt, name.data(), length);
}

// Reads a record; name points into in and is always terminated there.
[[nodiscard]] inline StatusRecord LoadStatusRecord(std::span<std::byte, kStatusRecordBytes> in, const char** name)
{
    StatusRecordWordArray w{};
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = LoadLE<std::uint32_t>(in, 4 * i);
    in[kStatusRecordBytes - 1] = std::byte{0};
    *name = reinterpret_cast<const char*>(in.data() + kStatusRecordNameAt);
    return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8] | std::uint64_t{w[9]} << 32};
}

}  // namespace qim
