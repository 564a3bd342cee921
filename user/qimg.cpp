// SPDX-License-Identifier: MIT
// qimg: inspects, checks and converts disk images without root, over the
// same library as qimc and qim. Results go to standard output; every error is
// one line on standard error naming the file and saying what went wrong.
// The command line follows qemu-img: a command, then its options and files in
// any order (getopt_long), "--" ending the options; a usage error exits 1.
#include "ConsoleInput.h"
#include "QimMount.h"
#include "NkUser.h"
#include "QimgImage.h"
#include "QimVersion.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <string_view>

namespace qim::qimg {

namespace {

struct Command {
    const char* name;
    std::size_t files;  // how many operands it takes
    const char* usage;
    int (*run)(const Options&);
};

int RunConvert(const Options& options)
{
    const int status = Convert(options);
    // Only once the output is gone: a caught signal ends qimg as it would have.
    ReraiseInterrupt();
    return status;
}

constexpr std::array<Command, 3> kCommands = {{
    {"info", 1, "qimg info [--output=human|json] [-f raw] [--raw GEOMETRY] IMAGE", Info},
    {"check", 1, "qimg check [--output=human|json] [-f raw] [--raw GEOMETRY] IMAGE", Check},
    {"convert", 2, "qimg convert [-p] [--partition N] [-f raw] [--raw GEOMETRY] IMAGE OUTPUT", RunConvert},
}};

constexpr const char* kGeometryHelp =
    "GEOMETRY is OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK, as qimc takes it;\n"
    "-f raw reads any file as a raw disk of its whole size.\n"
    "-U (--force-share) reads an image that another program writes.\n";

// The options; a row names the commands that take it, so a command refuses the others.
enum OptionId : int { kOptHelp = 'h', kOptFormat = 'f', kOptProgress = 'p', kOptForceShare = 'U', kOptOutput = 256, kOptPartition, kOptRaw };
struct OptionRow {
    const char* longName;
    char shortName;  // 0 for none
    int argument;    // no_argument or required_argument
    int id;
    std::string_view commands;
};
constexpr std::array<OptionRow, 7> kOptions = {{
    {"help", 'h', no_argument, kOptHelp, "info check convert"},
    {"force-share", 'U', no_argument, kOptForceShare, "info check convert"},
    {"output", 0, required_argument, kOptOutput, "info check"},
    {"format", 'f', required_argument, kOptFormat, "info check convert"},
    {"raw", 0, required_argument, kOptRaw, "info check convert"},
    {"partition", 0, required_argument, kOptPartition, "convert"},
    {"progress", 'p', no_argument, kOptProgress, "convert"},
}};

bool Takes(const OptionRow& row, std::string_view command)
{
    for (std::string_view list = row.commands; !list.empty();) {
        const std::size_t space = list.find(' ');
        if (list.substr(0, space) == command)
            return true;
        list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
    }
    return false;
}

void PrintUsage(FILE* to)
{
    std::fputs("usage: ", to);
    for (std::size_t i = 0; i < kCommands.size(); ++i)
        std::fprintf(to, "%s%s\n", i == 0 ? "" : "       ", kCommands[i].usage);
    std::fputs(kGeometryHelp, to);
}

int Usage(const std::string& why)
{
    std::fprintf(stderr, "qimg: %s\n", why.c_str());
    PrintUsage(stderr);
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
    options->rawGeometry = true;
    options->rawOffset = values[0];
    options->rawInfo = {values[2], values[3], values[4], values[1]};
    return values[1] != 0 && values[2] != 0;
}

// One option's value into options; an error text, or "" when it is fine.
std::string TakeOption(int id, const char* value, Options* options)
{
    const std::string text = value != nullptr ? value : "";
    switch (id) {
    case kOptOutput:
        if (text != "json" && text != "human")
            return "--output takes human or json";
        options->json = text == "json";
        return "";
    case kOptFormat:
        if (text != "raw")
            return "-f takes raw (other formats are recognised by their contents)";
        options->raw = true;
        return "";
    case kOptRaw:
        return ParseRaw(text, options) ? ""
                                       : "--raw takes OFFSET,BYTES_PER_SECTOR,TOTAL,HEADS,SECTORS_PER_TRACK "
                                         "(numbers, sizes above 0)";
    case kOptPartition:
        return ParseUnsigned(text, &options->partition) && options->partition != 0
                   ? ""
                   : "--partition takes a partition number from 1";
    case kOptProgress:
        options->progress = true;
        return "";
    case kOptForceShare:
        options->forceShare = true;
        return "";
    default:
        return "unknown option";
    }
}

int RunCommand(const Command& command, int argc, char** argv)
{
    std::array<option, kOptions.size() + 1> longOptions{};
    std::string shortOptions = ":";  // a missing value is ':', not '?'
    std::size_t n = 0;
    for (const OptionRow& row : kOptions) {
        if (!Takes(row, command.name))
            continue;
        longOptions[n++] = {row.longName, row.argument, nullptr, row.id};
        if (row.shortName != 0)
            shortOptions += std::string(1, row.shortName) + (row.argument == required_argument ? ":" : "");
    }
    Options options;
    options.command = command.name;
    ::opterr = 0;
    ::optind = 2;
    for (int id; (id = ::getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
        // optopt names a short option; a long one is the word getopt stopped at.
        const bool isShort = ::optopt > 0 && ::optopt < 128;
        const std::string given = isShort ? std::string("-") + static_cast<char>(::optopt) : argv[::optind - 1];
        if (id == '?')
            return Usage(given + " is not an option of " + command.name);
        if (id == ':')
            return Usage(given + " needs a value");
        if (id == kOptHelp) {
            std::printf("usage: %s\n%s", command.usage, kGeometryHelp);
            return 0;
        }
        if (const std::string why = TakeOption(id, ::optarg, &options); !why.empty())
            return Usage(why);
    }
    for (int i = ::optind; i < argc; ++i)
        options.files.emplace_back(argv[i]);
    // Shared locks for the images read, so that none is read while another
    // program writes it, and an exclusive one for an image written.
    NkUserSetImageLocks(options.forceShare ? NkLock::None : NkLock::ByAccess);
    if (options.files.size() != command.files)
        return Usage(std::string(command.name) + " takes " +
                     (command.files == 1 ? "one image" : "an image and an output file"));
    return command.run(options);
}

}  // namespace

}  // namespace qim::qimg

int main(int argc, char** argv)
{
    using namespace qim::qimg;
    const std::string_view first = argc >= 2 ? argv[1] : "";
    if (argc == 2 && (first == "--version" || first == "-V")) {
        std::printf("qimg %s (%s)\n", qim::kQimVersion, qim::kQimDescription);
        return 0;
    }
    if (argc == 2 && (first == "--help" || first == "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc < 2)
        return Usage("no command");
    for (const Command& command : kCommands)
        if (first == command.name)
            return RunCommand(command, argc, argv);
    return Usage("unknown command " + std::string(first));
}
