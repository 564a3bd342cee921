// SPDX-License-Identifier: MIT
// Disk_Open of image files made from the input, then reads, writes and
// allocation queries at places the input chooses. The first piece steers:
// byte 0 bit 0 opens read-only, bit 1 also runs the metadata check; then
// 8-byte operations (kind, where in the disk, how many bytes). The other
// pieces are the files, the first of them the image; its name's extension
// leads Disk_Open to a format or, unknown, to the probe.
#include "Disk.h"
#include "FuzzFiles.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

using namespace qim;

namespace {

void IgnoreFinding(void*, const DiskCheckFinding* finding)
{
    if (finding->pszWhat == nullptr)
        qimfuzz::Fail("a check finding without words");
}

// One operation on the open disk; aborts when a result contradicts another.
void Operate(Disk* disk, const char* image, const DiskInfo& info, qimfuzz::Piece op)
{
    const std::uint64_t size = std::uint64_t{info.dwTotalSectors} * info.dwBytesPerSector;
    // Mostly inside the disk, some past its end; sector-aligned when bit 2 is set.
    std::uint64_t offset = (qimfuzz::TakeLE(op, 1, 4) * (size + 1024)) >> 32;
    const std::uint32_t count = static_cast<std::uint32_t>(qimfuzz::TakeLE(op, 5, 3) % (128 * 1024 + 1));
    if ((op[0] & 4) != 0 && info.dwBytesPerSector != 0)
        offset -= offset % info.dwBytesPerSector;
    std::vector<std::uint8_t> buffer(count);
    switch (op[0] & 3) {
    case 0:
        (void)Disk_Read64(disk, offset, count, buffer.data());
        break;
    case 1: {
        std::ranges::fill(buffer, (op[0] & 8) != 0 ? std::uint8_t{0} : op[0]);
        // A read-only disk may accept a write that needs no file change (zeros
        // where zeros are read); the files are compared after closing.
        const int rc = Disk_Write64(disk, offset, count, buffer.data());
        std::vector<std::uint8_t> back(count);
        if (rc == 0 && Disk_Read64(disk, offset, count, back.data()) == 0 && back != buffer)
            qimfuzz::Fail("a written range reads back different");
        break;
    }
    case 2: {
        std::uint64_t length = count;
        std::uint32_t where = 0;
        if (Disk_GetAllocation(disk, offset, &length, &where) == 0 &&
            (length == 0 || length > count || where > DISK_UNALLOCATED))
            qimfuzz::Fail("an allocation answer outside the range asked");
        break;
    }
    default: {
        Disk* parent = nullptr;
        std::array<char, 4096> path{};
        if (Disk_GetParent(disk, image, &parent, path) == 0 && parent != nullptr) {
            DiskInfo parentInfo{};
            Disk_GetDiskInfo(parent, &parentInfo);
            (void)Disk_Read64(parent, std::min<std::uint64_t>(offset, std::uint64_t{parentInfo.dwTotalSectors} * 512),
                              std::min<std::uint32_t>(count, 4096), buffer.data());
        }
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<qimfuzz::Piece> pieces = qimfuzz::SplitInput(data, size);
    if (pieces.size() < 2 || pieces[0].empty())
        return 0;
    const qimfuzz::Piece steer = pieces[0];
    const auto files = qimfuzz::WriteFiles(std::span(pieces).subspan(1));
    if (files.empty())
        return 0;
    const bool readOnly = (steer[0] & 1) != 0;
    const char* image = files[0].path.c_str();

    if ((steer[0] & 2) != 0) {
        std::uint32_t type = 0;
        (void)Disk_CheckAny(image, &type, IgnoreFinding, nullptr);
        qimfuzz::CheckUnchanged(files, "by a metadata check");
    }
    Disk disk;
    Disk_Construct(&disk);
    if (Disk_Open(&disk, image, readOnly) != 0) {
        qimfuzz::CheckUnchanged(files, "by an open that failed");
        return 0;
    }
    DiskInfo info{};
    Disk_GetDiskInfo(&disk, &info);
    for (std::size_t at = 1; at + 8 <= steer.size() && at < 1 + 8 * 16; at += 8)
        Operate(&disk, image, info, steer.subspan(at, 8));
    Disk_Close(&disk);
    if (readOnly)
        qimfuzz::CheckUnchanged(files, "by a read-only open");
    return 0;
}
