// The executive's face to the other components and to the machine: the processors (each host
// thread's IRQL and the spin locks it holds), the scheduler that runs DPCs, timers, waits and
// the clock, and pool. Its face to drivers is the kernel routines (Ke*, Kf*, Ex*, Rtl*).
//
// The scheduler is chosen once, when the machine is created:
// - simulated: one logical processor (the thread that created the machine), simulated time
//   that moves only when a test advances it or a wait needs it, DPCs run whenever the IRQL
//   drops below DISPATCH_LEVEL unless the test holds them;
// - threaded: processor threads run DPCs at DISPATCH_LEVEL, processor 0 fires timers on the
//   host's monotonic clock, waits block.
// The kernel routines check what they are given, then hand the work to the scheduler without
// asking which one it is.
#pragma once

#include <ntddk.h>

#include "platform/machine/machine.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

// What a host thread is as a processor: its IRQL and the spin locks it holds.
struct CpuContext
{
    KIRQL Irql = PASSIVE_LEVEL;
    int Cpu = -1;        // processor thread index of a threaded scheduler, -1 otherwise
    ULONG_PTR Token = 0; // owner mark stored in the lock words this thread holds
    static constexpr int MAX_HELD = 32;
    PKSPIN_LOCK Held[MAX_HELD] = {};
    int HeldCount = 0;
    unsigned Generation = 0; // machine generation the context was reset for
};

// The generation of the machine that exists, 0 when none does.
inline std::atomic<unsigned> g_liveGeneration{0};
// Constant-initialised and defined here, so that every use is one thread-pointer-relative
// access, as Windows finds its processor block.
inline thread_local CpuContext t_currentCpu;
// A context first used on this thread, or last used on an earlier machine.
CpuContext& RenewCpu(CpuContext& context);

// The calling thread's processor context; a thread starts at PASSIVE_LEVEL holding nothing on
// every new machine.
inline CpuContext& CurrentCpu()
{
    CpuContext& context = t_currentCpu;
    if (context.Token == 0 ||
        context.Generation != g_liveGeneration.load(std::memory_order_relaxed)) {
        return RenewCpu(context);
    }
    return context;
}

class Scheduler
{
  public:
    // The scheduler of the mode `options` choose. The threaded one starts its threads in Start.
    static std::unique_ptr<Scheduler> Create(const MachineOptions& options);
    // The machine's scheduler; NULL when no machine exists.
    static Scheduler* Current();

    virtual ~Scheduler() = default;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    virtual void Start() = 0;
    // Stops the threads; the scheduler stays usable from the calling thread.
    virtual void Stop() = 0;
    virtual bool Simulated() const = 0;

    // --- Processors -------------------------------------------------------------------------
    // The current processor's IRQL crossed DISPATCH_LEVEL (upwards when `raised`).
    virtual void DispatchLevelCrossed(bool raised) = 0;
    // The current processor may run DPCs now (its IRQL dropped below DISPATCH_LEVEL).
    virtual void DpcsAllowed() = 0;
    // Sets the lock word of `lock` to `token`, spinning while another processor holds it;
    // FALSE (reported) when it can never be released.
    virtual bool TakeLockWord(PKSPIN_LOCK lock, ULONG_PTR token, const char* routine) = 0;

    // --- Clock ------------------------------------------------------------------------------
    // Interrupt time in 100-ns units since the machine started.
    virtual LONGLONG Now() const = 0;
    virtual LONGLONG TickLength() const = 0;
    virtual void SetTickLength(LONGLONG ticks100ns) = 0;
    virtual void AdvanceTime(LONGLONG delta100ns) = 0;
    virtual bool AdvanceToNextTimer() = 0;

    // --- DPCs -------------------------------------------------------------------------------
    virtual BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) = 0;
    virtual BOOLEAN RemoveQueueDpc(PRKDPC dpc) = 0;
    // Searches the queues (the object's own fields are not trusted before it is initialised).
    virtual bool DpcInQueue(const KDPC* dpc) = 0;
    virtual bool IsDpcQueued(const KDPC* dpc) const = 0;
    virtual size_t QueuedDpcCount() const = 0;
    virtual void HoldDpcs(bool hold) = 0;
    virtual bool DpcsHeld() const = 0;
    virtual bool RunNextDpc() = 0;
    virtual bool RunDpc(PKDPC dpc) = 0;
    // Runs every queued DPC (held or not); threaded: waits until the processors are idle.
    virtual void DrainDpcs() = 0;
    virtual void Quiesce() = 0;

    // --- Timers -----------------------------------------------------------------------------
    // KeSetTimerEx's work: `due` as the routine takes it (negative relative, else absolute).
    virtual BOOLEAN SetTimer(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc) = 0;
    virtual BOOLEAN CancelTimer(PKTIMER timer) = 0;
    virtual bool TimerInQueue(const KTIMER* timer) = 0;
    virtual LONGLONG NextTimerDue() const = 0;
    virtual size_t SetTimerCount() const = 0;
    using ClockCounts = Machine::ClockCounts;
    virtual ClockCounts ClockCounters() const = 0;

    // --- Dispatcher objects and waits -------------------------------------------------------
    virtual LONG Signal(DISPATCHER_HEADER* header) = 0;
    virtual LONG Reset(DISPATCHER_HEADER* header) = 0;
    virtual LONG ReadState(const DISPATCHER_HEADER* header) = 0;
    // KeWaitForSingleObject's work, after its checks.
    virtual NTSTATUS Wait(DISPATCHER_HEADER* header, const LARGE_INTEGER* timeout,
                          const void* object) = 0;
    virtual int AddProgressHook(Machine::ProgressHook hook) = 0;
    virtual void RemoveProgressHook(int id) = 0;
    virtual void RunUntil(const std::function<bool()>& done, const char* what) = 0;

    // --- What the verifier asks -------------------------------------------------------------
    // Memory [lo, hi) (`what` at `base`) is freed: reports and forgets the queued DPCs and set
    // timers inside it, and DPCs inside it running on another processor.
    virtual void FreeingMemory(const char* lo, const char* hi, const char* what,
                               const void* base) = 0;
    // The timers set and the DPCs queued that `charged` accepts (by owner), described.
    virtual void ListSetObjects(std::vector<std::string>* timers, std::vector<std::string>* dpcs,
                                const std::function<bool(PDRIVER_OBJECT)>& charged) = 0;

  protected:
    Scheduler() = default;
};

// ---- Owners ------------------------------------------------------------------------------
// The driver whose routine this thread runs (entry, unload, AddDevice, dispatch, work item,
// callback, notification); NULL in the host's own code.
PDRIVER_OBJECT RunningDriver();
// Marks the calling thread as running `driver` for the scope's lifetime (nests).
class RunningDriverScope
{
  public:
    explicit RunningDriverScope(PDRIVER_OBJECT driver);
    ~RunningDriverScope();
    RunningDriverScope(const RunningDriverScope&) = delete;
    RunningDriverScope& operator=(const RunningDriverScope&) = delete;

  private:
    PDRIVER_OBJECT previous_;
};
// The driver that initialised a timer or DPC, NULL when none did: kept in the object itself,
// so an owner goes with the object's memory.
void NoteTimerOwner(PKTIMER timer);
void NoteDpcOwner(PKDPC dpc);
PDRIVER_OBJECT TimerOwner(const KTIMER* timer);
PDRIVER_OBJECT DpcOwner(const KDPC* dpc);

// Reports freed memory that still holds a queued DPC, a DPC running on another processor, a set
// timer or a held spin lock, and forgets them so that the machine can go on. Called for every
// pool block and device extension being freed.
void CheckFreedRange(const void* base, size_t size, const char* what);

// Pool: tagged allocations with accounting, guard bytes, poisoning, a quarantine that makes
// double frees detectable, and fault injection. One per machine.
class Pool
{
  public:
    Pool();
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // NULL when no machine exists.
    static Pool* Current();

    // ExAllocatePoolWithTag's and ExFreePoolWithTag's work (`routine` names the caller).
    void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine);
    void Free(PVOID block, ULONG tag);
    void FailNthAllocation(ULONG n);
    void FailAllocationsWithTag(ULONG tag);
    ULONG AllocationCount() const;
    std::vector<PoolBlockInfo> Outstanding() const;
    // "(pool block 'Tag' + 0x8)" for an address inside a live block; empty otherwise.
    std::string DescribeAddress(const void* address) const;
    // Poisons (or unpoisons) the user bytes of every live paged block; no effect without
    // AddressSanitizer.
    void PoisonPaged(bool poison);
    // Frees every block still allocated (machine teardown, after the leak checks).
    void ReleaseAll();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace qvx
