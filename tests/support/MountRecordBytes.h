// The bytes of a mount request record, stated from its layout: ten
// little-endian words, the name's length as 16 bits, the name, its zero and
// one reserved byte (written as zero).
#pragma once

#include "TempDir.h"

#include <array>
#include <cstdint>
#include <string>

namespace qimtest {

// beta, type or total sectors, heads, sectors per track, bytes per sector,
// image offset, floppy, pc98, partition, read-only.
using RecordWords = std::array<std::uint32_t, 10>;

[[nodiscard]] Bytes MountRecordBytes(const RecordWords& words, const std::string& path);

}  // namespace qimtest
