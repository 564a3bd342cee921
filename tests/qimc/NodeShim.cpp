// SPDX-License-Identifier: MIT
// Preloaded into qimc by the tests, it stands in for the qim driver's node:
// open() of the path in QIM_DEVICE gives a descriptor (of /dev/null) whose
// ioctl answers QIM_MOUNT and QIM_UNMOUNT with the number in QIM_SHIM_RESULT
// (0 when unset; a negative number fails with EIO). The mount record is saved
// to the file named by QIM_SHIM_RECORD, and each event is appended as a line
// to QIM_SHIM_LOG, so that tests can check what qimc sent and that it closed the node.
#include "QimMount.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <span>

namespace {

int g_node = -1;

template <class Fn> Fn Next(const char* name) { return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name)); }

void Log(const char* line)
{
    const char* path = std::getenv("QIM_SHIM_LOG");
    if (path == nullptr)
        return;
    if (FILE* f = std::fopen(path, "a"); f != nullptr) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

bool IsNode(const char* path)
{
    const char* node = std::getenv("QIM_DEVICE");
    return node != nullptr && path != nullptr && std::strcmp(path, node) == 0;
}

int OpenNode(int flags)
{
    using OpenFn = int (*)(const char*, int, ...);
    static const auto realOpen = Next<OpenFn>("open");
    g_node = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    char line[64];
    std::snprintf(line, sizeof line, "open flags=%s", (flags & O_ACCMODE) == O_RDONLY ? "rdonly" : "other");
    Log(line);
    return g_node;
}

void SaveRecord(const unsigned char* record)
{
    const char* path = std::getenv("QIM_SHIM_RECORD");
    if (path == nullptr)
        return;
    const std::uint32_t length =
        qim::StatedMountRecordLength(std::span<const std::byte, qim::kMountRecordFixedBytes>(
            reinterpret_cast<const std::byte*>(record), qim::kMountRecordFixedBytes));
    if (FILE* f = std::fopen(path, "wb"); f != nullptr) {
        std::fwrite(record, 1, length, f);
        std::fclose(f);
    }
}

// The mode argument exists only when the file may be created.
int ModeOf(int flags, va_list ap) { return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(ap, int) : 0; }

int OpenOrForward(const char* symbol, const char* path, int flags, va_list ap)
{
    if (IsNode(path))
        return OpenNode(flags);
    using OpenFn = int (*)(const char*, int, ...);
    return Next<OpenFn>(symbol)(path, flags, ModeOf(flags, ap));
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int fd = OpenOrForward("open", path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int fd = OpenOrForward("open64", path, flags, ap);
    va_end(ap);
    return fd;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (fd < 0 || fd != g_node) {
        using IoctlFn = int (*)(int, unsigned long, ...);
        static const auto realIoctl = Next<IoctlFn>("ioctl");
        return realIoctl(fd, request, argument);
    }
    const char* configured = std::getenv("QIM_SHIM_RESULT");
    const int result = configured != nullptr ? std::atoi(configured) : 0;
    char line[64];
    if (request == qim::QIM_MOUNT) {
        SaveRecord(static_cast<const unsigned char*>(argument));
        std::snprintf(line, sizeof line, "mount -> %d", result);
    } else if (request == qim::QIM_UNMOUNT) {
        std::snprintf(line, sizeof line, "unmount -> %d", result);
    } else {
        std::snprintf(line, sizeof line, "ioctl 0x%lx", request);
        Log(line);
        errno = ENOTTY;
        return -1;
    }
    Log(line);
    if (result < 0) {
        errno = EIO;
        return -1;
    }
    return result;
}

int close(int fd)
{
    using CloseFn = int (*)(int);
    static const auto realClose = Next<CloseFn>("close");
    if (fd >= 0 && fd == g_node) {
        g_node = -1;
        Log("close");
    }
    return realClose(fd);
}
}
