// SPDX-License-Identifier: MIT
// The formats the library knows: one row per DiskType code, plus the raw
// format. Every fact about a format (its driver, extensions, probe, how the
// control program treats it) lives in its row; the dispatch columns, the
// extension lookup, the probe order and the classification derive from them.
#pragma once

#include "DiskEtc.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qim {

struct DiskFormat {
    std::uint32_t code;           // DiskType
    std::string_view name;        // display name for messages and tools
    DiskDriver driver;            // empty while the format's driver is not built
    std::string_view extensions;  // space-separated, lower case
    bool probed;                  // Disk_Open probes it, in code order, after the extension group
    bool floppy;                  // the control program mounts it whole and asks nothing
    bool pc98;                    // its partitions are PC-98 ones
};

// True when ext is one of the space-separated words of list, ext's case folded.
constexpr bool DiskListsExtension(std::string_view list, std::string_view ext)
{
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    while (!ext.empty() && !list.empty()) {
        const std::size_t space = list.find(' ');
        const std::string_view word = list.substr(0, space);
        if (word.size() == ext.size() && [&] {
                for (std::size_t i = 0; i < word.size(); ++i)
                    if (word[i] != fold(ext[i]))
                        return false;
                return true;
            }())
            return true;
        if (space == std::string_view::npos)
            break;
        list.remove_prefix(space + 1);
    }
    return false;
}

// The five dispatch tables, indexed by DiskType, derived from the rows.
extern const std::array<DiskSetFunc, kDiskTypeCount> apDiskSetFunc;
extern const std::array<DiskCloseFunc, kDiskTypeCount> apClose;
extern const std::array<DiskGetDiskInfoFunc, kDiskTypeCount> apGetDiskInfo;
extern const std::array<DiskReadFunc, kDiskTypeCount> apRead;
extern const std::array<DiskWriteFunc, kDiskTypeCount> apWrite;
// 0, 1, ..., kDiskTypeCount - 1: extension groups are slices of it.
extern const std::array<std::uint32_t, kDiskTypeCount> kDiskCodes;

// The row of a code (the raw format's for DISK_BETA), or null for an unknown code.
[[nodiscard]] const DiskFormat* DiskFormatOf(std::uint32_t type);
// Every code row, in code order.
[[nodiscard]] std::span<const DiskFormat> DiskFormats();

}  // namespace qim
