#include "D88Image.h"

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
    const std::uint64_t fileSize = layout.trackOffset(layout.reversed ? 0 : layout.tracks - 1) + layout.trackBytes();
    Bytes file(fileSize, 0);
    for (std::uint32_t i = 0; i < 17; ++i)
        file[i] = static_cast<std::uint8_t>("QIM TEST DISK  "[i % 16]);
    file[d88::kMediaTypeAt] = layout.mediaType;
    Put(file, d88::kDiskSizeAt, 4, fileSize);
    const std::uint8_t sizeCode = static_cast<std::uint8_t>(std::countr_zero(layout.bytesPerSector / 128));
    std::uint64_t v = 0;
    for (std::uint32_t t = 0; t < layout.tracks; ++t) {
        Put(file, d88::kTrackTableAt + 4 * t, 4, layout.trackOffset(t));
        for (std::uint32_t s = 0; s < layout.sectorsPerTrack; ++s) {
            const std::uint64_t record = layout.dataOffset(t, s) - d88::kRecordHeader;
            file[record] = static_cast<std::uint8_t>(t / 2);
            file[record + 1] = static_cast<std::uint8_t>(t % 2);
            file[record + 2] = static_cast<std::uint8_t>(s + 1);
            file[record + 3] = sizeCode;
            Put(file, record + d88::kRecordSectorsAt, 2, layout.sectorsPerTrack);
            Put(file, record + d88::kRecordDataSizeAt, 2, layout.bytesPerSector);
            for (std::uint32_t i = 0; i < layout.bytesPerSector; ++i)
                file[record + d88::kRecordHeader + i] = disk[v++];
        }
    }
    WriteFile(path, file);
}

}  // namespace qimtest
