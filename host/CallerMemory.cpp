#include "CallerMemory.h"

#include <sys/uio.h>

namespace qim::host {

namespace {

thread_local pid_t currentCaller = 0;

// Highest user address + 1 of an x86-64 process (the kernel's TASK_SIZE_MAX).
constexpr std::uintptr_t kUserLimit = 0x00007ffffffff000;

// Copies in one direction; stops at the first unreadable or unwritable page.
std::size_t Copy(bool toCaller, std::uintptr_t remote, void* local, std::size_t length)
{
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

bool CallerRangeOk(std::uintptr_t address, std::size_t length)
{
    return address <= kUserLimit && length <= kUserLimit - address;
}

std::size_t CopyFromCaller(void* to, std::uintptr_t from, std::size_t length) { return Copy(false, from, to, length); }

std::size_t CopyToCaller(std::uintptr_t to, const void* from, std::size_t length)
{
    return Copy(true, to, const_cast<void*>(from), length);
}

}  // namespace qim::host
