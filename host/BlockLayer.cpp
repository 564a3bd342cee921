// SPDX-License-Identifier: MIT
// The block layer's registrations, queues and requests. Every function the
// driver calls asserts the request lock (RequestLock.h, rule 3).
#include "BlockLayer.h"

#include "KernelHooks.h"
#include "RequestLock.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qim {

// The per-major tables of the block layer.
int* blk_size[MAX_BLKDEV];
int* blksize_size[MAX_BLKDEV];
int* hardsect_size[MAX_BLKDEV];
int read_ahead[MAX_BLKDEV];

namespace host {

namespace {

struct Major {
    const char* name = nullptr;
    block_device_operations* ops = nullptr;
    request_queue queue{};
    // A queue per minor whose lock a thread holds alone, and one more for
    // whoever holds them all, so that devices never meet in a queue.
    std::array<std::deque<BlockRequest*>, kLockedMinors + 1> pending;
    std::array<bool, 256> readOnly{};  // by minor, as set_device_ro leaves it
};

std::array<Major, MAX_BLKDEV> majors;
std::atomic<int> useCount{0};

// The queue of major that the calling thread's lock gives it.
std::deque<BlockRequest*>& Pending(Major& m)
{
    const int minor = MinorLockedHere();
    return m.pending[minor < 0 ? kLockedMinors : static_cast<unsigned>(minor)];
}

BlockRequest& RequestOf(request* rq) { return *static_cast<BlockRequest*>(rq->host); }

Major& MajorOfQueue(request_queue* q)
{
    for (Major& m : majors)
        if (&m.queue == q)
            return m;
    panic("qim host: unknown request queue");
}

void PointAtSegment(BlockRequest& r)
{
    const RequestSegment& s = r.segments[r.current];
    r.rq.current_nr_sectors = s.buffer.size() / kRequestSectorBytes;
    r.rq.buffer = reinterpret_cast<char*>(s.buffer.data());
    r.rq.bh = r.heads.empty() ? nullptr : &r.heads[r.current];
}

// The image files are the regular files this process holds open (the kernel
// platform layer opened them); making each durable makes the device so.
// False when one of them could not be made durable; a file system that keeps
// nothing to flush (EINVAL, EROFS) is no failure. Every file is tried.
[[nodiscard]] bool SyncOpenFiles()
{
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        ::sync();
        return true;
    }
    bool durable = true;
    const int own = ::dirfd(fds);
    while (const dirent* e = ::readdir(fds)) {
        const int fd = std::atoi(e->d_name);
        struct stat st {};
        if (e->d_name[0] == '.' || fd == own || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS)
            durable = false;
    }
    ::closedir(fds);
    return durable;
}

int Claim(unsigned major, const char* name, block_device_operations* ops)
{
    majors[major].name = name;
    majors[major].ops = ops;
    return static_cast<int>(major);
}

}  // namespace

void QueueRequest(BlockRequest& r, kdev_t dev, int cmd, unsigned long sector, bool withHeads, unsigned queueMajor)
{
    AssertRequestsLocked("QueueRequest");
    unsigned long total = 0;
    for (const RequestSegment& s : r.segments) {
        total += s.buffer.size() / kRequestSectorBytes;
        if (withHeads)
            r.heads.push_back({s.locked ? 1 : 0});
    }
    r.rq.rq_dev = dev;
    r.rq.cmd = cmd;
    r.rq.sector = sector;
    r.rq.nr_sectors = total;
    r.rq.host = &r;
    PointAtSegment(r);
    r.queueMajor = queueMajor != 0 ? queueMajor : MAJOR(dev);
    Pending(majors.at(r.queueMajor)).push_back(&r);
}

void RunQueue(unsigned major)
{
    AssertRequestsLocked("RunQueue");
    Major& m = majors.at(major);
    if (!Pending(m).empty() && m.queue.request_fn != nullptr)
        m.queue.request_fn(&m.queue);
}

void DropQueue(unsigned major) { Pending(majors.at(major)).clear(); }

std::size_t QueueLength(unsigned major) { return Pending(majors.at(major)).size(); }

bool TransferSectors(kdev_t dev, int cmd, std::uint64_t sector, std::span<std::byte> buffer)
{
    AssertRequestsLocked("TransferSectors");
    if (MAJOR(dev) >= majors.size() || majors[MAJOR(dev)].queue.request_fn == nullptr || buffer.empty())
        return false;
    // Reused by each thread, so that a request allocates nothing once its
    // vectors have grown; only ever queued inside this call.
    thread_local BlockRequest r;
    r = BlockRequest{.segments = std::move(r.segments), .heads = std::move(r.heads),
                     .statuses = std::move(r.statuses)};
    r.segments.clear();
    r.heads.clear();
    r.statuses.clear();
    // The buffer is contiguous, so it is one segment, which the driver moves
    // with one transfer of the image; the request's sector count is the only
    // bound on a segment's size.
    r.segments.push_back({buffer});
    QueueRequest(r, dev, cmd, static_cast<unsigned long>(sector));
    RunQueue(MAJOR(dev));
    if (!r.finished)
        panic("qim host: request left unfinished");
    return std::ranges::all_of(r.statuses, [](int s) { return s != 0; });
}

unsigned FindMajor(const char* name)
{
    for (unsigned m = 1; m < majors.size(); ++m)
        if (majors[m].name != nullptr && std::strcmp(majors[m].name, name) == 0)
            return m;
    return 0;
}

block_device_operations* DeviceOperations(unsigned major) { return major < majors.size() ? majors[major].ops : nullptr; }

int ModuleUseCount() { return useCount; }

void ResetBlockLayer()
{
    for (Major& m : majors)
        m = Major{};
    useCount = 0;
    for (int i = 0; i < MAX_BLKDEV; ++i) {
        blk_size[i] = blksize_size[i] = hardsect_size[i] = nullptr;
        read_ahead[i] = 0;
    }
}

}  // namespace host

using host::AssertRequestsLocked;
using host::Trace;

int register_blkdev(unsigned major, const char* name, block_device_operations* ops)
{
    AssertRequestsLocked("register_blkdev");
    Trace("register_blkdev %u", major);
    if (major == 0) {
        // Chosen from the top down, as the kernel does.
        for (unsigned m = MAX_BLKDEV - 1; m > 0; --m)
            if (host::majors[m].name == nullptr)
                return host::Claim(m, name, ops);
        return -EBUSY;
    }
    if (major >= static_cast<unsigned>(MAX_BLKDEV))
        return -EINVAL;
    if (host::majors[major].name != nullptr)
        return -EBUSY;
    host::Claim(major, name, ops);
    return 0;
}

int unregister_blkdev(unsigned major, const char* name)
{
    AssertRequestsLocked("unregister_blkdev");
    Trace("unregister_blkdev %u", major);
    if (major >= static_cast<unsigned>(MAX_BLKDEV) || host::majors[major].name == nullptr ||
        std::strcmp(host::majors[major].name, name) != 0)
        return -EINVAL;
    host::majors[major].name = nullptr;
    host::majors[major].ops = nullptr;
    return 0;
}

request_queue* BLK_DEFAULT_QUEUE(unsigned major) { return &host::majors.at(major).queue; }

void blk_init_queue(request_queue* q, request_fn_proc* fn)
{
    AssertRequestsLocked("blk_init_queue");
    q->request_fn = fn;
}

void blk_cleanup_queue(request_queue* q)
{
    AssertRequestsLocked("blk_cleanup_queue");
    Trace("blk_cleanup_queue");
    q->request_fn = nullptr;
}

bool QUEUE_EMPTY(request_queue* q)
{
    AssertRequestsLocked("QUEUE_EMPTY");
    return host::Pending(host::MajorOfQueue(q)).empty();
}

request* CURRENT_REQUEST(request_queue* q)
{
    AssertRequestsLocked("CURRENT_REQUEST");
    auto& pending = host::Pending(host::MajorOfQueue(q));
    return pending.empty() ? nullptr : &pending.front()->rq;
}

void blkdev_dequeue_request(request* rq)
{
    AssertRequestsLocked("blkdev_dequeue_request");
    host::BlockRequest& r = host::RequestOf(rq);
    auto& pending = host::Pending(host::majors.at(r.queueMajor));
    if (pending.empty() || pending.front() != &r)
        panic("qim host: dequeue of a request that is not first in its queue");
    pending.pop_front();
    r.dequeued = true;
}

int end_that_request_first(request* rq, int uptodate, const char*)
{
    AssertRequestsLocked("end_that_request_first");
    host::BlockRequest& r = host::RequestOf(rq);
    r.statuses.push_back(uptodate);
    rq->sector += rq->current_nr_sectors;
    rq->nr_sectors -= rq->current_nr_sectors;
    // Without buffer heads the block layer knows of one segment only.
    if (r.current + 1 >= r.segments.size() || rq->bh == nullptr)
        return 0;
    ++r.current;
    host::PointAtSegment(r);
    return 1;
}

void end_that_request_last(request* rq)
{
    AssertRequestsLocked("end_that_request_last");
    host::BlockRequest& r = host::RequestOf(rq);
    // The block layer frees the request here: it must have left its queue.
    if (!r.dequeued)
        panic("qim host: request finished while still queued");
    r.finished = true;
}

void register_disk(void*, kdev_t dev, unsigned minors, block_device_operations*, long size)
{
    AssertRequestsLocked("register_disk");
    Trace("register_disk %#x %u %ld", dev, minors, size);
}

int blk_ioctl(kdev_t dev, unsigned int cmd, unsigned long arg)
{
    AssertRequestsLocked("blk_ioctl");
    Trace("blk_ioctl %#x %#x", dev, cmd);
    switch (cmd) {
    case BLKFLSBUF:
        fsync_dev(dev);
        __invalidate_buffers(dev, 0);
        return 0;
    case BLKROGET: {
        const int readOnly = is_read_only(dev);
        if (!access_ok(VERIFY_WRITE, arg, sizeof readOnly))
            return -EFAULT;
        return copy_to_user(reinterpret_cast<void*>(arg), &readOnly, sizeof readOnly) == 0 ? 0 : -EFAULT;
    }
    case BLKSSZGET: {
        const int* table = hardsect_size[MAJOR(dev)];
        const int size = table != nullptr && table[MINOR(dev)] != 0 ? table[MINOR(dev)] : 512;
        if (!access_ok(VERIFY_WRITE, arg, sizeof size))
            return -EFAULT;
        return copy_to_user(reinterpret_cast<void*>(arg), &size, sizeof size) == 0 ? 0 : -EFAULT;
    }
    default:
        return -EINVAL;
    }
}

void set_device_ro(kdev_t dev, int flag)
{
    AssertRequestsLocked("set_device_ro");
    host::majors.at(MAJOR(dev)).readOnly[MINOR(dev)] = flag != 0;
}

int is_read_only(kdev_t dev)
{
    AssertRequestsLocked("is_read_only");
    return host::majors.at(MAJOR(dev)).readOnly[MINOR(dev)] ? 1 : 0;
}

int fsync_dev(kdev_t dev)
{
    AssertRequestsLocked("fsync_dev");
    Trace("fsync %#x", dev);
    return host::SyncOpenFiles() ? 0 : -EIO;
}

// The host keeps no buffers of its own; the node is served with direct I/O
// and is invalidated on every mount and unmount.
void __invalidate_buffers(kdev_t dev, int destroyDirty)
{
    AssertRequestsLocked("__invalidate_buffers");
    Trace("invalidate %#x %d", dev, destroyDirty);
}

void MOD_INC_USE_COUNT() { ++host::useCount; }
void MOD_DEC_USE_COUNT() { --host::useCount; }

}  // namespace qim
