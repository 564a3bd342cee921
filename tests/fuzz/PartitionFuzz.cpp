// SPDX-License-Identifier: MIT
// The PC/AT, PC-98 and FM Towns partition walkers over a raw disk made from
// the input: byte 0 picks the sector size, bytes 1 and 2 the heads and sectors
// per track, byte 3 bit 0 takes the total sectors from bytes 4 to 7 (else the
// file's length gives them); the disk is the rest. Lists and lookups must agree.
#include "Disk.h"
#include "FuzzFiles.h"
#include "PartitionEntry.h"

#include <array>
#include <cstring>
#include <string>

using namespace qim;

namespace {

constexpr std::uint8_t kCanary = 0xA5;

template <class T, std::size_t N> bool UntouchedFrom(const std::array<T, N>& list, std::size_t count)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(list.data());
    for (std::size_t i = count * sizeof(T); i < N * sizeof(T); ++i)
        if (bytes[i] != kCanary)
            return false;
    return true;
}

void WalkPcAt(Disk* disk)
{
    std::array<PartitionEntry, kPartitionListMax + 1> list;
    std::memset(list.data(), kCanary, sizeof list);
    std::uint32_t count = 0;
    const int rc = ReadPartitionEntryList(disk, 0, &count, list.data());
    if (count > kPartitionListMax || !UntouchedFrom(list, count))
        qimfuzz::Fail("the PC/AT list wrote past its entries");
    for (std::uint32_t i = 0; i <= count; ++i) {
        std::uint32_t index = i;
        PartitionEntry entry{};
        const int found = ReadPartitionEntry(disk, 0, &index, &entry);
        const bool agrees = rc != 0 ? found == rc
                            : i < count ? found == 0 && std::memcmp(&entry, &list[i], sizeof entry) == 0
                                        : found == ERR_INVALID_IMAGE;
        if (!agrees)
            qimfuzz::Fail("the PC/AT lookup disagrees with the list");
        PartitionExtent extent{};
        if (rc == 0 && i < count && (GetPartitionExtent(disk, 0, i, &extent) != 0 ||
                                     extent.qwStartSector != list[i].dwStartSector))
            qimfuzz::Fail("the PC/AT extent disagrees with the list");
    }
}

void WalkPc98(Disk* disk, const DiskInfo& info)
{
    std::array<PartitionEntry98, 8 + 1> list;
    std::memset(list.data(), kCanary, sizeof list);
    std::uint32_t count = 0;
    const int rc = ReadPartitionEntryList98(disk, info.dwBytesPerSector, &count, list.data());
    if (count > 8 || !UntouchedFrom(list, count))
        qimfuzz::Fail("the PC-98 list wrote past its entries");
    // The lookup may refuse a table the list accepts (it also probes 510), never the reverse.
    for (std::uint32_t i = 0; i <= 9; ++i) {
        PartitionEntry98 entry{};
        if (ReadPartitionEntry98(disk, info.dwBytesPerSector, i, &entry) != 0)
            continue;
        if (rc != 0 || i >= count || std::memcmp(&entry, &list[i], sizeof entry) != 0)
            qimfuzz::Fail("the PC-98 lookup finds what the list does not");
        PartitionExtent extent{};
        (void)PartitionExtentOf98(entry, info, &extent);
        (void)GetPartitionExtent(disk, 1, i, &extent);
    }
}

void WalkFMTowns(Disk* disk)
{
    std::array<PartitionEntryFMTowns, 10 + 1> list;
    std::memset(list.data(), kCanary, sizeof list);
    std::uint32_t count = 0;
    (void)ReadPartitionEntryListFMTowns(disk, &count, list.data());
    if (count > 10 || !UntouchedFrom(list, count))
        qimfuzz::Fail("the FM Towns list wrote past its entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 8)
        return 0;
    constexpr std::array<std::uint32_t, 4> kSectorBytes = {256, 512, 1024, 2048};
    const std::string piece =
        qimfuzz::FilePiece("disk.img", std::string(reinterpret_cast<const char*>(data) + 8, size - 8));
    const qimfuzz::Piece pieces[] = {{reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()}};
    const auto files = qimfuzz::WriteFiles(pieces);
    DiskInfo info{0, data[1], data[2], kSectorBytes[data[0] % 4]};
    info.dwTotalSectors = (data[3] & 1) != 0 ? static_cast<std::uint32_t>(qimfuzz::TakeLE({data, size}, 4, 4))
                                             : static_cast<std::uint32_t>((size - 8) / info.dwBytesPerSector);
    Disk disk;
    Disk_Construct(&disk);
    if (Disk_OpenBeta(&disk, files[0].path.c_str(), 1, 0, &info) != 0)
        return 0;
    Disk_GetDiskInfo(&disk, &info);
    WalkPcAt(&disk);
    WalkPc98(&disk, info);
    WalkFMTowns(&disk);
    Disk_Close(&disk);
    qimfuzz::CheckUnchanged(files, "by the partition walkers");
    return 0;
}
