// SPDX-License-Identifier: MIT
#include "RawImage.h"

#include "Conformance.h"

#include <algorithm>
#include <stdexcept>

namespace qimtest {

Bytes WriteRawImage(const std::string& path, const RawImageLayout& layout)
{
    const std::uint64_t diskBytes = layout.geometry.bytes();
    if (diskBytes > (std::uint64_t{1} << 30))
        throw std::invalid_argument("use MakeSparseFile for large raw images");
    Bytes disk = PatternBytes(0, static_cast<std::size_t>(diskBytes), layout.seed);
    Bytes file(layout.dataOffset, layout.headerFill);
    file.insert(file.end(), disk.begin(), disk.end());
    file.resize(file.size() + layout.tail, 0xA5);
    WriteFile(path, file);
    return disk;
}

void WriteRawImageFrom(const std::string& path, const RawGeometry& geometry, const Bytes& disk,
                       std::uint32_t dataOffset)
{
    if (disk.size() > geometry.bytes())
        throw std::invalid_argument("disk contents larger than the geometry");
    Bytes file(dataOffset, 0);
    file.insert(file.end(), disk.begin(), disk.end());
    file.resize(dataOffset + geometry.bytes(), 0);
    WriteFile(path, file);
}

}  // namespace qimtest

namespace qimtest {

BuiltImage BuildRawConformance(const std::string& path)
{
    RawImageLayout layout;
    layout.geometry = {2048, 4, 32, 512};
    layout.dataOffset = 4096;
    layout.tail = 1000;
    layout.seed = 11;
    const Bytes disk = WriteRawImage(path, layout);
    BuiltImage built;
    built.path = path;
    built.info = {2048, 4, 32, 512};
    built.contents.resize(disk.size());
    std::transform(disk.begin(), disk.end(), built.contents.begin(), [](std::uint8_t b) { return std::byte{b}; });
    built.files = {path};
    built.rawDataOffset = layout.dataOffset;
    return built;
}

}  // namespace qimtest
