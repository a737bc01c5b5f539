// The kernel routines of the executive: IRQL, spin locks, DPCs, timers, events and waits,
// system time. Each checks what it is given and hands the work to the machine's scheduler
// (platform/executive/executive.h), which is simulated or threaded; none asks which, but the
// production machine's spin locks, which take their lock word themselves.

#include "platform/executive/scheduler_internal.h"
#include "platform/verifier/verifier.h"

#include <atomic>

#include <sched.h>

namespace qvx {

namespace {

std::atomic<ULONG_PTR> g_nextToken{1};
// The machine is simulated: one processor, so a lock word held by another owner is a deadlock
// and taking a free one needs no atomic exchange.
std::atomic<bool> g_simulated{true};

// What a production machine's lock paths keep of the verifier: a processor that takes a lock it
// holds already, or finds a lock held on the single simulated processor, never gets it.
[[gnu::cold, gnu::noinline]] void TakeContendedLockWord(PKSPIN_LOCK lock, const CpuContext& cpu,
                                                        const char* routine)
{
    if (g_simulated.load(std::memory_order_relaxed)) {
        VerifierFatal(Rule::SPINLOCK_DEADLOCK, "%s: lock %p is held by %s", routine,
                      static_cast<void*>(lock),
                      __atomic_load_n(lock, __ATOMIC_RELAXED) == cpu.Token
                          ? "this processor already"
                          : "another owner on a uniprocessor");
    }
    for (unsigned spins = 1;; ++spins) {
        ULONG_PTR expected = __atomic_load_n(lock, __ATOMIC_RELAXED);
        if (expected == cpu.Token) {
            VerifierFatal(Rule::SPINLOCK_RECURSION, "%s: lock %p is already held by this processor",
                          routine, static_cast<void*>(lock));
        }
        if (expected == 0 && __atomic_compare_exchange_n(lock, &expected, cpu.Token, false,
                                                         __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        if (spins > 64) {
            sched_yield();
        } else {
            __builtin_ia32_pause();
        }
    }
}

// One compare-exchange on the real-time machine; a load and a store on the simulated one, whose
// single processor nobody races.
inline void TakeLockWordFast(PKSPIN_LOCK lock, const CpuContext& cpu, const char* routine)
{
    if (g_simulated.load(std::memory_order_relaxed)) {
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0) {
            __atomic_store_n(lock, cpu.Token, __ATOMIC_RELAXED);
            return;
        }
    } else {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, cpu.Token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
    }
    TakeContendedLockWord(lock, cpu, routine);
}

[[gnu::cold, gnu::noinline]] void ReleaseForeignLockWord(PKSPIN_LOCK lock, const char* routine)
{
    VerifierFatal(Rule::SPINLOCK_NOT_OWNER, "%s: lock %p is not held by this processor", routine,
                  static_cast<void*>(lock));
}

// One store; a release by a processor that does not hold the lock would let two in at once.
inline void ReleaseLockWordFast(PKSPIN_LOCK lock, const CpuContext& cpu, const char* routine)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != cpu.Token) {
        ReleaseForeignLockWord(lock, routine);
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

HeldLocks HeldBy(const CpuContext& cpu)
{
    return {cpu.Held, cpu.HeldCount};
}

void PushHeld(CpuContext& cpu, PKSPIN_LOCK lock)
{
    if (cpu.HeldCount < CpuContext::MAX_HELD) {
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

void AcquireLockWord(PKSPIN_LOCK lock, CpuContext& cpu, const char* routine)
{
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (!OnLockTaking(lock, owner, cpu.Token, HeldBy(cpu), routine)) {
        return;
    }
    Scheduler* scheduler = Scheduler::Current();
    const bool taken = scheduler != nullptr ? scheduler->TakeLockWord(lock, cpu.Token, routine)
                                            : TakeLockWordAlone(lock, cpu.Token, routine);
    if (!taken) {
        return;
    }
    OnLockTaken(lock, HeldBy(cpu), routine);
    PushHeld(cpu, lock);
}

void ReleaseLockWord(PKSPIN_LOCK lock, CpuContext& cpu, const char* routine)
{
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (!OnLockReleasing(lock, owner, cpu.Token, routine)) {
        return;
    }
    PopHeld(cpu, lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Lowers the IRQL and, below DISPATCH_LEVEL, lets the processor run the DPCs that became
// runnable.
void SetIrqlAndDrain(CpuContext& cpu, KIRQL irql, const char* routine)
{
    SetCpuIrql(cpu, irql);
    if (irql < DISPATCH_LEVEL) {
        OnIrqlLowered(irql, HeldBy(cpu), routine);
        if (Scheduler* scheduler = Scheduler::Current()) {
            scheduler->DpcsAllowed();
        }
    }
}

// The production machine's lowering: only the simulated processor runs DPCs when the IRQL drops.
void LowerIrqlFast(CpuContext& cpu, KIRQL irql)
{
    SetCpuIrql(cpu, irql);
    if (irql < DISPATCH_LEVEL && g_simulated.load(std::memory_order_relaxed)) {
        if (Scheduler* scheduler = Scheduler::Current()) {
            scheduler->DpcsAllowed();
        }
    }
}

} // namespace

void SetLiveGeneration(unsigned generation, bool simulated)
{
    g_simulated.store(simulated, std::memory_order_relaxed);
    g_liveGeneration.store(generation, std::memory_order_relaxed);
}

CpuContext& RenewCpu(CpuContext& context)
{
    if (context.Token == 0) {
        context.Token = g_nextToken.fetch_add(1);
    }
    const unsigned generation = g_liveGeneration.load(std::memory_order_relaxed);
    if (generation != 0 && context.Generation != generation) {
        // A new machine: this thread starts at PASSIVE_LEVEL holding nothing.
        const ULONG_PTR token = context.Token;
        const int cpu = context.Cpu;
        context = CpuContext();
        context.Token = token;
        context.Cpu = cpu;
        context.Generation = generation;
    }
    return context;
}

void SetCpuIrql(CpuContext& cpu, KIRQL irql)
{
    if (PAGED_POOL_POISONING && VerifierOn()) {
        const bool raised = irql >= DISPATCH_LEVEL;
        const bool crossed = raised != (cpu.Irql >= DISPATCH_LEVEL);
        cpu.Irql = irql;
        Scheduler* scheduler = crossed ? Scheduler::Current() : nullptr;
        if (scheduler != nullptr) {
            scheduler->DispatchLevelCrossed(raised);
        }
    } else {
        cpu.Irql = irql;
    }
}

bool TakeLockWordAlone(PKSPIN_LOCK lock, ULONG_PTR token, const char* routine)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
        OnLockDeadlock(lock, routine);
        return false;
    }
    __atomic_store_n(lock, token, __ATOMIC_RELAXED);
    return true;
}

} // namespace qvx

using qvx::CpuContext;
using qvx::CurrentCpu;
using qvx::Rule;
using qvx::Scheduler;
using qvx::VerifierReport;

extern "C" {

BOOLEAN QvxSpinLockHeldByCaller(PKSPIN_LOCK SpinLock)
{
    const CpuContext& cpu = CurrentCpu();
    if (!qvx::VerifierOn()) {
        // No list of held locks: the lock word names its owner.
        return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == cpu.Token ? TRUE : FALSE;
    }
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
    if (!qvx::VerifierOn()) {
        if (old < DISPATCH_LEVEL) {
            qvx::SetCpuIrql(cpu, DISPATCH_LEVEL);
        }
        qvx::TakeLockWordFast(SpinLock, cpu, "KfAcquireSpinLock");
        return old;
    }
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
    if (!qvx::VerifierOn()) {
        qvx::ReleaseLockWordFast(SpinLock, cpu, "KfReleaseSpinLock");
        if (NewIrql < cpu.Irql) {
            qvx::LowerIrqlFast(cpu, NewIrql);
        }
        return;
    }
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
    if (!qvx::VerifierOn()) {
        qvx::TakeLockWordFast(SpinLock, cpu, "KefAcquireSpinLockAtDpcLevel");
        return;
    }
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
    if (!qvx::VerifierOn()) {
        qvx::ReleaseLockWordFast(SpinLock, cpu, "KefReleaseSpinLockFromDpcLevel");
        return;
    }
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
    Scheduler* scheduler = Scheduler::Current();
    // The object's own fields are not trusted before initialisation: search the queues.
    if (scheduler != nullptr && scheduler->DpcInQueue(Dpc)) {
        VerifierReport(Rule::DPC_REINITIALIZED_WHILE_QUEUED, "KeInitializeDpc(%p) while queued",
                       static_cast<void*>(Dpc));
        return;
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
    qvx::NoteDpcOwner(Dpc);
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeInsertQueueDpc without a machine");
        return FALSE;
    }
    if (Dpc->Type != qvx::DPC_TYPE) {
        VerifierReport(Rule::DPC_NOT_INITIALIZED,
                       "KeInsertQueueDpc(%p) of an object never initialised",
                       static_cast<void*>(Dpc));
        return FALSE;
    }
    return scheduler->InsertQueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    Scheduler* scheduler = Scheduler::Current();
    return scheduler != nullptr ? scheduler->RemoveQueueDpc(Dpc) : FALSE;
}

// Returns once every DPC queued before the call has run. Simulated mode runs them now, held
// or not; real-time mode waits for the processor threads.
VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr) {
        return;
    }
    // PASSIVE_LEVEL only; at DISPATCH_LEVEL or above it could not wait at all.
    if (!qvx::CheckIrqlCeiling("KeFlushQueuedDpcs") && CurrentCpu().Irql >= DISPATCH_LEVEL) {
        return;
    }
    scheduler->DrainDpcs();
}

// ---- Timers -----------------------------------------------------------------------------

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler != nullptr && scheduler->TimerInQueue(Timer)) {
        VerifierReport(Rule::TIMER_REINITIALIZED_WHILE_SET, "KeInitializeTimerEx(%p) while set",
                       static_cast<void*>(Timer));
        return;
    }
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type =
        static_cast<UCHAR>(Type == SynchronizationTimer ? SynchronizationEvent : NotificationEvent);
    qvx::NoteTimerOwner(Timer);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeSetTimerEx without a machine");
        return FALSE;
    }
    qvx::CheckIrqlCeiling("KeSetTimerEx");
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
    return scheduler->SetTimer(Timer, DueTime.QuadPart, Period, Dpc);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr) {
        return FALSE;
    }
    qvx::CheckIrqlCeiling("KeCancelTimer");
    return scheduler->CancelTimer(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    Scheduler* scheduler = Scheduler::Current();
    const LONG state =
        scheduler != nullptr ? scheduler->ReadState(&Timer->Header) : Timer->Header.SignalState;
    return state != 0;
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
    Scheduler* scheduler = Scheduler::Current();
    qvx::CheckIrqlCeiling("KeSetEvent");
    if (scheduler != nullptr) {
        return scheduler->Signal(&Event->Header);
    }
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    Scheduler* scheduler = Scheduler::Current();
    qvx::CheckIrqlCeiling("KeResetEvent");
    if (scheduler != nullptr) {
        return scheduler->Reset(&Event->Header);
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
    Scheduler* scheduler = Scheduler::Current();
    return scheduler != nullptr ? scheduler->ReadState(&Event->Header) : Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
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
    Scheduler* scheduler = Scheduler::Current();
    if (scheduler == nullptr) {
        VerifierReport(Rule::NO_MACHINE, "KeWaitForSingleObject without a machine");
        return STATUS_UNSUCCESSFUL;
    }
    return scheduler->Wait(static_cast<DISPATCHER_HEADER*>(Object), Timeout, Object);
}

// ---- Time -------------------------------------------------------------------------------

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    Scheduler* scheduler = Scheduler::Current();
    return scheduler != nullptr ? static_cast<ULONGLONG>(scheduler->Now()) : 0;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    Scheduler* scheduler = Scheduler::Current();
    LONGLONG now = scheduler != nullptr ? scheduler->Now() : 0;
    const LONGLONG tick = scheduler != nullptr ? scheduler->TickLength() : 0;
    if (tick > 0) {
        now -= now % tick; // the system time moves once per clock tick
    }
    CurrentTime->QuadPart = qvx::Machine::SYSTEM_TIME_BASE + now;
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    Scheduler* scheduler = Scheduler::Current();
    return scheduler != nullptr ? static_cast<ULONG>(scheduler->TickLength()) : 0;
}

} // extern "C"
