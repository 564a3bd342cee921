// SPDX-License-Identifier: MIT
// Fresh temporary directories and small file helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qimtest {

using Bytes = std::vector<std::uint8_t>;

// A new directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    // path() + "/" + name
    [[nodiscard]] std::string file(const std::string& name) const;

private:
    std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
[[nodiscard]] Bytes ReadFile(const std::string& path);
// Bytes [offset, offset + length) of a file; short when the file ends first.
[[nodiscard]] Bytes ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t length);
void WriteFileAt(const std::string& path, std::uint64_t offset, const Bytes& bytes);
// Creates (or extends) a sparse file of the given size without writing data.
void MakeSparseFile(const std::string& path, std::uint64_t size);
[[nodiscard]] std::uint64_t FileSize(const std::string& path);
// The files this process holds open (its descriptors), to show that nothing stays open.
[[nodiscard]] std::size_t OpenFileCount();

// A deterministic byte pattern: byte v of a pattern disk with this seed.
[[nodiscard]] std::uint8_t PatternByte(std::uint64_t position, std::uint32_t seed);
[[nodiscard]] Bytes PatternBytes(std::uint64_t position, std::size_t length, std::uint32_t seed);

}  // namespace qimtest
