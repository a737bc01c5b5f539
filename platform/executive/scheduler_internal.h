// What the simulated and the threaded scheduler share: the timer queue and the expiry of its
// timers, the DPC accounting, and the call of a DPC routine. Internal to the executive.
#pragma once

#include "platform/executive/executive.h"

#include <map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QVX_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVX_POOL_ASAN 1
#endif
#endif

namespace qvx {

// Under AddressSanitizer paged pool is poisoned while the simulated processor runs at
// DISPATCH_LEVEL or above; without it there is nothing to do when the IRQL crosses that level.
#if defined(QVX_POOL_ASAN)
constexpr bool PAGED_POOL_POISONING = true;
#else
constexpr bool PAGED_POOL_POISONING = false;
#endif

constexpr UCHAR DPC_TYPE = 0x13;
constexpr USHORT TARGETED_DPC = 32; // MAXIMUM_PROCESSORS on 32-bit Windows
// DPCs one drain may run before the chain is reported as a livelock.
constexpr unsigned MAX_DPC_CHAIN = 1000000;
// Relative due times and timeouts are clamped so that tick rounding cannot overflow.
constexpr LONGLONG MAX_INTERVAL = 1LL << 60;

// Interrupt time of a due time or timeout: negative = relative, otherwise absolute system time.
// A moment that is already over becomes now + 1, i.e. the next tick.
LONGLONG DueFromArgument(LONGLONG now, LONGLONG dueTime);

// Sets the processor's IRQL; crossing DISPATCH_LEVEL tells the scheduler where paged pool is
// poisoned at DISPATCH_LEVEL (under AddressSanitizer).
void SetCpuIrql(CpuContext& cpu, KIRQL irql);

// Processor contexts older than this generation are reset when next used (0: no machine);
// `simulated` tells the lock paths whether the processor is the only one.
void SetLiveGeneration(unsigned generation, bool simulated);

// Takes a lock word on one processor: a word held by another owner can never be released.
bool TakeLockWordAlone(PKSPIN_LOCK lock, ULONG_PTR token, const char* routine);

// The timers set, ordered by due time (ties in insertion order), with an index by window of
// due time (about 0.8 ms): each window maps to the first and last timer of its run in the list.
// Idle ports' periodic timers fall into a few windows per tick and a re-armed one is usually
// due last, so expiring and re-arming it rarely touches the index; a timer set before others
// of its window is placed by walking that window's run back from its end. Each timer keeps
// its window's place in the index in its header's bookkeeping field, and the nodes of windows
// no timer is in any more are kept for the next insertion, so that re-arming a periodic timer
// at every tick allocates nothing. Guarded by the scheduler's lock, if it has one.
class TimerQueue
{
  public:
    TimerQueue() { InitializeListHead(&list_); }

    void Insert(PKTIMER timer);
    void Remove(PKTIMER timer);
    // Walks the queue: the object's own fields are not trusted before it is initialised.
    bool Contains(const KTIMER* timer) const;
    bool Empty() const { return IsListEmpty(&list_); }
    PKTIMER First() const { return CONTAINING_RECORD(list_.Flink, KTIMER, TimerListEntry); }
    // Counted apart from the list, so that it can be reported without touching objects that a
    // failed test may have left behind on its stack.
    size_t Count() const { return count_; }
    LIST_ENTRY* Head() { return &list_; }

    // The timers of one window: a run of the list.
    struct Run
    {
        PKTIMER First;
        PKTIMER Last;
        size_t Count;
    };
    using Index = std::map<LONGLONG, Run>;

  private:
    Index::iterator AddRun(Index::iterator hint, LONGLONG window, PKTIMER timer);

    LIST_ENTRY list_;
    Index index_;
    std::vector<Index::node_type> spare_;
    size_t count_ = 0;
};

class SchedulerBase : public Scheduler
{
  public:
    LONGLONG TickLength() const override { return tick_; }

  protected:
    explicit SchedulerBase(const MachineOptions& options);
    ~SchedulerBase() override;

    // The due time rounded up to the clock tick.
    LONGLONG ExpiryOf(LONGLONG due) const;
    // Takes the earliest timer due at or before `limit` out of the queue (re-arming a periodic
    // one; periods already over by `over` are skipped) and returns it with its expiry; NULL
    // when none is due.
    PKTIMER PopDueTimerLocked(LONGLONG limit, LONGLONG over, LONGLONG* expiry);
    LONGLONG NextTimerDueLocked() const;
    BOOLEAN SetTimerLocked(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc);
    BOOLEAN CancelTimerLocked(PKTIMER timer);
    void EnqueueDpcLocked(PLIST_ENTRY queue, PKDPC dpc);
    void DequeueDpcLocked(PKDPC dpc);
    static bool InQueue(const LIST_ENTRY* head, const KDPC* dpc);
    // Calls a DPC routine at DISPATCH_LEVEL with the arguments captured when it was dequeued.
    // Locks the routine left held are reported and released, so that the machine can go on.
    static void CallDeferredRoutine(CpuContext& cpu, PKDPC dpc, PKDEFERRED_ROUTINE routine,
                                    PVOID context, PVOID argument1, PVOID argument2);
    // Reports and forgets the queued DPCs of `queue` inside [lo, hi).
    void ForgetQueuedDpcsLocked(LIST_ENTRY* queue, const char* lo, const char* hi, const char* what,
                                const void* base);
    void ForgetTimersLocked(const char* lo, const char* hi, const char* what, const void* base);
    void ListTimersLocked(std::vector<std::string>* timers,
                          const std::function<bool(PDRIVER_OBJECT)>& charged);
    static void ListDpcsLocked(LIST_ENTRY* queue, std::vector<std::string>* dpcs,
                               const std::function<bool(PDRIVER_OBJECT)>& charged);

    const MachineOptions options_;
    LONGLONG tick_;
    TimerQueue timers_;
    size_t queuedDpcs_ = 0;
    ClockCounts clock_;
};

std::unique_ptr<Scheduler> CreateSimulatedScheduler(const MachineOptions& options);
std::unique_ptr<Scheduler> CreateThreadedScheduler(const MachineOptions& options);

} // namespace qvx
