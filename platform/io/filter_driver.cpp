// The PnP manager's pass-through filter drivers.

#include "platform/io/filter_driver.h"

#include "platform/executive/executive.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <atomic>

namespace qvx {

struct FilterDriverImpl::Filter
{
    FilterDriverImpl* Owner = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PDEVICE_OBJECT Lower = nullptr;
    bool Upper = false;
    // Guarded by Lock, a host lock never held while a kernel routine runs.
    mutable std::mutex Lock;
    // Requests passed on and not yet finally completed, and whether the completion routine
    // the filter set for each is still due.
    std::map<PIRP, bool> Passing;
    std::vector<UCHAR> Majors;
    size_t CompletionsRun = 0;
    bool Removed = false;
};

namespace {

using Filter = FilterDriverImpl::Filter;

Filter* FilterOf(PDEVICE_OBJECT device)
{
    return *static_cast<Filter**>(device->DeviceExtension);
}

void Note(Filter* filter, PIRP irp, UCHAR major, bool completionDue)
{
    std::lock_guard<std::mutex> guard(filter->Lock);
    filter->Majors.push_back(major);
    filter->Passing[irp] = completionDue;
}

NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* filter = static_cast<Filter*>(Context);
    {
        std::lock_guard<std::mutex> guard(filter->Lock);
        auto it = filter->Passing.find(Irp);
        if (it != filter->Passing.end()) {
            it->second = false;
        }
        ++filter->CompletionsRun;
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Filter* filter = FilterOf(DeviceObject);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    PDEVICE_OBJECT lower = filter->Lower;
    if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        // The device goes before the request may come back up, so nothing of the filter's
        // may stay in it: the location is skipped.
        Note(filter, Irp, major, false);
        IoSkipCurrentIrpStackLocation(Irp);
        const NTSTATUS status = IofCallDriver(lower, Irp);
        IoDetachDevice(lower);
        filter->Owner->Retire(DeviceObject);
        // A driver still attached above keeps the object until it detaches.
        IoDeleteDevice(DeviceObject);
        return status;
    }
    Note(filter, Irp, major, true);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FilterCompletion, filter, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER) {
        // Windows XP: the next power request may start now; power requests go down through
        // the power manager.
        PoStartNextPowerIrp(Irp);
        return PoCallDriver(lower, Irp);
    }
    return IofCallDriver(lower, Irp);
}

} // namespace

FilterDriverImpl::FilterDriverImpl(IoSide& side) : side_(side) {}

FilterDriverImpl::~FilterDriverImpl()
{
    if (driver_ != nullptr) {
        side_.IoCore().ReleaseBuiltInDriver(driver_);
    }
}

PDEVICE_OBJECT FilterDriverImpl::Attach(PDEVICE_OBJECT pdo, bool upper)
{
    IoManagerImpl& io = side_.IoCore();
    PDEVICE_OBJECT below = io.AttachedTop(pdo);
    if (below == nullptr) {
        return nullptr;
    }
    if (driver_ == nullptr) {
        driver_ = io.CreateBuiltInDriver(u"QvxFilter");
        for (auto& dispatch : driver_->MajorFunction) {
            dispatch = FilterDispatch;
        }
    }
    // To the I/O manager a filter looks like the device below it: the same type and
    // characteristics, and its buffering and power-paging flags (an upper filter is
    // attached after AddDevice, when the function device has set them).
    const ULONG flags = below->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    PDEVICE_OBJECT device =
        io.CreatePlatformDevice(driver_, sizeof(void*), below->DeviceType, flags);
    if (device == nullptr) {
        return nullptr;
    }
    device->Characteristics = below->Characteristics;
    auto filter = std::make_unique<Filter>();
    filter->Owner = this;
    filter->Device = device;
    filter->Upper = upper;
    *static_cast<Filter**>(device->DeviceExtension) = filter.get();
    Filter* raw = filter.get();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        live_[device] = std::move(filter);
    }
    any_.store(true, std::memory_order_release);
    raw->Lower = io.AttachPlatformDevice(device, pdo);
    if (raw->Lower == nullptr) {
        Destroy(device);
        return nullptr;
    }
    return device;
}

void FilterDriverImpl::Destroy(PDEVICE_OBJECT filter)
{
    std::unique_ptr<Filter> record;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = live_.find(filter);
        if (it == live_.end()) {
            return;
        }
        record = std::move(it->second);
        live_.erase(it);
    }
    side_.IoCore().DestroyDeviceQuietly(filter);
    {
        std::lock_guard<std::mutex> recordGuard(record->Lock);
        record->Removed = true;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    retired_.push_back(std::move(record));
}

void FilterDriverImpl::Retire(PDEVICE_OBJECT filter)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = live_.find(filter);
    if (it == live_.end()) {
        return;
    }
    {
        std::lock_guard<std::mutex> recordGuard(it->second->Lock);
        it->second->Removed = true;
    }
    retired_.push_back(std::move(it->second));
    live_.erase(it);
}

bool FilterDriverImpl::IsFilter(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = live_.find(device);
    if (it == live_.end()) {
        return false;
    }
    std::lock_guard<std::mutex> recordGuard(it->second->Lock);
    return !it->second->Removed;
}

FilterActivity FilterDriverImpl::Activity(PDEVICE_OBJECT filter) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const Filter* found = nullptr;
    auto it = live_.find(filter);
    if (it != live_.end()) {
        found = it->second.get();
    } else {
        for (auto r = retired_.rbegin(); r != retired_.rend() && found == nullptr; ++r) {
            found = (*r)->Device == filter ? r->get() : nullptr;
        }
    }
    FilterActivity activity;
    if (found == nullptr) {
        return activity;
    }
    std::lock_guard<std::mutex> recordGuard(found->Lock);
    activity.Upper = found->Upper;
    activity.Majors = found->Majors;
    activity.CompletionsRun = found->CompletionsRun;
    activity.Outstanding = found->Passing.size();
    activity.Removed = found->Removed;
    return activity;
}

void FilterDriverImpl::CheckPassedLowerFilters(PDEVICE_OBJECT pdo, PIRP irp,
                                               const std::vector<PDEVICE_OBJECT>& lowerFilters)
{
    std::vector<PDEVICE_OBJECT> bypassed;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (PDEVICE_OBJECT device : lowerFilters) {
            auto it = live_.find(device);
            if (it == live_.end()) {
                continue;
            }
            std::lock_guard<std::mutex> recordGuard(it->second->Lock);
            if (it->second->Passing.count(irp) == 0) {
                bypassed.push_back(device);
            }
        }
    }
    for (PDEVICE_OBJECT device : bypassed) {
        VerifierReport(Rule::REQUEST_BYPASSED_LOWER_FILTER,
                       "IRP %p reached PDO %p without passing lower filter %p: a driver above "
                       "sent it below the device IoAttachDeviceToDeviceStack returned to it",
                       static_cast<void*>(irp), static_cast<void*>(pdo),
                       static_cast<void*>(device));
    }
}

void FilterDriverImpl::OnIrpFinished(PIRP irp)
{
    if (!any_.load(std::memory_order_acquire)) {
        return;
    }
    std::vector<std::pair<PDEVICE_OBJECT, bool>> skipped; // device, upper
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto check = [&](Filter& filter) {
            std::lock_guard<std::mutex> recordGuard(filter.Lock);
            auto it = filter.Passing.find(irp);
            if (it == filter.Passing.end()) {
                return;
            }
            if (it->second) {
                skipped.emplace_back(filter.Device, filter.Upper);
            }
            filter.Passing.erase(it);
        };
        for (auto& [device, filter] : live_) {
            check(*filter);
        }
        for (auto& filter : retired_) {
            check(*filter);
        }
    }
    for (const auto& [device, upper] : skipped) {
        VerifierReport(Rule::FILTER_COMPLETION_SKIPPED,
                       "IRP %p completed without running the completion routine of %s filter "
                       "%p: a driver below it skipped its stack location and then set a "
                       "completion routine, which replaced the filter's",
                       static_cast<void*>(irp), upper ? "upper" : "lower",
                       static_cast<void*>(device));
    }
}

} // namespace qvx
