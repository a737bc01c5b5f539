// The simulated scheduler: everything runs on the thread that created the machine, as on a
// uniprocessor. A queued DPC runs as soon as the IRQL drops below DISPATCH_LEVEL (unless the
// test holds DPCs), timers fire only when the clock is advanced, and a wait drives the machine.
// One thread runs all of it, so nothing here takes a lock.

#include "platform/executive/scheduler_internal.h"
#include "platform/verifier/verifier.h"

#include <cstdio>

namespace qvx {

namespace {

// Consecutive rounds in which progress hooks claim progress while nothing else moves before a
// wait gives up on them.
constexpr unsigned MAX_HOOK_ROUNDS = 100000;

class SimulatedScheduler final : public SchedulerBase
{
  public:
    explicit SimulatedScheduler(const MachineOptions& options) : SchedulerBase(options)
    {
        InitializeListHead(&dpcQueue_);
    }

    void Start() override {}
    void Stop() override {}
    bool Simulated() const override { return true; }

    // One simulated processor: its IRQL alone decides whether paged memory may be touched.
    void DispatchLevelCrossed(bool raised) override
    {
        if (Pool* pool = Pool::Current()) {
            pool->PoisonPaged(raised);
        }
    }

    void DpcsAllowed() override;

    bool TakeLockWord(PKSPIN_LOCK lock, ULONG_PTR token, const char* routine) override
    {
        return TakeLockWordAlone(lock, token, routine);
    }

    LONGLONG Now() const override { return now_; }
    void SetTickLength(LONGLONG ticks100ns) override { tick_ = ticks100ns < 0 ? 0 : ticks100ns; }
    void AdvanceTime(LONGLONG delta100ns) override;
    bool AdvanceToNextTimer() override;

    BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) override;
    BOOLEAN RemoveQueueDpc(PRKDPC dpc) override;
    bool DpcInQueue(const KDPC* dpc) override { return InQueue(&dpcQueue_, dpc); }
    bool IsDpcQueued(const KDPC* dpc) const override { return dpc->DpcData != nullptr; }
    size_t QueuedDpcCount() const override { return queuedDpcs_; }
    void HoldDpcs(bool hold) override;
    bool DpcsHeld() const override { return hold_; }
    // A DPC run by hand drops the IRQL back afterwards, so what it queued runs too unless held.
    bool RunNextDpc() override { return RunDpc(nullptr); }
    bool RunDpc(PKDPC dpc) override;
    void DrainDpcs() override;
    void Quiesce() override { DrainDpcs(); }

    BOOLEAN SetTimer(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc) override
    {
        return SetTimerLocked(timer, due, period, dpc);
    }
    BOOLEAN CancelTimer(PKTIMER timer) override { return CancelTimerLocked(timer); }
    bool TimerInQueue(const KTIMER* timer) override { return timers_.Contains(timer); }
    LONGLONG NextTimerDue() const override { return NextTimerDueLocked(); }
    size_t SetTimerCount() const override { return timers_.Count(); }
    ClockCounts ClockCounters() const override { return clock_; }

    LONG Signal(DISPATCHER_HEADER* header) override
    {
        const LONG previous = header->SignalState;
        header->SignalState = 1;
        return previous;
    }
    LONG Reset(DISPATCHER_HEADER* header) override
    {
        const LONG previous = header->SignalState;
        header->SignalState = 0;
        return previous;
    }
    LONG ReadState(const DISPATCHER_HEADER* header) override { return header->SignalState; }
    NTSTATUS Wait(DISPATCHER_HEADER* header, const LARGE_INTEGER* timeout,
                  const void* object) override;
    int AddProgressHook(Machine::ProgressHook hook) override;
    void RemoveProgressHook(int id) override;
    void RunUntil(const std::function<bool()>& done, const char* what) override
    {
        Drive(done, what, -1);
    }

    void FreeingMemory(const char* lo, const char* hi, const char* what, const void* base) override
    {
        ForgetQueuedDpcsLocked(&dpcQueue_, lo, hi, what, base);
        ForgetTimersLocked(lo, hi, what, base);
    }
    void ListSetObjects(std::vector<std::string>* timers, std::vector<std::string>* dpcs,
                        const std::function<bool(PDRIVER_OBJECT)>& charged) override
    {
        ListTimersLocked(timers, charged);
        ListDpcsLocked(&dpcQueue_, dpcs, charged);
    }

  private:
    // Runs the oldest queued DPC, or `only` if it is queued; FALSE when there is none.
    bool RunOneQueuedDpc(PKDPC only);
    // Runs DPCs and progress hooks and advances time until `done` holds. With a deadline
    // (interrupt time, >= 0) it gives up when time reaches it and returns what `done` says
    // then; without one it reports a deadlock when nothing can make progress.
    bool Drive(const std::function<bool()>& done, const char* what, LONGLONG deadline);

    LONGLONG now_ = 0;
    LIST_ENTRY dpcQueue_;
    bool hold_ = false;
    std::vector<std::pair<int, Machine::ProgressHook>> hooks_;
    int nextHookId_ = 1;
};

void SimulatedScheduler::DpcsAllowed()
{
    if (hold_) {
        return;
    }
    unsigned chain = 0;
    while (CurrentCpu().Irql < DISPATCH_LEVEL && RunOneQueuedDpc(nullptr)) {
        if (++chain == MAX_DPC_CHAIN) {
            VerifierReport(Rule::DPC_LIVELOCK,
                           "%u DPCs ran in one drain without the queue emptying", chain);
            return;
        }
    }
}

bool SimulatedScheduler::RunOneQueuedDpc(PKDPC only)
{
    if (IsListEmpty(&dpcQueue_)) {
        return false;
    }
    PKDPC dpc = only;
    if (dpc == nullptr) {
        dpc = CONTAINING_RECORD(dpcQueue_.Flink, KDPC, DpcListEntry);
    } else if (dpc->DpcData != &dpcQueue_) {
        return false;
    }
    DequeueDpcLocked(dpc);
    CpuContext& cpu = CurrentCpu();
    const KIRQL before = cpu.Irql;
    CallDeferredRoutine(cpu, dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1,
                        dpc->SystemArgument2);
    SetCpuIrql(cpu, before);
    return true;
}

void SimulatedScheduler::AdvanceTime(LONGLONG delta100ns)
{
    delta100ns = delta100ns < MAX_INTERVAL ? delta100ns : MAX_INTERVAL;
    const LONGLONG target = now_ + delta100ns;
    LONGLONG expiry = 0;
    while (PKTIMER timer = PopDueTimerLocked(target, -1, &expiry)) {
        if (expiry > now_) {
            now_ = expiry;
        }
        // Simulated time jumps from one due tick to the next: each pass is a wake-up.
        ++clock_.Wakeups;
        ++clock_.Passes;
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
        } while ((timer = PopDueTimerLocked(expiry, -1, &same)) != nullptr);
        SetCpuIrql(cpu, old);
        DpcsAllowed();
    }
    now_ = target;
}

bool SimulatedScheduler::AdvanceToNextTimer()
{
    const LONGLONG due = NextTimerDue();
    if (due < 0) {
        return false;
    }
    AdvanceTime(due > now_ ? due - now_ : 0);
    return true;
}

BOOLEAN SimulatedScheduler::InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2)
{
    if (dpc->DpcData != nullptr) {
        return FALSE;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    EnqueueDpcLocked(&dpcQueue_, dpc);
    DpcsAllowed();
    return TRUE;
}

BOOLEAN SimulatedScheduler::RemoveQueueDpc(PRKDPC dpc)
{
    if (dpc->DpcData == nullptr) {
        return FALSE;
    }
    DequeueDpcLocked(dpc);
    return TRUE;
}

void SimulatedScheduler::HoldDpcs(bool hold)
{
    hold_ = hold;
    if (!hold) {
        DpcsAllowed();
    }
}

bool SimulatedScheduler::RunDpc(PKDPC dpc)
{
    if (!RunOneQueuedDpc(dpc)) {
        return false;
    }
    DpcsAllowed();
    return true;
}

void SimulatedScheduler::DrainDpcs()
{
    for (unsigned chain = 0; RunOneQueuedDpc(nullptr);) {
        if (++chain == MAX_DPC_CHAIN) {
            VerifierFatal(Rule::DPC_LIVELOCK, "DrainDpcs: %u DPCs ran without the queue emptying",
                          chain);
        }
    }
}

NTSTATUS SimulatedScheduler::Wait(DISPATCHER_HEADER* header, const LARGE_INTEGER* timeout,
                                  const void* object)
{
    const bool poll = timeout != nullptr && timeout->QuadPart == 0;
    auto signalled = [header] { return header->SignalState != 0; };
    bool satisfied = signalled();
    if (!satisfied && !poll) {
        char what[96];
        snprintf(what, sizeof(what), "KeWaitForSingleObject on object %p", object);
        // A timeout expires on a clock tick, like a timer.
        const LONGLONG deadline =
            timeout == nullptr ? -1 : ExpiryOf(DueFromArgument(now_, timeout->QuadPart));
        satisfied = Drive(signalled, what, deadline);
    }
    if (!satisfied) {
        return STATUS_TIMEOUT;
    }
    if (header->Type == SynchronizationEvent) {
        header->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

bool SimulatedScheduler::Drive(const std::function<bool()>& done, const char* what,
                               LONGLONG deadline)
{
    const LONGLONG start = now_;
    unsigned hookRounds = 0;
    unsigned chain = 0;
    for (;;) {
        if (done()) {
            return true;
        }
        if (!hold_ && CurrentCpu().Irql < DISPATCH_LEVEL && RunOneQueuedDpc(nullptr)) {
            if (++chain == MAX_DPC_CHAIN) {
                VerifierFatal(Rule::DPC_LIVELOCK, "%s: %u DPCs ran without the queue emptying",
                              what, chain);
            }
            continue;
        }
        chain = 0;
        bool progress = false;
        for (size_t i = 0; i < hooks_.size(); ++i) {
            const Machine::ProgressHook hook = hooks_[i].second; // it may remove itself
            progress = hook() || progress;
        }
        if (progress && ++hookRounds < MAX_HOOK_ROUNDS) {
            continue;
        }
        hookRounds = 0;
        const LONGLONG due = NextTimerDue();
        if (deadline >= 0 && (due < 0 || due > deadline)) {
            if (deadline > now_) {
                AdvanceTime(deadline - now_);
            }
            return done();
        }
        if (due >= 0 && (deadline >= 0 || due - start <= options_.WaitTimeLimit)) {
            AdvanceToNextTimer();
            continue;
        }
        const char* why = "no DPC, no progress hook and no timer can make progress";
        if (progress) {
            why = "progress hooks keep claiming progress but nothing changes";
        } else if (queuedDpcs_ > 0) {
            why = "the DPCs that could make progress are held or the IRQL is too high";
        } else if (due >= 0) {
            why = "only timers are left and the wait time limit is reached";
        }
        VerifierFatal(Rule::DEADLOCK, "%s can never be satisfied: %s (simulated time %lld ms)",
                      what, why, static_cast<long long>(now_ / 10000));
    }
}

int SimulatedScheduler::AddProgressHook(Machine::ProgressHook hook)
{
    const int id = nextHookId_++;
    hooks_.emplace_back(id, std::move(hook));
    return id;
}

void SimulatedScheduler::RemoveProgressHook(int id)
{
    for (auto it = hooks_.begin(); it != hooks_.end(); ++it) {
        if (it->first == id) {
            hooks_.erase(it);
            return;
        }
    }
}

} // namespace

std::unique_ptr<Scheduler> CreateSimulatedScheduler(const MachineOptions& options)
{
    return std::make_unique<SimulatedScheduler>(options);
}

} // namespace qvx
