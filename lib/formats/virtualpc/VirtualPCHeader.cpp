// SPDX-License-Identifier: MIT
// Virtual PC footer, dynamic header, parent locator and sector bitmap checks.
// Only the fields the drivers rely on are checked; nothing is checksummed,
// and of the dynamic header's checksum only the first two bytes are looked at.
#include "VirtualPCHeader.h"

#include "DiskEtc.h"

namespace qim {

namespace {

constexpr std::uint64_t kConectix = 0x636F6E6563746978;  // "conectix"
constexpr std::uint64_t kCxsparse = 0x6378737061727365;  // "cxsparse"
constexpr std::uint32_t kVersion1 = 0x00010000;
constexpr std::uint32_t kCreatorVpc = 0x76706320;  // "vpc "
constexpr std::uint32_t kWi2k = 0x5769326B;        // "Wi2k"
constexpr std::uint64_t kNoOffset = 0xFFFFFFFFFFFFFFFF;
constexpr std::uint64_t kMiB = 1 << 20;

}  // namespace

int CheckMainHeader(std::span<const std::byte> footer, std::uint32_t expectedType)
{
    const bool fixed = expectedType == kVpcTypeFixed;
    const bool sparse = expectedType == kVpcTypeDynamic || expectedType == kVpcTypeDifferencing;
    const bool pass = LoadBE<std::uint64_t>(footer, kVpcFooterCookie) == kConectix &&
                      LoadBE<std::uint32_t>(footer, kVpcFooterVersion) == kVersion1 &&
                      LoadBE<std::uint32_t>(footer, kVpcFooterDiskType) == expectedType && (fixed || sparse) &&
                      LoadBE<std::uint64_t>(footer, kVpcFooterDataOffset) == (fixed ? kNoOffset : 512) &&
                      LoadBE<std::uint32_t>(footer, kVpcFooterCreatorApp) == kCreatorVpc &&
                      LoadBE<std::uint64_t>(footer, kVpcFooterOriginalSize) ==
                          LoadBE<std::uint64_t>(footer, kVpcFooterCurrentSize);
    if (!pass && LoadBE<std::uint64_t>(footer, kVpcFooterCookie) == kConectix &&
        LoadBE<std::uint32_t>(footer, kVpcFooterCreatorApp) != kCreatorVpc)
        DiskRefuse(DISK_REFUSED_VARIANT, "creator application \"%.4s\": this driver reads only \"vpc \"",
                   reinterpret_cast<const char*>(footer.data() + kVpcFooterCreatorApp));
    return pass ? 0 : ERR_INVALID_IMAGE;
}

int CheckSparseHeader(std::span<const std::byte> header, std::uint32_t sizeMiB)
{
    const bool pass = LoadBE<std::uint64_t>(header, kVpcSparseCookie) == kCxsparse &&
                      LoadBE<std::uint64_t>(header, kVpcSparseDataOffset) == kNoOffset &&
                      LoadBE<std::uint64_t>(header, kVpcSparseTableOffset) == kVpcBlockTableOffset &&
                      LoadBE<std::uint32_t>(header, kVpcSparseVersion) == kVersion1 &&
                      LoadBE<std::uint32_t>(header, kVpcSparseMaxTableEntries) == (sizeMiB + 1) / 2 &&
                      LoadBE<std::uint32_t>(header, kVpcSparseBlockSize) == kVpcBlockSize &&
                      LoadBE<std::uint16_t>(header, kVpcSparseChecksum) == 0xFFFF;
    return pass ? 0 : ERR_INVALID_IMAGE;
}

int CheckDifferenceHeader(std::span<const std::byte> locator)
{
    const bool pass = LoadBE<std::uint32_t>(locator, kVpcLocatorCode) == kWi2k &&
                      LoadBE<std::uint32_t>(locator, kVpcLocatorDataSpace) == 512;
    return pass ? 0 : ERR_INVALID_IMAGE;
}

std::uint64_t VirtualPCOriginalSize(std::span<const std::byte> footer)
{
    return LoadBE<std::uint64_t>(footer, kVpcFooterOriginalSize);
}

int VirtualPCFooterInfo(std::span<const std::byte> footer, DiskInfo* info)
{
    const std::uint32_t heads = LoadBE<std::uint8_t>(footer, kVpcFooterHeads);
    const std::uint32_t sectorsPerTrack = LoadBE<std::uint8_t>(footer, kVpcFooterSectorsPerTrack);
    // At most 65535 × 255 × 255 sectors: the product fits 32 bits.
    const std::uint32_t total = LoadBE<std::uint16_t>(footer, kVpcFooterCylinders) * heads * sectorsPerTrack;
    const std::uint64_t rounded = (std::uint64_t{total} + 2047) / 2048 * kMiB;
    if (VirtualPCOriginalSize(footer) != rounded)
        return ERR_INVALID_IMAGE;
    *info = {total, heads, sectorsPerTrack, kVpcSectorSize};
    return 0;
}

int IsExistData(std::uint32_t sector, std::span<const std::byte, kVpcBitmapLength> bitmap)
{
    return std::to_integer<int>(bitmap[sector / 8 % kVpcBitmapLength] >> (7 - sector % 8)) & 1;
}

void SetMiniBlockBit(std::uint32_t sector, std::span<std::byte, kVpcBitmapLength> bitmap)
{
    bitmap[sector / 8 % kVpcBitmapLength] |= std::byte{0x80} >> (sector % 8);
}

}  // namespace qim
