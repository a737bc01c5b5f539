// Plug and Play notifications: kernel face and delivery.

#include "platform/io/notifications.h"

#include <ntddk.h>
#include <wdmguid.h>

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdio>

// {CB3A4004-46F0-11D0-B08F-00609713053F}
extern "C" const GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4005-46F0-11D0-B08F-00609713053F}
extern "C" const GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

namespace qvx {

namespace {

// The entry whose routine this thread runs, for an unregistration from inside it.
thread_local const void* t_calling = nullptr;

} // namespace

NTSTATUS NotificationsImpl::Register(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags,
                                     const GUID* classGuid, PDRIVER_OBJECT driver,
                                     PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                                     PVOID* entry)
{
    CheckIrqlCeiling("IoRegisterPlugPlayNotification");
    if (entry == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *entry = nullptr;
    if (category != EventCategoryDeviceInterfaceChange || classGuid == nullptr ||
        callback == nullptr || driver == nullptr || !side_.IoCore().IsDriverLoaded(driver)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS failure = STATUS_SUCCESS;
    if (side_.IoCore().ConsumeFault(IoFault::RegisterPlugPlayNotification, &failure)) {
        return failure;
    }
    auto record = std::make_unique<Entry>();
    record->ClassGuid = *classGuid;
    record->Callback = callback;
    record->Context = context;
    record->Driver = driver;
    Entry* created = record.get();
    std::unique_lock<std::mutex> lock(mutex_);
    entries_[created] = std::move(record);
    order_.push_back(created);
    // The handle is the caller's before the first call, which may unregister it.
    *entry = created;
    if ((flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) != 0) {
        lock.unlock();
        const std::vector<std::u16string> existing = side_.Names().EnabledInterfaces(*classGuid);
        lock.lock();
        for (const std::u16string& link : existing) {
            if (created->Unregistered) {
                break;
            }
            CallLocked(lock, created, Event{nullptr, *classGuid, link, true});
        }
        ReleaseIfIdleLocked(created);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NotificationsImpl::Unregister(PVOID handle)
{
    CheckIrqlCeiling("IoUnregisterPlugPlayNotification");
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = entries_.find(static_cast<Entry*>(handle));
    if (it == entries_.end() || it->second->Unregistered) {
        return STATUS_INVALID_PARAMETER;
    }
    Entry* entry = it->second.get();
    entry->Unregistered = true;
    if (t_calling != entry) {
        idle_.wait(lock, [entry] { return entry->Busy == 0; });
    }
    ReleaseIfIdleLocked(entry);
    return STATUS_SUCCESS;
}

void NotificationsImpl::ReleaseIfIdleLocked(Entry* entry)
{
    if (!entry->Unregistered || entry->Busy != 0) {
        return;
    }
    order_.erase(std::remove(order_.begin(), order_.end(), entry), order_.end());
    entries_.erase(entry);
}

void NotificationsImpl::CallLocked(std::unique_lock<std::mutex>& lock, Entry* entry,
                                   const Event& event)
{
    ++entry->Busy;
    std::u16string text = event.Link;
    UNICODE_STRING link;
    link.Buffer = text.data();
    link.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    link.MaximumLength = link.Length;
    DEVICE_INTERFACE_CHANGE_NOTIFICATION note;
    note.Version = 1;
    note.Size = static_cast<USHORT>(sizeof(note));
    note.Event = event.Arrival ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL;
    note.InterfaceClassGuid = event.ClassGuid;
    note.SymbolicLinkName = &link;
    const PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = entry->Callback;
    const PVOID context = entry->Context;
    const PDRIVER_OBJECT driver = entry->Driver;
    lock.unlock();
    const void* outer = t_calling;
    t_calling = entry;
    {
        const RunningDriverScope running(driver);
        (void)callback(&note, context);
    }
    t_calling = outer;
    const KIRQL after = KeGetCurrentIrql();
    if (after != PASSIVE_LEVEL) {
        VerifierReport(Rule::PNP_NOTIFICATION_IRQL_CHANGED,
                       "notification routine %p (context %p) returned at IRQL %u",
                       reinterpret_cast<void*>(callback), context, unsigned(after));
        KfLowerIrql(PASSIVE_LEVEL);
    }
    lock.lock();
    --entry->Busy;
    idle_.notify_all();
}

void NotificationsImpl::InterfaceChanged(PDEVICE_OBJECT pdo, const GUID& classGuid,
                                         const std::u16string& link, bool arrival)
{
    Event event{pdo, classGuid, link, arrival};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Nobody listens for the class: nothing to tell.
        const bool listened = std::any_of(order_.begin(), order_.end(), [&](const Entry* entry) {
            return !entry->Unregistered && IsEqualGUID(entry->ClassGuid, classGuid);
        });
        if (!listened) {
            return;
        }
        if (held_.count(pdo) != 0) {
            heldEvents_.push_back(event);
            return;
        }
    }
    Post(event);
}

void NotificationsImpl::HoldArrivals(PDEVICE_OBJECT pdo, bool hold)
{
    std::vector<Event> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hold) {
            held_.insert(pdo);
            return;
        }
        held_.erase(pdo);
        for (auto it = heldEvents_.begin(); it != heldEvents_.end();) {
            if (it->Pdo == pdo) {
                released.push_back(*it);
                it = heldEvents_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Event& event : released) {
        Post(event);
    }
}

void NotificationsImpl::Post(const Event& event)
{
    side_.IoCore().PostPassive([this, event] { Deliver(event); });
}

// Every registration for the class that exists when the system worker gets to the event.
void NotificationsImpl::Deliver(const Event& event)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::vector<Entry*> targets = order_;
    for (Entry* entry : targets) {
        if (entries_.count(entry) == 0 || entry->Unregistered ||
            !IsEqualGUID(entry->ClassGuid, event.ClassGuid)) {
            continue;
        }
        CallLocked(lock, entry, event);
        ReleaseIfIdleLocked(entry);
    }
}

std::vector<std::string> NotificationsImpl::RegisteredBy(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> result;
    for (const Entry* entry : order_) {
        if (entry->Driver == driver && !entry->Unregistered) {
            char line[96];
            snprintf(line, sizeof(line), "notification entry %p (routine %p)",
                     static_cast<const void*>(entry), reinterpret_cast<void*>(entry->Callback));
            result.push_back(line);
        }
    }
    return result;
}

} // namespace qvx

namespace {

qvx::NotificationsImpl& Notifications()
{
    return qvx::IoSide::Current().NotificationsCore();
}

} // namespace

extern "C" {

NTSTATUS NTAPI IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                              ULONG EventCategoryFlags, PVOID EventCategoryData,
                                              PDRIVER_OBJECT DriverObject,
                                              PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                              PVOID Context, PVOID* NotificationEntry)
{
    return Notifications().Register(EventCategory, EventCategoryFlags,
                                    static_cast<const GUID*>(EventCategoryData), DriverObject,
                                    CallbackRoutine, Context, NotificationEntry);
}

NTSTATUS NTAPI IoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    return Notifications().Unregister(NotificationEntry);
}

NTSTATUS NTAPI IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry)
{
    return Notifications().Unregister(NotificationEntry);
}

} // extern "C"
