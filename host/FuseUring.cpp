// SPDX-License-Identifier: MIT
// The node's io_uring transport (see FuseUring.h). Each queue has rings,
// each owned by a thread kept on the queue's CPU, with 128-byte submissions
// and a share of the queue's entries: an entry is a header and a payload
// buffer the kernel fills with a request. Reads and writes are served
// straight from and into the payload; any other request goes through the
// session's own handlers on a thread of its own, their reply caught by the
// session's writev hook and copied into the entry.
#define FUSE_USE_VERSION 312
#include "FuseUring.h"

#include "FuseUringAbi.h"

#include <fuse_lowlevel.h>
#include <linux/fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <liburing.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qim::host {

namespace {

using uring::RequestHeader;

// A queue depth of 16 from one core all lands on that core's queue. Its
// entries are shared by two rings, each with a thread on that core: while
// one thread waits in the kernel the other serves, which in paired runs here
// read half again as fast at QD16 and on 1 MiB reads as one ring of 16. A
// ring's thread on the other core was far slower (a wake-up across cores per
// request).
constexpr unsigned kRingsPerQueue = 2;
constexpr unsigned kEntriesPerRing = 8;
constexpr std::size_t kHeaderBytes = sizeof(fuse_in_header);
constexpr std::size_t kOutHeaderBytes = sizeof(fuse_out_header);

struct Entry {
    RequestHeader header;
    std::byte* payload = nullptr;
    std::array<iovec, 2> iov{};
    bool replied = false;
    bool registering = true;  // its last command was a registration
};

struct Ring {
    unsigned qid = 0;
    io_uring ring{};
    bool ringMade = false;
    std::vector<Entry> entries;
    void* memory = MAP_FAILED;
    std::size_t memoryBytes = 0;
    std::thread thread;
    // Entries whose replies a request thread has made, to be committed by
    // the ring's own thread, which the eventfd wakes.
    std::mutex doneLock;
    std::vector<std::uint64_t> done;
    int doneFd = -1;
    std::uint64_t doneCount = 0;  // the eventfd's count, read by the ring
    std::atomic<unsigned> requestThreads{0};
};

// The user data of the ring's read of its eventfd; entries count from 0.
constexpr std::uint64_t kDoneTag = ~std::uint64_t{0};

}  // namespace

struct UringNode {
    fuse_session* session = nullptr;
    NodeOps ops{};
    NodeTransport transport = NodeTransport::automatic;
    int fd = -1;
    std::uint64_t initUnique = 0;  // of the INIT request, while its reply is due
    bool offered = false;
    std::size_t payloadBytes = 0;
    std::vector<std::unique_ptr<Ring>> rings;
    std::atomic<int> go{0};  // 1: the INIT reply asked for the rings; -1: it did not
    std::atomic<unsigned> registered{0};
    std::atomic<bool> registerFailed{false};
};

namespace {

UringNode* (*findNode)(void*) = nullptr;

// The ring entry a queue thread is serving, whose reply the writev hook takes.
thread_local Entry* servingEntry = nullptr;

// Whole bytes of the reply into the entry: the header into its header and
// the rest into its payload.
ssize_t ReplyIntoEntry(Entry& e, std::size_t payloadBytes, const iovec* iov, int count)
{
    std::size_t total = 0, payload = 0;
    for (int i = 0; i < count; ++i) {
        const auto* from = static_cast<const std::byte*>(iov[i].iov_base);
        std::size_t length = iov[i].iov_len;
        total += length;
        if (total - length < kOutHeaderBytes) {
            const std::size_t head = std::min(length, kOutHeaderBytes - (total - length));
            std::memcpy(e.header.inOut + (total - length), from, head);
            from += head;
            length -= head;
        }
        if (payload + length > payloadBytes)
            return -1;
        std::memcpy(e.payload + payload, from, length);
        payload += length;
    }
    e.header.entry.payloadBytes = static_cast<std::uint32_t>(payload);
    e.replied = true;
    return static_cast<ssize_t>(total);
}

void ReplyError(Entry& e, std::uint64_t unique, int error)
{
    fuse_out_header out{static_cast<std::uint32_t>(kOutHeaderBytes), -error, unique};
    std::memcpy(e.header.inOut, &out, sizeof out);
    e.header.entry.payloadBytes = 0;
}

void ReplyOk(Entry& e, std::uint64_t unique, std::size_t payload)
{
    fuse_out_header out{static_cast<std::uint32_t>(kOutHeaderBytes + payload), 0, unique};
    std::memcpy(e.header.inOut, &out, sizeof out);
    e.header.entry.payloadBytes = static_cast<std::uint32_t>(payload);
}

// Serves a request that is not a read or write through the session's
// handlers, the reply caught into the entry.
void ServeThroughSession(UringNode& node, Entry& e)
{
    fuse_in_header in{};
    std::memcpy(&in, e.header.inOut, sizeof in);
    const std::size_t payload = std::min<std::size_t>(e.header.entry.payloadBytes, node.payloadBytes);
    // The request as the device would have read it: header, first argument, the rest.
    const std::size_t op = in.len >= kHeaderBytes + payload ? std::min(in.len - kHeaderBytes - payload, uring::kOpBytes) : 0;
    thread_local std::vector<std::byte> whole;
    whole.resize(kHeaderBytes + op + payload);
    in.len = static_cast<std::uint32_t>(whole.size());
    std::memcpy(whole.data(), &in, kHeaderBytes);
    std::memcpy(whole.data() + kHeaderBytes, e.header.op, op);
    std::memcpy(whole.data() + kHeaderBytes + op, e.payload, payload);
    fuse_buf buf{};
    buf.size = whole.size();
    buf.mem = whole.data();
    e.replied = false;
    servingEntry = &e;
    fuse_session_process_buf(node.session, &buf);
    servingEntry = nullptr;
    // Every request the rings carry has a reply; one the handlers left
    // unanswered would hold its entry for good.
    if (!e.replied)
        ReplyError(e, in.unique, EIO);
}

// Serves a read or write in the entry and leaves the reply there; false for
// any other request.
bool ServeTransfer(UringNode& node, Entry& e)
{
    fuse_in_header in{};
    std::memcpy(&in, e.header.inOut, sizeof in);
    const std::size_t payload = std::min<std::size_t>(e.header.entry.payloadBytes, node.payloadBytes);
    if (in.opcode == FUSE_READ) {
        fuse_read_in r{};
        std::memcpy(&r, e.header.op, sizeof r);
        const std::size_t size = std::min<std::size_t>(r.size, node.payloadBytes);
        const long n = node.ops.read(node.ops.context, r.offset, std::span(e.payload, size));
        if (n < 0)
            ReplyError(e, in.unique, static_cast<int>(-n));
        else
            ReplyOk(e, in.unique, static_cast<std::size_t>(n));
        return true;
    }
    if (in.opcode == FUSE_WRITE) {
        fuse_write_in w{};
        std::memcpy(&w, e.header.op, sizeof w);
        const std::size_t size = std::min<std::size_t>(w.size, payload);
        const long n = node.ops.write(node.ops.context, w.offset, std::span<const std::byte>(e.payload, size));
        if (n < 0) {
            ReplyError(e, in.unique, static_cast<int>(-n));
        } else {
            const fuse_write_out out{static_cast<std::uint32_t>(n), 0};
            std::memcpy(e.payload, &out, sizeof out);
            ReplyOk(e, in.unique, sizeof out);
        }
        return true;
    }
    return false;
}

// A ring holds twice as many submissions as it has entries, so one is always
// free for each entry's command and the eventfd's read.
void PrepareCommand(io_uring& ring, int fd, std::uint32_t command, unsigned queue, std::uint64_t commitId,
                    Entry& e, std::uint64_t index)
{
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    if (sqe == nullptr)
        return;
    *sqe = {};
    std::memset(sqe->cmd, 0, 80);
    sqe->opcode = IORING_OP_URING_CMD;
    sqe->fd = fd;
    sqe->cmd_op = command;
    sqe->user_data = index;
    if (command == uring::kRegister) {
        sqe->addr = reinterpret_cast<std::uintptr_t>(e.iov.data());
        sqe->len = static_cast<std::uint32_t>(e.iov.size());
    }
    uring::CommandRequest request{};
    request.commitId = commitId;
    request.queue = static_cast<std::uint16_t>(queue);
    std::memcpy(sqe->cmd, &request, sizeof request);
}

// Errors with which the kernel ends every entry: the node was unmounted, the
// connection aborted, or the ring is going away.
bool ConnectionGone(int res)
{
    return res == -ENOTCONN || res == -ECONNABORTED || res == -ENODEV || res == -ECANCELED;
}

void Commit(UringNode& node, Ring& q, std::uint64_t index)
{
    Entry& e = q.entries[index];
    PrepareCommand(q.ring, node.fd, uring::kCommitAndFetch, q.qid, e.header.entry.commitId, e, index);
}

void ArmDoneRead(Ring& q)
{
    if (io_uring_sqe* sqe = io_uring_get_sqe(&q.ring)) {
        io_uring_prep_read(sqe, q.doneFd, &q.doneCount, sizeof q.doneCount, 0);
        sqe->user_data = kDoneTag;
    }
}

// Requests other than reads and writes may wait for the node themselves (a
// mount of the node on itself looks at it), and the kernel may hand that
// request to another entry of this very ring: they run on a thread of their
// own, and the ring commits their reply when the thread is done.
void ServeElsewhere(UringNode& node, Ring& q, std::uint64_t index)
{
    q.requestThreads.fetch_add(1);
    try {
        std::thread([&node, &q, index] {
            ServeThroughSession(node, q.entries[index]);
            {
                const std::lock_guard<std::mutex> hold(q.doneLock);
                q.done.push_back(index);
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(q.doneFd, &one, sizeof one);
            q.requestThreads.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        q.requestThreads.fetch_sub(1);
        ServeThroughSession(node, q.entries[index]);
        Commit(node, q, index);
    }
}

// Registers the ring's entries with its queue, then serves until the kernel
// ends them (the node was unmounted or the connection aborted).
void RunRing(UringNode& node, Ring& q)
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(q.qid, &cpus);
    static_cast<void>(::pthread_setaffinity_np(::pthread_self(), sizeof cpus, &cpus));
    node.go.wait(0);
    if (node.go.load() < 0)
        return;
    for (std::size_t i = 0; i < q.entries.size(); ++i)
        PrepareCommand(q.ring, node.fd, uring::kRegister, q.qid, 0, q.entries[i], i);
    int rc = io_uring_submit(&q.ring);
    io_uring_cqe* cqe = nullptr;
    // A refused registration completes at once; an accepted one when a request comes.
    if (rc >= 0 && io_uring_peek_cqe(&q.ring, &cqe) == 0 && cqe->res < 0)
        rc = cqe->res;
    if (rc < 0) {
        // The kernel then sends every request over /dev/fuse.
        if (!node.registerFailed.exchange(true))
            std::fprintf(stderr, "qim: registering the rings with the kernel failed (%s); serving over /dev/fuse\n",
                         std::strerror(-rc));
        return;
    }
    if (node.registered.fetch_add(1) + 1 == node.rings.size() && !node.registerFailed.load())
        std::fprintf(stderr, "qim: serving over io_uring, %zu queues of %u requests\n",
                     node.rings.size() / kRingsPerQueue, kRingsPerQueue * kEntriesPerRing);
    ArmDoneRead(q);
    std::size_t live = q.entries.size();
    for (;;) {
        unsigned head = 0, seen = 0;
        bool ended = false;
        io_uring_for_each_cqe(&q.ring, head, cqe)
        {
            ++seen;
            if (cqe->res < 0 && (cqe->user_data == kDoneTag || ConnectionGone(cqe->res))) {
                ended = true;
            } else if (cqe->res < 0) {
                // The kernel refused one entry's command (a reply to a request
                // it had ended): the entry comes back as a new one, and one
                // refused again is given up, so that no request waits on an
                // entry nobody reads.
                Entry& e = q.entries[cqe->user_data];
                if (!e.registering) {
                    e.registering = true;
                    PrepareCommand(q.ring, node.fd, uring::kRegister, q.qid, 0, e, cqe->user_data);
                } else if (--live == 0) {
                    ended = true;
                }
            } else if (cqe->user_data == kDoneTag) {
                std::vector<std::uint64_t> done;
                {
                    const std::lock_guard<std::mutex> hold(q.doneLock);
                    done.swap(q.done);
                }
                for (const std::uint64_t i : done)
                    Commit(node, q, i);
                ArmDoneRead(q);
            } else {
                q.entries[cqe->user_data].registering = false;
                if (ServeTransfer(node, q.entries[cqe->user_data]))
                    Commit(node, q, cqe->user_data);
                else
                    ServeElsewhere(node, q, cqe->user_data);
            }
        }
        io_uring_cq_advance(&q.ring, seen);
        if (ended)
            break;
        rc = io_uring_submit_and_wait(&q.ring, 1);
        if (rc < 0 && rc != -EINTR)
            break;
    }
    // The request threads use the ring's entries and the session.
    while (q.requestThreads.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The number of queues the kernel keeps: one per possible CPU.
unsigned PossibleCpus()
{
    unsigned last = 0;
    if (FILE* f = std::fopen("/sys/devices/system/cpu/possible", "re")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, f) != nullptr) {
            const char* dash = std::strrchr(text, '-');
            last = static_cast<unsigned>(std::strtoul(dash != nullptr ? dash + 1 : text, nullptr, 10));
        }
        std::fclose(f);
    }
    return last + 1;
}

void FreeRings(UringNode& node)
{
    for (auto& q : node.rings) {
        if (q->ringMade)
            io_uring_queue_exit(&q->ring);
        if (q->memory != MAP_FAILED)
            ::munmap(q->memory, q->memoryBytes);
        if (q->doneFd >= 0)
            ::close(q->doneFd);
    }
    node.rings.clear();
}

// The rings, their buffers and threads (waiting for go); a reason when any
// of them cannot be made, with nothing left behind.
std::string MakeRings(UringNode& node)
{
    const unsigned cpus = PossibleCpus();
    const unsigned count = cpus * kRingsPerQueue;
    for (unsigned i = 0; i < count; ++i) {
        auto q = std::make_unique<Ring>();
        q->qid = i % cpus;
        q->memoryBytes = node.payloadBytes * kEntriesPerRing;
        q->memory = ::mmap(nullptr, q->memoryBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (q->memory == MAP_FAILED) {
            FreeRings(node);
            return std::string("no memory for the rings' buffers: ") + std::strerror(errno);
        }
        q->entries.resize(kEntriesPerRing);
        for (unsigned j = 0; j < kEntriesPerRing; ++j) {
            Entry& e = q->entries[j];
            e.payload = static_cast<std::byte*>(q->memory) + j * node.payloadBytes;
            e.iov[0] = {&e.header, sizeof e.header};
            e.iov[1] = {e.payload, node.payloadBytes};
        }
        q->doneFd = ::eventfd(0, EFD_CLOEXEC);
        if (q->doneFd < 0) {
            node.rings.push_back(std::move(q));
            FreeRings(node);
            return std::string("cannot make an eventfd: ") + std::strerror(errno);
        }
        if (const int rc = io_uring_queue_init(2 * kEntriesPerRing, &q->ring, IORING_SETUP_SQE128); rc < 0) {
            node.rings.push_back(std::move(q));
            FreeRings(node);
            return std::string("cannot make an io_uring: ") + std::strerror(-rc);
        }
        q->ringMade = true;
        node.rings.push_back(std::move(q));
    }
    try {
        for (unsigned i = 0; i < count; ++i)
            node.rings[i]->thread = std::thread(RunRing, std::ref(node), std::ref(*node.rings[i]));
    } catch (const std::system_error& e) {
        node.go = -1;
        node.go.notify_all();
        for (auto& q : node.rings)
            if (q->thread.joinable())
                q->thread.join();
        FreeRings(node);
        node.go = 0;
        return std::string("cannot start the rings' threads: ") + e.what();
    }
    return {};
}

const char* kSwitchHint = "echo 1 > /sys/module/fuse/parameters/enable_uring";

ssize_t HookRead(int fd, void* buf, size_t len, void* userData)
{
    const ssize_t n = ::read(fd, buf, len);
    UringNode& node = *findNode(userData);
    if (n < static_cast<ssize_t>(kHeaderBytes + sizeof(fuse_init_in)))
        return n;
    fuse_in_header in{};
    std::memcpy(&in, buf, sizeof in);
    if (in.opcode != FUSE_INIT)
        return n;
    fuse_init_in init{};
    std::memcpy(&init, static_cast<const std::byte*>(buf) + kHeaderBytes, sizeof init);
    node.offered = (init.flags & FUSE_INIT_EXT) != 0 && (init.flags2 & uring::kOverIoUringFlag2) != 0;
    node.initUnique = in.unique;
    return n;
}

// The INIT reply: asks for the rings when they could be made, and starts them once it is sent.
ssize_t WriteInitReply(UringNode& node, int fd, iovec* iov, int count)
{
    node.initUnique = 0;
    const bool forced = node.transport == NodeTransport::uring;
    std::string reason;
    fuse_init_out out{};
    if (!node.offered)
        reason = std::string("the kernel offers no io_uring (") + kSwitchHint + " turns it on)";
    else if (count != 2 || iov[1].iov_len < offsetof(fuse_init_out, flags2) + sizeof out.flags2)
        reason = "the INIT reply has no room for it";
    if (reason.empty()) {
        std::memcpy(&out, iov[1].iov_base, std::min(sizeof out, iov[1].iov_len));
        // Each entry's payload holds the largest request the kernel may send.
        node.payloadBytes = std::max<std::size_t>({FUSE_MIN_READ_BUFFER, out.max_write,
                                                   static_cast<std::size_t>(out.max_pages) * 4096u});
        reason = MakeRings(node);
    }
    if (!reason.empty()) {
        std::fprintf(stderr, "qim: %sserving over /dev/fuse: %s\n", forced ? "io_uring was asked for; " : "",
                     reason.c_str());
        return ::writev(fd, iov, count);
    }
    out.flags2 |= uring::kOverIoUringFlag2;
    std::memcpy(static_cast<std::byte*>(iov[1].iov_base) + offsetof(fuse_init_out, flags2), &out.flags2,
                sizeof out.flags2);
    const ssize_t n = ::writev(fd, iov, count);
    node.go = n > 0 ? 1 : -1;
    node.go.notify_all();
    return n;
}

ssize_t HookWritev(int fd, iovec* iov, int count, void* userData)
{
    UringNode& node = *findNode(userData);
    fuse_out_header out{};
    if (count > 0 && iov[0].iov_len >= sizeof out)
        std::memcpy(&out, iov[0].iov_base, sizeof out);
    // Notifications (unique 0) go to the device, as the rings do not carry them.
    if (servingEntry != nullptr && out.unique != 0)
        return ReplyIntoEntry(*servingEntry, node.payloadBytes, iov, count);
    if (out.unique != 0 && out.unique == node.initUnique)
        return WriteInitReply(node, fd, iov, count);
    return ::writev(fd, iov, count);
}

ssize_t HookSplice(int fdIn, off_t* offIn, int fdOut, off_t* offOut, size_t len, unsigned int flags, void*)
{
    return ::splice(fdIn, offIn, fdOut, offOut, len, flags);
}

}  // namespace

UringNode* UringAttach(fuse_session* session, const NodeOps& ops, NodeTransport transport,
                       UringNode* (*find)(void*))
{
    if (transport == NodeTransport::device) {
        std::fputs("qim: serving over /dev/fuse (--transport=dev)\n", stderr);
        return nullptr;
    }
    findNode = find;
    auto node = std::make_unique<UringNode>();
    node->session = session;
    node->ops = ops;
    node->transport = transport;
    node->fd = fuse_session_fd(session);
    const fuse_custom_io io{HookWritev, HookRead, nullptr, HookSplice};
    if (fuse_session_custom_io(session, &io, node->fd) != 0) {
        std::fputs("qim: serving over /dev/fuse: the session takes no hooks\n", stderr);
        return nullptr;
    }
    return node.release();
}

void UringEnd(UringNode* node)
{
    if (node == nullptr)
        return;
    // Threads still waiting for INIT never start.
    if (node->go.load() == 0) {
        node->go = -1;
        node->go.notify_all();
    }
    for (auto& q : node->rings)
        if (q->thread.joinable())
            q->thread.join();
    FreeRings(*node);
    delete node;
}

}  // namespace qim::host
