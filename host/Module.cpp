// SPDX-License-Identifier: MIT
#include "Module.h"

#include "RequestLock.h"
#include "qimmain.h"

namespace qim::host {

int LoadModule(int devices)
{
    RequestLockGuard lock;
    qim_devs_param = devices;
    return qim_init();
}

void UnloadModule()
{
    RequestLockGuard lock;
    qim_cleanup();
}

}  // namespace qim::host
