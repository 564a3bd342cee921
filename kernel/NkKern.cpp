// SPDX-License-Identifier: MIT
// The driver's platform layer, with a kernel file's semantics: transfers are
// positioned calls that leave the file position alone, a read that ends past
// the end of the file succeeds, and creating a file never truncates it.
#include "NkKern.h"

#include "Nk.h"
#include "NkImageFile.h"
#include "NkReadCapture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qim {

namespace {

// The nodes through which the driver is reached, one a minor: opening one
// from inside the driver would wait for the driver itself. Set while other
// minors are already served, so each word is atomic.
struct DriverNode {
    std::atomic<std::uint64_t> device{0};
    std::atomic<std::uint64_t> inode{0};
};
std::array<DriverNode, kNkDriverNodes> driverNodes;

// The open-file object: the descriptor and the modes it was opened with.
struct KernFile {
    int fd;
    bool canRead;
    bool canWrite;
};

std::atomic<NkLock> imageLocks{NkLock::None};

int OpenKernFile(const char* path, int flags, bool canRead, bool canWrite, NkHandle* handle)
{
    // The kernel copies the name into a PATH_MAX buffer first and refuses longer ones.
    if (std::strlen(path) >= PATH_MAX)
        return 0;
    auto* file = static_cast<KernFile*>(std::malloc(sizeof(KernFile)));
    if (file == nullptr)
        return 0;
    std::array<NkFileIdentity, kNkDriverNodes> refused{};
    for (std::size_t i = 0; i < refused.size(); ++i)
        refused[i] = {driverNodes[i].device.load(), driverNodes[i].inode.load()};
    // The served driver locks every image file, so that no other program
    // writes what it reads or writes, and none reads what it writes.
    const int fd = NkOpenImageDescriptor(path, flags, 0600, refused, imageLocks.load());
    if (fd < 0) {
        std::free(file);
        return 0;
    }
    *file = KernFile{fd, canRead, canWrite};
    *handle = file;
    return 1;
}

unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

int NkCreateFile(const char* path, std::uint32_t readOnly, NkHandle* handle)
{
    return readOnly != 0 ? OpenKernFile(path, O_RDONLY, true, false, handle)
                         : OpenKernFile(path, O_RDWR, true, true, handle);
}

int NkCreateFileNew(const char* path, NkHandle* handle) { return OpenKernFile(path, O_RDWR | O_CREAT, true, true, handle); }

int NkCloseFile(NkHandle handle)
{
    auto* file = static_cast<KernFile*>(handle);
    const int rc = ::close(file->fd);
    std::free(file);
    return rc == 0 ? 1 : 0;
}

// A failed seek is a failure, never a size.
int NkGetFileSize(NkHandle handle, std::uint64_t* size)
{
    const auto* file = static_cast<const KernFile*>(handle);
    if (file == nullptr)
        return 0;
    const off_t end = ::lseek(file->fd, 0, SEEK_END);
    if (end < 0)
        return 0;
    *size = static_cast<std::uint64_t>(end);
    return 1;
}

int NkSetFileSize(NkHandle handle, std::uint64_t size)
{
    const auto* file = static_cast<const KernFile*>(handle);
    if (file == nullptr || !file->canWrite)
        return 0;
    return ::ftruncate(file->fd, static_cast<off_t>(size)) == 0 ? 1 : 0;
}

namespace {
// Positioned calls until all length bytes have moved: the count moved, or -1.
// A write that stops short (a full file system, a file size limit) fails, so
// that no caller counts on bytes the file does not hold; a read stops at the
// end of the file.
thread_local bool noSpace = false;

template <class Op> std::int64_t Transfer(NkHandle handle, bool write, std::uint64_t offset, std::uint32_t length, Op op)
{
    const auto* file = static_cast<const KernFile*>(handle);
    if (file == nullptr || !(write ? file->canWrite : file->canRead))
        return -1;
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = op(file->fd, done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && write && (errno == ENOSPC || errno == EDQUOT))
            noSpace = true;
        if (n < 0 || (n == 0 && write))
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::uint32_t>(n);
    }
    return done;
}
}  // namespace

bool NkReadCaptureSettle(NkReadCapture* capture)
{
    NkReadCapture& c = *capture;
    bool whole = true;
    for (std::size_t i = 0; i < c.count && whole; ++i) {
        const NkReadCapture::Piece& p = c.pieces[i];
        for (std::size_t done = 0; done < p.length;) {
            const ssize_t n = ::read(c.pipeRead, c.base + p.at + done, p.length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                whole = false;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    c.count = 0;
    return whole;
}

namespace {

// Below this, moving pages costs more than copying them.
constexpr std::uint32_t kSmallestCapture = 16 * 1024;

// Moves up to length bytes at offset into the capture's pipe as the piece at
// `at` in its buffer: the count moved, short at the end of the file or when
// the pipe or the file takes no splice; -1 when the pieces before could not
// be brought back.
std::int64_t Capture(NkReadCapture& c, NkHandle handle, std::uint64_t offset, std::uint32_t length, std::size_t at)
{
    const bool inOrder = c.count == 0 || at >= c.pieces[c.count - 1].at + c.pieces[c.count - 1].length;
    if ((!inOrder || c.count == c.pieces.size()) && !NkReadCaptureSettle(&c))
        return -1;
    // A splice that fails ends the piece where it stands, as the end of the
    // file would; the read then takes the rest into the buffer.
    const std::int64_t done = Transfer(handle, false, offset, length, [&](int fd, std::uint32_t moved, off_t from) {
        loff_t position = from;
        const ssize_t n = ::splice(fd, &position, c.pipeWrite, nullptr, length - moved, SPLICE_F_NONBLOCK);
        return n < 0 && errno != EINTR ? 0 : n;
    });
    if (done > 0)
        c.pieces[c.count++] = {at, static_cast<std::size_t>(done)};
    return std::max<std::int64_t>(done, 0);
}

}  // namespace

// A read that ends past the end of the file succeeds with zeros for the
// missing bytes: headers read past a short file keep succeeding, and neither
// they nor a request into a file that shrank under a mount keep the former
// contents of the buffer. Into an armed capture's buffer, the bytes the file
// holds go to its pipe instead (NkReadCapture.h).
int NkReadFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, void* buffer)
{
    auto* bytes = static_cast<std::byte*>(buffer);
    std::int64_t captured = 0;
    if (NkReadCapture* c = nkReadCapture; c != nullptr && length >= kSmallestCapture) {
        const auto at = reinterpret_cast<std::uintptr_t>(bytes) - reinterpret_cast<std::uintptr_t>(c->base);
        if (length <= c->size && at <= c->size - length)
            captured = Capture(*c, handle, offset, length, at);
    }
    if (captured < 0)
        return 0;
    const auto skip = static_cast<std::uint32_t>(captured);
    const std::int64_t n = Transfer(handle, false, offset + skip, length - skip, [&](int fd, std::uint32_t done, off_t at) {
        return ::pread(fd, bytes + skip + done, length - skip - done, at);
    });
    if (n < 0)
        return 0;
    std::memset(bytes + skip + n, 0, length - skip - static_cast<std::uint32_t>(n));
    return 1;
}

int NkWriteFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, const void* buffer)
{
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    return Transfer(handle, true, offset, length, [&](int fd, std::uint32_t done, off_t at) {
               return ::pwrite(fd, bytes + done, length - done, at);
           }) == length
               ? 1
               : 0;
}

void NkKernSetImageLocks(NkLock lock) { imageLocks.store(lock); }

bool NkKernTakeNoSpace() { return std::exchange(noSpace, false); }

void NkKernSetDriverNode(unsigned minor, std::uint64_t device, std::uint64_t inode)
{
    DriverNode& node = driverNodes.at(minor);
    node.inode = inode;
    node.device = device;
}

void* NkMalloc(std::uint32_t size) { return std::malloc(size); }

void NkFree(void* p) { std::free(p); }

void NkCopyMemory(void* destination, const void* source, std::uint32_t length)
{
    std::memcpy(destination, source, length);
}

int NkCompareString(const char* a, const char* b, std::uint32_t caseFlag)
{
    const auto* p = reinterpret_cast<const unsigned char*>(a);
    const auto* q = reinterpret_cast<const unsigned char*>(b);
    for (;; ++p, ++q) {
        const unsigned char x = caseFlag != 0 ? *p : Lower(*p);
        const unsigned char y = caseFlag != 0 ? *q : Lower(*q);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == '\0')
            return 0;
    }
}

int NkGetSecFrom2K() { return 0; }

// simple_strtol(text, NULL, 10): an optional '-', then digits; no blanks skipped,
// and the value wraps as the kernel's unsigned long does.
int atoi(const char* text)
{
    const bool negative = *text == '-';
    if (negative)
        ++text;
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

}  // namespace qim
