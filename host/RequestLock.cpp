#include "RequestLock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qim::host {

namespace {

std::mutex requestMutex;
std::atomic<std::thread::id> holder{};

}  // namespace

void LockRequests()
{
    // The driver never takes the lock itself; a second lock from the holder
    // is a host bug that would otherwise deadlock silently.
    if (holder.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        std::fputs("qim: request lock taken twice\n", stderr);
        std::abort();
    }
    requestMutex.lock();
    holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void UnlockRequests()
{
    AssertRequestsLocked("UnlockRequests");
    holder.store(std::thread::id{}, std::memory_order_relaxed);
    requestMutex.unlock();
}

bool RequestsLockedHere() { return holder.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

void AssertRequestsLocked(const char* where)
{
    if (!RequestsLockedHere()) {
        std::fprintf(stderr, "qim: %s called without the request lock\n", where);
        std::abort();
    }
}

}  // namespace qim::host
