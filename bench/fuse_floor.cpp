// SPDX-License-Identifier: MIT
// The floor under the node's speed: the node qim serves (its FUSE loop,
// request sizes, read capture and spliced replies) over an image file read
// and written with the kernel platform's file calls, but without the driver,
// the block layer or the request lock. bench/node_bench.sh runs it beside
// qim: floor/loop is what the FUSE path itself costs on the machine, and
// node/floor what the driver's side adds to it.
//
// Usage (root): fuse_floor [--transport=uring|dev] --node=NODE FILE, until SIGTERM.
#include "FuseNode.h"
#include "Nk.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

namespace {

using qim::host::IoctlAnswer;

qim::NkHandle image = nullptr;
std::uint64_t imageBytes = 0;

// Whole bytes of the file, as the node's reads and writes never pass its end.
std::uint32_t Clipped(std::uint64_t offset, std::size_t size)
{
    return offset >= imageBytes ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(size, imageBytes - offset));
}

long Read(void*, std::uint64_t offset, std::span<std::byte> buffer)
{
    const std::uint32_t n = Clipped(offset, buffer.size());
    return n == 0 || qim::NkReadFile(image, offset, n, buffer.data()) != 0 ? n : -EIO;
}

long Write(void*, std::uint64_t offset, std::span<const std::byte> buffer)
{
    const std::uint32_t n = Clipped(offset, buffer.size());
    return n == 0 || qim::NkWriteFile(image, offset, n, buffer.data()) != 0 ? n : -EIO;
}

}  // namespace

int main(int argc, char** argv)
{
    auto transport = qim::host::NodeTransport::automatic;
    const char* node = nullptr;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--transport=", 12) == 0) {
            if (!qim::host::ParseNodeTransport(argv[i] + 12, &transport))
                node = nullptr, file = nullptr, i = argc;
        } else if (std::strncmp(argv[i], "--node=", 7) == 0) {
            node = argv[i] + 7;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            node = nullptr, file = nullptr, i = argc;
        }
    }
    if (node == nullptr || file == nullptr) {
        std::fputs("usage: fuse_floor [--transport=auto|uring|dev] --node=NODE FILE\n", stderr);
        return 2;
    }
    if (qim::NkCreateFile(file, 0, &image) == 0 || qim::NkGetFileSize(image, &imageBytes) == 0) {
        std::fprintf(stderr, "fuse_floor: cannot open %s\n", file);
        return 1;
    }
    const qim::host::NodeOps ops{
        nullptr,
        [](void*) { return 0; },
        [](void*) {},
        [](void*, pid_t, unsigned int, unsigned long) { return IoctlAnswer{-ENOTTY, false}; },
        [](void*) { return imageBytes; },
        Read,
        Write,
        [](void*) { return 0; },  // the benchmark never flushes
        [](void*) { return false; },
        [](void*, std::uint64_t, std::uint64_t) {},
    };
    const int status = qim::host::ServeNode({node, false, transport}, ops);
    qim::NkCloseFile(image);
    return status;
}
