// The block driver qim: module start and stop, open, release, control
// requests and the request function, over the kernel interfaces of Kernel.h.
#pragma once

#include "Kernel.h"
#include "QimDevice.h"

#include <cstdint>

namespace qim {

inline constexpr unsigned int QIM_MOUNT = 0x9201;
inline constexpr unsigned int QIM_UNMOUNT = 0x9202;

inline constexpr const char* kQimDescription = "QIM for Linux Ver.0 alpha03";
inline constexpr const char* kQimKernelVersion = "2.4.20";

// Working variables, set from the module's fixed settings at start.
extern int qim_major;
extern int qim_devs;
extern int qim_rahead;
extern int qim_blksize;
extern int qim_hardsect;
extern int qim_size;

// One record per minor, and the per-minor tables installed in the kernel's.
extern QimDevice* qim_devices;
extern int* qim_sizes;
extern int* qim_blksizes;
extern int* qim_hardsects;

extern block_device_operations qim_bdops;

[[nodiscard]] int qim_init();
void qim_cleanup();
int qim_open(inode* node, file* filp);
int qim_release(inode* node, file* filp);
int qim_ioctl(inode* node, file* filp, unsigned int request, unsigned long argument);

void qim_request(request_queue* queue);
[[nodiscard]] QimDevice* qim_locate_device(request* rq);
[[nodiscard]] int qim_transfer(QimDevice* device, request* rq);

}  // namespace qim
