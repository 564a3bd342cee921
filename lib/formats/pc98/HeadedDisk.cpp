// SPDX-License-Identifier: MIT
// One open routine for every headed format: read the header, check it, ask
// the file size, check it against the header, attach. The order is the
// formats' own: header checks decide before the size is asked for.
#include "HeadedDisk.h"

#include <array>
#include <cstring>

namespace qim {

namespace {

// Headers up to this size are read onto the stack; larger ones (the T98-Next
// R0 floppy's 68,112 bytes) into an allocation.
constexpr std::uint32_t kStackHeader = 1024;

constexpr std::uint64_t kMegabyte = 1 << 20;

struct FloppySize {
    std::uint64_t qwSize;
    DiskInfo Info;
};

constexpr std::array<FloppySize, 6> kFloppySizes = {{
    {0xA0000, {1280, 2, 8, 512}},
    {0xB4000, {1440, 2, 9, 512}},
    {0x12C000, {2400, 2, 15, 512}},
    {0x134000, {1232, 2, 8, 1024}},
    {0x168000, {2880, 2, 18, 512}},
    {0x2D0000, {5760, 2, 36, 512}},
}};

// A header value; HeadedRulesValid keeps the rules' offsets inside the header.
std::uint32_t ValueOf(const HeaderValue& v, std::span<const std::byte> header)
{
    switch (v.width) {
    case 1: return LoadLE<std::uint8_t>(header, v.offset);
    case 2: return LoadLE<std::uint16_t>(header, v.offset);
    case 4: return LoadLE<std::uint32_t>(header, v.offset);
    default: return v.value;
    }
}

// The geometry a header states, the total in 32 bits as the formats compute it.
DiskInfo GeometryOf(const HeadedRules& rules, std::span<const std::byte> header, std::uint32_t cylinders)
{
    const std::uint32_t heads = ValueOf(rules.heads, header);
    const std::uint32_t sectors = ValueOf(rules.sectors, header);
    return {cylinders * heads * sectors, heads, sectors, ValueOf(rules.bytesPerSector, header)};
}

}  // namespace

const DiskInfo* FloppyGeometryOfSize(std::uint64_t size)
{
    for (const FloppySize& entry : kFloppySizes)
        if (entry.qwSize == size)
            return &entry.Info;
    return nullptr;
}

int CheckHeadedHeader(const HeadedRules& rules, std::span<const std::byte> header)
{
    if (!rules.signature.empty() &&
        std::memcmp(header.data(), rules.signature.data(), rules.signature.size()) != 0)
        return ERR_INVALID_IMAGE;
    if (rules.checked.width != 0 && ValueOf(rules.checked, header) != rules.checkedValue)
        return ERR_INVALID_IMAGE;
    return 0;
}

int CheckHeadedSize(const HeadedRules& rules, std::span<const std::byte> header, std::uint64_t fileSize,
                    HeadedLayout* layout)
{
    const std::uint32_t dataOffset = ValueOf(rules.dataOffset, header);
    if (dataOffset < rules.minDataOffset)
        return ERR_INVALID_IMAGE;
    DiskInfo info{};
    switch (rules.size) {
    case HeadedSize::Geometry: {
        const std::uint32_t cylinders = ValueOf(rules.cylinders, header);
        info = GeometryOf(rules, header, cylinders);
        const std::uint64_t bytes = std::uint64_t{cylinders} * info.dwHeads * info.dwSectorsPerTrack *
                                    info.dwBytesPerSector;
        // Each factor is below 2^32 but four of them can pass 2^64; such a
        // product cannot be a file's size.
        if (cylinders != 0 && info.dwHeads != 0 && info.dwSectorsPerTrack != 0 && info.dwBytesPerSector != 0 &&
            bytes / cylinders / info.dwHeads / info.dwSectorsPerTrack != info.dwBytesPerSector)
            return ERR_INVALID_IMAGE;
        // Compared without adding, which could wrap past 2^64 as well.
        if (fileSize < bytes || fileSize - bytes != dataOffset)
            return ERR_INVALID_IMAGE;
        break;
    }
    case HeadedSize::Anex86: {
        // A 32-bit sum against the 64-bit size: a file of 4 GiB or more never matches.
        const std::uint32_t stated = ValueOf(rules.dataSize, header) + dataOffset;
        if (fileSize != stated)
            return ERR_INVALID_IMAGE;
        info = GeometryOf(rules, header, ValueOf(rules.cylinders, header));
        if (DiskByteSize(info) + dataOffset != fileSize)
            return ERR_INVALID_IMAGE;
        break;
    }
    case HeadedSize::FloppyTable: {
        const DiskInfo* floppy = fileSize >= dataOffset ? FloppyGeometryOfSize(fileSize - dataOffset) : nullptr;
        if (floppy == nullptr)
            return ERR_INVALID_IMAGE;
        info = *floppy;
        break;
    }
    case HeadedSize::Exact:
        if (fileSize != rules.fileSize)
            return ERR_INVALID_IMAGE;
        info = GeometryOf(rules, header, ValueOf(rules.cylinders, header));
        break;
    case HeadedSize::Megabytes:
        if (fileSize % kMegabyte != 0)
            return ERR_INVALID_IMAGE;
        info = GeometryOf(rules, header, static_cast<std::uint32_t>(fileSize / kMegabyte));
        break;
    }
    *layout = {dataOffset, info};
    return 0;
}

namespace {

// Reads the header into `header` (zeroed: in the kernel build a short read
// succeeds and leaves the rest of the buffer as it was), checks it, asks the
// size and checks that: 0 with the layout, or the first failing step's code.
int ReadAndCheck(NkHandle file, const HeadedRules& rules, std::span<std::byte> header, HeadedLayout* layout)
{
    std::memset(header.data(), 0, header.size());
    if (!header.empty() && !NkReadFile(file, 0, rules.headerBytes, header.data()))
        return ERR_READ_FILE;
    if (int rc = CheckHeadedHeader(rules, header); rc != 0)
        return rc;
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(file, &fileSize))
        return ERR_GET_FILE_SIZE;
    return CheckHeadedSize(rules, header, fileSize, layout);
}

}  // namespace

int HeadedDisk_Open(BetaDiskState* state, const char* path, std::uint32_t readOnly, const HeadedRules& rules)
{
    NkHandle file = nullptr;
    if (!NkCreateFile(path, readOnly, &file))
        return ERR_CREATE_FILE;
    ScopeGuard guard([file] { NkCloseFile(file); });

    HeadedLayout layout{};
    if (rules.headerBytes <= kStackHeader) {
        std::array<std::byte, kStackHeader> header;
        if (int rc = ReadAndCheck(file, rules, std::span(header).first(rules.headerBytes), &layout); rc != 0)
            return rc;
    } else {
        NkBuffer header(rules.headerBytes);
        if (!header)
            return ERR_NO_MEMORY;
        if (int rc = ReadAndCheck(file, rules, header.span(), &layout); rc != 0)
            return rc;
    }

    guard.release();
    BetaDisk_Attach(state, file, layout.dwDataOffset, &layout.Info);
    return 0;
}

void HeadedDisk_Close(BetaDiskState* state)
{
    if (NkHandle file = BetaDisk_Detach(state); file != nullptr)
        NkCloseFile(file);
    BetaDisk_Construct(state);
}

}  // namespace qim
