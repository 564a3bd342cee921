// The node adapter: each node operation finds the driver's minor 0 through
// the block layer and calls it as the kernel would, under one hold of the
// request lock (RequestLock.h, rule 2).
#include "NodeAdapter.h"

#include "BlockIo.h"
#include "BlockLayer.h"
#include "CallerMemory.h"
#include "Kernel.h"
#include "QimMount.h"
#include "RequestLock.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qim::host {

namespace {

constexpr const char* kDriverName = "qim";

// Minor 0 of the driver; no operations while the driver is not registered.
struct Device {
    kdev_t dev = 0;
    block_device_operations* ops = nullptr;
};

Device FindDevice()
{
    AssertRequestsLocked("FindDevice");
    const unsigned major = FindMajor(kDriverName);
    return major == 0 ? Device{} : Device{MKDEV(major, 0), DeviceOperations(major)};
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

int OpenOrRelease(bool open)
{
    RequestLockGuard lock;
    const Device d = FindDevice();
    if (d.ops == nullptr)
        return -ENODEV;
    inode node{d.dev};
    file f{};
    return open ? d.ops->open(&node, &f) : d.ops->release(&node, &f);
}

// Opens of the node; guarded by openMutex so that control requests can wait
// for releases that FUSE delivers after the closing process has moved on.
std::mutex openMutex;
std::condition_variable openChanged;
int nodeOpens = 0;

int NodeOpen(void*)
{
    const int rc = OpenOrRelease(true);
    if (rc == 0) {
        std::lock_guard g(openMutex);
        ++nodeOpens;
    }
    return rc;
}

void NodeRelease(void*)
{
    OpenOrRelease(false);
    std::lock_guard g(openMutex);
    --nodeOpens;
    openChanged.notify_all();
}

// FUSE delivers a release after close() has returned to the process, so a
// program that closes the node and at once runs qimc could find its own
// close not yet counted. Mount and unmount wait a moment for that, before
// they take the request lock.
void SettleOpens()
{
    std::unique_lock g(openMutex);
    openChanged.wait_for(g, std::chrono::milliseconds(250), [] { return nodeOpens <= 1; });
}

IoctlAnswer NodeIoctl(void*, pid_t caller, unsigned int request, unsigned long argument)
{
    const bool changesImage = request == QIM_MOUNT || request == QIM_UNMOUNT;
    if (changesImage)
        SettleOpens();
    CallerScope scope(caller);
    RequestLockGuard lock;
    const Device d = FindDevice();
    if (d.ops == nullptr)
        return {-ENODEV, false};
    const int rc = Control(d, request, argument);
    return {rc, changesImage && rc == 0};
}

std::uint64_t NodeSize(void*)
{
    RequestLockGuard lock;
    return DeviceBytes(FindDevice());
}

// The size and every transfer under one hold of the lock: a mount between
// them could otherwise make this read another image's data as this one's.
long NodeRead(void*, std::uint64_t offset, std::span<std::byte> buffer)
{
    RequestLockGuard lock;
    Device d = FindDevice();
    return ReadBytes({&d, Transfer}, DeviceBytes(d), offset, buffer);
}

// An unaligned write reads its end sectors, patches them and writes them
// back; a writer of the other bytes of those sectors between the read and the
// write-back would lose its bytes, so the whole range holds the lock.
long NodeWrite(void*, std::uint64_t offset, std::span<const std::byte> buffer)
{
    RequestLockGuard lock;
    Device d = FindDevice();
    return WriteBytes({&d, Transfer}, DeviceBytes(d), offset, buffer);
}

int NodeFsync(void*)
{
    RequestLockGuard lock;
    const Device d = FindDevice();
    return d.ops != nullptr ? fsync_dev(d.dev) : 0;
}

}  // namespace

NodeOps DeviceNodeOps()
{
    return {nullptr, NodeOpen, NodeRelease, NodeIoctl, NodeSize, NodeRead, NodeWrite, NodeFsync};
}

}  // namespace qim::host
