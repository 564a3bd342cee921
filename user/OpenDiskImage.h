// Opening an image for the control program, the mount record that tells the
// driver what to serve, and the two control requests on the device node.
#pragma once

#include "Disk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qim {

// The record's words in host order, as OpenDiskImage and the partition menu
// fill them. A recognised image has its code in word 1; a raw image has its
// geometry there (words 1 to 4) and its data offset in word 5.
struct MountRecord {
    std::uint32_t dwBeta;
    std::uint32_t dwDiskType;
    DiskInfo diBetaInfo;
    std::uint32_t dwImageOffset;
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
    std::uint32_t dwPartition;
    std::uint32_t dwReadOnly;
};

// The request bytes: ten little-endian words, wNameLength at 40, the name with
// its terminating zero at 42 and one reserved byte behind it.
inline constexpr std::uint32_t kMountRecordNameOffset = 42;
[[nodiscard]] constexpr std::uint32_t MountRecordLength(std::uint32_t nameLength) { return nameLength + 44; }
// Longest name wNameLength describes.
inline constexpr std::uint32_t kMountRecordMaxName = 0xFFFF;

// Writes the request bytes of record and path into out, which holds exactly
// MountRecordLength(path.size()) bytes; path.size() must not exceed kMountRecordMaxName.
void StoreMountRecord(const MountRecord& record, std::string_view path, std::span<std::byte> out);

// Whole-disk device or partitioned, and which table, for a recognised format.
struct DiskClass {
    std::uint32_t dwFloppy;
    std::uint32_t dwPC98;
};
[[nodiscard]] DiskClass ClassifyDiskType(std::uint32_t type);

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

inline constexpr unsigned long QIM_MOUNT = 0x9201;
inline constexpr unsigned long QIM_UNMOUNT = 0x9202;

// "/dev/qim0", or the path in QIM_DEVICE when that is set.
[[nodiscard]] const char* QimDevicePath();

// 1 with the node's descriptor in handle, 0 when it cannot be opened.
[[nodiscard]] int OpenQim(int* handle);
void CloseQim(int handle);
// 1 exactly when the driver answers 0; busy (1) and errors are 0.
[[nodiscard]] int MountDiskImage(const void* record, std::uint32_t length);
[[nodiscard]] int UnmountDiskImage();
int QueryFileInfo();

enum class MountSendResult { Mounted, NoRecord, Refused };
// Builds the request from record and path in NkMalloc memory, sends it and frees it.
[[nodiscard]] MountSendResult SendMountRecord(const MountRecord& record, std::string_view path);

}  // namespace qim
