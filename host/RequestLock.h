// The stand-in for io_request_lock and the big kernel lock: one mutex that
// knows its holder, so that the functions the driver calls can check that
// they run under it.
//
// The lock rules, stated once for kernel/ and host/:
// 1. Every entry into the driver runs under the lock: module start and stop,
//    open, release, control requests, and every run of its request queue.
//    The driver and its disk library are not thread-safe and take no lock.
// 2. The host takes the lock once per operation of the node and holds it
//    across the whole operation: a byte-range read or write (the device's size
//    and every transfer of a read-modify-write), a control request, an open,
//    a release, a flush. No two operations interleave, so two writers of
//    different bytes of one sector never lose each other's bytes, and a mount
//    never runs beside a transfer.
// 3. The block layer's functions (Kernel.h as the host provides it) run only
//    under the lock and assert that they do.
// 4. The lock is not recursive: taking it twice stops the program. Waits that
//    do not need the driver (for opens to settle before a mount) come before
//    it is taken; image I/O runs under it.
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
