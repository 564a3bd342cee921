// SPDX-License-Identifier: MIT
// The driver's tests run it on the host's own kernel (host/BlockLayer.h and
// the rest of qim_block), with what only tests need on top: a captured log
// and call trace, kmalloc that can be made to fail and that counts what is
// still allocated, a panic that throws, and user memory with unmapped holes
// and a user limit placed where a test wants them.
#pragma once

#include "BlockLayer.h"
#include "Kernel.h"
#include "RequestLock.h"
#include "TempDir.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qimtest::kern {

// What panic throws, so that a test can see the kernel halt.
struct KernelPanic {
    std::string message;
};

// Forgets everything: registrations, queues, log, trace, allocations, failure
// plans and user memory; installs the hooks and makes this process the caller.
void Reset();

// Runs fn under the request lock, as every entry into the driver runs.
template <class Fn> decltype(auto) Locked(Fn&& fn)
{
    qim::host::RequestLockGuard lock;
    return fn();
}

// User memory is this process's own, reached through the host's copies.
// PlaceUser puts bytes so that they end where unmapped memory begins;
// PlaceUserAtLimit so that they end at the user limit (and moves it there).
[[nodiscard]] unsigned long PlaceUser(const Bytes& bytes);
[[nodiscard]] unsigned long PlaceUserAtLimit(const Bytes& bytes);
// An address below the limit where every copy faults.
[[nodiscard]] unsigned long UnmappedUser();
[[nodiscard]] Bytes ReadUser(unsigned long address, std::size_t length);

// Lines printk produced, formatted, in order.
[[nodiscard]] const std::vector<std::string>& Log();
void ClearLog();
[[nodiscard]] std::size_t CountLog(const std::string& line);

// The kernel calls a test may want to see, as "name dev" lines
// ("fsync 0xfe00", "invalidate 0xfe00 0", "register_disk 0xfe00 1 0", ...).
[[nodiscard]] const std::vector<std::string>& Calls();
[[nodiscard]] std::size_t CountCalls(const std::string& line);

// The kmalloc that is the n-th from now (1 = the next one) fails; 0 cancels.
void FailKmalloc(int nth);
[[nodiscard]] std::size_t LiveAllocations();
[[nodiscard]] int BadFrees();

// Takes every free major, so that asking for one finds none.
void OccupyAllMajors();
[[nodiscard]] bool Registered(unsigned major);
[[nodiscard]] int UseCount();

// One buffer of a request.
struct Segment {
    std::uint32_t sectors = 1;
    Bytes data;          // sectors * 512 bytes; filled in by the test or by reads
    bool locked = true;  // the block layer hands buffers over locked
};

// A request as the test built it: its buffers and the block layer's record.
struct Request {
    std::vector<Bytes> buffers;
    qim::host::BlockRequest block;
};

// Queues a request on the queue of the device's major (or of queueMajor when
// nonzero); `sector` is its first sector.
Request* Submit(qim::kdev_t dev, int cmd, unsigned long sector, std::vector<Segment> segments, bool withHeads = true,
                unsigned queueMajor = 0);
// Runs the major's request function under the lock, as the block layer does.
void RunQueue(unsigned major);
void DropQueue(unsigned major);
[[nodiscard]] std::size_t QueueLength(unsigned major);

}  // namespace qimtest::kern
