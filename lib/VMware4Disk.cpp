// Shared steps of the VMware 4 disk drivers.
#include "VMware4Disk.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace qim {

namespace {

constexpr std::uint64_t kSector = 512;

template <class Byte>
int TransferExtents(std::uint32_t count, VMware4Sparse* extents, Disk* parent, std::uint64_t offset,
                    std::span<Byte> buf)
{
    std::uint64_t base = 0;
    for (std::uint32_t k = 0; k < count && !buf.empty(); ++k) {
        const std::uint64_t size = std::uint64_t{extents[k].dwCapacity} * kSector;
        if (offset < base + size) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(base + size - offset, buf.size()));
            const VMware4Parent from{parent, base};
            const VMware4Parent* p = parent != nullptr ? &from : nullptr;
            int rc = 0;
            if constexpr (std::is_const_v<Byte>)
                rc = VMware4Extent_Write(&extents[k], p, offset - base, buf.first(n));
            else
                rc = VMware4Extent_Read(&extents[k], p, offset - base, buf.first(n));
            if (rc != 0)
                return rc;
            buf = buf.subspan(n);
            offset += n;
        }
        base += size;
    }
    return 0;
}

}  // namespace

int ReadVMware4Descriptor(const char* path, std::uint32_t readOnly, bool wholeFile, VMware4OpenWork** work)
{
    *work = NkMallocState<VMware4OpenWork>();
    if (*work == nullptr)
        return ERR_NO_MEMORY;
    std::memset(static_cast<void*>(*work), 0, sizeof(VMware4OpenWork));
    NkHandle file = nullptr;
    if (!NkCreateFile(path, readOnly, &file))
        return ERR_CREATE_FILE;
    ScopeGuard closeFile([file] { NkCloseFile(file); });
    std::uint64_t offset = 512;
    std::uint64_t length = kDescriptionTextBytes;
    if (wholeFile) {
        if (!NkGetFileSize(file, &length))
            return ERR_GET_FILE_SIZE;
        if (length > kDescriptionTextBytes)
            return ERR_INVALID_IMAGE;
        offset = 0;
    }
    return NkReadFile(file, offset, static_cast<std::uint32_t>(length), (*work)->achText.data()) ? 0 : ERR_READ_FILE;
}

int ParseVMware4PlainDescription(VMware4OpenWork* work, const char* createType)
{
    VMware4DiskDescription& d = work->Plain;
    VMware4DiskDescription_Init(&d);
    if (!VMware4DiskDescription_Parse(&d, work->achText))
        return ERR_INVALID_IMAGE;
    const bool adapter = NkCompareString(d.pszAdapterType, "ide", 1) == 0 ||
                         NkCompareString(d.pszAdapterType, "buslogic", 1) == 0;
    const bool valid = NkCompareString(d.pszCreateType, createType, 1) == 0 && d.dwVirtualHWVersion == 3 &&
                       adapter && d.dwExtentCount >= 1 && d.pszParentFileNameHint == nullptr;
    return valid ? 0 : ERR_INVALID_IMAGE;
}

int OpenVMware4Extents(const char* descriptorPath, std::uint32_t readOnly, std::uint32_t count,
                       std::span<const std::uint32_t> sectors, std::span<char* const> files,
                       std::span<char, kNkMaxPath> pathBuffer, VMware4ExtentOpenFunc open,
                       VMware4ExtentCloseFunc close, VMware4Sparse** extents, std::uint32_t* totalSectors)
{
    auto* row = static_cast<VMware4Sparse*>(NkMalloc(static_cast<std::uint32_t>(sizeof(VMware4Sparse) * count)));
    if (row == nullptr)
        return ERR_NO_MEMORY;
    for (std::uint32_t k = 0; k < count; ++k)
        VMware4Sparse_Construct(&row[k]);
    ScopeGuard guard([&row, count, close] { CloseVMware4Extents(count, &row, close); });

    // Extent names are joined to the descriptor's directory exactly as written.
    const char* slash = std::strrchr(descriptorPath, '/');
    const std::size_t dirLength = slash != nullptr ? static_cast<std::size_t>(slash - descriptorPath) + 1 : 0;
    std::uint64_t total = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::size_t nameLength = std::strlen(files[k]);
        if (dirLength + nameLength >= pathBuffer.size())
            return ERR_INVALID_IMAGE;
        std::memcpy(pathBuffer.data(), descriptorPath, dirLength);
        std::memcpy(pathBuffer.data() + dirLength, files[k], nameLength + 1);
        if (int rc = open(&row[k], pathBuffer.data(), readOnly, 1); rc != 0)
            return rc;
        if (row[k].dwCapacity != sectors[k])
            return ERR_INVALID_IMAGE;
        total += row[k].dwCapacity;
    }
    // The disk's size is a 32-bit sector count.
    if (total > UINT32_MAX)
        return ERR_INVALID_IMAGE;
    guard.release();
    *extents = row;
    *totalSectors = static_cast<std::uint32_t>(total);
    return 0;
}

void CloseVMware4Extents(std::uint32_t count, VMware4Sparse** extents, VMware4ExtentCloseFunc close)
{
    if (*extents == nullptr)
        return;
    for (std::uint32_t k = 0; k < count; ++k)
        close(&(*extents)[k]);
    NkFree(*extents);
    *extents = nullptr;
}

int ReadVMware4Extents(std::uint32_t count, VMware4Sparse* extents, Disk* parent, std::uint64_t offset,
                       std::span<std::byte> buffer)
{
    return TransferExtents(count, extents, parent, offset, buffer);
}

int WriteVMware4Extents(std::uint32_t count, VMware4Sparse* extents, Disk* parent, std::uint64_t offset,
                        std::span<const std::byte> data)
{
    return TransferExtents(count, extents, parent, offset, data);
}

}  // namespace qim
