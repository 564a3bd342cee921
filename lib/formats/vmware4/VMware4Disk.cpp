// SPDX-License-Identifier: MIT
// Shared steps of the VMware 4 disk drivers.
#include "VMware4Disk.h"

#include "DiskCheck.h"
#include "SparseParent.h"

#include <algorithm>
#include <cstring>
#include <string_view>
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
            const auto at = offset - base;
            const auto length = static_cast<std::uint32_t>(n);
            int rc = 0;
            if constexpr (std::is_const_v<Byte>)
                rc = parent != nullptr ? VMware4RedoSparse_Write(&extents[k], parent, base, at, length, buf.data())
                                       : VMware4Sparse_Write(&extents[k], at, length, buf.data());
            else
                rc = parent != nullptr ? VMware4RedoSparse_Read(&extents[k], parent, base, at, length, buf.data())
                                       : VMware4Sparse_Read(&extents[k], at, length, buf.data());
            if (rc != 0)
                return rc;
            buf = buf.subspan(n);
            offset += n;
        }
        base += size;
    }
    return 0;
}

// The extent file a descriptor names, joined to the descriptor's directory
// exactly as written; false when it does not fit the buffer.
bool ExtentPath(const char* descriptorPath, const char* name, std::span<char> out)
{
    const char* slash = std::strrchr(descriptorPath, '/');
    const std::size_t dirLength = slash != nullptr ? static_cast<std::size_t>(slash - descriptorPath) + 1 : 0;
    const std::size_t nameLength = std::strlen(name);
    if (dirLength + nameLength >= out.size())
        return false;
    std::memcpy(out.data(), descriptorPath, dirLength);
    std::memcpy(out.data() + dirLength, name, nameLength + 1);
    return true;
}

// A CID: one to eight hex digits; false for anything else.
bool ParseCid(std::string_view text, std::uint32_t* value)
{
    std::uint32_t v = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        v = v << 4 | static_cast<std::uint32_t>(digit);
    }
    *value = v;
    return !text.empty() && text.size() <= 8;
}

}  // namespace

int CheckVMware4ParentCid(const char* parentPath, const char* parentCid, std::uint32_t* recorded,
                          std::uint32_t* found)
{
    if (parentCid == nullptr || !ParseCid(parentCid, recorded))
        return 0;
    NkHandle file = nullptr;
    std::array<std::byte, 4> magic{};
    if (!NkCreateFile(parentPath, 1, &file))
        return ERR_CREATE_FILE;
    const bool read = NkReadFile(file, 0, 4, magic.data());
    NkCloseFile(file);
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    // The descriptor is embedded in a monolithic extent, else the whole file.
    const bool embedded = read && LoadLE<std::uint32_t>(magic, 0) == 0x564D444B;
    if (int rc = ReadVMware4Descriptor(parentPath, 1, !embedded, &work); rc == ERR_NO_MEMORY)
        return rc;
    else if (rc != 0)
        return 0;  // no VMware 4 disk: it records no CID
    VMware4DiskDescription_Init(&work->Plain);
    if (!VMware4DiskDescription_Parse(&work->Plain, work->achText) || work->Plain.pszCID == nullptr || !ParseCid(work->Plain.pszCID, found))
        return 0;
    return *recorded == *found ? 0 : ERR_INVALID_IMAGE;
}

int VMware4Cid_Init(VMware4Cid* cid, const char* text, std::uint64_t textAt, NkHandle file, const char* path,
                    std::uint32_t readOnly)
{
    *cid = {file, false, true, 0, 0, {}};
    // The line "CID = digits", blanks being spaces; parentCID is another line.
    const std::string_view all(text, static_cast<std::size_t>(std::find(text, text + kDescriptionTextBytes, '\0') - text));
    for (std::size_t line = 0; line < all.size(); line = all.find('\n', line) == std::string_view::npos
                                                              ? all.size()
                                                              : all.find('\n', line) + 1) {
        std::size_t at = all.find_first_not_of(' ', line);
        if (at == std::string_view::npos || all.compare(at, 3, "CID") != 0)
            continue;
        at = all.find_first_not_of(' ', at + 3);
        if (at == std::string_view::npos || all[at] != '=')
            continue;
        at = all.find_first_not_of(' ', at + 1);
        const std::size_t end = at == std::string_view::npos ? at : all.find_first_not_of("0123456789abcdefABCDEF", at);
        std::uint32_t old = 0;
        if (at == std::string_view::npos || !ParseCid(all.substr(at, end - at), &old))
            return 0;
        const auto digits = static_cast<std::uint32_t>(std::min(end, all.size()) - at);
        // Another value of as many digits, never the "no parent" one.
        const std::uint32_t mask = digits == 8 ? 0xFFFFFFFFu : (1u << (4 * digits)) - 1;
        std::uint32_t fresh = ((old ^ 0x5BD1E995u) * 0x9E3779B1u + 0x7F4A7C15u) & mask;
        if (fresh == old || fresh == mask)
            fresh = (old + 1) & mask;
        for (std::uint32_t d = digits; d-- > 0; fresh >>= 4)
            cid->achNew[d] = "0123456789abcdef"[fresh & 15];
        cid->qwAt = textAt + at;
        cid->dwDigits = digits;
        cid->bRenewed = readOnly != 0;
        if (file == nullptr && path != nullptr && readOnly == 0) {
            if (!NkCreateFile(path, 0, &cid->hFile))
                return ERR_CREATE_FILE;
            cid->bOwned = true;
        }
        return 0;
    }
    return 0;
}

int VMware4Cid_Renew(VMware4Cid* cid)
{
    if (cid->bRenewed)
        return 0;
    if (!NkWriteFile(cid->hFile, cid->qwAt, cid->dwDigits, cid->achNew.data()))
        return ERR_WRITE_FILE;
    cid->bRenewed = true;
    return 0;
}

void VMware4Cid_Close(VMware4Cid* cid)
{
    if (cid->bOwned)
        NkCloseFile(cid->hFile);
    *cid = {};
}

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
    if (NkCompareString(d.pszCreateType, createType, 1) == 0 && d.dwVirtualHWVersion != 3)
        DiskRefuse(DISK_REFUSED_VARIANT, "ddb.virtualHWVersion is %u: this driver reads only 3", d.dwVirtualHWVersion);
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

    std::uint64_t total = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        if (!ExtentPath(descriptorPath, files[k], pathBuffer))
            return ERR_INVALID_IMAGE;
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

int VMware4Extents_Allocation(std::uint32_t count, VMware4Sparse* extents, Disk* parent, std::uint64_t offset,
                              std::uint64_t* length, std::uint32_t* where)
{
    std::uint64_t base = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint64_t size = std::uint64_t{extents[k].dwCapacity} * kSector;
        if (offset < base + size) {
            *length = std::min(*length, base + size - offset);
            return VMware4Sparse_Allocation(&extents[k], parent, offset - base, length, where);
        }
        base += size;
    }
    return ERR_INVALID_PARAMETER;
}

int CheckVMware4DescribedDisk(const char* path, bool redo, DiskCheckSink sink, void* param)
{
    VMware4OpenWork* work = nullptr;
    ScopeGuard freeWork([&work] { NkFree(work); });
    if (int rc = ReadVMware4Descriptor(path, 1, true, &work); rc == ERR_NO_MEMORY)
        return rc;
    else if (rc != 0)
        return ERR_INVALID_PARAMETER;
    std::uint32_t count = 0;
    const std::uint32_t* sectors = nullptr;
    char* const* files = nullptr;
    if (redo) {
        VMware4RedoDiskDescription& d = work->Redo;
        VMware4RedoDiskDescription_Init(&d);
        if (!VMware4RedoDiskDescription_Parse(&d, work->achText) ||
            NkCompareString(d.pszCreateType, "twoGbMaxExtentSparse", 1) != 0 || d.dwExtentCount == 0)
            return ERR_INVALID_PARAMETER;
        count = d.dwExtentCount;
        sectors = d.adwExtentSectors.data();
        files = d.apszExtentFile.data();
        std::uint32_t recorded = 0, found = 0;
        if (SparseParent_Present(path, d.pszParentFileNameHint, work->achPath, sink, param) &&
            CheckVMware4ParentCid(work->achPath.data(), d.pszParentCID, &recorded, &found) == ERR_INVALID_IMAGE)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT,
                             "the parent is another disk than the one the image was made over", "parentCID", recorded,
                             "parent's CID", found);
    } else {
        const VMware4DiskDescription& d = work->Plain;
        if (ParseVMware4PlainDescription(work, "twoGbMaxExtentSparse") != 0)
            return ERR_INVALID_PARAMETER;
        count = d.dwExtentCount;
        sectors = d.adwExtentSectors.data();
        files = d.apszExtentFile.data();
    }
    std::uint64_t firstGrain = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        int rc = ExtentPath(path, files[k], work->achPath) ? 0 : ERR_CREATE_FILE;
        if (rc == 0)
            rc = VMware4Sparse_CheckFile(work->achPath.data(), firstGrain, sink, param);
        if (rc == ERR_CREATE_FILE)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "an extent file is missing", "extent", k + 1);
        else if (rc == ERR_INVALID_PARAMETER)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "an extent file is no sparse extent", "extent", k + 1);
        else if (rc != 0)
            return rc;
        firstGrain += (std::uint64_t{sectors[k]} + 127) / 128;
    }
    return 0;
}

}  // namespace qim
