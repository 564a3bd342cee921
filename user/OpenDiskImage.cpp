// SPDX-License-Identifier: MIT
// Image opening for the control program: a recognised format tells everything
// itself; a raw file is a listed floppy size or a geometry the user gives.
#include "OpenDiskImage.h"

#include "DiskEtc.h"
#include "DiskFormats.h"
#include "HeadedDisk.h"
#include "Nk.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qim {

namespace {


DiskRefusal formatRefusal{};

constexpr std::array<const char*, 4> kFloppyExtensions = {"flp", "vfd", "tfd", "ima"};


}  // namespace

const DiskRefusal& FormatRefusal() { return formatRefusal; }

// The listed geometry of a raw floppy file, or null when its extension or size is not listed.
const DiskInfo* ListedFloppyGeometry(const char* path)
{
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr)
        return nullptr;
    bool listed = false;
    for (const char* extension : kFloppyExtensions)
        listed = listed || NkCompareString(dot + 1, extension, 0) == 0;
    if (!listed)
        return nullptr;
    NkHandle file = nullptr;
    if (NkCreateFile(path, 1, &file) == 0)
        return nullptr;
    std::uint64_t size = 0;
    const int sized = NkGetFileSize(file, &size);
    NkCloseFile(file);
    return sized != 0 ? FloppyGeometryOfSize(size) : nullptr;
}

DiskClass ClassifyDiskType(std::uint32_t type)
{
    const DiskFormat* format = type < kDiskTypeCount ? DiskFormatOf(type) : nullptr;
    if (format == nullptr)
        return {};
    return {format->floppy ? 1u : 0u, format->pc98 ? 1u : 0u};
}

int OpenDiskImage(Disk* disk, const char* path, std::uint32_t readOnly, IsHardDiskFunc isHardDisk,
                  void* isHardDiskParam, IsPCATFunc isPCAT, void* isPCATParam, GetBetaInfoFunc getBetaInfoHardDisk,
                  void* getBetaInfoHardDiskParam, GetBetaInfoFunc getBetaInfoFloppyDisk,
                  void* getBetaInfoFloppyDiskParam, MountRecord* record)
{
    readOnly = readOnly != 0 ? 1 : 0;
    record->dwFloppy = 0;
    record->dwPC98 = 0;
    const int opened = Disk_Open(disk, path, readOnly);
    formatRefusal = opened == 0 ? DiskRefusal{} : *Disk_GetRefusal();
    if (opened == 0) {
        record->dwBeta = 0;
        record->dwDiskType = disk->dwType;
        const DiskClass diskClass = ClassifyDiskType(disk->dwType);
        record->dwFloppy = diskClass.dwFloppy;
        record->dwPC98 = diskClass.dwPC98;
        return 0;
    }

    if (const DiskInfo* floppy = ListedFloppyGeometry(path); floppy != nullptr) {
        record->dwBeta = 1;
        record->dwFloppy = 1;
        record->dwImageOffset = 0;
        record->diBetaInfo = *floppy;
        if (Disk_OpenBeta(disk, path, readOnly, record->dwImageOffset, &record->diBetaInfo) == 0)
            return 0;
    }

    record->dwBeta = 1;
    std::uint32_t hardDisk = 0;
    if (int rc = isHardDisk(isHardDiskParam, &hardDisk); rc != 0)
        return rc;
    int rc = 0;
    if (hardDisk != 0) {
        record->dwFloppy = 0;
        std::uint32_t pcat = 0;
        if (rc = isPCAT(isPCATParam, &pcat); rc != 0)
            return rc;
        record->dwPC98 = pcat == 1 ? 0 : 1;
        rc = getBetaInfoHardDisk(getBetaInfoHardDiskParam, &record->diBetaInfo, &record->dwImageOffset);
    } else {
        record->dwFloppy = 1;
        rc = getBetaInfoFloppyDisk(getBetaInfoFloppyDiskParam, &record->diBetaInfo, &record->dwImageOffset);
    }
    if (rc != 0)
        return rc;
    return Disk_OpenBeta(disk, path, readOnly, record->dwImageOffset, &record->diBetaInfo) == 0 ? 0 : -1;
}

namespace {
std::string chosenDevice;
}  // namespace

const char* QimDevicePath()
{
    if (!chosenDevice.empty())
        return chosenDevice.c_str();
    const char* node = std::getenv("QIM_DEVICE");
    return node != nullptr ? node : "/dev/qim0";
}

std::string QimDevicePathOf(const char* device)
{
    if (std::strchr(device, '/') != nullptr)
        return device;
    const char* node = std::getenv("QIM_DEVICE");
    const char* slash = node != nullptr ? std::strrchr(node, '/') : nullptr;
    const std::string dir = slash != nullptr ? std::string(node, slash) : node != nullptr ? "." : "/dev";
    return dir + "/qim" + device;
}

void ChooseQimDevice(const char* device) { chosenDevice = QimDevicePathOf(device); }

// Read-only: control requests need no more, and a node serving a read-only
// image refuses openers for writing.
int OpenQim(int* handle)
{
    const int fd = ::open(QimDevicePath(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    *handle = fd;
    return 1;
}

void CloseQim(int handle) { ::close(handle); }

namespace {
std::string nodeFailure;

// 1 when the node answers the request with 0; otherwise notes why not.
int SendRequest(unsigned long request, const void* argument)
{
    nodeFailure.clear();
    int node = -1;
    if (OpenQim(&node) == 0) {
        nodeFailure = std::string("cannot open the node ") + QimDevicePath() + ": " + std::strerror(errno) +
                      " (is qim running?)";
        return 0;
    }
    const int result = ::ioctl(node, request, argument);
    const int error = errno;
    CloseQim(node);
    if (result == 1)
        nodeFailure = "the device is busy: something else holds the node open (a mounted file system, a loop "
                      "device)";
    else if (result < 0 && (error == ENOTTY || error == ENODEV || error == ENOSYS))
        nodeFailure = std::string("no driver serves ") + QimDevicePath() + ": " + std::strerror(error);
    else if (result < 0 && error == EBUSY)
        nodeFailure = "the image, or a file it reads, is locked: another program reads or writes it (qim's log "
                      "names the file)";
    else if (result < 0 && error == EINVAL)
        nodeFailure = "the driver refused the geometry (zero heads or sectors per track)";
    else if (result < 0 && error == EFAULT)
        nodeFailure = "the driver refused the image or the partition (qim's log says which)";
    else if (result != 0)
        nodeFailure = std::string("the driver refused the request: ") + std::strerror(error);
    return result == 0 ? 1 : 0;
}
}  // namespace

const char* NodeFailureReason() { return nodeFailure.c_str(); }

int MountDiskImage(const void* record, std::uint32_t /*length*/) { return SendRequest(QIM_MOUNT, record); }

int UnmountDiskImage() { return SendRequest(QIM_UNMOUNT, nullptr); }

int QueryDeviceStatus(std::span<std::byte, kStatusRecordBytes> answer)
{
    return SendRequest(QIM_STATUS, answer.data());
}

int QueryFileInfo() { return 0; }

MountSendResult SendMountRecord(const MountRecord& record, std::string_view path)
{
    if (path.size() > kMountRecordMaxName)
        return MountSendResult::NoRecord;
    const auto length = MountRecordLength(static_cast<std::uint32_t>(path.size()));
    NkBuffer bytes(length);
    if (!bytes)
        return MountSendResult::NoRecord;
    StoreMountRecord(record, path, bytes.span());
    return MountDiskImage(bytes.data(), length) != 0 ? MountSendResult::Mounted : MountSendResult::Refused;
}

}  // namespace qim
