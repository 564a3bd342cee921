// SPDX-License-Identifier: MIT
// The block layer of Kernel.h in user space: the majors and their per-minor
// tables, one request queue per major, requests made of segments with the
// completion rules of end_that_request_first and _last, and the module's use
// count. One implementation serves the qim program and the driver's tests;
// every function here runs under the request lock (RequestLock.h).
#pragma once

#include "Kernel.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qim::host {

// One buffer of a request, of whole 512-byte sectors.
struct RequestSegment {
    std::span<std::byte> buffer;
    bool locked = true;  // the block layer hands buffers over locked
};

// A request of the host's making and what the driver made of it. It must
// stay where it is while it is queued: the queue holds its address.
struct BlockRequest {
    request rq{};
    std::vector<RequestSegment> segments;
    std::vector<buffer_head> heads;  // one per segment, or none at all
    std::size_t current = 0;         // the segment the request describes now
    std::vector<int> statuses;       // one per completed segment
    unsigned queueMajor = 0;
    bool dequeued = false;
    bool finished = false;
};

// Queues r, whose segments are set, on the queue of dev's major (of
// queueMajor when nonzero) as a request for cmd from sector on; withHeads
// gives each segment a buffer head.
void QueueRequest(BlockRequest& r, kdev_t dev, int cmd, unsigned long sector, bool withHeads = true,
                  unsigned queueMajor = 0);
// Calls the major's request function, as the block layer does when requests wait.
void RunQueue(unsigned major);
// Forgets the requests left on a queue (after a panic).
void DropQueue(unsigned major);
[[nodiscard]] std::size_t QueueLength(unsigned major);

// Moves whole sectors between dev and the buffer as one request of one
// segment, and runs the queue; true when every segment succeeded,
// false at once when no request function serves dev. A request the driver
// leaves unfinished halts the kernel, as it would hang it.
[[nodiscard]] bool TransferSectors(kdev_t dev, int cmd, std::uint64_t sector, std::span<std::byte> buffer);

// The major registered under name (as /proc/devices lists it), or 0.
[[nodiscard]] unsigned FindMajor(const char* name);
// The operations registered for major, or null.
[[nodiscard]] block_device_operations* DeviceOperations(unsigned major);
[[nodiscard]] int ModuleUseCount();

// Forgets every registration, table, queue and the use count.
void ResetBlockLayer();

}  // namespace qim::host
