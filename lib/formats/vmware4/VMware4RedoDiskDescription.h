// SPDX-License-Identifier: MIT
// The descriptor of a VMware 4 redo disk: the plain one's identity and extent
// lines, and the parent's name instead of geometry and adapter.
#pragma once

#include "ParseEq.h"

#include <array>
#include <cstdint>

namespace qim {

struct VMware4RedoDiskDescription {
    char* pszCID;
    char* pszParentCID;
    char* pszCreateType;
    char* pszParentFileNameHint;
    std::uint32_t dwExtentCount;
    std::array<std::uint32_t, kMaxExtentLines> adwExtentSectors;
    std::array<char*, kMaxExtentLines> apszExtentFile;
};

void VMware4RedoDiskDescription_Init(VMware4RedoDiskDescription* record);
// 1 when the text is a valid redo descriptor; the record points into the text.
[[nodiscard]] int VMware4RedoDiskDescription_Parse(VMware4RedoDiskDescription* record, DescriptionText text);

}  // namespace qim
