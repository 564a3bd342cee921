// SPDX-License-Identifier: MIT
#include "ConsoleInput.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace qim {

namespace {
// Longer words cannot be numbers of 32 bits.
constexpr std::size_t kNumberWordMax = 32;

bool IsDigits(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (std::isdigit(static_cast<unsigned char>(*text)) == 0)
            return false;
    return true;
}
}  // namespace

InputRead ReadWord(std::string* word, std::size_t maxLength)
{
    // Prompts end without a line feed; the user must see them before typing.
    std::fflush(stdout);
    word->clear();
    int c = std::getchar();
    while (c != EOF && std::isspace(c) != 0)
        c = std::getchar();
    if (c == EOF)
        return InputRead::End;
    bool tooLong = false;
    for (; c != EOF && std::isspace(c) == 0; c = std::getchar()) {
        if (word->size() < maxLength)
            word->push_back(static_cast<char>(c));
        else
            tooLong = true;
    }
    if (c != EOF)
        std::ungetc(c, stdin);
    return tooLong ? InputRead::NotValue : InputRead::Value;
}

bool ParseInt(const std::string& word, int* value)
{
    const char* text = word.c_str();
    const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
    if (!IsDigits(digits))
        return false;
    errno = 0;
    const long parsed = std::strtol(text, nullptr, 10);
    if (errno != 0 || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

bool ParseUnsigned(const std::string& word, std::uint32_t* value)
{
    const char* text = word.c_str();
    const char* digits = *text == '+' ? text + 1 : text;
    if (!IsDigits(digits))
        return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits, nullptr, 10);
    if (errno != 0 || parsed > UINT32_MAX)
        return false;
    *value = static_cast<std::uint32_t>(parsed);
    return true;
}

InputRead ReadInt(int* value)
{
    std::string word;
    if (InputRead r = ReadWord(&word, kNumberWordMax); r != InputRead::Value)
        return r;
    return ParseInt(word, value) ? InputRead::Value : InputRead::NotValue;
}

InputRead ReadUnsigned(std::uint32_t* value)
{
    std::string word;
    if (InputRead r = ReadWord(&word, kNumberWordMax); r != InputRead::Value)
        return r;
    return ParseUnsigned(word, value) ? InputRead::Value : InputRead::NotValue;
}

}  // namespace qim
