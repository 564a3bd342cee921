#include "MountRecordBytes.h"

namespace qimtest {

Bytes MountRecordBytes(const RecordWords& words, const std::string& path)
{
    Bytes bytes;
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    bytes.push_back(static_cast<std::uint8_t>(path.size()));
    bytes.push_back(static_cast<std::uint8_t>(path.size() >> 8));
    bytes.insert(bytes.end(), path.begin(), path.end());
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

}  // namespace qimtest
