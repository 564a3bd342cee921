// SPDX-License-Identifier: MIT
// The bytes of a mount record from its ten words in wire order, through the
// one encoder that the control program uses too (QimMount.h).
#pragma once

#include "QimMount.h"
#include "TempDir.h"

#include <string>

namespace qimtest {

// beta, type or total sectors, heads, sectors per track, bytes per sector,
// image offset, floppy, pc98, partition, read-only.
using RecordWords = qim::MountRecordWordArray;

[[nodiscard]] Bytes MountRecordBytes(const RecordWords& words, const std::string& path);

}  // namespace qimtest
