// Format dispatch: the driver tables, format recognition by extension and
// probe, and the forwarding operations of the Disk object.
#include "Disk.h"

#include "BetaDisk.h"
#include "DiskEtc.h"
#include "VMware2HardDisk.h"
#include "VMware3HardDisk.h"

#include <array>
#include <cstring>
#include <string_view>

namespace qim {

namespace {

// One row per DiskType code, in code order. A format driver adds its row with
// MakeDiskDriver<XxxSet, Xxx_Close, Xxx_GetDiskInfo, Xxx_Read, Xxx_Write>().
constexpr std::array<DiskDriver, kDiskTypeCount> kDiskDrivers = {
    DiskDriver{},
    DiskDriver{},
    DiskDriver{},
    MakeDiskDriver<VMware3HardDiskSet, VMware3HardDisk_Close, VMware3HardDisk_GetDiskInfo, VMware3HardDisk_Read,
                   VMware3HardDisk_Write>(),
    MakeDiskDriver<VMware3RedoHardDiskSet, VMware3RedoHardDisk_Close, VMware3RedoHardDisk_GetDiskInfo,
                   VMware3RedoHardDisk_Read, VMware3RedoHardDisk_Write>(),
    MakeDiskDriver<VMware2HardDiskSet, VMware2HardDisk_Close, VMware2HardDisk_GetDiskInfo, VMware2HardDisk_Read,
                   VMware2HardDisk_Write>(),
    MakeDiskDriver<VMware2RedoHardDiskSet, VMware2RedoHardDisk_Close, VMware2RedoHardDisk_GetDiskInfo,
                   VMware2RedoHardDisk_Read, VMware2RedoHardDisk_Write>(),
};

template <auto Member> constexpr auto Column()
{
    std::array<std::remove_cvref_t<decltype(DiskDriver{}.*Member)>, kDiskTypeCount> column{};
    for (std::size_t i = 0; i < kDiskTypeCount; ++i)
        column[i] = kDiskDrivers[i].*Member;
    return column;
}

}  // namespace

// The five dispatch tables, indexed by DiskType.
constexpr auto apDiskSetFunc = Column<&DiskDriver::Set>();
constexpr auto apClose = Column<&DiskDriver::Close>();
constexpr auto apGetDiskInfo = Column<&DiskDriver::GetDiskInfo>();
constexpr auto apRead = Column<&DiskDriver::Read>();
constexpr auto apWrite = Column<&DiskDriver::Write>();

namespace {

struct ExtensionGroup {
    std::string_view extension;
    std::span<const std::uint32_t> codes;
};

constexpr std::array<std::uint32_t, 5> kVmdkCodes = {0, 1, 2, 3, 4};
constexpr std::array<std::uint32_t, 2> kDskCodes = {5, 6};
constexpr std::array<std::uint32_t, 3> kVhdCodes = {7, 8, 9};
constexpr std::array<std::uint32_t, 1> kHdiCodes = {10};
constexpr std::array<std::uint32_t, 1> kThdCodes = {11};
constexpr std::array<std::uint32_t, 1> kNhdCodes = {12};
constexpr std::array<std::uint32_t, 1> kHddCodes = {13};
constexpr std::array<std::uint32_t, 1> kUnzCodes = {15};
constexpr std::array<std::uint32_t, 1> kFdiCodes = {16};
constexpr std::array<std::uint32_t, 1> kD88Codes = {17};
constexpr std::array<std::uint32_t, 2> kNfdCodes = {18, 19};
constexpr std::array<std::uint32_t, 1> kRomCodes = {20};

// Extension "h0" to "h4" (Unz) is matched by its shape instead.
constexpr std::array<ExtensionGroup, 11> kExtensionGroups = {{
    {"vmdk", kVmdkCodes},
    {"dsk", kDskCodes},
    {"vhd", kVhdCodes},
    {"hdi", kHdiCodes},
    {"thd", kThdCodes},
    {"nhd", kNhdCodes},
    {"hdd", kHddCodes},
    {"fdi", kFdiCodes},
    {"d88", kD88Codes},
    {"nfd", kNfdCodes},
    {"rom", kRomCodes},
}};

// Every code but 15 (Unz images carry nothing to recognise them by).
constexpr std::array<std::uint32_t, 20> kProbeCodes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                                       10, 11, 12, 13, 14, 16, 17, 18, 19, 20};

bool IsUnzExtension(const char* ext)
{
    return (ext[0] == 'h' || ext[0] == 'H') && ext[1] >= '0' && ext[1] <= '4' && ext[2] == '\0';
}

// Offers the path to each code in turn; 0 at the first driver that accepts it.
int TrySet(Disk* disk, std::span<const std::uint32_t> codes, const char* path, std::uint32_t readOnly)
{
    for (std::uint32_t code : codes)
        if (const DiskSetFunc set = apDiskSetFunc[code]; set != nullptr && set(disk, path, readOnly) == 0)
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
    const char* ext = dot + 1;
    if (IsUnzExtension(ext))
        return kUnzCodes;
    for (const ExtensionGroup& group : kExtensionGroups)
        if (NkCompareString(ext, group.extension.data(), 0) == 0)
            return group.codes;
    return {};
}

std::span<const std::uint32_t> DiskProbeCodes() { return kProbeCodes; }

const DiskDriver* DiskDriverOf(std::uint32_t type)
{
    if (type >= kDiskTypeCount || kDiskDrivers[type].Set == nullptr)
        return nullptr;
    return &kDiskDrivers[type];
}

namespace {
// A code whose driver is built; anything else reaches no table.
bool IsDriverCode(std::uint32_t type) { return DiskDriverOf(type) != nullptr; }
}  // namespace

void Disk_Construct(Disk* disk)
{
    disk->dwType = 0;
    disk->pImpl = nullptr;
}

// Failed attempts' codes are discarded; the probe tries extension formats again.
int Disk_Open(Disk* disk, const char* path, std::uint32_t readOnly)
{
    if (TrySet(disk, DiskExtensionCodes(path), path, readOnly) == 0)
        return 0;
    return TrySet(disk, kProbeCodes, path, readOnly);
}

int Disk_OpenType(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t type)
{
    if (!IsDriverCode(type))
        return ERR_INVALID_PARAMETER;
    return apDiskSetFunc[type](disk, path, readOnly);
}

int Disk_OpenBeta(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset,
                  const DiskInfo* info)
{
    return BetaDiskSet(disk, path, readOnly, dataOffset, info);
}

void Disk_Close(Disk* disk)
{
    if (disk->dwType == DISK_BETA)
        BetaDisk_Close(static_cast<BetaDiskState*>(disk->pImpl));
    else if (IsDriverCode(disk->dwType))
        apClose[disk->dwType](disk->pImpl);
    disk->dwType = 0;
    NkFree(disk->pImpl);
    disk->pImpl = nullptr;
}

void Disk_GetDiskInfo(Disk* disk, DiskInfo* info)
{
    if (disk->dwType == DISK_BETA)
        BetaDisk_GetDiskInfo(static_cast<BetaDiskState*>(disk->pImpl), info);
    else if (IsDriverCode(disk->dwType))
        apGetDiskInfo[disk->dwType](disk->pImpl, info);
}

int Disk_Read(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count, void* buffer)
{
    const std::uint64_t offset = (std::uint64_t{offsetHigh} << 32) | offsetLow;
    if (disk->dwType == DISK_BETA)
        return BetaDisk_Read(static_cast<BetaDiskState*>(disk->pImpl), offset, count, buffer);
    if (IsDriverCode(disk->dwType))
        return apRead[disk->dwType](disk->pImpl, offset, count, buffer);
    return ERR_INVALID_PARAMETER;
}

int Disk_Write(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count,
               const void* buffer)
{
    const std::uint64_t offset = (std::uint64_t{offsetHigh} << 32) | offsetLow;
    if (disk->dwType == DISK_BETA)
        return BetaDisk_Write(static_cast<BetaDiskState*>(disk->pImpl), offset, count, buffer);
    if (IsDriverCode(disk->dwType))
        return apWrite[disk->dwType](disk->pImpl, offset, count, buffer);
    return ERR_INVALID_PARAMETER;
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
