// SPDX-License-Identifier: MIT
#include "VirtualPCImage.h"

#include <algorithm>
#include <stdexcept>

namespace qimtest {

namespace {

void PutBE(Bytes& b, std::size_t at, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        b[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

void PutText(Bytes& b, std::size_t at, const std::string& text)
{
    std::copy(text.begin(), text.end(), b.begin() + static_cast<long>(at));
}

// One's complement of the byte sum, with the checksum field taken as zero.
void PutChecksum(Bytes& b, std::size_t at)
{
    PutBE(b, at, 0, 4);
    std::uint32_t sum = 0;
    for (std::uint8_t x : b)
        sum += x;
    PutBE(b, at, ~sum, 4);
}

bool AllZero(const Bytes& disk, std::size_t from, std::size_t length)
{
    return std::all_of(disk.begin() + static_cast<long>(from), disk.begin() + static_cast<long>(from + length),
                       [](std::uint8_t x) { return x == 0; });
}

}  // namespace

Bytes VpcFooter(std::uint32_t diskType, const VpcGeometry& geometry)
{
    Bytes f(512, 0);
    PutText(f, 0, "conectix");
    PutBE(f, 8, 2, 4);  // features: reserved bit
    PutBE(f, 12, 0x00010000, 4);
    PutBE(f, 16, diskType == 2 ? ~std::uint64_t{0} : 512, 8);
    PutBE(f, 24, 0x2A5B1C00, 4);
    PutText(f, 28, "vpc ");
    PutBE(f, 32, 0x00050003, 4);
    PutText(f, 36, "Wi2k");
    PutBE(f, 40, geometry.roundedBytes(), 8);
    PutBE(f, 48, geometry.roundedBytes(), 8);
    PutBE(f, 56, geometry.cylinders, 2);
    f[58] = geometry.heads;
    f[59] = geometry.sectorsPerTrack;
    PutBE(f, 60, diskType, 4);
    for (std::size_t i = 0; i < 16; ++i)
        f[68 + i] = static_cast<std::uint8_t>(0xA0 + i);
    PutChecksum(f, 64);
    return f;
}

void WriteVpcFixed(const std::string& path, const VpcGeometry& geometry, const Bytes& disk)
{
    if (disk.size() > geometry.bytes())
        throw std::invalid_argument("disk larger than the geometry");
    Bytes file(disk);
    file.resize(geometry.roundedBytes(), 0);
    const Bytes footer = VpcFooter(2, geometry);
    file.insert(file.end(), footer.begin(), footer.begin() + 511);
    WriteFile(path, file);
}

void WriteVpcSparse(const std::string& path, const VpcSparseLayout& layout, const Bytes& disk)
{
    const VpcGeometry& g = layout.geometry;
    if (disk.size() != g.bytes() || (!layout.present.empty() && layout.present.size() != g.sectors()))
        throw std::invalid_argument("disk or presence map does not match the geometry");
    const bool differencing = !layout.parent.empty();
    const std::uint32_t entries = g.tableEntries();
    std::vector<bool> blockHasData(entries);
    for (std::uint32_t block = 0; block < entries; ++block) {
        const std::uint64_t from = std::uint64_t{block} * kVpcBlockBytes;
        blockHasData[block] = !AllZero(disk, from, std::min<std::uint64_t>(kVpcBlockBytes, disk.size() - from));
    }
    const auto present = [&](std::uint64_t sector) {
        return layout.present.empty() ? static_cast<bool>(blockHasData[sector * 512 / kVpcBlockBytes])
                                      : static_cast<bool>(layout.present[sector]);
    };

    const Bytes footer = VpcFooter(differencing ? 4 : 3, g);
    Bytes file(footer.begin(), footer.end());
    file[511] = 0;

    Bytes header(1024, 0);
    PutText(header, 0, "cxsparse");
    PutBE(header, 8, ~std::uint64_t{0}, 8);
    PutBE(header, 16, kVpcTableOffset, 8);
    PutBE(header, 24, 0x00010000, 4);
    PutBE(header, 28, entries, 4);
    PutBE(header, 32, kVpcBlockBytes, 4);
    const std::uint64_t tableEnd = (kVpcTableOffset + std::uint64_t{entries} * 4 + 511) / 512 * 512;
    std::uint64_t next = tableEnd;
    if (differencing) {
        const std::size_t entry7 = 576 + 24 * 7;
        PutText(header, entry7, "Wi2k");
        PutBE(header, entry7 + 4, 512, 4);
        PutBE(header, entry7 + 8, layout.parent.size(), 4);
        PutBE(header, entry7 + 16, next, 8);
        next += (layout.parent.size() + 511) / 512 * 512;
    }
    if (differencing)
        std::copy_n(footer.begin() + 68, 16, header.begin() + 40);  // the parent's unique id: every footer's
    PutChecksum(header, 36);
    file.insert(file.end(), header.begin(), header.end());
    file.resize(next, 0);
    if (differencing)
        PutText(file, tableEnd, layout.parent);

    for (std::uint32_t block = 0; block < entries; ++block) {
        const std::uint64_t firstSector = std::uint64_t{block} * (kVpcBlockBytes / 512);
        const std::uint64_t sectors = std::min<std::uint64_t>(kVpcBlockBytes / 512, g.sectors() - firstSector);
        Bytes bitmap(512, 0);
        bool stored = false;
        for (std::uint64_t s = 0; s < sectors; ++s)
            if (present(firstSector + s)) {
                bitmap[s / 8] |= static_cast<std::uint8_t>(0x80 >> (s % 8));
                stored = true;
            }
        PutBE(file, kVpcTableOffset + std::size_t{block} * 4, stored ? next / 512 : 0xFFFFFFFF, 4);
        if (!stored)
            continue;
        file.insert(file.end(), bitmap.begin(), bitmap.end());
        const std::size_t data = file.size();
        file.resize(data + kVpcBlockBytes, 0);
        for (std::uint64_t s = 0; s < sectors; ++s)
            if (present(firstSector + s))
                std::copy_n(disk.begin() + static_cast<long>((firstSector + s) * 512), 512,
                            file.begin() + static_cast<long>(data + s * 512));
        next = file.size();
    }
    file.insert(file.end(), footer.begin(), footer.begin() + layout.trailingFooterBytes);
    WriteFile(path, file);
}

std::uint32_t VpcTableEntry(const std::string& path, std::uint32_t block)
{
    const Bytes b = ReadFileRange(path, kVpcTableOffset + std::uint64_t{block} * 4, 4);
    if (b.size() != 4)
        throw std::runtime_error("table entry past the end of " + path);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

void VpcSetCreator(const std::string& path, const std::string& creator)
{
    const std::uint64_t size = FileSize(path);
    for (const std::uint64_t at : {std::uint64_t{0}, size - 512, size - 511}) {
        Bytes footer = ReadFileRange(path, at, 511);
        if (footer.size() != 511 || std::string(footer.begin(), footer.begin() + 8) != "conectix")
            continue;
        PutText(footer, 28, creator);
        footer.push_back(0);
        PutChecksum(footer, 64);
        footer.pop_back();
        WriteFileAt(path, at, footer);
    }
}

namespace {

constexpr VpcGeometry kConformanceGeometry = {20, 16, 63};

Bytes SparseSample(std::uint32_t seed)
{
    Bytes disk = PatternBytes(0, kConformanceGeometry.bytes(), seed);
    std::fill_n(disk.begin() + kVpcBlockBytes, kVpcBlockBytes, 0);
    std::fill_n(disk.begin() + 3 * kVpcBlockBytes, kVpcBlockBytes, 0);
    return disk;
}

BuiltImage Built(const std::string& path, const Bytes& disk, std::vector<std::string> parents)
{
    BuiltImage built;
    built.path = path;
    built.info = {kConformanceGeometry.sectors(), kConformanceGeometry.heads, kConformanceGeometry.sectorsPerTrack,
                  512};
    built.contents.resize(disk.size());
    std::transform(disk.begin(), disk.end(), built.contents.begin(), [](std::uint8_t b) { return std::byte{b}; });
    built.files = parents;
    built.files.push_back(path);
    built.parents = std::move(parents);
    return built;
}

}  // namespace

BuiltImage BuildVpcFixedConformance(const std::string& path)
{
    const Bytes disk = PatternBytes(0, kConformanceGeometry.bytes(), 21);
    WriteVpcFixed(path, kConformanceGeometry, disk);
    return Built(path, disk, {});
}

BuiltImage BuildVpcDynamicConformance(const std::string& path)
{
    const Bytes disk = SparseSample(22);
    WriteVpcSparse(path, {.geometry = kConformanceGeometry}, disk);
    return Built(path, disk, {});
}

BuiltImage BuildVpcDifferencingConformance(const std::string& path)
{
    const std::string parent = path + ".parent.vhd";
    Bytes disk = SparseSample(23);
    WriteVpcSparse(parent, {.geometry = kConformanceGeometry}, disk);
    const Bytes own = PatternBytes(0, disk.size(), 24);
    std::vector<bool> present(kConformanceGeometry.sectors(), false);
    for (std::size_t s = 0; s < 2 * kVpcBlockBytes / 512; s += 3) {
        present[s] = true;
        std::copy_n(own.begin() + static_cast<long>(s * 512), 512, disk.begin() + static_cast<long>(s * 512));
    }
    WriteVpcSparse(path, {.geometry = kConformanceGeometry, .parent = parent, .present = present}, own);
    return Built(path, disk, {parent});
}

}  // namespace qimtest
