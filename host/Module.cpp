#include "Module.h"

#include "RequestLock.h"
#include "qimmain.h"

namespace qim::host {

int LoadModule()
{
    RequestLockGuard lock;
    return qim_init();
}

void UnloadModule()
{
    RequestLockGuard lock;
    qim_cleanup();
}

}  // namespace qim::host
