// The checks on the named events of requests and drivers: a request passed down, a dispatch,
// completion, cancel, work item or DPC routine returned, a request completed and finished, a
// device leaving its stack, a driver unloading; and the bookkeeping per request they read. A
// check that records a violation also puts the processor back (its IRQL, the cancel spin
// lock), so the violation does not spread.

#include "platform/verifier/verifier.h"

#include <cstdio>

namespace qvx {

namespace {

void* Address(PDRIVER_DISPATCH routine)
{
    return reinterpret_cast<void*>(routine);
}

void RestoreIrql(KIRQL irql)
{
    const KIRQL now = KeGetCurrentIrql();
    if (now > irql) {
        KfLowerIrql(irql);
    } else if (now < irql) {
        KfRaiseIrql(irql);
    }
}

bool KeptLock(const RoutineExit& exit)
{
    // A production machine keeps no list of held locks.
    return VerifierOn() && exit.Held.Count > exit.HeldBefore;
}

} // namespace

const char* MajorName(UCHAR major)
{
    static const char* const names[] = {"IRP_MJ_CREATE",
                                        "IRP_MJ_CREATE_NAMED_PIPE",
                                        "IRP_MJ_CLOSE",
                                        "IRP_MJ_READ",
                                        "IRP_MJ_WRITE",
                                        "IRP_MJ_QUERY_INFORMATION",
                                        "IRP_MJ_SET_INFORMATION",
                                        "IRP_MJ_QUERY_EA",
                                        "IRP_MJ_SET_EA",
                                        "IRP_MJ_FLUSH_BUFFERS",
                                        "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                        "IRP_MJ_SET_VOLUME_INFORMATION",
                                        "IRP_MJ_DIRECTORY_CONTROL",
                                        "IRP_MJ_FILE_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CONTROL",
                                        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                        "IRP_MJ_SHUTDOWN",
                                        "IRP_MJ_LOCK_CONTROL",
                                        "IRP_MJ_CLEANUP",
                                        "IRP_MJ_CREATE_MAILSLOT",
                                        "IRP_MJ_QUERY_SECURITY",
                                        "IRP_MJ_SET_SECURITY",
                                        "IRP_MJ_POWER",
                                        "IRP_MJ_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CHANGE",
                                        "IRP_MJ_QUERY_QUOTA",
                                        "IRP_MJ_SET_QUOTA",
                                        "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_(invalid)";
}

// ---- Driver routines returning ------------------------------------------------------------------

void OnDpcReturned(PKDEFERRED_ROUTINE routine, const RoutineExit& exit)
{
    if (exit.Returned != exit.Expected) {
        VerifierReport(Rule::DPC_IRQL_CHANGED, "DPC routine %p returned at IRQL %d",
                       reinterpret_cast<void*>(routine), exit.Returned);
    }
    for (int i = exit.Held.Count - 1; i >= exit.HeldBefore; --i) {
        VerifierReport(Rule::DPC_RETURNED_WITH_LOCK_HELD, "DPC routine %p returned holding lock %p",
                       reinterpret_cast<void*>(routine), static_cast<void*>(exit.Held.Locks[i]));
    }
}

void OnWorkItemReturned(PIO_WORKITEM_ROUTINE routine, const RoutineExit& exit)
{
    if (exit.Returned != exit.Expected) {
        VerifierReport(Rule::WORK_ITEM_IRQL_CHANGED, "work item routine %p returned at IRQL %d",
                       reinterpret_cast<void*>(routine), exit.Returned);
        RestoreIrql(exit.Expected);
    }
    if (KeptLock(exit)) {
        VerifierReport(Rule::WORK_ITEM_RETURNED_WITH_LOCK_HELD,
                       "work item routine %p returned holding spin lock %p",
                       reinterpret_cast<void*>(routine), static_cast<void*>(exit.Held.Last()));
    }
}

void OnCancelRoutineKeptCancelLock(PDRIVER_CANCEL routine, PIRP irp)
{
    VerifierReport(Rule::CANCEL_ROUTINE_KEPT_CANCEL_LOCK,
                   "cancel routine %p (IRP %p) returned holding the cancel spin lock",
                   reinterpret_cast<void*>(routine), static_cast<void*>(irp));
}

void OnCancelRoutineReturned(PDRIVER_CANCEL routine, PIRP irp, const RoutineExit& exit)
{
    if (KeptLock(exit)) {
        VerifierReport(Rule::CANCEL_ROUTINE_RETURNED_WITH_LOCK_HELD,
                       "cancel routine %p (IRP %p) returned holding spin lock %p",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp),
                       static_cast<void*>(exit.Held.Last()));
    }
    if (exit.Returned != exit.Expected) {
        VerifierReport(Rule::CANCEL_IRQL_CHANGED,
                       "cancel routine %p (IRP %p) returned at IRQL %d instead of CancelIrql %d",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp), exit.Returned,
                       exit.Expected);
        RestoreIrql(exit.Expected);
    }
}

void OnCompletionRoutineReturned(PIO_COMPLETION_ROUTINE routine, PIRP irp, const RoutineExit& exit)
{
    if (exit.Returned != exit.Expected) {
        VerifierReport(Rule::COMPLETION_IRQL_CHANGED,
                       "completion routine %p (IRP %p) returned at IRQL %d, called at %d",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp), exit.Returned,
                       exit.Expected);
        RestoreIrql(exit.Expected);
    }
    if (KeptLock(exit)) {
        VerifierReport(Rule::COMPLETION_RETURNED_WITH_LOCK_HELD,
                       "completion routine %p (IRP %p) returned holding spin lock %p",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp),
                       static_cast<void*>(exit.Held.Last()));
    }
}

void OnDriverRoutineReturned(const char* what, KIRQL before, KIRQL after)
{
    if (after != before) {
        VerifierReport(Rule::DRIVER_ROUTINE_IRQL_CHANGED, "%s returned at IRQL %d", what, after);
    }
}

// ---- Requests ----------------------------------------------------------------------------------

bool RequestTrack::PassedOnByDriver(std::thread::id self)
{
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->Thread == self) {
            it->PassedDown = true;
            return true;
        }
    }
    return false;
}

void RequestTrack::EnterDispatch(int location, PDEVICE_OBJECT device, std::thread::id self,
                                 UCHAR major, UCHAR minor)
{
    walkLeft_[location - 1] = 0;
    frames_.push_back({location, device, self, false, false, STATUS_PENDING});
    if (major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
        trackPowerStart_ = true;
        powerDispatched_.insert({location - 1, device});
    }
}

DispatchOutcome RequestTrack::LeaveDispatch(int location, std::thread::id self, NTSTATUS status,
                                            bool finished, NTSTATUS finalStatus,
                                            const IO_STACK_LOCATION* own)
{
    DispatchOutcome outcome;
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (!it->Completion && it->Thread == self && it->Location == location) {
            outcome.PassedDown = it->PassedDown;
            outcome.LowerStatus = it->LowerStatus;
            frames_.erase(std::next(it).base());
            break;
        }
    }
    // The caller's frame learns what this call returned.
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->Thread == self) {
            it->LowerStatus = status;
            break;
        }
    }
    const size_t index = static_cast<size_t>(location - 1);
    // A finished request passed every location on its way up.
    outcome.Left = walkLeft_[index] != 0 || finished;
    outcome.StatusLeft = walkLeft_[index] != 0 ? statusLeft_[index] : finalStatus;
    // After a skipped location the lower driver's mark lands in this one, so the mark is read
    // whether or not the request was passed down.
    outcome.Marked =
        outcome.Left ? pendingSeen_[index] != 0 : (own->Control & SL_PENDING_RETURNED) != 0;
    return outcome;
}

void RequestTrack::WalkLeaves(int location, bool pendingReturned, NTSTATUS status)
{
    const size_t index = static_cast<size_t>(location - 1);
    pendingSeen_[index] = pendingReturned ? 1 : 0;
    walkLeft_[index] = 1;
    statusLeft_[index] = status;
}

void RequestTrack::EnterCompletion(int location, PDEVICE_OBJECT owner, std::thread::id self)
{
    frames_.push_back({location, owner, self, true, false, STATUS_PENDING});
}

void RequestTrack::LeaveCompletion(int location, std::thread::id self)
{
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->Completion && it->Thread == self && it->Location == location) {
            frames_.erase(std::next(it).base());
            break;
        }
    }
}

std::optional<Rule> RequestTrack::PowerStarted(int location, PDEVICE_OBJECT device,
                                               std::thread::id self)
{
    const std::pair<int, PDEVICE_OBJECT> key{location - 1, device};
    const RequestFrame* innermost = nullptr;
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->Thread == self) {
            innermost = &*it;
            break;
        }
    }
    if ((innermost != nullptr && innermost->Location != location) ||
        powerDispatched_.count(key) == 0) {
        return Rule::PO_START_NEXT_WRONG_LOCATION;
    }
    if (!powerStarted_.insert(key).second) {
        return Rule::PO_START_NEXT_TWICE;
    }
    return std::nullopt;
}

std::vector<std::pair<int, PDEVICE_OBJECT>> RequestTrack::PowerStartsMissing() const
{
    std::vector<std::pair<int, PDEVICE_OBJECT>> missing;
    if (trackPowerStart_) {
        for (const auto& dispatched : powerDispatched_) {
            if (powerStarted_.count(dispatched) == 0) {
                missing.push_back(dispatched);
            }
        }
    }
    return missing;
}

CallVerdict OnCallDriver(const CallFacts& facts)
{
    void* device = facts.Device;
    void* irp = facts.Irp;
    if (!facts.Known) {
        VerifierReport(Rule::IRP_UNKNOWN, "IofCallDriver(%p, %p): not an IRP of the I/O manager",
                       device, irp);
        return CallVerdict::Refuse;
    }
    if (facts.Finished) {
        VerifierReport(Rule::IRP_USED_AFTER_COMPLETION,
                       "IofCallDriver(%p, IRP %p) after the IRP was completed", device, irp);
        return CallVerdict::Refuse;
    }
    const PIRP request = facts.Irp;
    if (request->CurrentLocation > request->StackCount + 1) {
        VerifierReport(Rule::IRP_STACK_LOCATION_CORRUPT,
                       "IofCallDriver(%p, IRP %p): current location %d of %d stack locations",
                       device, irp, request->CurrentLocation, request->StackCount);
        return CallVerdict::Refuse;
    }
    if (request->CurrentLocation <= 1) {
        VerifierReport(Rule::NO_MORE_IRP_STACK_LOCATIONS,
                       "IofCallDriver(%p, IRP %p): all %d stack locations are in use", device, irp,
                       request->StackCount);
        return CallVerdict::NoStackLocation;
    }
    if (!facts.DeviceLive) {
        VerifierReport(Rule::REQUEST_TO_DELETED_DEVICE,
                       "IofCallDriver(%p, IRP %p): the device object was deleted or never existed",
                       device, irp);
        return CallVerdict::DeviceGone;
    }
    return CallVerdict::Dispatch;
}

void OnPowerRequestPassed(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver)
{
    if (!viaPoCallDriver) {
        // Up to Windows Server 2003 the power manager serialises power requests only when
        // they go down through PoCallDriver.
        VerifierReport(Rule::POWER_IRP_WITHOUT_PO_CALL_DRIVER,
                       "IofCallDriver(%p, IRP %p): a power request must be passed down with "
                       "PoCallDriver",
                       static_cast<void*>(device), static_cast<void*>(irp));
    }
}

void OnInvalidMajorFunction(PDEVICE_OBJECT device, PIRP irp, UCHAR major)
{
    VerifierReport(Rule::IRP_INVALID_MAJOR_FUNCTION, "IofCallDriver(%p, IRP %p): major function %u",
                   static_cast<void*>(device), static_cast<void*>(irp), major);
}

void OnDispatchReturned(const DispatchReturn& dispatch)
{
    void* routine = Address(dispatch.Routine);
    const char* major = MajorName(dispatch.Major);
    void* device = dispatch.Device;
    void* irp = dispatch.Irp;
    const RoutineExit& exit = dispatch.Exit;
    const DispatchOutcome& outcome = dispatch.Outcome;
    const NTSTATUS status = dispatch.Status;
    if (exit.Returned != exit.Expected) {
        VerifierReport(Rule::DISPATCH_IRQL_CHANGED,
                       "dispatch routine %p (%s, device %p) returned at IRQL %d, entered at %d",
                       routine, major, device, exit.Returned, exit.Expected);
        RestoreIrql(exit.Expected);
    }
    if (KeptLock(exit)) {
        VerifierReport(Rule::DISPATCH_RETURNED_WITH_LOCK_HELD,
                       "dispatch routine %p (%s, device %p) returned holding spin lock %p", routine,
                       major, device, static_cast<void*>(exit.Held.Last()));
    }
    if (status == STATUS_PENDING) {
        // A request passed down carries the lower driver's mark, which reaches this location
        // only when the walk comes up.
        if (!outcome.PassedDown && !outcome.Marked) {
            VerifierReport(Rule::PENDING_NOT_MARKED,
                           "dispatch routine %p (%s, device %p) returned STATUS_PENDING for IRP "
                           "%p without IoMarkIrpPending",
                           routine, major, device, irp);
        }
    } else if (outcome.Marked) {
        VerifierReport(Rule::PENDING_MARKED_NOT_RETURNED,
                       "dispatch routine %p (%s, device %p) returned %#x for IRP %p, whose stack "
                       "location is marked pending",
                       routine, major, device, static_cast<unsigned>(status), irp);
    } else if (!outcome.PassedDown && !outcome.Left) {
        // Windows takes the request for finished: its buffer is released while the driver
        // still holds it, and the driver's completion later ends it a second time.
        VerifierReport(Rule::DISPATCH_RETURNED_WITHOUT_COMPLETING,
                       "dispatch routine %p (%s, device %p) returned %#x for IRP %p, which it "
                       "neither completed, passed down nor marked pending",
                       routine, major, device, static_cast<unsigned>(status), irp);
    } else if (outcome.Left && status != outcome.StatusLeft &&
               !(outcome.PassedDown && status == outcome.LowerStatus)) {
        // Compared with the status as the walk left this driver's location: completion
        // routines above may still change it. Returning what the lower call returned is
        // the forwarding pattern and always right.
        VerifierReport(Rule::DISPATCH_STATUS_MISMATCH,
                       "dispatch routine %p (%s, device %p) completed IRP %p with %#x but "
                       "returned %#x",
                       routine, major, device, irp, static_cast<unsigned>(outcome.StatusLeft),
                       static_cast<unsigned>(status));
    }
}

bool OnCompleteRequest(const CompletionFacts& facts)
{
    void* irp = facts.Irp;
    if (!facts.Known) {
        VerifierReport(Rule::IRP_UNKNOWN, "IofCompleteRequest(%p): not an IRP of the I/O manager",
                       irp);
        return false;
    }
    const char* major = MajorName(facts.Major);
    if (facts.Finished) {
        VerifierReport(Rule::IRP_COMPLETED_TWICE,
                       "IofCompleteRequest(IRP %p, %s): the IRP was already completed", irp, major);
        return false;
    }
    if (facts.Irp->IoStatus.Status == STATUS_PENDING) {
        VerifierReport(Rule::IRP_COMPLETED_WITH_STATUS_PENDING,
                       "IofCompleteRequest(IRP %p, %s) with status STATUS_PENDING", irp, major);
    }
    if (facts.CancelRoutine != nullptr) {
        VerifierReport(Rule::IRP_COMPLETED_WITH_CANCEL_ROUTINE,
                       "IofCompleteRequest(IRP %p, %s) with cancel routine %p still set", irp,
                       major, reinterpret_cast<void*>(facts.CancelRoutine));
    }
    const PIRP request = facts.Irp;
    if (request->CurrentLocation < 1 || request->CurrentLocation > request->StackCount + 1) {
        VerifierReport(Rule::IRP_STACK_LOCATION_CORRUPT,
                       "IofCompleteRequest(IRP %p): current location %d of %d stack locations", irp,
                       request->CurrentLocation, request->StackCount);
        return false;
    }
    return true;
}

void OnCompletedInsideCompletion(PIO_COMPLETION_ROUTINE routine, PIRP irp)
{
    VerifierReport(Rule::IRP_COMPLETED_TWICE,
                   "completion routine %p completed IRP %p and then let its completion go on",
                   reinterpret_cast<void*>(routine), static_cast<void*>(irp));
}

void OnCompletionGoesOn(PIO_COMPLETION_ROUTINE routine, PIRP irp, NTSTATUS result, bool markMissing)
{
    if (result == STATUS_PENDING) {
        VerifierReport(Rule::COMPLETION_ROUTINE_RETURNED_PENDING,
                       "completion routine %p (IRP %p) returned STATUS_PENDING",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp));
    }
    if (markMissing) {
        VerifierReport(Rule::PENDING_NOT_PROPAGATED,
                       "completion routine %p let the completion of IRP %p go on without "
                       "IoMarkIrpPending although PendingReturned is set",
                       reinterpret_cast<void*>(routine), static_cast<void*>(irp));
    }
}

void OnRequestFinished(const RequestEnd& end)
{
    const ULONG_PTR information = end.Irp->IoStatus.Information;
    if (end.LimitInformation && information > end.OutputLength) {
        VerifierReport(Rule::INFORMATION_EXCEEDS_BUFFER,
                       "IRP %p (%s) completed with Information %lu, more than its %lu-byte "
                       "output buffer",
                       static_cast<void*>(end.Irp), MajorName(end.Major),
                       static_cast<unsigned long>(information),
                       static_cast<unsigned long>(end.OutputLength));
    }
    for (const auto& [index, device] : end.PowerStartsMissing) {
        VerifierReport(Rule::PO_START_NEXT_MISSING,
                       "power IRP %p (minor %u) completed without PoStartNextPowerIrp from "
                       "device %p (stack location %d)",
                       static_cast<void*>(end.Irp), end.Minor, static_cast<void*>(device),
                       index + 1);
    }
}

// ---- Devices ------------------------------------------------------------------------------------

void OnDeviceLeavingStack(const char* routine, PDEVICE_OBJECT device, bool inSurpriseRemoval)
{
    if (inSurpriseRemoval) {
        VerifierReport(Rule::DEVICE_DELETED_OR_DETACHED_BEFORE_REMOVE,
                       "%s(%p) after IRP_MN_SURPRISE_REMOVAL and before IRP_MN_REMOVE_DEVICE",
                       routine, static_cast<void*>(device));
    }
}

// ---- Drivers unloading ---------------------------------------------------------------------

void OnDriverUnloaded(const UnloadLeftovers& left)
{
    const char* driver = left.Driver.c_str();
    if (!left.PoolByTag.empty()) {
        std::string list;
        for (const auto& [tag, counts] : left.PoolByTag) {
            char line[96];
            snprintf(line, sizeof(line), "%stag '%s': %zu block(s), %zu byte(s)",
                     list.empty() ? "" : "; ", TagText(tag).c_str(), counts.first, counts.second);
            list += line;
        }
        VerifierReport(Rule::POOL_LEAK_AT_UNLOAD,
                       "driver %s unloaded with pool still allocated: %s", driver, list.c_str());
    }
    if (left.WorkItemsNotFreed != 0) {
        VerifierReport(Rule::WORK_ITEM_LEAK_AT_UNLOAD,
                       "driver %s unloaded with %zu work item(s) never freed", driver,
                       left.WorkItemsNotFreed);
    }
    if (left.WorkItemsQueued != 0) {
        VerifierReport(Rule::WORK_ITEM_QUEUED_AT_UNLOAD,
                       "driver %s unloaded with %zu work item(s) still queued", driver,
                       left.WorkItemsQueued);
    }
    auto join = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) {
            text += (text.empty() ? "" : "; ") + item;
        }
        return text;
    };
    if (!left.TimersSet.empty()) {
        VerifierReport(Rule::TIMER_SET_AT_UNLOAD, "driver %s unloaded with timers still set: %s",
                       driver, join(left.TimersSet).c_str());
    }
    if (!left.DpcsQueued.empty()) {
        VerifierReport(Rule::DPC_QUEUED_AT_UNLOAD, "driver %s unloaded with DPCs still queued: %s",
                       driver, join(left.DpcsQueued).c_str());
    }
    if (!left.KeysOpen.empty()) {
        VerifierReport(Rule::REGISTRY_HANDLE_LEAK_AT_UNLOAD,
                       "driver %s unloaded with registry keys still open: %s", driver,
                       join(left.KeysOpen).c_str());
    }
    if (!left.Callbacks.empty()) {
        VerifierReport(Rule::CALLBACK_REGISTERED_AT_UNLOAD,
                       "driver %s unloaded with callback registrations still in place: %s", driver,
                       join(left.Callbacks).c_str());
    }
    if (!left.Notifications.empty()) {
        VerifierReport(Rule::PNP_NOTIFICATION_REGISTERED_AT_UNLOAD,
                       "driver %s unloaded with notifications still registered: %s", driver,
                       join(left.Notifications).c_str());
    }
    if (!left.DevicesLeft.empty()) {
        VerifierReport(Rule::DEVICE_LEFT_AT_UNLOAD,
                       "driver %s unloaded with device objects still there: %s", driver,
                       join(left.DevicesLeft).c_str());
    }
}

} // namespace qvx
