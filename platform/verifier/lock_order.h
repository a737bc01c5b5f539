// The order in which spin locks are taken, as a graph: an edge A -> B means B was taken while
// A was held. One processor never deadlocks on an inversion, so the order is what shows the
// deadlock two processors would run into; the first acquisition that closes a cycle is
// reported (LOCK_ORDER_CYCLE), naming the locks.
#pragma once

#include "platform/verifier/verifier.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qvx {

class LockOrder
{
  public:
    LockOrder();

    // `lock` was taken while `held` were held. The common case (the same locks in the same
    // order, every byte) takes neither the mutex nor a set insertion.
    void Record(const Verifier& verifier, PKSPIN_LOCK lock, HeldLocks held, const char* routine);
    // Forgets the edges of locks inside freed memory, so a reused address starts clean.
    void Forget(const char* lo, const char* hi);
    void Name(const KSPIN_LOCK* lock, const std::string& name);
    // The name a test gave the lock; empty when none.
    std::string NameOf(const void* lock) const;

  private:
    bool FindPath(const void* from, const void* to, std::set<const void*>& seen,
                  std::vector<const void*>& path) const;

    const unsigned generation_; // tells this machine's edges from an earlier machine's
    mutable std::mutex mutex_;
    std::map<const void*, std::set<const void*>> after_;
    std::map<const void*, std::string> names_;
    bool cycleReported_ = false;
};

} // namespace qvx
