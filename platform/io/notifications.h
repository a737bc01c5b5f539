// Plug and Play notifications for device-interface classes: registrations, arrivals and
// removals delivered at PASSIVE_LEVEL as passive work (the system worker), the existing
// interfaces reported inside the registration when asked, and arrivals held back while the
// device's start request is still on its way.
#pragma once

#include "platform/io/io.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qvx {

class NotificationsImpl
{
  public:
    explicit NotificationsImpl(IoSide& side) : side_(side) {}
    NotificationsImpl(const NotificationsImpl&) = delete;
    NotificationsImpl& operator=(const NotificationsImpl&) = delete;

    // IoRegisterPlugPlayNotification's work for EventCategoryDeviceInterfaceChange.
    NTSTATUS Register(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, const GUID* classGuid,
                      PDRIVER_OBJECT driver, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                      PVOID context, PVOID* entry);
    // Both unregistration routines: no call of the entry runs once this returns (a call on
    // this very thread, the routine unregistering itself, ends first).
    NTSTATUS Unregister(PVOID entry);
    // An interface of `pdo` was enabled (arrival) or disabled; called without the namespace's
    // lock held.
    void InterfaceChanged(PDEVICE_OBJECT pdo, const GUID& classGuid, const std::u16string& link,
                          bool arrival);
    // While held, the device's arrivals wait (its start request has not completed yet).
    void HoldArrivals(PDEVICE_OBJECT pdo, bool hold);
    // The entries `driver` registered and never unregistered, described.
    std::vector<std::string> RegisteredBy(PDRIVER_OBJECT driver) const;

  private:
    struct Entry
    {
        GUID ClassGuid;
        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback;
        PVOID Context;
        PDRIVER_OBJECT Driver;
        unsigned Busy = 0;
        bool Unregistered = false;
    };
    struct Event
    {
        PDEVICE_OBJECT Pdo;
        GUID ClassGuid;
        std::u16string Link;
        bool Arrival;
    };

    void Post(const Event& event);
    void Deliver(const Event& event);
    // Calls one entry at PASSIVE_LEVEL; the mutex is dropped around the call.
    void CallLocked(std::unique_lock<std::mutex>& lock, Entry* entry, const Event& event);
    void ReleaseIfIdleLocked(Entry* entry);

    IoSide& side_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<Entry*, std::unique_ptr<Entry>> entries_;
    std::vector<Entry*> order_; // registration order
    std::set<PDEVICE_OBJECT> held_;
    std::vector<Event> heldEvents_;
};

} // namespace qvx
