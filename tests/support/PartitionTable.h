// SPDX-License-Identifier: MIT
// Builders of partition tables: PC/AT master and extended tables, PC-98 and
// FM Towns tables, written into a disk held in memory or in an image file.
#pragma once

#include "TempDir.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qimtest {

// ---- PC/AT ----

// One 16-byte slot exactly as stored; every byte can be set, also in an empty
// slot (systemId 0). start is as the table stores it (relative below the master).
struct PcAtSlot {
    std::uint8_t boot = 0;
    std::array<std::uint8_t, 3> startChs{};
    std::uint8_t systemId = 0;
    std::array<std::uint8_t, 3> endChs{};
    std::uint32_t start = 0;
    std::uint32_t count = 0;
};
using PcAtSlots = std::array<PcAtSlot, 4>;

inline constexpr std::array<std::uint8_t, 2> kPcAtSignature = {0x55, 0xAA};

// Writes the four slots and the signature of table sector k (bytes 446..511
// of the 512 bytes at k * 512); the rest of the sector is left as it is.
void WritePcAtTable(Bytes& disk, std::uint32_t sector, const PcAtSlots& slots,
                    std::array<std::uint8_t, 2> signature = kPcAtSignature);
void WritePcAtTable(const std::string& path, std::uint32_t sector, const PcAtSlots& slots,
                    std::array<std::uint8_t, 2> signature = kPcAtSignature);

// A partition with an absolute start, as a partition list reports it.
struct PcAtPartition {
    std::uint8_t systemId = 0x83;
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    bool operator==(const PcAtPartition&) const = default;
};

// The usual layout: primaries in the master table's slots, in order, and an
// extended partition (when there are logical partitions) in extendedSlot
// (default: the slot after the primaries). Each logical partition has its own
// table logicalGap sectors before its start, linked to the next one from slot 1.
struct PcAtLayout {
    std::vector<PcAtPartition> primary;
    std::vector<PcAtPartition> logical;  // ascending, non-overlapping
    std::uint8_t extendedId = 0x05;
    std::optional<std::uint32_t> extendedSlot;
    std::uint32_t logicalGap = 63;
    // Each table is the first 512 bytes of its sector, whose size this is.
    std::uint32_t bytesPerSector = 512;
};

// Writes the layout's tables; returns the partitions in list order (slot
// order, the logical partitions at the extended partition's slot).
std::vector<PcAtPartition> WritePcAtLayout(Bytes& disk, const PcAtLayout& layout);
// A sparse image file of totalSectors sectors of the layout's size holding the layout.
std::vector<PcAtPartition> WritePcAtDisk(const std::string& path, std::uint64_t totalSectors,
                                         const PcAtLayout& layout);

// ---- PC-98 ----

using Pc98Slot = std::array<std::uint8_t, 32>;

// An in-use entry with the given cylinders and name (padded with spaces).
Pc98Slot MakePc98Slot(std::uint16_t startCylinder, std::uint16_t endCylinder, const std::string& name);

struct Pc98Table {
    std::uint32_t bytesPerSector = 512;  // the table lies at this byte position
    std::array<Pc98Slot, 8> slots{};     // all-zero slots are unused
    std::optional<std::array<std::uint8_t, 2>> at254;  // written when set
    std::optional<std::array<std::uint8_t, 2>> at510;
};

void WritePc98Table(Bytes& disk, const Pc98Table& table);

// ---- FM Towns ----

using FMTownsSlot = std::array<std::uint8_t, 48>;

struct FMTownsTable {
    bool ipl = true;    // "IPL4" at byte 0
    bool maker = true;  // the maker's name at byte 512
    std::array<FMTownsSlot, 10> slots{};
};

void WriteFMTownsTable(Bytes& disk, const FMTownsTable& table);

}  // namespace qimtest
