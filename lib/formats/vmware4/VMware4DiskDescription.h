// SPDX-License-Identifier: MIT
// The descriptor of a plain VMware 4 disk (monolithic or two-gigabyte extents).
#pragma once

#include "ParseEq.h"

#include <array>
#include <cstdint>

namespace qim {

struct VMware4DiskDescription {
    char* pszCID;
    char* pszParentCID;
    char* pszCreateType;
    std::uint32_t dwVirtualHWVersion;
    std::uint32_t dwGeoCylinders;
    std::uint32_t dwGeoHeads;
    std::uint32_t dwGeoSectors;
    char* pszAdapterType;
    std::uint32_t dwExtentCount;
    std::array<std::uint32_t, kMaxExtentLines> adwExtentSectors;
    std::array<char*, kMaxExtentLines> apszExtentFile;
    // Optional here; set when the text names a parent, which a plain disk refuses.
    char* pszParentFileNameHint;
};

void VMware4DiskDescription_Init(VMware4DiskDescription* record);
// 1 when the text is a valid plain-disk descriptor; the record points into the text.
[[nodiscard]] int VMware4DiskDescription_Parse(VMware4DiskDescription* record, DescriptionText text);

}  // namespace qim
