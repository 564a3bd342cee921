// SPDX-License-Identifier: MIT
// The node is served with the low-level FUSE interface: there is one inode
// (the root, a regular file), so path lookups would only cost time.
#define FUSE_USE_VERSION 312
#include "FuseNode.h"

#include "FuseUring.h"
#include "NkReadCapture.h"

#include <fuse_lowlevel.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qim::host {

namespace {

// A larger transfer reaches the node as several requests in flight at once,
// which the loop's threads serve side by side: while one runs the driver
// under the request lock, the others receive requests and splice or copy
// replies into the kernel. Four requests to a megabyte kept both cores
// busiest here; at 1 MiB a transfer is one request, and one core idles.
// Also the size of every read buffer a loop thread keeps.
constexpr unsigned kRequestBytes = 256 * 1024;
// Writes hold the request lock while the driver copies their bytes into the
// image, and each hand-over of the lock wakes a thread; two requests to a
// megabyte wrote fastest in paired runs here (about 0.72 of a plain loop
// device, against 0.58 for four and 0.65 for one).
constexpr unsigned kWriteRequestBytes = 512 * 1024;
// Requests FUSE lets wait at once for a reply; its default of 12 would hold
// back a queue depth of 16.
constexpr unsigned kMaxInFlight = 64;
// The loop's threads, kept alive while idle so that their buffers are
// reused: a new thread's buffers would page-fault again.
constexpr unsigned kLoopThreads = 8;
// How long the asking thread (ServeRequests) goes on asking after a request.
constexpr auto kAskingWindow = std::chrono::microseconds(200);

struct Nodes;

struct Node {
    NodeOps ops;
    Nodes* all = nullptr;
    fuse_session* session = nullptr;
    int wakeFd = -1;  // an eventfd, written when the loop is to end
    std::atomic<bool> failed{false};
    timespec started{};
    std::atomic<int> opens{0};
    std::string inUseMessage;  // written from the signal handler, so made beforehand
    UringNode* uring = nullptr;
};

// The nodes one qim serves; they load and unload together.
struct Nodes {
    std::span<Node> nodes;
    std::atomic<int> opens{0};  // of all nodes
    std::atomic<bool> stopAsked{false};
};

// A stop signal unloads at once while nobody holds a node open, as rmmod
// removes only a module not in use; otherwise it is remembered and the last
// release unloads. The two sides each set their own atomic before reading the
// other's, so one of them always sees both and ends the loops.
std::atomic<Nodes*> signalled{nullptr};

// Safe in a signal handler.
void EndLoop(Node& node)
{
    fuse_session_exit(node.session);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(node.wakeFd, &one, sizeof one);
}

void EndLoops(Nodes& all)
{
    for (Node& node : all.nodes)
        if (node.session != nullptr)
            EndLoop(node);
}

void OnStopSignal(int)
{
    Nodes* all = signalled.load();
    if (all == nullptr)
        return;
    all->stopAsked = true;
    if (all->opens.load() == 0) {
        EndLoops(*all);
        return;
    }
    for (const Node& node : all->nodes)
        if (node.opens.load() != 0)
            [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, node.inUseMessage.data(), node.inUseMessage.size());
}

void Opened(Node& node)
{
    ++node.opens;
    ++node.all->opens;
}

void Released(Node& node)
{
    --node.opens;
    if (node.all->opens.fetch_sub(1) == 1 && node.all->stopAsked.load()) {
        std::fputs("qim: the last opener has gone; unloading\n", stderr);
        EndLoops(*node.all);
    }
}

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// Handlers of our own, whatever was inherited: a shell starting qim in the
// background of a script hands SIGINT over ignored.
void SetStopHandlers(void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kStopSignals)
        ::sigaction(sig, &sa, nullptr);
    // A reader of the node going away must not end qim.
    sa.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &sa, nullptr);
}

Node& NodeOf(fuse_req_t req) { return *static_cast<Node*>(fuse_req_userdata(req)); }

struct stat Attributes(Node& node)
{
    struct stat st {};
    st.st_ino = FUSE_ROOT_ID;
    // Read-only while a read-only image is mounted, so that mount and losetup
    // see it before they try to write.
    st.st_mode = S_IFREG | (node.ops.readOnly(node.ops.context) ? 0440 : 0660);
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(node.ops.size(node.ops.context));
    st.st_blksize = 4096;
    st.st_blocks = st.st_size / 512;
    st.st_atim = st.st_mtim = st.st_ctim = node.started;
    return st;
}

void Init(void*, fuse_conn_info* conn)
{
    conn->max_read = kRequestBytes;
    conn->max_write = kWriteRequestBytes;
    conn->max_background = kMaxInFlight;
    conn->congestion_threshold = kMaxInFlight;
    // Replies that a read capture left in a pipe are spliced into the kernel.
    conn->want |= conn->capable & FUSE_CAP_SPLICE_WRITE;
}

void GetAttr(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    const struct stat st = Attributes(NodeOf(req));
    // Attributes are never cached: the size changes with every mount.
    fuse_reply_attr(req, &st, 0.0);
}

void SetAttr(fuse_req_t req, fuse_ino_t, struct stat* attr, int toSet, fuse_file_info*)
{
    Node& node = NodeOf(req);
    const struct stat st = Attributes(node);
    // A device cannot be resized; truncation to its own size (O_TRUNC of an
    // empty node) and time stamps are accepted and ignored.
    if ((toSet & FUSE_SET_ATTR_SIZE) != 0 && attr->st_size != st.st_size) {
        fuse_reply_err(req, EPERM);
        return;
    }
    if ((toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
        fuse_reply_err(req, EPERM);
        return;
    }
    fuse_reply_attr(req, &st, 0.0);
}

void Open(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    Node& node = NodeOf(req);
    // As a write-protected block device refuses them: mount and losetup then
    // fall back to read-only by themselves.
    if ((fi->flags & O_ACCMODE) != O_RDONLY && node.ops.readOnly(node.ops.context)) {
        fuse_reply_err(req, EROFS);
        return;
    }
    if (const int rc = node.ops.open(node.ops.context); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    Opened(node);
    // Direct I/O: the kernel keeps no pages of the node, so no data of a
    // former image can be served from its cache.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    if (fuse_reply_open(req, fi) != 0) {
        node.ops.release(node.ops.context);  // the opener is gone; no release will come
        Released(node);
    }
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    Node& node = NodeOf(req);
    node.ops.release(node.ops.context);
    fuse_reply_err(req, 0);
    Released(node);
}

// A loop thread's capture of image reads, with the pipe that carries them.
struct ThreadCapture {
    NkReadCapture capture;
    ThreadCapture()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        // Room for a whole request's pages, however the file's pages split it.
        if (::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(2 * kRequestBytes)) < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        // A pipe that holds less than the pieces claim fails a read rather than hanging it.
        static_cast<void>(::fcntl(fds[0], F_SETFL, O_NONBLOCK));
        capture.pipeRead = fds[0];
        capture.pipeWrite = fds[1];
    }
    ~ThreadCapture()
    {
        if (capture.pipeRead >= 0) {
            ::close(capture.pipeRead);
            ::close(capture.pipeWrite);
        }
    }
    // Empties the pipe of whatever a failed reply left in it.
    void Drain()
    {
        int left = 0;
        std::array<char, 4096> sink{};
        while (::ioctl(capture.pipeRead, FIONREAD, &left) == 0 && left > 0)
            if (::read(capture.pipeRead, sink.data(), std::min<std::size_t>(sink.size(), left)) <= 0)
                break;
        capture.count = 0;
    }
};

// The reply as pieces of the buffer and of the capture's pipe, in order.
int ReplyCaptured(fuse_req_t req, const NkReadCapture& c, std::size_t size)
{
    struct Vec {
        fuse_bufvec head;
        std::array<fuse_buf, 2 * std::tuple_size_v<decltype(c.pieces)> + 1> more;
    };
    static_assert(offsetof(Vec, more) == offsetof(fuse_bufvec, buf) + sizeof(fuse_buf));
    thread_local Vec vec;
    fuse_buf* bufs = vec.head.buf;
    std::size_t count = 0, at = 0;
    const auto memory = [&](std::size_t end) {
        if (end > at)
            bufs[count++] = {end - at, static_cast<fuse_buf_flags>(0), c.base + at, -1, 0};
        at = end;
    };
    for (std::size_t i = 0; i < c.count; ++i) {
        memory(c.pieces[i].at);
        bufs[count++] = {c.pieces[i].length, FUSE_BUF_IS_FD, nullptr, c.pipeRead, 0};
        at += c.pieces[i].length;
    }
    memory(size);
    vec.head.count = count;
    vec.head.idx = 0;
    vec.head.off = 0;
    return fuse_reply_data(req, &vec.head, static_cast<fuse_buf_copy_flags>(0));
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*)
{
    Node& node = NodeOf(req);
    // One buffer per loop thread, the largest read the kernel sends; the
    // reply has left it before the thread's next request.
    thread_local std::vector<std::byte> buffer(kRequestBytes);
    thread_local ThreadCapture pipe;
    if (buffer.size() < size)
        buffer.resize(size);
    NkReadCapture& c = pipe.capture;
    const bool capturing = c.pipeRead >= 0;
    if (capturing) {
        c.base = buffer.data();
        c.size = size;
        c.count = 0;
        nkReadCapture = &c;
    }
    bool replyFailed = false;
    long n = node.ops.read(node.ops.context, static_cast<std::uint64_t>(offset), std::span(buffer.data(), size));
    nkReadCapture = nullptr;
    if (capturing && c.count > 0 && n >= 0) {
        const NkReadCapture::Piece& last = c.pieces[c.count - 1];
        // A reply shorter than the pieces takes its bytes from the buffer.
        if (last.at + last.length > static_cast<std::size_t>(n) && !NkReadCaptureSettle(&c))
            n = -EIO;
    }
    if (n < 0)
        fuse_reply_err(req, static_cast<int>(-n));
    else if (capturing && c.count > 0)
        replyFailed = ReplyCaptured(req, c, static_cast<std::size_t>(n)) != 0;
    else
        // Written with writev, the one copy into the kernel: a splice from
        // memory would first copy the reply into fresh pipe pages.
        fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
    // A failed read or reply may leave bytes in the pipe, which the next
    // read's pieces must not follow.
    if (capturing && (replyFailed || n < 0))
        pipe.Drain();
}

void Write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t offset, fuse_file_info*)
{
    Node& node = NodeOf(req);
    const long n = node.ops.write(node.ops.context, static_cast<std::uint64_t>(offset),
                                  std::as_bytes(std::span(data, size)));
    if (n < 0)
        fuse_reply_err(req, static_cast<int>(-n));
    else
        fuse_reply_write(req, static_cast<size_t>(n));
}

void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void Fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*)
{
    Node& node = NodeOf(req);
    fuse_reply_err(req, -node.ops.fsync(node.ops.context));
}

void Ioctl(fuse_req_t req, fuse_ino_t, unsigned int request, void* argument, fuse_file_info*, unsigned,
           const void*, size_t, size_t)
{
    Node& node = NodeOf(req);
    // The request numbers carry no size, so the kernel passes the caller's
    // raw argument; the callback reaches the caller's memory itself.
    const IoctlAnswer answer = node.ops.ioctl(node.ops.context, fuse_req_ctx(req)->pid, request,
                                              reinterpret_cast<unsigned long>(argument));
    // Before the caller sees the result, so that its next look at the node
    // already finds the new size and no cached data.
    if (answer.invalidate)
        fuse_lowlevel_notify_inval_inode(node.session, FUSE_ROOT_ID, 0, 0);
    if (answer.result < 0)
        fuse_reply_err(req, static_cast<int>(-answer.result));
    else
        fuse_reply_ioctl(req, static_cast<int>(answer.result), nullptr, 0);
}

void StatFs(fuse_req_t req, fuse_ino_t)
{
    struct statvfs sv {};
    sv.f_bsize = 512;
    sv.f_frsize = 512;
    sv.f_namemax = 255;
    fuse_reply_statfs(req, &sv);
}

constexpr fuse_lowlevel_ops kOps = [] {
    fuse_lowlevel_ops ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.setattr = SetAttr;
    ops.open = Open;
    ops.release = Release;
    ops.read = Read;
    ops.write = Write;
    ops.flush = Flush;
    ops.fsync = Fsync;
    ops.ioctl = Ioctl;
    ops.statfs = StatFs;
    return ops;
}();

// The path with its directory resolved, as the kernel lists mount points; the
// last component is kept, since looking at a dead mount fails.
std::string MountPointOf(const char* path)
{
    const std::string p = path;
    const std::size_t slash = p.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    char* real = ::realpath(directory.c_str(), nullptr);
    if (real == nullptr)
        return p;
    std::string resolved = real;
    std::free(real);
    if (resolved != "/")
        resolved += '/';
    return resolved + (slash == std::string::npos ? p : p.substr(slash + 1));
}

// A field of /proc/self/mountinfo with its octal escapes (space, tab, newline, backslash) undone.
std::string Unescaped(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

struct MountEntry {
    dev_t device = 0;
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// Every mount this process sees, in mount order.
std::vector<MountEntry> ReadMounts()
{
    std::vector<MountEntry> mounts;
    FILE* f = std::fopen("/proc/self/mountinfo", "re");
    if (f == nullptr)
        return mounts;
    char* line = nullptr;
    size_t capacity = 0;
    while (::getline(&line, &capacity, f) > 0) {
        std::vector<std::string> fields;
        for (char* save = nullptr, *t = ::strtok_r(line, " \n", &save); t != nullptr; t = ::strtok_r(nullptr, " \n", &save))
            fields.emplace_back(t);
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 2 >= fields.size())
            continue;
        unsigned ma = 0, mi = 0;
        if (std::sscanf(fields[2].c_str(), "%u:%u", &ma, &mi) != 2)
            continue;
        mounts.push_back({makedev(ma, mi), Unescaped(fields[4]), fields[dash + 1], Unescaped(fields[dash + 2])});
    }
    std::free(line);
    std::fclose(f);
    return mounts;
}

constexpr const char* kNodeFsType = "fuse.qim";

// The topmost node mount at the mount point, or null.
const MountEntry* NodeMountAt(const std::vector<MountEntry>& mounts, const std::string& mountPoint)
{
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
        if (m->mountPoint == mountPoint)
            return m->fsType == kNodeFsType ? &*m : nullptr;
    return nullptr;
}

// Says which loop devices still read the dead node at mountPoint, where they
// are mounted and what to run.
void NameLoopsOnDeadNode(const std::vector<MountEntry>& mounts, const std::string& mountPoint)
{
    DIR* dir = ::opendir("/sys/block");
    if (dir == nullptr)
        return;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, "loop", 4) != 0)
            continue;
        const std::string loop = e->d_name;
        FILE* f = std::fopen(("/sys/block/" + loop + "/loop/backing_file").c_str(), "re");
        if (f == nullptr)
            continue;
        std::array<char, 4096> backing{};
        const bool read = std::fgets(backing.data(), backing.size(), f) != nullptr;
        std::fclose(f);
        std::string file = read ? backing.data() : "";
        if (!file.empty() && file.back() == '\n')
            file.pop_back();
        if (file != mountPoint && file != mountPoint + " (deleted)")
            continue;
        std::string undo;
        for (const MountEntry& m : mounts)
            if (m.source == "/dev/" + loop)
                undo += "umount " + m.mountPoint + " && ";
        std::fprintf(stderr, "qim: /dev/%s still sits on the dead node%s; run: %slosetup -d /dev/%s\n", loop.c_str(),
                     undo.empty() ? "" : " and is mounted", undo.c_str(), loop.c_str());
    }
    ::closedir(dir);
}

// False when another qim serves the path. The dead mount of a qim that was
// killed is removed (lazily, since a loop device may still hold it).
bool ClaimMountPoint(const char* path, const std::string& mountPoint)
{
    const std::vector<MountEntry> mounts = ReadMounts();
    if (NodeMountAt(mounts, mountPoint) == nullptr)
        return true;
    struct stat st {};
    // A dead node answers ENOTCONN, or ECONNABORTED while the kernel still
    // ends the rings of one that served over io_uring.
    if (::stat(path, &st) == 0 || (errno != ENOTCONN && errno != ECONNABORTED)) {
        std::fprintf(stderr, "qim: %s is already served\n", path);
        return false;
    }
    std::fprintf(stderr, "qim: %s: removing the dead mount of a qim that ended without unloading\n", path);
    NameLoopsOnDeadNode(mounts, mountPoint);
    if (::umount2(mountPoint.c_str(), MNT_DETACH) != 0) {
        std::fprintf(stderr, "qim: cannot unmount the dead node %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

// Makes sure a regular file is at the path; sets created when it made one.
bool PrepareNode(const char* path, bool& created)
{
    created = false;
    struct stat st {};
    if (::stat(path, &st) == 0) {
        if (S_ISREG(st.st_mode))
            return true;
        std::fprintf(stderr, "qim: %s exists and is not a regular file\n", path);
        return false;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) {
        std::fprintf(stderr, "qim: cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    ::close(fd);
    created = true;
    return true;
}

using Clock = std::chrono::steady_clock;

// Between two asks: without it the asking slowed down the very queueing of
// requests it waits for, to no gain at all.
void Relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The asking thread's wait (ServeRequests): until a request is waiting, the
// device failed or the window has passed.
void AskForRequest(Node& node, Clock::time_point askUntil)
{
    pollfd device{fuse_session_fd(node.session), POLLIN, 0};
    while (Clock::now() < askUntil && !fuse_session_exited(node.session)) {
        if (::poll(&device, 1, 0) != 0)
            return;
        Relax();
    }
}

// Serves requests until the loop ends. The loop's threads sleep in the
// device until a request comes, and the kernel wakes one of them for each.
// One, the asker, first goes on asking for requests without sleeping, for
// kAskingWindow after each request it served: the next request of a stream
// mostly comes within that window and is taken at once, where a sleeping
// thread's wake-up would cost more than serving a small request (the thread
// woken for it finds nothing and sleeps again). Once the window has passed
// the asker sleeps like the others, so an idle node costs no time.
void ServeRequests(Node& node, bool asker)
{
    auto askUntil = Clock::now();
    fuse_buf buf{};
    while (!fuse_session_exited(node.session)) {
        if (asker)
            AskForRequest(node, askUntil);
        const int res = fuse_session_receive_buf(node.session, &buf);
        if (res == -EINTR)
            continue;
        if (res <= 0) {
            // 0: the node was unmounted, or the loop is to end.
            if (res < 0)
                node.failed = true;
            EndLoops(*node.all);
            break;
        }
        fuse_session_process_buf(node.session, &buf);
        askUntil = Clock::now() + kAskingWindow;
    }
    std::free(buf.mem);
}

// Serves the node on kLoopThreads threads until a stop signal or the last
// release after one ends the loop, or the node is unmounted; then unmounts
// it, which ends the reads of the device that threads still wait in.
// False when reading the device failed.
bool RunLoop(Node& node)
{
    std::vector<std::thread> threads;
    try {
        for (unsigned i = 0; i < kLoopThreads; ++i)
            threads.emplace_back(ServeRequests, std::ref(node), i == 0);
    } catch (const std::system_error& e) {
        // Fewer threads serve as well, only slower.
        std::fprintf(stderr, "qim: %zu of %u threads: %s\n", threads.size(), kLoopThreads, e.what());
        if (threads.empty()) {
            node.failed = true;
            EndLoops(*node.all);
        }
    }
    pollfd wake{node.wakeFd, POLLIN, 0};
    while (!fuse_session_exited(node.session))
        static_cast<void>(::poll(&wake, 1, -1));
    fuse_session_unmount(node.session);
    for (std::thread& t : threads)
        t.join();
    UringEnd(node.uring);
    return !node.failed;
}

// The node's FUSE session, mounted: false after a failure it has reported.
bool MountNode(Node& node, const char* path, const std::string& mountPoint, bool debug, NodeTransport transport)
{
    node.inUseMessage = std::string("qim: ") + path + " is in use; unloading when the last opener has gone\n";
    ::clock_gettime(CLOCK_REALTIME, &node.started);

    // Other users may reach the node as they could a device node, through its
    // mode; only root may ask for that.
    char maxRead[32];
    std::snprintf(maxRead, sizeof maxRead, "max_read=%u", kRequestBytes);
    std::vector<const char*> argv{"qim", "-o", "fsname=qim,subtype=qim", "-o", maxRead};
    if (::geteuid() == 0) {
        argv.push_back("-o");
        argv.push_back("allow_other");
    }
    if (debug)
        argv.push_back("-d");
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));

    bool mounted = false;
    node.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (node.wakeFd < 0)
        std::fprintf(stderr, "qim: cannot make the loop's eventfd: %s\n", std::strerror(errno));
    node.session = node.wakeFd >= 0 ? fuse_session_new(&args, &kOps, sizeof kOps, &node) : nullptr;
    if (node.session != nullptr) {
        if (fuse_session_mount(node.session, path) == 0) {
            if (const MountEntry* m = NodeMountAt(ReadMounts(), mountPoint); m != nullptr)
                node.ops.served(node.ops.context, m->device, FUSE_ROOT_ID);
            std::fprintf(stderr, "qim: serving %s\n", path);
            node.uring = UringAttach(node.session, node.ops, transport,
                                     [](void* user) { return static_cast<Node*>(user)->uring; });
            mounted = true;
        } else {
            std::fprintf(stderr, "qim: cannot mount the node on %s\n", path);
            fuse_session_destroy(node.session);
            node.session = nullptr;
        }
    }
    fuse_opt_free_args(&args);
    return mounted;
}

void CloseNode(Node& node)
{
    if (node.session != nullptr)
        fuse_session_destroy(node.session);
    node.session = nullptr;
    if (node.wakeFd >= 0)
        ::close(node.wakeFd);
    node.wakeFd = -1;
}

}  // namespace

int ServeNodes(std::span<const char* const> paths, std::span<const NodeOps> ops, bool debug, NodeTransport transport,
               void (*ready)())
{
    const std::size_t count = std::min(paths.size(), ops.size());
    std::vector<std::string> mountPoints;
    for (std::size_t i = 0; i < count; ++i)
        mountPoints.push_back(MountPointOf(paths[i]));
    std::vector<bool> created(count, false);
    std::vector<Node> nodes(count);
    Nodes all;
    all.nodes = nodes;

    int status = 1;
    std::size_t prepared = 0;
    while (prepared < count && ClaimMountPoint(paths[prepared], mountPoints[prepared])) {
        bool made = false;
        if (!PrepareNode(paths[prepared], made))
            break;
        created[prepared++] = made;
    }
    std::size_t mounted = 0;
    if (prepared == count) {
        signalled = &all;
        SetStopHandlers(OnStopSignal);
        for (; mounted < count; ++mounted) {
            nodes[mounted].ops = ops[mounted];
            nodes[mounted].all = &all;
            if (!MountNode(nodes[mounted], paths[mounted], mountPoints[mounted], debug, transport))
                break;
        }
    }
    if (mounted == count && count > 0) {
        if (ready != nullptr)
            ready();
        // One node's loop on this thread, each other's on a thread of its own.
        std::vector<std::thread> loops;
        std::atomic<bool> failed{false};
        for (std::size_t i = 1; i < count; ++i)
            loops.emplace_back([&nodes, &failed, i] {
                if (!RunLoop(nodes[i]))
                    failed = true;
            });
        if (!RunLoop(nodes[0]))
            failed = true;
        for (std::thread& t : loops)
            t.join();
        status = failed ? 1 : 0;
    } else {
        for (std::size_t i = 0; i < mounted; ++i)
            fuse_session_unmount(nodes[i].session);
    }
    if (prepared == count) {
        SetStopHandlers(SIG_DFL);
        signalled = nullptr;
    }
    for (Node& node : nodes)
        CloseNode(node);
    for (std::size_t i = 0; i < prepared; ++i)
        if (created[i])
            ::unlink(paths[i]);
    return status;
}

bool ParseNodeTransport(const char* name, NodeTransport* transport)
{
    constexpr std::array<std::pair<std::string_view, NodeTransport>, 3> kNames = {{
        {"auto", NodeTransport::automatic}, {"uring", NodeTransport::uring}, {"dev", NodeTransport::device}}};
    for (const auto& [text, value] : kNames)
        if (text == name) {
            *transport = value;
            return true;
        }
    return false;
}

int ServeNode(const NodeOptions& options, const NodeOps& ops)
{
    return ServeNodes({&options.path, 1}, {&ops, 1}, options.debug, options.transport, nullptr);
}

}  // namespace qim::host
