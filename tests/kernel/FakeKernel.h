// An in-process stand-in for the kernel interfaces of Kernel.h, driven by the
// tests: a user address space with mapped and unmapped ranges below a limit,
// per-major request queues whose requests are built from segments, the block
// layer's completion semantics, a captured log, and kmalloc that can be made
// to fail and that counts what is still allocated.
#pragma once

#include "Kernel.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace qimtest::fake {

using Bytes = std::vector<std::uint8_t>;

// What panic throws, so that a test can see the kernel halt.
struct KernelPanic {
    std::string message;
};

// Addresses at or above this limit fail access_ok.
inline constexpr unsigned long kUserLimit = 0xC0000000UL;

// Forgets everything: memory, queues, majors, log, counters, failure plans.
void Reset();

// User memory: a readable and writable range holding the bytes. Everything
// below kUserLimit that no range covers passes access_ok but faults on copy.
void MapUser(unsigned long address, const Bytes& bytes);
[[nodiscard]] Bytes ReadUser(unsigned long address, std::size_t length);

// Lines printk produced, formatted, in order.
[[nodiscard]] const std::vector<std::string>& Log();
void ClearLog();
[[nodiscard]] std::size_t CountLog(const std::string& line);

// The kmalloc that is the n-th from now (1 = the next one) fails; 0 cancels.
void FailKmalloc(int nth);
[[nodiscard]] std::size_t LiveAllocations();
[[nodiscard]] int BadFrees();

// What register_blkdev answers when asked for major 0 (a negative errno
// makes it fail); the default is 254, the first free number from the top.
void SetRegisterResult(int result);
[[nodiscard]] bool Registered(unsigned major);
[[nodiscard]] int UseCount();

// The kernel calls a test may want to see, as "name dev" lines
// ("fsync 0xfe00", "invalidate 0xfe00", "register_disk 0xfe00 2 0", ...).
[[nodiscard]] const std::vector<std::string>& Calls();
[[nodiscard]] std::size_t CountCalls(const std::string& line);
// What blk_ioctl answers.
inline constexpr int kBlkIoctlResult = -1234;

// One buffer of a request.
struct Segment {
    std::uint32_t sectors = 1;
    Bytes data;           // sectors * 512 bytes; filled in by the test or by reads
    bool locked = true;   // the block layer hands buffers over locked
    bool faulting = false; // the buffer lies in memory no transfer may touch
};

// A request as the test built it, with what the driver made of it.
struct Request {
    qim::request rq{};
    std::vector<Segment> segments;
    std::vector<qim::buffer_head> heads;
    std::size_t current = 0;
    std::vector<int> statuses;  // one per completed segment
    unsigned queueMajor = 0;
    bool dequeued = false;
    bool finished = false;
};

// Queues a request on the queue of the device's major (or of queueMajor when
// nonzero); `sector` is its first sector.
Request* Submit(qim::kdev_t dev, int cmd, unsigned long sector, std::vector<Segment> segments, bool withHeads = true,
                unsigned queueMajor = 0);
// Forgets the requests left on a queue (after a panic).
void DropQueue(unsigned major);
// Runs the major's request function as the block layer does.
void RunQueue(unsigned major);
[[nodiscard]] std::size_t QueueLength(unsigned major);

}  // namespace qimtest::fake
