// SPDX-License-Identifier: MIT
// The headed formats of the PC-98 emulators and the FM Towns: a header (or
// none) at the start of the file, then the disk as one run of sectors. Each
// driver is a table of rules; one open routine reads the header, applies the
// rules and attaches the file to a BetaDiskState, which then serves the disk.
#pragma once

#include "BetaDisk.h"
#include "DiskEtc.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qim {

// A number taken from the header (a little-endian field of width 1, 2 or 4
// bytes at offset) or, with width 0, the constant value.
struct HeaderValue {
    std::uint32_t offset;
    std::uint32_t width;
    std::uint32_t value;
};
[[nodiscard]] constexpr HeaderValue Field8(std::uint32_t offset) { return {offset, 1, 0}; }
[[nodiscard]] constexpr HeaderValue Field16(std::uint32_t offset) { return {offset, 2, 0}; }
[[nodiscard]] constexpr HeaderValue Field32(std::uint32_t offset) { return {offset, 4, 0}; }
[[nodiscard]] constexpr HeaderValue Fixed(std::uint32_t value) { return {0, 0, value}; }

// How the file size must match the header.
enum class HeadedSize : std::uint32_t {
    // size = cylinders x heads x sectors x bytes (64-bit product) + data offset
    Geometry,
    // Anex86: size below 4 GiB and equal to dataSize + data offset in 32 bits,
    // then (32-bit total sectors) x bytes + data offset in 64 bits
    Anex86,
    // T98-Next floppies: size - data offset is one of the listed floppy sizes
    FloppyTable,
    // size = fileSize exactly; the disk is the geometry's first bytes
    Exact,
    // Unz: a whole number of 1 MiB cylinders; the cylinders come from the size
    Megabytes,
};

struct HeadedRules {
    std::uint32_t headerBytes = 0;       // read from offset 0 before any check; 0 reads nothing
    std::string_view signature = {};     // at offset 0, its NUL included; empty when none
    HeaderValue checked = Fixed(0);      // a field that must equal checkedValue; none when Fixed
    std::uint32_t checkedValue = 0;
    HeaderValue cylinders = Fixed(0);
    HeaderValue heads = Fixed(0);
    HeaderValue sectors = Fixed(0);
    HeaderValue bytesPerSector = Fixed(0);
    HeaderValue dataOffset = Fixed(0);
    std::uint32_t minDataOffset = 0;     // the data never begins inside the fields examined
    HeadedSize size = HeadedSize::Exact;
    HeaderValue dataSize = Fixed(0);     // Anex86's dwDataSize
    std::uint64_t fileSize = 0;          // the one size of an Exact format
};

// Where the disk lies in a file that passed the rules.
struct HeadedLayout {
    std::uint32_t dwDataOffset;
    DiskInfo Info;
};

// The checks on the header bytes alone, in their order: 0 or ERR_INVALID_IMAGE.
[[nodiscard]] int CheckHeadedHeader(const HeadedRules& rules, std::span<const std::byte> header);
// The size rule and the geometry, for a header that passed CheckHeadedHeader.
[[nodiscard]] int CheckHeadedSize(const HeadedRules& rules, std::span<const std::byte> header,
                                  std::uint64_t fileSize, HeadedLayout* layout);

// True when every field the rules name lies inside the header they read;
// each driver asserts it of its table at compile time.
[[nodiscard]] constexpr bool HeadedRulesValid(const HeadedRules& r)
{
    const auto inside = [&r](const HeaderValue& v) { return v.width == 0 || v.offset + v.width <= r.headerBytes; };
    return r.signature.size() <= r.headerBytes && inside(r.checked) && inside(r.cylinders) && inside(r.heads) &&
           inside(r.sectors) && inside(r.bytesPerSector) && inside(r.dataOffset) && inside(r.dataSize);
}

// The floppy sizes T98-Next floppies and raw floppy files come in (heads
// always 2): the geometry of a data size, or null when it is not listed.
[[nodiscard]] const DiskInfo* FloppyGeometryOfSize(std::uint64_t size);

// Opens path, reads the header, applies the rules and attaches the file to
// state. On failure the file is closed and the state constructed again.
[[nodiscard]] int HeadedDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly,
                                  const HeadedRules& rules);
// Takes the file back from the state, closes it and constructs the state.
void HeadedDisk_Close(BetaDiskState* state);

// The dispatch row of a headed driver from its Set function.
template <auto Set> constexpr DiskDriver HeadedDiskDriver()
{
    return MakeDiskDriver<Set, HeadedDisk_Close, BetaDisk_GetDiskInfo, BetaDisk_Read, BetaDisk_Write>();
}

}  // namespace qim
