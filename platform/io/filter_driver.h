// Pass-through filter drivers for device stacks the PnP manager builds.
//
// A test can have the PnP manager put filter devices below the function driver (lower
// filters, attached to the PDO before AddDevice) and above it (upper filters, attached after
// AddDevice), as Windows does for a device with LowerFilters and UpperFilters values. Every
// request is passed on as a filter driver passes it: its stack location copied to the next
// one with a completion routine set, power requests with PoStartNextPowerIrp and
// PoCallDriver, and the removal with a skipped location, after which the filter detaches and
// deletes its device.
//
// The filters check two faults of the drivers around them that pass unnoticed without them:
// - a completion routine that never ran because a driver below skipped its own location and
//   then called IoSetCompletionRoutine, which overwrote the filter's routine
//   (FILTER_COMPLETION_SKIPPED, checked when the request finally completes);
// - a request that reached the PDO without passing a lower filter, because a driver sent it
//   to the PDO instead of the device IoAttachDeviceToDeviceStack returned
//   (REQUEST_BYPASSED_LOWER_FILTER, checked by the bus when the request arrives).
//
// Threads: any routine may be called from any thread.
#pragma once

#include "platform/io/io_manager.h"
#include "platform/machine/machine.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qvx {

class IoSide;

class FilterDriverImpl final : public FilterDriver, public IrpFinishObserver
{
  public:
    explicit FilterDriverImpl(IoSide& side);
    ~FilterDriverImpl();

    // Creates a filter device like the device now on top of `pdo`'s stack and attaches it
    // there. NULL when out of memory.
    PDEVICE_OBJECT Attach(PDEVICE_OBJECT pdo, bool upper);
    // Detaches and deletes a filter device that will get no removal (a failed AddDevice).
    void Destroy(PDEVICE_OBJECT filter);
    // The filter's own removal: its record leaves the table of live devices (the device object
    // may be reused once deleted) and stays for the checks still to come.
    void Retire(PDEVICE_OBJECT filter);
    // A filter device not yet removed.
    bool IsFilter(PDEVICE_OBJECT device) const;
    FilterActivity Activity(PDEVICE_OBJECT filter) const override;
    // The bus driver calls this for every request reaching the PDO, with the lower filters of
    // its stack (bottom up).
    void CheckPassedLowerFilters(PDEVICE_OBJECT pdo, PIRP irp,
                                 const std::vector<PDEVICE_OBJECT>& lowerFilters);

    void OnIrpFinished(PIRP irp) override;

    struct Filter;

  private:
    IoSide& side_;
    PDRIVER_OBJECT driver_ = nullptr;
    mutable std::mutex mutex_; // guards the table; never held while a kernel routine runs
    // Every filter ever attached, removed ones too: the finish check may still need them.
    std::map<PDEVICE_OBJECT, std::unique_ptr<Filter>> live_;
    std::vector<std::unique_ptr<Filter>> retired_;
    std::atomic<bool> any_{false}; // a filter exists: requests without one cost nothing
};

} // namespace qvx
