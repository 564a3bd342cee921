// The driver's platform layer, with a kernel file's semantics: every transfer
// is one positioned call that leaves the file position alone, a short transfer
// succeeds, and creating a file never truncates it.
#include "Nk.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qim {

namespace {

// The open-file object: the descriptor and the modes it was opened with.
struct KernFile {
    int fd;
    bool canRead;
    bool canWrite;
};

int OpenKernFile(const char* path, int flags, bool canRead, bool canWrite, NkHandle* handle)
{
    // The kernel copies the name into a PATH_MAX buffer first and refuses longer ones.
    if (std::strlen(path) >= PATH_MAX)
        return 0;
    auto* file = static_cast<KernFile*>(std::malloc(sizeof(KernFile)));
    if (file == nullptr)
        return 0;
    const int fd = ::open(path, flags | O_CLOEXEC, 0600);
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

namespace {
// One positioned call; any non-negative count, a short one included, is success.
template <class Op> int Transfer(NkHandle handle, bool write, Op op)
{
    const auto* file = static_cast<const KernFile*>(handle);
    if (file == nullptr || !(write ? file->canWrite : file->canRead))
        return 0;
    ssize_t n;
    do
        n = op(file->fd);
    while (n < 0 && errno == EINTR);
    return n >= 0 ? 1 : 0;
}
}  // namespace

int NkReadFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, void* buffer)
{
    return Transfer(handle, false, [&](int fd) { return ::pread(fd, buffer, length, static_cast<off_t>(offset)); });
}

int NkWriteFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, const void* buffer)
{
    return Transfer(handle, true, [&](int fd) { return ::pwrite(fd, buffer, length, static_cast<off_t>(offset)); });
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
