// SPDX-License-Identifier: MIT
// Opening an image for the control program, and sending the mount record
// (QimMount.h) and the unmount request to the device node.
#pragma once

#include "Disk.h"
#include "DiskRefusal.h"
#include "QimMount.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qim {

// Whole-disk device or partitioned, and which table, for a recognised format.
struct DiskClass {
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
};
[[nodiscard]] DiskClass ClassifyDiskType(std::uint32_t type);

// The listed geometry of a raw floppy file, or null when its extension or
// size is not listed: such a file opens without a question.
[[nodiscard]] const DiskInfo* ListedFloppyGeometry(const char* path);

// The questions OpenDiskImage asks when the file tells it nothing. Each returns
// 0 when answered; any other value ends OpenDiskImage with that value.
using IsHardDiskFunc = int (*)(void* param, std::uint32_t* answer);  // 1 hard disk, 0 floppy
using IsPCATFunc = int (*)(void* param, std::uint32_t* answer);      // 1 PC/AT, 0 PC-98
using GetBetaInfoFunc = int (*)(void* param, DiskInfo* info, std::uint32_t* imageOffset);

// Opens the image at path into the empty disk and fills words 0 to 7 of
// record. 0: the disk holds the image; 1: cancelled; -1: the raw geometry does
// not open; anything else comes from a callback unchanged.
[[nodiscard]] int OpenDiskImage(Disk* disk, const char* path, std::uint32_t readOnly, IsHardDiskFunc isHardDisk,
                                void* isHardDiskParam, IsPCATFunc isPCAT, void* isPCATParam,
                                GetBetaInfoFunc getBetaInfoHardDisk, void* getBetaInfoHardDiskParam,
                                GetBetaInfoFunc getBetaInfoFloppyDisk, void* getBetaInfoFloppyDiskParam,
                                MountRecord* record);

// Why the format drivers refused the file in the last OpenDiskImage; kind
// DISK_REFUSED_NONE when one opened it or none said why. The raw attempts
// that follow leave their own reason in Disk_GetRefusal.
[[nodiscard]] const DiskRefusal& FormatRefusal();

// The node ChooseQimDevice chose, else the path in QIM_DEVICE when that is
// set, else "/dev/qim0".
[[nodiscard]] const char* QimDevicePath();
// The node of device: the path itself when it holds a "/", else qimN beside
// the node QIM_DEVICE names, or in /dev.
[[nodiscard]] std::string QimDevicePathOf(const char* device);
void ChooseQimDevice(const char* device);

// 1 with the node's descriptor in handle, 0 when it cannot be opened.
[[nodiscard]] int OpenQim(int* handle);
void CloseQim(int handle);
// Why the last request to the node failed, in words ("" when none did).
[[nodiscard]] const char* NodeFailureReason();

// 1 exactly when the driver answers 0; busy (1) and errors are 0.
[[nodiscard]] int MountDiskImage(const void* record, std::uint32_t length);
[[nodiscard]] int UnmountDiskImage();
// 1 with the node's status record in answer.
[[nodiscard]] int QueryDeviceStatus(std::span<std::byte, kStatusRecordBytes> answer);
int QueryFileInfo();

enum class MountSendResult { Mounted, NoRecord, Refused };
// Builds the request from record and path in NkMalloc memory, sends it and frees it.
[[nodiscard]] MountSendResult SendMountRecord(const MountRecord& record, std::string_view path);

}  // namespace qim
