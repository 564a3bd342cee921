// SPDX-License-Identifier: MIT
// What the format conformance suite needs of a format: a builder that writes
// an image of it holding known contents, and the facts to check it against.
#pragma once

#include "Disk.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qimtest {

struct BuiltImage {
    std::string path;                  // the file Disk_Open is given
    qim::DiskInfo info;                // geometry the driver must report
    std::vector<std::byte> contents;   // the disk's bytes, as the driver must read them
    std::vector<std::string> files;    // every file of the image and of its parents
    std::vector<std::string> parents;  // files that writes to the image never change
    std::uint32_t rawDataOffset = 0;   // raw images only: where the disk starts in the file
};

// Builds an image at `path` (further files beside it) with non-trivial contents.
using ConformanceBuilder = BuiltImage (*)(const std::string& path);

struct ConformanceRow {
    const char* name;
    std::uint32_t code;     // DISK_BETA for raw images, opened with Disk_OpenBeta
    const char* extension;  // the name the image is built under: "image.<extension>"
    ConformanceBuilder build;
    bool probed;            // also built as "image.bin" and found by the probe
};

// Every format's row, for the suite and for the tools that take any image.
[[nodiscard]] std::span<const ConformanceRow> ConformanceRows();

// A raw image with a header before the disk and bytes after it.
BuiltImage BuildRawConformance(const std::string& path);

}  // namespace qimtest
