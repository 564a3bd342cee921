// SPDX-License-Identifier: MIT
// Fault injection for tests: the user platform layer built with QIM_NK_FAULTS
// (library qim_user_faulty) counts its operations and fails the one a test
// chooses, so that every failure path of a format can be driven.
#pragma once

#include <cstdint>

namespace qim::faults {

enum Op : std::uint32_t {
    kOpen = 1,     // NkCreateFile
    kCreate = 2,   // NkCreateFileNew
    kClose = 4,    // NkCloseFile (the file is closed all the same)
    kSize = 8,     // NkGetFileSize
    kRead = 16,    // NkReadFile
    kWrite = 32,   // NkWriteFile, NkSetFileSize
    kAlloc = 64,   // NkMalloc
    kFileOps = 63,
    kAll = 127,
};

// Disarms every fault and zeroes the counter.
void Reset();
// The n-th (1-based) operation of the given kinds from now on fails; 0 disarms.
void FailNth(std::uint32_t n, std::uint32_t ops = kAll);
// The n-th operation of the given kinds and every later one fail, as when the
// process ends there: nothing it would have done next reaches the files.
void FailFrom(std::uint32_t n, std::uint32_t ops);
// The n-th write from now on stores only its first `bytes` bytes, then fails.
void ShortWriteNth(std::uint32_t n, std::uint32_t bytes);
// Operations of the given kinds since Reset.
[[nodiscard]] std::uint32_t Count(std::uint32_t ops = kAll);

}  // namespace qim::faults
