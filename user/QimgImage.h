// SPDX-License-Identifier: MIT
// What qimg's commands share: the command line, the one opener, the facts of
// an open image and the one-line error report.
#pragma once

#include "Disk.h"
#include "DiskRefusal.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qim::qimg {

inline constexpr int kExitFailed = 1;  // also every usage error, as qemu-img
inline constexpr int kExitCorrupt = 2;
inline constexpr int kExitLeaked = 3;
inline constexpr int kExitNoCheck = 63;

// Everything the command line says.
struct Options {
    std::string command;
    std::vector<std::string> files;
    bool json = false;
    bool progress = false;
    bool forceShare = false;  // -U: no image locks, as qemu-img's
    std::uint32_t partition = 0;  // 1-based; 0 for the whole disk
    bool raw = false;             // --raw or -f raw
    bool rawGeometry = false;     // --raw gave the geometry
    std::uint32_t rawOffset = 0;
    DiskInfo rawInfo{};
};

// One line on standard error: "qimg: FILE: WHAT", its bytes escaped.
void Fail(std::string_view file, std::string_view what);
void FailCode(std::string_view file, std::string_view doing, int code);
// The library's reason when it gave one, else the code's text.
void FailRefused(std::string_view file, std::string_view doing, const DiskRefusal& refusal, int code);

// Text for a terminal: bytes that are no printable character (control bytes,
// broken UTF-8) as \xNN, a backslash as \\.
[[nodiscard]] std::string Escaped(std::string_view text);

// An open image and how its partitions are found.
struct Image {
    Disk disk{};
    std::string path;
    DiskInfo info{};
    std::uint32_t floppy = 0;
    std::uint32_t pc98 = 0;
    bool tableKnown = false;  // false for a raw hard disk: the table tells its kind
    DiskRefusal refusal{};    // why the format drivers refused it
    Image() { Disk_Construct(&disk); }
    ~Image()
    {
        // A constructed Disk names code 0 without holding an image.
        if (disk.pImpl != nullptr)
            Disk_Close(&disk);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
};

// Opens path read-only by qimc's rules: a recognised format, a raw floppy of
// a listed name and size, or a raw disk that -f raw or --raw describe.
// Prints why not and returns false.
[[nodiscard]] bool OpenImage(const Options& options, const std::string& path, Image* image);
[[nodiscard]] std::string_view FormatName(std::uint32_t type);

struct Parent {
    std::string path;
    std::uint32_t type;
};

struct Partition {
    std::uint32_t number;
    std::uint32_t systemId;  // PC/AT only
    std::string name;        // PC/AT type text or PC-98 name, as UTF-8
    std::uint64_t start;
    std::uint64_t length;
};

struct Facts {
    std::uint64_t fileSize = 0;
    std::uint64_t allocated = 0;
    std::vector<Parent> parents;
    const char* table = "none";
    std::vector<Partition> partitions;
};

[[nodiscard]] int CollectParents(Image* image, std::vector<Parent>* parents);
void CollectPartitions(Image* image, Facts* facts);
[[nodiscard]] int CollectFacts(Image* image, Facts* facts);

// Calls fn(offset, length, where) for consecutive pieces of [begin, end).
template <class Fn> int WalkAllocation(Disk* disk, std::uint64_t begin, std::uint64_t end, Fn&& fn)
{
    for (std::uint64_t at = begin; at < end;) {
        std::uint64_t length = end - at;
        std::uint32_t where = DISK_ALLOCATED;
        if (int rc = Disk_GetAllocation(disk, at, &length, &where); rc != 0)
            return rc;
        if (int rc = fn(at, length, where); rc != 0)
            return rc;
        at += length;
    }
    return 0;
}

// The commands; each returns qimg's exit status.
[[nodiscard]] int Info(const Options& options);
[[nodiscard]] int Check(const Options& options);
[[nodiscard]] int Convert(const Options& options);
// After Convert: a signal that interrupted it ends qimg as it would have.
void ReraiseInterrupt();

}  // namespace qim::qimg
