// SPDX-License-Identifier: MIT
#include "BlockIo.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace qim::host {

namespace {

struct SectorRange {
    std::uint64_t first;     // first sector touched
    std::uint64_t count;     // sectors touched
    std::size_t headSkip;    // bytes of the first sector before the range
};

SectorRange Cover(std::uint64_t offset, std::size_t size)
{
    const std::uint64_t first = offset / kSectorBytes;
    const std::uint64_t end = (offset + size + kSectorBytes - 1) / kSectorBytes;
    return {first, end - first, static_cast<std::size_t>(offset % kSectorBytes)};
}

std::span<std::byte> Bounce(std::uint64_t sectors)
{
    // One per loop thread; only ever used inside one call.
    thread_local std::vector<std::byte> buffer;
    const std::size_t bytes = static_cast<std::size_t>(sectors * kSectorBytes);
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return std::span(buffer.data(), bytes);
}

bool Transfer(const SectorIo& io, Direction direction, std::uint64_t sector, std::span<std::byte> buffer)
{
    return io.transfer(io.context, direction, sector, buffer);
}

}  // namespace

long ReadBytes(const SectorIo& io, std::uint64_t deviceBytes, std::uint64_t offset, std::span<std::byte> out)
{
    if (offset >= deviceBytes || out.empty())
        return 0;
    if (out.size() > deviceBytes - offset)
        out = out.first(static_cast<std::size_t>(deviceBytes - offset));
    const SectorRange r = Cover(offset, out.size());
    if (r.headSkip == 0 && out.size() % kSectorBytes == 0)
        return Transfer(io, Direction::kRead, r.first, out) ? static_cast<long>(out.size()) : -EIO;
    std::span<std::byte> whole = Bounce(r.count);
    if (!Transfer(io, Direction::kRead, r.first, whole))
        return -EIO;
    std::memcpy(out.data(), whole.data() + r.headSkip, out.size());
    return static_cast<long>(out.size());
}

long WriteBytes(const SectorIo& io, std::uint64_t deviceBytes, std::uint64_t offset, std::span<const std::byte> in)
{
    if (in.empty())
        return 0;
    if (offset >= deviceBytes)
        return -ENOSPC;
    if (in.size() > deviceBytes - offset)
        in = in.first(static_cast<std::size_t>(deviceBytes - offset));
    const SectorRange r = Cover(offset, in.size());
    const std::size_t tailEnd = (r.headSkip + in.size()) % kSectorBytes;
    if (r.headSkip == 0 && tailEnd == 0) {
        // The request only reads the buffer; the block layer's buffers are not const.
        std::span<std::byte> data(const_cast<std::byte*>(in.data()), in.size());
        return Transfer(io, Direction::kWrite, r.first, data) ? static_cast<long>(in.size()) : -EIO;
    }
    std::span<std::byte> whole = Bounce(r.count);
    const std::span<std::byte> firstSector = whole.first(kSectorBytes);
    const std::span<std::byte> lastSector = whole.last(kSectorBytes);
    if (r.headSkip != 0 && !Transfer(io, Direction::kRead, r.first, firstSector))
        return -EIO;
    if (tailEnd != 0 && (r.count > 1 || r.headSkip == 0) &&
        !Transfer(io, Direction::kRead, r.first + r.count - 1, lastSector))
        return -EIO;
    std::memcpy(whole.data() + r.headSkip, in.data(), in.size());
    return Transfer(io, Direction::kWrite, r.first, whole) ? static_cast<long>(in.size()) : -EIO;
}

}  // namespace qim::host
