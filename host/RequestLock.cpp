// SPDX-License-Identifier: MIT
#include "RequestLock.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace qim::host {

namespace {

std::array<std::mutex, kLockedMinors> minorMutexes;

// What the calling thread holds: nothing, one minor's lock, or all of them.
constexpr int kHoldsNone = -2;
constexpr int kHoldsAll = -1;
thread_local int held = kHoldsNone;

void TakenTwice()
{
    // The driver never takes the lock itself; a second lock from the holder
    // is a host bug that would otherwise deadlock silently.
    std::fputs("qim: request lock taken twice\n", stderr);
    std::abort();
}

}  // namespace

void LockRequests()
{
    if (held != kHoldsNone)
        TakenTwice();
    for (std::mutex& m : minorMutexes)
        m.lock();
    held = kHoldsAll;
}

void UnlockRequests()
{
    AssertRequestsLocked("UnlockRequests");
    held = kHoldsNone;
    for (std::mutex& m : minorMutexes)
        m.unlock();
}

void LockRequests(unsigned minor)
{
    if (held != kHoldsNone)
        TakenTwice();
    minorMutexes.at(minor).lock();
    held = static_cast<int>(minor);
}

void UnlockRequests(unsigned minor)
{
    AssertRequestsLocked("UnlockRequests");
    held = kHoldsNone;
    minorMutexes.at(minor).unlock();
}

int MinorLockedHere() { return held >= 0 ? held : -1; }

bool RequestsLockedHere() { return held != kHoldsNone; }

void AssertRequestsLocked(const char* where)
{
    if (!RequestsLockedHere()) {
        std::fprintf(stderr, "qim: %s called without the request lock\n", where);
        std::abort();
    }
}

}  // namespace qim::host
