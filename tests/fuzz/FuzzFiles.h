// SPDX-License-Identifier: MIT
// What the fuzz targets share: an input cut into pieces, image files made
// from pieces in a directory of this process's own on tmpfs, and a check that
// files stayed as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qimfuzz {

using Piece = std::span<const std::uint8_t>;

// Pieces are separated by this line; the seed writer joins them with it.
inline constexpr std::string_view kSeparator = "\n#qim-fuzz#\n";

[[nodiscard]] std::vector<Piece> SplitInput(const std::uint8_t* data, std::size_t size);
[[nodiscard]] std::string JoinPieces(const std::vector<std::string>& pieces);

// A file piece is its name, a newline, then its bytes.
[[nodiscard]] std::string FilePiece(std::string_view name, std::string_view bytes);

// Little-endian number of up to 8 bytes at at, zeros past the piece's end.
[[nodiscard]] std::uint64_t TakeLE(Piece piece, std::size_t at, std::size_t bytes);

struct FuzzFile {
    std::string path;
    std::vector<std::uint8_t> bytes;
};

// The directory of this process, emptied and filled with pieces[first...] as
// files. A piece whose name is not a plain file name (letters, digits, '-',
// '_', '.', not beginning with '.', at most 64 bytes) is skipped, as is a
// second piece of the same name.
[[nodiscard]] const std::string& FuzzDir();
[[nodiscard]] std::vector<FuzzFile> WriteFiles(std::span<const Piece> pieces);
// Ends the process with a message when a file is not as written.
void CheckUnchanged(const std::vector<FuzzFile>& files, const char* after);
[[noreturn]] void Fail(const char* what);

}  // namespace qimfuzz
