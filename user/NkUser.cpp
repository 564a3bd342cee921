// The platform layer of the control program: 64-bit stdio. Every transfer
// seeks first, so reads and writes alternate freely on one stream, and a
// transfer that moves fewer bytes than asked fails.
#include "Nk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace qim {

int NkCreateFile(const char* path, std::uint32_t readOnly, NkHandle* handle)
{
    FILE* f = fopen64(path, readOnly != 0 ? "rb" : "r+b");
    if (f == nullptr)
        return 0;
    *handle = f;
    return 1;
}

int NkCreateFileNew(const char* path, NkHandle* handle)
{
    FILE* f = fopen64(path, "w+b");
    if (f == nullptr)
        return 0;
    *handle = f;
    return 1;
}

int NkCloseFile(NkHandle handle) { return std::fclose(static_cast<FILE*>(handle)) == 0 ? 1 : 0; }

int NkGetFileSize(NkHandle handle, std::uint64_t* size)
{
    auto* f = static_cast<FILE*>(handle);
    if (fseeko64(f, 0, SEEK_END) != 0)
        return 0;
    const off64_t end = ftello64(f);
    if (end < 0)
        return 0;
    *size = static_cast<std::uint64_t>(end);
    return 1;
}

int NkReadFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, void* buffer)
{
    auto* f = static_cast<FILE*>(handle);
    // Sequential reads skip the seek (a system call); stdio knows its own position.
    // Writes always flush, so a read may follow one without a positioning call.
    if (ftello64(f) != static_cast<off64_t>(offset) && fseeko64(f, static_cast<off64_t>(offset), SEEK_SET) != 0)
        return 0;
    return std::fread(buffer, 1, length, f) == length ? 1 : 0;
}

int NkWriteFile(NkHandle handle, std::uint64_t offset, std::uint32_t length, const void* buffer)
{
    auto* f = static_cast<FILE*>(handle);
    if (fseeko64(f, static_cast<off64_t>(offset), SEEK_SET) != 0)
        return 0;
    // Flushed at once: a write reported as done must not fail later, unseen, in fclose.
    return std::fwrite(buffer, 1, length, f) == length && std::fflush(f) == 0 ? 1 : 0;
}

void* NkMalloc(std::uint32_t size) { return std::malloc(size); }

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
