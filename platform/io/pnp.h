// The root bus and the Plug and Play manager.
//
// The root bus is a built-in driver with one PDO per configured device. Its PDO completes
// what reaches it as a bus driver does: it succeeds the start, stop, removal and capability
// requests and query/set power, and leaves the status of every other PnP request as it
// found it. It completes inside its dispatch routine, or pends and completes later (from a
// timer DPC, or when the test says), so both branches of a forward-and-wait run.
//
// The PnP manager sends each request at PASSIVE_LEVEL to the top of the device's stack with
// IoStatus STATUS_NOT_SUPPORTED / 0 and waits for its completion on an event (a wait that
// drives the simulated machine). It checks what the verifier checks for Plug and Play:
// AddDevice leaving DO_DEVICE_INITIALIZING set, a failed or unforwarded removal, a request
// the function driver does not handle reaching the bus with a changed status, and names
// or interfaces left behind after removal. A device may get pass-through filter drivers below
// and above its function driver, through which every request then passes.
//
// Threads: the script calls come from one thread at a time (as the PnP manager's own
// thread); the bus dispatch routines may run on any thread.
#pragma once

#include "platform/io/filter_driver.h"
#include "platform/machine/machine.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qvx {

class IoSide;

class PnpManagerImpl final : public PnpManager
{
  public:
    explicit PnpManagerImpl(IoSide& side);
    ~PnpManagerImpl();

    // --- The application face (platform/machine/machine.h) ---------------------------------
    PDEVICE_OBJECT CreatePdo(const BusDeviceConfig& config) override;
    NTSTATUS DeletePdo(PDEVICE_OBJECT pdo) override;
    void SetBusCompletion(PDEVICE_OBJECT pdo, BusCompletion mode,
                          LONGLONG delay100ns = 10000) override;
    void FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_UNSUCCESSFUL) override;
    size_t CompleteHeldIrps(PDEVICE_OBJECT pdo) override;
    size_t HeldIrpCount(PDEVICE_OBJECT pdo) const override;
    std::vector<BusArrival> BusLog(PDEVICE_OBJECT pdo) const override;
    void ClearBusLog(PDEVICE_OBJECT pdo) override;
    std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) const override;
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) override;
    PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) const override;
    std::vector<PDEVICE_OBJECT> FilterDevices(PDEVICE_OBJECT pdo, bool upper) const override;
    FilterDriver& Filters() override { return *filters_; }
    PnpState State(PDEVICE_OBJECT pdo) const override;
    NTSTATUS Enumerate(const BusDeviceConfig& config, PDRIVER_OBJECT driver,
                       PDEVICE_OBJECT* pdo = nullptr) override;
    NTSTATUS Start(PDEVICE_OBJECT pdo, bool filterResourceRequirements = true) override;
    NTSTATUS QueryStop(PDEVICE_OBJECT pdo) override;
    NTSTATUS Stop(PDEVICE_OBJECT pdo) override;
    NTSTATUS CancelStop(PDEVICE_OBJECT pdo) override;
    NTSTATUS Rebalance(PDEVICE_OBJECT pdo) override;
    NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) override;
    NTSTATUS Remove(PDEVICE_OBJECT pdo) override;
    NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) override;
    NTSTATUS Disable(PDEVICE_OBJECT pdo) override;
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) override;
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo,
                               DEVICE_CAPABILITIES* capabilities = nullptr) override;
    NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr) override;
    NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                       POWER_STATE state) override;
    NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId,
                               void* buffer = nullptr, ULONG bufferSize = 0,
                               ULONG_PTR* information = nullptr) override;

    // --- For the other I/O components -------------------------------------------------------
    // Whether a PnP request the bus does not handle must arrive with STATUS_NOT_SUPPORTED
    // (on by default; a test driver that legitimately answers such requests turns it off).
    void SetCheckUnhandledStatus(bool check);
    FilterDriverImpl& FilterDrivers() { return *filters_; }
    // The device (a PDO or a device AddDevice put on one) belongs to a stack that has been
    // surprise-removed and not yet removed: deleting or detaching it now is a fault.
    bool InSurpriseRemoval(PDEVICE_OBJECT device) const;
    // FALSE for a device of a stack whose function driver has not completed a start yet:
    // opens fail until IRP_MN_START_DEVICE has succeeded.
    bool OpenAllowed(PDEVICE_OBJECT device) const;

    struct BusDevice;

  private:
    using Filler = std::function<void(PIO_STACK_LOCATION)>;
    NTSTATUS SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const Filler& fill,
                         ULONG_PTR* information);
    BusDevice* Find(PDEVICE_OBJECT pdo) const;
    const BusDevice* StackOfLocked(PDEVICE_OBJECT device) const;
    void SetAwaitingRemove(PDEVICE_OBJECT pdo, bool awaiting);
    void SetState(PDEVICE_OBJECT pdo, PnpState state);
    size_t ArrivalCount(PDEVICE_OBJECT pdo, UCHAR minor) const;
    void CheckLeftoversAfterRemove(PDEVICE_OBJECT pdo, const std::u16string& fdoName);
    void ReleaseBusDevice(BusDevice* bus);

    void DestroyFilters(std::vector<PDEVICE_OBJECT>& filters);

    IoSide& side_;
    std::unique_ptr<FilterDriverImpl> filters_;
    mutable std::mutex mutex_; // guards the table, never held across a request
    PDRIVER_OBJECT busDriver_ = nullptr;
    std::map<PDEVICE_OBJECT, std::unique_ptr<BusDevice>> devices_;
    ULONG nextDriverKey_ = 0;
    bool checkUnhandled_ = true;
};

} // namespace qvx
