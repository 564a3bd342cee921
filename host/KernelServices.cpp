// SPDX-License-Identifier: MIT
// The kernel's log, halt and allocator for the driver, and the hooks the
// driver's tests put on them.
#include "Kernel.h"
#include "KernelHooks.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qim {

namespace host {

namespace {
KernelHooks hooks;
}  // namespace

void SetKernelHooks(const KernelHooks& h) { hooks = h; }
const KernelHooks& Hooks() { return hooks; }

void Trace(const char* format, ...)
{
    if (hooks.trace == nullptr)
        return;
    std::array<char, 128> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    hooks.trace(text.data());
}

}  // namespace host

int printk(const char* fmt, ...)
{
    std::array<char, 512> text{};
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(text.data(), text.size(), fmt, args);
    va_end(args);
    if (host::hooks.log != nullptr) {
        host::hooks.log(text.data());
    } else {
        std::fputs(text.data(), stderr);
        std::fflush(stderr);
    }
    return n;
}

void panic(const char* fmt, ...)
{
    std::array<char, 512> text{};
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text.data(), text.size(), fmt, args);
    va_end(args);
    if (host::hooks.panic != nullptr)
        host::hooks.panic(text.data());
    std::fprintf(stderr, "Kernel panic: %s\n", text.data());
    std::abort();
}

void* kmalloc(std::size_t size, int)
{
    return host::hooks.alloc != nullptr ? host::hooks.alloc(size) : std::malloc(size);
}

void kfree(const void* p)
{
    if (p == nullptr)
        return;
    if (host::hooks.free != nullptr)
        host::hooks.free(p);
    else
        std::free(const_cast<void*>(p));
}

}  // namespace qim
