// The lock-order graph and its cycle report.

#include "platform/verifier/lock_order.h"

#include <atomic>

namespace qvx {

namespace {

std::atomic<unsigned> g_generations{0};
// Bumped whenever edges are forgotten: a lock at a reused address must be recorded again.
std::atomic<unsigned> g_lockOrderEpoch{1};

// Pairs (held, taken) this thread has already recorded.
struct LockPairSeen
{
    const void* Held;
    const void* Taken;
    unsigned Generation;
    unsigned Epoch;
};

LockPairSeen& SeenSlot(const void* held, const void* taken)
{
    static thread_local LockPairSeen seen[256];
    const auto key = reinterpret_cast<uintptr_t>(held) * 31 ^ reinterpret_cast<uintptr_t>(taken);
    return seen[(key >> 3) % 256];
}

} // namespace

LockOrder::LockOrder() : generation_(++g_generations) {}

bool LockOrder::FindPath(const void* from, const void* to, std::set<const void*>& seen,
                         std::vector<const void*>& path) const
{
    path.push_back(from);
    if (from == to) {
        return true;
    }
    if (seen.insert(from).second) {
        auto it = after_.find(from);
        if (it != after_.end()) {
            for (const void* next : it->second) {
                if (FindPath(next, to, seen, path)) {
                    return true;
                }
            }
        }
    }
    path.pop_back();
    return false;
}

void LockOrder::Record(const Verifier& verifier, PKSPIN_LOCK lock, HeldLocks held,
                       const char* routine)
{
    if (held.Count == 0) {
        return; // nothing held: no order to record
    }
    const unsigned epoch = g_lockOrderEpoch.load(std::memory_order_acquire);
    bool known = true;
    for (int i = 0; i < held.Count && known; ++i) {
        const LockPairSeen& slot = SeenSlot(held.Locks[i], lock);
        known = held.Locks[i] == lock || (slot.Held == held.Locks[i] && slot.Taken == lock &&
                                          slot.Generation == generation_ && slot.Epoch == epoch);
    }
    if (known) {
        return;
    }
    std::vector<const void*> cycle;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (int i = 0; i < held.Count; ++i) {
            const void* before = held.Locks[i];
            if (before != lock) {
                SeenSlot(before, lock) = {before, lock, generation_, epoch};
            }
            if (before == lock || !after_[before].insert(lock).second) {
                continue;
            }
            std::set<const void*> seen;
            std::vector<const void*> path;
            if (!cycleReported_ && FindPath(lock, before, seen, path)) {
                cycleReported_ = true;
                cycle = path;
                cycle.push_back(lock);
            }
        }
    }
    if (cycle.empty()) {
        return;
    }
    std::string text;
    for (const void* member : cycle) {
        text += text.empty() ? "" : " -> ";
        text += verifier.DescribeLock(member);
    }
    VerifierReport(Rule::LOCK_ORDER_CYCLE,
                   "%s takes %s while holding %s, against the order seen before; each lock "
                   "was taken while holding the one before it: %s",
                   routine, verifier.DescribeLock(lock).c_str(),
                   verifier.DescribeLock(cycle[cycle.size() - 2]).c_str(), text.c_str());
}

void LockOrder::Forget(const char* lo, const char* hi)
{
    auto inside = [&](const void* p) {
        const auto* c = static_cast<const char*>(p);
        return c >= lo && c < hi;
    };
    std::lock_guard<std::mutex> guard(mutex_);
    bool forgot = false;
    for (auto it = after_.begin(); it != after_.end();) {
        if (inside(it->first)) {
            it = after_.erase(it);
            forgot = true;
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();) {
            forgot = forgot || inside(*e);
            e = inside(*e) ? it->second.erase(e) : std::next(e);
        }
        ++it;
    }
    if (forgot) {
        g_lockOrderEpoch.fetch_add(1, std::memory_order_release);
    }
    for (auto it = names_.begin(); it != names_.end();) {
        it = inside(it->first) ? names_.erase(it) : std::next(it);
    }
}

void LockOrder::Name(const KSPIN_LOCK* lock, const std::string& name)
{
    std::lock_guard<std::mutex> guard(mutex_);
    names_[lock] = name;
}

std::string LockOrder::NameOf(const void* lock) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = names_.find(lock);
    return it != names_.end() ? it->second : std::string();
}

} // namespace qvx
