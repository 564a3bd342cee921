// SPDX-License-Identifier: MIT
// Answers typed at the control program's prompts, read word by word from
// standard input. Every reader reports the end of input, so that no prompt
// can repeat without end once the input is exhausted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qim {

enum class InputRead { Value, NotValue, End };

// Reads one whitespace-delimited word. NotValue when it is longer than
// maxLength (the whole word is consumed anyway).
[[nodiscard]] InputRead ReadWord(std::string* word, std::size_t maxLength);
// Reads one word as a decimal int ("%d") or a 32-bit unsigned ("%u"); any
// other word is NotValue and is consumed.
[[nodiscard]] InputRead ReadInt(int* value);
[[nodiscard]] InputRead ReadUnsigned(std::uint32_t* value);

// Words only: "12" and "+12" are numbers, "12x", "-" and out-of-range values are not.
[[nodiscard]] bool ParseInt(const std::string& word, int* value);
[[nodiscard]] bool ParseUnsigned(const std::string& word, std::uint32_t* value);

}  // namespace qim
