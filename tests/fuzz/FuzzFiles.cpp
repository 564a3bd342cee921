// SPDX-License-Identifier: MIT
#include "FuzzFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

namespace qimfuzz {

std::vector<Piece> SplitInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<Piece> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(kSeparator, start);
        const std::size_t stop = end == std::string_view::npos ? size : end;
        pieces.emplace_back(data + start, stop - start);
        if (end == std::string_view::npos)
            return pieces;
        start = end + kSeparator.size();
    }
}

std::string JoinPieces(const std::vector<std::string>& pieces)
{
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        out += (i == 0 ? "" : std::string(kSeparator)) + pieces[i];
    return out;
}

std::string FilePiece(std::string_view name, std::string_view bytes)
{
    return std::string(name) + "\n" + std::string(bytes);
}

std::uint64_t TakeLE(Piece piece, std::size_t at, std::size_t bytes)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        if (at + i < piece.size())
            value |= std::uint64_t{piece[at + i]} << (8 * i);
    return value;
}

const std::string& FuzzDir()
{
    // Never destroyed: the exit handler that removes the directory needs it.
    static const std::string* dir = [] {
        auto* path = new std::string("/dev/shm/qim-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(*path);
        // Removed at exit; a crash leaves it for inspection.
        std::atexit([] { std::filesystem::remove_all(FuzzDir()); });
        return path;
    }();
    return *dir;
}

namespace {
bool PlainName(std::string_view name)
{
    return !name.empty() && name.size() <= 64 && name[0] != '.' && std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.';
    });
}

std::vector<std::uint8_t> Contents(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail("an image file vanished");
    std::uint8_t chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    ::close(fd);
    return bytes;
}
}  // namespace

std::vector<FuzzFile> WriteFiles(std::span<const Piece> pieces)
{
    const std::string& dir = FuzzDir();
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        std::filesystem::remove_all(entry.path());
    std::vector<FuzzFile> files;
    for (Piece piece : pieces) {
        const std::string_view text(reinterpret_cast<const char*>(piece.data()), piece.size());
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos || !PlainName(text.substr(0, newline)))
            continue;
        FuzzFile file{dir + "/" + std::string(text.substr(0, newline)), {piece.begin() + newline + 1, piece.end()}};
        if (std::ranges::any_of(files, [&](const FuzzFile& f) { return f.path == file.path; }))
            continue;
        const int fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, file.bytes.data(), file.bytes.size()) != static_cast<ssize_t>(file.bytes.size()))
            Fail("cannot write an image file");
        ::close(fd);
        files.push_back(std::move(file));
    }
    return files;
}

void CheckUnchanged(const std::vector<FuzzFile>& files, const char* after)
{
    for (const FuzzFile& f : files)
        if (Contents(f.path) != f.bytes)
            Fail((f.path + " changed " + after).c_str());
}

void Fail(const char* what)
{
    // Through the sanitizers' report channel, which -close_fd_mask leaves open.
    __sanitizer_report_error_summary(("qim-fuzz: " + std::string(what)).c_str());
    std::abort();
}

}  // namespace qimfuzz
