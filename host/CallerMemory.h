// SPDX-License-Identifier: MIT
// The memory of the process whose control request is being served, reached
// with process_vm_readv/process_vm_writev: the stand-in for the kernel's
// user-memory range check and copies (access_ok, copy_from_user and
// copy_to_user of Kernel.h). FUSE names the caller by its thread id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace qim::host {

// Makes pid the caller of the requests this thread serves until the scope ends.
struct CallerScope {
    explicit CallerScope(pid_t pid);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;
    pid_t previous;
};

// The host's own calls into the driver, as the kernel's set_fs(KERNEL_DS):
// until the scope ends, "user" addresses are the host's own memory.
struct HostMemoryScope : CallerScope {
    HostMemoryScope();
};

// The range check of the kernel: the range lies below the user address-space
// limit without wrapping. Whether it is mapped shows only when copying.
[[nodiscard]] bool CallerRangeOk(std::uintptr_t address, std::size_t length);
// Both return the number of bytes NOT copied, as the kernel's copies do.
[[nodiscard]] std::size_t CopyFromCaller(void* to, std::uintptr_t from, std::size_t length);
[[nodiscard]] std::size_t CopyToCaller(std::uintptr_t to, const void* from, std::size_t length);

}  // namespace qim::host
