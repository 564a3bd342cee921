// SPDX-License-Identifier: MIT
// What the driver's tests put on top of the host's kernel: the log captured,
// a trace of the calls they check, allocations they can make fail, a panic
// they can catch, and a lower user-address limit. qim sets none of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qim::host {

struct KernelHooks {
    void (*log)(const char* text) = nullptr;     // printk's text; unset: standard error
    void (*panic)(const char* text) = nullptr;   // may throw; unset, or returning: the program stops
    void* (*alloc)(std::size_t size) = nullptr;  // kmalloc; unset: malloc
    void (*free)(const void* p) = nullptr;       // kfree of a non-null pointer; unset: free
    void (*trace)(const char* call) = nullptr;   // "fsync 0xfe00", "register_disk 0xfe00 1 0", ...
    std::uintptr_t userLimit = 0;                // access_ok's limit; 0: the x86-64 user limit
};

void SetKernelHooks(const KernelHooks& hooks);
[[nodiscard]] const KernelHooks& Hooks();

// Formats a call and hands it to the trace hook; nothing when none is set.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qim::host
