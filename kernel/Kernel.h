// The Linux 2.4 kernel interfaces the driver calls. The driver is written
// against this header only; host/ provides it for the qim program (FUSE node,
// the caller's memory through process_vm_readv/writev) and tests/ provide an
// in-process stand-in. User addresses are plain integers of the caller's
// address space, as the kernel's ioctl argument is.
#pragma once
#include <cstdint>
#include <cstddef>
namespace qim {
using kdev_t = std::uint32_t;
constexpr unsigned MAJOR(kdev_t d) { return d >> 8; }
constexpr unsigned MINOR(kdev_t d) { return d & 0xFF; }
constexpr kdev_t MKDEV(unsigned ma, unsigned mi) { return (ma << 8) | mi; }
inline constexpr int MAX_BLKDEV = 255;
struct inode { kdev_t i_rdev; };
struct file { unsigned f_flags; };
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
extern int* blk_size[MAX_BLKDEV];
extern int* blksize_size[MAX_BLKDEV];
extern int* hardsect_size[MAX_BLKDEV];
extern int read_ahead[MAX_BLKDEV];
int register_blkdev(unsigned major, const char* name, block_device_operations* ops);
int unregister_blkdev(unsigned major, const char* name);
request_queue* BLK_DEFAULT_QUEUE(unsigned major);
void blk_init_queue(request_queue* q, request_fn_proc* fn);
void blk_cleanup_queue(request_queue* q);
bool QUEUE_EMPTY(request_queue* q);
request* CURRENT_REQUEST(request_queue* q);
void blkdev_dequeue_request(request* rq);
int end_that_request_first(request* rq, int uptodate, const char* name);
void end_that_request_last(request* rq);
void register_disk(void* gd, kdev_t dev, unsigned minors, block_device_operations* ops, long size);
int blk_ioctl(kdev_t dev, unsigned int cmd, unsigned long arg);
int fsync_dev(kdev_t dev);
void __invalidate_buffers(kdev_t dev, int destroy_dirty);
bool access_ok(int type, unsigned long addr, unsigned long size);
inline constexpr int VERIFY_READ = 0, VERIFY_WRITE = 1;
unsigned long __generic_copy_from_user(void* to, const void* from, unsigned long n);
unsigned long copy_to_user(void* to, const void* from, unsigned long n);
int printk(const char* fmt, ...);
[[noreturn]] void panic(const char* fmt, ...);
void* kmalloc(std::size_t size, int flags);
void kfree(const void* p);
inline constexpr int GFP_KERNEL = 0;
void MOD_INC_USE_COUNT(); void MOD_DEC_USE_COUNT();
}
