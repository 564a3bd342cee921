// SPDX-License-Identifier: MIT
#include "PartitionTable.h"

#include <functional>
#include <stdexcept>

namespace qimtest {

namespace {

using Sink = std::function<void(std::uint64_t offset, const Bytes& bytes)>;

Sink IntoBytes(Bytes& disk)
{
    return [&disk](std::uint64_t offset, const Bytes& bytes) {
        if (disk.size() < offset + bytes.size())
            disk.resize(offset + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(offset));
    };
}

Sink IntoFile(const std::string& path)
{
    return [path](std::uint64_t offset, const Bytes& bytes) { WriteFileAt(path, offset, bytes); };
}

void PutLE32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutPcAtTable(const Sink& sink, std::uint32_t sector, const PcAtSlots& slots,
                  std::array<std::uint8_t, 2> signature, std::uint32_t bytesPerSector = 512)
{
    Bytes area(66);
    for (std::size_t i = 0; i < 4; ++i) {
        const PcAtSlot& s = slots[i];
        const std::size_t at = i * 16;
        area[at] = s.boot;
        std::copy(s.startChs.begin(), s.startChs.end(), area.begin() + static_cast<std::ptrdiff_t>(at + 1));
        area[at + 4] = s.systemId;
        std::copy(s.endChs.begin(), s.endChs.end(), area.begin() + static_cast<std::ptrdiff_t>(at + 5));
        PutLE32(area, at + 8, s.start);
        PutLE32(area, at + 12, s.count);
    }
    area[64] = signature[0];
    area[65] = signature[1];
    sink(std::uint64_t{sector} * bytesPerSector + 446, area);
}

PcAtSlot SlotFor(std::uint8_t systemId, std::uint32_t start, std::uint32_t count)
{
    PcAtSlot s;
    s.systemId = systemId;
    s.start = start;
    s.count = count;
    return s;
}

std::vector<PcAtPartition> PutPcAtLayout(const Sink& sink, const PcAtLayout& layout)
{
    const bool extended = !layout.logical.empty();
    const std::size_t used = layout.primary.size() + (extended ? 1 : 0);
    const std::uint32_t extSlot = layout.extendedSlot.value_or(static_cast<std::uint32_t>(layout.primary.size()));
    if (used > 4 || (extended && extSlot >= used))
        throw std::invalid_argument("more partitions than master table slots");

    // Each logical partition's table sits logicalGap sectors before it.
    std::vector<std::uint32_t> tables;
    for (std::size_t i = 0; i < layout.logical.size(); ++i) {
        const PcAtPartition& p = layout.logical[i];
        if (p.start < layout.logicalGap || (i > 0 && p.start - layout.logicalGap <
                                                          layout.logical[i - 1].start + layout.logical[i - 1].count))
            throw std::invalid_argument("logical partitions must ascend with room for their tables");
        tables.push_back(p.start - layout.logicalGap);
    }

    PcAtSlots master{};
    std::vector<PcAtPartition> order;
    std::size_t nextPrimary = 0;
    for (std::uint32_t slot = 0; slot < used; ++slot) {
        if (extended && slot == extSlot) {
            const PcAtPartition& last = layout.logical.back();
            master[slot] = SlotFor(layout.extendedId, tables.front(), last.start + last.count - tables.front());
            order.insert(order.end(), layout.logical.begin(), layout.logical.end());
            continue;
        }
        const PcAtPartition& p = layout.primary[nextPrimary++];
        master[slot] = SlotFor(p.systemId, p.start, p.count);
        order.push_back(p);
    }
    PutPcAtTable(sink, 0, master, kPcAtSignature, layout.bytesPerSector);

    for (std::size_t i = 0; i < layout.logical.size(); ++i) {
        const PcAtPartition& p = layout.logical[i];
        PcAtSlots chain{};
        chain[0] = SlotFor(p.systemId, p.start - tables[i], p.count);
        if (i + 1 < layout.logical.size()) {
            const PcAtPartition& next = layout.logical[i + 1];
            chain[1] = SlotFor(layout.extendedId, tables[i + 1] - tables.front(),
                               next.start + next.count - tables[i + 1]);
        }
        PutPcAtTable(sink, tables[i], chain, kPcAtSignature, layout.bytesPerSector);
    }
    return order;
}

}  // namespace

void WritePcAtTable(Bytes& disk, std::uint32_t sector, const PcAtSlots& slots, std::array<std::uint8_t, 2> signature)
{
    PutPcAtTable(IntoBytes(disk), sector, slots, signature);
}

void WritePcAtTable(const std::string& path, std::uint32_t sector, const PcAtSlots& slots,
                    std::array<std::uint8_t, 2> signature)
{
    PutPcAtTable(IntoFile(path), sector, slots, signature);
}

std::vector<PcAtPartition> WritePcAtLayout(Bytes& disk, const PcAtLayout& layout)
{
    return PutPcAtLayout(IntoBytes(disk), layout);
}

std::vector<PcAtPartition> WritePcAtDisk(const std::string& path, std::uint64_t totalSectors,
                                         const PcAtLayout& layout)
{
    MakeSparseFile(path, totalSectors * layout.bytesPerSector);
    return PutPcAtLayout(IntoFile(path), layout);
}

Pc98Slot MakePc98Slot(std::uint16_t startCylinder, std::uint16_t endCylinder, const std::string& name)
{
    if (name.size() > 16)
        throw std::invalid_argument("PC-98 partition names hold 16 bytes");
    Pc98Slot s{};
    s[0] = 0xA0;  // bootable, DOS
    s[1] = 0xA1;  // active, FAT
    s[6] = static_cast<std::uint8_t>(startCylinder);  // IPL cylinder
    s[7] = static_cast<std::uint8_t>(startCylinder >> 8);
    s[10] = static_cast<std::uint8_t>(startCylinder);
    s[11] = static_cast<std::uint8_t>(startCylinder >> 8);
    s[14] = static_cast<std::uint8_t>(endCylinder);
    s[15] = static_cast<std::uint8_t>(endCylinder >> 8);
    for (std::size_t i = 0; i < 16; ++i)
        s[16 + i] = i < name.size() ? static_cast<std::uint8_t>(name[i]) : ' ';
    return s;
}

void WritePc98Table(Bytes& disk, const Pc98Table& table)
{
    const Sink sink = IntoBytes(disk);
    Bytes area;
    for (const Pc98Slot& s : table.slots)
        area.insert(area.end(), s.begin(), s.end());
    sink(table.bytesPerSector, area);
    if (table.at254)
        sink(254, Bytes(table.at254->begin(), table.at254->end()));
    if (table.at510)
        sink(510, Bytes(table.at510->begin(), table.at510->end()));
}

void WriteFMTownsTable(Bytes& disk, const FMTownsTable& table)
{
    const Sink sink = IntoBytes(disk);
    sink(0, table.ipl ? Bytes{'I', 'P', 'L', '4'} : Bytes(4, 0));
    sink(512, table.maker ? Bytes{0x95, 0x78, 0x8E, 0x6D, 0x92, 0xCA} : Bytes(6, 0));
    Bytes area;
    for (const FMTownsSlot& s : table.slots)
        area.insert(area.end(), s.begin(), s.end());
    sink(544, area);
}

}  // namespace qimtest
