// The life of a request: allocation, IofCallDriver, the completion walk, the end of the
// request (released into a poisoned quarantine), cancellation with the cancel spin lock, and
// the start of the next power request. The bookkeeping is here; the verifier judges each event
// (a dispatch returned, a completion routine returned, the request finished).

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace qvx {

namespace {

// Completed IRPs kept poisoned before their memory is reused.
constexpr size_t IRP_QUARANTINE = 256;

bool HoldsLock(const CpuContext& cpu, const KSPIN_LOCK* lock)
{
    if (!VerifierOn()) {
        return __atomic_load_n(lock, __ATOMIC_RELAXED) == cpu.Token;
    }
    for (int i = 0; i < cpu.HeldCount; ++i) {
        if (cpu.Held[i] == lock) {
            return true;
        }
    }
    return false;
}

} // namespace

// ---- Allocation ---------------------------------------------------------------------------------

std::shared_ptr<IoManagerImpl::IrpRecord> IoManagerImpl::NewIrp(CCHAR stackSize)
{
    if (stackSize < 1 || stackSize > 64) {
        return nullptr;
    }
    auto record = std::make_shared<IrpRecord>();
    record->Bytes = sizeof(IRP) + (stackSize + 1) * sizeof(IO_STACK_LOCATION);
    record->Memory = calloc(1, record->Bytes);
    if (record->Memory == nullptr) {
        return nullptr;
    }
    PIRP irp = static_cast<PIRP>(record->Memory);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(record->Bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    record->Irp = irp;
    std::lock_guard<std::mutex> guard(mutex_);
    record->Sequence = nextSequence_++;
    // No quarantined record can share the address: quarantined memory is not freed yet.
    irps_[irp] = record;
    return record;
}

PIRP IoManagerImpl::AllocateIrp(CCHAR stackSize, CompletionCallback onComplete)
{
    std::shared_ptr<IrpRecord> record = NewIrp(stackSize);
    if (record == nullptr) {
        return nullptr;
    }
    record->OnComplete = std::move(onComplete);
    return record->Irp;
}

size_t IoManagerImpl::OutstandingIrps(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const auto& [irp, record] : irps_) {
        if (!record->Finished && (device == nullptr || HeldByDeviceLocked(*record, device))) {
            ++count;
        }
    }
    return count;
}

void IoManagerImpl::SetFinishObserver(IrpFinishObserver* observer)
{
    finishObserver_.store(observer, std::memory_order_release);
}

// ---- Call and completion ------------------------------------------------------------------------

NTSTATUS IoManagerImpl::CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL irql = cpu.Irql;
    CheckIrqlCeiling("IofCallDriver");
    const std::thread::id self = std::this_thread::get_id();
    std::shared_ptr<IrpRecord> record;
    CallFacts facts{device, irp, false, false, false};
    bool fromDriver = false; // a driver's dispatch or completion routine passes it on
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindIrpLocked(irp);
        facts.Known = record != nullptr;
        facts.Finished = record != nullptr && record->Finished;
        if (facts.Known && !facts.Finished) {
            facts.DeviceLive = ReachableLocked(FindDeviceLocked(device));
            fromDriver = record->Track.PassedOnByDriver(self);
        }
    }
    switch (OnCallDriver(facts)) {
    case CallVerdict::Dispatch:
        break;
    case CallVerdict::Refuse:
        return STATUS_INVALID_PARAMETER;
    case CallVerdict::NoStackLocation:
        // Nothing was called: a caller that waits for the lower status completes the IRP
        // itself, so the request is left with it.
        return STATUS_INVALID_DEVICE_REQUEST;
    case CallVerdict::DeviceGone:
        // End it from the location the caller prepared, so its completion routine runs.
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        CompleteRequest(irp);
        return STATUS_NO_SUCH_DEVICE;
    }
    int location = 0;
    UCHAR major = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = device;
        location = static_cast<UCHAR>(irp->CurrentLocation);
        major = stack->MajorFunction;
        if (record->Major == 0 && record->Minor == 0) {
            record->Major = major;
            record->Minor = stack->MinorFunction;
        }
        record->Track.EnterDispatch(location, device, self, major, stack->MinorFunction);
    }
    if (major == IRP_MJ_POWER && fromDriver) {
        OnPowerRequestPassed(device, irp, viaPoCallDriver);
    }
    PDRIVER_DISPATCH dispatch = io_detail::DefaultDispatch;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        OnInvalidMajorFunction(device, irp, major);
    } else if (device->DriverObject->MajorFunction[major] != nullptr) {
        dispatch = device->DriverObject->MajorFunction[major];
    }
    const int heldBefore = cpu.HeldCount;
    NTSTATUS status;
    {
        const RunningDriverScope running(device->DriverObject);
        status = dispatch(device, irp);
    }
    DispatchReturn returned{
        dispatch,         major,
        device,           irp,
        status,           RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}},
        DispatchOutcome()};
    {
        std::lock_guard<std::mutex> guard(mutex_);
        returned.Outcome =
            record->Track.LeaveDispatch(location, self, status, record->Finished,
                                        record->FinalStatus, &StackBase(irp)[location - 1]);
    }
    OnDispatchReturned(returned);
    return status;
}

void IoManagerImpl::CompleteRequest(PIRP irp)
{
    CpuContext& cpu = CurrentCpu();
    const KIRQL irql = cpu.Irql;
    CheckIrqlCeiling("IofCompleteRequest");
    std::shared_ptr<IrpRecord> record;
    CompletionFacts facts{irp, false, false, 0, nullptr};
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindIrpLocked(irp);
        facts.Known = record != nullptr;
        facts.Finished = record != nullptr && record->Finished;
        facts.Major = record != nullptr ? record->Major : 0;
    }
    if (facts.Known && !facts.Finished) {
        // The cancel path exchanges the routine atomically at any time; read it the same way.
        facts.CancelRoutine = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE);
    }
    const bool goOn = OnCompleteRequest(facts);
    if (facts.CancelRoutine != nullptr) {
        // A later cancel must not call into a completed request.
        (void)IoSetCancelRoutine(irp, nullptr);
    }
    if (!goOn) {
        return;
    }
    const std::thread::id self = std::this_thread::get_id();
    while (irp->CurrentLocation <= irp->StackCount) {
        UCHAR control = 0;
        PIO_COMPLETION_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
            control = stack->Control;
            routine = stack->CompletionRoutine;
            context = stack->Context;
            irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
            record->Track.WalkLeaves(irp->CurrentLocation, irp->PendingReturned != FALSE,
                                     irp->IoStatus.Status);
            IoSkipCurrentIrpStackLocation(irp);
        }
        const bool pastTop = irp->CurrentLocation > irp->StackCount;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                   (__atomic_load_n(&irp->Cancel, __ATOMIC_RELAXED) &&
                                    (control & SL_INVOKE_ON_CANCEL) != 0));
        if (!invoke) {
            if (irp->PendingReturned && !pastTop) {
                std::lock_guard<std::mutex> guard(mutex_);
                irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            }
            continue;
        }
        PDEVICE_OBJECT owner =
            pastTop ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        const int location = static_cast<UCHAR>(irp->CurrentLocation);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            record->Track.EnterCompletion(location, owner, self);
        }
        const int heldBefore = cpu.HeldCount;
        const NTSTATUS result = routine(owner, irp, context);
        bool nestedFinish = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            record->Track.LeaveCompletion(location, self);
            nestedFinish = record->Finished;
        }
        OnCompletionRoutineReturned(
            routine, irp, RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}});
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            return; // The IRP belongs to the routine's owner now; it may be gone already.
        }
        if (nestedFinish) {
            OnCompletedInsideCompletion(routine, irp);
            return;
        }
        OnCompletionGoesOn(
            routine, irp, result,
            irp->PendingReturned && !pastTop &&
                (irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED) == 0);
    }
    Finish(record);
}

void IoManagerImpl::Finish(const std::shared_ptr<IrpRecord>& record)
{
    PIRP irp = record->Irp;
    RequestEnd end{
        irp, record->Major, record->Minor, record->LimitInformation, record->OutputLength, {}};
    std::shared_ptr<FileRecord> closeNow;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record->Finished = true;
        record->FinalStatus = irp->IoStatus.Status;
        end.PowerStartsMissing = record->Track.PowerStartsMissing();
        if (record->File != nullptr) {
            FileRecord& file = *record->File;
            file.LiveIrps.erase(record.get());
            if (file.Closing && !file.CloseQueued && file.LiveIrps.empty()) {
                file.CloseQueued = true;
                closeNow = record->File;
            }
        }
    }
    OnRequestFinished(end);
    if (IrpFinishObserver* observer = finishObserver_.load(std::memory_order_acquire)) {
        observer->OnIrpFinished(irp);
    }
    if (closeNow != nullptr) {
        // Close arrives later and at PASSIVE_LEVEL, whatever context ended the last request;
        // it is queued before the requester hears of the completion.
        PostPassive([this, closeNow] { SendClose(closeNow); });
    }
    if (record->OnComplete) {
        record->OnComplete(irp);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (record->CancelReferences > 0) {
        record->ReleaseWhenUnreferenced = true;
    } else {
        ReleaseIrpLocked(record);
    }
}

void IoManagerImpl::ReleaseIrpLocked(const std::shared_ptr<IrpRecord>& record)
{
    io_detail::Poison(record->Memory, record->Bytes);
    io_detail::Poison(record->SystemBuffer, record->SystemBufferBytes);
    record->OnComplete = nullptr;
    record->File.reset();
    // Frames stay: a dispatch routine may still be on its way back (it removes its own).
    irpQuarantine_.push_back(record);
    while (irpQuarantine_.size() > IRP_QUARANTINE) {
        std::shared_ptr<IrpRecord> oldest = irpQuarantine_.front();
        irpQuarantine_.pop_front();
        auto it = irps_.find(oldest->Irp);
        if (it != irps_.end() && it->second == oldest) {
            irps_.erase(it);
        }
        io_detail::Unpoison(oldest->Memory, oldest->Bytes);
        io_detail::Unpoison(oldest->SystemBuffer, oldest->SystemBufferBytes);
        free(oldest->Memory);
        free(oldest->SystemBuffer);
        oldest->Memory = nullptr;
        oldest->SystemBuffer = nullptr;
    }
}

// ---- Cancellation -------------------------------------------------------------------------------

void IoManagerImpl::DropCancelReference(const std::shared_ptr<IrpRecord>& record)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (--record->CancelReferences == 0 && record->ReleaseWhenUnreferenced) {
        record->ReleaseWhenUnreferenced = false;
        ReleaseIrpLocked(record);
    }
}

void IoManagerImpl::AcquireCancelSpinLock(PKIRQL irql)
{
    CheckIrqlCeiling("IoAcquireCancelSpinLock");
    *irql = KfAcquireSpinLock(&cancelLock_);
}

void IoManagerImpl::ReleaseCancelSpinLock(KIRQL irql)
{
    if (!HoldsLock(CurrentCpu(), &cancelLock_)) {
        VerifierReport(Rule::CANCEL_SPINLOCK_NOT_HELD,
                       "IoReleaseCancelSpinLock(%d) without holding the cancel spin lock", irql);
        return;
    }
    // Release and lower in two steps: the new IRQL need not be the one the acquire returned
    // (a cancel routine goes back to Irp->CancelIrql, or stays at DISPATCH_LEVEL).
    KefReleaseSpinLockFromDpcLevel(&cancelLock_);
    KfLowerIrql(irql);
}

BOOLEAN IoManagerImpl::CancelIrp(PIRP irp)
{
    CheckIrqlCeiling("IoCancelIrp");
    std::shared_ptr<IrpRecord> record;
    bool finished = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindIrpLocked(irp);
        finished = record != nullptr && record->Finished;
        if (record != nullptr && !finished) {
            ++record->CancelReferences;
        }
    }
    if (record == nullptr) {
        VerifierReport(Rule::IRP_UNKNOWN, "IoCancelIrp(%p): not an IRP of the I/O manager",
                       static_cast<void*>(irp));
        return FALSE;
    }
    if (finished) {
        VerifierReport(Rule::IRP_USED_AFTER_COMPLETION,
                       "IoCancelIrp(IRP %p) after the IRP was completed", static_cast<void*>(irp));
        return FALSE;
    }
    const BOOLEAN cancelled = CancelIrpRecord(record);
    DropCancelReference(record);
    return cancelled;
}

BOOLEAN IoManagerImpl::CancelIrpRecord(const std::shared_ptr<IrpRecord>& record)
{
    PIRP irp = record->Irp;
    CpuContext& cpu = CurrentCpu();
    KIRQL irql = PASSIVE_LEVEL;
    AcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELEASE);
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        ReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    const int heldBefore = cpu.HeldCount - 1;
    routine(device, irp);
    if (HoldsLock(cpu, &cancelLock_)) {
        OnCancelRoutineKeptCancelLock(routine, irp);
        ReleaseCancelSpinLock(irql);
    }
    OnCancelRoutineReturned(routine, irp,
                            RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}});
    return TRUE;
}

// ---- Power --------------------------------------------------------------------------------------

void IoManagerImpl::StartNextPowerIrp(PIRP irp)
{
    CheckIrqlCeiling("PoStartNextPowerIrp");
    const std::thread::id self = std::this_thread::get_id();
    std::shared_ptr<IrpRecord> record;
    std::optional<Rule> problem;
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindIrpLocked(irp);
        if (record == nullptr) {
            problem = Rule::IRP_UNKNOWN;
        } else if (record->Finished) {
            problem = Rule::IRP_USED_AFTER_COMPLETION;
        } else if (!record->Track.TracksPowerStart()) {
            return; // Not needed for wait-wake and power-sequence requests; harmless.
        } else if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
            problem = Rule::PO_START_NEXT_WRONG_LOCATION;
        } else {
            device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            problem = record->Track.PowerStarted(irp->CurrentLocation, device, self);
        }
    }
    if (problem.has_value()) {
        VerifierReport(*problem,
                       "PoStartNextPowerIrp(IRP %p): device %p; the call must come once per "
                       "query-power or set-power request while the caller's own stack location "
                       "is current",
                       static_cast<void*>(irp), static_cast<void*>(device));
    }
}

} // namespace qvx
