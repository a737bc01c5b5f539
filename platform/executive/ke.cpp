// The executive: IRQL, spin locks, DPCs, timers, events and waits, system time.
//
// Simulated mode runs everything on the thread that created the machine, as a uniprocessor:
// a queued DPC runs as soon as the IRQL drops below DISPATCH_LEVEL (unless the test holds
// DPCs), timers fire only when the clock is advanced, and a wait drives the machine.
// Real-time mode keeps one DPC queue per processor thread, fires timers from a clock thread
// and blocks waiters on a condition variable; the DPC queues, the timer list and the signal
// states of dispatcher objects are guarded by one kernel lock.

#include "platform/io/io_manager.h"
#include "platform/machine/machine_internal.h"

#include <cstdarg>
#include <cstdio>
#include <sched.h>

namespace qvx {

namespace {

std::atomic<ULONG_PTR> g_nextToken{1};

constexpr UCHAR DPC_TYPE = 0x13;
constexpr USHORT TARGETED_DPC = 32; // MAXIMUM_PROCESSORS on 32-bit Windows
// Consecutive rounds in which progress hooks claim progress while nothing else moves before
// a wait gives up on them.
constexpr unsigned MAX_HOOK_ROUNDS = 100000;
// DPCs one drain may run before the chain is reported as a livelock.
constexpr unsigned MAX_DPC_CHAIN = 1000000;
// Relative due times and timeouts are clamped so that tick rounding cannot overflow.
constexpr LONGLONG MAX_INTERVAL = 1LL << 60;

Machine::State* CurrentState()
{
    Machine* machine = Machine::TryCurrent();
    return machine != nullptr ? &machine->Internal() : nullptr;
}

bool IsSimulated(const Machine::State* state)
{
    return state != nullptr && !state->RealTime;
}

// The kernel lock in real-time mode; nothing in simulated mode, where one thread runs all.
std::unique_lock<std::mutex> LockIfRealTime(Machine::State& state)
{
    return state.RealTime ? std::unique_lock<std::mutex>(state.KernelLock)
                          : std::unique_lock<std::mutex>();
}

const char* LockName(const void* lock)
{
    static thread_local char text[32];
    snprintf(text, sizeof(text), "%p", lock);
    return text;
}

// A lock as a report names it: the name a test gave it, the cancel spin lock, or where it
// lives (a pool block by tag, a device extension), with its address.
std::string DescribeLock(Machine::State& state, const void* lock)
{
    char text[160];
    {
        std::lock_guard<std::mutex> guard(state.LockOrderLock);
        auto it = state.LockNames.find(lock);
        if (it != state.LockNames.end()) {
            snprintf(text, sizeof(text), "%s (%p)", it->second.c_str(), lock);
            return text;
        }
    }
    if (lock == state.CancelLock) {
        snprintf(text, sizeof(text), "the cancel spin lock (%p)", lock);
        return text;
    }
    const auto* p = static_cast<const char*>(lock);
    for (const PoolBlockInfo& block : state.Owner.OutstandingPool()) {
        const auto* base = static_cast<const char*>(block.Address);
        if (p >= base && p < base + block.Size) {
            char tag[5];
            for (int i = 0; i < 4; ++i) {
                const char c = static_cast<char>((block.Tag >> (8 * i)) & 0xFF);
                tag[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
            }
            tag[4] = 0;
            snprintf(text, sizeof(text), "lock %p (pool block '%s' + %#zx)", lock, tag,
                     static_cast<size_t>(p - base));
            return text;
        }
    }
    const std::string where = state.Owner.Io().DescribeAddress(lock);
    snprintf(text, sizeof(text), "lock %p%s%s", lock, where.empty() ? "" : " ", where.c_str());
    return text;
}

// Path from `from` to `to` over the lock-order edges (depth first); empty when none.
bool FindLockPath(const Machine::State& state, const void* from, const void* to,
                  std::set<const void*>& seen, std::vector<const void*>& path)
{
    path.push_back(from);
    if (from == to) {
        return true;
    }
    if (seen.insert(from).second) {
        auto it = state.LockAfter.find(from);
        if (it != state.LockAfter.end()) {
            for (const void* next : it->second) {
                if (FindLockPath(state, next, to, seen, path)) {
                    return true;
                }
            }
        }
    }
    path.pop_back();
    return false;
}

// Records that `lock` is taken while the processor holds its other locks, and reports the
// first acquisition that closes a cycle. One processor never deadlocks on an inversion, so
// the order is what shows the deadlock two processors would run into.
// Bumped whenever edges are forgotten: a lock at a reused address must be recorded again.
std::atomic<unsigned> g_lockOrderEpoch{1};

// Pairs (held, taken) this thread has already recorded, so that the common case (the same
// locks in the same order, every byte) takes neither the order lock nor a set insertion.
struct LockPairSeen
{
    const void* Held;
    const void* Taken;
    unsigned Machine;
    unsigned Epoch;
};

LockPairSeen& SeenSlot(const void* held, const void* taken)
{
    static thread_local LockPairSeen seen[256];
    const auto key = reinterpret_cast<uintptr_t>(held) * 31 ^ reinterpret_cast<uintptr_t>(taken);
    return seen[(key >> 3) % 256];
}

void RecordLockOrder(Machine::State& state, const CpuContext& cpu, PKSPIN_LOCK lock,
                     const char* routine)
{
    if (cpu.HeldCount == 0) {
        return; // nothing held: no order to record
    }
    const unsigned epoch = g_lockOrderEpoch.load(std::memory_order_acquire);
    bool known = true;
    for (int i = 0; i < cpu.HeldCount && known; ++i) {
        const LockPairSeen& slot = SeenSlot(cpu.Held[i], lock);
        known = cpu.Held[i] == lock || (slot.Held == cpu.Held[i] && slot.Taken == lock &&
                                        slot.Machine == state.Generation && slot.Epoch == epoch);
    }
    if (known) {
        return;
    }
    std::vector<const void*> cycle;
    {
        std::lock_guard<std::mutex> guard(state.LockOrderLock);
        for (int i = 0; i < cpu.HeldCount; ++i) {
            const void* held = cpu.Held[i];
            if (held != lock) {
                SeenSlot(held, lock) = {held, lock, state.Generation, epoch};
            }
            if (held == lock || !state.LockAfter[held].insert(lock).second) {
                continue;
            }
            std::set<const void*> seen;
            std::vector<const void*> path;
            if (!state.LockCycleReported && FindLockPath(state, lock, held, seen, path)) {
                state.LockCycleReported = true;
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
        text += DescribeLock(state, member);
    }
    VerifierReport(Rule::LOCK_ORDER_CYCLE,
                   "%s takes %s while holding %s, against the order seen before; each lock "
                   "was taken while holding the one before it: %s",
                   routine, DescribeLock(state, lock).c_str(),
                   DescribeLock(state, cycle[cycle.size() - 2]).c_str(), text.c_str());
}

// Forgets the lock-order edges of locks inside freed memory, so a reused address starts clean.
void ForgetLocksIn(Machine::State& state, const char* lo, const char* hi)
{
    auto inside = [&](const void* p) {
        const auto* c = static_cast<const char*>(p);
        return c >= lo && c < hi;
    };
    std::lock_guard<std::mutex> guard(state.LockOrderLock);
    bool forgot = false;
    for (auto it = state.LockAfter.begin(); it != state.LockAfter.end();) {
        if (inside(it->first)) {
            it = state.LockAfter.erase(it);
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
    for (auto it = state.LockNames.begin(); it != state.LockNames.end();) {
        it = inside(it->first) ? state.LockNames.erase(it) : std::next(it);
    }
}

void PushHeld(CpuContext& cpu, PKSPIN_LOCK lock)
{
    if (cpu.HeldCount < CpuContext::MaxHeld) {
        cpu.Held[cpu.HeldCount++] = lock;
    }
}

void PopHeld(CpuContext& cpu, PKSPIN_LOCK lock)
{
    for (int i = cpu.HeldCount - 1; i >= 0; --i) {
        if (cpu.Held[i] == lock) {
            cpu.Held[i] = cpu.Held[--cpu.HeldCount];
            return;
        }
    }
}

bool HoldsCancelLock(const CpuContext& cpu, const Machine::State* state)
{
    if (state == nullptr || state->CancelLock == nullptr) {
        return false;
    }
    for (int i = 0; i < cpu.HeldCount; ++i) {
        if (cpu.Held[i] == state->CancelLock) {
            return true;
        }
    }
    return false;
}

void AcquireLockWord(PKSPIN_LOCK lock, CpuContext& cpu, const char* routine)
{
    Machine::State* state = CurrentState();
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == cpu.Token) {
        VerifierReport(Rule::SPINLOCK_RECURSION, "%s: lock %s is already held by this processor",
                       routine, LockName(lock));
        return;
    }
    if (state != nullptr && state->CancelLock != nullptr) {
        const bool isCancel = lock == state->CancelLock;
        if ((isCancel && cpu.HeldCount > 0) || (!isCancel && HoldsCancelLock(cpu, state))) {
            VerifierReport(Rule::CANCEL_LOCK_WITH_OTHER_LOCK,
                           "%s: lock %s taken while the cancel spin lock and another lock would "
                           "be held together",
                           routine, LockName(lock));
        }
    }
    if (IsSimulated(state) || state == nullptr) {
        if (owner != 0) {
            VerifierReport(Rule::SPINLOCK_DEADLOCK,
                           "%s: lock %s is held by another owner on a uniprocessor", routine,
                           LockName(lock));
            return;
        }
        __atomic_store_n(lock, cpu.Token, __ATOMIC_RELAXED);
    } else {
        unsigned spins = 0;
        for (;;) {
            ULONG_PTR expected = 0;
            if (__atomic_compare_exchange_n(lock, &expected, cpu.Token, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED)) {
                break;
            }
            if (++spins > 64) {
                sched_yield();
            } else {
                __builtin_ia32_pause();
            }
        }
    }
    if (state != nullptr) {
        RecordLockOrder(*state, cpu, lock, routine);
    }
    PushHeld(cpu, lock);
}

void ReleaseLockWord(PKSPIN_LOCK lock, CpuContext& cpu, const char* routine)
{
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == 0) {
        VerifierReport(Rule::SPINLOCK_NOT_HELD, "%s: lock %s is not held", routine, LockName(lock));
        return;
    }
    if (owner != cpu.Token) {
        VerifierReport(Rule::SPINLOCK_NOT_OWNER, "%s: lock %s is held by another processor",
                       routine, LockName(lock));
        return;
    }
    PopHeld(cpu, lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Lowers the IRQL and, in simulated mode, runs the DPCs that became runnable. Below
// DISPATCH_LEVEL a held spin lock no longer excludes anyone on this processor: that is a lock
// released out of order, or one that was never released.
void SetIrqlAndDrain(CpuContext& cpu, KIRQL irql, const char* routine)
{
    SetCpuIrql(cpu, irql);
    if (irql < DISPATCH_LEVEL) {
        if (cpu.HeldCount > 0) {
            VerifierReport(Rule::IRQL_LOWERED_WITH_SPINLOCK_HELD, "%s to IRQL %d holding lock %p",
                           routine, irql, static_cast<void*>(cpu.Held[cpu.HeldCount - 1]));
        }
        DrainDpcsIfAllowed();
    }
}

// ---- DPCs -------------------------------------------------------------------------------

// Calls a DPC routine at DISPATCH_LEVEL with the arguments captured when it was dequeued.
// Locks the routine left held are reported and released, so that the machine can go on.
void CallDeferredRoutine(CpuContext& cpu, PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context,
                         PVOID argument1, PVOID argument2)
{
    const int heldBefore = cpu.HeldCount;
    SetCpuIrql(cpu, DISPATCH_LEVEL);
    routine(dpc, context, argument1, argument2);
    if (cpu.Irql != DISPATCH_LEVEL) {
        VerifierReport(Rule::DPC_IRQL_CHANGED, "DPC routine %p returned at IRQL %d",
                       reinterpret_cast<void*>(routine), cpu.Irql);
    }
    while (cpu.HeldCount > heldBefore) {
        const PKSPIN_LOCK lock = cpu.Held[--cpu.HeldCount];
        VerifierReport(Rule::DPC_RETURNED_WITH_LOCK_HELD, "DPC routine %p returned holding lock %p",
                       reinterpret_cast<void*>(routine), static_cast<void*>(lock));
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    }
}

void RunDpcObject(PKDPC dpc)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL before = cpu.Irql;
    CallDeferredRoutine(cpu, dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1,
                        dpc->SystemArgument2);
    SetCpuIrql(cpu, before);
}

void EnqueueDpcLocked(Machine::State& state, PLIST_ENTRY queue, PKDPC dpc)
{
    dpc->DpcData = queue;
    InsertTailList(queue, &dpc->DpcListEntry);
    ++state.QueuedDpcs;
}

void DequeueDpcLocked(Machine::State& state, PKDPC dpc)
{
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    --state.QueuedDpcs;
}

bool RunOneQueuedDpc(Machine::State& state, PKDPC only)
{
    if (IsListEmpty(&state.DpcQueue)) {
        return false;
    }
    PKDPC dpc = only;
    if (dpc == nullptr) {
        dpc = CONTAINING_RECORD(state.DpcQueue.Flink, KDPC, DpcListEntry);
    } else if (dpc->DpcData != &state.DpcQueue) {
        return false;
    }
    DequeueDpcLocked(state, dpc);
    RunDpcObject(dpc);
    return true;
}

bool IsDpcInQueueLocked(Machine::State& state, const KDPC* dpc)
{
    auto inQueue = [dpc](const LIST_ENTRY* head) {
        for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
            if (e == &dpc->DpcListEntry) {
                return true;
            }
        }
        return false;
    };
    if (!state.RealTime) {
        return inQueue(&state.DpcQueue);
    }
    for (auto& processor : state.Processors) {
        if (inQueue(&processor->Queue)) {
            return true;
        }
    }
    return false;
}

bool IsTimerInQueueLocked(Machine::State& state, const KTIMER* timer)
{
    return state.TimerPlaces.count(timer) != 0;
}

void InsertRealTimeLocked(Machine::State& state, PKDPC dpc)
{
    const int self = CurrentCpu().Cpu;
    const auto count = static_cast<unsigned>(state.Processors.size());
    // A targeted DPC goes to its processor; others to the current one, as on Windows (the
    // clock thread, which is no processor, deals them out in turn).
    unsigned cpu = dpc->Number >= TARGETED_DPC ? (dpc->Number - TARGETED_DPC) % count
                   : self >= 0                 ? static_cast<unsigned>(self)
                                               : state.NextCpu++ % count;
    Machine::State::Processor& processor = *state.Processors[cpu];
    EnqueueDpcLocked(state, &processor.Queue, dpc);
    processor.Wake.notify_one();
}

// ---- Timers -----------------------------------------------------------------------------

LONGLONG ExpiryOf(const Machine::State& state, LONGLONG due)
{
    const LONGLONG tick = state.Owner.TickLength();
    if (tick <= 0) {
        return due;
    }
    return ((due + tick - 1) / tick) * tick;
}

void InsertTimerLocked(Machine::State& state, PKTIMER timer)
{
    // After every timer due at the same time or earlier, so equal due times expire in the
    // order they were set.
    const LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart);
    const auto later = state.TimerIndex.upper_bound(due);
    PLIST_ENTRY entry =
        later == state.TimerIndex.end() ? &state.Timers : &later->second->TimerListEntry;
    // Insert before `entry`.
    timer->TimerListEntry.Flink = entry;
    timer->TimerListEntry.Blink = entry->Blink;
    entry->Blink->Flink = &timer->TimerListEntry;
    entry->Blink = &timer->TimerListEntry;
    state.TimerPlaces[timer] = state.TimerIndex.emplace_hint(later, due, timer);
    timer->Header.Inserted = TRUE;
    ++state.SetTimers;
}

void RemoveTimerLocked(Machine::State& state, PKTIMER timer)
{
    RemoveEntryList(&timer->TimerListEntry);
    const auto place = state.TimerPlaces.find(timer);
    if (place != state.TimerPlaces.end()) {
        state.TimerIndex.erase(place->second);
        state.TimerPlaces.erase(place);
    }
    timer->Header.Inserted = FALSE;
    --state.SetTimers;
}

LONGLONG NowLocked(const Machine::State& state)
{
    if (!state.RealTime) {
        return state.Now;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                state.Start)
               .count() /
           100;
}

// The host clock's moment for an interrupt time, clamped (to about a century) so that the
// conversion to nanoseconds cannot overflow.
std::chrono::steady_clock::time_point HostTimeOf(const Machine::State& state, LONGLONG time)
{
    constexpr LONGLONG LIMIT = 1LL << 55;
    return state.Start + std::chrono::nanoseconds((time < LIMIT ? time : LIMIT) * 100);
}

// Takes the earliest timer due at or before `limit` out of the queue (re-arming a periodic
// one) and returns it with its expiry; NULL when none is due.
PKTIMER PopDueTimerLocked(Machine::State& state, LONGLONG limit, LONGLONG* expiry)
{
    if (IsListEmpty(&state.Timers)) {
        return nullptr;
    }
    PKTIMER timer = CONTAINING_RECORD(state.Timers.Flink, KTIMER, TimerListEntry);
    const LONGLONG when = ExpiryOf(state, static_cast<LONGLONG>(timer->DueTime.QuadPart));
    if (when > limit) {
        return nullptr;
    }
    *expiry = when;
    RemoveTimerLocked(state, timer);
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        // The period runs from the previous due time, so it does not drift with latency; a
        // timer expires at most once per tick, so periods that are already over are skipped
        // (a period shorter than the tick, a late clock thread).
        const LONGLONG period = static_cast<LONGLONG>(timer->Period) * 10000;
        const LONGLONG over = state.RealTime ? limit : when;
        LONGLONG due = static_cast<LONGLONG>(timer->DueTime.QuadPart) + period;
        if (ExpiryOf(state, due) <= over) {
            due += ((over - due) / period + 1) * period;
        }
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
        InsertTimerLocked(state, timer);
    }
    return timer;
}

// Interrupt time of a due time or timeout: negative = relative, otherwise absolute system time.
// A moment that is already over becomes now + 1, i.e. the next tick.
LONGLONG DueFromArgument(LONGLONG now, LONGLONG dueTime)
{
    if (dueTime < 0) {
        return now + (dueTime < -MAX_INTERVAL ? MAX_INTERVAL : -dueTime);
    }
    const LONGLONG due = dueTime - Machine::SystemTimeBase;
    if (due <= now) {
        return now + 1;
    }
    return due < now + MAX_INTERVAL ? due : now + MAX_INTERVAL;
}

bool IsSignalled(const DISPATCHER_HEADER* header)
{
    return header->SignalState != 0;
}

// A wait that can never return ends the process whatever the violation mode is.
[[noreturn]] __attribute__((format(printf, 2, 3))) void Fatal(Rule rule, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "VERIFIER VIOLATION: %s: ", RuleName(rule));
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    fflush(stderr);
    abort();
}

// Simulated mode: runs DPCs and progress hooks and advances time until `done` holds. With a
// deadline (interrupt time, >= 0) it gives up when time reaches it and returns what `done`
// says then; without one it reports a deadlock when nothing can make progress.
bool Drive(Machine::State& state, const std::function<bool()>& done, const char* what,
           LONGLONG deadline)
{
    Machine& machine = state.Owner;
    const LONGLONG start = state.Now;
    unsigned hookRounds = 0;
    unsigned chain = 0;
    for (;;) {
        if (done()) {
            return true;
        }
        if (!state.HoldDpcs && CurrentCpu().Irql < DISPATCH_LEVEL &&
            RunOneQueuedDpc(state, nullptr)) {
            if (++chain == MAX_DPC_CHAIN) {
                Fatal(Rule::DPC_LIVELOCK, "%s: %u DPCs ran without the queue emptying", what,
                      chain);
            }
            continue;
        }
        chain = 0;
        bool progress = false;
        for (size_t i = 0; i < state.Hooks.size(); ++i) {
            const Machine::ProgressHook hook = state.Hooks[i].second; // it may remove itself
            progress = hook() || progress;
        }
        if (progress && ++hookRounds < MAX_HOOK_ROUNDS) {
            continue;
        }
        hookRounds = 0;
        const LONGLONG due = machine.NextTimerDue();
        if (deadline >= 0 && (due < 0 || due > deadline)) {
            if (deadline > state.Now) {
                machine.AdvanceTime(deadline - state.Now);
            }
            return done();
        }
        if (due >= 0 && (deadline >= 0 || due - start <= machine.Options().WaitTimeLimit)) {
            machine.AdvanceToNextTimer();
            continue;
        }
        const char* why = "no DPC, no progress hook and no timer can make progress";
        if (progress) {
            why = "progress hooks keep claiming progress but nothing changes";
        } else if (state.QueuedDpcs > 0) {
            why = "the DPCs that could make progress are held or the IRQL is too high";
        } else if (due >= 0) {
            why = "only timers are left and the wait time limit is reached";
        }
        Fatal(Rule::DEADLOCK, "%s can never be satisfied: %s (simulated time %lld ms)", what, why,
              static_cast<long long>(state.Now / 10000));
    }
}

void Consume(DISPATCHER_HEADER* header)
{
    if (header->Type == SynchronizationEvent) {
        header->SignalState = 0;
    }
}

} // namespace

CpuContext& CurrentCpu()
{
    static thread_local CpuContext context;
    if (context.Token == 0) {
        context.Token = g_nextToken.fetch_add(1);
    }
    Machine::State* state = CurrentState();
    if (state != nullptr && context.Generation != state->Generation) {
        // A new machine: this thread starts at PASSIVE_LEVEL holding nothing.
        const ULONG_PTR token = context.Token;
        const int cpu = context.Cpu;
        context = CpuContext();
        context.Token = token;
        context.Cpu = cpu;
        context.Generation = state->Generation;
    }
    return context;
}

void SetCpuIrql(CpuContext& cpu, KIRQL irql)
{
    const bool wasRaised = cpu.Irql >= DISPATCH_LEVEL;
    cpu.Irql = irql;
    const bool raised = irql >= DISPATCH_LEVEL;
    if (raised == wasRaised) {
        return;
    }
    // One simulated processor: its IRQL alone decides whether paged memory may be touched.
    // With several processors another one may legitimately use it meanwhile.
    Machine::State* state = CurrentState();
    if (state != nullptr && !state->RealTime) {
        PoisonPagedPool(*state, raised);
    }
}

void DrainDpcsIfAllowed()
{
    Machine::State* state = CurrentState();
    if (!IsSimulated(state) || state->HoldDpcs) {
        return;
    }
    unsigned chain = 0;
    while (CurrentCpu().Irql < DISPATCH_LEVEL && RunOneQueuedDpc(*state, nullptr)) {
        if (++chain == MAX_DPC_CHAIN) {
            VerifierReport(Rule::DPC_LIVELOCK,
                           "%u DPCs ran in one drain without the queue emptying", chain);
            return;
        }
    }
}

// After reporting, the machine forgets the queued DPCs, set timers and held locks it found, so
// that a test that records violations can go on without touching the freed memory again. A
// routine may free its own DPC object; one running on another processor is a race.
void CheckFreedRange(const void* base, size_t size, const char* what)
{
    Machine::State* state = CurrentState();
    if (state == nullptr || size == 0) {
        return;
    }
    const auto* lo = static_cast<const char*>(base);
    const char* hi = lo + size;
    auto inside = [&](const void* p) {
        const auto* c = static_cast<const char*>(p);
        return c >= lo && c < hi;
    };
    const auto guard = LockIfRealTime(*state);
    auto checkQueue = [&](LIST_ENTRY* head) {
        for (PLIST_ENTRY e = head->Flink, next; e != head; e = next) {
            next = e->Flink;
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if (inside(dpc)) {
                VerifierReport(Rule::FREED_MEMORY_HOLDS_QUEUED_DPC,
                               "%s at %p is freed while DPC %p in it is queued", what, base,
                               static_cast<void*>(dpc));
                DequeueDpcLocked(*state, dpc);
            }
        }
    };
    CpuContext& cpu = CurrentCpu();
    if (state->RealTime) {
        for (size_t i = 0; i < state->Processors.size(); ++i) {
            const PKDPC running = state->Processors[i]->RunningDpc;
            checkQueue(&state->Processors[i]->Queue);
            if (running != nullptr && inside(running) && static_cast<int>(i) != cpu.Cpu) {
                VerifierReport(Rule::FREED_MEMORY_HOLDS_RUNNING_DPC,
                               "%s at %p is freed while DPC %p in it runs on processor %zu", what,
                               base, static_cast<void*>(running), i);
            }
        }
    } else {
        checkQueue(&state->DpcQueue);
    }
    for (PLIST_ENTRY e = state->Timers.Flink, next; e != &state->Timers; e = next) {
        next = e->Flink;
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (inside(timer)) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_ACTIVE_TIMER,
                           "%s at %p is freed while timer %p in it is set", what, base,
                           static_cast<void*>(timer));
            RemoveTimerLocked(*state, timer);
        }
    }
    ForgetLocksIn(*state, lo, hi);
    for (int i = cpu.HeldCount - 1; i >= 0; --i) {
        if (inside(cpu.Held[i])) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_LOCKED_SPINLOCK,
                           "%s at %p is freed while spin lock %p in it is held", what, base,
                           static_cast<void*>(cpu.Held[i]));
            cpu.Held[i] = cpu.Held[--cpu.HeldCount];
        }
    }
}

void ReportTimersAndDpcsAtUnload(const char* driver)
{
    Machine::State* state = CurrentState();
    if (state == nullptr) {
        return;
    }
    auto routineOf = [](const KDPC* dpc) {
        return dpc != nullptr ? reinterpret_cast<void*>(dpc->DeferredRoutine) : nullptr;
    };
    std::string timers;
    std::string dpcs;
    {
        const auto guard = LockIfRealTime(*state);
        for (PLIST_ENTRY e = state->Timers.Flink; e != &state->Timers; e = e->Flink) {
            const KTIMER* timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
            char line[96];
            snprintf(line, sizeof(line), "%stimer %p (DPC routine %p)", timers.empty() ? "" : "; ",
                     static_cast<const void*>(timer), routineOf(timer->Dpc));
            timers += line;
        }
        auto listQueue = [&](LIST_ENTRY* head) {
            for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
                const KDPC* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
                char line[96];
                snprintf(line, sizeof(line), "%sDPC %p (routine %p)", dpcs.empty() ? "" : "; ",
                         static_cast<const void*>(dpc), routineOf(dpc));
                dpcs += line;
            }
        };
        if (state->RealTime) {
            for (const auto& processor : state->Processors) {
                listQueue(&processor->Queue);
            }
        } else {
            listQueue(&state->DpcQueue);
        }
    }
    // Reported outside the kernel lock: a report may abort, and the sink may trace.
    if (!timers.empty()) {
        VerifierReport(Rule::TIMER_SET_AT_UNLOAD, "driver %s unloaded with timers still set: %s",
                       driver, timers.c_str());
    }
    if (!dpcs.empty()) {
        VerifierReport(Rule::DPC_QUEUED_AT_UNLOAD, "driver %s unloaded with DPCs still queued: %s",
                       driver, dpcs.c_str());
    }
}

void SetCancelSpinLockAddress(PKSPIN_LOCK lock)
{
    Machine::State* state = CurrentState();
    if (state != nullptr) {
        state->CancelLock = lock;
    }
}

// ---- Machine face pieces that belong to the executive ---------------------------------

void Machine::NameSpinLock(const KSPIN_LOCK* lock, const std::string& name)
{
    std::lock_guard<std::mutex> guard(state_->LockOrderLock);
    state_->LockNames[lock] = name;
}

LONGLONG Machine::Now() const
{
    return NowLocked(*state_);
}

void Machine::SetTickLength(LONGLONG ticks100ns)
{
    const auto guard = LockIfRealTime(*state_);
    options_.TickLength = ticks100ns < 0 ? 0 : ticks100ns;
    if (state_->RealTime) {
        state_->TimersChanged.notify_all();
    }
}

LONGLONG Machine::NextTimerDue() const
{
    State& state = *state_;
    const auto guard = LockIfRealTime(state);
    if (IsListEmpty(&state.Timers)) {
        return -1;
    }
    PKTIMER timer = CONTAINING_RECORD(state.Timers.Flink, KTIMER, TimerListEntry);
    return ExpiryOf(state, static_cast<LONGLONG>(timer->DueTime.QuadPart));
}

void Machine::AdvanceTime(LONGLONG delta100ns)
{
    State& state = *state_;
    if (delta100ns < 0) {
        VerifierReport(Rule::TIME_BACKWARDS, "AdvanceTime(%lld): time only moves forward",
                       static_cast<long long>(delta100ns));
        return;
    }
    delta100ns = delta100ns < MAX_INTERVAL ? delta100ns : MAX_INTERVAL;
    if (state.RealTime) {
        std::this_thread::sleep_until(HostTimeOf(state, NowLocked(state) + delta100ns));
        return;
    }
    const LONGLONG target = state.Now + delta100ns;
    LONGLONG expiry = 0;
    while (PKTIMER timer = PopDueTimerLocked(state, target, &expiry)) {
        if (expiry > state.Now) {
            state.Now = expiry;
        }
        // The expiry pass of a tick runs at DISPATCH_LEVEL: every timer due in this tick
        // expires and queues its DPC before any of those DPCs runs, so a DPC that cancels
        // another timer of the same tick gets FALSE and that timer's DPC still runs.
        CpuContext& cpu = CurrentCpu();
        const KIRQL old = cpu.Irql;
        if (old < DISPATCH_LEVEL) {
            SetCpuIrql(cpu, DISPATCH_LEVEL);
        }
        LONGLONG same = 0;
        do {
            if (timer->Dpc != nullptr) {
                KeInsertQueueDpc(timer->Dpc, nullptr, nullptr);
            }
        } while ((timer = PopDueTimerLocked(state, expiry, &same)) != nullptr);
        SetCpuIrql(cpu, old);
        DrainDpcsIfAllowed();
    }
    state.Now = target;
}

bool Machine::AdvanceToNextTimer()
{
    if (state_->RealTime) {
        return false;
    }
    const LONGLONG due = NextTimerDue();
    if (due < 0) {
        return false;
    }
    AdvanceTime(due > Now() ? due - Now() : 0);
    return true;
}

void Machine::HoldDpcs(bool hold)
{
    state_->HoldDpcs = hold;
    if (!hold) {
        DrainDpcsIfAllowed();
    }
}

bool Machine::DpcsHeld() const
{
    return state_->HoldDpcs;
}

size_t Machine::QueuedDpcCount() const
{
    const auto guard = LockIfRealTime(*state_);
    return state_->QueuedDpcs;
}

size_t Machine::SetTimerCount() const
{
    const auto guard = LockIfRealTime(*state_);
    return state_->SetTimers;
}

bool Machine::IsDpcQueued(const KDPC* dpc) const
{
    const auto guard = LockIfRealTime(*state_);
    return dpc->DpcData != nullptr;
}

// A DPC run by hand drops the IRQL back afterwards, so what it queued runs too unless held.
bool Machine::RunNextDpc()
{
    if (state_->RealTime || !RunOneQueuedDpc(*state_, nullptr)) {
        return false;
    }
    DrainDpcsIfAllowed();
    return true;
}

bool Machine::RunDpc(PKDPC dpc)
{
    if (state_->RealTime || !RunOneQueuedDpc(*state_, dpc)) {
        return false;
    }
    DrainDpcsIfAllowed();
    return true;
}

void Machine::DrainDpcs()
{
    if (state_->RealTime) {
        Quiesce();
        return;
    }
    for (unsigned chain = 0; RunOneQueuedDpc(*state_, nullptr);) {
        if (++chain == MAX_DPC_CHAIN) {
            Fatal(Rule::DPC_LIVELOCK, "DrainDpcs: %u DPCs ran without the queue emptying", chain);
        }
    }
}

void Machine::Quiesce()
{
    State& state = *state_;
    if (!state.RealTime) {
        DrainDpcs();
        return;
    }
    std::unique_lock<std::mutex> guard(state.KernelLock);
    auto idle = [&] {
        for (auto& processor : state.Processors) {
            if (!IsListEmpty(&processor->Queue) || processor->RunningDpc != nullptr) {
                return false;
            }
        }
        if (IsListEmpty(&state.Timers)) {
            return true;
        }
        const PKTIMER first = CONTAINING_RECORD(state.Timers.Flink, KTIMER, TimerListEntry);
        return ExpiryOf(state, static_cast<LONGLONG>(first->DueTime.QuadPart)) > NowLocked(state);
    };
    // A due timer is noticed by the clock thread, not signalled here: poll for it.
    while (!state.DpcIdle.wait_for(guard, std::chrono::milliseconds(1), idle)) {
    }
}

void Machine::RunUntil(const std::function<bool()>& done, const char* what)
{
    State& state = *state_;
    if (state.RealTime) {
        while (!done()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return;
    }
    Drive(state, done, what, -1);
}

int Machine::AddProgressHook(ProgressHook hook)
{
    const int id = state_->NextHookId++;
    state_->Hooks.emplace_back(id, std::move(hook));
    return id;
}

void Machine::RemoveProgressHook(int id)
{
    auto& hooks = state_->Hooks;
    for (auto it = hooks.begin(); it != hooks.end(); ++it) {
        if (it->first == id) {
            hooks.erase(it);
            return;
        }
    }
}

// Real-time processor and clock threads.
void RunProcessor(Machine::State& state, unsigned index)
{
    CpuContext& cpu = CurrentCpu();
    cpu.Cpu = static_cast<int>(index);
    Machine::State::Processor& processor = *state.Processors[index];
    std::unique_lock<std::mutex> guard(state.KernelLock);
    for (;;) {
        processor.Wake.wait(guard,
                            [&] { return state.Stopping || !IsListEmpty(&processor.Queue); });
        if (IsListEmpty(&processor.Queue)) {
            return;
        }
        PKDPC dpc = CONTAINING_RECORD(processor.Queue.Flink, KDPC, DpcListEntry);
        DequeueDpcLocked(state, dpc);
        processor.RunningDpc = dpc;
        // Captured under the lock: once dequeued the object may be queued again elsewhere.
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID const context = dpc->DeferredContext;
        PVOID const argument1 = dpc->SystemArgument1;
        PVOID const argument2 = dpc->SystemArgument2;
        guard.unlock();
        CallDeferredRoutine(cpu, dpc, routine, context, argument1, argument2);
        SetCpuIrql(cpu, PASSIVE_LEVEL);
        guard.lock();
        processor.RunningDpc = nullptr;
        state.DpcIdle.notify_all();
    }
}

void RunClock(Machine::State& state)
{
    std::unique_lock<std::mutex> guard(state.KernelLock);
    while (!state.Stopping) {
        const LONGLONG now = NowLocked(state);
        LONGLONG expiry = 0;
        if (PKTIMER timer = PopDueTimerLocked(state, now, &expiry)) {
            state.ObjectSignalled.notify_all();
            if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) {
                InsertRealTimeLocked(state, timer->Dpc);
            }
            continue;
        }
        if (IsListEmpty(&state.Timers)) {
            state.TimersChanged.wait(guard);
        } else {
            PKTIMER first = CONTAINING_RECORD(state.Timers.Flink, KTIMER, TimerListEntry);
            const LONGLONG when = ExpiryOf(state, static_cast<LONGLONG>(first->DueTime.QuadPart));
            state.TimersChanged.wait_until(guard, HostTimeOf(state, when));
        }
    }
}

} // namespace qvx

using qvx::CpuContext;
using qvx::CurrentCpu;
using qvx::Rule;
using qvx::VerifierReport;

extern "C" {

BOOLEAN QvxSpinLockHeldByCaller(PKSPIN_LOCK SpinLock)
{
    const CpuContext& cpu = CurrentCpu();
    for (int i = 0; i < cpu.HeldCount; ++i) {
        if (cpu.Held[i] == SpinLock) {
            return TRUE;
        }
    }
    return FALSE;
}

// ---- IRQL -------------------------------------------------------------------------------

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return CurrentCpu().Irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL old = cpu.Irql;
    if (NewIrql < old) {
        VerifierReport(Rule::IRQL_RAISE_TO_LOWER, "KfRaiseIrql(%d) at IRQL %d", NewIrql, old);
        return old;
    }
    SetCpuIrql(cpu, NewIrql);
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    CpuContext& cpu = CurrentCpu();
    if (NewIrql > cpu.Irql) {
        VerifierReport(Rule::IRQL_LOWER_TO_HIGHER, "KfLowerIrql(%d) at IRQL %d", NewIrql, cpu.Irql);
        return;
    }
    qvx::SetIrqlAndDrain(cpu, NewIrql, "KfLowerIrql");
}

// ---- Spin locks -------------------------------------------------------------------------

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL old = cpu.Irql;
    if (old > qvx::IrqlCeilingOf("KfAcquireSpinLock")) {
        VerifierReport(Rule::SPINLOCK_ACQUIRED_ABOVE_DISPATCH, "KfAcquireSpinLock(%p) at IRQL %d",
                       static_cast<void*>(SpinLock), old);
    } else {
        SetCpuIrql(cpu, DISPATCH_LEVEL);
    }
    qvx::AcquireLockWord(SpinLock, cpu, "KfAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    CpuContext& cpu = CurrentCpu();
    qvx::ReleaseLockWord(SpinLock, cpu, "KfReleaseSpinLock");
    if (NewIrql > cpu.Irql) {
        VerifierReport(Rule::IRQL_LOWER_TO_HIGHER, "KfReleaseSpinLock(%p, %d) at IRQL %d",
                       static_cast<void*>(SpinLock), NewIrql, cpu.Irql);
        return;
    }
    qvx::SetIrqlAndDrain(cpu, NewIrql, "KfReleaseSpinLock");
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    if (cpu.Irql < DISPATCH_LEVEL) {
        VerifierReport(Rule::SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH,
                       "KefAcquireSpinLockAtDpcLevel(%p) at IRQL %d", static_cast<void*>(SpinLock),
                       cpu.Irql);
    }
    qvx::AcquireLockWord(SpinLock, cpu, "KefAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    if (cpu.Irql < DISPATCH_LEVEL) {
        VerifierReport(Rule::SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH,
                       "KefReleaseSpinLockFromDpcLevel(%p) at IRQL %d",
                       static_cast<void*>(SpinLock), cpu.Irql);
    }
    qvx::ReleaseLockWord(SpinLock, cpu, "KefReleaseSpinLockFromDpcLevel");
}

// ---- DPCs -------------------------------------------------------------------------------

// Windows marks a targeted DPC by storing its processor number plus MAXIMUM_PROCESSORS.
VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number)
{
    Dpc->Number = static_cast<USHORT>(qvx::TARGETED_DPC + static_cast<UCHAR>(Number));
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state != nullptr) {
        // The object's own fields are not trusted before initialisation: search the queues.
        const auto guard = qvx::LockIfRealTime(*state);
        if (qvx::IsDpcInQueueLocked(*state, Dpc)) {
            VerifierReport(Rule::DPC_REINITIALIZED_WHILE_QUEUED, "KeInitializeDpc(%p) while queued",
                           static_cast<void*>(Dpc));
            return;
        }
    }
    Dpc->Type = qvx::DPC_TYPE;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeInsertQueueDpc without a machine");
        return FALSE;
    }
    if (Dpc->Type != qvx::DPC_TYPE) {
        VerifierReport(Rule::DPC_NOT_INITIALIZED,
                       "KeInsertQueueDpc(%p) of an object never initialised",
                       static_cast<void*>(Dpc));
        return FALSE;
    }
    if (state->RealTime) {
        std::lock_guard<std::mutex> guard(state->KernelLock);
        if (Dpc->DpcData != nullptr) {
            return FALSE;
        }
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        qvx::InsertRealTimeLocked(*state, Dpc);
        return TRUE;
    }
    if (Dpc->DpcData != nullptr) {
        return FALSE;
    }
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    qvx::EnqueueDpcLocked(*state, &state->DpcQueue, Dpc);
    qvx::DrainDpcsIfAllowed();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        return FALSE;
    }
    const auto guard = qvx::LockIfRealTime(*state);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    qvx::DequeueDpcLocked(*state, Dpc);
    return TRUE;
}

// Returns once every DPC queued before the call has run. Simulated mode runs them now, held
// or not; real-time mode waits for the processor threads.
VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        return;
    }
    // PASSIVE_LEVEL only; at DISPATCH_LEVEL or above it could not wait at all.
    if (!qvx::CheckIrqlCeiling("KeFlushQueuedDpcs") && CurrentCpu().Irql >= DISPATCH_LEVEL) {
        return;
    }
    state->Owner.DrainDpcs();
}

// ---- Timers -----------------------------------------------------------------------------

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state != nullptr) {
        const auto guard = qvx::LockIfRealTime(*state);
        if (qvx::IsTimerInQueueLocked(*state, Timer)) {
            VerifierReport(Rule::TIMER_REINITIALIZED_WHILE_SET, "KeInitializeTimerEx(%p) while set",
                           static_cast<void*>(Timer));
            return;
        }
    }
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type =
        static_cast<UCHAR>(Type == SynchronizationTimer ? SynchronizationEvent : NotificationEvent);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeSetTimerEx without a machine");
        return FALSE;
    }
    if (!qvx::CheckIrqlCeiling("KeSetTimerEx")) {
    }
    if (Timer->Header.Type > SynchronizationEvent) {
        // Fresh pool (0xA5) or freed pool (0xDD): KeInitializeTimer never ran on this memory.
        VerifierReport(Rule::TIMER_NOT_INITIALIZED,
                       "KeSetTimerEx(%p) of an object never initialised",
                       static_cast<void*>(Timer));
        return FALSE;
    }
    if (Period < 0) {
        VerifierReport(Rule::TIMER_NEGATIVE_PERIOD, "KeSetTimerEx(%p) with period %d",
                       static_cast<void*>(Timer), Period);
        Period = 0;
    }
    const auto guard = qvx::LockIfRealTime(*state);
    const BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet) {
        qvx::RemoveTimerLocked(*state, Timer);
    }
    Timer->Header.SignalState = 0;
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->DueTime.QuadPart =
        static_cast<ULONGLONG>(qvx::DueFromArgument(qvx::NowLocked(*state), DueTime.QuadPart));
    qvx::InsertTimerLocked(*state, Timer);
    if (state->RealTime) {
        state->TimersChanged.notify_all();
    }
    return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        return FALSE;
    }
    if (!qvx::CheckIrqlCeiling("KeCancelTimer")) {
    }
    const auto guard = qvx::LockIfRealTime(*state);
    if (!Timer->Header.Inserted) {
        return FALSE;
    }
    qvx::RemoveTimerLocked(*state, Timer);
    return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    qvx::Machine::State* state = qvx::CurrentState();
    std::unique_lock<std::mutex> guard;
    if (state != nullptr) {
        guard = qvx::LockIfRealTime(*state);
    }
    return Timer->Header.SignalState != 0;
}

// ---- Events and waits -------------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    qvx::Machine::State* state = qvx::CurrentState();
    if (!qvx::CheckIrqlCeiling("KeSetEvent")) {
    }
    if (state != nullptr && state->RealTime) {
        std::lock_guard<std::mutex> guard(state->KernelLock);
        const LONG previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        state->ObjectSignalled.notify_all();
        return previous;
    }
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (!qvx::CheckIrqlCeiling("KeResetEvent")) {
    }
    std::unique_lock<std::mutex> guard;
    if (state != nullptr) {
        guard = qvx::LockIfRealTime(*state);
    }
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    qvx::Machine::State* state = qvx::CurrentState();
    std::unique_lock<std::mutex> guard;
    if (state != nullptr) {
        guard = qvx::LockIfRealTime(*state);
    }
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    CpuContext& cpu = CurrentCpu();
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    // The lock is named first: holding one is also what raised the IRQL.
    if (!poll && cpu.HeldCount > 0) {
        VerifierReport(Rule::WAIT_WITH_SPINLOCK_HELD, "KeWaitForSingleObject(%p) holding lock %p",
                       Object, static_cast<void*>(cpu.Held[cpu.HeldCount - 1]));
        return STATUS_UNSUCCESSFUL;
    }
    if (cpu.Irql > qvx::IrqlCeilingOf(poll ? "KeWaitForSingleObject with a zero timeout"
                                           : "KeWaitForSingleObject")) {
        VerifierReport(Rule::WAIT_AT_DISPATCH_LEVEL, "KeWaitForSingleObject(%p) at IRQL %d", Object,
                       cpu.Irql);
        return STATUS_UNSUCCESSFUL;
    }
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeWaitForSingleObject without a machine");
        return STATUS_UNSUCCESSFUL;
    }
    auto signalled = [header] { return qvx::IsSignalled(header); };
    if (state->RealTime) {
        std::unique_lock<std::mutex> guard(state->KernelLock);
        if (Timeout == nullptr) {
            state->ObjectSignalled.wait(guard, signalled);
        } else {
            const LONGLONG deadline =
                qvx::DueFromArgument(qvx::NowLocked(*state), Timeout->QuadPart);
            if (!state->ObjectSignalled.wait_until(guard, qvx::HostTimeOf(*state, deadline),
                                                   signalled)) {
                return STATUS_TIMEOUT;
            }
        }
        qvx::Consume(header);
        return STATUS_SUCCESS;
    }
    bool satisfied = signalled();
    if (!satisfied && !poll) {
        char what[96];
        snprintf(what, sizeof(what), "KeWaitForSingleObject on object %p", Object);
        // A timeout expires on a clock tick, like a timer.
        const LONGLONG deadline =
            Timeout == nullptr
                ? -1
                : qvx::ExpiryOf(*state, qvx::DueFromArgument(state->Now, Timeout->QuadPart));
        satisfied = qvx::Drive(*state, signalled, what, deadline);
    }
    if (!satisfied) {
        return STATUS_TIMEOUT;
    }
    qvx::Consume(header);
    return STATUS_SUCCESS;
}

// ---- Time -------------------------------------------------------------------------------

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    qvx::Machine* machine = qvx::Machine::TryCurrent();
    return machine != nullptr ? static_cast<ULONGLONG>(machine->Now()) : 0;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    qvx::Machine* machine = qvx::Machine::TryCurrent();
    LONGLONG now = machine != nullptr ? machine->Now() : 0;
    const LONGLONG tick = machine != nullptr ? machine->TickLength() : 0;
    if (tick > 0) {
        now -= now % tick; // the system time moves once per clock tick
    }
    CurrentTime->QuadPart = qvx::Machine::SystemTimeBase + now;
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    qvx::Machine* machine = qvx::Machine::TryCurrent();
    return machine != nullptr ? static_cast<ULONG>(machine->TickLength()) : 0;
}

} // extern "C"
