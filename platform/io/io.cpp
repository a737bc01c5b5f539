// The I/O manager's kernel face: device objects and stacks, the request engine (call,
// completion walk, end of a request), cancellation and the cancel spin lock, work items.
// The routines check the driver as the verifier would; a violation in recording mode leaves
// the system in a state the test can still inspect and tear down.

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/pnp.h"
#include "platform/verifier/verifier.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace qvx {

namespace {

// Completed IRPs and deleted devices kept poisoned before their memory is reused.
constexpr size_t IRP_QUARANTINE = 256;
constexpr size_t DEVICE_QUARANTINE = 64;
constexpr unsigned char POISON_FILL = 0xDD;

PIO_STACK_LOCATION StackBase(PIRP irp)
{
    // The guard location sits between the IRP and location 0, so a driver that writes the
    // "next" location of the lowest driver hits the guard instead of the IRP.
    return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<char*>(irp) + sizeof(IRP)) + 1;
}

bool HoldsLock(const CpuContext& cpu, const KSPIN_LOCK* lock)
{
    for (int i = 0; i < cpu.HeldCount; ++i) {
        if (cpu.Held[i] == lock) {
            return true;
        }
    }
    return false;
}

size_t ViolationCount()
{
    const Verifier* verifier = Verifier::Current();
    return verifier != nullptr ? verifier->ViolationCount() : 0;
}

} // namespace

namespace io_detail {

void Poison(void* memory, size_t bytes)
{
    if (memory == nullptr || bytes == 0) {
        return;
    }
    memset(memory, POISON_FILL, bytes);
    ASAN_POISON_MEMORY_REGION(memory, bytes);
}

void Unpoison(void* memory, size_t bytes)
{
    if (memory != nullptr && bytes != 0) {
        ASAN_UNPOISON_MEMORY_REGION(memory, bytes);
    }
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace io_detail

// ---- Tables -------------------------------------------------------------------------------

std::shared_ptr<IoManagerImpl::IrpRecord> IoManagerImpl::FindIrpLocked(PIRP irp) const
{
    auto it = irps_.find(irp);
    return it != irps_.end() ? it->second : nullptr;
}

IoManagerImpl::DeviceRecord* IoManagerImpl::FindDeviceLocked(PDEVICE_OBJECT device) const
{
    auto it = devices_.find(device);
    return it != devices_.end() ? it->second.get() : nullptr;
}

PDEVICE_OBJECT IoManagerImpl::TopLocked(PDEVICE_OBJECT device) const
{
    int guard = 0;
    while (device != nullptr && device->AttachedDevice != nullptr && ++guard < 64) {
        device = device->AttachedDevice;
    }
    return device;
}

bool IoManagerImpl::HeldByDeviceLocked(const IrpRecord& record, PDEVICE_OBJECT device) const
{
    if (record.Finished) {
        return false;
    }
    const PIRP irp = record.Irp;
    const PIO_STACK_LOCATION base = StackBase(irp);
    for (int i = std::max(irp->CurrentLocation - 1, 0); i < irp->StackCount; ++i) {
        if (base[i].DeviceObject == device) {
            return true;
        }
    }
    return false;
}

bool IoManagerImpl::ReachableLocked(const DeviceRecord* record)
{
    return record != nullptr && (!record->Deleted || record->DeletePending);
}

bool IoManagerImpl::ReferencedByFileLocked(PDEVICE_OBJECT device) const
{
    auto references = [device](const std::shared_ptr<FileRecord>& file) {
        return file->Object != nullptr && (file->Device == device || file->Target == device);
    };
    for (const auto& [handle, file] : handles_) {
        if (references(file)) {
            return true;
        }
    }
    for (const auto& file : closing_) {
        if (references(file)) {
            return true;
        }
    }
    for (const auto& file : opening_) {
        if (references(file)) {
            return true;
        }
    }
    return false;
}

bool IoManagerImpl::StillReferencedLocked(PDEVICE_OBJECT device) const
{
    return ReferencedByFileLocked(device) || device->AttachedDevice != nullptr;
}

bool IoManagerImpl::ConsumeFault(IoFault fault, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return faults_.Consume(fault, status);
}

// ---- Devices --------------------------------------------------------------------------------

NTSTATUS IoManagerImpl::CreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                                     PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                     ULONG characteristics, BOOLEAN exclusive,
                                     PDEVICE_OBJECT* deviceObject)
{
    CheckIrqlCeiling("IoCreateDevice");
    if (deviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *deviceObject = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (drivers_.count(driverObject) == 0) {
            VerifierReport(Rule::DRIVER_OBJECT_UNKNOWN, "IoCreateDevice with driver object %p",
                           static_cast<void*>(driverObject));
            return STATUS_INVALID_PARAMETER;
        }
    }
    NTSTATUS failure = STATUS_SUCCESS;
    if (ConsumeFault(IoFault::CreateDevice, &failure)) {
        return failure;
    }
    std::u16string name;
    if (deviceName != nullptr && deviceName->Buffer != nullptr && deviceName->Length != 0) {
        name.assign(deviceName->Buffer, deviceName->Length / sizeof(WCHAR));
    }
    return CreateDeviceCore(driverObject, extensionSize, name, deviceType, characteristics,
                            DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0), deviceObject);
}

PDEVICE_OBJECT IoManagerImpl::CreatePlatformDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                                   DEVICE_TYPE deviceType, ULONG flags)
{
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status =
        CreateDeviceCore(driver, extensionSize, std::u16string(), deviceType, 0, flags, &device);
    return NT_SUCCESS(status) ? device : nullptr;
}

NTSTATUS IoManagerImpl::CreateDeviceCore(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                                         const std::u16string& name, DEVICE_TYPE deviceType,
                                         ULONG characteristics, ULONG flags,
                                         PDEVICE_OBJECT* deviceObject)
{
    const size_t objectBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    const size_t bytes = objectBytes + extensionSize;
    void* memory = calloc(1, bytes);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(std::min<size_t>(bytes, MAXUSHORT));
    device->DriverObject = driverObject;
    device->Flags = flags;
    device->Characteristics = characteristics;
    device->DeviceExtension =
        extensionSize != 0 ? static_cast<char*>(memory) + objectBytes : nullptr;
    device->DeviceType = deviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    if (!name.empty()) {
        const NTSTATUS status = side_.NamesCore().InsertDevice(name, device);
        if (!NT_SUCCESS(status)) {
            free(memory);
            return status;
        }
    }
    auto record = std::make_unique<DeviceRecord>();
    record->Device = device;
    record->Memory = memory;
    record->Bytes = bytes;
    record->Name = name;
    std::lock_guard<std::mutex> guard(mutex_);
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    devices_[device] = std::move(record);
    *deviceObject = device;
    return STATUS_SUCCESS;
}

void IoManagerImpl::DeleteDevice(PDEVICE_OBJECT device)
{
    CheckIrqlCeiling("IoDeleteDevice");
    if (side_.PnpCore().InSurpriseRemoval(device)) {
        VerifierReport(Rule::DEVICE_DELETED_OR_DETACHED_BEFORE_REMOVE,
                       "IoDeleteDevice(%p) after IRP_MN_SURPRISE_REMOVAL and before "
                       "IRP_MN_REMOVE_DEVICE",
                       static_cast<void*>(device));
    }
    std::vector<std::pair<PIRP, UCHAR>> held;
    size_t queuedItems = 0;
    bool attached = false;
    bool alreadyDeleted = false;
    DeviceRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindDeviceLocked(device);
        alreadyDeleted = record != nullptr && record->Deleted;
        if (record != nullptr && !alreadyDeleted) {
            for (const auto& [irp, irpRecord] : irps_) {
                if (HeldByDeviceLocked(*irpRecord, device)) {
                    held.emplace_back(irp, irpRecord->Major);
                }
            }
            for (PIO_WORKITEM item : workItems_) {
                queuedItems += (item->DeviceObject == device && item->Queued) ? 1 : 0;
            }
            // A device still attached to the one below would leave it pointing into freed
            // memory. One with a device still attached above is different: on Windows the
            // attachment holds a reference, so the object stays until that device detaches
            // (the removal order of a stack with filters: each driver deletes its own device
            // while the driver above has not detached yet).
            for (const auto& [other, otherRecord] : devices_) {
                if (!otherRecord->Deleted && other->AttachedDevice == device) {
                    other->AttachedDevice = nullptr;
                    attached = true;
                }
            }
            PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
            while (*link != nullptr && *link != device) {
                link = &(*link)->NextDevice;
            }
            if (*link == device) {
                *link = device->NextDevice;
            }
            record->Deleted = true;
            // Windows keeps a device that file objects reference until the last goes.
            record->DeletePending = StillReferencedLocked(device);
        }
    }
    if (record == nullptr || alreadyDeleted) {
        VerifierReport(record == nullptr ? Rule::DEVICE_UNKNOWN : Rule::DEVICE_DELETED_TWICE,
                       "IoDeleteDevice(%p): not a live device object", static_cast<void*>(device));
        return;
    }
    for (const auto& [irp, major] : held) {
        VerifierReport(Rule::DEVICE_DELETED_WITH_IRPS,
                       "IoDeleteDevice(%p) while IRP %p (%s) is still held by the device",
                       static_cast<void*>(device), static_cast<void*>(irp), MajorName(major));
    }
    if (queuedItems != 0) {
        VerifierReport(Rule::WORK_ITEM_QUEUED_AT_DELETE,
                       "IoDeleteDevice(%p) with %zu work item(s) of the device still queued",
                       static_cast<void*>(device), queuedItems);
    }
    if (attached) {
        VerifierReport(Rule::DEVICE_DELETED_WHILE_ATTACHED,
                       "IoDeleteDevice(%p) while the device is still part of a device stack",
                       static_cast<void*>(device));
    }
    if (!record->Name.empty()) {
        side_.NamesCore().RemoveDevice(record->Name);
    }
    if (record->DeletePending) {
        return; // Freed when the last file object or attached device lets go of it.
    }
    const size_t violationsBefore = ViolationCount();
    CheckFreedRange(record->Memory, record->Bytes, "device object with its extension");
    const bool clean = ViolationCount() == violationsBefore;
    std::lock_guard<std::mutex> guard(mutex_);
    // Memory that still holds a set timer or a queued DPC stays intact until teardown: the
    // executive's lists run through it.
    if (clean) {
        BuryDeviceLocked(record);
    }
}

std::string IoManagerImpl::DescribeAddress(const void* address) const
{
    const auto* p = static_cast<const char*>(address);
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [device, record] : devices_) {
        const auto* extension = static_cast<const char*>(device->DeviceExtension);
        const auto* end = static_cast<const char*>(record->Memory) + record->Bytes;
        if (!record->Poisoned && extension != nullptr && p >= extension && p < end) {
            char text[96];
            snprintf(text, sizeof(text), "(extension of device %p + %#zx)",
                     static_cast<void*>(device), static_cast<size_t>(p - extension));
            return text;
        }
    }
    return std::string();
}

void IoManagerImpl::FinishDeletePending(PDEVICE_OBJECT device)
{
    DeviceRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record = FindDeviceLocked(device);
        if (record == nullptr || !record->DeletePending || StillReferencedLocked(device)) {
            return;
        }
        record->DeletePending = false;
    }
    const size_t violationsBefore = ViolationCount();
    CheckFreedRange(record->Memory, record->Bytes, "device object with its extension");
    const bool clean = ViolationCount() == violationsBefore;
    std::lock_guard<std::mutex> guard(mutex_);
    if (clean) {
        BuryDeviceLocked(record);
    }
}

void IoManagerImpl::BuryDeviceLocked(DeviceRecord* record)
{
    io_detail::Poison(record->Memory, record->Bytes);
    record->Poisoned = true;
    deletedDevices_.push_back(record->Device);
    while (deletedDevices_.size() > DEVICE_QUARANTINE) {
        PDEVICE_OBJECT oldest = deletedDevices_.front();
        deletedDevices_.pop_front();
        auto it = devices_.find(oldest);
        if (it != devices_.end()) {
            FreeDeviceMemory(it->second.get());
            devices_.erase(it);
        }
    }
}

void IoManagerImpl::FreeDeviceMemory(DeviceRecord* record)
{
    if (record->Poisoned) {
        io_detail::Unpoison(record->Memory, record->Bytes);
    }
    free(record->Memory);
    record->Memory = nullptr;
}

PDEVICE_OBJECT IoManagerImpl::AttachDeviceToDeviceStack(PDEVICE_OBJECT source,
                                                        PDEVICE_OBJECT target)
{
    CheckIrqlCeiling("IoAttachDeviceToDeviceStack");
    NTSTATUS failure = STATUS_SUCCESS;
    if (ConsumeFault(IoFault::AttachDevice, &failure)) {
        return nullptr;
    }
    return AttachPlatformDevice(source, target);
}

PDEVICE_OBJECT IoManagerImpl::AttachPlatformDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* sourceRecord = FindDeviceLocked(source);
    DeviceRecord* targetRecord = FindDeviceLocked(target);
    if (sourceRecord == nullptr || sourceRecord->Deleted || targetRecord == nullptr ||
        targetRecord->Deleted) {
        return nullptr;
    }
    PDEVICE_OBJECT top = TopLocked(target);
    if (top == source) {
        return nullptr;
    }
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement =
        std::max(source->AlignmentRequirement, top->AlignmentRequirement);
    return top;
}

void IoManagerImpl::DetachDevice(PDEVICE_OBJECT lower)
{
    CheckIrqlCeiling("IoDetachDevice");
    if (side_.PnpCore().InSurpriseRemoval(lower)) {
        VerifierReport(Rule::DEVICE_DELETED_OR_DETACHED_BEFORE_REMOVE,
                       "IoDetachDevice(%p) after IRP_MN_SURPRISE_REMOVAL and before "
                       "IRP_MN_REMOVE_DEVICE",
                       static_cast<void*>(lower));
    }
    bool deletePending = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DeviceRecord* record = FindDeviceLocked(lower);
        // A lower device deleted while this one was still attached is delete-pending: the
        // detach lets go of the last reference.
        if (record == nullptr || (record->Deleted && !record->DeletePending)) {
            VerifierReport(Rule::DEVICE_UNKNOWN, "IoDetachDevice(%p): not a live device object",
                           static_cast<void*>(lower));
            return;
        }
        lower->AttachedDevice = nullptr;
        deletePending = record->DeletePending;
    }
    if (deletePending) {
        FinishDeletePending(lower);
    }
}

// ---- Requests --------------------------------------------------------------------------------

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
        location = irp->CurrentLocation;
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
    const NTSTATUS status = dispatch(device, irp);
    DispatchReturn returned{
        dispatch,         major,
        device,           irp,
        status,           RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}},
        DispatchOutcome()};
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const bool ownMark = (StackBase(irp)[location - 1].Control & SL_PENDING_RETURNED) != 0;
        returned.Outcome = record->Track.LeaveDispatch(location, self, status, record->Finished,
                                                       record->FinalStatus, ownMark);
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
        const int location = irp->CurrentLocation;
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

void IoManagerImpl::DropCancelReference(const std::shared_ptr<IrpRecord>& record)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (--record->CancelReferences == 0 && record->ReleaseWhenUnreferenced) {
        record->ReleaseWhenUnreferenced = false;
        ReleaseIrpLocked(record);
    }
}

// ---- Cancellation -----------------------------------------------------------------------

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

// ---- Work items ---------------------------------------------------------------------------

PIO_WORKITEM IoManagerImpl::AllocateWorkItem(PDEVICE_OBJECT device)
{
    CheckIrqlCeiling("IoAllocateWorkItem");
    NTSTATUS failure = STATUS_SUCCESS;
    if (ConsumeFault(IoFault::AllocateWorkItem, &failure)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    if (record == nullptr || record->Deleted) {
        VerifierReport(Rule::DEVICE_UNKNOWN, "IoAllocateWorkItem(%p): not a live device object",
                       static_cast<void*>(device));
        return nullptr;
    }
    auto* item = new _IO_WORKITEM{device, device->DriverObject, nullptr, nullptr, false, false};
    workItems_.insert(item);
    return item;
}

void IoManagerImpl::FreeWorkItem(PIO_WORKITEM item)
{
    CheckIrqlCeiling("IoFreeWorkItem");
    std::lock_guard<std::mutex> guard(mutex_);
    if (workItems_.count(item) == 0) {
        VerifierReport(Rule::WORK_ITEM_UNKNOWN, "IoFreeWorkItem(%p): not an allocated work item",
                       static_cast<void*>(item));
        return;
    }
    if (item->Queued) {
        VerifierReport(Rule::WORK_ITEM_FREED_WHILE_QUEUED, "IoFreeWorkItem(%p) while it is queued",
                       static_cast<void*>(item));
        item->FreeAfterRun = true;
        return;
    }
    workItems_.erase(item);
    delete item;
}

void IoManagerImpl::QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    CheckIrqlCeiling("IoQueueWorkItem");
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (workItems_.count(item) == 0 || item->FreeAfterRun) {
            VerifierReport(Rule::WORK_ITEM_UNKNOWN,
                           "IoQueueWorkItem(%p): not an allocated work item",
                           static_cast<void*>(item));
            return;
        }
        if (item->Queued) {
            VerifierReport(Rule::WORK_ITEM_QUEUED_TWICE, "IoQueueWorkItem(%p) while it is queued",
                           static_cast<void*>(item));
            return;
        }
        item->Routine = routine;
        item->Context = context;
        item->Queued = true;
    }
    PostPassive([this, item] { RunPassiveWorkItem(item); });
}

void IoManagerImpl::RunPassiveWorkItem(PIO_WORKITEM item)
{
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT device = nullptr;
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (workItems_.count(item) == 0) {
            return;
        }
        // Dequeued before it runs, so the routine may free or queue it again.
        item->Queued = false;
        routine = item->Routine;
        context = item->Context;
        device = item->DeviceObject;
        if (item->FreeAfterRun) {
            workItems_.erase(item);
            release = true;
        }
    }
    CpuContext& cpu = CurrentCpu();
    const KIRQL irql = cpu.Irql;
    const int heldBefore = cpu.HeldCount;
    routine(device, context);
    OnWorkItemReturned(routine, RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}});
    if (release) {
        delete item;
    }
}

// ---- Power ------------------------------------------------------------------------------------

POWER_STATE IoManagerImpl::SetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type,
                                         POWER_STATE state)
{
    CheckIrqlCeiling("PoSetPowerState");
    std::lock_guard<std::mutex> guard(mutex_);
    DeviceRecord* record = FindDeviceLocked(device);
    if (record == nullptr || record->Deleted) {
        VerifierReport(Rule::DEVICE_UNKNOWN, "PoSetPowerState(%p): not a live device object",
                       static_cast<void*>(device));
        return state;
    }
    POWER_STATE previous;
    if (type == DevicePowerState) {
        previous.DeviceState = record->PowerState;
        record->PowerState = state.DeviceState;
    } else {
        previous.SystemState = record->SystemState;
        record->SystemState = state.SystemState;
    }
    return previous;
}

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

using qvx::Machine;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    return qvx::IoSide::Current().IoCore().CreateDevice(
        DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics, Exclusive,
        DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    qvx::IoSide::Current().IoCore().DeleteDevice(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    return qvx::IoSide::Current().IoCore().AttachDeviceToDeviceStack(SourceDevice, TargetDevice);
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    qvx::IoSide::Current().IoCore().DetachDevice(TargetDevice);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return qvx::IoSide::Current().IoCore().CallDriver(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    qvx::IoSide::Current().IoCore().CompleteRequest(Irp);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    return qvx::IoSide::Current().IoCore().CancelIrp(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    qvx::IoSide::Current().IoCore().AcquireCancelSpinLock(Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    qvx::IoSide::Current().IoCore().ReleaseCancelSpinLock(Irql);
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    return qvx::IoSide::Current().IoCore().AllocateWorkItem(DeviceObject);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    qvx::IoSide::Current().IoCore().FreeWorkItem(IoWorkItem);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    qvx::IoSide::Current().IoCore().QueueWorkItem(IoWorkItem, WorkerRoutine, Context);
}

} // extern "C"
