// SPDX-License-Identifier: MIT
// Builders of VMware 4 sparse disks from their contents: KDMV extent files,
// descriptor texts, and monolithic, two-gigabyte-extent and redo disks.
#pragma once

#include "TempDir.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qimtest {

inline constexpr std::uint64_t kVmdkGrainBytes = 65536;

struct Vmdk4Descriptor {
    std::string createType = "monolithicSparse";
    std::vector<std::pair<std::uint32_t, std::string>> extents;  // (sectors, file name)
    std::string parentHint;  // a redo log's parent; no entry when empty
    std::string cid = "12345678";
    std::string parentCid = "ffffffff";
    bool ddb = true;  // the hardware, geometry and adapter entries
    std::uint32_t hwVersion = 3;
    std::uint32_t cylinders = 0, heads = 16, sectors = 63;
    std::string adapter = "ide";
    [[nodiscard]] std::string Text() const;
};

struct Vmdk4ExtentLayout {
    std::uint32_t capacity = 0;  // sectors
    bool embedded = false;       // room for a descriptor at sectors 1 to 20
    std::string descriptor;      // written there when embedded
    bool reverse = false;        // allocate grains from the last one back, so none follow each other
};

// Where an extent's metadata lies, as the builder lays it out.
struct Vmdk4ExtentMap {
    std::uint64_t redundantGd = 0, gd = 0;          // sectors
    std::vector<std::uint32_t> redundantGts, gts;  // sector of each table
    std::uint64_t overhead = 0;                     // sectors
    std::vector<std::uint32_t> grains;              // entry of each grain, 0 when not allocated
};

// Writes an extent holding `contents` (up to capacity × 512 bytes; the rest
// reads as zeros). A grain is allocated when allocate[g] is set, or, with no
// list given, when its contents are not all zero.
Vmdk4ExtentMap WriteVmdk4Extent(const std::string& path, const Vmdk4ExtentLayout& layout, const Bytes& contents,
                                const std::vector<bool>& allocate = {});

// A monolithicSparse disk named by path: its descriptor names the file itself.
void WriteVmdkMonolithic(const std::string& path, const Bytes& disk, Vmdk4Descriptor descriptor = {},
                         bool reverse = false);
// A twoGbMaxExtentSparse disk: the descriptor at path and extents
// "<path without .ext>-s001.vmdk", ... of the given capacities beside it.
// Returns the extent files' paths.
std::vector<std::string> WriteVmdkTwoGb(const std::string& path, const Bytes& disk,
                                        const std::vector<std::uint32_t>& capacities, Vmdk4Descriptor descriptor = {});
// A redo log over a parent disk of parentContents named parentHint: its
// extents allocate exactly the grains in which disk differs from the parent.
std::vector<std::string> WriteVmdkRedo(const std::string& path, const std::string& parentHint,
                                       const Bytes& parentContents, const Bytes& disk,
                                       const std::vector<std::uint32_t>& capacities, Vmdk4Descriptor descriptor = {});

// Conformance rows: a monolithic disk, a two-gigabyte disk of three extents,
// and a redo log of two extents over a monolithic parent.
struct BuiltImage;
BuiltImage BuildVmdkMonolithicConformance(const std::string& path);
BuiltImage BuildVmdkTwoGbConformance(const std::string& path);
BuiltImage BuildVmdkRedoConformance(const std::string& path);

}  // namespace qimtest
