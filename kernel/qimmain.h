// SPDX-License-Identifier: MIT
// The block driver qim: module start and stop, open, release, control
// requests and the request function, over the kernel interfaces of Kernel.h.
#pragma once

#include "Kernel.h"
#include "QimDevice.h"
#include "QimMount.h"

#include <cstdint>

namespace qim {

// The module parameter devs (insmod qim devs=N): the minors the next start registers.
extern int qim_devs_param;

// Working variables, set from the module's settings at start.
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
