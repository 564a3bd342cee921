// SPDX-License-Identifier: MIT
// qimg check: the metadata check of an image's format, and whether every
// allocation answer can be read. 0 clean, 2 corrupt, 3 leaks only; 1 when it
// cannot check (a file that does not open, a variant the driver does not
// read), 63 for a format without metadata to check.
#include "QimgImage.h"

#include "DiskEtc.h"
#include "DiskFormats.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sys/stat.h>

namespace qim::qimg {

namespace {

struct Finding {
    bool leak;
    std::string what;
    std::string firstName;  // "" for none
    std::uint64_t first;
    std::string secondName;
    std::uint64_t second;
};

struct Findings {
    bool json = false;
    std::vector<Finding> all;
    std::uint32_t corrupt = 0;
    std::uint32_t leaked = 0;
};

void NoteFinding(void* param, const DiskCheckFinding* finding)
{
    auto* findings = static_cast<Findings*>(param);
    Finding f{finding->dwKind == DISK_CHECK_LEAK, finding->pszWhat, "", finding->qwFirst, "", finding->qwSecond};
    if (finding->pszFirst != nullptr)
        f.firstName = finding->pszFirst;
    if (finding->pszSecond != nullptr)
        f.secondName = finding->pszSecond;
    ++(f.leak ? findings->leaked : findings->corrupt);
    if (!findings->json) {
        std::string line = std::string(f.leak ? "leaked: " : "corrupt: ") + f.what;
        if (!f.firstName.empty()) {
            line += " (" + f.firstName + " " + std::to_string(f.first);
            if (!f.secondName.empty())
                line += ", " + f.secondName + " " + std::to_string(f.second);
            line += ")";
        }
        std::puts(line.c_str());
    }
    findings->all.push_back(std::move(f));
}

void Report(Findings* findings, const std::string& what)
{
    const DiskCheckFinding finding{DISK_CHECK_CORRUPT, what.c_str(), nullptr, 0, nullptr, 0};
    NoteFinding(findings, &finding);
}

// As qemu-img says of a format without a check.
int NoMetadataCheck(const std::string& path, std::uint32_t type)
{
    Fail(path, "a " + std::string(FormatName(type)) + " image has no metadata to check");
    return kExitNoCheck;
}

void PrintSummary(const std::string& path, std::uint32_t type, const Findings& findings)
{
    const std::string name(FormatName(type));
    if (findings.json) {
        nlohmann::ordered_json out;
        out["filename"] = path;
        out["format"] = name;
        out["corruptions"] = findings.corrupt;
        out["leaks"] = findings.leaked;
        out["findings"] = nlohmann::ordered_json::array();
        for (const Finding& f : findings.all) {
            nlohmann::ordered_json one = {{"kind", f.leak ? "leak" : "corrupt"}, {"what", f.what}};
            if (!f.firstName.empty())
                one[f.firstName] = f.first;
            if (!f.secondName.empty())
                one[f.secondName] = f.second;
            out["findings"].push_back(one);
        }
        const std::string text = out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        std::fputs(text.c_str(), stdout);
        return;
    }
    const std::string shown = Escaped(path);
    if (findings.corrupt != 0)
        std::printf("%s: %s image, %u corrupt, %u leaked\n", shown.c_str(), name.c_str(), findings.corrupt,
                    findings.leaked);
    else if (findings.leaked != 0)
        std::printf("%s: %s image, %u leaked, otherwise clean\n", shown.c_str(), name.c_str(), findings.leaked);
    else
        std::printf("%s: %s image, clean\n", shown.c_str(), name.c_str());
}

}  // namespace

int Check(const Options& options)
{
    const std::string& path = options.files[0];
    Findings findings;
    findings.json = options.json;
    Image image;
    std::uint32_t type = DISK_BETA;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    const bool opens = exists && !options.raw && Disk_Open(&image.disk, path.c_str(), 1) == 0;
    if (opens) {
        type = image.disk.dwType;
        if (const DiskFormat* format = DiskFormatOf(type); format == nullptr || format->driver.Check == nullptr)
            return NoMetadataCheck(path, type);
        if (int rc = Disk_Check(path.c_str(), type, NoteFinding, &findings); rc != 0) {
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
    } else if (const DiskRefusal refusal = *Disk_GetRefusal();
               exists && !options.raw && refusal.dwKind != DISK_REFUSED_NONE && refusal.dwKind != DISK_REFUSED_CORRUPT) {
        // A file that does not open, or a variant the driver does not read: nothing was checked.
        Fail(path, std::string("cannot check: ") + refusal.achText);
        return kExitFailed;
    } else if (exists && !options.raw && Disk_CheckAny(path.c_str(), &type, NoteFinding, &findings) == 0) {
        // The format's signature is there but its driver refuses the file.
        Disk refused;
        Disk_Construct(&refused);
        const int rc = Disk_OpenType(&refused, path.c_str(), 1, type);
        if (rc == 0)
            Disk_Close(&refused);
        else if (findings.corrupt == 0)
            Report(&findings, std::string("the driver refuses the image: ") +
                                  (Disk_GetRefusal()->dwKind != DISK_REFUSED_NONE ? Disk_GetRefusal()->achText
                                                                                   : DiskErrorText(rc)));
    } else if (!OpenImage(options, path, &image)) {
        return kExitFailed;
    } else {
        return NoMetadataCheck(path, image.disk.dwType);  // raw: no metadata beyond its size
    }
    PrintSummary(path, type, findings);
    return findings.corrupt != 0 ? kExitCorrupt : findings.leaked != 0 ? kExitLeaked : 0;
}

}  // namespace qim::qimg
