// SPDX-License-Identifier: MIT
// Platform-independent helpers of the Nk layer.
#include "Nk.h"

#include <cstring>

namespace qim {

void NkSplitPath(const char* path, char* directory, char* baseName, char* extension)
{
    const char* slash = std::strrchr(path, '/');
    const char* name = path;
    if (slash != nullptr) {
        if (directory != nullptr) {
            const auto n = static_cast<std::size_t>(slash - path) + 1;
            std::memcpy(directory, path, n);
            directory[n] = '\0';
        }
        name = slash + 1;
    } else if (directory != nullptr) {
        directory[0] = '\0';
    }

    const char* dot = std::strrchr(name, '.');
    if (dot != nullptr) {
        if (extension != nullptr)
            std::strcpy(extension, dot + 1);
        if (baseName != nullptr) {
            const auto n = static_cast<std::size_t>(dot - name);
            std::memcpy(baseName, name, n);
            baseName[n] = '\0';
        }
    } else {
        if (extension != nullptr)
            extension[0] = '\0';
        if (baseName != nullptr)
            std::strcpy(baseName, name);
    }
}

int NkIsAllZero(const void* buffer, std::uint32_t length)
{
    // Every byte equals its successor and the first is 0: one memcmp instead of a byte loop.
    const auto* p = static_cast<const unsigned char*>(buffer);
    if (length == 0)
        return 1;
    return p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0 ? 1 : 0;
}

std::uint32_t NkReverseEndian(std::uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

std::uint16_t NkReverseEndian2(std::uint16_t value)
{
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

}  // namespace qim
