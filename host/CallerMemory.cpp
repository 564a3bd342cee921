// SPDX-License-Identifier: MIT
#include "CallerMemory.h"

#include "Kernel.h"
#include "KernelHooks.h"

#include <cstring>
#include <sys/uio.h>

namespace qim::host {

namespace {

// Not a process: the host's own memory.
constexpr pid_t kHostMemory = -1;

thread_local pid_t currentCaller = 0;

// Highest user address + 1 of an x86-64 process (the kernel's TASK_SIZE_MAX).
constexpr std::uintptr_t kUserLimit = 0x00007ffffffff000;

// Copies in one direction; stops at the first unreadable or unwritable page.
std::size_t Copy(bool toCaller, std::uintptr_t remote, void* local, std::size_t length)
{
    if (currentCaller == kHostMemory) {
        void* theirs = reinterpret_cast<void*>(remote);
        std::memmove(toCaller ? theirs : local, toCaller ? local : theirs, length);
        return 0;
    }
    std::size_t done = 0;
    while (done < length && currentCaller > 0) {
        iovec mine{static_cast<char*>(local) + done, length - done};
        iovec theirs{reinterpret_cast<void*>(remote + done), length - done};
        const ssize_t n = toCaller ? ::process_vm_writev(currentCaller, &mine, 1, &theirs, 1, 0)
                                   : ::process_vm_readv(currentCaller, &mine, 1, &theirs, 1, 0);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return length - done;
}

}  // namespace

CallerScope::CallerScope(pid_t pid) : previous(currentCaller) { currentCaller = pid; }
CallerScope::~CallerScope() { currentCaller = previous; }

HostMemoryScope::HostMemoryScope() : CallerScope(kHostMemory) {}

bool CallerRangeOk(std::uintptr_t address, std::size_t length)
{
    if (currentCaller == kHostMemory)
        return true;
    const std::uintptr_t limit = Hooks().userLimit != 0 ? Hooks().userLimit : kUserLimit;
    return address <= limit && length <= limit - address;
}

std::size_t CopyFromCaller(void* to, std::uintptr_t from, std::size_t length) { return Copy(false, from, to, length); }

std::size_t CopyToCaller(std::uintptr_t to, const void* from, std::size_t length)
{
    return Copy(true, to, const_cast<void*>(from), length);
}

}  // namespace qim::host

namespace qim {

bool access_ok(int, unsigned long addr, unsigned long size) { return host::CallerRangeOk(addr, size); }

// What could not be copied reads as zeros, as the kernel's copy leaves it.
unsigned long __generic_copy_from_user(void* to, const void* from, unsigned long n)
{
    const std::size_t left = host::CopyFromCaller(to, reinterpret_cast<std::uintptr_t>(from), n);
    std::memset(static_cast<char*>(to) + (n - left), 0, left);
    return left;
}

unsigned long copy_to_user(void* to, const void* from, unsigned long n)
{
    return host::CopyToCaller(reinterpret_cast<std::uintptr_t>(to), from, n);
}

}  // namespace qim
