// Scoped spin locks: a lock held for a block, with an early Release() for dropping it before a
// completion, a queue start or a call to the peer, none of which may run under it.
//
// Contexts: SpinLockGuard at or below DISPATCH_LEVEL (it raises and restores the IRQL);
// DpcSpinLockGuard at DISPATCH_LEVEL only.
// Locks: whichever the caller names at the use site, so that a search for the lock finds
// every acquisition; each guard is a scoped capability to the thread-safety analysis.
#pragma once

#include <ntddk.h>

#include "port/kcompat.h"

// Raises to DISPATCH_LEVEL and takes the lock for the scope; Release() drops it early, once.
class QUARVEX_SCOPED_CAPABILITY SpinLockGuard
{
  public:
    explicit SpinLockGuard(PKSPIN_LOCK Lock) QUARVEX_ACQUIRES(*Lock) : lock_(Lock), held_(true)
    {
        oldIrql_ = KfAcquireSpinLock(lock_);
    }
    ~SpinLockGuard() QUARVEX_RELEASES()
    {
        if (held_) {
            Release();
        }
    }
    // Once only: a second release is the caller's fault (it aborts on the host).
    VOID Release() QUARVEX_RELEASES()
    {
#ifdef QVX_HOST_CHECKS
        ASSERT(held_);
#endif
        if (held_) {
            held_ = false;
            KfReleaseSpinLock(lock_, oldIrql_);
        }
    }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

  private:
    PKSPIN_LOCK lock_;
    KIRQL oldIrql_;
    bool held_;
};

// The same for callers already at DISPATCH_LEVEL.
class QUARVEX_SCOPED_CAPABILITY DpcSpinLockGuard
{
  public:
    explicit DpcSpinLockGuard(PKSPIN_LOCK Lock) QUARVEX_ACQUIRES(*Lock) : lock_(Lock), held_(true)
    {
        KefAcquireSpinLockAtDpcLevel(lock_);
    }
    ~DpcSpinLockGuard() QUARVEX_RELEASES()
    {
        if (held_) {
            Release();
        }
    }
    // Once only, as above.
    VOID Release() QUARVEX_RELEASES()
    {
#ifdef QVX_HOST_CHECKS
        ASSERT(held_);
#endif
        if (held_) {
            held_ = false;
            KefReleaseSpinLockFromDpcLevel(lock_);
        }
    }
    DpcSpinLockGuard(const DpcSpinLockGuard&) = delete;
    DpcSpinLockGuard& operator=(const DpcSpinLockGuard&) = delete;

  private:
    PKSPIN_LOCK lock_;
    bool held_;
};
