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

// How the bus completes what reaches its PDO.
enum class BusCompletion {
    Synchronous, // inside its dispatch routine
    Timer,       // marked pending, completed from a timer DPC after the bus delay
    Manual       // marked pending, completed when the test calls CompleteHeldIrps
};

struct BusDeviceConfig
{
    std::u16string InstanceId = u"ROOT\\PORTS\\0000";
    // REG_SZ values of the device's hardware key, for example {u"PortName", u"COM5"}.
    std::vector<std::pair<std::u16string, std::u16string>> HardwareValues;
    // Start resources (raw and translated alike); empty: the start carries no lists.
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Resources;
    // Pass-through filter drivers put below and above the function driver, as LowerFilters
    // and UpperFilters values of the device would (platform/io/filter_driver.h).
    unsigned LowerFilters = 0;
    unsigned UpperFilters = 0;
};

// A request as it reached the bus driver.
struct BusArrival
{
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    NTSTATUS StatusOnArrival;
};

// Where the PnP manager believes a device stands.
enum class PnpState {
    Enumerated, // PDO only, no function driver
    NotStarted, // AddDevice succeeded
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed
};

class PnpManager
{
  public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // --- The root bus ----------------------------------------------------------------------
    // Creates the PDO and its hardware key (the instance's "Device Parameters" key under
    // \Registry\Machine\System\CurrentControlSet\Enum) with the configured values, and
    // tells the registry and the namespace about it. NULL for an empty instance id or one already
    // in use.
    PDEVICE_OBJECT CreatePdo(const BusDeviceConfig& config);
    // The device leaves the bus. STATUS_INVALID_DEVICE_STATE while a function device is
    // still attached to it.
    NTSTATUS DeletePdo(PDEVICE_OBJECT pdo);
    void SetBusCompletion(PDEVICE_OBJECT pdo, BusCompletion mode, LONGLONG delay100ns = 10000);
    // The next IRP_MN_START_DEVICE reaching the PDO fails with `status`.
    void FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_UNSUCCESSFUL);
    // Completes the requests the PDO holds (any mode); returns how many.
    size_t CompleteHeldIrps(PDEVICE_OBJECT pdo);
    size_t HeldIrpCount(PDEVICE_OBJECT pdo) const;
    std::vector<BusArrival> BusLog(PDEVICE_OBJECT pdo) const;
    void ClearBusLog(PDEVICE_OBJECT pdo);
    std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) const;
    // Whether a PnP request the bus does not handle must arrive with STATUS_NOT_SUPPORTED
    // (on by default; a test driver that legitimately answers such requests turns it off).
    void SetCheckUnhandledStatus(bool check);

    // --- Function driver ---------------------------------------------------------------------
    // Attaches the configured lower filters, calls the driver's AddDevice for the PDO at
    // PASSIVE_LEVEL, then attaches the upper filters (the order in which Windows loads them).
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver);
    // The device the function driver attached to the PDO's stack (the first one above the
    // PDO that is not a filter), else NULL.
    PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) const;
    // The filter devices of the PDO's stack below (lower) or above (upper) the function
    // device, bottom up; empty once removed.
    std::vector<PDEVICE_OBJECT> FilterDevices(PDEVICE_OBJECT pdo, bool upper) const;
    FilterDriver& Filters() { return *filters_; }
    PnpState State(PDEVICE_OBJECT pdo) const;
    // The device (a PDO or a device AddDevice put on one) belongs to a stack that has been
    // surprise-removed and not yet removed: deleting or detaching it now is a fault.
    bool InSurpriseRemoval(PDEVICE_OBJECT device) const;
    // FALSE for a device of a stack whose function driver has not completed a start yet:
    // opens fail until IRP_MN_START_DEVICE has succeeded.
    bool OpenAllowed(PDEVICE_OBJECT device) const;

    // --- Scripted sequences ------------------------------------------------------------------
    // CreatePdo, AddDevice and Start.
    NTSTATUS Enumerate(const BusDeviceConfig& config, PDRIVER_OBJECT driver,
                       PDEVICE_OBJECT* pdo = nullptr);
    // (IRP_MN_FILTER_RESOURCE_REQUIREMENTS,) IRP_MN_START_DEVICE, then on success the
    // capability, device-state and bus-relation queries; a failed start is followed by
    // IRP_MN_REMOVE_DEVICE.
    NTSTATUS Start(PDEVICE_OBJECT pdo, bool filterResourceRequirements = true);
    NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
    NTSTATUS Stop(PDEVICE_OBJECT pdo);
    NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
    // Query-stop, then stop and start again; cancel-stop when the query fails.
    NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
    NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
    // Sends no removal while handles to the device are open: refused with
    // STATUS_INVALID_DEVICE_STATE after a surprise removal (the removal waits for the last
    // handle), vetoed with STATUS_PLUGPLAY_QUERY_VETOED otherwise.
    NTSTATUS Remove(PDEVICE_OBJECT pdo);
    NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
    // Query-remove, then remove; cancel-remove when the query fails or an open handle
    // vetoes the removal (STATUS_PLUGPLAY_QUERY_VETOED, the device stays started).
    NTSTATUS Disable(PDEVICE_OBJECT pdo);
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
    // Version 1, Size 64, Address and UINumber 0xFFFFFFFF; the result is copied out.
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities = nullptr);

    // --- Single requests ---------------------------------------------------------------------
    NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr);
    NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    // Parameters.WMI.Buffer and BufferSize are `buffer` and `bufferSize` (none by default);
    // the information of the completion goes to `information`.
    NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId,
                               void* buffer = nullptr, ULONG bufferSize = 0,
                               ULONG_PTR* information = nullptr);

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

    Machine& machine_;
    std::unique_ptr<FilterDriver> filters_;
    mutable std::mutex mutex_; // guards the table, never held across a request
    PDRIVER_OBJECT busDriver_ = nullptr;
    std::map<PDEVICE_OBJECT, std::unique_ptr<BusDevice>> devices_;
    ULONG nextDriverKey_ = 0;
    bool checkUnhandled_ = true;
};

} // namespace qvx
