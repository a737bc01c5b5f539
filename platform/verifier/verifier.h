// The verifier: checks the driver as Windows' Driver Verifier would and reports each violation
// by its rule (platform/verifier/rules.h). The other components tell it what happened, as named
// events (a lock taken, a dispatch routine returned, a request completed, a driver unloaded),
// and the checks here decide whether a rule was broken. What it must remember of a request
// while the request is outstanding (RequestTrack) is kept with the request but belongs here.
//
// A violation prints its rule and aborts the process, or is recorded for the test to inspect
// (AbortOnViolation off), after which the caller puts the machine back where it can go on.
//
// Threads: every routine may be called from any thread.
#pragma once

#include <ntddk.h>

#include "platform/machine/machine.h"

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvx {

class LockOrder;

// The verifier of the machine that exists; one at a time.
class Verifier
{
  public:
    Verifier(bool abortOnViolation, bool verify);
    ~Verifier();
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    // NULL when no machine exists.
    static Verifier* Current();

    void Report(Rule rule, const std::string& message);
    std::vector<Violation> Violations() const;
    size_t ViolationCount() const;
    void ClearViolations();
    bool HasViolation(Rule rule) const;
    bool TakeViolation(Rule rule);
    void SetAbortOnViolation(bool abort);

    // The I/O manager's cancel spin lock: holding it with another lock is a violation.
    void SetCancelSpinLock(const KSPIN_LOCK* lock);
    const KSPIN_LOCK* CancelSpinLock() const { return cancelLock_.load(std::memory_order_relaxed); }
    // Where an address lives, for lock-order reports ("(pool block 'Tag' + 0x8)"); empty
    // when unknown.
    using AddressDescriber = std::function<std::string(const void* address)>;
    void SetAddressDescriber(AddressDescriber describer);
    void NameSpinLock(const KSPIN_LOCK* lock, const std::string& name);
    LockOrder& Locks() { return *locks_; }
    // A lock as a report names it: its name, the cancel spin lock, or where it lives.
    std::string DescribeLock(const void* lock) const;

  private:
    std::atomic<bool> abortOnViolation_;
    mutable std::mutex mutex_; // guards the violations
    std::vector<Violation> violations_;
    std::atomic<const KSPIN_LOCK*> cancelLock_{nullptr};
    AddressDescriber describer_;
    std::unique_ptr<LockOrder> locks_;
};

// FALSE on a production machine (MachineOptions::Verify off): the bookkeeping is skipped and only
// the checks that keep the process safe run.
inline std::atomic<bool> g_verifierOn{true};
inline bool VerifierOn()
{
    return g_verifierOn.load(std::memory_order_relaxed);
}

// Reports a violation of `rule` to the current machine's verifier; the rest is a printf-style
// message naming the object. Without a machine the report is printed and the process ends.
void VerifierReport(Rule rule, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A violation after which the machine cannot go on (a wait that can never return): printed,
// and the process ends whatever the violation mode is.
[[noreturn]] void VerifierFatal(Rule rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- IRQL -------------------------------------------------------------------------------------

// The documented maximum IRQL of a kernel routine the platform implements (one table,
// irql.cpp); aborts for a routine missing from the table.
KIRQL IrqlCeilingOf(const char* routine);
// Reports IRQL_TOO_HIGH when the current IRQL is above the routine's ceiling.
bool CheckIrqlCeiling(const char* routine);

// ---- Spin locks (events of the executive) ------------------------------------------------------

// The spin locks a processor holds, oldest first.
struct HeldLocks
{
    const PKSPIN_LOCK* Locks;
    int Count;

    PKSPIN_LOCK Last() const { return Count > 0 ? Locks[Count - 1] : nullptr; }
};

// A processor holding `held` is about to take `lock`, whose word holds `owner` (`self` is the
// mark this processor stores there). FALSE when it holds the lock already: it must not spin.
bool OnLockTaking(PKSPIN_LOCK lock, ULONG_PTR owner, ULONG_PTR self, HeldLocks held,
                  const char* routine);
// The single simulated processor found `lock` held by another owner, which can never release it.
void OnLockDeadlock(PKSPIN_LOCK lock, const char* routine);
// `lock` was taken while `held` were held: records the order and reports the first cycle.
void OnLockTaken(PKSPIN_LOCK lock, HeldLocks held, const char* routine);
// About to release `lock`; FALSE when this processor does not hold it (nothing to release).
bool OnLockReleasing(PKSPIN_LOCK lock, ULONG_PTR owner, ULONG_PTR self, const char* routine);
// The IRQL dropped to `irql`: below DISPATCH_LEVEL a held lock no longer excludes anyone here.
void OnIrqlLowered(KIRQL irql, HeldLocks held, const char* routine);
// Memory [lo, hi) is freed: forgets what was recorded about the locks inside it.
void OnMemoryFreed(const void* lo, const void* hi);

// ---- Driver routines returning ------------------------------------------------------------------

// What a driver routine left behind when it returned to the system.
struct RoutineExit
{
    KIRQL Expected; // the IRQL it had to return at
    KIRQL Returned; // the IRQL it returned at
    int HeldBefore; // spin locks held when it was called
    HeldLocks Held; // and when it returned
};

// A DPC routine returned (it was called at DISPATCH_LEVEL); the locks it kept are listed.
void OnDpcReturned(PKDEFERRED_ROUTINE routine, const RoutineExit& exit);
// A work item routine returned (it was called at PASSIVE_LEVEL).
void OnWorkItemReturned(PIO_WORKITEM_ROUTINE routine, const RoutineExit& exit);
// A cancel routine returned still holding the cancel spin lock (the caller releases it).
void OnCancelRoutineKeptCancelLock(PDRIVER_CANCEL routine, PIRP irp);
// A cancel routine returned (after the release above, if it was needed); it had to return at
// the request's CancelIrql.
void OnCancelRoutineReturned(PDRIVER_CANCEL routine, PIRP irp, const RoutineExit& exit);
// A completion routine returned; it had to return at the IRQL it was called at.
void OnCompletionRoutineReturned(PIO_COMPLETION_ROUTINE routine, PIRP irp, const RoutineExit& exit);
// DriverEntry, DriverUnload or AddDevice returned (`what` names it: "DriverEntry of Quarvex").
void OnDriverRoutineReturned(const char* what, KIRQL before, KIRQL after);

// ---- Requests ----------------------------------------------------------------------------------

// A frame of driver code working on a request: a dispatch routine entered through
// IofCallDriver, or a completion routine run by the completion walk.
struct RequestFrame
{
    int Location; // CurrentLocation while the routine runs
    PDEVICE_OBJECT Device;
    std::thread::id Thread;
    bool Completion;
    bool PassedDown; // the routine handed the request to IofCallDriver
    // What the routine's last IofCallDriver returned (STATUS_PENDING before any call).
    NTSTATUS LowerStatus;
};

// What a dispatch routine did with its request, as the bookkeeping saw it when it returned.
struct DispatchOutcome
{
    bool Marked = false;                   // its stack location is marked pending
    bool PassedDown = false;               // it called IofCallDriver with the request
    bool Left = false;                     // the completion walk has left its location
    NTSTATUS StatusLeft = STATUS_PENDING;  // the status then
    NTSTATUS LowerStatus = STATUS_PENDING; // what its IofCallDriver returned
};

// What the verifier remembers of one request while it is outstanding: the driver routines
// working on it, per stack location the walk's progress (the pending mark it saw, whether it
// left the location and the status then), and the power requests' starts. Guarded by the lock
// of the request's owner (the I/O manager); the checks run outside that lock.
class RequestTrack
{
  public:
    RequestTrack() { statusLeft_.fill(STATUS_PENDING); }

    // IofCallDriver on this thread: TRUE when a driver routine of this thread passes the
    // request on (rather than its first sender).
    bool PassedOnByDriver(std::thread::id self);
    // A dispatch routine is entered at `location` (again: the walk has not left it since).
    void EnterDispatch(int location, PDEVICE_OBJECT device, std::thread::id self, UCHAR major,
                       UCHAR minor);
    // It returned `status`; `finished` and `finalStatus` say whether the request has been
    // finally completed. `own` is the routine's stack location, read only while the walk has
    // not left it (after that the request may be released).
    DispatchOutcome LeaveDispatch(int location, std::thread::id self, NTSTATUS status,
                                  bool finished, NTSTATUS finalStatus,
                                  const IO_STACK_LOCATION* own);
    // The completion walk moves up from `location`, having read its pending mark, with `status`.
    void WalkLeaves(int location, bool pendingReturned, NTSTATUS status);
    void EnterCompletion(int location, PDEVICE_OBJECT owner, std::thread::id self);
    void LeaveCompletion(int location, std::thread::id self);
    // PoStartNextPowerIrp at `location` on this thread; a rule when the call is misplaced.
    std::optional<Rule> PowerStarted(int location, PDEVICE_OBJECT device, std::thread::id self);
    bool TracksPowerStart() const { return trackPowerStart_; }
    // Stack locations (index, device) that dispatched a power request and never started the
    // next one.
    std::vector<std::pair<int, PDEVICE_OBJECT>> PowerStartsMissing() const;

  private:
    // Fixed arrays (a request has at most 64 locations): no allocation per request.
    std::array<UCHAR, 64> pendingSeen_{};
    std::array<UCHAR, 64> walkLeft_{};
    std::array<NTSTATUS, 64> statusLeft_{};
    std::vector<RequestFrame> frames_;
    bool trackPowerStart_ = false; // IRP_MN_SET_POWER or IRP_MN_QUERY_POWER
    std::set<std::pair<int, PDEVICE_OBJECT>> powerDispatched_;
    std::set<std::pair<int, PDEVICE_OBJECT>> powerStarted_;
};

// What IofCallDriver found about a request before calling the driver.
struct CallFacts
{
    PDEVICE_OBJECT Device;
    PIRP Irp;
    bool Known;      // an IRP of the I/O manager
    bool Finished;   // finally completed already
    bool DeviceLive; // a device requests can still reach
};

// How IofCallDriver goes on after its checks.
enum class CallVerdict {
    Dispatch,        // call the driver
    Refuse,          // return STATUS_INVALID_PARAMETER, nothing called
    NoStackLocation, // return STATUS_INVALID_DEVICE_REQUEST, nothing called
    DeviceGone       // complete the request with STATUS_NO_SUCH_DEVICE
};
CallVerdict OnCallDriver(const CallFacts& facts);
// A power request passed on by a driver: only PoCallDriver may do that.
void OnPowerRequestPassed(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver);
// IofCallDriver with a major function out of range (the default routine rejects it).
void OnInvalidMajorFunction(PDEVICE_OBJECT device, PIRP irp, UCHAR major);

// A dispatch routine returned `status` for `irp`.
struct DispatchReturn
{
    PDRIVER_DISPATCH Routine;
    UCHAR Major;
    PDEVICE_OBJECT Device;
    PIRP Irp;
    NTSTATUS Status;
    RoutineExit Exit;
    DispatchOutcome Outcome;
};
void OnDispatchReturned(const DispatchReturn& dispatch);

// IofCompleteRequest of `irp`, before the walk. FALSE when the completion must not go on.
struct CompletionFacts
{
    PIRP Irp;
    bool Known;
    bool Finished;
    UCHAR Major;
    PDRIVER_CANCEL CancelRoutine; // still set
};
bool OnCompleteRequest(const CompletionFacts& facts);
// A completion routine let the walk go on although a nested completion already finished it.
void OnCompletedInsideCompletion(PIO_COMPLETION_ROUTINE routine, PIRP irp);
// A completion routine let the walk go on: its result, and whether the request still needs a
// pending mark (PendingReturned set and the location above not marked).
void OnCompletionGoesOn(PIO_COMPLETION_ROUTINE routine, PIRP irp, NTSTATUS result,
                        bool markMissing);
// The request is finally completed.
struct RequestEnd
{
    PIRP Irp;
    UCHAR Major;
    UCHAR Minor;
    bool LimitInformation; // Information may not exceed the output buffer
    ULONG OutputLength;
    std::vector<std::pair<int, PDEVICE_OBJECT>> PowerStartsMissing;
};
void OnRequestFinished(const RequestEnd& end);

// ---- Devices ------------------------------------------------------------------------------------

// IoDeleteDevice or IoDetachDevice (`routine`) on a device whose stack is between surprise
// removal and removal (`inSurpriseRemoval`), when the PnP manager still sends it requests.
void OnDeviceLeavingStack(const char* routine, PDEVICE_OBJECT device, bool inSurpriseRemoval);

// ---- Drivers unloading ---------------------------------------------------------------------

// What a driver left behind when it unloaded.
struct UnloadLeftovers
{
    std::string Driver;
    std::map<ULONG, std::pair<size_t, size_t>> PoolByTag; // blocks and bytes per tag
    size_t WorkItemsNotFreed = 0;
    size_t WorkItemsQueued = 0;
    std::vector<std::string> TimersSet;     // "timer 0x... (DPC routine 0x...)"
    std::vector<std::string> DpcsQueued;    // "DPC 0x... (routine 0x...)"
    std::vector<std::string> KeysOpen;      // paths
    std::vector<std::string> Callbacks;     // callback object names
    std::vector<std::string> Notifications; // Plug and Play notification entries
    std::vector<std::string> DevicesLeft;   // a legacy driver's devices, by name
};
void OnDriverUnloaded(const UnloadLeftovers& left);

// Pool tag as text, unprintable bytes as dots ("Qxec").
std::string TagText(ULONG tag);
// IRP_MJ_READ and so on, for reports.
const char* MajorName(UCHAR major);

} // namespace qvx
