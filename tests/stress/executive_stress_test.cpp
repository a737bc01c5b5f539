// Real-time executive under load: caller threads and processor threads share a spin lock,
// DPCs re-queue themselves, timers are set, waited on and cancelled from every thread at once.
// Iteration counts are fixed; every figure checked is exact.

#include "support/machine_fixture.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace qvx {
namespace {

constexpr int THREADS = 4;
constexpr int ITERATIONS = 100000;
constexpr int DPC_EVERY = 8;
constexpr int TIMER_EVERY = 1000;
constexpr int REQUEUES = 2000; // re-insertions each worker's DPC makes from its own routine

struct Shared
{
    KSPIN_LOCK Lock;
    LONG Counter = 0; // guarded by Lock
    std::atomic<LONG> DpcRuns{0};
    std::atomic<LONG> Insertions{0}; // KeInsertQueueDpc calls answered TRUE
    std::atomic<LONG> TimerRuns{0};
    KDPC PeriodicDpc;
    KTIMER Periodic; // set and cancelled by every worker
};

struct Worker
{
    Shared* Common = nullptr;
    KDPC Dpc;
    std::atomic<int> Requeues{REQUEUES};
    KDPC TimerDpc;
    KTIMER Timer;
    std::atomic<LONG> TimerRuns{0};
    LONG Fired = 0; // expiries this worker knows happened
};

void IncrementLocked(Shared& shared)
{
    KefAcquireSpinLockAtDpcLevel(&shared.Lock);
    ++shared.Counter;
    KefReleaseSpinLockFromDpcLevel(&shared.Lock);
}

VOID NTAPI WorkerDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    auto* worker = static_cast<Worker*>(context);
    IncrementLocked(*worker->Common);
    ++worker->Common->DpcRuns;
    if (worker->Requeues.fetch_sub(1) > 0 && KeInsertQueueDpc(dpc, nullptr, nullptr)) {
        ++worker->Common->Insertions;
    }
}

VOID NTAPI WorkerTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* worker = static_cast<Worker*>(context);
    IncrementLocked(*worker->Common);
    ++worker->Common->TimerRuns;
    ++worker->TimerRuns;
}

VOID NTAPI PeriodicDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* shared = static_cast<Shared*>(context);
    IncrementLocked(*shared);
    ++shared->TimerRuns;
}

// Bounded spin for something a processor or the clock thread must do soon.
template <typename Condition> bool Await(Condition condition)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

void RunWorker(Worker& worker, int index)
{
    Shared& shared = *worker.Common;
    for (int i = 0; i < ITERATIONS; ++i) {
        const KIRQL old = KfAcquireSpinLock(&shared.Lock);
        ++shared.Counter;
        KfReleaseSpinLock(&shared.Lock, old);
        if (i % DPC_EVERY == 0 && KeInsertQueueDpc(&worker.Dpc, nullptr, nullptr)) {
            ++shared.Insertions;
        }
        if (i % TIMER_EVERY != 0) {
            continue;
        }
        LARGE_INTEGER nextTick;
        nextTick.QuadPart = -1;
        KeSetTimer(&worker.Timer, nextTick, &worker.TimerDpc);
        if ((i / TIMER_EVERY) % 2 == 1) {
            // Once the timer is signalled it has left the queue: cancel must answer FALSE.
            EXPECT_EQ(KeWaitForSingleObject(&worker.Timer, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            EXPECT_FALSE(KeCancelTimer(&worker.Timer));
            ++worker.Fired;
        } else if (!KeCancelTimer(&worker.Timer)) {
            ++worker.Fired; // expired before the cancel: its DPC runs
        }
        // The next setting may fire only after this one's DPC ran, or the two would coalesce.
        EXPECT_TRUE(Await([&] { return worker.TimerRuns.load() == worker.Fired; }));
        if ((i / TIMER_EVERY + index) % 2 == 0) {
            KeSetTimerEx(&shared.Periodic, nextTick, 1, &shared.PeriodicDpc);
        } else {
            KeCancelTimer(&shared.Periodic);
        }
    }
}

class ExecutiveStressTest : public SimMachineTest
{
  protected:
    ExecutiveStressTest()
    {
        Options.Mode = MachineMode::RealTime;
        Options.Processors = 2;
    }
};

// Counts add up exactly: nothing incremented under the lock is lost, every accepted DPC
// insertion runs once, every timer expiry a worker saw ran its DPC once.
void ExpectExactCounts(Machine& machine)
{
    Shared shared;
    KeInitializeSpinLock(&shared.Lock);
    KeInitializeDpc(&shared.PeriodicDpc, PeriodicDpc, &shared);
    KeInitializeTimer(&shared.Periodic);
    auto workers = std::make_unique<Worker[]>(THREADS);
    for (int i = 0; i < THREADS; ++i) {
        Worker& worker = workers[i];
        worker.Common = &shared;
        KeInitializeDpc(&worker.Dpc, WorkerDpc, &worker);
        KeInitializeDpc(&worker.TimerDpc, WorkerTimerDpc, &worker);
        KeInitializeTimer(&worker.Timer);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back(RunWorker, std::ref(workers[i]), i);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    KeCancelTimer(&shared.Periodic);
    machine.Quiesce();

    LONG fired = 0;
    for (int i = 0; i < THREADS; ++i) {
        EXPECT_EQ(workers[i].TimerRuns.load(), workers[i].Fired);
        EXPECT_GE(workers[i].Fired, ITERATIONS / TIMER_EVERY / 2);
        EXPECT_LT(workers[i].Requeues.load(), REQUEUES) << "the DPC never re-queued itself";
        fired += workers[i].Fired;
    }
    EXPECT_EQ(shared.DpcRuns.load(), shared.Insertions.load());
    EXPECT_GE(shared.TimerRuns.load(), fired);
    const KIRQL old = KfAcquireSpinLock(&shared.Lock);
    const LONG counter = shared.Counter;
    KfReleaseSpinLock(&shared.Lock, old);
    EXPECT_EQ(counter, THREADS * ITERATIONS + shared.DpcRuns + shared.TimerRuns);
    EXPECT_EQ(machine.QueuedDpcCount(), 0u);
}

TEST_F(ExecutiveStressTest, SpinLocksDpcsAndTimersKeepExactCounts)
{
    ExpectExactCounts(Sim());
}

// The same on the production machine, whose spin locks are one compare-exchange and one store.
class ProductionStressTest : public ExecutiveStressTest
{
  protected:
    ProductionStressTest() { Options.Verify = false; }
};

TEST_F(ProductionStressTest, SpinLocksDpcsAndTimersKeepExactCounts)
{
    ExpectExactCounts(Sim());
}

} // namespace
} // namespace qvx
