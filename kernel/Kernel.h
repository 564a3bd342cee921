// SPDX-License-Identifier: MIT
// The Linux 2.4 kernel interfaces the driver calls. The driver is written
// against this header only; host/ provides it once (the qim_block library:
// block layer, the caller's memory through process_vm_readv/writev, log and
// allocator), for the qim program and for the driver's tests alike. User
// addresses are plain integers of the caller's address space, as the
// kernel's ioctl argument is; the copies take them cast to pointers, as the
// kernel's do, and never dereference them directly. Whoever provides this
// header also chooses whose memory that is (the host sets the calling process
// before each control request).
//
// Lock rule: the provider runs every entry into the driver (qim_init,
// qim_cleanup, qim_open, qim_release, qim_ioctl, the request function) under
// the request lock, as io_request_lock and the big kernel lock serialize
// them, and the driver takes no lock of its own; entries for different minors
// may run at once, each under its minor's lock, with a queue of its own. The host's rules in full are
// in host/RequestLock.h.
#pragma once
#include <cstddef>
#include <cstdint>
namespace qim {

using kdev_t = std::uint32_t;
constexpr unsigned MAJOR(kdev_t d) { return d >> 8; }
constexpr unsigned MINOR(kdev_t d) { return d & 0xFF; }
constexpr kdev_t MKDEV(unsigned ma, unsigned mi) { return (ma << 8) | mi; }
inline constexpr int MAX_BLKDEV = 255;

// Only the device number of an inode and nothing of a file is read.
struct inode { kdev_t i_rdev; };
struct file { unsigned f_flags; };

// The drive-geometry answer of HDIO_GETGEO in the layout of the host's own
// <linux/hdreg.h>: on x86-64 start is an 8-byte unsigned long at offset 8.
struct hd_geometry {
  unsigned char heads;
  unsigned char sectors;
  unsigned short cylinders;
  unsigned long start;
};

// Standard block control requests. The driver answers HDIO_GETGEO, BLKRRPART
// and BLKGETSIZE itself (BLKGETSIZE with an unsigned long of 512-byte
// sectors); blk_ioctl answers the others (BLKROGET with an int, from
// set_device_ro).
inline constexpr unsigned HDIO_GETGEO = 0x301;
inline constexpr unsigned BLKROGET = 0x125E;
inline constexpr unsigned BLKRRPART = 0x125F;
inline constexpr unsigned BLKGETSIZE = 0x1260;
inline constexpr unsigned BLKFLSBUF = 0x1261;
inline constexpr unsigned BLKSSZGET = 0x1268;

// Requests address a device in these units, whatever its own sector size.
inline constexpr std::uint32_t kRequestSectorBytes = 512;

// A request as the request function sees it: the device, the command
// (READ or WRITE), the first sector of the current segment (512-byte units),
// the sectors left in the whole request, the sectors and buffer of the
// current segment, and the first buffer head (null when there is none),
// which the block layer hands over locked. host is the provider's own.
struct buffer_head { int locked; };
inline constexpr int READ = 0, WRITE = 1;
struct request {
  kdev_t rq_dev; int cmd; unsigned long sector; unsigned long nr_sectors; unsigned long current_nr_sectors;
  char* buffer; buffer_head* bh; void* host;
};
struct request_queue;
using request_fn_proc = void(request_queue*);
struct request_queue { request_fn_proc* request_fn; void* host; };

struct block_device_operations {
  int (*open)(inode*, file*); int (*release)(inode*, file*);
  int (*ioctl)(inode*, file*, unsigned int, unsigned long);
};

// Per-major tables, indexed by major; each non-null entry is an array indexed
// by minor, owned by the driver that installed it. Sizes are in KiB.
extern int* blk_size[MAX_BLKDEV];
extern int* blksize_size[MAX_BLKDEV];
extern int* hardsect_size[MAX_BLKDEV];
extern int read_ahead[MAX_BLKDEV];

// major 0 asks for a free number: returns it (> 0), or a negative errno.
// A given major returns 0 or a negative errno.
int register_blkdev(unsigned major, const char* name, block_device_operations* ops);
int unregister_blkdev(unsigned major, const char* name);
// The major's own queue; blk_init_queue makes it call fn, cleanup stops that.
request_queue* BLK_DEFAULT_QUEUE(unsigned major);
void blk_init_queue(request_queue* q, request_fn_proc* fn);
void blk_cleanup_queue(request_queue* q);
// Queue access for the request function: the first request (null when empty)
// stays queued until blkdev_dequeue_request removes it.
bool QUEUE_EMPTY(request_queue* q);
request* CURRENT_REQUEST(request_queue* q);
void blkdev_dequeue_request(request* rq);
// Completes the current segment with its status (nonzero: success). Returns
// nonzero when segments remain: the request then stays first in its queue
// with sector, nr_sectors, current_nr_sectors, buffer and bh describing the
// next segment. Returns 0 when the request is done; the driver then dequeues
// it and calls end_that_request_last.
int end_that_request_first(request* rq, int uptodate, const char* name);
void end_that_request_last(request* rq);
void register_disk(void* gd, kdev_t dev, unsigned minors, block_device_operations* ops, long size);
// Generic handling of the standard requests the driver does not answer.
int blk_ioctl(kdev_t dev, unsigned int cmd, unsigned long arg);
// The device's read-only flag, which openers for writing are refused by.
void set_device_ro(kdev_t dev, int flag);
int is_read_only(kdev_t dev);
// Writes the device's dirty buffers (-EIO when they could not be made
// durable) / drops its cached ones.
int fsync_dev(kdev_t dev);
void __invalidate_buffers(kdev_t dev, int destroy_dirty);

// The range check against the caller's address limit; a range that passes
// may still fault while copying. Both copies return the bytes NOT copied
// (0 is success); from and to on the user side are user addresses.
bool access_ok(int type, unsigned long addr, unsigned long size);
inline constexpr int VERIFY_READ = 0, VERIFY_WRITE = 1;
unsigned long __generic_copy_from_user(void* to, const void* from, unsigned long n);
unsigned long copy_to_user(void* to, const void* from, unsigned long n);

// printk takes the text as it stands, "<1>" prefix included.
int printk(const char* fmt, ...);
[[noreturn]] void panic(const char* fmt, ...);
// Null on failure; kfree accepts null.
void* kmalloc(std::size_t size, int flags);
void kfree(const void* p);
inline constexpr int GFP_KERNEL = 0;
void MOD_INC_USE_COUNT(); void MOD_DEC_USE_COUNT();
}
