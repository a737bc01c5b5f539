// Driver objects: loading a driver through DriverEntry, unloading it with the report of what it
// left behind, and the platform's built-in drivers.

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/notifications.h"
#include "platform/io/registry.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qvx {

PDRIVER_OBJECT IoManagerImpl::CreateBuiltInDriver(std::u16string_view name)
{
    auto record = std::make_unique<DriverRecord>();
    memset(&record->Object, 0, sizeof(record->Object));
    memset(&record->Extension, 0, sizeof(record->Extension));
    record->DriverName = u"\\Driver\\" + std::u16string(name);
    record->ServiceName = std::u16string(name);
    record->BuiltIn = true;
    DRIVER_OBJECT& object = record->Object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    object.DriverExtension = &record->Extension;
    record->Extension.DriverObject = &object;
    object.DriverName.Buffer = record->DriverName.data();
    object.DriverName.Length = static_cast<USHORT>(record->DriverName.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    record->Extension.ServiceKeyName.Buffer = record->ServiceName.data();
    record->Extension.ServiceKeyName.Length =
        static_cast<USHORT>(record->ServiceName.size() * sizeof(WCHAR));
    record->Extension.ServiceKeyName.MaximumLength = record->Extension.ServiceKeyName.Length;
    for (auto& dispatch : object.MajorFunction) {
        dispatch = io_detail::DefaultDispatch;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    PDRIVER_OBJECT driver = &record->Object;
    drivers_[driver] = std::move(record);
    return driver;
}

void IoManagerImpl::ReleaseBuiltInDriver(PDRIVER_OBJECT driver)
{
    while (driver->DeviceObject != nullptr) {
        DestroyDeviceQuietly(driver->DeviceObject);
    }
    ReleaseDriverObject(driver);
}

void IoManagerImpl::ReleaseDriverObject(PDRIVER_OBJECT driver)
{
    std::unique_ptr<DriverRecord> record;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = drivers_.find(driver);
        if (it == drivers_.end()) {
            return;
        }
        record = std::move(it->second);
        drivers_.erase(it);
    }
}

bool IoManagerImpl::IsDriverLoaded(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return drivers_.count(driver) != 0;
}

PDRIVER_OBJECT IoManagerImpl::LoadDriver(std::u16string_view serviceName,
                                         PDRIVER_INITIALIZE driverEntry, NTSTATUS* status,
                                         std::vector<ULONG> poolTags)
{
    auto fail = [status](NTSTATUS failure) -> PDRIVER_OBJECT {
        if (status != nullptr) {
            *status = failure;
        }
        return nullptr;
    };
    if (driverEntry == nullptr || serviceName.empty() ||
        serviceName.find(u'\\') != std::u16string_view::npos) {
        return fail(STATUS_INVALID_PARAMETER);
    }
    CheckIrqlCeiling("DriverEntry");
    const std::u16string keyPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
    if (!side_.RegistryCore().CreateKey(RegText(keyPath))) {
        return fail(STATUS_OBJECT_NAME_INVALID);
    }
    PDRIVER_OBJECT driver = CreateBuiltInDriver(serviceName);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DriverRecord& record = *drivers_[driver];
        record.BuiltIn = false;
        record.PoolTags = std::move(poolTags);
    }
    driver->DriverInit = driverEntry;
    // The path belongs to the system and goes away after DriverEntry: the driver copies it.
    const size_t bytes = keyPath.size() * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(malloc(bytes + sizeof(WCHAR)));
    memcpy(buffer, keyPath.data(), bytes);
    buffer[keyPath.size()] = 0;
    UNICODE_STRING path;
    path.Buffer = buffer;
    path.Length = static_cast<USHORT>(bytes);
    path.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    const KIRQL irql = KeGetCurrentIrql();
    NTSTATUS result;
    {
        const RunningDriverScope running(driver);
        result = driverEntry(driver, &path);
    }
    OnDriverRoutineReturned(("DriverEntry of " + Utf16ToUtf8(serviceName)).c_str(), irql,
                            KeGetCurrentIrql());
    memset(buffer, 0xDD, bytes + sizeof(WCHAR));
    free(buffer);
    if (!NT_SUCCESS(result)) {
        if (driver->DeviceObject != nullptr) {
            // Its devices still point at the driver object, so it stays until teardown.
            VerifierReport(Rule::DRIVER_ENTRY_FAILED_WITH_DEVICES,
                           "DriverEntry of %s failed with %#x and left device object %p behind",
                           Utf16ToUtf8(serviceName).c_str(), static_cast<unsigned>(result),
                           static_cast<void*>(driver->DeviceObject));
        } else {
            ReleaseDriverObject(driver);
        }
        return fail(result);
    }
    // The I/O manager finishes devices created in DriverEntry; AddDevice's are the driver's.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    }
    if (status != nullptr) {
        *status = result;
    }
    return driver;
}

NTSTATUS IoManagerImpl::UnloadDriver(PDRIVER_OBJECT driver)
{
    CheckIrqlCeiling("DriverUnload");
    std::vector<ULONG> tags;
    std::u16string name;
    bool alone = true; // no other driver is loaded that could own what nobody claims
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = drivers_.find(driver);
        if (it == drivers_.end() || it->second->BuiltIn) {
            return STATUS_INVALID_PARAMETER;
        }
        // A Plug and Play driver unloads after its last device is gone; a legacy driver
        // deletes its own devices in DriverUnload, once no handle to them is open.
        const bool legacy = driver->DriverExtension->AddDevice == nullptr;
        if (driver->DeviceObject != nullptr && !legacy) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        for (const auto& [handle, file] : handles_) {
            if (file->Device != nullptr && file->Device->DriverObject == driver) {
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        // A delete-pending device still takes requests (its close at least): the unload
        // waits for it, as on Windows.
        for (const auto& [device, record] : devices_) {
            if (record->DeletePending && device->DriverObject == driver) {
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        for (const auto& [other, record] : drivers_) {
            alone = alone && (other == driver || record->BuiltIn);
        }
        tags = it->second->PoolTags;
        name = it->second->ServiceName;
    }
    if (driver->DriverUnload == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KIRQL irql = KeGetCurrentIrql();
    {
        const RunningDriverScope running(driver);
        driver->DriverUnload(driver);
    }
    UnloadLeftovers left;
    left.Driver = Utf16ToUtf8(name);
    OnDriverRoutineReturned(("DriverUnload of " + left.Driver).c_str(), irql, KeGetCurrentIrql());
    CollectLeftovers(driver, tags, alone, &left);
    OnDriverUnloaded(left);
    while (driver->DeviceObject != nullptr) {
        DestroyDeviceQuietly(driver->DeviceObject);
    }
    ReleaseDriverObject(driver);
    return STATUS_SUCCESS;
}

// What `driver` left: its pool by tag, its work items, and the timers, DPCs, keys and
// registrations it owns; with no other driver loaded, also those no driver owns.
void IoManagerImpl::CollectLeftovers(PDRIVER_OBJECT driver, const std::vector<ULONG>& tags,
                                     bool alone, UnloadLeftovers* left)
{
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        left->DevicesLeft.push_back(Utf16ToUtf8(DeviceName(device)));
    }
    for (const PoolBlockInfo& block : Pool::Current()->Outstanding()) {
        if (tags.empty() || std::find(tags.begin(), tags.end(), block.Tag) != tags.end()) {
            auto& entry = left->PoolByTag[block.Tag];
            entry.first += 1;
            entry.second += block.Size;
        }
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = workItems_.begin(); it != workItems_.end();) {
            if ((*it)->DriverObject == driver && (*it)->Queued) {
                ++left->WorkItemsQueued;
                ++it;
            } else if ((*it)->DriverObject == driver) {
                delete *it;
                it = workItems_.erase(it);
                ++left->WorkItemsNotFreed;
            } else {
                ++it;
            }
        }
    }
    auto charged = [driver, alone](PDRIVER_OBJECT owner) {
        return owner == driver || (owner == nullptr && alone);
    };
    if (Scheduler* scheduler = Scheduler::Current()) {
        scheduler->ListSetObjects(&left->TimersSet, &left->DpcsQueued, charged);
    }
    for (const RegOpenHandle& open : side_.RegistryCore().OpenHandles()) {
        if (charged(open.Owner)) {
            left->KeysOpen.push_back(Utf16ToUtf8(open.Path));
        }
    }
    for (const CallbackRegistrationInfo& registration : side_.NamesCore().Registrations()) {
        if (charged(registration.Owner)) {
            left->Callbacks.push_back(Utf16ToUtf8(registration.ObjectName));
        }
    }
    left->Notifications = side_.NotificationsCore().RegisteredBy(driver);
}

} // namespace qvx
