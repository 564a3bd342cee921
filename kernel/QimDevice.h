// SPDX-License-Identifier: MIT
// The driver's logic that calls no kernel interface: reading the mount
// record, opening the image, mapping the device onto the whole disk or one
// partition, the device record's state and the transfer of one request
// segment. qimmain.cpp wraps it in the kernel calls.
#pragma once

#include "Disk.h"
#include "Kernel.h"
#include "QimMount.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

// One minor. The control path (qim_ioctl) and the request path (qim_request)
// share only this record; the provider's lock keeps them apart.
struct QimDevice {
    std::int32_t nOpenCount;
    Disk* pDisk;  // owned, kmalloc memory; null when no image is mounted
    std::uint32_t dwReadOnly;
    std::uint64_t qwByteOffset;
    hd_geometry hdGeometry;
    std::uint32_t dwDeviceSectors;  // request sectors
    // What the mount record chose, for QIM_STATUS.
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
    std::uint32_t dwPartition;
    std::array<char, kStatusRecordNameBytes> szFileName;
};

// How often each rate-limited message is logged in a module's life.
inline constexpr std::uint32_t kLimitedMessageCount = 5;

enum class MountStatus : std::uint8_t { Ok, ImageError, PartitionError, BadGeometry, ImageLocked };

// Opens the record's image, named fileName, into a constructed Disk; ImageError
// and ImageLocked (another open holds a lock on one of its files, which
// NkLockedImageFile names) leave it empty.
[[nodiscard]] MountStatus OpenMountImage(const MountRecord& record, const char* fileName, Disk* disk);

// Where the device lies in the disk, its length and geometry.
struct DeviceMapping {
    std::uint64_t qwByteOffset;
    std::uint32_t dwDeviceSectors;  // request sectors
    hd_geometry hdGeometry;
    std::uint32_t dwBytesPerSector;
};
// Maps the device as the record asks: Ok, PartitionError or BadGeometry (zero
// heads or sectors per track). The disk stays open either way.
[[nodiscard]] MountStatus MapDevice(Disk* disk, const MountRecord& record, DeviceMapping* mapping);

// Binds an opened and mapped image, named fileName, to a device that holds none.
void AttachImage(QimDevice* device, Disk* disk, const MountRecord& record, const char* fileName,
                 const DeviceMapping& mapping);
// Unbinds the device's image and returns it, still open, for the caller to
// close and free (null when none). Offset, geometry and length stay.
[[nodiscard]] Disk* DetachImage(QimDevice* device);
// What QIM_STATUS answers for the device of minor, asked by one of its openers.
[[nodiscard]] StatusRecord DeviceStatus(const QimDevice& device, std::uint32_t minor, std::uint32_t devices);
// The device's size for the kernel's size table, in KiB.
[[nodiscard]] std::uint32_t DeviceSizeKiB(const QimDevice& device);

enum class TransferStatus : std::uint8_t { Done, NotReady, PastEnd, ReadError, WriteError, ReadOnly, BadCommand };
// Reads (command 0) or writes (1) count request sectors from sector on.
[[nodiscard]] TransferStatus TransferSegment(const QimDevice& device, int command, std::uint64_t sector,
                                             std::uint64_t count, void* buffer);

// Counts one occurrence of a rate-limited message; true while it is to be logged.
[[nodiscard]] bool CountLimitedMessage(std::uint32_t* counter);

}  // namespace qim
