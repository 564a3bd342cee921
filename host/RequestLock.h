// SPDX-License-Identifier: MIT
// The stand-in for io_request_lock and the big kernel lock: one mutex per
// minor that knows its holder, so that the functions the driver calls can
// check that they run under it.
//
// The lock rules, stated once for kernel/ and host/:
// 1. Every entry into the driver runs under the lock: module start and stop,
//    open, release, control requests, and every run of its request queue.
//    The driver and its disk library are not thread-safe and take no lock.
//    An entry for one minor holds that minor's lock; module start and stop
//    (and the driver's tests) hold every minor's. Devices share no state that
//    an entry for one of them changes, except what the host keeps atomic, so
//    a slow image on one minor holds up no other.
// 2. The host takes the lock once per operation of the node and holds it
//    across the whole operation: a byte-range read or write (the device's size
//    and every transfer of a read-modify-write), a control request, an open,
//    a release, a flush. No two operations of a device interleave, so two
//    writers of different bytes of one sector never lose each other's bytes,
//    and a mount never runs beside a transfer.
// 3. The block layer's functions (Kernel.h as the host provides it) run only
//    under the lock and assert that they do.
// 4. The lock is not recursive: taking it twice stops the program. Waits that
//    do not need the driver (for opens to settle before a mount) come before
//    it is taken; image I/O runs under it.
#pragma once

namespace qim::host {

// Minors with a lock of their own; the driver serves no more devices than this.
inline constexpr unsigned kLockedMinors = 16;

// Every minor's lock, taken in order.
void LockRequests();
void UnlockRequests();
// One minor's lock (below kLockedMinors).
void LockRequests(unsigned minor);
void UnlockRequests(unsigned minor);
// The minor whose lock alone the calling thread holds, or -1 (none, or all).
[[nodiscard]] int MinorLockedHere();
// True when the calling thread holds the lock.
[[nodiscard]] bool RequestsLockedHere();
// Stops the program with a message naming where when the calling thread does
// not hold the lock: a broken lock rule would corrupt images silently.
void AssertRequestsLocked(const char* where);

// Holds the lock for a scope.
struct RequestLockGuard {
    RequestLockGuard() { LockRequests(); }
    explicit RequestLockGuard(unsigned minor) : minor_(static_cast<int>(minor)) { LockRequests(minor); }
    ~RequestLockGuard()
    {
        if (minor_ < 0)
            UnlockRequests();
        else
            UnlockRequests(static_cast<unsigned>(minor_));
    }
    RequestLockGuard(const RequestLockGuard&) = delete;
    RequestLockGuard& operator=(const RequestLockGuard&) = delete;

private:
    int minor_ = -1;
};

}  // namespace qim::host
