// SPDX-License-Identifier: MIT
#include "MountRecordBytes.h"

#include <span>

namespace qimtest {

Bytes MountRecordBytes(const RecordWords& words, const std::string& path)
{
    Bytes bytes(qim::MountRecordLength(static_cast<std::uint32_t>(path.size())));
    qim::StoreMountRecord(qim::MountRecordOfWords(words), path, std::as_writable_bytes(std::span(bytes)));
    return bytes;
}

}  // namespace qimtest
