// Temporary until the foundation's parent chain guard is merged.
#pragma once
#include "Disk.h"
namespace qim {
[[nodiscard]] int Disk_OpenParent(Disk* parent, const char* childPath, const char* name, std::uint32_t readOnly = 1);
}
