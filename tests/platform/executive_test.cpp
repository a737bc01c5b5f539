// Pins the executive to the kernel's behaviour: when DPCs run, what timers answer, how waits
// drive the simulated machine, pool accounting and fault injection, real-time DPC delivery.

#include "support/machine_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace qvx {
namespace {

LARGE_INTEGER Due(LONGLONG value)
{
    LARGE_INTEGER due;
    due.QuadPart = value;
    return due;
}

LARGE_INTEGER InMs(LONGLONG ms)
{
    return Due(-ms * 10000);
}

// A pool tag written as a debugger displays it (memory order).
constexpr ULONG Tag(const char (&name)[5])
{
    return static_cast<ULONG>(name[0]) | static_cast<ULONG>(name[1]) << 8 |
           static_cast<ULONG>(name[2]) << 16 | static_cast<ULONG>(name[3]) << 24;
}

// A DPC that records each run; it can re-queue itself, re-arm a timer and set an event.
struct Probe
{
    Probe() { KeInitializeDpc(&Dpc, Routine, this); }

    static VOID NTAPI Routine(PKDPC dpc, PVOID context, PVOID argument1, PVOID)
    {
        auto* probe = static_cast<Probe*>(context);
        EXPECT_FALSE(probe->Running) << "a DPC ran nested inside itself";
        probe->Running = true;
        probe->At.push_back(Machine::Current().Now());
        probe->Arguments.push_back(argument1);
        probe->Irqls.push_back(KeGetCurrentIrql());
        if (probe->Log != nullptr) {
            probe->Log->push_back(probe->Name);
        }
        if (probe->Requeues > 0) {
            --probe->Requeues;
            EXPECT_TRUE(KeInsertQueueDpc(dpc, argument1, nullptr));
        }
        if (probe->Rearm != nullptr) {
            KeSetTimer(probe->Rearm, Due(-1), dpc);
        }
        if (probe->Event != nullptr) {
            KeSetEvent(probe->Event, IO_NO_INCREMENT, FALSE);
        }
        for (PKTIMER timer : probe->Cancel) {
            probe->Cancelled.push_back(KeCancelTimer(timer));
        }
        probe->Running = false;
    }

    int Runs() const { return static_cast<int>(At.size()); }

    KDPC Dpc;
    std::vector<LONGLONG> At; // interrupt time of each run
    std::vector<PVOID> Arguments;
    std::vector<KIRQL> Irqls;
    bool Running = false;
    int Requeues = 0;
    PKTIMER Rearm = nullptr;
    PKEVENT Event = nullptr;
    std::string* Log = nullptr;
    char Name = '?';
    std::vector<PKTIMER> Cancel; // cancelled by each run, results in Cancelled
    std::vector<BOOLEAN> Cancelled;
};

std::vector<LONGLONG> Ms(std::initializer_list<LONGLONG> ms)
{
    std::vector<LONGLONG> times;
    for (LONGLONG m : ms) {
        times.push_back(m * 10000);
    }
    return times;
}

using DpcTest = SimMachineTest;
using TimerTest = SimMachineTest;
using WaitTest = SimMachineTest;
using PoolTest = SimMachineTest;

// A second insertion while queued is refused and does not replace the first one's arguments.
TEST_F(DpcTest, InsertedTwiceRunsOnceWithTheFirstArguments)
{
    Probe probe;
    int first = 0;
    int second = 0;
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Dpc, &first, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.Dpc, &second, nullptr));
    EXPECT_EQ(Sim().QueuedDpcCount(), 1u);
    EXPECT_EQ(probe.Runs(), 0);
    KfLowerIrql(old);
    ASSERT_EQ(probe.Runs(), 1);
    EXPECT_EQ(probe.Arguments[0], &first);
    EXPECT_EQ(probe.Irqls[0], DISPATCH_LEVEL);
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.Dpc));
}

// Queued DPCs run exactly when the IRQL drops below DISPATCH_LEVEL, and no sooner.
TEST_F(DpcTest, RunWhenTheIrqlDropsBelowDispatch)
{
    Probe probe;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr);
    EXPECT_EQ(probe.Runs(), 1) << "inserted at PASSIVE_LEVEL it runs before the call returns";

    KIRQL old = KfAcquireSpinLock(&lock);
    KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr);
    KefReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(probe.Runs(), 1) << "still at DISPATCH_LEVEL";
    KfLowerIrql(old);
    EXPECT_EQ(probe.Runs(), 2);

    old = KfAcquireSpinLock(&lock);
    KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr);
    EXPECT_EQ(probe.Runs(), 2);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(probe.Runs(), 3);
}

// The object leaves the queue before its routine runs, so the routine can queue it again; the
// new run follows the current one instead of nesting inside it.
TEST_F(DpcTest, RoutineRequeuesItselfAndRunsAgainAfterReturning)
{
    Probe probe;
    probe.Requeues = 2;
    KeInsertQueueDpc(&probe.Dpc, nullptr, nullptr);
    EXPECT_EQ(probe.Runs(), 3);
}

// Held DPCs wait for the test, which may run them in any order or drop one.
TEST_F(DpcTest, HeldDpcsRunOnlyWhenReleasedOrRunByHand)
{
    std::string log;
    Probe a, b, c;
    a.Log = b.Log = c.Log = &log;
    a.Name = 'a';
    b.Name = 'b';
    c.Name = 'c';
    Sim().HoldDpcs(true);
    for (Probe* probe : {&a, &b, &c}) {
        EXPECT_TRUE(KeInsertQueueDpc(&probe->Dpc, nullptr, nullptr));
    }
    EXPECT_EQ(log, "");
    EXPECT_TRUE(Sim().RunDpc(&c.Dpc));
    EXPECT_FALSE(Sim().RunDpc(&c.Dpc)) << "no longer queued";
    EXPECT_TRUE(KeRemoveQueueDpc(&b.Dpc));
    EXPECT_TRUE(Sim().RunNextDpc());
    EXPECT_EQ(log, "ca");
    EXPECT_FALSE(Sim().RunNextDpc());
    KeInsertQueueDpc(&b.Dpc, nullptr, nullptr);
    KeInsertQueueDpc(&c.Dpc, nullptr, nullptr);
    EXPECT_EQ(log, "ca");
    Sim().HoldDpcs(false);
    EXPECT_EQ(log, "cabc");
}

// A periodic timer fires on the simulated clock at each period and stays set until cancelled.
TEST_F(TimerTest, PeriodicTimerFiresEveryPeriodUntilCancelled)
{
    Probe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimerEx(&timer, InMs(20), 20, &probe.Dpc));
    Sim().AdvanceMs(65);
    EXPECT_EQ(probe.At, Ms({20, 40, 60}));
    EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays in the queue after firing";
    Sim().AdvanceMs(100);
    EXPECT_EQ(probe.Runs(), 3);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

// Re-arming replaces the earlier setting and its DPC; cancel answers TRUE only before a
// one-shot timer expired.
TEST_F(TimerTest, CancelAnswersTrueBeforeAndFalseAfterOneShotExpiry)
{
    Probe first, second;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, InMs(10), &first.Dpc));
    Sim().AdvanceMs(5);
    EXPECT_TRUE(KeSetTimer(&timer, InMs(10), &second.Dpc));
    Sim().AdvanceMs(9);
    EXPECT_TRUE(KeCancelTimer(&timer));
    Sim().AdvanceMs(20);
    EXPECT_EQ(first.Runs() + second.Runs(), 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));

    EXPECT_FALSE(KeSetTimer(&timer, InMs(10), &second.Dpc));
    Sim().AdvanceMs(10);
    EXPECT_EQ(second.At, Ms({44}));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(first.Runs(), 0);
}

// Every timer due in a tick expires before any of their DPCs runs: a DPC cancelling a timer
// of the same tick gets FALSE and that timer's DPC still runs; one due a tick later is
// still in the queue and is taken out.
TEST_F(TimerTest, TimersOfOneTickExpireBeforeTheirDpcsRun)
{
    std::string log;
    Probe a, b, c;
    a.Log = b.Log = c.Log = &log;
    a.Name = 'a';
    b.Name = 'b';
    c.Name = 'c';
    KTIMER ta, tb, tc;
    KeInitializeTimer(&ta);
    KeInitializeTimer(&tb);
    KeInitializeTimer(&tc);
    a.Cancel = {&tb, &tc};
    KeSetTimer(&ta, Due(-49000), &a.Dpc); // 4.9 ms: expires first, at the 5 ms tick
    KeSetTimer(&tb, InMs(5), &b.Dpc);
    KeSetTimer(&tc, InMs(6), &c.Dpc);
    Sim().AdvanceMs(10);
    EXPECT_EQ(log, "ab");
    EXPECT_EQ(a.Cancelled, (std::vector<BOOLEAN>{FALSE, TRUE}));
    EXPECT_EQ(b.At, Ms({5}));
    const Machine::ClockCounts clock = Sim().ClockCounters();
    EXPECT_EQ(clock.Passes, 1u);
    EXPECT_EQ(clock.Expiries, 2u);
}

// Timers of one tick expire in due order, equal due times in the order they were set, however
// they were set and cancelled around each other (first and last of a due time, set before,
// between and after others).
TEST_F(TimerTest, TimersOfOneTickExpireInDueOrderTiesInSettingOrder)
{
    std::string log;
    struct Set
    {
        Probe Dpc;
        KTIMER Timer;
    };
    std::map<char, Set> timers;
    auto set = [&](char name, LONGLONG at) {
        Set& t = timers[name];
        t.Dpc.Name = name;
        t.Dpc.Log = &log;
        KeInitializeTimer(&t.Timer);
        KeSetTimer(&t.Timer, Due(Machine::SYSTEM_TIME_BASE + at), &t.Dpc.Dpc);
    };
    set('a', 9000);
    set('b', 5000);
    set('c', 9000);
    set('d', 8500);
    set('e', 5000);
    set('f', 3000);
    set('g', 8300);
    for (char name : {'g', 'e', 'c', 'f', 'b'}) {
        EXPECT_TRUE(KeCancelTimer(&timers[name].Timer)) << name;
    }
    set('h', 4000);
    set('c', 4000);
    set('i', 8600);
    set('k', 9500);
    set('l', 8500);
    Sim().AdvanceMs(1);
    EXPECT_EQ(log, "hcdliak");
    EXPECT_EQ(Sim().SetTimerCount(), 0u);
}

// -1, an absolute time already past and 0 all mean "at the next clock tick"; a DPC that
// re-arms its own timer keeps firing within one AdvanceTime.
TEST_F(TimerTest, ShortestDueTimesFireAtTheNextTick)
{
    Sim().AdvanceTime(3000); // between two ticks
    Probe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Due(-1), &probe.Dpc);
    EXPECT_EQ(Sim().NextTimerDue(), 10000);
    Sim().AdvanceTime(7000);
    EXPECT_EQ(probe.At, Ms({1}));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeSetTimer(&timer, Due(now.QuadPart - 10000000), &probe.Dpc);
    EXPECT_EQ(Sim().NextTimerDue(), 20000);
    EXPECT_TRUE(KeSetTimer(&timer, Due(0), &probe.Dpc));
    EXPECT_EQ(Sim().NextTimerDue(), 20000);
    KeSetTimer(&timer, Due(now.QuadPart + 30000), &probe.Dpc);
    EXPECT_EQ(Sim().NextTimerDue(), 40000) << "a future absolute time is kept";

    probe.At.clear();
    KeSetTimer(&timer, Due(-1), &probe.Dpc);
    probe.Rearm = &timer;
    Sim().AdvanceMs(3);
    EXPECT_EQ(probe.At, Ms({2, 3, 4}));
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// A periodic DPC still queued from the previous period absorbs the next expiries; a period
// shorter than the tick fires once per tick, not in bursts.
TEST_F(TimerTest, PeriodicExpiriesCoalesceAndNeverBurst)
{
    Probe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    Sim().HoldDpcs(true);
    KeSetTimerEx(&timer, InMs(10), 10, &probe.Dpc);
    Sim().AdvanceMs(35);
    EXPECT_EQ(Sim().QueuedDpcCount(), 1u);
    Sim().HoldDpcs(false);
    EXPECT_EQ(probe.At, Ms({35}));
    EXPECT_TRUE(KeCancelTimer(&timer));

    probe.At.clear();
    Sim().SetTickLength(156250);
    const LONGLONG start = Sim().Now();
    KeSetTimerEx(&timer, InMs(1), 1, &probe.Dpc);
    Sim().AdvanceTime(4 * 156250);
    ASSERT_EQ(probe.Runs(), 4);
    for (LONGLONG at : probe.At) {
        EXPECT_EQ(at % 156250, 0);
        EXPECT_GT(at, start);
    }
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// System time moves in whole ticks; interrupt time moves with every step.
TEST_F(TimerTest, SystemTimeMovesOncePerTick)
{
    LARGE_INTEGER time;
    KeQuerySystemTime(&time);
    EXPECT_EQ(time.QuadPart, Machine::SYSTEM_TIME_BASE);
    Sim().AdvanceTime(9999);
    KeQuerySystemTime(&time);
    EXPECT_EQ(time.QuadPart, Machine::SYSTEM_TIME_BASE);
    EXPECT_EQ(KeQueryInterruptTime(), 9999u);
    Sim().AdvanceTime(1);
    KeQuerySystemTime(&time);
    EXPECT_EQ(time.QuadPart, Machine::SYSTEM_TIME_BASE + 10000);
    EXPECT_EQ(KeQueryTimeIncrement(), 10000u);
}

// A wait advances the clock to the timer whose DPC satisfies it, and consumes a
// synchronization event.
TEST_F(WaitTest, WaitDrivenByTimerDpcReturnsAtItsDueTime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Probe probe;
    probe.Event = &event;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, InMs(30), &probe.Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Sim().NowMs(), 30);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// A timeout expires at its time without firing later timers; a progress hook that satisfies
// the wait is given its chance before the timeout.
TEST_F(WaitTest, TimeoutExpiresOnTheClockUnlessSomethingSatisfiesTheWait)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Probe late;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, InMs(50), &late.Dpc);
    LARGE_INTEGER timeout = Due(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(Sim().Now(), 0);
    timeout = InMs(10);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(Sim().NowMs(), 10);
    EXPECT_EQ(late.Runs(), 0);

    const int hook = Sim().AddProgressHook([&] { return KeSetEvent(&event, 0, FALSE) == 0; });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    Sim().RemoveProgressHook(hook);
    EXPECT_EQ(Sim().NowMs(), 10);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "a notification event stays signalled";
    EXPECT_TRUE(KeCancelTimer(&timer));
}

class WaitDeathTest : public SimMachineTest
{
  protected:
    WaitDeathTest() { Options.WaitTimeLimit = 1000 * 10000; }
};

// A wait nothing can satisfy ends the test with a deadlock report instead of hanging, also
// while a periodic timer keeps the clock busy.
TEST_F(WaitDeathTest, WaitNothingCanSatisfyIsReportedAsDeadlock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "DEADLOCK: KeWaitForSingleObject");
    Probe probe;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimerEx(&timer, InMs(100), 100, &probe.Dpc);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "DEADLOCK: KeWaitForSingleObject");
    KeCancelTimer(&timer);
}

// Fault injection fails exactly the chosen allocations; accounting follows every block.
TEST_F(PoolTest, FaultInjectionAndAccounting)
{
    const ULONG exec = Tag("Exec");
    const ULONG other = Tag("Othr");
    const ULONG before = Sim().AllocationCount();
    Sim().FailNthAllocation(3);
    void* blocks[4];
    for (int i = 0; i < 4; ++i) {
        blocks[i] = ExAllocatePoolWithTag(NonPagedPool, 10 * (i + 1), exec);
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[0]) % 8, 0u);

    Sim().FailAllocationsWithTag(other);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, other), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, other), nullptr);
    void* kept = ExAllocatePoolWithTag(PagedPool, 8, exec);
    EXPECT_NE(kept, nullptr);
    Sim().FailAllocationsWithTag(0);
    void* late = ExAllocatePoolWithTag(NonPagedPool, 5, other);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(Sim().AllocationCount(), before + 8);

    EXPECT_EQ(Sim().OutstandingBlocks(exec), 4u);
    EXPECT_EQ(Sim().OutstandingBytes(exec), 10u + 20u + 40u + 8u);
    EXPECT_EQ(Sim().OutstandingBlocks(), 5u);
    EXPECT_NE(Sim().PoolReport().find("tag 'Exec': 4 block(s), 78 byte(s)"), std::string::npos)
        << Sim().PoolReport();
    for (void* block : {blocks[0], blocks[1], blocks[3], kept}) {
        ExFreePoolWithTag(block, exec);
    }
    ExFreePoolWithTag(late, other);
    EXPECT_EQ(Sim().PoolReport(), "");
}

class RealTimeTest : public SimMachineTest
{
  protected:
    RealTimeTest() { Options.Mode = MachineMode::RealTime; }
};

struct Sighting
{
    std::atomic<bool> CallerReturned{false};
    bool SawCallerReturn = false;
    std::thread::id Thread;
    KIRQL Irql = PASSIVE_LEVEL;
    KEVENT Done;
};

VOID NTAPI RecordSighting(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* sighting = static_cast<Sighting*>(context);
    sighting->Thread = std::this_thread::get_id();
    sighting->Irql = KeGetCurrentIrql();
    // Only a DPC running beside the caller can see the insertion return.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!sighting->CallerReturned && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
    }
    sighting->SawCallerReturn = sighting->CallerReturned;
    KeSetEvent(&sighting->Done, IO_NO_INCREMENT, FALSE);
}

// In real time a DPC runs on a processor thread at DISPATCH_LEVEL while its inserter goes on.
TEST_F(RealTimeTest, DpcRunsOnAProcessorThreadBesideTheCaller)
{
    Sighting sighting;
    KeInitializeEvent(&sighting.Done, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordSighting, &sighting);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    sighting.CallerReturned = true;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&sighting.Done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(sighting.SawCallerReturn);
    EXPECT_NE(sighting.Thread, std::this_thread::get_id());
    EXPECT_EQ(sighting.Irql, DISPATCH_LEVEL);
}

VOID NTAPI SetEventDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

// In real time the clock fires timers and waits block until signalled or timed out.
TEST_F(RealTimeTest, TimerDpcSatisfiesAWaitAndTimeoutsExpire)
{
    KEVENT fired, never;
    KeInitializeEvent(&fired, SynchronizationEvent, FALSE);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, SetEventDpc, &fired);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, InMs(2), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(KeCancelTimer(&timer));
    LARGE_INTEGER timeout = InMs(2);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
}

struct TickRun
{
    static constexpr int TIMERS = 16;
    KTIMER Timers[TIMERS];
    KDPC Dpcs[TIMERS];
    std::vector<int> Order;               // written by the DPCs only
    std::vector<std::thread::id> Threads; // likewise
    KEVENT Done;
};

VOID NTAPI RecordTick(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    auto* run = static_cast<TickRun*>(context);
    run->Order.push_back(static_cast<int>(dpc - run->Dpcs));
    run->Threads.push_back(std::this_thread::get_id());
    if (run->Order.size() == TickRun::TIMERS) {
        KeSetEvent(&run->Done, IO_NO_INCREMENT, FALSE);
    }
}

// The timers due in one tick cost the clock one wake-up and one pass, and their DPCs run in
// due-time order on one processor; a periodic timer wakes the clock only in the ticks it is
// due in.
TEST_F(RealTimeTest, TimersOfOneTickCostOneWakeUpAndTheirDpcsRunInOrder)
{
    TickRun run;
    KeInitializeEvent(&run.Done, NotificationEvent, FALSE);
    const LONGLONG tick = Sim().TickLength();
    const LONGLONG end = (Sim().Now() / tick + 30) * tick;
    // Set latest first: the order is the due times', not the setting's.
    for (int i = TickRun::TIMERS - 1; i >= 0; --i) {
        KeInitializeDpc(&run.Dpcs[i], RecordTick, &run);
        KeInitializeTimer(&run.Timers[i]);
        KeSetTimer(&run.Timers[i], Due(Machine::SYSTEM_TIME_BASE + end - tick + 1 + i),
                   &run.Dpcs[i]);
    }
    const Machine::ClockCounts before = Sim().ClockCounters();
    EXPECT_EQ(KeWaitForSingleObject(&run.Done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    const Machine::ClockCounts after = Sim().ClockCounters();
    EXPECT_LE(after.Wakeups - before.Wakeups, 1u);
    EXPECT_EQ(after.Passes - before.Passes, 1u);
    EXPECT_EQ(after.Expiries - before.Expiries, static_cast<ULONGLONG>(TickRun::TIMERS));
    std::vector<int> inOrder(TickRun::TIMERS);
    for (int i = 0; i < TickRun::TIMERS; ++i) {
        inOrder[i] = i;
    }
    EXPECT_EQ(run.Order, inOrder);
    EXPECT_EQ(std::count(run.Threads.begin(), run.Threads.end(), run.Threads[0]), TickRun::TIMERS);

    // A 5 ms period over 1 ms ticks: wake-ups only in the ticks it is due in.
    KEVENT fired;
    KeInitializeEvent(&fired, SynchronizationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, SetEventDpc, &fired);
    KTIMER periodic;
    KeInitializeTimer(&periodic);
    KeSetTimerEx(&periodic, InMs(5), 5, &dpc);
    ASSERT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    const Machine::ClockCounts first = Sim().ClockCounters();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
    }
    const Machine::ClockCounts last = Sim().ClockCounters();
    EXPECT_TRUE(KeCancelTimer(&periodic));
    EXPECT_GE(last.Passes - first.Passes, 4u);
    EXPECT_LE(last.Wakeups - first.Wakeups, last.Passes - first.Passes)
        << "the clock woke in a tick in which nothing was due";
}

} // namespace
} // namespace qvx
