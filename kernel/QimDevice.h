// The driver's logic that does not call the kernel: reading the mount record,
// opening the image, mapping the device onto the whole disk or one partition,
// the device record's state and the transfer of one request segment.
#pragma once

#include "Disk.h"
#include "Kernel.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qim {

// One minor. The control path (qim_ioctl) and the request path (qim_request)
// share only this record; the provider's lock keeps them apart.
struct QimDevice {
    std::int32_t nOpenCount;
    Disk* pDisk;  // owned; null when no image is mounted
    std::uint32_t dwReadOnly;
    std::uint64_t qwByteOffset;
    hd_geometry hdGeometry;
    std::uint32_t dwDeviceSectors;  // 512-byte units
};

// The mount record: ten little-endian words, the name's length (16 bits), the
// name with its terminating zero, one reserved byte.
inline constexpr std::size_t kMountRecordFixed = 44;
inline constexpr std::size_t kMountNameLengthAt = 40;
inline constexpr std::size_t kMountNameAt = 42;

// The record's fields; szFileName points into the copy it was read from.
struct MountRequest {
    std::uint32_t dwBeta;
    std::uint32_t dwDiskType;
    DiskInfo diBetaInfo;  // dwTotalSectors shares word 1 with dwDiskType
    std::uint32_t dwImageOffset;
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
    std::uint32_t dwPartition;
    std::uint32_t dwReadOnly;
    const char* szFileName;
};

// Whole length of a record whose name is nameLength bytes long.
[[nodiscard]] constexpr std::uint32_t MountRecordLength(std::uint16_t nameLength)
{
    return std::uint32_t{nameLength} + kMountRecordFixed;
}
// Reads a copied record; false when the copy is shorter than its fixed part or
// the name has no terminating zero inside the copy.
[[nodiscard]] bool ParseMountRecord(std::span<const std::byte> copy, MountRequest* request);

// What a control request ends in; each has its log message and result.
enum class QimStatus : std::uint8_t {
    kOk,
    kBusy,
    kInvalidArgument,
    kNoMemory,
    kCopyError,
    kImageError,
    kPartitionError,
    kInvalidGeometry,
};
struct QimOutcome {
    const char* message;  // null: nothing is logged
    int result;
};
[[nodiscard]] QimOutcome OutcomeOf(QimStatus status);

// Opens the record's image into a constructed disk: 0 or a library error.
[[nodiscard]] int OpenMountImage(Disk* disk, const MountRequest& request);

// Where the device lies in the disk, its length and geometry.
struct DeviceMapping {
    std::uint64_t qwByteOffset;
    std::uint32_t dwDeviceSectors;  // 512-byte units
    std::uint32_t dwBytesPerSector;
    hd_geometry hdGeometry;
};
// Maps the device onto an open disk as the record asks: kOk, kPartitionError
// or kInvalidGeometry. Leaves the disk open either way.
[[nodiscard]] QimStatus MapDevice(Disk* disk, const MountRequest& request, DeviceMapping* mapping);

// Binds an opened and mapped image to a device that holds none.
void AttachImage(QimDevice* device, Disk* disk, std::uint32_t readOnly, const DeviceMapping& mapping);
// Closes the device's image and returns its Disk for the caller to free (null
// when none was mounted). Offset, geometry and length keep their values.
[[nodiscard]] Disk* DetachImage(QimDevice* device);
// The device's size for the kernel's size table, in KiB: never more than the
// device serves, so the block layer sends nothing past its end.
[[nodiscard]] int DeviceSizeKiB(const QimDevice& device);

// What serving one request segment ended in.
enum class TransferStatus : std::uint8_t {
    kDone,
    kNotReady,
    kPastEnd,
    kReadError,
    kWriteError,
    kRefused,  // a write on a read-only mount, or an unknown command: no message
};
// Reads or writes count 512-byte sectors from sector on the device.
[[nodiscard]] TransferStatus TransferSegment(QimDevice* device, int command, std::uint64_t sector,
                                             std::uint64_t count, void* buffer);
[[nodiscard]] const char* MessageOf(TransferStatus status);

// A message shown only the first five times: counts this occurrence and
// returns whether it is to be logged.
[[nodiscard]] bool CountLimited(std::uint32_t* counter);

}  // namespace qim
