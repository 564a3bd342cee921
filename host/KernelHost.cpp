// The kernel interfaces the driver calls, provided in user space, and the
// device node's operations mapped onto the driver's entry points.
//
// Lock rules: every entry into the driver (qim_init, qim_cleanup, qim_open,
// qim_release, qim_ioctl and the request function) runs with the request
// lock held, and the queue and request functions the driver calls assert it.
#include "KernelHost.h"

#include "BlockIo.h"
#include "CallerMemory.h"
#include "RequestLock.h"
#include "Kernel.h"
#include "qimmain.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qim {

// The per-major tables of the block layer.
int* blk_size[MAX_BLKDEV];
int* blksize_size[MAX_BLKDEV];
int* hardsect_size[MAX_BLKDEV];
int read_ahead[MAX_BLKDEV];

namespace {

constexpr unsigned int kBlkFlushBuffers = 0x1261;  // BLKFLSBUF
constexpr unsigned int kBlkSectorSize = 0x1268;    // BLKSSZGET

// A request's pieces: the buffer is served in segments of at most this many
// bytes, as the block layer hands a request over buffer by buffer.
constexpr std::size_t kSegmentBytes = 64 * 1024;

struct Major {
    const char* name = nullptr;
    block_device_operations* ops = nullptr;
    request_queue queue{};
    std::deque<request*> pending;
};

// What the host keeps beside a request of its own making.
struct HostRequest {
    std::span<std::byte> buffer;
    std::size_t next = 0;  // byte offset of the segment after the current one
    bool failed = false;
    bool done = false;
};

std::array<Major, MAX_BLKDEV> majors;
int useCount = 0;
unsigned int deviceMajor = 0;  // the driver's major once loaded

// Opens of the node; guarded by openMutex so that control requests can wait
// for releases that FUSE delivers after the closing process has moved on.
std::mutex openMutex;
std::condition_variable openChanged;
int nodeOpens = 0;

Major* MajorOf(kdev_t dev)
{
    const unsigned int m = MAJOR(dev);
    return m < majors.size() && majors[m].name != nullptr ? &majors[m] : nullptr;
}

HostRequest& HostOf(request* rq) { return *static_cast<HostRequest*>(rq->host); }

void LoadSegment(request* rq)
{
    HostRequest& h = HostOf(rq);
    const std::size_t at = h.next;
    const std::size_t n = std::min(kSegmentBytes, h.buffer.size() - at);
    rq->buffer = reinterpret_cast<char*>(h.buffer.data() + at);
    rq->current_nr_sectors = n / host::kSectorBytes;
    h.next = at + n;
}

// Serves whole sectors through the driver's queue as one request.
bool SubmitRequest(void*, host::Direction direction, std::uint64_t sector, std::span<std::byte> buffer)
{
    host::RequestLockGuard lock;
    Major* major = deviceMajor != 0 ? MajorOf(MKDEV(deviceMajor, 0)) : nullptr;
    if (major == nullptr || major->queue.request_fn == nullptr)
        return false;
    HostRequest h{buffer};
    buffer_head bh{1};
    request rq{};
    rq.rq_dev = MKDEV(deviceMajor, 0);
    rq.cmd = direction == host::Direction::kRead ? READ : WRITE;
    rq.sector = static_cast<unsigned long>(sector);
    rq.nr_sectors = buffer.size() / host::kSectorBytes;
    rq.bh = &bh;
    rq.host = &h;
    LoadSegment(&rq);
    major->pending.push_back(&rq);
    major->queue.request_fn(&major->queue);
    if (!h.done) {
        // The driver returned with the request still queued: the block layer
        // would wait for it for ever; the host cannot go on either.
        panic("qim host: request left unfinished");
    }
    return !h.failed;
}

// The image files are the regular files this process holds open (the
// kernel platform layer opened them); making each durable makes the device so.
void SyncOpenFiles()
{
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        ::sync();
        return;
    }
    const int own = ::dirfd(fds);
    while (const dirent* e = ::readdir(fds)) {
        const int fd = std::atoi(e->d_name);
        struct stat st {};
        if (e->d_name[0] == '.' || fd == own || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        ::fdatasync(fd);
    }
    ::closedir(fds);
}

int CallDriverOpen(bool open)
{
    host::RequestLockGuard lock;
    Major* major = deviceMajor != 0 ? MajorOf(MKDEV(deviceMajor, 0)) : nullptr;
    if (major == nullptr)
        return -ENODEV;
    inode node{MKDEV(deviceMajor, 0)};
    file f{};
    return open ? major->ops->open(&node, &f) : major->ops->release(&node, &f);
}

int NodeOpen(void*)
{
    const int rc = CallDriverOpen(true);
    if (rc == 0) {
        std::lock_guard g(openMutex);
        ++nodeOpens;
    }
    return rc;
}

void NodeRelease(void*)
{
    CallDriverOpen(false);
    std::lock_guard g(openMutex);
    --nodeOpens;
    openChanged.notify_all();
}

// FUSE delivers a release after close() has returned to the process, so a
// program that closes the node and at once runs qimc could find its own
// close not yet counted. Mount and unmount wait a moment for that.
void SettleOpens()
{
    std::unique_lock g(openMutex);
    openChanged.wait_for(g, std::chrono::milliseconds(250), [] { return nodeOpens <= 1; });
}

host::IoctlAnswer NodeIoctl(void*, pid_t caller, unsigned int request, unsigned long argument)
{
    const bool changesImage = request == QIM_MOUNT || request == QIM_UNMOUNT;
    if (changesImage)
        SettleOpens();
    host::CallerScope scope(caller);
    host::RequestLockGuard lock;
    Major* major = deviceMajor != 0 ? MajorOf(MKDEV(deviceMajor, 0)) : nullptr;
    if (major == nullptr)
        return {-ENODEV, false};
    inode node{MKDEV(deviceMajor, 0)};
    file f{};
    const int rc = major->ops->ioctl(&node, &f, request, argument);
    return {rc, changesImage && rc == 0};
}

std::uint64_t DeviceBytes()
{
    host::AssertRequestsLocked("DeviceBytes");
    if (qim_devices == nullptr || qim_devices[0].pDisk == nullptr)
        return 0;
    return std::uint64_t{qim_devices[0].dwDeviceSectors} * host::kSectorBytes;
}

std::uint64_t NodeSize(void*)
{
    host::RequestLockGuard lock;
    return DeviceBytes();
}

std::uint64_t LockedDeviceBytes()
{
    host::RequestLockGuard lock;
    return DeviceBytes();
}

long NodeRead(void*, std::uint64_t offset, std::span<std::byte> buffer)
{
    // The size is taken again under the lock of each request, so a mount
    // between the two only makes the request fail or fall short, never read
    // another image's data as this one's.
    return host::ReadBytes({nullptr, SubmitRequest}, LockedDeviceBytes(), offset, buffer);
}

long NodeWrite(void*, std::uint64_t offset, std::span<const std::byte> buffer)
{
    return host::WriteBytes({nullptr, SubmitRequest}, LockedDeviceBytes(), offset, buffer);
}

int NodeFsync(void*)
{
    host::RequestLockGuard lock;
    return deviceMajor != 0 ? fsync_dev(MKDEV(deviceMajor, 0)) : 0;
}

}  // namespace

int register_blkdev(unsigned int major, const char* name, block_device_operations* ops)
{
    host::AssertRequestsLocked("register_blkdev");
    if (major == 0) {
        // Chosen from the top down, as the kernel does.
        for (unsigned int m = MAX_BLKDEV - 1; m > 0; --m)
            if (majors[m].name == nullptr) {
                major = m;
                break;
            }
        if (major == 0)
            return -EBUSY;
        majors[major].name = name;
        majors[major].ops = ops;
        return static_cast<int>(major);
    }
    if (major >= MAX_BLKDEV)
        return -EINVAL;
    if (majors[major].name != nullptr)
        return -EBUSY;
    majors[major].name = name;
    majors[major].ops = ops;
    return 0;
}

int unregister_blkdev(unsigned int major, const char* name)
{
    host::AssertRequestsLocked("unregister_blkdev");
    if (major >= MAX_BLKDEV || majors[major].name == nullptr || std::strcmp(majors[major].name, name) != 0)
        return -EINVAL;
    majors[major].name = nullptr;
    majors[major].ops = nullptr;
    return 0;
}

request_queue* BLK_DEFAULT_QUEUE(unsigned int major) { return &majors.at(major).queue; }

void blk_init_queue(request_queue* q, request_fn_proc* fn)
{
    host::AssertRequestsLocked("blk_init_queue");
    q->request_fn = fn;
}

void blk_cleanup_queue(request_queue* q)
{
    host::AssertRequestsLocked("blk_cleanup_queue");
    q->request_fn = nullptr;
}

namespace {

Major& MajorOfQueue(request_queue* q)
{
    for (Major& m : majors)
        if (&m.queue == q)
            return m;
    panic("qim host: unknown request queue");
}

}  // namespace

bool QUEUE_EMPTY(request_queue* q)
{
    host::AssertRequestsLocked("QUEUE_EMPTY");
    return MajorOfQueue(q).pending.empty();
}

request* CURRENT_REQUEST(request_queue* q)
{
    host::AssertRequestsLocked("CURRENT_REQUEST");
    Major& m = MajorOfQueue(q);
    return m.pending.empty() ? nullptr : m.pending.front();
}

void blkdev_dequeue_request(request* rq)
{
    host::AssertRequestsLocked("blkdev_dequeue_request");
    Major* m = MajorOf(rq->rq_dev);
    if (m == nullptr || m->pending.empty() || m->pending.front() != rq)
        panic("qim host: dequeue of a request that is not first in its queue");
    m->pending.pop_front();
}

int end_that_request_first(request* rq, int uptodate, const char*)
{
    host::AssertRequestsLocked("end_that_request_first");
    HostRequest& h = HostOf(rq);
    if (uptodate == 0)
        h.failed = true;
    rq->sector += rq->current_nr_sectors;
    rq->nr_sectors -= rq->current_nr_sectors;
    if (h.next >= h.buffer.size())
        return 0;
    LoadSegment(rq);
    return 1;
}

void end_that_request_last(request* rq)
{
    host::AssertRequestsLocked("end_that_request_last");
    HostOf(rq).done = true;
}

void register_disk(void*, kdev_t, unsigned int, block_device_operations*, long)
{
    host::AssertRequestsLocked("register_disk");
}

int blk_ioctl(kdev_t dev, unsigned int cmd, unsigned long arg)
{
    host::AssertRequestsLocked("blk_ioctl");
    switch (cmd) {
    case kBlkFlushBuffers:
        fsync_dev(dev);
        __invalidate_buffers(dev, 0);
        return 0;
    case kBlkSectorSize: {
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

int fsync_dev(kdev_t)
{
    host::AssertRequestsLocked("fsync_dev");
    SyncOpenFiles();
    return 0;
}

// The host keeps no buffers of its own; the node is served with direct I/O
// and is invalidated on every mount and unmount.
void __invalidate_buffers(kdev_t, int) { host::AssertRequestsLocked("__invalidate_buffers"); }

bool access_ok(int, unsigned long addr, unsigned long size) { return host::CallerRangeOk(addr, size); }

unsigned long __generic_copy_from_user(void* to, const void* from, unsigned long n)
{
    return host::CopyFromCaller(to, reinterpret_cast<std::uintptr_t>(from), n);
}

unsigned long copy_to_user(void* to, const void* from, unsigned long n)
{
    return host::CopyToCaller(reinterpret_cast<std::uintptr_t>(to), from, n);
}

int printk(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const int n = std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fflush(stderr);
    return n;
}

void panic(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::fputs("Kernel panic: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

void* kmalloc(std::size_t size, int) { return std::malloc(size); }
void kfree(const void* p) { std::free(const_cast<void*>(p)); }

void MOD_INC_USE_COUNT() { ++useCount; }
void MOD_DEC_USE_COUNT() { --useCount; }

namespace host {

int LoadModule()
{
    RequestLockGuard lock;
    const int rc = qim_init();
    if (rc == 0)
        deviceMajor = static_cast<unsigned int>(qim_major);
    return rc;
}

void UnloadModule()
{
    RequestLockGuard lock;
    qim_cleanup();
    deviceMajor = 0;
}

NodeOps DeviceNodeOps()
{
    return {nullptr, NodeOpen, NodeRelease, NodeIoctl, NodeSize, NodeRead, NodeWrite, NodeFsync};
}

}  // namespace host

}  // namespace qim
