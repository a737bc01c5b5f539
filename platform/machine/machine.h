// The machine face of the platform layer: what tests, benchmarks and the host tool use to
// run the driver. A Machine owns the clock, the DPC queues, the timers, pool accounting, the
// verifier and the I/O-side components (I/O manager, object namespace, registry, Plug and
// Play). Exactly one Machine exists at a time; the kernel face finds it without being told.
//
// Simulated mode: one logical processor (the thread that created the machine), simulated
// time that moves only in AdvanceTime or when a wait needs it, DPCs run whenever the IRQL
// drops below DISPATCH_LEVEL unless the test holds them.
// Real-time mode: several processor threads run DPCs at DISPATCH_LEVEL, a clock thread fires
// timers on the host's monotonic clock, waits block.
#pragma once

#include <ntddk.h>

#include "platform/verifier/rules.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

class IoManager;
class ObjectNamespace;
class Registry;
class PnpManager;

enum class MachineMode { Simulated, RealTime };

struct MachineOptions
{
    MachineMode Mode = MachineMode::Simulated;
    // Clock tick in 100-ns units: timers fire on tick boundaries. 0 means exact.
    LONGLONG TickLength = 10000;
    // Processor threads in real-time mode.
    unsigned Processors = 2;
    // TRUE: a verifier violation prints its rule and aborts the process (death tests catch
    // it). FALSE: violations are recorded for the test to inspect and execution goes on
    // where that is possible; a deadlock always aborts.
    bool AbortOnViolation = true;
    // Upper bound of simulated time a single wait may advance before it is reported as
    // a deadlock, in 100-ns units (default one hour).
    LONGLONG WaitTimeLimit = 36000LL * 1000 * 10000;
};

struct Violation
{
    qvx::Rule Rule;
    std::string Message;
};

struct PoolBlockInfo
{
    ULONG Tag;
    SIZE_T Size;
    POOL_TYPE Type;
    const void* Address;
};

class Machine
{
  public:
    explicit Machine(const MachineOptions& options = MachineOptions());
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine of this process; aborts when none exists.
    static Machine& Current();
    static Machine* TryCurrent();

    MachineMode Mode() const { return options_.Mode; }
    const MachineOptions& Options() const { return options_; }

    // --- Time ---------------------------------------------------------------------------
    // Interrupt time in 100-ns units since the machine started.
    LONGLONG Now() const;
    LONGLONG NowMs() const { return Now() / 10000; }
    // Simulated mode: advance the clock, firing due timers in order and draining DPCs after
    // each. Real-time mode: sleeps.
    void AdvanceTime(LONGLONG delta100ns);
    void AdvanceMs(LONGLONG ms) { AdvanceTime(ms * 10000); }
    // Advance to the next due timer and fire it; FALSE when no timer is set.
    bool AdvanceToNextTimer();
    // Due time (interrupt time) of the earliest set timer, or -1 when none is set.
    LONGLONG NextTimerDue() const;
    // Timers currently set (in the timer queue).
    size_t SetTimerCount() const;
    LONGLONG TickLength() const;
    void SetTickLength(LONGLONG ticks100ns);
    // The system-time value (100 ns since 1601) that interrupt time 0 corresponds to.
    static constexpr LONGLONG SystemTimeBase = 125911584000000000LL; // 2000-01-01

    // --- DPCs (simulated mode) ---------------------------------------------------------
    // While held, queued DPCs stay queued until released or run one by one.
    void HoldDpcs(bool hold);
    bool DpcsHeld() const;
    size_t QueuedDpcCount() const;
    bool IsDpcQueued(const KDPC* dpc) const;
    // Run the oldest queued DPC (even while held); FALSE when none is queued.
    bool RunNextDpc();
    // Run one particular queued DPC now; FALSE when it is not queued.
    bool RunDpc(PKDPC dpc);
    // Run queued DPCs until none is left (even while held).
    void DrainDpcs();
    // Real-time mode: wait until no DPC is queued or running and no timer is due.
    void Quiesce();

    // --- Waits (simulated mode) --------------------------------------------------------
    // A hook is called by a blocked wait; it returns TRUE if it made progress.
    using ProgressHook = std::function<bool()>;
    int AddProgressHook(ProgressHook hook);
    void RemoveProgressHook(int id);
    // Run progress hooks and DPCs and advance time until `done` returns TRUE; reports a
    // deadlock (what) when nothing can make progress.
    void RunUntil(const std::function<bool()>& done, const char* what);

    // --- Pool ---------------------------------------------------------------------------
    // Fail the n-th allocation from now on (1 = the next one); 0 turns it off.
    void FailNthAllocation(ULONG n);
    // Fail every allocation with this tag until cleared (0 clears).
    void FailAllocationsWithTag(ULONG tag);
    ULONG AllocationCount() const;                 // allocations made since the machine started
    size_t OutstandingBlocks(ULONG tag = 0) const; // 0 = every tag
    size_t OutstandingBytes(ULONG tag = 0) const;
    std::vector<PoolBlockInfo> OutstandingPool() const;
    // A report of every block still allocated, listed by tag; empty when none.
    std::string PoolReport() const;

    // --- Verifier -----------------------------------------------------------------------
    std::vector<Violation> Violations() const;
    void ClearViolations();
    bool HasViolation(Rule rule) const;
    // Removes the oldest recorded violation of `rule`; FALSE when none was recorded.
    bool TakeViolation(Rule rule);
    // Switches between aborting on the first violation and recording violations.
    void SetAbortOnViolation(bool abort);
    // A name for a spin lock in lock-order reports (otherwise the lock is described by the
    // pool block or device extension that holds it).
    void NameSpinLock(const KSPIN_LOCK* lock, const std::string& name);

    // --- Trace sink ---------------------------------------------------------------------
    // Receives every trace message that passed the driver's filter (host build only). Calls
    // are serialised, also in real-time mode.
    using TraceSink = std::function<void(ULONG component, ULONG level, const char* text)>;
    void SetTraceSink(TraceSink sink);
    void EmitTrace(ULONG component, ULONG level, const char* text);

    // --- I/O-side components -------------------------------------------------------------
    IoManager& Io();
    ObjectNamespace& Names();
    Registry& Reg();
    PnpManager& Pnp();

  private:
    struct Parts; // the components, built and torn down in order
    MachineOptions options_;
    std::unique_ptr<Parts> parts_;
};

// Raises the current thread to DISPATCH_LEVEL for its lifetime (peers notify at that level).
class DispatchLevelScope
{
  public:
    DispatchLevelScope() { old_ = KfRaiseIrql(DISPATCH_LEVEL); }
    ~DispatchLevelScope() { KfLowerIrql(old_); }
    DispatchLevelScope(const DispatchLevelScope&) = delete;
    DispatchLevelScope& operator=(const DispatchLevelScope&) = delete;

  private:
    KIRQL old_;
};

} // namespace qvx
