// SPDX-License-Identifier: MIT
// The one opener of qimg's commands and the facts of an open image.
#include "QimgImage.h"

#include "DiskEtc.h"
#include "DiskFormats.h"
#include "HeadedDisk.h"
#include "NkImageFile.h"
#include "OpenDiskImage.h"
#include "PartitionEntry.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <sys/stat.h>

namespace qim::qimg {

namespace {

// The length of the UTF-8 sequence of a printable character at text[at], 0 for none.
std::size_t PrintableSequence(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead >= 0x20 && lead < 0x7F)
        return 1;
    const std::size_t length = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5                                  ? 4
                                                                                              : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and C1 controls are not characters to print.
    constexpr std::array<std::uint32_t, 5> kLeast = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF || code < 0xA0)
        return 0;
    return length;
}

}  // namespace

std::string Escaped(std::string_view text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == '\\') {
            out += "\\\\";
            ++at;
        } else if (const std::size_t n = PrintableSequence(text, at); n != 0) {
            out.append(text.substr(at, n));
            at += n;
        } else {
            std::array<char, 5> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned char>(text[at++]));
            out += hex.data();
        }
    }
    return out;
}

void Fail(std::string_view file, std::string_view what)
{
    const std::string line = "qimg: " + Escaped(file) + ": " + Escaped(what) + "\n";
    std::fputs(line.c_str(), stderr);
}

void FailCode(std::string_view file, std::string_view doing, int code)
{
    Fail(file, std::string(doing) + ": " + DiskErrorText(code));
}

void FailRefused(std::string_view file, std::string_view doing, const DiskRefusal& refusal, int code)
{
    if (refusal.dwKind != DISK_REFUSED_NONE)
        Fail(file, std::string(doing) + ": " + refusal.achText);
    else
        FailCode(file, doing, code);
}

namespace {

// PC-98 names are Shift JIS (CP932); a byte that does not decode becomes U+FFFD.
std::string FromShiftJis(std::string_view bytes)
{
    const std::string_view text = bytes.substr(0, bytes.find('\0'));
    const iconv_t cd = ::iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(text);
    std::string out;
    std::array<char, 16> piece{};
    auto* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        char* to = piece.data();
        std::size_t toLeft = piece.size();
        const std::size_t rc = ::iconv(cd, &in, &inLeft, &to, &toLeft);
        out.append(piece.data(), static_cast<std::size_t>(to - piece.data()));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
        }
    }
    ::iconv_close(cd);
    return out;
}

// The answers qimc asks its user for, from qimg's command line: -f raw or
// --raw say the file is raw; without them, a file no driver opens is refused.
struct RawAnswers {
    const Options* options;
    std::string path;
    std::uint64_t size;
};
constexpr int kNotRaw = 2;         // nothing on the command line says the file is raw
constexpr int kGeometryFailed = 3;  // printed already

// A raw file is a floppy only when -f raw finds it the size of a listed one.
int IsHardDisk(void* param, std::uint32_t* answer)
{
    const auto* a = static_cast<const RawAnswers*>(param);
    if (!a->options->raw)
        return kNotRaw;
    *answer = a->options->rawGeometry || FloppyGeometryOfSize(a->size) == nullptr ? 1 : 0;
    return 0;
}

// The table of a raw hard disk tells its kind; see CollectPartitions.
int IsPCAT(void*, std::uint32_t* answer)
{
    *answer = 1;
    return 0;
}

// --raw's geometry, or for -f raw the whole file as a hard disk of 512-byte
// sectors, 16 heads and 63 sectors per track, as qemu-img reads an unknown
// file. A tail short of a sector is left out.
int HardDiskGeometry(void* param, DiskInfo* info, std::uint32_t* offset)
{
    const auto* a = static_cast<const RawAnswers*>(param);
    *offset = a->options->rawOffset;
    if (a->options->rawGeometry) {
        *info = a->options->rawInfo;
        return 0;
    }
    const std::uint64_t sectors = a->size / 512;
    if (sectors == 0 || sectors > 0xFFFFFFFFu) {
        Fail(a->path, "a raw disk of " + std::to_string(a->size) + " bytes is " +
                          (sectors == 0 ? "shorter than one sector" : "larger than 2^32 sectors"));
        return kGeometryFailed;
    }
    *info = {static_cast<std::uint32_t>(sectors), 16, 63, 512};
    return 0;
}

int FloppyGeometry(void* param, DiskInfo* info, std::uint32_t* offset)
{
    *info = *FloppyGeometryOfSize(static_cast<const RawAnswers*>(param)->size);
    *offset = 0;
    return 0;
}

}  // namespace

// Opens path by qimc's rules (OpenDiskImage): a recognised format, a raw
// floppy of a listed name and size; with -f raw or --raw, a raw disk of the
// geometry they give. Prints why not and returns false.
bool OpenImage(const Options& options, const std::string& path, Image* image)
{
    image->path = path;
    NkClearLockedImageFile();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Fail(path, std::string(DiskErrorText(ERR_CREATE_FILE)) + ": " + std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(path, std::string(DiskErrorText(ERR_CREATE_FILE)) + ": " + std::strerror(EISDIR));
        return false;
    }
    RawAnswers answers{&options, path, static_cast<std::uint64_t>(st.st_size)};
    MountRecord record{};
    int rc = 0;
    if (options.raw) {
        // As qemu-img's -f raw: the file is raw whatever its contents say.
        std::uint32_t hardDisk = 1;
        static_cast<void>(IsHardDisk(&answers, &hardDisk));
        rc = hardDisk != 0 ? HardDiskGeometry(&answers, &record.diBetaInfo, &record.dwImageOffset)
                           : FloppyGeometry(&answers, &record.diBetaInfo, &record.dwImageOffset);
        record.dwBeta = 1;
        record.dwFloppy = hardDisk != 0 ? 0 : 1;
        if (rc == 0 && Disk_OpenBeta(&image->disk, path.c_str(), 1, record.dwImageOffset, &record.diBetaInfo) != 0)
            rc = -1;
    } else {
        rc = OpenDiskImage(&image->disk, path.c_str(), 1, IsHardDisk, &answers, IsPCAT, nullptr, HardDiskGeometry,
                           &answers, FloppyGeometry, &answers, &record);
        image->refusal = FormatRefusal();
    }
    if (rc == 0) {
        image->floppy = record.dwFloppy;
        image->pc98 = record.dwPC98;
        // A raw hard disk's table tells its kind.
        image->tableKnown = record.dwBeta == 0 || record.dwFloppy != 0;
        Disk_GetDiskInfo(&image->disk, &image->info);
        return true;
    }
    if (NkLockedImageFile()[0] != '\0')
        Fail(path, std::string(NkLockedImageFile()) + " is locked: another program writes it (-U reads it anyway)");
    else if (rc == -1)
        FailRefused(path, "cannot open as a raw image of that geometry", *Disk_GetRefusal(), ERR_INVALID_IMAGE);
    else if (rc == kNotRaw && image->refusal.dwKind != DISK_REFUSED_NONE)
        Fail(path, image->refusal.achText);
    else if (rc == kNotRaw)
        Fail(path, "not an image of a format qimg knows; read it as a raw disk with -f raw, or give its "
                   "geometry with --raw OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK");
    return false;
}

std::string_view FormatName(std::uint32_t type)
{
    const DiskFormat* format = DiskFormatOf(type);
    return format != nullptr ? format->name : "unknown";
}

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
    // A raw disk's PC-98 table is taken only when every entry starts inside the
    // disk. Each is listed where the table puts it, also past the disk's end.
    auto list98 = [&](bool strict) {
        std::vector<PartitionEntry98> list(kPartitionListMax);
        std::uint32_t count = 0;
        if (ReadPartitionEntryList98(&image->disk, image->info.dwBytesPerSector, &count, list.data()) != 0 ||
            count == 0)
            return false;
        std::vector<Partition> found;
        for (std::uint32_t i = 0; i < count; ++i) {
            PartitionExtent extent{};
            const bool placed = PartitionExtentOf98(list[i], image->info, &extent) == 0;
            if (strict && (!placed || extent.qwStartSector >= image->info.dwTotalSectors))
                return false;
            std::string name = FromShiftJis({list[i].achName, sizeof list[i].achName});
            name.erase(name.find_last_not_of(' ') + 1);
            // An entry that ends before it starts has no sectors.
            const std::uint64_t start = std::uint64_t{list[i].wStartCylinder} * image->info.dwHeads *
                                        image->info.dwSectorsPerTrack;
            found.push_back({i + 1, 0, name, start, placed ? extent.qwSectorCount : 0});
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


}  // namespace qim::qimg
