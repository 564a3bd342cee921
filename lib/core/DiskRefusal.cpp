// SPDX-License-Identifier: MIT
#include "DiskRefusal.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace qim {

namespace {
DiskRefusal refusal{};
}  // namespace

void DiskRefuse(std::uint32_t kind, const char* format, ...)
{
    if (refusal.dwKind != DISK_REFUSED_NONE)
        return;
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(refusal.achText, sizeof refusal.achText, format, args);
    va_end(args);
    refusal.dwKind = kind;
}

void DiskRefuseFile(const char* path, std::uint32_t readOnly, int error)
{
    const bool readable = readOnly == 0 && (error == EROFS || error == EACCES || error == EPERM || error == ETXTBSY) &&
                          ::access(path, R_OK) == 0;
    if (readable)
        DiskRefuse(DISK_REFUSED_WRITE, "%s cannot be opened for writing: %s", path,
                   std::strerror(error));
    else if (error == EINVAL)
        DiskRefuse(DISK_REFUSED_FILE, "%s is not a regular file or a block device", path);
    else
        DiskRefuse(DISK_REFUSED_FILE, "cannot open %s: %s", path, std::strerror(error));
}

void DiskRefuseParent(const char* parentPath)
{
    if (refusal.dwKind == DISK_REFUSED_NONE) {
        DiskRefuse(DISK_REFUSED_CORRUPT, "the parent image %s is no image this library reads", parentPath);
        return;
    }
    if (std::strstr(refusal.achText, parentPath) != nullptr)
        return;  // the reason names it already
    std::array<char, sizeof refusal.achText> text{};
    // A long reason loses its end.
    if (std::snprintf(text.data(), text.size(), "the parent image %s: %s", parentPath, refusal.achText) < 0)
        return;
    std::memcpy(refusal.achText, text.data(), text.size());
}

void DiskClearRefusal() { refusal = DiskRefusal{}; }

const DiskRefusal* Disk_GetRefusal() { return &refusal; }

}  // namespace qim
