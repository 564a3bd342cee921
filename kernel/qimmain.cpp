// SPDX-License-Identifier: MIT
// The driver's kernel side. The logic lives in QimDevice; this file makes the
// kernel calls around it: user memory, allocation, the per-major tables, the
// request queue and the log.
//
// Locking: every entry (start, stop, open, release, control requests and
// qim_request with every transfer inside it) runs under the kernel's request
// lock (Kernel.h), one minor's for an entry of that minor; the driver takes
// none of its own. An entry touches only its own minor's record and table
// entries (read_ahead is set to the same 1 by every mount). Beyond the lock,
// the only guard on a device record is the open count: mount and unmount go
// ahead only while the requester's open is the sole one.
#include "qimmain.h"

#include "DiskEtc.h"
#include "NkImageFile.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace qim {

namespace {

// The module's settings; fixed values apart from qim_devs_param. The
// requested major is read from a constant on every start, so a module started
// again in the same process asks for a free number as a freshly loaded one
// does; `major` only reports the number the kernel chose.
constexpr int requestedMajor = 0;
int major = 0;
// Minors are 8 bits.
constexpr int maxDevs = 256;
constexpr int rahead = 1;
constexpr int blksize = 1024;
constexpr int hardsect = 512;

// Message counters, zero at every module start.
std::uint32_t unknownDeviceMessages = 0;
std::uint32_t pastEndMessages = 0;

// What a failed mount logs and returns.
struct MountFailure {
    const char* message;
    int result;
};

constexpr MountFailure kBusy{"<1>qim: device busy\n", 1};
constexpr MountFailure kInvalidArgument{"<1>qim: invalid argument\n", -EFAULT};
constexpr MountFailure kOutOfMemory{"<1>qim: out of memory\n", -ENOMEM};
constexpr MountFailure kCopyError{"<1>qim: copy_from_user error\n", -EFAULT};
constexpr MountFailure kImageError{"<1>qim: image error\n", -EFAULT};
constexpr MountFailure kPartitionError{"<1>qim: partition error\n", -EFAULT};
constexpr MountFailure kInvalidGeometry{"<1>qim: invalid geometry\n", -EINVAL};

constexpr MountFailure FailureOf(MountStatus status)
{
    switch (status) {
    case MountStatus::ImageError:
        return kImageError;
    case MountStatus::PartitionError:
        return kPartitionError;
    case MountStatus::BadGeometry:
        return kInvalidGeometry;
    case MountStatus::ImageLocked:
    case MountStatus::Ok:
        break;
    }
    return {nullptr, 0};
}

int Fail(const MountFailure& failure)
{
    printk(failure.message);
    return failure.result;
}

const void* UserPointer(unsigned long address) { return reinterpret_cast<const void*>(address); }
void* UserPointerForWrite(unsigned long address) { return reinterpret_cast<void*>(address); }

void CloseImage(Disk* disk)
{
    if (disk == nullptr)
        return;
    Disk_Close(disk);
    kfree(disk);
}

// Allocated with kmalloc, the kernel's NkMalloc, so both mount allocations fail as kernel memory does.
void* KernelAlloc(std::size_t size) { return kmalloc(size, GFP_KERNEL); }

int Mount(QimDevice* device, unsigned int minor, unsigned long argument)
{
    if (device->nOpenCount != 1)
        return Fail(kBusy);
    if (!access_ok(VERIFY_READ, argument, kMountRecordFixedBytes))
        return Fail(kInvalidArgument);
    std::array<std::byte, kMountRecordFixedBytes> fixed{};
    if (__generic_copy_from_user(fixed.data(), UserPointer(argument), fixed.size()) != 0)
        return Fail(kCopyError);
    const std::uint32_t length = StatedMountRecordLength(fixed);
    if (!access_ok(VERIFY_READ, argument, length))
        return Fail(kInvalidArgument);

    auto* copy = static_cast<std::byte*>(KernelAlloc(length));
    if (copy == nullptr)
        return Fail(kOutOfMemory);
    ScopeGuard freeCopy([copy] { kfree(copy); });
    if (__generic_copy_from_user(copy, UserPointer(argument), length) != 0)
        return Fail(kCopyError);
    MountRecord record{};
    const char* fileName = nullptr;
    if (!LoadMountRecord({copy, length}, &record, &fileName))
        return Fail(kInvalidArgument);

    auto* disk = static_cast<Disk*>(KernelAlloc(sizeof(Disk)));
    if (disk == nullptr)
        return Fail(kOutOfMemory);
    Disk_Construct(disk);
    MountStatus status = OpenMountImage(record, fileName, disk);
    // The device's own image may be what holds the lock: it goes first then,
    // and a failure that follows leaves the device without an image.
    if (status == MountStatus::ImageLocked && device->pDisk != nullptr) {
        CloseImage(DetachImage(device));
        qim_blksizes[minor] = 0;
        status = OpenMountImage(record, fileName, disk);
    }
    if (status == MountStatus::ImageLocked) {
        printk("<1>qim: %s is locked: another program reads or writes it\n", NkLockedImageFile());
        kfree(disk);
        return -EBUSY;
    }
    if (status != MountStatus::Ok) {
        kfree(disk);
        return Fail(FailureOf(status));
    }
    DeviceMapping mapping{};
    if (status = MapDevice(disk, record, &mapping); status != MountStatus::Ok) {
        CloseImage(disk);
        return Fail(FailureOf(status));
    }

    // The former image goes only now that the new one is open and mapped, so
    // every failure above leaves the device as it was.
    if (Disk* former = DetachImage(device); former != nullptr) {
        CloseImage(former);
        qim_blksizes[minor] = 0;
    }
    AttachImage(device, disk, record, fileName, mapping);
    set_device_ro(MKDEV(static_cast<unsigned int>(qim_major), minor), record.dwReadOnly != 0 ? 1 : 0);
    qim_sizes[minor] = static_cast<int>(DeviceSizeKiB(*device));
    qim_blksizes[minor] = static_cast<int>(mapping.dwBytesPerSector);
    read_ahead[qim_major] = 1;
    qim_hardsects[minor] = static_cast<int>(mapping.dwBytesPerSector);
    return 0;
}

int Unmount(QimDevice* device, unsigned int minor)
{
    if (device->nOpenCount != 1)
        return 1;
    if (Disk* disk = DetachImage(device); disk != nullptr) {
        CloseImage(disk);
        qim_blksizes[minor] = 0;
    }
    set_device_ro(MKDEV(static_cast<unsigned int>(qim_major), minor), 0);
    return 0;
}

int CopyOut(unsigned long argument, const void* data, std::size_t size)
{
    if (!access_ok(VERIFY_WRITE, argument, size))
        return -EFAULT;
    return copy_to_user(UserPointerForWrite(argument), data, size) == 0 ? 0 : -EFAULT;
}

int Status(const QimDevice* device, unsigned int minor, unsigned long argument)
{
    auto* answer = static_cast<std::byte*>(KernelAlloc(kStatusRecordBytes));
    if (answer == nullptr)
        return -ENOMEM;
    StoreStatusRecord(DeviceStatus(*device, minor, static_cast<std::uint32_t>(qim_devs)), device->szFileName.data(),
                      std::span<std::byte, kStatusRecordBytes>(answer, kStatusRecordBytes));
    const int rc = CopyOut(argument, answer, kStatusRecordBytes);
    kfree(answer);
    return rc;
}

// Frees the tables and clears their kernel entries; safe on a partial start.
void ReleaseTables()
{
    read_ahead[qim_major] = 0;
    kfree(qim_sizes);
    qim_sizes = nullptr;
    blk_size[qim_major] = nullptr;
    kfree(qim_blksizes);
    qim_blksizes = nullptr;
    blksize_size[qim_major] = nullptr;
    kfree(qim_hardsects);
    qim_hardsects = nullptr;
    hardsect_size[qim_major] = nullptr;
    kfree(qim_devices);
    qim_devices = nullptr;
}

int* AllocTable(int value)
{
    auto* table = static_cast<int*>(KernelAlloc(sizeof(int) * static_cast<std::size_t>(qim_devs)));
    if (table != nullptr)
        for (int i = 0; i < qim_devs; ++i)
            table[i] = value;
    return table;
}

QimDevice* DeviceOf(const inode* node)
{
    const unsigned int minor = MINOR(node->i_rdev);
    return qim_devices != nullptr && minor < static_cast<unsigned int>(qim_devs) ? &qim_devices[minor] : nullptr;
}

}  // namespace

int qim_devs_param = 1;
int qim_major = 0;
int qim_devs = 0;
int qim_rahead = 0;
int qim_blksize = 0;
int qim_hardsect = 0;
int qim_size = 0;

QimDevice* qim_devices = nullptr;
int* qim_sizes = nullptr;
int* qim_blksizes = nullptr;
int* qim_hardsects = nullptr;

block_device_operations qim_bdops{qim_open, qim_release, qim_ioctl};

int qim_init()
{
    if (qim_devs_param < 1 || qim_devs_param > maxDevs) {
        printk("<1>qim: devs must be 1 to %d\n", maxDevs);
        return -EINVAL;
    }
    qim_major = requestedMajor;
    qim_devs = qim_devs_param;
    qim_rahead = rahead;
    qim_blksize = blksize;
    qim_hardsect = hardsect;
    qim_size = 0;
    qim_sizes = qim_blksizes = qim_hardsects = nullptr;
    qim_devices = nullptr;
    unknownDeviceMessages = 0;
    pastEndMessages = 0;

    const int rc = register_blkdev(static_cast<unsigned int>(qim_major), "qim", &qim_bdops);
    if (rc < 0) {
        printk("<1>qim: can't get major %d\n", qim_major);
        return rc;
    }
    if (qim_major == 0)
        qim_major = rc;
    major = qim_major;
    read_ahead[qim_major] = qim_rahead;

    qim_sizes = AllocTable(0);
    if (qim_sizes != nullptr) {
        blk_size[qim_major] = qim_sizes;
        qim_blksizes = AllocTable(qim_blksize);
    }
    if (qim_blksizes != nullptr) {
        blksize_size[qim_major] = qim_blksizes;
        qim_hardsects = AllocTable(qim_hardsect);
    }
    if (qim_hardsects != nullptr) {
        hardsect_size[qim_major] = qim_hardsects;
        qim_devices = static_cast<QimDevice*>(KernelAlloc(sizeof(QimDevice) * static_cast<std::size_t>(qim_devs)));
    }
    if (qim_devices == nullptr) {
        ReleaseTables();
        unregister_blkdev(static_cast<unsigned int>(qim_major), "qim");
        return -ENOMEM;
    }
    std::memset(static_cast<void*>(qim_devices), 0, sizeof(QimDevice) * static_cast<std::size_t>(qim_devs));

    blk_init_queue(BLK_DEFAULT_QUEUE(static_cast<unsigned int>(qim_major)), qim_request);
    for (int i = 0; i < qim_devs; ++i)
        register_disk(nullptr, MKDEV(static_cast<unsigned int>(qim_major), static_cast<unsigned int>(i)), 1,
                      &qim_bdops, static_cast<long>(qim_size) * 2);
    return 0;
}

void qim_cleanup()
{
    const auto maj = static_cast<unsigned int>(qim_major);
    for (int i = 0; i < qim_devs; ++i)
        fsync_dev(MKDEV(maj, static_cast<unsigned int>(i)));
    unregister_blkdev(maj, "qim");
    blk_cleanup_queue(BLK_DEFAULT_QUEUE(maj));
    if (qim_devices != nullptr)
        for (int i = 0; i < qim_devs; ++i)
            CloseImage(DetachImage(&qim_devices[i]));
    ReleaseTables();
}

int qim_open(inode* node, file*)
{
    QimDevice* device = DeviceOf(node);
    if (device == nullptr)
        return -ENODEV;
    ++device->nOpenCount;
    MOD_INC_USE_COUNT();
    return 0;
}

int qim_release(inode* node, file*)
{
    QimDevice* device = DeviceOf(node);
    if (device == nullptr)
        return -ENODEV;
    if (--device->nOpenCount == 0) {
        fsync_dev(node->i_rdev);
        __invalidate_buffers(node->i_rdev, 0);
    }
    MOD_DEC_USE_COUNT();
    return 0;
}

int qim_ioctl(inode* node, file*, unsigned int request, unsigned long argument)
{
    QimDevice* device = DeviceOf(node);
    if (device == nullptr)
        return -ENODEV;
    const unsigned int minor = MINOR(node->i_rdev);
    switch (request) {
    case HDIO_GETGEO: {
        if (device->pDisk == nullptr)
            return -ENODATA;
        // Built field by field on zeros, so that no padding byte of the
        // kernel's memory reaches the caller.
        hd_geometry answer;
        std::memset(&answer, 0, sizeof answer);
        answer.heads = device->hdGeometry.heads;
        answer.sectors = device->hdGeometry.sectors;
        answer.cylinders = device->hdGeometry.cylinders;
        answer.start = device->hdGeometry.start;
        return CopyOut(argument, &answer, sizeof answer);
    }
    case BLKRRPART:
        return -ENOTTY;
    case BLKGETSIZE: {
        if (argument == 0)
            return -EINVAL;
        // The caller's unsigned long, whole: a 32-bit answer would leave the
        // upper half of a 64-bit caller's variable as it was.
        const unsigned long sectors = device->dwDeviceSectors;
        return CopyOut(argument, &sectors, sizeof sectors);
    }
    case QIM_MOUNT:
        return Mount(device, minor, argument);
    case QIM_UNMOUNT:
        return Unmount(device, minor);
    case QIM_STATUS:
        return Status(device, minor, argument);
    default:
        return blk_ioctl(node->i_rdev, request, argument);
    }
}

void qim_request(request_queue* queue)
{
    while (!QUEUE_EMPTY(queue)) {
        request* rq = CURRENT_REQUEST(queue);
        if (MAJOR(rq->rq_dev) != static_cast<unsigned int>(qim_major))
            panic("qim: request list destroyed");
        if (rq->bh != nullptr && rq->bh->locked == 0)
            panic("qim: block not locked");
        QimDevice* device = qim_locate_device(rq);
        const int status = device != nullptr ? qim_transfer(device, rq) : 0;
        if (end_that_request_first(rq, status, "qim") != 0)
            continue;
        blkdev_dequeue_request(rq);
        end_that_request_last(rq);
    }
}

QimDevice* qim_locate_device(request* rq)
{
    const unsigned int minor = MINOR(rq->rq_dev);
    if (qim_devices != nullptr && minor < static_cast<unsigned int>(qim_devs))
        return &qim_devices[minor];
    if (CountLimitedMessage(&unknownDeviceMessages))
        printk("<1>qim: request for unknown device\n");
    return nullptr;
}

int qim_transfer(QimDevice* device, request* rq)
{
    switch (TransferSegment(*device, rq->cmd, rq->sector, rq->current_nr_sectors, rq->buffer)) {
    case TransferStatus::Done:
        return 1;
    case TransferStatus::NotReady:
        printk("<1>qim: device not ready\n");
        return 0;
    case TransferStatus::PastEnd:
        if (CountLimitedMessage(&pastEndMessages))
            printk("<1>qim: request past end of device\n");
        return 0;
    case TransferStatus::ReadError:
        printk("<1>qim: read error\n");
        return 0;
    case TransferStatus::WriteError:
        printk("<1>qim: write error\n");
        return 0;
    case TransferStatus::ReadOnly:
    case TransferStatus::BadCommand:
        return 0;
    }
    return 0;
}

}  // namespace qim
