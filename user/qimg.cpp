// qimg: inspects, checks and converts disk images without root, over the
// same library as qimc and qim. Results go to standard output; every error is
// one line on standard error naming the file and saying what went wrong.
#include "ConsoleInput.h"
#include "Disk.h"
#include "DiskEtc.h"
#include "DiskFormats.h"
#include "HeadedDisk.h"
#include "Nk.h"
#include "OpenDiskImage.h"
#include "PartitionEntry.h"
#include "QimMount.h"
#include "QimVersion.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qim {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitCorrupt = 2;
constexpr int kExitLeaked = 3;

// Everything the command line says.
struct Options {
    std::string command;
    std::vector<std::string> files;
    bool json = false;
    bool progress = false;
    std::uint32_t partition = 0;  // 1-based; 0 for the whole disk
    bool raw = false;
    std::uint32_t rawOffset = 0;
    DiskInfo rawInfo{};
};

void Fail(std::string_view file, std::string_view what)
{
    std::fprintf(stderr, "qimg: %.*s: %.*s\n", static_cast<int>(file.size()), file.data(),
                 static_cast<int>(what.size()), what.data());
}

void FailCode(std::string_view file, std::string_view doing, int code)
{
    Fail(file, std::string(doing) + ": " + DiskErrorText(code));
}

constexpr const char* kUsage =
    "usage: qimg info IMAGE [--output=json] [--raw OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK]\n"
                 "       qimg check IMAGE [--raw ...]\n"
    "       qimg convert [-p] IMAGE OUTPUT [--partition N] [--raw ...]\n";

int Usage(const char* why)
{
    std::fprintf(stderr, "qimg: %s\n%s", why, kUsage);
    return kExitFailed;
}

// OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK: qimc's argument order.
bool ParseRaw(const std::string& text, Options* options)
{
    std::array<std::uint32_t, 5> values{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i + 1 == values.size()))
            return false;
        if (!ParseUnsigned(text.substr(start, comma - start), &values[i]))
            return false;
        start = comma + 1;
    }
    options->raw = true;
    options->rawOffset = values[0];
    options->rawInfo = {values[2], values[3], values[4], values[1]};
    return values[1] != 0 && values[2] != 0;
}

// Returns an error text, or null when the arguments are whole.
const char* ParseOptions(int argc, char** argv, Options* options)
{
    if (argc < 2)
        return "no command";
    options->command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        if (arg == "--output=json" || (arg == "--output" && hasNext && std::string_view(argv[i + 1]) == "json")) {
            options->json = true;
            i += arg == "--output" ? 1 : 0;
        } else if (arg == "--output=human" || (arg == "--output" && hasNext && std::string_view(argv[i + 1]) == "human")) {
            options->json = false;
            i += arg == "--output" ? 1 : 0;
        } else if (arg == "-p") {
            options->progress = true;
        } else if (arg == "--partition" || arg.starts_with("--partition=")) {
            const std::string value = arg == "--partition" ? (hasNext ? argv[++i] : "") : arg.substr(12);
            if (!ParseUnsigned(value, &options->partition) || options->partition == 0)
                return "--partition takes a partition number from 1";
        } else if (arg == "--raw" || arg.starts_with("--raw=")) {
            const std::string value = arg == "--raw" ? (hasNext ? argv[++i] : "") : arg.substr(6);
            if (!ParseRaw(value, options))
                return "--raw takes OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK (numbers, sizes above 0)";
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option";
        } else {
            options->files.push_back(arg);
        }
    }
    return nullptr;
}

// ---- Opening ----

// An open image and how its partitions are found.
struct Image {
    Disk disk{};
    std::string path;
    DiskInfo info{};
    std::uint32_t floppy = 0;
    std::uint32_t pc98 = 0;
    bool tableKnown = false;  // false for a raw hard disk: the table tells its kind
    Image() { Disk_Construct(&disk); }
    ~Image()
    {
        // A constructed Disk names code 0 without holding an image.
        if (disk.pImpl != nullptr)
            Disk_Close(&disk);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
};

// Opens path: a recognised format, a raw geometry from --raw, or a raw
// floppy of a listed size. Prints why not and returns false.
bool OpenImage(const Options& options, const std::string& path, Image* image)
{
    image->path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Fail(path, std::string(DiskErrorText(ERR_CREATE_FILE)) + ": " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(path, std::string(DiskErrorText(ERR_CREATE_FILE)) + ": " + std::strerror(EISDIR));
        return false;
    }
    if (options.raw) {
        if (int rc = Disk_OpenBeta(&image->disk, path.c_str(), 1, options.rawOffset, &options.rawInfo); rc != 0) {
            FailCode(path, "cannot open as a raw image of that geometry", rc);
            return false;
        }
    } else if (Disk_Open(&image->disk, path.c_str(), 1) == 0) {
        const DiskClass diskClass = ClassifyDiskType(image->disk.dwType);
        image->floppy = diskClass.dwFloppy;
        image->pc98 = diskClass.dwPC98;
        image->tableKnown = true;
    } else if (const DiskInfo* floppy = FloppyGeometryOfSize(static_cast<std::uint64_t>(st.st_size));
               floppy != nullptr && Disk_OpenBeta(&image->disk, path.c_str(), 1, 0, floppy) == 0) {
        image->floppy = 1;
        image->tableKnown = true;
    } else {
        Fail(path, "not an image of a format qimg knows; for a raw image give its geometry with --raw "
                       "OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK");
        return false;
    }
    Disk_GetDiskInfo(&image->disk, &image->info);
    return true;
}

std::string_view FormatName(std::uint32_t type)
{
    const DiskFormat* format = DiskFormatOf(type);
    return format != nullptr ? format->name : "unknown";
}

// ---- Facts ----

struct Parent {
    std::string path;
    std::uint32_t type;
};

struct Partition {
    std::uint32_t number;
    std::uint32_t systemId;  // PC/AT only
    std::string name;        // PC/AT type text or PC-98 name
    std::uint64_t start;
    std::uint64_t length;
};

struct Facts {
    std::uint64_t fileSize = 0;
    std::uint64_t allocated = 0;
    std::vector<Parent> parents;
    const char* table = "none";
    std::vector<Partition> partitions;
};

int CollectParents(Image* image, std::vector<Parent>* parents)
{
    Disk* disk = &image->disk;
    std::string childPath = image->path;
    std::array<char, kNkMaxPath> path{};
    // Bounded as the chain the library opens is.
    for (std::uint32_t depth = 0; depth <= kMaxParentDepth; ++depth) {
        Disk* parent = nullptr;
        if (int rc = Disk_GetParent(disk, childPath.c_str(), &parent, path); rc != 0)
            return rc;
        if (parent == nullptr)
            return 0;
        parents->push_back({path.data(), parent->dwType});
        disk = parent;
        childPath = path.data();
    }
    return 0;
}

// Calls fn(offset, length, where) for consecutive pieces of [begin, end).
template <class Fn> int WalkAllocation(Disk* disk, std::uint64_t begin, std::uint64_t end, Fn&& fn)
{
    for (std::uint64_t at = begin; at < end;) {
        std::uint64_t length = end - at;
        std::uint32_t where = DISK_ALLOCATED;
        if (int rc = Disk_GetAllocation(disk, at, &length, &where); rc != 0)
            return rc;
        if (int rc = fn(at, length, where); rc != 0)
            return rc;
        at += length;
    }
    return 0;
}

void CollectPartitions(Image* image, Facts* facts)
{
    if (image->floppy != 0)
        return;
    auto listAT = [&] {
        std::vector<PartitionEntry> list(kPartitionListMax);
        std::uint32_t count = 0;
        if (ReadPartitionEntryList(&image->disk, 0, &count, list.data()) != 0 || count == 0)
            return false;
        facts->table = "pc-at";
        for (std::uint32_t i = 0; i < count; ++i)
            facts->partitions.push_back({i + 1, list[i].bSystemId, PartitionTypeToString(list[i].bSystemId),
                                         list[i].dwStartSector, list[i].dwSectorCount});
        return true;
    };
    // A raw disk's PC-98 table is taken only when every entry lies inside the disk.
    auto list98 = [&](bool strict) {
        std::vector<PartitionEntry98> list(kPartitionListMax);
        std::uint32_t count = 0;
        if (ReadPartitionEntryList98(&image->disk, image->info.dwBytesPerSector, &count, list.data()) != 0 ||
            count == 0)
            return false;
        std::vector<Partition> found;
        for (std::uint32_t i = 0; i < count; ++i) {
            PartitionExtent extent{};
            const bool placed = PartitionExtentOf98(list[i], image->info, &extent) == 0 &&
                                extent.qwStartSector + extent.qwSectorCount <= image->info.dwTotalSectors;
            if (strict && !placed)
                return false;
            std::string name(list[i].achName, sizeof list[i].achName);
            name.erase(name.find_last_not_of(' ') + 1);
            found.push_back({i + 1, 0, name, placed ? extent.qwStartSector : 0, placed ? extent.qwSectorCount : 0});
        }
        facts->table = "pc-98";
        facts->partitions = found;
        return true;
    };
    if (image->tableKnown) {
        image->pc98 != 0 ? list98(false) : listAT();
        return;
    }
    // A raw hard disk: its table says which kind it is.
    if (!listAT())
        list98(true);
}

int CollectFacts(Image* image, Facts* facts)
{
    struct stat st {};
    if (::stat(image->path.c_str(), &st) == 0)
        facts->fileSize = static_cast<std::uint64_t>(st.st_size);
    if (int rc = CollectParents(image, &facts->parents); rc != 0)
        return rc;
    if (int rc = WalkAllocation(&image->disk, 0, DiskByteSize(image->info),
                                [&](std::uint64_t, std::uint64_t length, std::uint32_t where) {
                                    facts->allocated += where == DISK_ALLOCATED ? length : 0;
                                    return 0;
                                });
        rc != 0)
        return rc;
    CollectPartitions(image, facts);
    return 0;
}

// ---- info ----

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Names are bytes in no known encoding (PC-98 ones often Shift JIS):
            // each byte is kept as the code point of its value.
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\u%04x", u);
            out += escaped.data();
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonCode(std::uint32_t type) { return type == DISK_BETA ? "null" : std::to_string(type); }

void PrintJson(const Image& image, const Facts& facts)
{
    const DiskInfo& i = image.info;
    std::string out = "{\n";
    out += "  \"filename\": " + JsonString(image.path) + ",\n";
    out += "  \"format\": " + JsonString(FormatName(image.disk.dwType)) + ",\n";
    out += "  \"format-code\": " + JsonCode(image.disk.dwType) + ",\n";
    out += "  \"virtual-size\": " + std::to_string(DiskByteSize(i)) + ",\n";
    out += "  \"geometry\": {\"total-sectors\": " + std::to_string(i.dwTotalSectors) +
           ", \"heads\": " + std::to_string(i.dwHeads) +
           ", \"sectors-per-track\": " + std::to_string(i.dwSectorsPerTrack) +
           ", \"bytes-per-sector\": " + std::to_string(i.dwBytesPerSector) + "},\n";
    out += "  \"file-size\": " + std::to_string(facts.fileSize) + ",\n";
    out += "  \"allocated-size\": " + std::to_string(facts.allocated) + ",\n";
    out += "  \"parents\": [";
    for (std::size_t n = 0; n < facts.parents.size(); ++n)
        out += std::string(n == 0 ? "" : ", ") + "{\"filename\": " + JsonString(facts.parents[n].path) +
               ", \"format\": " + JsonString(FormatName(facts.parents[n].type)) +
               ", \"format-code\": " + JsonCode(facts.parents[n].type) + "}";
    out += "],\n";
    out += "  \"partition-table\": " + JsonString(facts.table) + ",\n";
    out += "  \"partitions\": [";
    for (std::size_t n = 0; n < facts.partitions.size(); ++n) {
        const Partition& p = facts.partitions[n];
        out += std::string(n == 0 ? "\n    " : ",\n    ") + "{\"number\": " + std::to_string(p.number) +
               ", \"type\": " + std::to_string(p.systemId) + ", \"name\": " + JsonString(p.name) +
               ", \"start\": " + std::to_string(p.start) + ", \"length\": " + std::to_string(p.length) + "}";
    }
    out += facts.partitions.empty() ? "]\n}\n" : "\n  ]\n}\n";
    std::fputs(out.c_str(), stdout);
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
    std::printf("image: %s\n", image.path.c_str());
    const std::string_view name = FormatName(image.disk.dwType);
    if (image.disk.dwType == DISK_BETA)
        std::printf("file format: %.*s\n", static_cast<int>(name.size()), name.data());
    else
        std::printf("file format: %.*s (code %u)\n", static_cast<int>(name.size()), name.data(), image.disk.dwType);
    std::printf("virtual size: %s (%llu bytes)\n", HumanSize(DiskByteSize(i)).c_str(),
                static_cast<unsigned long long>(DiskByteSize(i)));
    std::printf("geometry: %u sectors, %u heads, %u sectors per track, %u bytes per sector\n", i.dwTotalSectors,
                i.dwHeads, i.dwSectorsPerTrack, i.dwBytesPerSector);
    std::printf("file size: %s (%llu bytes)\n", HumanSize(facts.fileSize).c_str(),
                static_cast<unsigned long long>(facts.fileSize));
    std::printf("allocated in the image: %s (%llu bytes)\n", HumanSize(facts.allocated).c_str(),
                static_cast<unsigned long long>(facts.allocated));
    for (std::size_t n = 0; n < facts.parents.size(); ++n) {
        const std::string_view parentFormat = FormatName(facts.parents[n].type);
        std::printf("parent %zu: %s (%.*s)\n", n + 1, facts.parents[n].path.c_str(),
                    static_cast<int>(parentFormat.size()), parentFormat.data());
    }
    if (facts.partitions.empty()) {
        std::printf("partitions: none\n");
        return;
    }
    const bool pc98 = std::string_view(facts.table) == "pc-98";
    std::printf("partitions (%s):\n", pc98 ? "PC-98" : "PC/AT");
    for (Partition p : facts.partitions) {
        std::replace_if(p.name.begin(), p.name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
        if (pc98)
            std::printf("  %u. %s start=%llu length=%llu\n", p.number, p.name.c_str(),
                        static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.length));
        else
            std::printf("  %u. 0x%02X %s start=%llu length=%llu\n", p.number, p.systemId, p.name.c_str(),
                        static_cast<unsigned long long>(p.start), static_cast<unsigned long long>(p.length));
    }
}

int Info(const Options& options)
{
    if (options.files.size() != 1)
        return Usage("info takes one image");
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

// ---- check ----

struct Findings {
    std::uint32_t corrupt = 0;
    std::uint32_t leaked = 0;
};

void PrintFinding(void* param, const DiskCheckFinding* finding)
{
    auto* findings = static_cast<Findings*>(param);
    const bool leak = finding->dwKind == DISK_CHECK_LEAK;
    ++(leak ? findings->leaked : findings->corrupt);
    std::string line = std::string(leak ? "leaked: " : "corrupt: ") + finding->pszWhat;
    if (finding->pszFirst != nullptr) {
        line += std::string(" (") + finding->pszFirst + " " + std::to_string(finding->qwFirst);
        if (finding->pszSecond != nullptr)
            line += std::string(", ") + finding->pszSecond + " " + std::to_string(finding->qwSecond);
        line += ")";
    }
    std::puts(line.c_str());
}

void Report(Findings* findings, const std::string& what)
{
    const DiskCheckFinding finding{DISK_CHECK_CORRUPT, what.c_str(), nullptr, 0, nullptr, 0};
    PrintFinding(findings, &finding);
}

int Check(const Options& options)
{
    if (options.files.size() != 1)
        return Usage("check takes one image");
    const std::string& path = options.files[0];
    Findings findings;
    Image image;
    std::uint32_t type = DISK_BETA;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    const bool opens = exists && !options.raw && Disk_Open(&image.disk, path.c_str(), 1) == 0;
    if (opens) {
        type = image.disk.dwType;
        if (int rc = Disk_Check(path.c_str(), type, PrintFinding, &findings); rc != 0) {
            FailCode(path, "cannot check the image", rc);
            return kExitFailed;
        }
        // Every allocation answer must be readable: a table the driver cannot walk is corrupt.
        DiskInfo info{};
        Disk_GetDiskInfo(&image.disk, &info);
        if (int rc = WalkAllocation(&image.disk, 0, DiskByteSize(info),
                                    [](std::uint64_t, std::uint64_t, std::uint32_t) { return 0; });
            rc != 0)
            Report(&findings, std::string("allocation cannot be read: ") + DiskErrorText(rc));
    } else if (exists && !options.raw && Disk_CheckAny(path.c_str(), &type, PrintFinding, &findings) == 0) {
        // The format's signature is there but its driver refuses the file.
        Disk refused;
        Disk_Construct(&refused);
        const int rc = Disk_OpenType(&refused, path.c_str(), 1, type);
        if (rc == 0)
            Disk_Close(&refused);
        else if (findings.corrupt == 0)
            Report(&findings, std::string("the driver refuses the image: ") + DiskErrorText(rc));
    } else if (!OpenImage(options, path, &image)) {
        return kExitFailed;
    } else {
        type = image.disk.dwType;  // raw: no metadata beyond its size
    }
    const std::string_view name = FormatName(type);
    if (findings.corrupt != 0)
        std::printf("%s: %.*s image, %u corrupt, %u leaked\n", path.c_str(), static_cast<int>(name.size()),
                    name.data(), findings.corrupt, findings.leaked);
    else if (findings.leaked != 0)
        std::printf("%s: %.*s image, %u leaked, otherwise clean\n", path.c_str(), static_cast<int>(name.size()),
                    name.data(), findings.leaked);
    else
        std::printf("%s: %.*s image, clean\n", path.c_str(), static_cast<int>(name.size()), name.data());
    return findings.corrupt != 0 ? kExitCorrupt : findings.leaked != 0 ? kExitLeaked : 0;
}

// ---- convert ----

// Percent, throughput and time left on one terminal line, at most ten times a second.
class ProgressBar {
public:
    ProgressBar(bool wanted, std::uint64_t total) : shown_(wanted && ::isatty(STDERR_FILENO) == 1), total_(total) {}
    void Update(std::uint64_t done, bool last = false)
    {
        if (!shown_)
            return;
        const auto now = Clock::now();
        if (!last && now - lastShown_ < std::chrono::milliseconds(100))
            return;
        lastShown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double percent = total_ == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total_);
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
        const auto secondsLeft = static_cast<unsigned long>(left + 0.5);
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(percent * kWidth / 100);
        std::fprintf(stderr, "\r[%.*s%.*s] %5.1f%% %8.1f MB/s %lu:%02lu:%02lu left", filled,
                     "##############################", kWidth - filled, "..............................", percent,
                     rate / 1e6, secondsLeft / 3600, secondsLeft / 60 % 60, secondsLeft % 60);
        if (last)
            std::fputc('\n', stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    std::uint64_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastShown_{};
};

// Writes the non-zero runs of data to out at position; zero runs of whole
// blocks stay holes.
bool WriteSparse(int out, std::uint64_t position, std::span<const std::byte> data)
{
    constexpr std::size_t kBlock = 4096;
    std::size_t at = 0;
    while (at < data.size()) {
        // Skip zero blocks, then gather the run of blocks that are not.
        std::size_t n = std::min(kBlock, data.size() - at);
        if (NkIsAllZero(data.data() + at, static_cast<std::uint32_t>(n)) != 0) {
            at += n;
            continue;
        }
        std::size_t end = at + n;
        while (end < data.size()) {
            const std::size_t m = std::min(kBlock, data.size() - end);
            if (NkIsAllZero(data.data() + end, static_cast<std::uint32_t>(m)) != 0)
                break;
            end += m;
        }
        for (std::size_t written = at; written < end;) {
            const ssize_t w = ::pwrite(out, data.data() + written, end - written,
                                       static_cast<off_t>(position + written));
            if (w <= 0)
                return false;
            written += static_cast<std::size_t>(w);
        }
        at = end;
    }
    return true;
}

int Convert(const Options& options)
{
    if (options.files.size() != 2)
        return Usage("convert takes an image and an output file");
    Image image;
    if (!OpenImage(options, options.files[0], &image))
        return kExitFailed;
    const std::string& output = options.files[1];
    std::uint64_t begin = 0;
    std::uint64_t end = DiskByteSize(image.info);
    if (options.partition != 0) {
        if (image.floppy != 0) {
            Fail(image.path, "a floppy image has no partitions");
            return kExitFailed;
        }
        // A raw hard disk's kind is what its table says, as info shows it.
        Facts facts;
        CollectPartitions(&image, &facts);
        const std::uint32_t pc98 = std::string_view(facts.table) == "pc-98" ? 1 : 0;
        PartitionExtent extent{};
        if (int rc = GetPartitionExtent(&image.disk, pc98, options.partition - 1, &extent); rc != 0) {
            FailCode(image.path, "no partition " + std::to_string(options.partition), rc);
            return kExitFailed;
        }
        const std::uint64_t b = image.info.dwBytesPerSector;
        if (extent.qwStartSector > image.info.dwTotalSectors ||
            extent.qwSectorCount > image.info.dwTotalSectors - extent.qwStartSector) {
            Fail(image.path, "partition " + std::to_string(options.partition) + " ends beyond the disk: " +
                                 DiskErrorText(ERR_INVALID_IMAGE));
            return kExitFailed;
        }
        begin = extent.qwStartSector * b;
        end = begin + extent.qwSectorCount * b;
    }

    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        Fail(output, std::string("cannot create the file: ") + std::strerror(errno));
        return kExitFailed;
    }
    constexpr std::uint32_t kChunk = 4u << 20;
    NkBuffer buffer(kChunk);
    if (!buffer) {
        ::close(out);
        ::unlink(output.c_str());
        FailCode(image.path, "cannot convert", ERR_NO_MEMORY);
        return kExitFailed;
    }
    ProgressBar bar(options.progress, end - begin);
    bool writeFailed = false;
    const int rc = WalkAllocation(&image.disk, begin, end, [&](std::uint64_t at, std::uint64_t length,
                                                                std::uint32_t where) {
        if (where == DISK_UNALLOCATED) {
            bar.Update(at + length - begin);
            return 0;
        }
        for (std::uint64_t done = 0; done < length;) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, length - done));
            if (int readRc = Disk_Read64(&image.disk, at + done, n, buffer.data()); readRc != 0)
                return readRc;
            if (!WriteSparse(out, at + done - begin, buffer.span().first(n))) {
                writeFailed = true;
                return ERR_WRITE_FILE;
            }
            done += n;
            bar.Update(at + done - begin);
        }
        return 0;
    });
    if (rc != 0) {
        const int error = errno;
        ::close(out);
        ::unlink(output.c_str());
        if (writeFailed)
            Fail(output, std::string("cannot write the file: ") + std::strerror(error));
        else
            FailCode(image.path, "cannot read the image", rc);
        return kExitFailed;
    }
    // The length covers a hole at the end; the close reports a delayed write error.
    if (::ftruncate(out, static_cast<off_t>(end - begin)) != 0 || ::close(out) != 0) {
        ::unlink(output.c_str());
        Fail(output, std::string("cannot write the file: ") + std::strerror(errno));
        return kExitFailed;
    }
    bar.Update(end - begin, true);
    return 0;
}

}  // namespace

}  // namespace qim

int main(int argc, char** argv)
{
    using namespace qim;
    Options options;
    if (argc == 2 && (std::string_view(argv[1]) == "--version" || std::string_view(argv[1]) == "-V")) {
        std::printf("qimg %s (%s)\n", kQimVersion, kQimDescription);
        return 0;
    }
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (const char* why = ParseOptions(argc, argv, &options); why != nullptr)
        return Usage(why);
    if (options.command == "info")
        return Info(options);
    if (options.command == "check")
        return Check(options);
    if (options.command == "convert")
        return Convert(options);
    return Usage("unknown command");
}
