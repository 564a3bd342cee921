// SPDX-License-Identifier: MIT
// The Disk object: a format code and the state of one format driver, reached
// through five dispatch tables indexed by the code.
#pragma once

#include <cstdint>
#include <span>

namespace qim {

struct DiskInfo {
    std::uint32_t dwTotalSectors;
    std::uint32_t dwHeads;
    std::uint32_t dwSectorsPerTrack;
    std::uint32_t dwBytesPerSector;
};
static_assert(sizeof(DiskInfo) == 16);

struct Disk {
    std::uint32_t dwType;
    void* pImpl;
};

// Format codes; they index the driver tables and travel in the mount record.
enum DiskType : std::uint32_t {
    DISK_VMWARE_MONOLITHIC = 0,
    DISK_VMWARE_TWOGB_SPARSE = 1,
    DISK_VMWARE4_REDO = 2,
    DISK_VMWARE3 = 3,
    DISK_VMWARE3_REDO = 4,
    DISK_VMWARE2 = 5,
    DISK_VMWARE2_REDO = 6,
    DISK_VIRTUALPC = 7,
    DISK_VIRTUALPC_FIXED = 8,
    DISK_VIRTUALPC_DIFFERENCE = 9,
    DISK_ANEX86_HARD = 10,
    DISK_T98_HARD = 11,
    DISK_T98NEXT_HARD = 12,
    DISK_VIRTUAL98_HARD = 13,
    DISK_PC98E_HARD = 14,
    DISK_UNZ_HARD = 15,
    DISK_ANEX86_FLOPPY = 16,
    DISK_D88_FLOPPY = 17,
    DISK_T98NEXT_R0_FLOPPY = 18,
    DISK_T98NEXT_R1_FLOPPY = 19,
    DISK_FMTOWNS_DOSROM = 20,
    DISK_BETA = 0xFFFFFFFFu,
};
inline constexpr std::uint32_t kDiskTypeCount = 21;

inline constexpr int ERR_CREATE_FILE = -201;
inline constexpr int ERR_READ_FILE = -202;
inline constexpr int ERR_WRITE_FILE = -203;
inline constexpr int ERR_GET_FILE_SIZE = -204;
inline constexpr int ERR_NO_MEMORY = -205;
inline constexpr int ERR_INVALID_IMAGE = -206;
inline constexpr int ERR_INVALID_PARAMETER = -207;
inline constexpr int ERR_EXTEND_FILE = -303;

// What an image holds for a byte range (Disk_GetAllocation).
enum DiskAllocation : std::uint32_t {
    DISK_ALLOCATED = 0,    // stored in the image's own file
    DISK_IN_PARENT = 1,    // not in the image: reads come from its parent
    DISK_UNALLOCATED = 2,  // stored nowhere: reads give zeros
};

// One finding of a metadata check: what is wrong and up to two numbers that
// place it, each with its name ("entry", "file offset"); a null name for none.
enum DiskCheckKind : std::uint32_t {
    DISK_CHECK_CORRUPT = 1,  // the metadata disagree; data may be lost or misread
    DISK_CHECK_LEAK = 2,     // file space that nothing references; harmless
};
struct DiskCheckFinding {
    std::uint32_t dwKind;  // DiskCheckKind
    const char* pszWhat;   // a fixed English phrase
    const char* pszFirst;
    std::uint64_t qwFirst;
    const char* pszSecond;
    std::uint64_t qwSecond;
};
using DiskCheckSink = void (*)(void* param, const DiskCheckFinding* finding);

void Disk_Construct(Disk* disk);
// Writes the Disk only on success; the Disk must not be open already.
[[nodiscard]] int Disk_Open(Disk* disk, const char* path, std::uint32_t readOnly);
[[nodiscard]] int Disk_OpenType(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t type);
[[nodiscard]] int Disk_OpenBeta(Disk* disk, const char* path, std::uint32_t readOnly, std::uint32_t dataOffset,
                                const DiskInfo* info);
void Disk_Close(Disk* disk);
void Disk_GetDiskInfo(Disk* disk, DiskInfo* info);
[[nodiscard]] int Disk_Read(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count,
                            void* buffer);
[[nodiscard]] int Disk_Write(Disk* disk, std::uint32_t offsetLow, std::uint32_t offsetHigh, std::uint32_t count,
                             const void* buffer);

// Where the bytes at offset come from, for the longest prefix of
// [offset, offset + *length) that the answer holds for (*length shortened to
// it). A format that does not tell answers DISK_ALLOCATED for the whole range.
// ERR_INVALID_PARAMETER for a range that ends beyond the disk or is empty.
[[nodiscard]] int Disk_GetAllocation(Disk* disk, std::uint64_t offset, std::uint64_t* length, std::uint32_t* where);
// The open parent of a child image and its file name, resolved beside
// childPath (the path the image was opened with); *parent is null when the
// image has none.
[[nodiscard]] int Disk_GetParent(Disk* disk, const char* childPath, Disk** parent, std::span<char> path);
// Checks the metadata of the file at path as an image of format type,
// reporting each finding to sink; a format without a check has nothing
// beyond opening to check (0, no findings). ERR_INVALID_PARAMETER when the
// file does not carry the format's signature.
[[nodiscard]] int Disk_Check(const char* path, std::uint32_t type, DiskCheckSink sink, void* param);
// For a file that no driver opens: checks it as the first format, in
// Disk_Open's order, whose signature it carries, and stores that code in *type.
// ERR_INVALID_PARAMETER when it carries none.
[[nodiscard]] int Disk_CheckAny(const char* path, std::uint32_t* type, DiskCheckSink sink, void* param);

// The meaning of a library result code in words ("unknown error" for a code the library does not use).
[[nodiscard]] const char* DiskErrorText(int code);

// A parent image named by a child: an absolute name as it is, a relative one
// beside the child. Returns ERR_INVALID_PARAMETER, writing nothing, when the
// image path or the result does not fit kNkMaxPath bytes or the out buffer.
[[nodiscard]] int GetBaseFileFullPath(const char* imagePath, const char* name, std::span<char> out);

// 64-bit convenience forms of Disk_Read / Disk_Write.
[[nodiscard]] inline int Disk_Read64(Disk* disk, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return Disk_Read(disk, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(offset >> 32), count,
                     buffer);
}
[[nodiscard]] inline int Disk_Write64(Disk* disk, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return Disk_Write(disk, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(offset >> 32), count,
                      buffer);
}

}  // namespace qim
