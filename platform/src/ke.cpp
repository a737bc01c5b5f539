// The executive: IRQL, spin locks, DPCs, timers, events and waits, system time.
//
// Simulated mode runs everything on the thread that created the machine, as a uniprocessor:
// a queued DPC runs as soon as the IRQL drops below DISPATCH_LEVEL (unless the test holds
// DPCs), timers fire only when the clock is advanced, and a wait drives the machine.
// Real-time mode keeps one DPC queue per processor thread, fires timers from a clock thread
// and blocks waiters on a condition variable; the DPC queues, the timer list and the signal
// states of dispatcher objects are guarded by one kernel lock.

#include "platform/sim/machine_internal.h"

#include <sched.h>

namespace qvx {

namespace {

std::atomic<ULONG_PTR> g_nextToken{1};

Machine::State* CurrentState()
{
    Machine* machine = Machine::TryCurrent();
    return machine != nullptr ? &machine->Internal() : nullptr;
}

bool IsSimulated(const Machine::State* state)
{
    return state != nullptr && !state->RealTime;
}

const char* LockName(const void* lock)
{
    static thread_local char text[32];
    snprintf(text, sizeof(text), "%p", lock);
    return text;
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
        VerifierReport("SPINLOCK_RECURSION", "%s: lock %s is already held by this processor",
                       routine, LockName(lock));
        return;
    }
    if (state != nullptr && state->CancelLock != nullptr) {
        const bool isCancel = lock == state->CancelLock;
        if ((isCancel && cpu.HeldCount > 0) || (!isCancel && HoldsCancelLock(cpu, state))) {
            VerifierReport("CANCEL_LOCK_WITH_OTHER_LOCK",
                           "%s: lock %s taken while the cancel spin lock and another lock would "
                           "be held together",
                           routine, LockName(lock));
        }
    }
    if (IsSimulated(state) || state == nullptr) {
        if (owner != 0) {
            VerifierReport("SPINLOCK_DEADLOCK",
                           "%s: lock %s is held by another owner on a uniprocessor", routine,
                           LockName(lock));
            return;
        }
        *lock = cpu.Token;
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
    PushHeld(cpu, lock);
}

void ReleaseLockWord(PKSPIN_LOCK lock, CpuContext& cpu, const char* routine)
{
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == 0) {
        VerifierReport("SPINLOCK_NOT_HELD", "%s: lock %s is not held", routine, LockName(lock));
        return;
    }
    if (owner != cpu.Token) {
        VerifierReport("SPINLOCK_NOT_OWNER", "%s: lock %s is held by another processor", routine,
                       LockName(lock));
        return;
    }
    PopHeld(cpu, lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Lowers the IRQL and, in simulated mode, runs the DPCs that became runnable.
void SetIrqlAndDrain(CpuContext& cpu, KIRQL irql)
{
    cpu.Irql = irql;
    if (irql < DISPATCH_LEVEL) {
        DrainDpcsIfAllowed();
    }
}

// ---- DPCs -------------------------------------------------------------------------------

void RunDpcObject(Machine::State& state, PKDPC dpc)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL before = cpu.Irql;
    const int heldBefore = cpu.HeldCount;
    const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID const context = dpc->DeferredContext;
    PVOID const argument1 = dpc->SystemArgument1;
    PVOID const argument2 = dpc->SystemArgument2;
    if (state.RunningCount < Machine::State::MaxRunning) {
        state.Running[state.RunningCount++] = dpc;
    }
    cpu.Irql = DISPATCH_LEVEL;
    routine(dpc, context, argument1, argument2);
    if (cpu.Irql != DISPATCH_LEVEL) {
        VerifierReport("DPC_IRQL_CHANGED", "DPC routine %p returned at IRQL %d",
                       reinterpret_cast<void*>(routine), cpu.Irql);
    }
    if (cpu.HeldCount != heldBefore) {
        VerifierReport(
            "DPC_RETURNED_WITH_LOCK_HELD", "DPC routine %p returned holding lock %p",
            reinterpret_cast<void*>(routine),
            static_cast<void*>(cpu.HeldCount > 0 ? cpu.Held[cpu.HeldCount - 1] : nullptr));
    }
    for (int i = state.RunningCount - 1; i >= 0; --i) {
        if (state.Running[i] == dpc) {
            state.Running[i] = state.Running[--state.RunningCount];
            break;
        }
    }
    cpu.Irql = before;
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
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    RunDpcObject(state, dpc);
    return true;
}

void InsertRealTimeLocked(Machine::State& state, PKDPC dpc)
{
    const int self = CurrentCpu().Cpu;
    unsigned cpu = self >= 0 ? static_cast<unsigned>(self)
                             : state.NextCpu++ % static_cast<unsigned>(state.Processors.size());
    Machine::State::Processor& processor = *state.Processors[cpu];
    dpc->DpcData = &processor.Queue;
    InsertTailList(&processor.Queue, &dpc->DpcListEntry);
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
    PLIST_ENTRY entry = state.Timers.Flink;
    while (entry != &state.Timers) {
        PKTIMER other = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
        if (static_cast<LONGLONG>(other->DueTime.QuadPart) >
            static_cast<LONGLONG>(timer->DueTime.QuadPart)) {
            break;
        }
        entry = entry->Flink;
    }
    // Insert before `entry`.
    timer->TimerListEntry.Flink = entry;
    timer->TimerListEntry.Blink = entry->Blink;
    entry->Blink->Flink = &timer->TimerListEntry;
    entry->Blink = &timer->TimerListEntry;
    timer->Header.Inserted = TRUE;
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
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        // The period runs from the previous due time, so it does not drift with latency.
        timer->DueTime.QuadPart += static_cast<ULONGLONG>(timer->Period) * 10000ULL;
        InsertTimerLocked(state, timer);
    }
    return timer;
}

LONGLONG DueFromArgument(const Machine::State& state, LONGLONG now, LARGE_INTEGER dueTime)
{
    if (dueTime.QuadPart < 0) {
        return now - dueTime.QuadPart;
    }
    // Absolute system time; one already past expires at the next tick.
    LONGLONG due = dueTime.QuadPart - Machine::SystemTimeBase;
    if (due <= now) {
        due = now + 1;
    }
    (void)state;
    return due;
}

bool IsSignalled(const DISPATCHER_HEADER* header)
{
    return header->SignalState != 0;
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

void DrainDpcsIfAllowed()
{
    Machine::State* state = CurrentState();
    if (!IsSimulated(state) || state->HoldDpcs) {
        return;
    }
    while (CurrentCpu().Irql < DISPATCH_LEVEL && RunOneQueuedDpc(*state, nullptr)) {
    }
}

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
    std::unique_lock<std::mutex> guard(state->KernelLock, std::defer_lock);
    if (state->RealTime) {
        guard.lock();
    }
    auto checkQueue = [&](LIST_ENTRY* head) {
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if (inside(dpc)) {
                VerifierReport("FREED_MEMORY_HOLDS_QUEUED_DPC",
                               "%s at %p is freed while DPC %p in it is queued", what, base,
                               static_cast<void*>(dpc));
            }
        }
    };
    if (state->RealTime) {
        for (auto& processor : state->Processors) {
            checkQueue(&processor->Queue);
            if (processor->RunningDpc != nullptr && inside(processor->RunningDpc)) {
                VerifierReport("FREED_MEMORY_HOLDS_RUNNING_DPC",
                               "%s at %p is freed while DPC %p in it runs", what, base,
                               static_cast<void*>(processor->RunningDpc));
            }
        }
    } else {
        checkQueue(&state->DpcQueue);
        for (int i = 0; i < state->RunningCount; ++i) {
            if (inside(state->Running[i])) {
                VerifierReport("FREED_MEMORY_HOLDS_RUNNING_DPC",
                               "%s at %p is freed while DPC %p in it runs", what, base,
                               static_cast<void*>(state->Running[i]));
            }
        }
    }
    for (PLIST_ENTRY e = state->Timers.Flink; e != &state->Timers; e = e->Flink) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (inside(timer)) {
            VerifierReport("FREED_MEMORY_HOLDS_ACTIVE_TIMER",
                           "%s at %p is freed while timer %p in it is set", what, base,
                           static_cast<void*>(timer));
        }
    }
    const CpuContext& cpu = CurrentCpu();
    for (int i = 0; i < cpu.HeldCount; ++i) {
        if (inside(cpu.Held[i])) {
            VerifierReport("FREED_MEMORY_HOLDS_LOCKED_SPINLOCK",
                           "%s at %p is freed while spin lock %p in it is held", what, base,
                           static_cast<void*>(cpu.Held[i]));
        }
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

LONGLONG Machine::Now() const
{
    return NowLocked(*state_);
}

void Machine::SetTickLength(LONGLONG ticks100ns)
{
    options_.TickLength = ticks100ns;
}

LONGLONG Machine::NextTimerDue() const
{
    State& state = *state_;
    std::unique_lock<std::mutex> guard(state.KernelLock, std::defer_lock);
    if (state.RealTime) {
        guard.lock();
    }
    if (IsListEmpty(&state.Timers)) {
        return -1;
    }
    PKTIMER timer = CONTAINING_RECORD(state.Timers.Flink, KTIMER, TimerListEntry);
    return ExpiryOf(state, static_cast<LONGLONG>(timer->DueTime.QuadPart));
}

void Machine::AdvanceTime(LONGLONG delta100ns)
{
    State& state = *state_;
    if (state.RealTime) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(delta100ns * 100));
        return;
    }
    const LONGLONG target = state.Now + delta100ns;
    LONGLONG expiry = 0;
    while (PKTIMER timer = PopDueTimerLocked(state, target, &expiry)) {
        if (expiry > state.Now) {
            state.Now = expiry;
        }
        if (timer->Dpc != nullptr) {
            KeInsertQueueDpc(timer->Dpc, nullptr, nullptr);
        }
        DrainDpcsIfAllowed();
    }
    state.Now = target;
}

bool Machine::AdvanceToNextTimer()
{
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
    State& state = *state_;
    std::unique_lock<std::mutex> guard(state.KernelLock, std::defer_lock);
    if (state.RealTime) {
        guard.lock();
    }
    size_t count = 0;
    auto countQueue = [&](LIST_ENTRY* head) {
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            ++count;
        }
    };
    if (state.RealTime) {
        for (auto& processor : state.Processors) {
            countQueue(&processor->Queue);
        }
    } else {
        countQueue(&state.DpcQueue);
    }
    return count;
}

bool Machine::IsDpcQueued(const KDPC* dpc) const
{
    return dpc->DpcData != nullptr;
}

bool Machine::RunNextDpc()
{
    if (state_->RealTime) {
        return false;
    }
    return RunOneQueuedDpc(*state_, nullptr);
}

bool Machine::RunDpc(PKDPC dpc)
{
    if (state_->RealTime) {
        return false;
    }
    return RunOneQueuedDpc(*state_, dpc);
}

void Machine::DrainDpcs()
{
    if (state_->RealTime) {
        Quiesce();
        return;
    }
    while (RunOneQueuedDpc(*state_, nullptr)) {
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
    state.DpcIdle.wait(guard, [&] {
        for (auto& processor : state.Processors) {
            if (!IsListEmpty(&processor->Queue) || processor->RunningDpc != nullptr) {
                return false;
            }
        }
        return true;
    });
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
    const LONGLONG start = state.Now;
    for (;;) {
        if (done()) {
            return;
        }
        if (!state.HoldDpcs && CurrentCpu().Irql < DISPATCH_LEVEL &&
            RunOneQueuedDpc(state, nullptr)) {
            continue;
        }
        bool progress = false;
        for (size_t i = 0; i < state.Hooks.size(); ++i) {
            ProgressHook hook = state.Hooks[i].second;
            if (hook()) {
                progress = true;
            }
        }
        if (progress) {
            continue;
        }
        const LONGLONG due = NextTimerDue();
        if (due >= 0 && due - start <= options_.WaitTimeLimit) {
            AdvanceToNextTimer();
            continue;
        }
        fprintf(stderr,
                "VERIFIER VIOLATION: DEADLOCK: %s can never be satisfied: no DPC, no progress "
                "hook and no timer can make progress (simulated time %lld ms)\n",
                what, static_cast<long long>(state.Now / 10000));
        fflush(stderr);
        abort();
    }
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
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&processor.Queue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        processor.RunningDpc = dpc;
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID const context = dpc->DeferredContext;
        PVOID const argument1 = dpc->SystemArgument1;
        PVOID const argument2 = dpc->SystemArgument2;
        guard.unlock();
        cpu.Irql = DISPATCH_LEVEL;
        routine(dpc, context, argument1, argument2);
        if (cpu.Irql != DISPATCH_LEVEL) {
            VerifierReport("DPC_IRQL_CHANGED", "DPC routine %p returned at IRQL %d",
                           reinterpret_cast<void*>(routine), cpu.Irql);
        }
        if (cpu.HeldCount != 0) {
            VerifierReport("DPC_RETURNED_WITH_LOCK_HELD", "DPC routine %p returned holding %p",
                           reinterpret_cast<void*>(routine), static_cast<void*>(cpu.Held[0]));
        }
        cpu.Irql = PASSIVE_LEVEL;
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
            state.TimersChanged.wait_until(guard,
                                           state.Start + std::chrono::nanoseconds(when * 100));
        }
    }
}

} // namespace qvx

using qvx::CpuContext;
using qvx::CurrentCpu;
using qvx::VerifierReport;

extern "C" {

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
        VerifierReport("IRQL_RAISE_TO_LOWER", "KfRaiseIrql(%d) at IRQL %d", NewIrql, old);
        return old;
    }
    cpu.Irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    CpuContext& cpu = CurrentCpu();
    if (NewIrql > cpu.Irql) {
        VerifierReport("IRQL_LOWER_TO_HIGHER", "KfLowerIrql(%d) at IRQL %d", NewIrql, cpu.Irql);
        return;
    }
    qvx::SetIrqlAndDrain(cpu, NewIrql);
}

// ---- Spin locks -------------------------------------------------------------------------

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL old = cpu.Irql;
    if (old > DISPATCH_LEVEL) {
        VerifierReport("SPINLOCK_ACQUIRED_ABOVE_DISPATCH", "KfAcquireSpinLock(%p) at IRQL %d",
                       static_cast<void*>(SpinLock), old);
    }
    cpu.Irql = DISPATCH_LEVEL;
    qvx::AcquireLockWord(SpinLock, cpu, "KfAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    CpuContext& cpu = CurrentCpu();
    qvx::ReleaseLockWord(SpinLock, cpu, "KfReleaseSpinLock");
    if (NewIrql > cpu.Irql) {
        VerifierReport("IRQL_LOWER_TO_HIGHER", "KfReleaseSpinLock(%p, %d) at IRQL %d",
                       static_cast<void*>(SpinLock), NewIrql, cpu.Irql);
        return;
    }
    qvx::SetIrqlAndDrain(cpu, NewIrql);
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    if (cpu.Irql < DISPATCH_LEVEL) {
        VerifierReport("SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH",
                       "KefAcquireSpinLockAtDpcLevel(%p) at IRQL %d", static_cast<void*>(SpinLock),
                       cpu.Irql);
    }
    qvx::AcquireLockWord(SpinLock, cpu, "KefAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    CpuContext& cpu = CurrentCpu();
    if (cpu.Irql < DISPATCH_LEVEL) {
        VerifierReport("SPINLOCK_AT_DPC_LEVEL_BELOW_DISPATCH",
                       "KefReleaseSpinLockFromDpcLevel(%p) at IRQL %d",
                       static_cast<void*>(SpinLock), cpu.Irql);
    }
    qvx::ReleaseLockWord(SpinLock, cpu, "KefReleaseSpinLockFromDpcLevel");
}

// ---- DPCs -------------------------------------------------------------------------------

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (qvx::IsSimulated(state)) {
        for (PLIST_ENTRY e = state->DpcQueue.Flink; e != &state->DpcQueue; e = e->Flink) {
            if (e == &Dpc->DpcListEntry) {
                VerifierReport("DPC_REINITIALIZED_WHILE_QUEUED", "KeInitializeDpc(%p) while queued",
                               static_cast<void*>(Dpc));
                return;
            }
        }
    }
    Dpc->Type = 0x13;
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
        VerifierReport("NO_MACHINE", "KeInsertQueueDpc without a machine");
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
    Dpc->DpcData = &state->DpcQueue;
    InsertTailList(&state->DpcQueue, &Dpc->DpcListEntry);
    qvx::DrainDpcsIfAllowed();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        return FALSE;
    }
    std::unique_lock<std::mutex> guard(state->KernelLock, std::defer_lock);
    if (state->RealTime) {
        guard.lock();
    }
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

// ---- Timers -----------------------------------------------------------------------------

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
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
        VerifierReport("NO_MACHINE", "KeSetTimerEx without a machine");
        return FALSE;
    }
    if (CurrentCpu().Irql > DISPATCH_LEVEL) {
        VerifierReport("IRQL_TOO_HIGH", "KeSetTimerEx at IRQL %d", CurrentCpu().Irql);
    }
    if (Period < 0) {
        VerifierReport("TIMER_NEGATIVE_PERIOD", "KeSetTimerEx(%p) with period %d",
                       static_cast<void*>(Timer), Period);
        Period = 0;
    }
    std::unique_lock<std::mutex> guard(state->KernelLock, std::defer_lock);
    if (state->RealTime) {
        guard.lock();
    }
    const BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet) {
        RemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = FALSE;
    }
    Timer->Header.SignalState = 0;
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->DueTime.QuadPart =
        static_cast<ULONGLONG>(qvx::DueFromArgument(*state, qvx::NowLocked(*state), DueTime));
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
    if (CurrentCpu().Irql > DISPATCH_LEVEL) {
        VerifierReport("IRQL_TOO_HIGH", "KeCancelTimer at IRQL %d", CurrentCpu().Irql);
    }
    std::unique_lock<std::mutex> guard(state->KernelLock, std::defer_lock);
    if (state->RealTime) {
        guard.lock();
    }
    if (!Timer->Header.Inserted) {
        return FALSE;
    }
    RemoveEntryList(&Timer->TimerListEntry);
    Timer->Header.Inserted = FALSE;
    return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
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
    if (CurrentCpu().Irql > DISPATCH_LEVEL) {
        VerifierReport("IRQL_TOO_HIGH", "KeSetEvent at IRQL %d", CurrentCpu().Irql);
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
    std::unique_lock<std::mutex> guard;
    if (state != nullptr && state->RealTime) {
        guard = std::unique_lock<std::mutex>(state->KernelLock);
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
    if (!poll && cpu.Irql >= DISPATCH_LEVEL) {
        VerifierReport("WAIT_AT_DISPATCH_LEVEL", "KeWaitForSingleObject(%p) at IRQL %d", Object,
                       cpu.Irql);
        return STATUS_UNSUCCESSFUL;
    }
    if (!poll && cpu.HeldCount > 0) {
        VerifierReport("WAIT_WITH_SPINLOCK_HELD", "KeWaitForSingleObject(%p) holding lock %p",
                       Object, static_cast<void*>(cpu.Held[0]));
        return STATUS_UNSUCCESSFUL;
    }
    qvx::Machine::State* state = qvx::CurrentState();
    if (state == nullptr) {
        VerifierReport("NO_MACHINE", "KeWaitForSingleObject without a machine");
        return STATUS_UNSUCCESSFUL;
    }
    qvx::Machine& machine = state->Owner;
    if (state->RealTime) {
        std::unique_lock<std::mutex> guard(state->KernelLock);
        auto signalled = [&] { return qvx::IsSignalled(header); };
        if (Timeout == nullptr) {
            state->ObjectSignalled.wait(guard, signalled);
        } else {
            const LONGLONG now = qvx::NowLocked(*state);
            const LONGLONG deadline = Timeout->QuadPart < 0
                                          ? now - Timeout->QuadPart
                                          : Timeout->QuadPart - qvx::Machine::SystemTimeBase;
            if (!state->ObjectSignalled.wait_until(
                    guard, state->Start + std::chrono::nanoseconds(deadline * 100), signalled)) {
                return STATUS_TIMEOUT;
            }
        }
        qvx::Consume(header);
        return STATUS_SUCCESS;
    }
    if (qvx::IsSignalled(header)) {
        qvx::Consume(header);
        return STATUS_SUCCESS;
    }
    if (poll) {
        return STATUS_TIMEOUT;
    }
    if (Timeout != nullptr) {
        const LONGLONG deadline = Timeout->QuadPart < 0
                                      ? state->Now - Timeout->QuadPart
                                      : Timeout->QuadPart - qvx::Machine::SystemTimeBase;
        bool timedOut = false;
        machine.RunUntil(
            [&] {
                if (qvx::IsSignalled(header)) {
                    return true;
                }
                const LONGLONG next = machine.NextTimerDue();
                if (next < 0 || next > deadline) {
                    if (deadline > state->Now) {
                        machine.AdvanceTime(deadline - state->Now);
                    }
                    timedOut = !qvx::IsSignalled(header);
                    return true;
                }
                return false;
            },
            "KeWaitForSingleObject");
        if (timedOut) {
            return STATUS_TIMEOUT;
        }
        qvx::Consume(header);
        return STATUS_SUCCESS;
    }
    char what[96];
    snprintf(what, sizeof(what), "KeWaitForSingleObject on object %p", Object);
    machine.RunUntil([&] { return qvx::IsSignalled(header); }, what);
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
