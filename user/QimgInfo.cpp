// SPDX-License-Identifier: MIT
// qimg info: the format, size, geometry, allocation, parents and partitions
// of an image, as text or JSON.
#include "QimgImage.h"

#include "DiskEtc.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>

namespace qim::qimg {

namespace {

nlohmann::json FormatCode(std::uint32_t type)
{
    return type == DISK_BETA ? nlohmann::json(nullptr) : nlohmann::json(type);
}

void PrintJson(const Image& image, const Facts& facts)
{
    const DiskInfo& i = image.info;
    nlohmann::ordered_json out;
    out["filename"] = image.path;
    out["format"] = FormatName(image.disk.dwType);
    out["format-code"] = FormatCode(image.disk.dwType);
    out["virtual-size"] = DiskByteSize(i);
    out["geometry"] = {{"total-sectors", i.dwTotalSectors},
                       {"heads", i.dwHeads},
                       {"sectors-per-track", i.dwSectorsPerTrack},
                       {"bytes-per-sector", i.dwBytesPerSector}};
    out["file-size"] = facts.fileSize;
    out["allocated-size"] = facts.allocated;
    out["parents"] = nlohmann::ordered_json::array();
    for (const Parent& parent : facts.parents)
        out["parents"].push_back({{"filename", parent.path},
                                  {"format", FormatName(parent.type)},
                                  {"format-code", FormatCode(parent.type)}});
    out["partition-table"] = facts.table;
    out["partitions"] = nlohmann::ordered_json::array();
    for (const Partition& p : facts.partitions)
        out["partitions"].push_back({{"number", p.number},
                                     {"type", p.systemId},
                                     {"name", p.name},
                                     {"start", p.start},
                                     {"length", p.length}});
    // Names are UTF-8; a file name that is not keeps its valid parts.
    const std::string text = out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fputs(text.c_str(), stdout);
}

std::string HumanSize(std::uint64_t bytes)
{
    constexpr std::array<const char*, 6> kUnits = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < kUnits.size()) {
        value /= 1024;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), unit == 0 ? "%.0f %s" : "%.3g %s", value, kUnits[unit]);
    return text.data();
}

void PrintHuman(const Image& image, const Facts& facts)
{
    const DiskInfo& i = image.info;
    std::printf("image: %s\n", Escaped(image.path).c_str());
    const std::string name(FormatName(image.disk.dwType));
    if (image.disk.dwType == DISK_BETA)
        std::printf("file format: %s\n", name.c_str());
    else
        std::printf("file format: %s (code %u)\n", name.c_str(), image.disk.dwType);
    std::printf("virtual size: %s (%llu bytes)\n", HumanSize(DiskByteSize(i)).c_str(),
                static_cast<unsigned long long>(DiskByteSize(i)));
    std::printf("geometry: %u sectors, %u heads, %u sectors per track, %u bytes per sector\n", i.dwTotalSectors,
                i.dwHeads, i.dwSectorsPerTrack, i.dwBytesPerSector);
    std::printf("file size: %s (%llu bytes)\n", HumanSize(facts.fileSize).c_str(),
                static_cast<unsigned long long>(facts.fileSize));
    std::printf("allocated in the image: %s (%llu bytes)\n", HumanSize(facts.allocated).c_str(),
                static_cast<unsigned long long>(facts.allocated));
    for (std::size_t n = 0; n < facts.parents.size(); ++n)
        std::printf("parent %zu: %s (%s)\n", n + 1, Escaped(facts.parents[n].path).c_str(),
                    std::string(FormatName(facts.parents[n].type)).c_str());
    if (facts.partitions.empty()) {
        std::printf("partitions: none\n");
        return;
    }
    const bool pc98 = std::string_view(facts.table) == "pc-98";
    std::printf("partitions (%s):\n", pc98 ? "PC-98" : "PC/AT");
    for (const Partition& p : facts.partitions) {
        const std::string partName = Escaped(p.name);
        if (pc98)
            std::printf("  %u. %s start=%llu length=%llu\n", p.number, partName.c_str(),
                        static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.length));
        else
            std::printf("  %u. 0x%02X %s start=%llu length=%llu\n", p.number, p.systemId, partName.c_str(),
                        static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.length));
    }
}

}  // namespace

int Info(const Options& options)
{
    Image image;
    if (!OpenImage(options, options.files[0], &image))
        return kExitFailed;
    Facts facts;
    if (int rc = CollectFacts(&image, &facts); rc != 0) {
        FailCode(image.path, "cannot read the image", rc);
        return kExitFailed;
    }
    options.json ? PrintJson(image, facts) : PrintHuman(image, facts);
    return 0;
}

}  // namespace qim::qimg
