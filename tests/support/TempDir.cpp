// SPDX-License-Identifier: MIT
#include "TempDir.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qimtest {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qimtest.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave read-only files behind; give the owner write permission back first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::chmod(it->path().c_str(), it->is_directory() ? 0700 : 0600);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

namespace {
int OpenOrThrow(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    return fd;
}
}  // namespace

void WriteFile(const std::string& path, const Bytes& bytes)
{
    const int fd = OpenOrThrow(path, O_WRONLY | O_CREAT | O_TRUNC);
    const bool ok = ::pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) { return ReadFileRange(path, 0, static_cast<std::size_t>(FileSize(path))); }

Bytes ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t length)
{
    const int fd = OpenOrThrow(path, O_RDONLY);
    Bytes out(length);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

void WriteFileAt(const std::string& path, std::uint64_t offset, const Bytes& bytes)
{
    const int fd = OpenOrThrow(path, O_WRONLY | O_CREAT);
    const bool ok = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                    static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

void MakeSparseFile(const std::string& path, std::uint64_t size)
{
    const int fd = OpenOrThrow(path, O_WRONLY | O_CREAT);
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot size " + path);
}

std::uint64_t FileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint8_t PatternByte(std::uint64_t position, std::uint32_t seed)
{
    // Mixes the sector number in, so that a sector read from the wrong place shows.
    const std::uint64_t x = position * 0x9E3779B97F4A7C15ull + (position >> 9) * 31 + seed * 0x85EBCA6Bull;
    return static_cast<std::uint8_t>((x >> 29) ^ (x >> 47) ^ seed);
}

Bytes PatternBytes(std::uint64_t position, std::size_t length, std::uint32_t seed)
{
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i)
        out[i] = PatternByte(position + i, seed);
    return out;
}

std::size_t OpenFileCount()
{
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

}  // namespace qimtest
