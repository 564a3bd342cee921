// The node is served with the low-level FUSE interface: there is one inode
// (the root, a regular file), so path lookups would only cost time.
#define FUSE_USE_VERSION 312
#include "FuseNode.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qim::host {

namespace {

// A larger transfer reaches the node as several requests in flight at once,
// which the loop's threads serve side by side: while one runs the driver
// under the request lock, the others receive requests and copy replies.
// Copying each byte out of the image and into the kernel is what a transfer
// costs; in smaller pieces the two copies overlap. Also the size of every
// buffer a loop thread keeps.
constexpr unsigned kRequestBytes = 128 * 1024;
// Requests FUSE lets wait at once for a reply; its default of 12 would hold
// back a queue depth of 16.
constexpr unsigned kMaxInFlight = 64;
// The loop's threads, kept alive while idle so that their buffers are
// reused: a new thread's buffers would page-fault again.
constexpr unsigned kLoopThreads = 8;

struct Node {
    NodeOps ops;
    fuse_session* session;
    timespec started;
};

Node& NodeOf(fuse_req_t req) { return *static_cast<Node*>(fuse_req_userdata(req)); }

struct stat Attributes(Node& node)
{
    struct stat st {};
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFREG | 0660;
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(node.ops.size(node.ops.context));
    st.st_blksize = 4096;
    st.st_blocks = st.st_size / 512;
    st.st_atim = st.st_mtim = st.st_ctim = node.started;
    return st;
}

void Init(void*, fuse_conn_info* conn)
{
    conn->max_read = conn->max_write = kRequestBytes;
    conn->max_background = kMaxInFlight;
    conn->congestion_threshold = kMaxInFlight;
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
    if (const int rc = node.ops.open(node.ops.context); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    // Direct I/O: the kernel keeps no pages of the node, so no data of a
    // former image can be served from its cache.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    if (fuse_reply_open(req, fi) != 0)
        node.ops.release(node.ops.context);  // the opener is gone; no release will come
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    Node& node = NodeOf(req);
    node.ops.release(node.ops.context);
    fuse_reply_err(req, 0);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*)
{
    Node& node = NodeOf(req);
    // One buffer per loop thread, the largest read the kernel sends; the
    // reply has left it before the thread's next request.
    thread_local std::vector<std::byte> buffer(kRequestBytes);
    if (buffer.size() < size)
        buffer.resize(size);
    const long n = node.ops.read(node.ops.context, static_cast<std::uint64_t>(offset), std::span(buffer.data(), size));
    if (n < 0)
        fuse_reply_err(req, static_cast<int>(-n));
    else
        // Written with writev, the one copy into the kernel: a splice from
        // memory would first copy the reply into fresh pipe pages.
        fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
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

}  // namespace

int ServeNode(const NodeOptions& options, const NodeOps& ops)
{
    bool created = false;
    if (!PrepareNode(options.path, created))
        return 1;

    Node node{ops, nullptr, {}};
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
    if (options.debug)
        argv.push_back("-d");
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));

    int status = 1;
    node.session = fuse_session_new(&args, &kOps, sizeof kOps, &node);
    if (node.session != nullptr) {
        if (fuse_set_signal_handlers(node.session) == 0) {
            if (fuse_session_mount(node.session, options.path) == 0) {
                fuse_loop_config* config = fuse_loop_cfg_create();
                fuse_loop_cfg_set_clone_fd(config, 1);
                fuse_loop_cfg_set_max_threads(config, kLoopThreads);
                fuse_loop_cfg_set_idle_threads(config, kLoopThreads);
                status = fuse_session_loop_mt(node.session, config) < 0 ? 1 : 0;
                fuse_loop_cfg_destroy(config);
                fuse_session_unmount(node.session);
            } else {
                std::fprintf(stderr, "qim: cannot mount the node on %s\n", options.path);
            }
            fuse_remove_signal_handlers(node.session);
        }
        fuse_session_destroy(node.session);
    }
    fuse_opt_free_args(&args);
    if (created)
        ::unlink(options.path);
    return status;
}

}  // namespace qim::host
