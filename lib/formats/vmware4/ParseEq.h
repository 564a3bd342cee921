// SPDX-License-Identifier: MIT
// The grammar of VMware 4 descriptor texts: a version line, "key = value"
// lines and extent lines. A blank is a space only; keys match by prefix.
// Parsing writes NULs into the text, and the values point into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qim {

// A descriptor text: at most this many bytes are examined, and the buffer has
// one byte more, so the last line has a terminator even when the text fills it.
inline constexpr std::size_t kDescriptionTextBytes = 1024;
using DescriptionText = std::span<char, kDescriptionTextBytes + 1>;
inline constexpr std::uint32_t kMaxExtentLines = 128;

// Each takes the text just after a key name; 1 and the value, or 0.
[[nodiscard]] int ParseEqString(char* text, char** value);
[[nodiscard]] int ParseEqStringDQ(char* text, char** value);
[[nodiscard]] int ParseEqULongDQ(char* text, std::uint32_t* value);

// A key a descriptor record knows: a text value (quoted or not) or a quoted number.
template <class Record> struct DescriptionKey {
    const char* name;
    char* Record::*text = nullptr;
    std::uint32_t Record::*number = nullptr;
    bool quoted = true;
    bool required = true;

    [[nodiscard]] int Parse(Record* r, char* after) const
    {
        if (number != nullptr)
            return ParseEqULongDQ(after, &(r->*number));
        return quoted ? ParseEqStringDQ(after, &(r->*text)) : ParseEqString(after, &(r->*text));
    }
};

namespace detail {
// The next line of the text from pos, NUL-terminated in place; null after the last.
[[nodiscard]] char* NextDescriptionLine(DescriptionText text, std::size_t& pos);
[[nodiscard]] char* SkipBlanks(char* p);
[[nodiscard]] bool IsVersionLine(char* line);
// A '=' with no double quote before it.
[[nodiscard]] bool IsKeyLine(const char* line);
// RW <sectors> SPARSE "<file>"; 1 when the line has that shape.
[[nodiscard]] int ParseExtentLine(char* line, std::uint32_t* sectors, char** file);
}  // namespace detail

// 1 when the text is the version line first, known keys at most once each
// (every required one present) and extent lines that fit the record.
template <class Record, std::size_t N>
[[nodiscard]] int ParseDescription(Record* r, const std::array<DescriptionKey<Record>, N>& keys, DescriptionText text)
{
    static_assert(N < 32);
    text[kDescriptionTextBytes] = '\0';
    std::uint32_t seen = 0;
    bool version = false;
    r->dwExtentCount = 0;
    std::size_t pos = 0;
    for (char* line = detail::NextDescriptionLine(text, pos); line != nullptr;
         line = detail::NextDescriptionLine(text, pos)) {
        line = detail::SkipBlanks(line);
        if (*line == '\0' || *line == '#')
            continue;
        if (!version) {
            if (!detail::IsVersionLine(line))
                return 0;
            version = true;
        } else if (!detail::IsKeyLine(line)) {
            if (r->dwExtentCount == kMaxExtentLines ||
                !detail::ParseExtentLine(line, &r->adwExtentSectors[r->dwExtentCount],
                                         &r->apszExtentFile[r->dwExtentCount]))
                return 0;
            ++r->dwExtentCount;
        } else {
            for (std::size_t k = 0; k < N; ++k) {
                const std::size_t length = std::strlen(keys[k].name);
                if (std::strncmp(line, keys[k].name, length) != 0)
                    continue;
                if ((seen & (1u << k)) != 0 || !keys[k].Parse(r, line + length))
                    return 0;
                seen |= 1u << k;
                break;
            }
        }
    }
    std::uint32_t required = 0;
    for (std::size_t k = 0; k < N; ++k)
        required |= keys[k].required ? 1u << k : 0;
    return version && (seen & required) == required ? 1 : 0;
}

}  // namespace qim
