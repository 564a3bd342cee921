// SPDX-License-Identifier: MIT
// The node over io_uring: per-CPU rings of request buffers shared with the
// kernel, where one submission commits a reply and fetches the next request
// and a request is served on the core that issued it. libfuse 3.14 does not
// speak this transport, so the node speaks it here; the session's device
// loop still serves what the rings do not carry (interrupts, forgets) and
// everything when the rings cannot be set up.
#pragma once

#include "FuseNode.h"

#include <cstddef>
#include <sys/types.h>

struct fuse_session;

namespace qim::host {

struct UringNode;

// Called on a mounted session before its first request, with the function
// that finds the UringNode from the session's user data. Takes over the
// session's device reads and writes to see INIT: when the kernel offers the
// transport, the INIT reply asks for it and the rings start once it is sent;
// otherwise, or when the rings cannot be made, the node stays on /dev/fuse.
// Says on standard error which transport serves and why. Null when
// transport is device or nothing could be set up.
UringNode* UringAttach(fuse_session* session, const NodeOps& ops, NodeTransport transport,
                       UringNode* (*find)(void* userData));

// After the node is unmounted: the rings have ended; joins their threads.
void UringEnd(UringNode* node);

}  // namespace qim::host
