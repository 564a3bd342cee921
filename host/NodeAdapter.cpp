// SPDX-License-Identifier: MIT
// The node adapter: each node operation finds the driver's minor through the
// block layer and calls it as the kernel would, under one hold of that
// minor's request lock (RequestLock.h, rule 2).
#include "NodeAdapter.h"

#include "BlockIo.h"
#include "BlockLayer.h"
#include "CallerMemory.h"
#include "Kernel.h"
#include "NkKern.h"
#include "QimMount.h"
#include "RequestLock.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace qim::host {

namespace {

constexpr const char* kDriverName = "qim";

// A minor of the driver; no operations while the driver is not registered.
struct Device {
    kdev_t dev = 0;
    block_device_operations* ops = nullptr;
};

// What the host keeps of one node. Opens are guarded by openMutex so that
// control requests can wait for releases that FUSE delivers after the closing
// process has moved on. The size and mode are those of the last mount or
// unmount; asking them never takes the request lock: the driver itself looks
// at the node when it opens an image (to refuse it), and it does so holding
// the lock.
struct NodeState {
    unsigned minor = 0;
    std::mutex openMutex;
    std::condition_variable openChanged;
    int nodeOpens = 0;
    std::atomic<std::uint64_t> shownBytes{0};
    std::atomic<bool> shownReadOnly{false};
    bool saidNoSpace = false;  // under the device's request lock
};

std::array<NodeState, kLockedMinors> nodes;

NodeState& StateOf(void* context) { return *static_cast<NodeState*>(context); }

Device FindDevice(const NodeState& state)
{
    AssertRequestsLocked("FindDevice");
    const unsigned major = FindMajor(kDriverName);
    return major == 0 ? Device{} : Device{MKDEV(major, state.minor), DeviceOperations(major)};
}

int Control(const Device& d, unsigned int request, unsigned long argument)
{
    inode node{d.dev};
    file f{};
    return d.ops->ioctl(&node, &f, request, argument);
}

// The device's length in bytes, asked of the driver as any program asks it:
// 0 while it holds no image (it then knows no geometry).
std::uint64_t DeviceBytes(const Device& d)
{
    if (d.ops == nullptr)
        return 0;
    HostMemoryScope own;
    hd_geometry geometry{};
    unsigned long sectors = 0;
    if (Control(d, HDIO_GETGEO, reinterpret_cast<unsigned long>(&geometry)) != 0 ||
        Control(d, BLKGETSIZE, reinterpret_cast<unsigned long>(&sectors)) != 0)
        return 0;
    return std::uint64_t{sectors} * kSectorBytes;
}

bool Transfer(void* context, Direction direction, std::uint64_t sector, std::span<std::byte> buffer)
{
    const Device& d = *static_cast<const Device*>(context);
    return TransferSectors(d.dev, direction == Direction::kRead ? READ : WRITE, sector, buffer);
}

int OpenOrRelease(NodeState& state, bool open)
{
    RequestLockGuard lock(state.minor);
    const Device d = FindDevice(state);
    if (d.ops == nullptr)
        return -ENODEV;
    inode node{d.dev};
    file f{};
    return open ? d.ops->open(&node, &f) : d.ops->release(&node, &f);
}

int NodeOpen(void* context)
{
    NodeState& state = StateOf(context);
    const int rc = OpenOrRelease(state, true);
    if (rc == 0) {
        std::lock_guard g(state.openMutex);
        ++state.nodeOpens;
    }
    return rc;
}

void NodeRelease(void* context)
{
    NodeState& state = StateOf(context);
    OpenOrRelease(state, false);
    std::lock_guard g(state.openMutex);
    --state.nodeOpens;
    state.openChanged.notify_all();
}

// FUSE delivers a release after close() has returned to the process, so a
// program that closes the node and at once runs qimc could find its own
// close not yet counted. Mount and unmount wait a moment for that, before
// they take the request lock.
void SettleOpens(NodeState& state)
{
    std::unique_lock g(state.openMutex);
    state.openChanged.wait_for(g, std::chrono::milliseconds(250), [&state] { return state.nodeOpens <= 1; });
}

bool DeviceReadOnly(const Device& d)
{
    HostMemoryScope own;
    int readOnly = 0;
    return Control(d, BLKROGET, reinterpret_cast<unsigned long>(&readOnly)) == 0 && readOnly != 0;
}

IoctlAnswer NodeIoctl(void* context, pid_t caller, unsigned int request, unsigned long argument)
{
    NodeState& state = StateOf(context);
    const bool changesImage = request == QIM_MOUNT || request == QIM_UNMOUNT;
    if (changesImage)
        SettleOpens(state);
    CallerScope scope(caller);
    RequestLockGuard lock(state.minor);
    const Device d = FindDevice(state);
    if (d.ops == nullptr)
        return {-ENODEV, false};
    const int rc = Control(d, request, argument);
    if (changesImage && rc == 0) {
        state.shownBytes = DeviceBytes(d);
        state.shownReadOnly = DeviceReadOnly(d);
    }
    return {rc, changesImage && rc == 0};
}

std::uint64_t NodeSize(void* context) { return StateOf(context).shownBytes.load(); }

bool NodeReadOnly(void* context) { return StateOf(context).shownReadOnly.load(); }

void NodeServed(void* context, std::uint64_t device, std::uint64_t inode)
{
    NkKernSetDriverNode(StateOf(context).minor, device, inode);
}

// The size and every transfer under one hold of the lock: a mount between
// them could otherwise make this read another image's data as this one's.
long NodeRead(void* context, std::uint64_t offset, std::span<std::byte> buffer)
{
    RequestLockGuard lock(StateOf(context).minor);
    Device d = FindDevice(StateOf(context));
    return ReadBytes({&d, Transfer}, DeviceBytes(d), offset, buffer);
}

// An unaligned write reads its end sectors, patches them and writes them
// back; a writer of the other bytes of those sectors between the read and the
// write-back would lose its bytes, so the whole range holds the lock.
long NodeWrite(void* context, std::uint64_t offset, std::span<const std::byte> buffer)
{
    RequestLockGuard lock(StateOf(context).minor);
    Device d = FindDevice(StateOf(context));
    static_cast<void>(NkKernTakeNoSpace());
    const long n = WriteBytes({&d, Transfer}, DeviceBytes(d), offset, buffer);
    // The request ran on this thread, so a full image file system is seen here.
    NodeState& state = StateOf(context);
    if (n != -EIO || !NkKernTakeNoSpace()) {
        state.saidNoSpace = state.saidNoSpace && n < 0;
        return n;
    }
    // Said once until a write succeeds again: a full disk fails every write.
    if (!state.saidNoSpace)
        std::fprintf(stderr, "qim: a write to qim%u failed: no space left on the image's file system\n", state.minor);
    state.saidNoSpace = true;
    return -ENOSPC;
}

int NodeFsync(void* context)
{
    RequestLockGuard lock(StateOf(context).minor);
    const Device d = FindDevice(StateOf(context));
    return d.ops != nullptr ? fsync_dev(d.dev) : 0;
}

}  // namespace

NodeOps DeviceNodeOps(unsigned minor)
{
    NodeState& state = nodes.at(minor);
    state.minor = minor;
    // A freshly loaded driver holds no image.
    state.shownBytes = 0;
    state.shownReadOnly = false;
    return {&state, NodeOpen, NodeRelease, NodeIoctl, NodeSize, NodeRead, NodeWrite, NodeFsync, NodeReadOnly, NodeServed};
}

}  // namespace qim::host
