// SPDX-License-Identifier: MIT
// Why an open refused, in words: the file, the field or rule, the parent it
// tried. The check that fails fills the one reason buffer (the library runs
// under one lock); the first reason since the open began is kept, as it is
// the deepest: a parent's or an extent's before its child's.
#pragma once

#include <cstdint>

namespace qim {

enum DiskRefusalKind : std::uint32_t {
    DISK_REFUSED_NONE = 0,
    DISK_REFUSED_FILE = 1,     // a file does not open (missing, unreadable, no image file)
    DISK_REFUSED_WRITE = 2,    // it opens for reading only: a read-only mount, an immutable file, permissions
    DISK_REFUSED_VARIANT = 3,  // a variant of the format this driver does not read
    DISK_REFUSED_CORRUPT = 4,  // the metadata disagree
};

struct DiskRefusal {
    std::uint32_t dwKind;  // DiskRefusalKind
    char achText[512];     // "" with DISK_REFUSED_NONE
};

#if defined(__GNUC__)
#define QIM_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define QIM_PRINTF_LIKE(f, a)
#endif

// Notes the reason unless one was noted since the open began.
void DiskRefuse(std::uint32_t kind, const char* format, ...) QIM_PRINTF_LIKE(2, 3);
// A failed open of path (errno as the open left it).
void DiskRefuseFile(const char* path, std::uint32_t readOnly, int error);
// Wraps a parent's reason (or, with none, its path) into the child's.
void DiskRefuseParent(const char* parentPath);

// Called by the outermost Disk_Open, Disk_OpenType and Disk_OpenBeta.
void DiskClearRefusal();
// The reason of the last refused open.
[[nodiscard]] const DiskRefusal* Disk_GetRefusal();

}  // namespace qim
