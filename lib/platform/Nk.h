// SPDX-License-Identifier: MIT
// Platform interface of the disk-image library. The library reaches files and
// memory only through these functions; user/NkUser.cpp implements them over
// 64-bit stdio, kernel/NkKern.cpp with the kernel's file semantics.
// The file operations return 1 for success and 0 for failure, never an error code.
#pragma once

#include <cstdint>

namespace qim {

// An open image file; 0 (nullptr) never denotes an open file.
using NkHandle = void*;

// Longest path, terminating zero included, that the library handles.
inline constexpr std::uint32_t kNkMaxPath = 4096;

// Opens an existing file; never creates one. On failure the out slot is untouched.
[[nodiscard]] int NkCreateFile(const char* path, std::uint32_t readOnly, NkHandle* handle);
// Creates the file (truncating in user space, keeping its contents in the kernel build).
[[nodiscard]] int NkCreateFileNew(const char* path, NkHandle* handle);
int NkCloseFile(NkHandle handle);
[[nodiscard]] int NkGetFileSize(NkHandle handle, std::uint64_t* size);
// Cuts the file back to size bytes: a format that must end exactly at its
// last unit takes back what an append that failed left behind.
[[nodiscard]] int NkSetFileSize(NkHandle handle, std::uint64_t size);
[[nodiscard]] int NkReadFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, void* buffer);
[[nodiscard]] int NkWriteFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, const void* buffer);

// Memory is not cleared; NkFree accepts null.
[[nodiscard]] void* NkMalloc(std::uint32_t size);
void NkFree(void* p);
void NkCopyMemory(void* destination, const void* source, std::uint32_t length);

// 0 when equal, negative when a sorts first; case flag 0 folds ASCII letters.
int NkCompareString(const char* a, const char* b, std::uint32_t caseFlag);
// 1 in user space, 0 in the kernel build.
int NkGetSecFrom2K();

// Decimal conversion: the C library's rules in user space, simple_strtol's in the kernel.
int atoi(const char* text);

// NkUtil: plain computation, identical in both builds.
void NkSplitPath(const char* path, char* directory, char* baseName, char* extension);
int NkIsAllZero(const void* buffer, std::uint32_t length);
std::uint32_t NkReverseEndian(std::uint32_t value);
std::uint16_t NkReverseEndian2(std::uint16_t value);

}  // namespace qim
