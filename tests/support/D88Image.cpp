// SPDX-License-Identifier: MIT
#include "D88Image.h"

#include "PC98Images.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace qimtest {

namespace {
void Put(Bytes& b, std::uint64_t at, std::uint32_t width, std::uint64_t value)
{
    for (std::uint32_t i = 0; i < width; ++i)
        b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}
}  // namespace

void WriteD88Image(const std::string& path, const D88Layout& layout, const Bytes& disk)
{
    if (disk.size() != layout.diskBytes() || layout.tracks > 164)
        throw std::invalid_argument("D88: disk size differs from the layout");
    Bytes file(layout.trackOffset(layout.reversed ? 0 : layout.tracks - 1) + layout.trackBytes(), 0);
    std::copy_n("QIM TEST DISK", 13, file.begin());
    file[d88::kMediaTypeAt] = layout.mediaType;
    Put(file, d88::kDiskSizeAt, 4, file.size());
    const std::uint32_t sectorBytes = layout.bytesPerSector;
    for (std::uint64_t v = 0; v < disk.size(); v += sectorBytes) {
        const auto t = static_cast<std::uint32_t>(v / sectorBytes / layout.sectorsPerTrack);
        const std::uint64_t record = layout.fileOffset(v) - d88::kRecordHeader;
        Put(file, d88::kTrackTableAt + 4 * t, 4, layout.trackOffset(t));
        // cylinder, head, sector number, size code; then the fields the readers use
        Put(file, record, 4, (t / 2) | (t % 2) << 8 | (v / sectorBytes % layout.sectorsPerTrack + 1) << 16 |
                                 std::uint64_t(std::countr_zero(sectorBytes / 128)) << 24);
        Put(file, record + d88::kRecordSectorsAt, 2, layout.sectorsPerTrack);
        Put(file, record + d88::kRecordDataSizeAt, 2, sectorBytes);
        std::copy_n(disk.begin() + static_cast<long>(v), sectorBytes, file.begin() + static_cast<long>(record + 16));
    }
    WriteFile(path, file);
}

BuiltImage BuildD88FloppyDiskConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, kD88ConformanceLayout.diskBytes(), 28);
    WriteD88Image(path, kD88ConformanceLayout, disk);
    return BuiltFrom(path, {1232, 2, 8, 1024}, disk);
}

}  // namespace qimtest
