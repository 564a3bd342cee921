// The stand-in for io_request_lock: one mutex around every entry into the
// driver (requests, control requests, open, release), since the driver and
// its disk library are not thread-safe. It remembers its holder so that the
// functions the driver calls can check that they run under it.
#pragma once

namespace qim::host {

void LockRequests();
void UnlockRequests();
// True when the calling thread holds the lock.
[[nodiscard]] bool RequestsLockedHere();
// Stops the program with a message naming where when the calling thread does
// not hold the lock: a broken lock rule would corrupt images silently.
void AssertRequestsLocked(const char* where);

// Holds the lock for a scope.
struct RequestLockGuard {
    RequestLockGuard() { LockRequests(); }
    ~RequestLockGuard() { UnlockRequests(); }
    RequestLockGuard(const RequestLockGuard&) = delete;
    RequestLockGuard& operator=(const RequestLockGuard&) = delete;
};

}  // namespace qim::host
