// SPDX-License-Identifier: MIT
// qimc: mounts a disk image on the qim device, by dialogue or from its
// arguments, and unmounts it. Its messages go to standard output, as scripts
// expect them; after a failure a second line on standard error says why. The
// exit status after a mount is the chosen PC/AT partition's system id.
#include "ConsoleInput.h"
#include "Disk.h"
#include "Nk.h"
#include "NkImageFile.h"
#include "OpenDiskImage.h"
#include "PartitionEntry.h"
#include "QimMount.h"
#include "QimVersion.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qim {

namespace {

void Print(const char* text) { std::fputs(text, stdout); }

// The reason for a failure just printed, on standard error.
[[gnu::format(printf, 1, 2)]] void Why(const char* format, ...)
{
    std::fflush(stdout);
    std::fputs("qimc: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

constexpr const char* kHelp =
    "usage: qimc m                     mount an image, by dialogue\n"
    "       qimc m FILE [r] [h a|h 9|f OFFSET BPS TOTAL HEADS SPT] [PARTITION]\n"
    "                                  mount an image from the arguments\n"
    "       qimc u                     unmount\n"
    "       qimc s [--output=json]     list each device: node, partition, mode, openers\n"
    "                                  (besides qimc), size and image\n"
    "       qimc --version | --help\n"
    "r mounts read-only. The letters and numbers describe a raw image that is not a\n"
    "listed floppy size: h (hard disk) with a (PC/AT) or 9 (PC-98) table, or f\n"
    "(floppy), then image offset, bytes per sector, total sectors, heads and sectors\n"
    "per track. PARTITION, counted from 1, chooses a partition of a partitioned disk.\n"
    "After a mount the exit status is the PC/AT partition's system id (0 for a\n"
    "PC-98 partition or a floppy), 255 after a failure or cancel, so for example\n"
    "  qimc m disk.vmdk 1; [ $? != 255 ] && mount /dev/qim0 /mnt\n"
    "qimc talks to /dev/qim0, or to the node named in QIM_DEVICE when that is set.\n"
    "qimc -d N COMMAND ... talks to device N instead: qimN beside that node, or in\n"
    "/dev (-d PATH names the node itself).\n";

// Whether another program holds a lock on the image file that a mount with
// readOnly would take a conflicting lock against. qimc's own look at such an
// image only reads, and the driver refuses the mount and says why.
bool LockedByAnother(const std::string& path, std::uint32_t readOnly)
{
    const int fd = NkOpenImageDescriptor(path.c_str(), readOnly != 0 ? O_RDONLY : O_RDWR, 0, {}, NkLock::ByAccess);
    if (fd >= 0)
        ::close(fd);
    return fd < 0 && errno == EAGAIN;
}

// Says why the image at path did not open.
void WhyImageFailed(const std::string& path)
{
    struct stat st {};
    const DiskRefusal& refusal = FormatRefusal().dwKind != DISK_REFUSED_NONE ? FormatRefusal() : *Disk_GetRefusal();
    if (::stat(path.c_str(), &st) != 0)
        Why("%s: %s", path.c_str(), std::strerror(errno));
    else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        Why("%s: not a regular file or a block device, so not an image", path.c_str());
    else if (::access(path.c_str(), R_OK) != 0)
        Why("%s: %s", path.c_str(), std::strerror(errno));
    else if (refusal.dwKind == DISK_REFUSED_WRITE)
        Why("%s: %s; mount it read-only (qimc m FILE r ...)", path.c_str(), refusal.achText);
    else if (refusal.dwKind != DISK_REFUSED_NONE)
        Why("%s: %s", path.c_str(), refusal.achText);
    else
        Why("%s: not an image of a known format, and the geometry given does not open it", path.c_str());
}

// The driver serves a partition that runs past the disk's end up to the end; say so.
void WarnIfPastTheEnd(Disk* disk, const MountRecord& record)
{
    PartitionExtent extent{};
    DiskInfo info{};
    Disk_GetDiskInfo(disk, &info);
    if (record.dwFloppy != 0 || GetPartitionExtent(disk, record.dwPC98, record.dwPartition, &extent) != 0)
        return;
    const PartitionExtent table = extent;
    if (ClipPartitionExtent(info, &extent) == 0 && extent.qwSectorCount != table.qwSectorCount)
        Why("warning: partition %u ends at sector %llu, past the disk's end at sector %u; it is served up to the end",
            record.dwPartition + 1, static_cast<unsigned long long>(table.qwStartSector + table.qwSectorCount),
            info.dwTotalSectors);
}

// The image path the driver is given: a name beginning with "/" as it is,
// any other below the current directory, resolved without links, "." or "..".
// False when it does not resolve or does not fit kNkMaxPath bytes.
bool ResolveImagePath(const char* name, std::string* resolved)
{
    errno = 0;
    std::string joined;
    if (name[0] == '/') {
        joined = name;
    } else {
        std::array<char, kNkMaxPath> cwd{};
        if (::getcwd(cwd.data(), cwd.size()) == nullptr)
            return false;
        joined = std::string(cwd.data()) + "/" + name;
    }
    if (joined.size() >= kNkMaxPath) {
        errno = 0;
        return false;
    }
    char* real = ::realpath(joined.c_str(), nullptr);
    if (real == nullptr)
        return false;
    *resolved = real;
    std::free(real);
    errno = 0;
    return resolved->size() < kNkMaxPath;
}

// Shows a question with its three numbered choices and asks until 1, 2 or 3
// is typed; the end of input counts as 3 (cancel).
int AskThreeWay(const std::array<const char*, 4>& lines)
{
    for (const char* line : lines)
        Print(line);
    for (;;) {
        Print(": ");
        int choice = 0;
        const InputRead read = ReadInt(&choice);
        if (read == InputRead::End)
            return 3;
        if (read == InputRead::Value && choice >= 1 && choice <= 3)
            return choice;
    }
}

// Asks prompt until a number is typed; false at the end of input.
bool AskUnsigned(const char* prompt, std::uint32_t* value)
{
    for (;;) {
        Print(prompt);
        const InputRead read = ReadUnsigned(value);
        if (read != InputRead::NotValue)
            return read == InputRead::Value;
    }
}

// A 1-based partition number up to count, or 0 for cancel or the end of input.
std::uint32_t AskPartitionNumber(std::uint32_t count)
{
    for (;;) {
        std::uint32_t number = 0;
        if (!AskUnsigned(": ", &number))
            return 0;
        if (number <= count)
            return number;
    }
}

void AppendNumber(std::string* commandLine, std::uint32_t value, const char* format)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), format, value);
    *commandLine += text.data();
}

// The interactive questions. Their parameter is the command line under
// construction: each answer is appended in argument form, so that the printed
// line repeats a raw image's geometry too.
int IsHardDisk(void* param, std::uint32_t* answer)
{
    const int choice = AskThreeWay({"harddisk?\n", "1. harddisk\n", "2. floppydisk\n", "3. cancel\n"});
    if (choice == 3)
        return 1;
    *answer = choice == 1 ? 1 : 0;
    *static_cast<std::string*>(param) += choice == 1 ? "h " : "f ";
    return 0;
}

int IsPCAT(void* param, std::uint32_t* answer)
{
    const int choice = AskThreeWay({"pc/at?\n", "1. pc/at\n", "2. pc-98\n", "3. cancel\n"});
    if (choice == 3)
        return 1;
    *answer = choice == 1 ? 1 : 0;
    *static_cast<std::string*>(param) += choice == 1 ? "a " : "9 ";
    return 0;
}

// There is no cancel among these prompts; the end of input cancels.
int AskBetaInfo(void* param, DiskInfo* info, std::uint32_t* imageOffset)
{
    if (!AskUnsigned("image offset: ", imageOffset) || !AskUnsigned("bytes per sector: ", &info->dwBytesPerSector) ||
        !AskUnsigned("total sectors: ", &info->dwTotalSectors) || !AskUnsigned("heads: ", &info->dwHeads) ||
        !AskUnsigned("sectors per track: ", &info->dwSectorsPerTrack))
        return 1;
    auto* commandLine = static_cast<std::string*>(param);
    for (std::uint32_t value : {*imageOffset, info->dwBytesPerSector, info->dwTotalSectors, info->dwHeads,
                                info->dwSectorsPerTrack})
        AppendNumber(commandLine, value, "%u ");
    return 0;
}

constexpr GetBetaInfoFunc GetBetaInfoHardDisk = AskBetaInfo;
constexpr GetBetaInfoFunc GetBetaInfoFloppyDisk = AskBetaInfo;

// The arguments after "m" not yet consumed.
struct ArgCursor {
    int nCount;
    char** ppArg;
};

void Consume(ArgCursor* cursor, int count)
{
    cursor->nCount -= count;
    cursor->ppArg += count;
}

// Decimal as a 32-bit word: 0 to 4294967295 exactly, so that every number the
// dialogue prints with "%u" reads back as itself; a negative number is its
// 32-bit two's complement (-1 is 4294967295). A non-number is 0, and a number
// beyond either end stops there: 4294967297 must not wrap into partition 1.
std::uint32_t ArgNumber(const char* text)
{
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<std::uint32_t>(std::clamp<long long>(value, INT32_MIN, UINT32_MAX));
}

// One letter argument: yes gives 1, no gives 0 (first character, either case).
int LetterArg(ArgCursor* cursor, char yes, char no, std::uint32_t* answer)
{
    if (cursor->nCount < 1)
        return -1;
    const int first = std::tolower(static_cast<unsigned char>(cursor->ppArg[0][0]));
    if (first != yes && first != no)
        return -1;
    *answer = first == yes ? 1 : 0;
    Consume(cursor, 1);
    return 0;
}

int IsHardDiskArg(void* param, std::uint32_t* answer)
{
    return LetterArg(static_cast<ArgCursor*>(param), 'h', 'f', answer);
}

int IsPCATArg(void* param, std::uint32_t* answer) { return LetterArg(static_cast<ArgCursor*>(param), 'a', '9', answer); }

// OFFSET BPS TOTAL HEADS SPT
int BetaInfoArg(void* param, DiskInfo* info, std::uint32_t* imageOffset)
{
    auto* cursor = static_cast<ArgCursor*>(param);
    if (cursor->nCount < 5)
        return -1;
    char** arg = cursor->ppArg;
    *imageOffset = ArgNumber(arg[0]);
    info->dwBytesPerSector = ArgNumber(arg[1]);
    info->dwTotalSectors = ArgNumber(arg[2]);
    info->dwHeads = ArgNumber(arg[3]);
    info->dwSectorsPerTrack = ArgNumber(arg[4]);
    Consume(cursor, 5);
    return 0;
}

constexpr GetBetaInfoFunc GetBetaInfoHardDiskArg = BetaInfoArg;
constexpr GetBetaInfoFunc GetBetaInfoFloppyDiskArg = BetaInfoArg;

int SelectPartition(std::uint32_t count, const PartitionEntry* list, std::uint32_t* index)
{
    Print("partition no?\n");
    Print("0. cancel\n");
    for (std::uint32_t i = 0; i < count; ++i)
        std::printf("%u. 0x%02X %s offset=%u,length=%u\n", i + 1, unsigned{list[i].bSystemId},
                    PartitionTypeToString(list[i].bSystemId), list[i].dwStartSector, list[i].dwSectorCount);
    const std::uint32_t number = AskPartitionNumber(count);
    if (number == 0)
        return -1;
    *index = number - 1;
    return list[*index].bSystemId;
}

int SelectPartition98(std::uint32_t count, const PartitionEntry98* list, std::uint32_t* index)
{
    Print("partition no?\n");
    Print("0. cancel\n");
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<char, sizeof list[i].achName + 1> name{};
        std::memcpy(name.data(), list[i].achName, sizeof list[i].achName);
        std::printf("%u. %s\n", i + 1, name.data());
    }
    const std::uint32_t number = AskPartitionNumber(count);
    if (number == 0)
        return -1;
    *index = number - 1;
    return 0;
}

// The partitions of the table the record names, in the order the driver counts them.
struct PartitionList {
    std::uint32_t count = 0;
    std::array<PartitionEntry, kPartitionListMax> at{};
    std::array<PartitionEntry98, kPartitionListMax> pc98{};
};

// Reads the list; prints the failure (failedAT for an unreadable PC/AT table)
// and returns false when it is unreadable or empty.
bool ListPartitions(Disk* disk, const MountRecord& record, PartitionList* list, const char* failedAT)
{
    int rc = 0;
    PartitionChainCut cut{};
    if (record.dwPC98 != 0) {
        DiskInfo info{};
        Disk_GetDiskInfo(disk, &info);
        rc = ReadPartitionEntryList98(disk, info.dwBytesPerSector, &list->count, list->pc98.data());
    } else {
        rc = ReadPartitionEntryList(disk, 0, &list->count, list->at.data(), &cut);
    }
    if (rc != 0) {
        Print(record.dwPC98 != 0 ? "failed3\n" : failedAT);
        Why("the %s partition table cannot be read (no signature, or the disk is too short)",
            record.dwPC98 != 0 ? "PC-98" : "PC/AT");
        return false;
    }
    if (cut.eBreak != PartitionChainBreak::None)
        Why("the extended partition chain is cut at the table in sector %u (its link or entry names sector %llu): "
            "%s; only the partitions before the cut are listed",
            cut.dwTableSector, static_cast<unsigned long long>(cut.qwTarget), PartitionChainBreakText(cut.eBreak));
    if (list->count == 0) {
        Print("partition not found\n");
        Why("the partition table lists no partition");
        return false;
    }
    return true;
}

// Sends the record; prints the failure. The image must be closed already.
bool SendMount(const MountRecord& record, const std::string& path)
{
    switch (SendMountRecord(record, path)) {
    case MountSendResult::Mounted:
        return true;
    case MountSendResult::NoRecord:
        Print("failed\n");
        Why("%s: the path does not fit the mount record, or no memory for it", path.c_str());
        return false;
    case MountSendResult::Refused:
        break;
    }
    Print("mount error\n");
    Why("%s", NodeFailureReason());
    return false;
}

// The partition menu of an open partitioned image: the mount result (system
// id, 0 for PC-98), or -1 after a printed failure or cancel.
int ChoosePartition(Disk* disk, MountRecord* record, std::string* commandLine)
{
    PartitionList list;
    if (!ListPartitions(disk, *record, &list, "failed2\n"))
        return -1;
    const int result = record->dwPC98 != 0 ? SelectPartition98(list.count, list.pc98.data(), &record->dwPartition)
                                           : SelectPartition(list.count, list.at.data(), &record->dwPartition);
    if (result < 0) {
        Print("canceled\n");
        return -1;
    }
    AppendNumber(commandLine, record->dwPartition + 1, "%u");
    return result;
}

int InteractMode()
{
    std::string commandLine = "qimc m ";
    Print("filename: ");
    std::string name;
    switch (ReadWord(&name, kNkMaxPath - 1)) {
    case InputRead::End:
        return -1;
    case InputRead::NotValue:
        Print("invalid filename\n");
        Why("the name is longer than %u bytes", kNkMaxPath - 1);
        return -1;
    case InputRead::Value:
        break;
    }
    std::string path;
    if (!ResolveImagePath(name.c_str(), &path)) {
        Print("invalid filename\n");
        Why("%s: %s", name.c_str(), errno != 0 ? std::strerror(errno) : "the path is too long");
        return -1;
    }
    commandLine += name + " ";
    const std::size_t afterName = commandLine.size();

    const int readOnlyChoice = AskThreeWay({"readonly?\n", "1. readonly\n", "2. readwrite\n", "3. cancel\n"});
    if (readOnlyChoice == 3)
        return -1;
    const std::uint32_t readOnly = readOnlyChoice == 1 ? 1 : 0;
    if (readOnly != 0)
        commandLine += "r ";

    Disk disk;
    Disk_Construct(&disk);
    MountRecord record{};
    const std::uint32_t lookReadOnly = LockedByAnother(path, readOnly) ? 1 : readOnly;
    if (int rc = OpenDiskImage(&disk, path.c_str(), lookReadOnly, IsHardDisk, &commandLine, IsPCAT, &commandLine,
                               GetBetaInfoHardDisk, &commandLine, GetBetaInfoFloppyDisk, &commandLine, &record);
        rc != 0) {
        Print(rc == 1 ? "canceled\n" : "failed1\n");
        if (rc != 1)
            WhyImageFailed(path);
        return -1;
    }
    const int result = record.dwFloppy != 0 ? 0 : ChoosePartition(&disk, &record, &commandLine);
    if (result >= 0)
        WarnIfPastTheEnd(&disk, record);
    Disk_Close(&disk);
    if (result < 0)
        return -1;

    // A whole disk that asked nothing, mounted read-write: the argument form
    // needs one more word after the file, and reads anything but "r" as read-write.
    if (commandLine.size() == afterName)
        commandLine += "w";

    record.dwReadOnly = readOnly;
    if (!SendMount(record, path))
        return -1;
    std::printf("command line [# %s]\n", commandLine.c_str());
    return result;
}

// PARTITION of the argument form: the mount result, or -1 after a printed failure.
int PartitionArg(Disk* disk, ArgCursor* cursor, MountRecord* record)
{
    if (cursor->nCount < 1) {
        Print("invalid argument3\n");
        Why("a partitioned disk needs the partition number: qimc m FILE [r] PARTITION");
        return -1;
    }
    const std::uint32_t index = ArgNumber(cursor->ppArg[0]) - 1;
    Consume(cursor, 1);
    PartitionList list;
    if (!ListPartitions(disk, *record, &list, "failed\n"))
        return -1;
    if (index >= list.count) {
        // A PC-98 number out of range fails without a message.
        if (record->dwPC98 == 0)
            Print("invalid argument\n");
        Why("partition %s is not listed: the disk has %u", cursor->ppArg[-1], list.count);
        return -1;
    }
    record->dwPartition = index;
    return record->dwPC98 != 0 ? 0 : list.at[index].bSystemId;
}

int ArgMode(ArgCursor* cursor)
{
    if (cursor->nCount <= 0) {
        Print("invalid argument\n");
        Why("no image file named");
        return -1;
    }
    std::string path;
    if (!ResolveImagePath(cursor->ppArg[0], &path)) {
        Print("invalid filename");
        Why("%s: %s", cursor->ppArg[0], errno != 0 ? std::strerror(errno) : "the path is too long");
        return -1;
    }
    Consume(cursor, 1);
    if (cursor->nCount <= 0) {
        Print("invalid argument\n");
        Why("after the file, say r for read-only, or what the image needs (see qimc --help)");
        return -1;
    }
    std::uint32_t readOnly = 0;
    if (cursor->ppArg[0][0] == 'r' || cursor->ppArg[0][0] == 'R') {
        readOnly = 1;
        Consume(cursor, 1);
    }

    Disk disk;
    Disk_Construct(&disk);
    MountRecord record{};
    const std::uint32_t lookReadOnly = LockedByAnother(path, readOnly) ? 1 : readOnly;
    if (int rc = OpenDiskImage(&disk, path.c_str(), lookReadOnly, IsHardDiskArg, cursor, IsPCATArg, cursor,
                               GetBetaInfoHardDiskArg, cursor, GetBetaInfoFloppyDiskArg, cursor, &record);
        rc != 0) {
        Print(rc == 1 ? "canceled\n" : "failed\n");
        if (rc != 1)
            WhyImageFailed(path);
        return -1;
    }
    const int result = record.dwFloppy != 0 ? 0 : PartitionArg(&disk, cursor, &record);
    if (result >= 0)
        WarnIfPastTheEnd(&disk, record);
    Disk_Close(&disk);
    if (result < 0)
        return -1;

    record.dwReadOnly = readOnly;
    return SendMount(record, path) ? result : -1;
}

int Unmount()
{
    if (UnmountDiskImage() != 0)
        return 0;
    Print("unmount error\n");
    Why("%s", NodeFailureReason());
    return -1;
}

// A device's line of the status list.
struct DeviceLine {
    std::string node;
    StatusRecord status;
    std::string image;
};

std::string PartitionText(const StatusRecord& s)
{
    if (s.dwMounted == 0)
        return "-";
    if (s.dwFloppy != 0)
        return "whole";
    return std::to_string(s.dwPartition + 1) + (s.dwPC98 != 0 ? " (pc-98)" : "");
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\u%04x", static_cast<unsigned>(c));
            out += escaped.data();
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void PrintStatusText(const std::vector<DeviceLine>& lines)
{
    std::printf("%-6s %-24s %-9s %-4s %-7s %-12s %s\n", "DEVICE", "NODE", "PARTITION", "MODE", "OPENERS", "SIZE",
                "IMAGE");
    for (const DeviceLine& l : lines) {
        const StatusRecord& s = l.status;
        std::printf("%-6u %-24s %-9s %-4s %-7u %-12llu %s\n", s.dwMinor, l.node.c_str(), PartitionText(s).c_str(),
                    s.dwMounted == 0 ? "-" : s.dwReadOnly != 0 ? "ro" : "rw", s.dwOpeners,
                    static_cast<unsigned long long>(s.qwBytes), s.dwMounted == 0 ? "-" : l.image.c_str());
    }
}

void PrintStatusJson(const std::vector<DeviceLine>& lines)
{
    std::printf("[");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const StatusRecord& s = lines[i].status;
        const bool mounted = s.dwMounted != 0;
        std::printf("%s\n  {\"device\": %u, \"node\": %s, \"image\": %s, \"partition\": %s, \"table\": %s, "
                    "\"read-only\": %s, \"openers\": %u, \"size\": %llu}",
                    i == 0 ? "" : ",", s.dwMinor, JsonString(lines[i].node).c_str(),
                    mounted ? JsonString(lines[i].image).c_str() : "null",
                    mounted && s.dwFloppy == 0 ? std::to_string(s.dwPartition + 1).c_str() : "null",
                    !mounted || s.dwFloppy != 0 ? "null" : s.dwPC98 != 0 ? "\"pc-98\"" : "\"pc/at\"",
                    mounted && s.dwReadOnly != 0 ? "true" : "false", s.dwOpeners,
                    static_cast<unsigned long long>(s.qwBytes));
    }
    std::printf("\n]\n");
}

// Asks the node qimc talks to, then every other device of the same qim: each
// beside it, as qim names its nodes.
int Status(bool json)
{
    const std::string asked = QimDevicePath();
    std::array<std::byte, kStatusRecordBytes> answer{};
    if (QueryDeviceStatus(answer) == 0) {
        Why("%s", NodeFailureReason());
        return -1;
    }
    const char* name = nullptr;
    const StatusRecord first = LoadStatusRecord(answer, &name);
    const std::string firstImage = name;
    const std::size_t slash = asked.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : asked.substr(0, slash);
    std::vector<DeviceLine> lines;
    bool whole = true;
    for (std::uint32_t minor = 0; minor < first.dwDevices; ++minor) {
        if (minor == first.dwMinor) {
            lines.push_back({asked, first, firstImage});
            continue;
        }
        const std::string node = dir + "/qim" + std::to_string(minor);
        ChooseQimDevice(node.c_str());
        if (QueryDeviceStatus(answer) == 0) {
            Why("device %u: %s", minor, NodeFailureReason());
            whole = false;
            continue;
        }
        const StatusRecord s = LoadStatusRecord(answer, &name);
        lines.push_back({node, s, name});
    }
    if (json)
        PrintStatusJson(lines);
    else
        PrintStatusText(lines);
    return whole ? 0 : -1;
}

}  // namespace

}  // namespace qim

int main(int argc, char** argv)
{
    using namespace qim;
    // -d N before the command chooses the device; the command line after it
    // is read as without it.
    if (argc >= 2 && (std::strcmp(argv[1], "-d") == 0 || std::strcmp(argv[1], "--device") == 0)) {
        if (argc < 3 || argv[2][0] == '\0') {
            Print("invalid argument\n");
            Why("%s needs a device number or node path", argv[1]);
            return -1;
        }
        ChooseQimDevice(argv[2]);
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) {
        std::printf("%s\n", kQimDescription);
        Print("mount:   # qimc m\n");
        Print("unmount: # qimc u\n");
        return -1;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("qimc %s (%s)\n", kQimVersion, kQimDescription);
        return 0;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::printf("%s\n", kQimDescription);
        Print(kHelp);
        return 0;
    }
    const char command = argv[1][0];
    if (command == 'm' || command == 'M') {
        if (argc == 2)
            return InteractMode();
        ArgCursor cursor{argc - 2, argv + 2};
        return ArgMode(&cursor);
    }
    if ((command == 'u' || command == 'U') && argc == 2)
        return Unmount();
    if ((command == 's' || command == 'S') && argv[1][1] == '\0' &&
        (argc == 2 || (argc == 3 && std::strcmp(argv[2], "--output=json") == 0)))
        return Status(argc == 3);
    Print("invalid argument\n");
    Why("%s: not a command, or not with these arguments (see qimc --help)", argv[1]);
    return -1;
}
