// The threaded scheduler: one DPC queue per processor thread, waiters blocked on a condition
// variable. Processor 0 also keeps the clock on the host's monotonic clock, as the processor
// taking the clock interrupt does: it sleeps until the tick in which the first timer is due,
// expires every timer due by then in one pass and runs their DPCs itself, so that a tick costs
// the host one wake-up and one clock read per pass of DPCs, and a tick in which nothing is due
// none. The DPC queues, the timer queue and the signal states of dispatcher objects are guarded
// by one kernel lock.

#include "platform/executive/scheduler_internal.h"
#include "platform/verifier/verifier.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sched.h>
#include <thread>

namespace qvx {

namespace {

class ThreadedScheduler final : public SchedulerBase
{
  public:
    explicit ThreadedScheduler(const MachineOptions& options)
        : SchedulerBase(options), start_(std::chrono::steady_clock::now())
    {
        const unsigned count = options.Processors == 0 ? 1 : options.Processors;
        for (unsigned i = 0; i < count; ++i) {
            auto processor = std::make_unique<Processor>();
            InitializeListHead(&processor->Queue);
            processors_.push_back(std::move(processor));
        }
    }

    ~ThreadedScheduler() override { Stop(); }

    void Start() override;
    void Stop() override;
    bool Simulated() const override { return false; }

    // Several processors: another one may legitimately touch paged memory meanwhile.
    void DispatchLevelCrossed(bool) override {}
    void DpcsAllowed() override {}
    bool TakeLockWord(PKSPIN_LOCK lock, ULONG_PTR token, const char* routine) override;

    LONGLONG Now() const override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - start_)
                   .count() /
               100;
    }
    void SetTickLength(LONGLONG ticks100ns) override;
    void AdvanceTime(LONGLONG delta100ns) override
    {
        delta100ns = delta100ns < MAX_INTERVAL ? delta100ns : MAX_INTERVAL;
        std::this_thread::sleep_until(HostTimeOf(Now() + delta100ns));
    }
    bool AdvanceToNextTimer() override { return false; }

    BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) override;
    BOOLEAN RemoveQueueDpc(PRKDPC dpc) override;
    bool DpcInQueue(const KDPC* dpc) override;
    bool IsDpcQueued(const KDPC* dpc) const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return dpc->DpcData != nullptr;
    }
    size_t QueuedDpcCount() const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return queuedDpcs_;
    }
    void HoldDpcs(bool hold) override { hold_ = hold; }
    bool DpcsHeld() const override { return hold_; }
    bool RunNextDpc() override { return false; }
    bool RunDpc(PKDPC) override { return false; }
    void DrainDpcs() override { Quiesce(); }
    void Quiesce() override;

    BOOLEAN SetTimer(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const BOOLEAN wasSet = SetTimerLocked(timer, due, period, dpc);
        // The clock only needs waking when it sleeps past the new expiry.
        const LONGLONG expiry = ExpiryOf(static_cast<LONGLONG>(timer->DueTime.QuadPart));
        if (clockSleeping_ && (clockDeadline_ < 0 || expiry < clockDeadline_)) {
            processors_[0]->Wake.notify_one();
        }
        return wasSet;
    }
    BOOLEAN CancelTimer(PKTIMER timer) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return CancelTimerLocked(timer);
    }
    bool TimerInQueue(const KTIMER* timer) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return timers_.Contains(timer);
    }
    LONGLONG NextTimerDue() const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return NextTimerDueLocked();
    }
    size_t SetTimerCount() const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return timers_.Count();
    }
    ClockCounts ClockCounters() const override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return clock_;
    }

    LONG Signal(DISPATCHER_HEADER* header) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const LONG previous = header->SignalState;
        header->SignalState = 1;
        objectSignalled_.notify_all();
        return previous;
    }
    LONG Reset(DISPATCHER_HEADER* header) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const LONG previous = header->SignalState;
        header->SignalState = 0;
        return previous;
    }
    LONG ReadState(const DISPATCHER_HEADER* header) override
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return header->SignalState;
    }
    NTSTATUS Wait(DISPATCHER_HEADER* header, const LARGE_INTEGER* timeout,
                  const void* object) override;
    // Hooks are kept but never called: nothing here waits by driving the machine.
    int AddProgressHook(Machine::ProgressHook hook) override
    {
        const int id = nextHookId_++;
        hooks_.emplace_back(id, std::move(hook));
        return id;
    }
    void RemoveProgressHook(int id) override
    {
        for (auto it = hooks_.begin(); it != hooks_.end(); ++it) {
            if (it->first == id) {
                hooks_.erase(it);
                return;
            }
        }
    }
    void RunUntil(const std::function<bool()>& done, const char*) override
    {
        while (!done()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    void FreeingMemory(const char* lo, const char* hi, const char* what, const void* base) override;
    void ListSetObjects(std::vector<std::string>* timers, std::vector<std::string>* dpcs,
                        const std::function<bool(PDRIVER_OBJECT)>& charged) override;

  private:
    struct Processor
    {
        std::thread Thread;
        LIST_ENTRY Queue;
        std::condition_variable Wake;
        PKDPC RunningDpc = nullptr;
    };

    // The host clock's moment for an interrupt time, clamped (to about a century) so that the
    // conversion to nanoseconds cannot overflow.
    std::chrono::steady_clock::time_point HostTimeOf(LONGLONG time) const
    {
        constexpr LONGLONG LIMIT = 1LL << 55;
        return start_ + std::chrono::nanoseconds((time < LIMIT ? time : LIMIT) * 100);
    }
    void InsertLocked(PKDPC dpc);
    void RunProcessor(unsigned index);
    // Processor 0's clock: expires every timer due by now in one pass.
    void ExpireTimersLocked();
    // Processor 0 sleeps until the tick of the first timer, a DPC or a timer set earlier.
    void SleepAsClock(Processor& processor, std::unique_lock<std::mutex>& guard);

    const std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;                // the kernel lock
    std::condition_variable objectSignalled_; // an event or timer became signalled
    std::condition_variable dpcIdle_;
    std::vector<std::unique_ptr<Processor>> processors_;
    bool clockSleeping_ = false;
    LONGLONG clockDeadline_ = -1; // the expiry the clock sleeps until, -1: none
    bool stopping_ = false;
    unsigned nextCpu_ = 0;
    bool hold_ = false;
    std::vector<std::pair<int, Machine::ProgressHook>> hooks_;
    int nextHookId_ = 1;
};

void ThreadedScheduler::Start()
{
    for (unsigned i = 0; i < processors_.size(); ++i) {
        processors_[i]->Thread = std::thread([this, i] { RunProcessor(i); });
    }
}

void ThreadedScheduler::Stop()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        for (auto& processor : processors_) {
            processor->Wake.notify_all();
        }
    }
    for (auto& processor : processors_) {
        if (processor->Thread.joinable()) {
            processor->Thread.join();
        }
    }
}

bool ThreadedScheduler::TakeLockWord(PKSPIN_LOCK lock, ULONG_PTR token, const char*)
{
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return true;
        }
        if (++spins > 64) {
            sched_yield();
        } else {
            __builtin_ia32_pause();
        }
    }
}

void ThreadedScheduler::SetTickLength(LONGLONG ticks100ns)
{
    std::lock_guard<std::mutex> guard(mutex_);
    tick_ = ticks100ns < 0 ? 0 : ticks100ns;
    processors_[0]->Wake.notify_one();
}

void ThreadedScheduler::InsertLocked(PKDPC dpc)
{
    const int self = CurrentCpu().Cpu;
    const auto count = static_cast<unsigned>(processors_.size());
    // A targeted DPC goes to its processor; others to the current one, as on Windows (so the
    // DPCs of expired timers to the clock's processor), and those of threads that are no
    // processor are dealt out in turn.
    const unsigned cpu = dpc->Number >= TARGETED_DPC ? (dpc->Number - TARGETED_DPC) % count
                         : self >= 0                 ? static_cast<unsigned>(self)
                                                     : nextCpu_++ % count;
    Processor& processor = *processors_[cpu];
    EnqueueDpcLocked(&processor.Queue, dpc);
    // A processor queuing to itself is running, and looks at its queue before it sleeps.
    if (static_cast<int>(cpu) != self) {
        processor.Wake.notify_one();
    }
}

BOOLEAN ThreadedScheduler::InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (dpc->DpcData != nullptr) {
        return FALSE;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    InsertLocked(dpc);
    return TRUE;
}

BOOLEAN ThreadedScheduler::RemoveQueueDpc(PRKDPC dpc)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (dpc->DpcData == nullptr) {
        return FALSE;
    }
    DequeueDpcLocked(dpc);
    return TRUE;
}

bool ThreadedScheduler::DpcInQueue(const KDPC* dpc)
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& processor : processors_) {
        if (InQueue(&processor->Queue, dpc)) {
            return true;
        }
    }
    return false;
}

void ThreadedScheduler::Quiesce()
{
    std::unique_lock<std::mutex> guard(mutex_);
    auto idle = [&] {
        for (auto& processor : processors_) {
            if (!IsListEmpty(&processor->Queue) || processor->RunningDpc != nullptr) {
                return false;
            }
        }
        if (timers_.Empty()) {
            return true;
        }
        return ExpiryOf(static_cast<LONGLONG>(timers_.First()->DueTime.QuadPart)) > Now();
    };
    // A due timer is noticed by the clock, not signalled here: poll for it.
    while (!dpcIdle_.wait_for(guard, std::chrono::milliseconds(1), idle)) {
    }
}

NTSTATUS ThreadedScheduler::Wait(DISPATCHER_HEADER* header, const LARGE_INTEGER* timeout,
                                 const void*)
{
    auto signalled = [header] { return header->SignalState != 0; };
    std::unique_lock<std::mutex> guard(mutex_);
    if (timeout == nullptr) {
        objectSignalled_.wait(guard, signalled);
    } else {
        const LONGLONG deadline = DueFromArgument(Now(), timeout->QuadPart);
        if (!objectSignalled_.wait_until(guard, HostTimeOf(deadline), signalled)) {
            return STATUS_TIMEOUT;
        }
    }
    if (header->Type == SynchronizationEvent) {
        header->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

// A routine may free its own DPC object; one running on another processor is a race.
void ThreadedScheduler::FreeingMemory(const char* lo, const char* hi, const char* what,
                                      const void* base)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const int self = CurrentCpu().Cpu;
    for (size_t i = 0; i < processors_.size(); ++i) {
        const PKDPC running = processors_[i]->RunningDpc;
        ForgetQueuedDpcsLocked(&processors_[i]->Queue, lo, hi, what, base);
        const auto* at = reinterpret_cast<const char*>(running);
        if (running != nullptr && at >= lo && at < hi && static_cast<int>(i) != self) {
            VerifierReport(Rule::FREED_MEMORY_HOLDS_RUNNING_DPC,
                           "%s at %p is freed while DPC %p in it runs on processor %zu", what, base,
                           static_cast<void*>(running), i);
        }
    }
    ForgetTimersLocked(lo, hi, what, base);
}

void ThreadedScheduler::ListSetObjects(std::vector<std::string>* timers,
                                       std::vector<std::string>* dpcs,
                                       const std::function<bool(PDRIVER_OBJECT)>& charged)
{
    std::lock_guard<std::mutex> guard(mutex_);
    ListTimersLocked(timers, charged);
    for (const auto& processor : processors_) {
        ListDpcsLocked(&processor->Queue, dpcs, charged);
    }
}

void ThreadedScheduler::RunProcessor(unsigned index)
{
    CpuContext& cpu = CurrentCpu();
    cpu.Cpu = static_cast<int>(index);
    Processor& processor = *processors_[index];
    const bool clock = index == 0;
    // The clock reads the host clock again once it has run as many DPCs as were queued when it
    // last did (a pass), or found its queue empty: not between every two DPCs of a tick.
    size_t pass = 0;
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
        if (clock && !stopping_ && (pass == 0 || IsListEmpty(&processor.Queue))) {
            ExpireTimersLocked();
            pass = queuedDpcs_;
        }
        if (IsListEmpty(&processor.Queue)) {
            if (stopping_) {
                return;
            }
            if (clock) {
                SleepAsClock(processor, guard);
            } else {
                processor.Wake.wait(guard,
                                    [&] { return stopping_ || !IsListEmpty(&processor.Queue); });
            }
            continue;
        }
        PKDPC dpc = CONTAINING_RECORD(processor.Queue.Flink, KDPC, DpcListEntry);
        DequeueDpcLocked(dpc);
        if (pass > 0) {
            --pass;
        }
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
        dpcIdle_.notify_all();
    }
}

void ThreadedScheduler::ExpireTimersLocked()
{
    if (timers_.Empty()) {
        return;
    }
    const LONGLONG now = Now();
    LONGLONG expiry = 0;
    PKTIMER timer = PopDueTimerLocked(now, now, &expiry);
    if (timer == nullptr) {
        return;
    }
    ++clock_.Passes;
    do {
        if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) {
            InsertLocked(timer->Dpc);
        }
    } while ((timer = PopDueTimerLocked(now, now, &expiry)) != nullptr);
    objectSignalled_.notify_all();
}

void ThreadedScheduler::SleepAsClock(Processor& processor, std::unique_lock<std::mutex>& guard)
{
    clockDeadline_ = NextTimerDueLocked();
    clockSleeping_ = true;
    if (clockDeadline_ < 0) {
        processor.Wake.wait(guard);
    } else if (processor.Wake.wait_until(guard, HostTimeOf(clockDeadline_)) ==
               std::cv_status::timeout) {
        ++clock_.Wakeups;
    }
    clockSleeping_ = false;
}

} // namespace

std::unique_ptr<Scheduler> CreateThreadedScheduler(const MachineOptions& options)
{
    return std::make_unique<ThreadedScheduler>(options);
}

} // namespace qvx
