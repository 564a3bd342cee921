// SPDX-License-Identifier: MIT
#include "VMware4Image.h"

#include "Conformance.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qimtest {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint32_t kGrainSectors = 128;
constexpr std::uint32_t kGtes = 512;
constexpr std::uint32_t kTableSectors = kGtes * 4 / kSector;

void Put32(Bytes& b, std::uint64_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, std::uint64_t at, std::uint64_t v)
{
    Put32(b, at, static_cast<std::uint32_t>(v));
    Put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

std::string Stem(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot) : path;
}
std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Bytes Slice(const Bytes& b, std::uint64_t from, std::uint64_t length)
{
    Bytes out(length, 0);
    if (from < b.size())
        std::copy_n(b.begin() + static_cast<long>(from), std::min<std::uint64_t>(length, b.size() - from), out.begin());
    return out;
}

std::vector<std::string> WriteExtents(const std::string& path, const Bytes& disk, const Bytes* parent,
                                      const std::vector<std::uint32_t>& capacities, Vmdk4Descriptor& descriptor)
{
    std::vector<std::string> files;
    std::uint64_t base = 0;
    for (std::size_t k = 0; k < capacities.size(); ++k) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "-s%03zu.vmdk", k + 1);
        const std::string file = Stem(path) + suffix;
        const std::uint64_t bytes = capacities[k] * kSector;
        const Bytes mine = Slice(disk, base, bytes);
        std::vector<bool> allocate;
        if (parent != nullptr) {
            const Bytes theirs = Slice(*parent, base, bytes);
            for (std::uint64_t g = 0; g * kVmdkGrainBytes < bytes; ++g) {
                const auto from = static_cast<long>(g * kVmdkGrainBytes);
                const auto to = static_cast<long>(std::min(bytes, (g + 1) * kVmdkGrainBytes));
                allocate.push_back(!std::equal(mine.begin() + from, mine.begin() + to, theirs.begin() + from));
            }
            if (allocate.empty())
                allocate.push_back(false);
        }
        Vmdk4ExtentLayout layout;
        layout.capacity = capacities[k];
        WriteVmdk4Extent(file, layout, mine, allocate);
        descriptor.extents.emplace_back(capacities[k], BaseName(file));
        files.push_back(file);
        base += bytes;
    }
    const std::string text = descriptor.Text();
    WriteFile(path, Bytes(text.begin(), text.end()));
    return files;
}

}  // namespace

std::string Vmdk4Descriptor::Text() const
{
    std::string t = "# Disk DescriptorFile\nversion=1\nCID=" + cid + "\nparentCID=" + parentCid +
                    "\ncreateType=\"" + createType + "\"\n";
    if (!parentHint.empty())
        t += "parentFileNameHint=\"" + parentHint + "\"\n";
    t += "\n# Extent description\n";
    for (const auto& [size, file] : extents)
        t += "RW " + std::to_string(size) + " SPARSE \"" + file + "\"\n";
    if (ddb) {
        t += "\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"" + std::to_string(hwVersion) +
             "\"\nddb.geometry.cylinders = \"" + std::to_string(cylinders) + "\"\nddb.geometry.heads = \"" +
             std::to_string(heads) + "\"\nddb.geometry.sectors = \"" + std::to_string(sectors) +
             "\"\nddb.adapterType = \"" + adapter + "\"\n";
    }
    return t;
}

Vmdk4ExtentMap WriteVmdk4Extent(const std::string& path, const Vmdk4ExtentLayout& layout, const Bytes& contents,
                                const std::vector<bool>& allocate)
{
    if (layout.descriptor.size() > 20 * kSector)
        throw std::invalid_argument("descriptor longer than 20 sectors");
    const std::uint64_t bytes = layout.capacity * kSector;
    const std::uint32_t tables = static_cast<std::uint32_t>((layout.capacity + kGrainSectors * kGtes - 1) /
                                                            (kGrainSectors * kGtes));
    const std::uint64_t gdSectors = (tables * 4 + kSector - 1) / kSector;
    Vmdk4ExtentMap map;
    map.redundantGd = layout.embedded ? 21 : 1;
    map.gd = map.redundantGd + gdSectors + std::uint64_t{tables} * kTableSectors;
    map.overhead = (map.gd + gdSectors + std::uint64_t{tables} * kTableSectors + kGrainSectors - 1) / kGrainSectors *
                   kGrainSectors;
    for (std::uint32_t t = 0; t < tables; ++t) {
        map.redundantGts.push_back(static_cast<std::uint32_t>(map.redundantGd + gdSectors + t * kTableSectors));
        map.gts.push_back(static_cast<std::uint32_t>(map.gd + gdSectors + t * kTableSectors));
    }

    const std::uint64_t grainCount = (bytes + kVmdkGrainBytes - 1) / kVmdkGrainBytes;
    std::vector<std::uint64_t> order;
    for (std::uint64_t g = 0; g < grainCount; ++g) {
        const auto from = static_cast<long>(std::min<std::uint64_t>(g * kVmdkGrainBytes, contents.size()));
        const auto to = static_cast<long>(std::min<std::uint64_t>((g + 1) * kVmdkGrainBytes, contents.size()));
        const bool take = allocate.empty() ? std::any_of(contents.begin() + from, contents.begin() + to,
                                                         [](std::uint8_t b) { return b != 0; })
                                           : g < allocate.size() && allocate[g];
        if (take)
            order.push_back(g);
    }
    if (layout.reverse)
        std::reverse(order.begin(), order.end());

    Bytes file(map.overhead * kSector + order.size() * kVmdkGrainBytes, 0);
    map.grains.assign(tables * kGtes, 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::uint64_t at = map.overhead * kSector + i * kVmdkGrainBytes;
        map.grains[order[i]] = static_cast<std::uint32_t>(at / kSector);
        const Bytes grain = Slice(contents, order[i] * kVmdkGrainBytes,
                                  std::min(kVmdkGrainBytes, bytes - order[i] * kVmdkGrainBytes));
        std::copy(grain.begin(), grain.end(), file.begin() + static_cast<long>(at));
    }
    file[0] = 'K';
    file[1] = 'D';
    file[2] = 'M';
    file[3] = 'V';
    Put32(file, 4, 1);
    Put32(file, 8, 3);
    Put64(file, 12, layout.capacity);
    Put64(file, 20, kGrainSectors);
    Put64(file, 28, layout.embedded ? 1 : 0);
    Put64(file, 36, layout.embedded ? 20 : 0);
    Put32(file, 44, kGtes);
    Put64(file, 48, map.redundantGd);
    Put64(file, 56, map.gd);
    Put64(file, 64, map.overhead);
    const std::uint8_t check[] = {0, '\n', ' ', '\r', '\n'};
    std::copy(std::begin(check), std::end(check), file.begin() + 72);
    std::copy(layout.descriptor.begin(), layout.descriptor.end(), file.begin() + 512);
    for (std::uint32_t t = 0; t < tables; ++t) {
        Put32(file, map.redundantGd * kSector + 4 * t, map.redundantGts[t]);
        Put32(file, map.gd * kSector + 4 * t, map.gts[t]);
        for (std::uint32_t g = 0; g < kGtes; ++g) {
            Put32(file, map.redundantGts[t] * kSector + 4 * g, map.grains[t * kGtes + g]);
            Put32(file, map.gts[t] * kSector + 4 * g, map.grains[t * kGtes + g]);
        }
    }
    WriteFile(path, file);
    return map;
}

void WriteVmdkMonolithic(const std::string& path, const Bytes& disk, Vmdk4Descriptor descriptor, bool reverse)
{
    const auto capacity = static_cast<std::uint32_t>((disk.size() + kSector - 1) / kSector);
    descriptor.extents = {{capacity, BaseName(path)}};
    Vmdk4ExtentLayout layout;
    layout.capacity = capacity;
    layout.embedded = true;
    layout.descriptor = descriptor.Text();
    layout.reverse = reverse;
    WriteVmdk4Extent(path, layout, disk);
}

std::vector<std::string> WriteVmdkTwoGb(const std::string& path, const Bytes& disk,
                                        const std::vector<std::uint32_t>& capacities, Vmdk4Descriptor descriptor)
{
    descriptor.createType = "twoGbMaxExtentSparse";
    descriptor.extents.clear();
    return WriteExtents(path, disk, nullptr, capacities, descriptor);
}

namespace {
// The CID in the descriptor of the VMware 4 disk at path (embedded behind a
// sparse header, or the whole file); the builder's default when there is none.
std::string CidOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, 4, "KDMV") == 0)
        text = text.substr(512, 1024);
    const std::size_t at = text.find("\nCID=");
    return at == std::string::npos ? Vmdk4Descriptor{}.cid : text.substr(at + 5, text.find('\n', at + 5) - at - 5);
}
}  // namespace

std::vector<std::string> WriteVmdkRedo(const std::string& path, const std::string& parentHint,
                                       const Bytes& parentContents, const Bytes& disk,
                                       const std::vector<std::uint32_t>& capacities, Vmdk4Descriptor descriptor)
{
    descriptor.createType = "twoGbMaxExtentSparse";
    descriptor.parentHint = parentHint;
    // What the parent beside it carries, as it is now (its writes change it).
    const std::size_t slash = path.rfind('/');
    descriptor.parentCid = CidOf((slash == std::string::npos ? "" : path.substr(0, slash + 1)) + parentHint);
    descriptor.ddb = false;
    descriptor.extents.clear();
    return WriteExtents(path, disk, &parentContents, capacities, descriptor);
}

}  // namespace qimtest

namespace qimtest {

namespace {

// A pattern with every third grain zero (left unallocated) and a grain that
// is zero but for its last byte.
Bytes ConformanceContents(std::uint64_t bytes, std::uint32_t seed)
{
    Bytes disk = PatternBytes(0, static_cast<std::size_t>(bytes), seed);
    for (std::uint64_t g = 0; g * kVmdkGrainBytes < bytes; g += 3)
        std::fill_n(disk.begin() + static_cast<long>(g * kVmdkGrainBytes),
                    std::min(kVmdkGrainBytes, bytes - g * kVmdkGrainBytes), 0);
    std::fill_n(disk.begin() + 4 * kVmdkGrainBytes, kVmdkGrainBytes - 1, 0);
    return disk;
}

BuiltImage Built(const std::string& path, const Bytes& disk, std::vector<std::string> files)
{
    BuiltImage built;
    built.path = path;
    built.info = {static_cast<std::uint32_t>(disk.size() / kSector), 16, 63, 512};
    built.contents.resize(disk.size());
    std::transform(disk.begin(), disk.end(), built.contents.begin(), [](std::uint8_t b) { return std::byte{b}; });
    built.files = std::move(files);
    built.files.insert(built.files.begin(), path);
    return built;
}

// A last grain that the disk's end cuts short. (Requests across grain
// tables, 32 MiB apart, have tests of their own.)
constexpr std::uint32_t kMonolithicSectors = 8192 + 3;
// Extents that end inside grains; the disk's end too.
constexpr std::uint32_t kRedoSectors = 8192 + 3;

}  // namespace

BuiltImage BuildVmdkMonolithicConformance(const std::string& path)
{
    const Bytes disk = ConformanceContents(std::uint64_t{kMonolithicSectors} * kSector, 41);
    WriteVmdkMonolithic(path, disk, {}, true);
    return Built(path, disk, {});
}

BuiltImage BuildVmdkTwoGbConformance(const std::string& path)
{
    const std::vector<std::uint32_t> capacities = {2048, 4096 + 128 + 7, 300};
    const Bytes disk = ConformanceContents(std::uint64_t{2048 + 4096 + 128 + 7 + 300} * kSector, 42);
    return Built(path, disk, WriteVmdkTwoGb(path, disk, capacities));
}

BuiltImage BuildVmdkRedoConformance(const std::string& path)
{
    const std::string parentName = BaseName(Stem(path)) + "-parent.vmdk";
    const std::string parentPath = path.substr(0, path.size() - BaseName(path).size()) + parentName;
    const Bytes parent = ConformanceContents(std::uint64_t{kRedoSectors} * kSector, 43);
    WriteVmdkMonolithic(parentPath, parent);
    // The child changes every fourth grain, one of them only in part.
    Bytes disk = parent;
    const Bytes changes = PatternBytes(0, disk.size(), 44);
    for (std::uint64_t g = 1; g * kVmdkGrainBytes < disk.size(); g += 4) {
        const std::uint64_t from = g * kVmdkGrainBytes + (g == 5 ? 1000 : 0);
        const std::uint64_t to = std::min<std::uint64_t>(disk.size(), (g + 1) * kVmdkGrainBytes);
        std::copy(changes.begin() + static_cast<long>(from), changes.begin() + static_cast<long>(to),
                  disk.begin() + static_cast<long>(from));
    }
    BuiltImage built = Built(path, disk, WriteVmdkRedo(path, parentName, parent, disk, {3000, kRedoSectors - 3000}));
    built.files.push_back(parentPath);
    built.parents = {parentPath};
    return built;
}

}  // namespace qimtest
