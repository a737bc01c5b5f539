// Internal state of the machine, shared by the platform's implementation files. Neither the
// driver nor tests include this.
#pragma once

#include "platform/machine/machine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

namespace qvx {

// What a host thread is as a processor: its IRQL and the spin locks it holds.
struct CpuContext
{
    KIRQL Irql = PASSIVE_LEVEL;
    int Cpu = -1;        // processor thread index in real-time mode, -1 otherwise
    ULONG_PTR Token = 0; // owner mark stored in the lock words this thread holds
    static constexpr int MaxHeld = 32;
    PKSPIN_LOCK Held[MaxHeld] = {};
    int HeldCount = 0;
    unsigned Generation = 0; // machine generation the context was reset for
};

CpuContext& CurrentCpu();

struct PoolHeader;

struct Machine::State
{
    explicit State(Machine& owner) : Owner(owner) {}

    Machine& Owner;
    bool RealTime = false;
    unsigned Generation = 0;

    // Clock. Simulated: Now is the interrupt time. Real time: measured from Start.
    LONGLONG Now = 0;
    std::chrono::steady_clock::time_point Start;

    // Timers set, ordered by due time (ties in insertion order).
    LIST_ENTRY Timers;
    // The same timers by due time, and each timer's place there: setting, cancelling and
    // expiring a timer stay logarithmic with hundreds of periodic timers set.
    std::multimap<LONGLONG, PKTIMER> TimerIndex;
    std::unordered_map<const KTIMER*, std::multimap<LONGLONG, PKTIMER>::iterator> TimerPlaces;
    // Counted apart from the lists, so that they can be reported without touching objects
    // that a failed test may have left behind on its stack.
    size_t SetTimers = 0;
    size_t QueuedDpcs = 0;

    // DPCs. Simulated: one queue. Real time: one queue per processor thread.
    LIST_ENTRY DpcQueue;
    bool HoldDpcs = false;

    struct Processor
    {
        std::thread Thread;
        LIST_ENTRY Queue;
        std::condition_variable Wake;
        PKDPC RunningDpc = nullptr;
    };
    std::vector<std::unique_ptr<Processor>> Processors;
    std::thread ClockThread;
    bool Stopping = false;
    unsigned NextCpu = 0;
    // Real time: guards the DPC queues, the timer list, the dispatcher objects' states and
    // the tick length. Simulated mode takes no lock.
    std::mutex KernelLock;
    std::condition_variable ObjectSignalled; // an event or timer became signalled
    std::condition_variable TimersChanged;
    std::condition_variable DpcIdle;

    // Waits.
    std::vector<std::pair<int, ProgressHook>> Hooks;
    int NextHookId = 1;

    // Pool.
    std::mutex PoolLock;
    PoolHeader* PoolHead = nullptr;
    ULONG Allocations = 0;
    ULONG FailAt = 0;
    ULONG FailTag = 0;
    static constexpr int QuarantineSize = 256;
    PoolHeader* Quarantine[QuarantineSize] = {};
    int QuarantineNext = 0;
    // Paged blocks live, and whether they are poisoned now (simulated mode under
    // AddressSanitizer, while the processor runs at DISPATCH_LEVEL or above).
    std::set<PoolHeader*> PagedBlocks;
    bool PagedPoisoned = false;

    // Verifier.
    std::atomic<bool> AbortOnViolation{true};
    std::mutex VerifierLock;
    std::vector<Violation> Violations;

    // Recursive: a sink may itself trace.
    std::recursive_mutex TraceLock;
    TraceSink Sink;
    PKSPIN_LOCK CancelLock = nullptr;

    // Lock order: for every spin lock, the locks taken while it was held (an edge A -> B
    // means B was acquired while A was held), and the names tests gave to locks.
    std::mutex LockOrderLock;
    std::map<const void*, std::set<const void*>> LockAfter;
    std::map<const void*, std::string> LockNames;
    bool LockCycleReported = false;
};

// Reports freed memory that still holds a queued DPC, a DPC running on another processor, a set
// timer or a held spin lock. Called for every pool block and device extension being freed.
void CheckFreedRange(const void* base, size_t size, const char* what);

// Lists the timers still set and the DPCs still queued when a driver unloads (one driver is
// loaded at a time, and the host's own timers are stopped before it unloads).
void ReportTimersAndDpcsAtUnload(const char* driver);

// Tells the executive which lock is the I/O manager's cancel spin lock, so that holding it
// together with another lock is reported.
void SetCancelSpinLockAddress(PKSPIN_LOCK lock);

// The documented maximum IRQL of a kernel routine the platform implements (one table,
// platform/verifier/irql.cpp); aborts for a routine missing from the table.
KIRQL IrqlCeilingOf(const char* routine);
// Reports IRQL_TOO_HIGH when the current IRQL is above the routine's ceiling.
bool CheckIrqlCeiling(const char* routine);

// TRUE while a dispatch routine runs in the context of an application's thread (a request
// the I/O manager issued for an application, other than a close).
bool InApplicationContext();

// Simulated mode: run queued DPCs if the current IRQL allows and the test does not hold them.
void DrainDpcsIfAllowed();

// Sets the processor's IRQL. Crossing DISPATCH_LEVEL on the simulated machine poisons or
// unpoisons paged pool when AddressSanitizer is present: paged memory may be out on disk there.
void SetCpuIrql(CpuContext& cpu, KIRQL irql);

// Poisons (or unpoisons) the user bytes of every live paged block; no effect without
// AddressSanitizer.
void PoisonPagedPool(Machine::State& state, bool poison);

// Frees every pool block still allocated (machine teardown, after the leak checks).
void ReleaseAllPool(Machine::State& state);

} // namespace qvx

namespace qvx {
// Thread bodies of a real-time machine.
void RunProcessor(Machine::State& state, unsigned index);
void RunClock(Machine::State& state);
} // namespace qvx
