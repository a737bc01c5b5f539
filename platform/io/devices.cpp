// Device objects: creation with a name, deletion (delete-pending while file objects still
// reference the device, then poisoned in a quarantine), stacks, and what PoSetPowerState
// records.

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/pnp.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qvx {

namespace {

// Deleted devices kept poisoned before their memory is reused.
constexpr size_t DEVICE_QUARANTINE = 64;

size_t ViolationCount()
{
    const Verifier* verifier = Verifier::Current();
    return verifier != nullptr ? verifier->ViolationCount() : 0;
}

} // namespace

// ---- Creation and deletion ----------------------------------------------------------------------

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
    OnDeviceLeavingStack("IoDeleteDevice", device, side_.PnpCore().InSurpriseRemoval(device));
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
    BuryIfClean(record);
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
    BuryIfClean(record);
}

void IoManagerImpl::BuryIfClean(DeviceRecord* record)
{
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

void IoManagerImpl::DestroyDeviceQuietly(PDEVICE_OBJECT device)
{
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DeviceRecord* record = FindDeviceLocked(device);
        if (record == nullptr) {
            return;
        }
        if (!record->Deleted) {
            for (const auto& [other, otherRecord] : devices_) {
                if (!otherRecord->Deleted && other->AttachedDevice == device) {
                    other->AttachedDevice = nullptr;
                }
            }
            PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
            while (*link != nullptr && *link != device) {
                link = &(*link)->NextDevice;
            }
            if (*link == device) {
                *link = device->NextDevice;
            }
            name = record->Name;
        }
        auto quarantined = std::find(deletedDevices_.begin(), deletedDevices_.end(), device);
        if (quarantined != deletedDevices_.end()) {
            deletedDevices_.erase(quarantined);
        }
        FreeDeviceMemory(record);
        devices_.erase(device);
    }
    if (!name.empty()) {
        side_.NamesCore().RemoveDevice(name);
    }
}

// ---- Stacks -------------------------------------------------------------------------------------

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
    OnDeviceLeavingStack("IoDetachDevice", lower, side_.PnpCore().InSurpriseRemoval(lower));
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

PDEVICE_OBJECT IoManagerImpl::AttachedTop(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && !record->Deleted ? TopLocked(device) : nullptr;
}

std::vector<PDEVICE_OBJECT> IoManagerImpl::DevicesAbove(PDEVICE_OBJECT bottom) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<PDEVICE_OBJECT> above;
    const DeviceRecord* record = FindDeviceLocked(bottom);
    if (record == nullptr || record->Poisoned) {
        return above;
    }
    for (PDEVICE_OBJECT d = bottom->AttachedDevice; d != nullptr && above.size() < 64;
         d = d->AttachedDevice) {
        above.push_back(d);
    }
    return above;
}

// ---- What the device is -------------------------------------------------------------------------

bool IoManagerImpl::IsDeletePending(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && record->DeletePending;
}

bool IoManagerImpl::IsDeviceLive(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && !record->Deleted;
}

std::u16string IoManagerImpl::DeviceName(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr ? record->Name : std::u16string();
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

DEVICE_POWER_STATE IoManagerImpl::DevicePowerStateOf(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr ? record->PowerState : PowerDeviceUnspecified;
}

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

} // namespace qvx
