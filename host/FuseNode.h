// SPDX-License-Identifier: MIT
// The device node as a one-file FUSE file system: the node path itself is the
// mount point, and its root inode is a regular file whose size and contents
// the callbacks below provide. Knows nothing of the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

namespace qim::host {

struct IoctlAnswer {
    long result;      // the caller's ioctl result, or a negative error number
    bool invalidate;  // the node's size or contents changed
};

// Every callback may run on any of the loop's threads, concurrently.
// Transfer callbacks return the byte count moved or a negative error number.
struct NodeOps {
    void* context;
    int (*open)(void* context);
    void (*release)(void* context);
    IoctlAnswer (*ioctl)(void* context, pid_t caller, unsigned int request, unsigned long argument);
    std::uint64_t (*size)(void* context);
    long (*read)(void* context, std::uint64_t offset, std::span<std::byte> buffer);
    long (*write)(void* context, std::uint64_t offset, std::span<const std::byte> buffer);
    int (*fsync)(void* context);
    // Whether the mounted image is read-only. Neither this nor size waits for
    // a transfer or control request: both are asked when anyone, the driver
    // opening an image included, looks at the node.
    bool (*readOnly)(void* context);
    // The node's identity once it is mounted, before the first request.
    void (*served)(void* context, std::uint64_t device, std::uint64_t inode);
};

// How requests reach the node: over io_uring where the kernel offers it
// (automatic), or through /dev/fuse alone (device); uring says why when it
// cannot be had.
enum class NodeTransport { automatic, uring, device };

// "auto", "uring" or "dev" into *transport; false for any other name.
[[nodiscard]] bool ParseNodeTransport(const char* name, NodeTransport* transport);

struct NodeOptions {
    const char* path;
    bool debug;
    NodeTransport transport = NodeTransport::automatic;
};

// Mounts the node (creating an empty regular file at the path when nothing is
// there) and serves it until SIGINT, SIGTERM or SIGHUP, whatever handling of
// them was inherited; a signal that comes while the node is open is logged
// and takes effect when the last opener has gone. Then unmounts the node and
// removes the file again if it was created here. A node another qim serves is
// refused; the dead mount a killed one left is removed first. Returns 0, or 1
// after a failure it has reported on standard error.
int ServeNode(const NodeOptions& options, const NodeOps& ops);

// Serves a node at each path with the ops of the same index, as ServeNode
// serves one: they are mounted together, a stop signal waits until no node is
// open, and any node's ending ends all. ready (when set) is called once every
// node is mounted.
int ServeNodes(std::span<const char* const> paths, std::span<const NodeOps> ops, bool debug, NodeTransport transport,
               void (*ready)());

}  // namespace qim::host
