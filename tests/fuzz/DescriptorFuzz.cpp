// SPDX-License-Identifier: MIT
// The VMware 4 descriptor grammar over the input as a descriptor text, for a
// plain disk and for a redo log. Every value of an accepted text is a string
// inside the text's buffer.
#include "FuzzFiles.h"
#include "VMware4DiskDescription.h"
#include "VMware4RedoDiskDescription.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace qim;

namespace {

void CheckInside(const std::vector<char>& text, const char* value)
{
    if (value == nullptr)
        return;
    if (value < text.data() || value >= text.data() + text.size() ||
        std::memchr(value, 0, static_cast<std::size_t>(text.data() + text.size() - value)) == nullptr)
        qimfuzz::Fail("a descriptor value outside its text");
}

// A fresh buffer of exactly the text's size, so that a read past it is caught.
std::vector<char> TextOf(const std::uint8_t* data, std::size_t size)
{
    std::vector<char> text(kDescriptionTextBytes + 1, '\0');
    std::memcpy(text.data(), data, std::min(size, kDescriptionTextBytes + 1));
    return text;
}

template <class Record> void CheckRecord(const std::vector<char>& text, const Record& r)
{
    CheckInside(text, r.pszCID);
    CheckInside(text, r.pszParentCID);
    CheckInside(text, r.pszCreateType);
    CheckInside(text, r.pszParentFileNameHint);
    if (r.dwExtentCount > kMaxExtentLines)
        qimfuzz::Fail("more extents than the record holds");
    for (std::uint32_t i = 0; i < r.dwExtentCount; ++i)
        CheckInside(text, r.apszExtentFile[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<char> text = TextOf(data, size);
    VMware4DiskDescription plain;
    VMware4DiskDescription_Init(&plain);
    if (VMware4DiskDescription_Parse(&plain, DescriptionText(text.data(), text.size())) == 1) {
        CheckRecord(text, plain);
        CheckInside(text, plain.pszAdapterType);
    }
    text = TextOf(data, size);
    VMware4RedoDiskDescription redo;
    VMware4RedoDiskDescription_Init(&redo);
    if (VMware4RedoDiskDescription_Parse(&redo, DescriptionText(text.data(), text.size())) == 1)
        CheckRecord(text, redo);
    return 0;
}
