#include "RawImage.h"

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
