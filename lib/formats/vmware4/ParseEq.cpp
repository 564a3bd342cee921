// SPDX-License-Identifier: MIT
// Value parsers and the line grammar shared by both descriptor records.
#include "ParseEq.h"

#include "Nk.h"

namespace qim {

namespace {

// Cuts one trailing blank off the value, if it has one.
std::size_t DropOneTrailingBlank(char* value)
{
    std::size_t length = std::strlen(value);
    if (length > 0 && value[length - 1] == ' ')
        value[--length] = '\0';
    return length;
}

// Skips blanks and one '=' and the blanks after it; null when there is no '='.
char* AfterEquals(char* text)
{
    text = detail::SkipBlanks(text);
    return *text == '=' ? detail::SkipBlanks(text + 1) : nullptr;
}

// The text up to the next blank, NUL-terminated, and p past the blanks after
// it; null when no blank follows.
char* Field(char*& p)
{
    char* start = p;
    while (*p != '\0' && *p != ' ')
        ++p;
    if (*p != ' ')
        return nullptr;
    *p = '\0';
    p = detail::SkipBlanks(p + 1);
    return start;
}

}  // namespace

int ParseEqString(char* text, char** value)
{
    char* v = AfterEquals(text);
    if (v == nullptr)
        return 0;
    DropOneTrailingBlank(v);
    *value = v;
    return 1;
}

int ParseEqStringDQ(char* text, char** value)
{
    char* v = AfterEquals(text);
    if (v == nullptr || *v != '"')
        return 0;
    ++v;
    const std::size_t length = DropOneTrailingBlank(v);
    if (length == 0 || v[length - 1] != '"')
        return 0;
    v[length - 1] = '\0';
    *value = v;
    return 1;
}

int ParseEqULongDQ(char* text, std::uint32_t* value)
{
    char* v = nullptr;
    if (!ParseEqStringDQ(text, &v))
        return 0;
    *value = static_cast<std::uint32_t>(qim::atoi(v));
    return 1;
}

namespace detail {

char* NextDescriptionLine(DescriptionText text, std::size_t& pos)
{
    if (pos >= kDescriptionTextBytes || text[pos] == '\0')
        return nullptr;
    char* line = &text[pos];
    while (pos < kDescriptionTextBytes && text[pos] != '\n' && text[pos] != '\0')
        ++pos;
    if (pos < kDescriptionTextBytes && text[pos] == '\n')
        text[pos++] = '\0';
    else
        pos = kDescriptionTextBytes;
    return line;
}

char* SkipBlanks(char* p)
{
    while (*p == ' ')
        ++p;
    return p;
}

bool IsVersionLine(char* line)
{
    return std::strncmp(line, "version=", 8) == 0 && qim::atoi(SkipBlanks(line + 8)) == 1;
}

bool IsKeyLine(const char* line)
{
    const char* equals = std::strchr(line, '=');
    return equals != nullptr && std::memchr(line, '"', static_cast<std::size_t>(equals - line)) == nullptr;
}

int ParseExtentLine(char* line, std::uint32_t* sectors, char** file)
{
    char* p = line;
    const char* access = Field(p);
    if (access == nullptr || std::strcmp(access, "RW") != 0)
        return 0;
    const char* size = Field(p);
    const char* type = size != nullptr ? Field(p) : nullptr;
    if (type == nullptr || std::strcmp(type, "SPARSE") != 0 || *p != '"')
        return 0;
    char* name = SkipBlanks(p + 1);
    char* close = std::strchr(name, '"');
    if (close == nullptr)
        return 0;
    *close = '\0';
    *sectors = static_cast<std::uint32_t>(qim::atoi(size));
    *file = name;
    return 1;
}

}  // namespace detail

}  // namespace qim
