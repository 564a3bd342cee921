// SPDX-License-Identifier: MIT
// Builder of COWD disks: VMware 3 disks of one or more files, VMware 2 disks,
// and the redo logs of both. A file is a 2,048-byte header, a directory of
// 32 MiB large blocks at sector 4, 512-entry tables and 64 KiB small blocks.
#pragma once

#include "Conformance.h"
#include "TempDir.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qimtest {

inline constexpr std::uint32_t kCowdExtentSectors = 0x3FF800;
inline constexpr std::uint64_t kCowdSmallBlock = 65536;
inline constexpr std::uint64_t kCowdLargeBlock = 512 * kCowdSmallBlock;

// Header field offsets, as the builder writes them.
namespace cowdfield {
inline constexpr std::size_t kVersion = 4, kFlags = 8, kSectors = 12, kSmallBlockSize = 16, kDirectorySector = 20,
                             kFreeSector = 28, kCylinders = 32, kParentName = 32, kHeads = 36, kSectorsPerTrack = 40,
                             kZero1056 = 1056, kPaired1060 = 1060, kPaired1636 = 1636, kAdapter = 1640,
                             kExtentIndex = 1648, kExtentCount = 1652, kDiskCylinders = 1656, kDiskHeads = 1660,
                             kDiskSectorsPerTrack = 1664, kDiskSectors = 1668, kExtentSize = 1676;
}

// A disk's bytes as runs at disk offsets; everything else reads as zeros.
using DiskRuns = std::map<std::uint64_t, Bytes>;
// Bytes [offset, offset + length) of the disk the runs describe.
[[nodiscard]] Bytes RunsBytes(const DiskRuns& runs, std::uint64_t offset, std::size_t length);

struct CowdDisk {
    std::uint32_t version = 3;       // 3: VMware 3, 1: VMware 2
    std::uint32_t totalSectors = 0;  // whole disk; a VMware 3 disk takes a file per 0x3FF800 sectors
    bool scsi = false;               // VMware 3 plain: adapter "scsi" instead of "ide"
    std::string parentName = {};     // a redo log when not empty
    bool allocateAll = false;        // store every small block, zero or not
    bool reverseOrder = false;       // store small blocks last to first, so that neighbours are apart in the file
};

// The geometry a plain VMware 3 header states for a disk of these sectors
// (throws when the rules allow none): cylinders, heads, sectors per track.
struct CowdGeometry {
    std::uint32_t cylinders, heads, sectorsPerTrack;
};
[[nodiscard]] CowdGeometry CowdDiskGeometry(std::uint32_t totalSectors, bool scsi);

// Writes a disk's files, first file at `path`, the others named
// "<path before its last dot>-NN.<extension>". Every small block the runs
// touch is stored; a redo log's stored blocks hold `parent` overlaid with the
// runs. Returns the files, first file first.
std::vector<std::string> WriteCowdDisk(const std::string& path, const CowdDisk& disk, const DiskRuns& runs,
                                       const DiskRuns& parent = {});

// Little-endian u32 of a file, and a change of one.
[[nodiscard]] std::uint32_t FileU32(const std::string& path, std::uint64_t offset);
void PatchU32(const std::string& path, std::uint64_t offset, std::uint32_t value);

// Conformance images: a disk of 9 x 1008 sectors (a partial last small block)
// with stored and absent blocks; a redo log also stores
// blocks of its own over a parent of the same kind beside it.
BuiltImage BuildCowdConformance(const std::string& path, std::uint32_t version, bool redo);
inline BuiltImage BuildVMware3Conformance(const std::string& path) { return BuildCowdConformance(path, 3, false); }
inline BuiltImage BuildVMware3RedoConformance(const std::string& path) { return BuildCowdConformance(path, 3, true); }
inline BuiltImage BuildVMware2Conformance(const std::string& path) { return BuildCowdConformance(path, 1, false); }
inline BuiltImage BuildVMware2RedoConformance(const std::string& path) { return BuildCowdConformance(path, 1, true); }

}  // namespace qimtest
