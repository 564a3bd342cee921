#include "FakeKernel.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sys/mman.h>

namespace qim {
int* blk_size[MAX_BLKDEV];
int* blksize_size[MAX_BLKDEV];
int* hardsect_size[MAX_BLKDEV];
int read_ahead[MAX_BLKDEV];
}  // namespace qim

namespace qimtest::fake {

namespace {

struct Major {
    const char* name = nullptr;
    qim::block_device_operations* ops = nullptr;
    qim::request_queue queue{};
    std::deque<Request*> pending;
};

struct State {
    std::map<unsigned long, Bytes> user;
    std::vector<std::string> log;
    std::vector<std::string> calls;
    int failKmalloc = 0;
    std::set<const void*> live;
    int badFrees = 0;
    int registerResult = 254;
    int useCount = 0;
    std::array<Major, qim::MAX_BLKDEV> majors{};
    std::vector<std::unique_ptr<Request>> requests;
};

State& S()
{
    static State state;
    return state;
}

// The mapped byte at a user address, or null.
std::uint8_t* UserByte(unsigned long address)
{
    auto& user = S().user;
    auto it = user.upper_bound(address);
    if (it == user.begin())
        return nullptr;
    --it;
    const unsigned long at = address - it->first;
    return at < it->second.size() ? &it->second[at] : nullptr;
}

std::string Hex(unsigned long v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%#lx", v);
    return text;
}

void Call(const std::string& line) { S().calls.push_back(line); }

// Pages no access may touch: file reads and writes into them fail with EFAULT.
char* FaultingPages(std::size_t bytes)
{
    static std::size_t size = 0;
    static void* pages = nullptr;
    if (bytes > size) {
        if (pages != nullptr)
            ::munmap(pages, size);
        size = bytes;
        pages = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            std::abort();
    }
    return static_cast<char*>(pages);
}

void PointAtSegment(Request* r)
{
    Segment& seg = r->segments[r->current];
    r->rq.current_nr_sectors = seg.sectors;
    r->rq.buffer = seg.faulting ? FaultingPages(seg.data.size()) : reinterpret_cast<char*>(seg.data.data());
    r->rq.bh = r->heads.empty() ? nullptr : &r->heads[r->current];
}

}  // namespace

void Reset()
{
    for (const void* p : S().live)
        std::free(const_cast<void*>(p));
    S() = State{};
    for (int i = 0; i < qim::MAX_BLKDEV; ++i) {
        qim::blk_size[i] = qim::blksize_size[i] = qim::hardsect_size[i] = nullptr;
        qim::read_ahead[i] = 0;
    }
}

void MapUser(unsigned long address, const Bytes& bytes) { S().user[address] = bytes; }

Bytes ReadUser(unsigned long address, std::size_t length)
{
    Bytes out;
    for (std::size_t i = 0; i < length; ++i)
        if (const std::uint8_t* b = UserByte(address + i))
            out.push_back(*b);
    return out;
}

const std::vector<std::string>& Log() { return S().log; }
void ClearLog() { S().log.clear(); }
std::size_t CountLog(const std::string& line) { return std::ranges::count(S().log, line); }

void FailKmalloc(int nth) { S().failKmalloc = nth; }
std::size_t LiveAllocations() { return S().live.size(); }
int BadFrees() { return S().badFrees; }

void SetRegisterResult(int result) { S().registerResult = result; }
bool Registered(unsigned major) { return major < S().majors.size() && S().majors[major].name != nullptr; }
int UseCount() { return S().useCount; }

const std::vector<std::string>& Calls() { return S().calls; }
std::size_t CountCalls(const std::string& line) { return std::ranges::count(S().calls, line); }

Request* Submit(qim::kdev_t dev, int cmd, unsigned long sector, std::vector<Segment> segments, bool withHeads,
                unsigned queueMajor)
{
    auto r = std::make_unique<Request>();
    r->segments = std::move(segments);
    unsigned long total = 0;
    for (Segment& seg : r->segments) {
        seg.data.resize(std::size_t{seg.sectors} * 512);
        total += seg.sectors;
        if (withHeads)
            r->heads.push_back({seg.locked ? 1 : 0});
    }
    r->rq.rq_dev = dev;
    r->rq.cmd = cmd;
    r->rq.sector = sector;
    r->rq.nr_sectors = total;
    r->rq.host = r.get();
    PointAtSegment(r.get());
    r->queueMajor = queueMajor != 0 ? queueMajor : qim::MAJOR(dev);
    S().majors[r->queueMajor].pending.push_back(r.get());
    S().requests.push_back(std::move(r));
    return S().requests.back().get();
}

void RunQueue(unsigned major)
{
    Major& m = S().majors[major];
    if (!m.pending.empty() && m.queue.request_fn != nullptr)
        m.queue.request_fn(&m.queue);
}

void DropQueue(unsigned major) { S().majors[major].pending.clear(); }

std::size_t QueueLength(unsigned major) { return S().majors[major].pending.size(); }

}  // namespace qimtest::fake

namespace qim {

using namespace qimtest::fake;

int register_blkdev(unsigned major, const char* name, block_device_operations* ops)
{
    Call("register_blkdev " + std::to_string(major));
    if (major == 0) {
        const int rc = S().registerResult;
        if (rc <= 0)
            return rc;
        major = static_cast<unsigned>(rc);
        S().majors[major].name = name;
        S().majors[major].ops = ops;
        return rc;
    }
    if (major >= static_cast<unsigned>(MAX_BLKDEV) || S().majors[major].name != nullptr)
        return -EBUSY;
    S().majors[major].name = name;
    S().majors[major].ops = ops;
    return 0;
}

int unregister_blkdev(unsigned major, const char* name)
{
    Call("unregister_blkdev " + std::to_string(major));
    Major& m = S().majors[major];
    if (m.name == nullptr || std::strcmp(m.name, name) != 0)
        return -EINVAL;
    m.name = nullptr;
    m.ops = nullptr;
    return 0;
}

request_queue* BLK_DEFAULT_QUEUE(unsigned major) { return &S().majors[major].queue; }

void blk_init_queue(request_queue* q, request_fn_proc* fn) { q->request_fn = fn; }

void blk_cleanup_queue(request_queue* q)
{
    Call("blk_cleanup_queue");
    q->request_fn = nullptr;
}

namespace {
std::deque<Request*>& PendingOf(request_queue* q)
{
    for (Major& m : S().majors)
        if (&m.queue == q)
            return m.pending;
    std::abort();
}
}  // namespace

bool QUEUE_EMPTY(request_queue* q) { return PendingOf(q).empty(); }

request* CURRENT_REQUEST(request_queue* q)
{
    auto& pending = PendingOf(q);
    return pending.empty() ? nullptr : &pending.front()->rq;
}

void blkdev_dequeue_request(request* rq)
{
    auto* r = static_cast<Request*>(rq->host);
    auto& pending = S().majors[r->queueMajor].pending;
    pending.erase(std::remove(pending.begin(), pending.end(), r), pending.end());
    r->dequeued = true;
}

int end_that_request_first(request* rq, int uptodate, const char*)
{
    auto* r = static_cast<Request*>(rq->host);
    r->statuses.push_back(uptodate);
    const std::uint32_t done = r->segments[r->current].sectors;
    rq->sector += done;
    rq->nr_sectors -= done;
    // Without buffer heads the block layer knows of one segment only.
    if (r->current + 1 >= r->segments.size() || rq->bh == nullptr)
        return 0;
    ++r->current;
    PointAtSegment(r);
    return 1;
}

void end_that_request_last(request* rq)
{
    auto* r = static_cast<Request*>(rq->host);
    // The block layer frees the request here: it must have left the queue.
    if (!r->dequeued)
        std::abort();
    r->finished = true;
}

void register_disk(void*, kdev_t dev, unsigned minors, block_device_operations*, long size)
{
    Call("register_disk " + Hex(dev) + " " + std::to_string(minors) + " " + std::to_string(size));
}

int blk_ioctl(kdev_t dev, unsigned int cmd, unsigned long)
{
    Call("blk_ioctl " + Hex(dev) + " " + Hex(cmd));
    return kBlkIoctlResult;
}

int fsync_dev(kdev_t dev)
{
    Call("fsync " + Hex(dev));
    return 0;
}

void __invalidate_buffers(kdev_t dev, int destroyDirty)
{
    Call("invalidate " + Hex(dev) + " " + std::to_string(destroyDirty));
}

bool access_ok(int, unsigned long addr, unsigned long size)
{
    return addr <= kUserLimit && size <= kUserLimit - addr;
}

// Faults stop a copy where they happen, as in the kernel; what was not copied
// from user memory reads as zeros.
unsigned long __generic_copy_from_user(void* to, const void* from, unsigned long n)
{
    const auto base = reinterpret_cast<unsigned long>(from);
    auto* out = static_cast<std::uint8_t*>(to);
    unsigned long i = 0;
    for (; i < n; ++i) {
        const std::uint8_t* b = UserByte(base + i);
        if (b == nullptr)
            break;
        out[i] = *b;
    }
    std::memset(out + i, 0, n - i);
    return n - i;
}

unsigned long copy_to_user(void* to, const void* from, unsigned long n)
{
    const auto base = reinterpret_cast<unsigned long>(to);
    const auto* in = static_cast<const std::uint8_t*>(from);
    for (unsigned long i = 0; i < n; ++i) {
        std::uint8_t* b = UserByte(base + i);
        if (b == nullptr)
            return n - i;
        *b = in[i];
    }
    return 0;
}

int printk(const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    S().log.emplace_back(text);
    return n;
}

void panic(const char* fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    throw KernelPanic{text};
}

void* kmalloc(std::size_t size, int)
{
    if (S().failKmalloc > 0 && --S().failKmalloc == 0)
        return nullptr;
    void* p = std::malloc(size == 0 ? 1 : size);
    S().live.insert(p);
    return p;
}

void kfree(const void* p)
{
    if (p == nullptr)
        return;
    if (S().live.erase(p) == 0) {
        ++S().badFrees;
        return;
    }
    std::free(const_cast<void*>(p));
}

void MOD_INC_USE_COUNT() { ++S().useCount; }
void MOD_DEC_USE_COUNT() { --S().useCount; }

}  // namespace qim
