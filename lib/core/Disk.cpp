// SPDX-License-Identifier: MIT
// Format dispatch: format recognition by extension and probe, and the
// forwarding operations of the Disk object over the format rows.
#include "Disk.h"

#include "BetaDisk.h"
#include "DiskEtc.h"
#include "DiskFormats.h"
#include "DiskRefusal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace qim {

namespace {

// The codes of one extension are consecutive (DiskFormats.cpp checks), so a
// group is a slice of kDiskCodes.
std::span<const std::uint32_t> ExtensionGroup(std::string_view ext)
{
    std::size_t first = kDiskTypeCount;
    std::size_t last = 0;
    for (const DiskFormat& format : DiskFormats())
        if (DiskListsExtension(format.extensions, ext)) {
            first = std::min<std::size_t>(first, format.code);
            last = format.code;
        }
    if (first == kDiskTypeCount)
        return {};
    return std::span(kDiskCodes).subspan(first, last - first + 1);
}

// Offers the path to each code in turn; 0 at the first driver that accepts it.
int TrySet(Disk* disk, std::span<const std::uint32_t> codes, const char* path, std::uint32_t readOnly,
           DiskChain* chain)
{
    for (std::uint32_t code : codes)
        if (const DiskSetFunc set = apDiskSetFunc[code]; set != nullptr && set(disk, path, readOnly, chain) == 0)
            return 0;
    return ERR_INVALID_PARAMETER;
}

}  // namespace

std::span<const std::uint32_t> DiskExtensionCodes(const char* path)
{
    const char* dot = std::strrchr(path, '.');
    const char* slash = std::strrchr(path, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash))
        return {};
    return ExtensionGroup(dot + 1);
}

const DiskDriver* DiskDriverOf(std::uint32_t type)
{
    const DiskFormat* format = DiskFormatOf(type);
    if (format == nullptr || format->driver.Close == nullptr)
        return nullptr;
    return &format->driver;
}

void Disk_Construct(Disk* disk)
{
    disk->dwType = 0;
    disk->pImpl = nullptr;
}

namespace {
// Failed attempts' codes are discarded; the probe tries extension formats again.
int OpenInChain(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain)
{
    if (TrySet(disk, DiskExtensionCodes(path), path, readOnly, chain) == 0)
        return 0;
    return TrySet(disk, DiskProbeCodes(), path, readOnly, chain);
}

}  // namespace

int Disk_Open(Disk* disk, const char* path, std::uint32_t readOnly)
{
    DiskClearRefusal();
    return OpenInChain(disk, path, readOnly, nullptr);
}

int Disk_OpenType(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t type)
{
    DiskClearRefusal();
    if (type >= kDiskTypeCount || apDiskSetFunc[type] == nullptr)
        return ERR_INVALID_PARAMETER;
    return apDiskSetFunc[type](disk, path, readOnly, nullptr);
}

int Disk_OpenBeta(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset,
                  const DiskInfo* info)
{
    DiskClearRefusal();
    return BetaDiskSet(disk, path, readOnly, dataOffset, info);
}

// A Disk that was constructed but never opened has code 0, which names a
// driver: without a state there is nothing for any driver to serve or close.
namespace {
const DiskDriver* OpenDriverOf(const Disk* disk)
{
    return disk->pImpl != nullptr ? DiskDriverOf(disk->dwType) : nullptr;
}
}  // namespace

void Disk_Close(Disk* disk)
{
    if (const DiskDriver* driver = OpenDriverOf(disk); driver != nullptr)
        driver->Close(disk->pImpl);
    disk->dwType = 0;
    NkFree(disk->pImpl);
    disk->pImpl = nullptr;
}

void Disk_GetDiskInfo(Disk* disk, DiskInfo* info)
{
    if (const DiskDriver* driver = OpenDriverOf(disk); driver != nullptr)
        driver->GetDiskInfo(disk->pImpl, info);
}

int Disk_Read(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count, void* buffer)
{
    const DiskDriver* driver = OpenDriverOf(disk);
    if (driver == nullptr)
        return ERR_INVALID_PARAMETER;
    return driver->Read(disk->pImpl, (std::uint64_t{offsetHigh} << 32) | offsetLow, count, buffer);
}

int Disk_Write(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count,
               const void* buffer)
{
    const DiskDriver* driver = OpenDriverOf(disk);
    if (driver == nullptr)
        return ERR_INVALID_PARAMETER;
    return driver->Write(disk->pImpl, (std::uint64_t{offsetHigh} << 32) | offsetLow, count, buffer);
}

int Disk_GetAllocation(Disk* disk, std::uint64_t offset, std::uint64_t* length, std::uint32_t* where)
{
    const DiskDriver* driver = OpenDriverOf(disk);
    if (driver == nullptr || *length == 0)
        return ERR_INVALID_PARAMETER;
    DiskInfo info{};
    driver->GetDiskInfo(disk->pImpl, &info);
    const std::uint64_t size = DiskByteSize(info);
    if (offset > size || *length > size - offset)
        return ERR_INVALID_PARAMETER;
    if (driver->Allocation == nullptr) {
        *where = DISK_ALLOCATED;
        return 0;
    }
    const std::uint64_t asked = *length;
    if (int rc = driver->Allocation(disk->pImpl, offset, length, where); rc != 0)
        return rc;
    // A driver's answer never leaves the range or stops the caller's walk.
    if (*length == 0 || *length > asked || *where > DISK_UNALLOCATED)
        return ERR_INVALID_IMAGE;
    return 0;
}

int Disk_GetParent(Disk* disk, const char* childPath, Disk** parent, std::span<char> path)
{
    *parent = nullptr;
    const DiskDriver* driver = OpenDriverOf(disk);
    if (driver == nullptr)
        return ERR_INVALID_PARAMETER;
    return driver->Parent != nullptr ? driver->Parent(disk->pImpl, childPath, parent, path) : 0;
}

int Disk_Check(const char* path, std::uint32_t type, DiskCheckSink sink, void* param)
{
    const DiskFormat* format = DiskFormatOf(type);
    if (format == nullptr)
        return ERR_INVALID_PARAMETER;
    return format->driver.Check != nullptr ? format->driver.Check(path, sink, param) : 0;
}

int Disk_CheckAny(const char* path, std::uint32_t* type, DiskCheckSink sink, void* param)
{
    for (std::span<const std::uint32_t> codes : {DiskExtensionCodes(path), DiskProbeCodes()})
        for (std::uint32_t code : codes)
            if (const DiskCheckFunc check = DiskFormats()[code].driver.Check; check != nullptr)
                if (int rc = check(path, sink, param); rc != ERR_INVALID_PARAMETER) {
                    *type = code;
                    return rc;
                }
    return ERR_INVALID_PARAMETER;
}

const char* DiskErrorText(int code)
{
    switch (code) {
    case 0:
        return "success";
    case ERR_CREATE_FILE:
        return "cannot open the file (or a file it names)";
    case ERR_READ_FILE:
        return "cannot read the file";
    case ERR_WRITE_FILE:
        return "cannot write the file";
    case ERR_GET_FILE_SIZE:
        return "cannot get the file size";
    case ERR_NO_MEMORY:
        return "out of memory";
    case ERR_INVALID_IMAGE:
        return "the contents do not fit the format";
    case ERR_INVALID_PARAMETER:
        return "no driver accepts it, or the request lies outside the disk";
    case ERR_EXTEND_FILE:
        return "cannot extend the image file";
    default:
        return "unknown error";
    }
}


int Disk_OpenParent(Disk* parent, const char* childPath, const char* name, DiskChain* chain)
{
    DiskChain top{};
    DiskChain* c = chain != nullptr ? chain : &top;
    if (c->bTooDeep || c->dwDepth >= kMaxParentDepth) {
        c->bTooDeep = true;
        return ERR_INVALID_IMAGE;
    }
    if (c->bBroken)
        return ERR_INVALID_PARAMETER;
    NkBuffer path(kNkMaxPath);
    if (!path)
        return ERR_NO_MEMORY;
    const std::span<char> out(reinterpret_cast<char*>(path.data()), kNkMaxPath);
    if (int rc = GetBaseFileFullPath(childPath, name, out); rc != 0)
        return rc;
    ++c->dwDepth;
    int rc = OpenInChain(parent, out.data(), 1, c);
    --c->dwDepth;
    if (rc != 0 && c->bTooDeep)
        rc = ERR_INVALID_IMAGE;
    if (rc != 0)
        DiskRefuseParent(out.data());
    if (rc != 0 && c->dwDepth > 0)
        c->bBroken = true;
    return rc;
}

int GetBaseFileFullPath(const char* imagePath, const char* name, std::span<char> out)
{
    const std::size_t nameLength = std::strlen(name);
    const std::size_t imageLength = std::strlen(imagePath);
    std::size_t dirLength = 0;
    if (name[0] != '/') {
        if (imageLength >= kNkMaxPath)
            return ERR_INVALID_PARAMETER;
        if (const char* slash = std::strrchr(imagePath, '/'); slash != nullptr)
            dirLength = static_cast<std::size_t>(slash - imagePath) + 1;
    }
    if (dirLength + nameLength >= kNkMaxPath || dirLength + nameLength >= out.size())
        return ERR_INVALID_PARAMETER;
    std::memmove(out.data(), imagePath, dirLength);
    std::memmove(out.data() + dirLength, name, nameLength + 1);
    return 0;
}

}  // namespace qim
