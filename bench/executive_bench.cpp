// Cost of the executive's hot paths on a simulated machine with the verifier on (spin locks also
// on the production machine): what every driver request pays for its spin locks, DPCs and
// timers, and what one clock tick costs.

#include "platform/machine/machine.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

VOID NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID)
{
    ++*static_cast<int64_t*>(context);
}

// Argument 1: the verifier on; 0: the production machine (MachineOptions::Verify off), on the
// simulated and (argument 2 = 1) the real-time machine.
void BM_SpinLockAcquireRelease(benchmark::State& state)
{
    qvx::MachineOptions options;
    options.Verify = state.range(0) != 0;
    options.Mode = state.range(1) != 0 ? qvx::MachineMode::RealTime : qvx::MachineMode::Simulated;
    qvx::Machine machine(options);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        const KIRQL old = KfAcquireSpinLock(&lock);
        KfReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(BM_SpinLockAcquireRelease)->ArgsProduct({{1, 0}, {0, 1}});

// Inserted at PASSIVE_LEVEL the DPC runs before KeInsertQueueDpc returns.
void BM_DpcInsertAndRun(benchmark::State& state)
{
    qvx::Machine machine;
    int64_t runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountRun, &runs);
    for (auto _ : state) {
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    if (runs != static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("a DPC did not run");
    }
}
BENCHMARK(BM_DpcInsertAndRun);

void BM_TimerSetCancel(benchmark::State& state)
{
    qvx::Machine machine;
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    for (auto _ : state) {
        KeSetTimer(&timer, due, nullptr);
        KeCancelTimer(&timer);
    }
}
BENCHMARK(BM_TimerSetCancel);

// A clock tick with a few timers set, none of them due.
void BM_ClockTickNoTimerDue(benchmark::State& state)
{
    qvx::Machine machine;
    KTIMER timers[4];
    LARGE_INTEGER due;
    due.QuadPart = -(1LL << 55); // about a century away
    for (KTIMER& timer : timers) {
        KeInitializeTimer(&timer);
        KeSetTimer(&timer, due, nullptr);
    }
    const LONGLONG tick = machine.TickLength();
    for (auto _ : state) {
        machine.AdvanceTime(tick);
    }
    for (KTIMER& timer : timers) {
        KeCancelTimer(&timer);
    }
}
BENCHMARK(BM_ClockTickNoTimerDue);

// 256 idle ports' send timers on the production machine: periodic, the period (argument, in
// ms) spread over the ticks as ports opened at different moments; one iteration is one tick,
// its expiries and their DPCs. Each timer sits in a record of its own, as in a device.
void BM_PeriodicTimersExpire(benchmark::State& state)
{
    qvx::MachineOptions options;
    options.Verify = false;
    qvx::Machine machine(options);
    struct Record
    {
        KTIMER Timer;
        KDPC Dpc;
        char Rest[2048];
    };
    constexpr int TIMERS = 256;
    const auto period = static_cast<LONG>(state.range(0));
    std::vector<std::unique_ptr<Record>> records;
    int64_t runs = 0;
    for (int i = 0; i < TIMERS; ++i) {
        records.push_back(std::make_unique<Record>());
        KeInitializeTimer(&records.back()->Timer);
        KeInitializeDpc(&records.back()->Dpc, CountRun, &runs);
        LARGE_INTEGER due;
        due.QuadPart = -(period * 10000LL + 1 + i * period * 10000LL / TIMERS);
        KeSetTimerEx(&records.back()->Timer, due, period, &records.back()->Dpc);
    }
    const LONGLONG tick = machine.TickLength();
    for (auto _ : state) {
        machine.AdvanceTime(tick);
    }
    state.SetItemsProcessed(runs);
    for (auto& record : records) {
        KeCancelTimer(&record->Timer);
    }
}
BENCHMARK(BM_PeriodicTimersExpire)->Arg(1)->Arg(20);

} // namespace
