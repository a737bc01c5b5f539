// What both schedulers share: the processors' contexts, the timer queue and the expiry of its
// timers, the DPC accounting and the call of a DPC routine, and the check of freed memory.

#include "platform/executive/scheduler_internal.h"
#include "platform/verifier/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace qvx {

namespace {

std::atomic<Scheduler*> g_scheduler{nullptr};
std::atomic<unsigned> g_generations{0};

} // namespace

LONGLONG DueFromArgument(LONGLONG now, LONGLONG dueTime)
{
    if (dueTime < 0) {
        return now + (dueTime < -MAX_INTERVAL ? MAX_INTERVAL : -dueTime);
    }
    const LONGLONG due = dueTime - Machine::SYSTEM_TIME_BASE;
    if (due <= now) {
        return now + 1;
    }
    return due < now + MAX_INTERVAL ? due : now + MAX_INTERVAL;
}

std::unique_ptr<Scheduler> Scheduler::Create(const MachineOptions& options)
{
    return options.Mode == MachineMode::RealTime ? CreateThreadedScheduler(options)
                                                 : CreateSimulatedScheduler(options);
}

Scheduler* Scheduler::Current()
{
    return g_scheduler.load(std::memory_order_acquire);
}

void CheckFreedRange(const void* base, size_t size, const char* what)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr || size == 0) {
        return;
    }
    const auto* lo = static_cast<const char*>(base);
    const char* hi = lo + size;
    scheduler->FreeingMemory(lo, hi, what, base);
    OnMemoryFreed(lo, hi);
    CpuContext& cpu = CurrentCpu();
    for (int i = cpu.HeldCount - 1; i >= 0; --i) {
        const auto* held = reinterpret_cast<const char*>(cpu.Held[i]);
        if (held >= lo && held < hi) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_LOCKED_SPINLOCK,
                           "%s at %p is freed while spin lock %p in it is held", what, base,
                           static_cast<void*>(cpu.Held[i]));
            cpu.Held[i] = cpu.Held[--cpu.HeldCount];
        }
    }
}

// ---- Timer queue --------------------------------------------------------------------------------

namespace {

using TimerPlace = TimerQueue::Index::iterator;
// The place takes the bookkeeping field's first pointer; the owner (owners.cpp) the second.
static_assert(sizeof(TimerPlace) <= sizeof(PLIST_ENTRY) &&
                  std::is_trivially_copyable<TimerPlace>::value,
              "a timer's place in the index fits its header's bookkeeping field");

void KeepPlace(PKTIMER timer, TimerPlace place)
{
    memcpy(&timer->Header.WaitListHead, &place, sizeof(place));
}

TimerPlace PlaceOf(const KTIMER* timer)
{
    TimerPlace place;
    memcpy(static_cast<void*>(&place), &timer->Header.WaitListHead, sizeof(place));
    return place;
}

LONGLONG DueOf(const KTIMER* timer)
{
    return static_cast<LONGLONG>(timer->DueTime.QuadPart);
}

// The index's window of a due time: a run holds the timers due in one window, in due order.
LONGLONG WindowOf(LONGLONG due)
{
    return due >> 13;
}

PKTIMER TimerOf(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
}

// Links `timer` into the list before `entry`.
void LinkBefore(PLIST_ENTRY entry, PKTIMER timer)
{
    timer->TimerListEntry.Flink = entry;
    timer->TimerListEntry.Blink = entry->Blink;
    entry->Blink->Flink = &timer->TimerListEntry;
    entry->Blink = &timer->TimerListEntry;
}

} // namespace

TimerQueue::Index::iterator TimerQueue::AddRun(Index::iterator hint, LONGLONG window, PKTIMER timer)
{
    if (spare_.empty()) {
        return index_.emplace_hint(hint, window, Run{timer, timer, 1});
    }
    Index::node_type node = std::move(spare_.back());
    spare_.pop_back();
    node.key() = window;
    node.mapped() = Run{timer, timer, 1};
    return index_.insert(hint, std::move(node));
}

void TimerQueue::Insert(PKTIMER timer)
{
    // After every timer due at the same time or earlier, so equal due times expire in the
    // order they were set.
    const LONGLONG due = DueOf(timer);
    const LONGLONG window = WindowOf(due);
    TimerPlace place;
    if (IsListEmpty(&list_) || due >= DueOf(TimerOf(list_.Blink))) {
        // Due last: the usual case of a re-armed periodic timer.
        place = IsListEmpty(&list_) ? index_.end() : PlaceOf(TimerOf(list_.Blink));
        LinkBefore(&list_, timer);
        if (place != index_.end() && place->first == window) {
            place->second.Last = timer;
            ++place->second.Count;
        } else {
            place = AddRun(index_.end(), window, timer);
        }
    } else {
        // Some timer is due later, so a run of this window or a later one exists.
        place = index_.lower_bound(window);
        Run& run = place->second;
        if (place->first != window) {
            LinkBefore(&run.First->TimerListEntry, timer);
            place = AddRun(place, window, timer);
        } else if (due >= DueOf(run.Last)) {
            LinkBefore(run.Last->TimerListEntry.Flink, timer);
            run.Last = timer;
            ++run.Count;
        } else {
            PKTIMER later = run.Last;
            while (later != run.First && DueOf(TimerOf(later->TimerListEntry.Blink)) > due) {
                later = TimerOf(later->TimerListEntry.Blink);
            }
            LinkBefore(&later->TimerListEntry, timer);
            if (later == run.First && DueOf(later) > due) {
                run.First = timer;
            }
            ++run.Count;
        }
    }
    KeepPlace(timer, place);
    timer->Header.Inserted = TRUE;
    ++count_;
}

void TimerQueue::Remove(PKTIMER timer)
{
    const TimerPlace place = PlaceOf(timer);
    Run& run = place->second;
    if (--run.Count == 0) {
        spare_.push_back(index_.extract(place));
    } else if (run.First == timer) {
        run.First = TimerOf(timer->TimerListEntry.Flink);
    } else if (run.Last == timer) {
        run.Last = TimerOf(timer->TimerListEntry.Blink);
    }
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
    --count_;
}

bool TimerQueue::Contains(const KTIMER* timer) const
{
    for (const LIST_ENTRY* e = list_.Flink; e != &list_; e = e->Flink) {
        if (e == &timer->TimerListEntry) {
            return true;
        }
    }
    return false;
}

// ---- Scheduler base -----------------------------------------------------------------------------

SchedulerBase::SchedulerBase(const MachineOptions& options)
    : options_(options), tick_(options.TickLength)
{
    SetLiveGeneration(++g_generations, options.Mode == MachineMode::Simulated);
    g_scheduler.store(this, std::memory_order_release);
    CurrentCpu(); // the creating thread starts at PASSIVE_LEVEL
}

SchedulerBase::~SchedulerBase()
{
    g_scheduler.store(nullptr, std::memory_order_release);
    SetLiveGeneration(0, true);
}

LONGLONG SchedulerBase::ExpiryOf(LONGLONG due) const
{
    const LONGLONG tick = tick_;
    if (tick <= 0) {
        return due;
    }
    return ((due + tick - 1) / tick) * tick;
}

PKTIMER SchedulerBase::PopDueTimerLocked(LONGLONG limit, LONGLONG over, LONGLONG* expiry)
{
    if (timers_.Empty()) {
        return nullptr;
    }
    PKTIMER timer = timers_.First();
    const LONGLONG when = ExpiryOf(static_cast<LONGLONG>(timer->DueTime.QuadPart));
    if (when > limit) {
        return nullptr;
    }
    *expiry = when;
    ++clock_.Expiries;
    timers_.Remove(timer);
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        // The period runs from the previous due time, so it does not drift with latency; a
        // timer expires at most once per tick, so periods that are already over are skipped
        // (a period shorter than the tick, a late clock).
        const LONGLONG period = static_cast<LONGLONG>(timer->Period) * 10000;
        const LONGLONG end = over < 0 ? when : over;
        LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart) + period;
        if (ExpiryOf(due) <= end) {
            due += ((end - due) / period + 1) * period;
        }
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
        timers_.Insert(timer);
    }
    return timer;
}

LONGLONG SchedulerBase::NextTimerDueLocked() const
{
    if (timers_.Empty()) {
        return -1;
    }
    return ExpiryOf(static_cast<LONGLONG>(timers_.First()->DueTime.QuadPart));
}

BOOLEAN SchedulerBase::SetTimerLocked(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc)
{
    const BOOLEAN wasSet = timer->Header.Inserted;
    if (wasSet) {
        timers_.Remove(timer);
    }
    timer->Header.SignalState = 0;
    timer->Period = period;
    timer->Dpc = dpc;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueFromArgument(Now(), due));
    timers_.Insert(timer);
    return wasSet;
}

BOOLEAN SchedulerBase::CancelTimerLocked(PKTIMER timer)
{
    if (!timer->Header.Inserted) {
        return FALSE;
    }
    timers_.Remove(timer);
    return TRUE;
}

void SchedulerBase::EnqueueDpcLocked(PLIST_ENTRY queue, PKDPC dpc)
{
    dpc->DpcData = queue;
    InsertTailList(queue, &dpc->DpcListEntry);
    ++queuedDpcs_;
}

void SchedulerBase::DequeueDpcLocked(PKDPC dpc)
{
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    --queuedDpcs_;
}

bool SchedulerBase::InQueue(const LIST_ENTRY* head, const KDPC* dpc)
{
    for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        if (e == &dpc->DpcListEntry) {
            return true;
        }
    }
    return false;
}

void SchedulerBase::CallDeferredRoutine(CpuContext& cpu, PKDPC dpc, PKDEFERRED_ROUTINE routine,
                                        PVOID context, PVOID argument1, PVOID argument2)
{
    const int heldBefore = cpu.HeldCount;
    SetCpuIrql(cpu, DISPATCH_LEVEL);
    routine(dpc, context, argument1, argument2);
    OnDpcReturned(routine, {DISPATCH_LEVEL, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}});
    while (cpu.HeldCount > heldBefore) {
        __atomic_store_n(cpu.Held[--cpu.HeldCount], 0, __ATOMIC_RELEASE);
    }
}

void SchedulerBase::ForgetQueuedDpcsLocked(LIST_ENTRY* queue, const char* lo, const char* hi,
                                           const char* what, const void* base)
{
    for (PLIST_ENTRY e = queue->Flink, next; e != queue; e = next) {
        next = e->Flink;
        PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        const auto* at = reinterpret_cast<const char*>(dpc);
        if (at >= lo && at < hi) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_QUEUED_DPC,
                           "%s at %p is freed while DPC %p in it is queued", what, base,
                           static_cast<void*>(dpc));
            DequeueDpcLocked(dpc);
        }
    }
}

void SchedulerBase::ForgetTimersLocked(const char* lo, const char* hi, const char* what,
                                       const void* base)
{
    LIST_ENTRY* head = timers_.Head();
    for (PLIST_ENTRY e = head->Flink, next; e != head; e = next) {
        next = e->Flink;
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        const auto* at = reinterpret_cast<const char*>(timer);
        if (at >= lo && at < hi) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_ACTIVE_TIMER,
                           "%s at %p is freed while timer %p in it is set", what, base,
                           static_cast<void*>(timer));
            timers_.Remove(timer);
        }
    }
}

void SchedulerBase::ListTimersLocked(std::vector<std::string>* timers,
                                     const std::function<bool(PDRIVER_OBJECT)>& charged)
{
    LIST_ENTRY* head = timers_.Head();
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        const KTIMER* timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (!charged(TimerOwner(timer))) {
            continue;
        }
        char line[96];
        snprintf(line, sizeof(line), "timer %p (DPC routine %p)", static_cast<const void*>(timer),
                 timer->Dpc != nullptr ? reinterpret_cast<void*>(timer->Dpc->DeferredRoutine)
                                       : nullptr);
        timers->push_back(line);
    }
}

void SchedulerBase::ListDpcsLocked(LIST_ENTRY* queue, std::vector<std::string>* dpcs,
                                   const std::function<bool(PDRIVER_OBJECT)>& charged)
{
    for (PLIST_ENTRY e = queue->Flink; e != queue; e = e->Flink) {
        const KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        if (!charged(DpcOwner(dpc))) {
            continue;
        }
        char line[96];
        snprintf(line, sizeof(line), "DPC %p (routine %p)", static_cast<const void*>(dpc),
                 reinterpret_cast<void*>(dpc->DeferredRoutine));
        dpcs->push_back(line);
    }
}

} // namespace qvx
