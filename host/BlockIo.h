// SPDX-License-Identifier: MIT
// Byte-addressed reads and writes of the node turned into whole-sector
// transfers, as the kernel's buffer cache turns file I/O on a block device
// into sector requests.
#pragma once

#include "Kernel.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qim::host {

inline constexpr std::uint32_t kSectorBytes = kRequestSectorBytes;

enum class Direction { kRead = 0, kWrite = 1 };

// Moves whole sectors [sector, sector + buffer.size() / 512) between the device
// and the buffer as one request; true when every sector was transferred.
struct SectorIo {
    void* context;
    bool (*transfer)(void* context, Direction direction, std::uint64_t sector, std::span<std::byte> buffer);
};

// Reads what lies inside the device's deviceBytes of [offset, offset + size):
// returns the byte count (0 at or past the end) or -EIO. Unaligned ends are
// read as whole sectors and copied out.
long ReadBytes(const SectorIo& io, std::uint64_t deviceBytes, std::uint64_t offset, std::span<std::byte> out);

// Writes the part inside the device: returns the byte count, -ENOSPC when the
// range starts at or past the end, or -EIO. Partly covered sectors at either
// end are read first, patched and written back with the rest in one request.
long WriteBytes(const SectorIo& io, std::uint64_t deviceBytes, std::uint64_t offset, std::span<const std::byte> in);

}  // namespace qim::host
