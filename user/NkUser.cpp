// SPDX-License-Identifier: MIT
// The platform layer of the control program: 64-bit stdio. Every transfer
// seeks first, so reads and writes alternate freely on one stream, and a
// transfer that moves fewer bytes than asked fails.
#include "Nk.h"
#include "NkImageFile.h"
#include "DiskRefusal.h"
#include "NkUser.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#ifdef QIM_NK_FAULTS
#include "NkFaults.h"

namespace qim::faults {
namespace {
struct Plan {
    std::uint32_t counts[7] = {};
    std::uint32_t failOps = 0;
    std::uint32_t failLeft = 0;       // counted operations until the failing one
    bool failOnward = false;          // every later one fails too
    std::uint32_t shortLeft = 0;      // writes until the short one
    std::uint32_t shortBytes = 0;
};
Plan plan;

int Index(Op op) { return __builtin_ctz(op); }
}  // namespace

void Reset() { plan = Plan{}; }

void FailNth(std::uint32_t n, std::uint32_t ops)
{
    plan.failOps = n != 0 ? ops : 0;
    plan.failLeft = n;
    plan.failOnward = false;
}

void FailFrom(std::uint32_t n, std::uint32_t ops)
{
    FailNth(n, ops);
    plan.failOnward = true;
}

void ShortWriteNth(std::uint32_t n, std::uint32_t bytes)
{
    plan.shortLeft = n;
    plan.shortBytes = bytes;
}

std::uint32_t Count(std::uint32_t ops)
{
    std::uint32_t n = 0;
    for (int i = 0; i < 7; ++i)
        if ((ops & (1u << i)) != 0)
            n += plan.counts[i];
    return n;
}

// Counts the operation; true when it is the one to fail.
bool Hit(Op op)
{
    ++plan.counts[Index(op)];
    if ((plan.failOps & op) == 0 || plan.failLeft == 0)
        return false;
    if (--plan.failLeft != 0)
        return false;
    if (plan.failOnward)
        plan.failLeft = 1;
    return true;
}

// For a write of `length` bytes: how many it stores before failing, or length.
std::uint32_t ShortWrite(std::uint32_t length)
{
    if (plan.shortLeft == 0 || --plan.shortLeft != 0)
        return length;
    return plan.shortBytes < length ? plan.shortBytes : length;
}
}  // namespace qim::faults

#define QIM_FAULT(op, result)                                                                                    \
    do {                                                                                                         \
        if (::qim::faults::Hit(::qim::faults::op))                                                               \
            return result;                                                                                       \
    } while (0)
#else
#define QIM_FAULT(op, result) \
    do {                      \
    } while (0)
#endif

namespace qim {

namespace {
NkLock imageLocks = NkLock::None;

// A stream on an image file (NkImageFile.h), opened with flags as fopen opens with mode.
int OpenStream(const char* path, int flags, const char* mode, NkHandle* handle)
{
    const int fd = NkOpenImageDescriptor(path, flags, 0666, {}, imageLocks);
    if (fd < 0) {
        DiskRefuseFile(path, (flags & O_ACCMODE) == O_RDONLY ? 1 : 0, errno);
        return 0;
    }
    FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) {
        ::close(fd);
        return 0;
    }
    *handle = f;
    return 1;
}
}  // namespace

void NkUserSetImageLocks(NkLock lock) { imageLocks = lock; }

int NkCreateFile(const char* path, std::uint32_t readOnly, NkHandle* handle)
{
    QIM_FAULT(kOpen, 0);
    return readOnly != 0 ? OpenStream(path, O_RDONLY, "rb", handle) : OpenStream(path, O_RDWR, "r+b", handle);
}

int NkCreateFileNew(const char* path, NkHandle* handle)
{
    QIM_FAULT(kCreate, 0);
    return OpenStream(path, O_RDWR | O_CREAT | O_TRUNC, "w+b", handle);
}

int NkCloseFile(NkHandle handle)
{
    const int closed = std::fclose(static_cast<FILE*>(handle)) == 0 ? 1 : 0;
    QIM_FAULT(kClose, 0);
    return closed;
}

int NkGetFileSize(NkHandle handle, std::uint64_t* size)
{
    QIM_FAULT(kSize, 0);
    auto* f = static_cast<FILE*>(handle);
    if (fseeko64(f, 0, SEEK_END) != 0)
        return 0;
    const off64_t end = ftello64(f);
    if (end < 0)
        return 0;
    *size = static_cast<std::uint64_t>(end);
    return 1;
}

int NkSetFileSize(NkHandle handle, std::uint64_t size)
{
    QIM_FAULT(kWrite, 0);
    auto* f = static_cast<FILE*>(handle);
    return std::fflush(f) == 0 && ::ftruncate64(::fileno(f), static_cast<off64_t>(size)) == 0 ? 1 : 0;
}

int NkReadFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, void* buffer)
{
    QIM_FAULT(kRead, 0);
    auto* f = static_cast<FILE*>(handle);
    // Sequential reads skip the seek (a system call); stdio knows its own position.
    // Writes always flush, so a read may follow one without a positioning call.
    if (ftello64(f) != static_cast<off64_t>(offset) && fseeko64(f, static_cast<off64_t>(offset), SEEK_SET) != 0)
        return 0;
    return std::fread(buffer, 1, length, f) == length ? 1 : 0;
}

int NkWriteFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, const void* buffer)
{
    QIM_FAULT(kWrite, 0);
    auto* f = static_cast<FILE*>(handle);
    if (fseeko64(f, static_cast<off64_t>(offset), SEEK_SET) != 0)
        return 0;
#ifdef QIM_NK_FAULTS
    if (const std::uint32_t stored = faults::ShortWrite(length); stored != length) {
        std::fwrite(buffer, 1, stored, f);
        std::fflush(f);
        return 0;
    }
#endif
    // Flushed at once: a write reported as done must not fail later, unseen, in fclose.
    return std::fwrite(buffer, 1, length, f) == length && std::fflush(f) == 0 ? 1 : 0;
}

void* NkMalloc(std::uint32_t size)
{
    QIM_FAULT(kAlloc, nullptr);
    return std::malloc(size);
}

void NkFree(void* p) { std::free(p); }

void NkCopyMemory(void* destination, const void* source, std::uint32_t length)
{
    std::memcpy(destination, source, length);
}

int NkCompareString(const char* a, const char* b, std::uint32_t caseFlag)
{
    return caseFlag != 0 ? std::strcmp(a, b) : strcasecmp(a, b);
}

int NkGetSecFrom2K() { return 1; }

int atoi(const char* text) { return std::atoi(text); }

}  // namespace qim
