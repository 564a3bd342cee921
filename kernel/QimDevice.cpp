// SPDX-License-Identifier: MIT
#include "QimDevice.h"

#include "DiskEtc.h"
#include "NkImageFile.h"
#include "PartitionEntry.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qim {

namespace {

constexpr int kCommandRead = 0;
constexpr int kCommandWrite = 1;

hd_geometry MakeGeometry(const DiskInfo& info, std::uint64_t cylinders)
{
    return {static_cast<unsigned char>(info.dwHeads), static_cast<unsigned char>(info.dwSectorsPerTrack),
            static_cast<unsigned short>(cylinders), 0};
}

// Device length in request sectors for `sectors` image sectors; a device past
// what 32 bits count is cut to what they count, so it never claims more than it serves.
std::uint32_t RequestSectors(std::uint64_t sectors, std::uint32_t bytesPerSector)
{
    const std::uint64_t n = sectors * bytesPerSector / kRequestSectorBytes;
    return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(n);
}

}  // namespace

MountStatus OpenMountImage(const MountRecord& record, const char* fileName, Disk* disk)
{
    NkClearLockedImageFile();
    const int rc = record.dwBeta != 0
                       ? Disk_OpenBeta(disk, fileName, record.dwReadOnly, record.dwImageOffset, &record.diBetaInfo)
                       : Disk_OpenType(disk, fileName, record.dwReadOnly, record.dwDiskType);
    if (rc == 0)
        return MountStatus::Ok;
    return NkLockedImageFile()[0] != '\0' ? MountStatus::ImageLocked : MountStatus::ImageError;
}

MountStatus MapDevice(Disk* disk, const MountRecord& record, DeviceMapping* mapping)
{
    DiskInfo info{};
    Disk_GetDiskInfo(disk, &info);
    // Only a raw image with a typed-in geometry can have these; every mapping
    // below divides by, or multiplies into, a cylinder.
    if (info.dwHeads == 0 || info.dwSectorsPerTrack == 0)
        return MountStatus::BadGeometry;
    const std::uint64_t cylinderSectors = std::uint64_t{info.dwHeads} * info.dwSectorsPerTrack;
    const std::uint32_t b = info.dwBytesPerSector;

    std::uint64_t offset = 0;
    std::uint64_t sectors = 0;
    if (record.dwFloppy != 0) {
        sectors = info.dwTotalSectors;
    } else {
        PartitionExtent extent{};
        if (GetPartitionExtent(disk, record.dwPC98, record.dwPartition, &extent) != 0 ||
            ClipPartitionExtent(info, &extent) != 0)
            return MountStatus::PartitionError;
        offset = extent.qwStartSector * b;
        sectors = extent.qwSectorCount;
    }
    const std::uint64_t cylinders = sectors / cylinderSectors;
    *mapping = {offset, RequestSectors(sectors, b), MakeGeometry(info, cylinders), b};
    return MountStatus::Ok;
}

std::uint32_t DeviceSizeKiB(const QimDevice& device)
{
    // Rounded down: the kernel checks requests against this size, and a
    // rounded-up half KiB would admit a sector the device refuses.
    return device.dwDeviceSectors / 2;
}

void AttachImage(QimDevice* device, Disk* disk, const MountRecord& record, const char* fileName,
                 const DeviceMapping& mapping)
{
    device->pDisk = disk;
    device->dwReadOnly = record.dwReadOnly;
    device->dwFloppy = record.dwFloppy;
    device->dwPC98 = record.dwPC98;
    device->dwPartition = record.dwPartition;
    device->szFileName.fill('\0');
    std::strncpy(device->szFileName.data(), fileName, device->szFileName.size() - 1);
    device->qwByteOffset = mapping.qwByteOffset;
    device->hdGeometry = mapping.hdGeometry;
    device->dwDeviceSectors = mapping.dwDeviceSectors;
}

Disk* DetachImage(QimDevice* device)
{
    Disk* disk = device->pDisk;
    device->pDisk = nullptr;
    device->szFileName[0] = '\0';
    return disk;
}

StatusRecord DeviceStatus(const QimDevice& device, std::uint32_t minor, std::uint32_t devices)
{
    const bool mounted = device.pDisk != nullptr;
    const auto openers = static_cast<std::uint32_t>(device.nOpenCount > 0 ? device.nOpenCount - 1 : 0);
    if (!mounted)
        return {devices, minor, 0, 0, 0, 0, 0, openers, 0};
    return {devices,        minor,          1, device.dwReadOnly, device.dwFloppy, device.dwPC98, device.dwPartition,
            openers, std::uint64_t{device.dwDeviceSectors} * kRequestSectorBytes};
}

TransferStatus TransferSegment(const QimDevice& device, int command, std::uint64_t sector, std::uint64_t count,
                               void* buffer)
{
    if (device.pDisk == nullptr)
        return TransferStatus::NotReady;
    if (sector > device.dwDeviceSectors || count > device.dwDeviceSectors - sector)
        return TransferStatus::PastEnd;
    const std::uint64_t bytes = count * kRequestSectorBytes;
    if (bytes > std::numeric_limits<std::uint32_t>::max())
        return TransferStatus::BadCommand;
    const std::uint64_t position = device.qwByteOffset + sector * kRequestSectorBytes;
    const auto length = static_cast<std::uint32_t>(bytes);
    switch (command) {
    case kCommandRead:
        return Disk_Read64(device.pDisk, position, length, buffer) == 0 ? TransferStatus::Done
                                                                        : TransferStatus::ReadError;
    case kCommandWrite:
        if (device.dwReadOnly != 0)
            return TransferStatus::ReadOnly;
        return Disk_Write64(device.pDisk, position, length, buffer) == 0 ? TransferStatus::Done
                                                                         : TransferStatus::WriteError;
    default:
        return TransferStatus::BadCommand;
    }
}

bool CountLimitedMessage(std::uint32_t* counter)
{
    const std::uint32_t before = *counter;
    if (before != std::numeric_limits<std::uint32_t>::max())
        *counter = before + 1;
    return before < kLimitedMessageCount;
}

}  // namespace qim
