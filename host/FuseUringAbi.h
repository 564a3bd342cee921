// SPDX-License-Identifier: MIT
// The records of FUSE over io_uring (kernel 6.14 and later, protocol 7.42),
// which Debian 12's <linux/fuse.h> predates. Layouts as the kernel's uapi
// header has them; the sizes are part of the interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qim::host::uring {

// In the second word of INIT's flags (fuse_init_in.flags2, fuse_init_out.flags2).
constexpr std::uint32_t kOverIoUringFlag2 = 1u << (41 - 32);

// IORING_OP_URING_CMD's cmd_op on the /dev/fuse file.
enum Command : std::uint32_t {
    kRegister = 1,        // hand an entry's buffers to the kernel and wait for a request
    kCommitAndFetch = 2,  // the entry's reply is ready; wait for the next request
};

constexpr std::size_t kInOutBytes = 128;
constexpr std::size_t kOpBytes = 128;

// Where a request's header, the first argument and the payload size arrive,
// and where the reply's header and payload size go.
struct EntryInOut {
    std::uint64_t flags;
    std::uint64_t commitId;  // to be handed back with the reply
    std::uint32_t payloadBytes;
    std::uint32_t padding;
    std::uint64_t reserved;
};
static_assert(sizeof(EntryInOut) == 32);

// The first buffer of an entry; the second is the payload.
struct RequestHeader {
    alignas(8) std::byte inOut[kInOutBytes];  // fuse_in_header, then fuse_out_header
    std::byte op[kOpBytes];                   // the request's first argument
    EntryInOut entry;
};
static_assert(sizeof(RequestHeader) == 288);
static_assert(offsetof(RequestHeader, op) == 128 && offsetof(RequestHeader, entry) == 256);

// In the command area of a 128-byte submission.
struct CommandRequest {
    std::uint64_t flags;
    std::uint64_t commitId;
    std::uint16_t queue;
    std::uint8_t padding[6];
};
static_assert(sizeof(CommandRequest) == 24);

}  // namespace qim::host::uring
