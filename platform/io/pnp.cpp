// The root bus driver and the Plug and Play manager's scripts.

#include "platform/io/pnp.h"

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/notifications.h"
#include "platform/io/registry.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qvx {

struct PnpManagerImpl::BusDevice
{
    PDEVICE_OBJECT Pdo = nullptr;
    BusDeviceConfig Config; // without the hardware values: they live in the registry
    PDRIVER_OBJECT Driver = nullptr;
    PnpState State = PnpState::Enumerated;
    // The devices AddDevice put on the PDO, bottom up (guarded by the manager's mutex).
    std::vector<PDEVICE_OBJECT> Stack;
    bool Started = false;        // a start completed successfully: opens are allowed
    bool AwaitingRemove = false; // surprise removal sent, removal not yet
    // Guarded by Lock, a host lock never held while a kernel routine runs.
    mutable std::mutex Lock;
    BusCompletion Mode = BusCompletion::Synchronous;
    LONGLONG Delay = 10000;
    bool CheckUnhandled = true;
    bool FailStart = false;
    NTSTATUS FailStartStatus = STATUS_UNSUCCESSFUL;
    std::vector<PIRP> Held; // in arrival order
    std::vector<BusArrival> Log;
    // The stack's filter devices, bottom up.
    FilterDriverImpl* Filters = nullptr;
    std::vector<PDEVICE_OBJECT> LowerFilters;
    std::vector<PDEVICE_OBJECT> UpperFilters;
    // The delayed completion of Timer mode.
    KTIMER Timer;
    KDPC Dpc;
};

namespace {

using BusDevice = PnpManagerImpl::BusDevice;

constexpr ULONG BUS_RELATIONS = 0;

std::u16string InstanceKeyPath(const std::u16string& instanceId)
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instanceId;
}

// The device's hardware key: its "Device Parameters".
std::u16string HardwareKeyOf(const BusDevice& bus)
{
    return InstanceKeyPath(bus.Config.InstanceId) + u"\\Device Parameters";
}

BusDevice* BusOf(PDEVICE_OBJECT pdo)
{
    return *static_cast<BusDevice**>(pdo->DeviceExtension);
}

void Record(BusDevice* bus, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::vector<PDEVICE_OBJECT> lowerFilters;
    {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->Log.push_back({stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status});
        lowerFilters = bus->LowerFilters;
    }
    if (!lowerFilters.empty()) {
        bus->Filters->CheckPassedLowerFilters(bus->Pdo, irp, lowerFilters);
    }
}

// Completes now, or pends the request for the timer or the test.
NTSTATUS FinishBusRequest(BusDevice* bus, PIRP irp)
{
    BusCompletion mode = BusCompletion::Synchronous;
    LONGLONG delay = 0;
    {
        std::lock_guard<std::mutex> guard(bus->Lock);
        mode = bus->Mode;
        delay = bus->Delay;
    }
    if (mode == BusCompletion::Synchronous) {
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->Held.push_back(irp);
    }
    if (mode == BusCompletion::Timer) {
        LARGE_INTEGER due;
        due.QuadPart = -std::max<LONGLONG>(delay, 1);
        KeSetTimer(&bus->Timer, due, &bus->Dpc);
    }
    return STATUS_PENDING;
}

size_t CompleteHeld(BusDevice* bus)
{
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> guard(bus->Lock);
        held.swap(bus->Held);
    }
    for (PIRP irp : held) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return held.size();
}

VOID NTAPI BusTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                       PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    CompleteHeld(static_cast<BusDevice*>(DeferredContext));
}

void FillCapabilities(PDEVICE_CAPABILITIES capabilities)
{
    capabilities->DeviceD1 = 0;
    capabilities->DeviceD2 = 0;
    capabilities->LockSupported = 0;
    capabilities->EjectSupported = 0;
    capabilities->Removable = 0;
    capabilities->UniqueID = 1;
    capabilities->SilentInstall = 1;
    capabilities->SurpriseRemovalOK = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    capabilities->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) {
        capabilities->DeviceState[s] = PowerDeviceD3;
    }
    capabilities->SystemWake = PowerSystemUnspecified;
    capabilities->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS NTAPI BusPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusDevice* bus = BusOf(DeviceObject);
    Record(bus, Irp);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard<std::mutex> guard(bus->Lock);
        status = bus->FailStart ? bus->FailStartStatus : STATUS_SUCCESS;
        bus->FailStart = false;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities != nullptr && capabilities->Version == 1 &&
            capabilities->Size >= sizeof(DEVICE_CAPABILITIES)) {
            FillCapabilities(capabilities);
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_UNSUCCESSFUL;
        }
        break;
    }
    default: {
        bool check = false;
        {
            std::lock_guard<std::mutex> guard(bus->Lock);
            check = bus->CheckUnhandled;
        }
        // Nobody above handles this request, so nobody may have changed its status.
        if (status != STATUS_NOT_SUPPORTED && check) {
            VerifierReport(Rule::PNP_UNHANDLED_STATUS_CHANGED,
                           "PnP request minor %#x reached the bus driver with status %#x instead "
                           "of STATUS_NOT_SUPPORTED",
                           stack->MinorFunction, static_cast<unsigned>(status));
        }
        break;
    }
    }
    Irp->IoStatus.Status = status;
    return FinishBusRequest(bus, Irp);
}

NTSTATUS NTAPI BusPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusDevice* bus = BusOf(DeviceObject);
    Record(bus, Irp);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return FinishBusRequest(bus, Irp);
}

NTSTATUS NTAPI BusSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusDevice* bus = BusOf(DeviceObject);
    Record(bus, Irp);
    // The bus provides no WMI data: the request ends with the status it carries.
    return FinishBusRequest(bus, Irp);
}

} // namespace

PnpManagerImpl::PnpManagerImpl(IoSide& side)
    : side_(side), filters_(std::make_unique<FilterDriverImpl>(side))
{
    side_.IoCore().SetFinishObserver(filters_.get());
    side_.NamesCore().SetInstancePathProvider([this](PDEVICE_OBJECT pdo) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = devices_.find(pdo);
        return it != devices_.end() ? it->second->Config.InstanceId : std::u16string();
    });
}

PnpManagerImpl::~PnpManagerImpl()
{
    side_.NamesCore().SetInstancePathProvider({});
    side_.IoCore().SetFinishObserver(nullptr);
    // Filters sit above the PDOs: they go first.
    filters_.reset();
    std::vector<BusDevice*> buses;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& [pdo, bus] : devices_) {
            buses.push_back(bus.get());
        }
    }
    for (BusDevice* bus : buses) {
        ReleaseBusDevice(bus);
    }
    if (busDriver_ != nullptr) {
        side_.IoCore().ReleaseBuiltInDriver(busDriver_);
    }
}

void PnpManagerImpl::ReleaseBusDevice(BusDevice* bus)
{
    KeCancelTimer(&bus->Timer);
    KeRemoveQueueDpc(&bus->Dpc);
    side_.RegistryCore().ClearDeviceKeyPaths(bus->Pdo);
    side_.IoCore().DestroyDeviceQuietly(bus->Pdo);
    std::unique_ptr<BusDevice> owned;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = devices_.find(bus->Pdo);
    if (it != devices_.end()) {
        owned = std::move(it->second);
        devices_.erase(it);
    }
}

PnpManagerImpl::BusDevice* PnpManagerImpl::Find(PDEVICE_OBJECT pdo) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = devices_.find(pdo);
    return it != devices_.end() ? it->second.get() : nullptr;
}

void PnpManagerImpl::SetState(PDEVICE_OBJECT pdo, PnpState state)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = devices_.find(pdo);
    if (it != devices_.end()) {
        it->second->State = state;
    }
}

// ---- The root bus -------------------------------------------------------------------------

PDEVICE_OBJECT PnpManagerImpl::CreatePdo(const BusDeviceConfig& config)
{
    if (config.InstanceId.empty()) {
        return nullptr;
    }
    IoManagerImpl& io = side_.IoCore();
    ULONG driverKey = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& [pdo, bus] : devices_) {
            if (bus->Config.InstanceId == config.InstanceId) {
                return nullptr;
            }
        }
        driverKey = nextDriverKey_++;
    }
    if (busDriver_ == nullptr) {
        busDriver_ = io.CreateBuiltInDriver(u"QvxRootBus");
        busDriver_->MajorFunction[IRP_MJ_PNP] = BusPnpDispatch;
        busDriver_->MajorFunction[IRP_MJ_POWER] = BusPowerDispatch;
        busDriver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControlDispatch;
    }
    PDEVICE_OBJECT pdo = io.CreatePlatformDevice(busDriver_, sizeof(void*), FILE_DEVICE_UNKNOWN,
                                                 DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE);
    if (pdo == nullptr) {
        return nullptr;
    }
    auto bus = std::make_unique<BusDevice>();
    bus->Pdo = pdo;
    bus->Config = BusDeviceConfig{
        config.InstanceId, {}, config.Resources, config.LowerFilters, config.UpperFilters};
    const std::u16string keyPath = HardwareKeyOf(*bus);
    KeInitializeTimer(&bus->Timer);
    KeInitializeDpc(&bus->Dpc, BusTimerDpc, bus.get());
    *static_cast<BusDevice**>(pdo->DeviceExtension) = bus.get();
    RegistryImpl& registry = side_.RegistryCore();
    registry.SetDeviceKeyPath(pdo, RegText(keyPath));
    for (const auto& [name, value] : config.HardwareValues) {
        registry.SetString(RegText(keyPath), RegText(name), RegText(value));
    }
    char number[8];
    snprintf(number, sizeof(number), "%04u", static_cast<unsigned>(driverKey % 10000));
    registry.SetDriverKeyPath(pdo, RegText(u"\\Registry\\Machine\\System\\CurrentControlSet\\"
                                           u"Control\\Class\\{4D36E978-E325-11CE-BFC1-"
                                           u"08002BE10318}\\" +
                                           Utf8ToUtf16(number)));
    bus->Filters = filters_.get();
    std::lock_guard<std::mutex> guard(mutex_);
    bus->CheckUnhandled = checkUnhandled_;
    devices_[pdo] = std::move(bus);
    return pdo;
}

NTSTATUS PnpManagerImpl::DeletePdo(PDEVICE_OBJECT pdo)
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (side_.IoCore().AttachedTop(pdo) != pdo) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    CompleteHeld(bus);
    // The Plug and Play manager disables what the driver left enabled, and says so.
    for (const DeviceInterfaceInfo& info : side_.NamesCore().DeviceInterfaces()) {
        if (info.Pdo == pdo && info.Enabled) {
            side_.NotificationsCore().InterfaceChanged(pdo, info.ClassGuid, info.SymbolicLinkName,
                                                       false);
        }
    }
    for (const std::u16string& name : side_.NamesCore().RemoveDeviceInterfaces(pdo)) {
        VerifierReport(Rule::DEVICE_INTERFACE_LEFT_ENABLED,
                       "device interface %s of PDO %p is still enabled when the PDO goes away",
                       Utf16ToUtf8(name).c_str(), static_cast<void*>(pdo));
    }
    ReleaseBusDevice(bus);
    return STATUS_SUCCESS;
}

void PnpManagerImpl::SetBusCompletion(PDEVICE_OBJECT pdo, BusCompletion mode, LONGLONG delay100ns)
{
    if (BusDevice* bus = Find(pdo)) {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->Mode = mode;
        bus->Delay = delay100ns;
    }
}

void PnpManagerImpl::FailNextStart(PDEVICE_OBJECT pdo, NTSTATUS status)
{
    if (BusDevice* bus = Find(pdo)) {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->FailStart = true;
        bus->FailStartStatus = status;
    }
}

size_t PnpManagerImpl::CompleteHeldIrps(PDEVICE_OBJECT pdo)
{
    BusDevice* bus = Find(pdo);
    return bus != nullptr ? CompleteHeld(bus) : 0;
}

size_t PnpManagerImpl::HeldIrpCount(PDEVICE_OBJECT pdo) const
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(bus->Lock);
    return bus->Held.size();
}

std::vector<BusArrival> PnpManagerImpl::BusLog(PDEVICE_OBJECT pdo) const
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return {};
    }
    std::lock_guard<std::mutex> guard(bus->Lock);
    return bus->Log;
}

void PnpManagerImpl::ClearBusLog(PDEVICE_OBJECT pdo)
{
    if (BusDevice* bus = Find(pdo)) {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->Log.clear();
    }
}

std::u16string PnpManagerImpl::HardwareKeyPath(PDEVICE_OBJECT pdo) const
{
    BusDevice* bus = Find(pdo);
    return bus != nullptr ? HardwareKeyOf(*bus) : std::u16string();
}

void PnpManagerImpl::SetCheckUnhandledStatus(bool check)
{
    std::lock_guard<std::mutex> guard(mutex_);
    checkUnhandled_ = check;
    for (auto& [pdo, bus] : devices_) {
        std::lock_guard<std::mutex> busGuard(bus->Lock);
        bus->CheckUnhandled = check;
    }
}

size_t PnpManagerImpl::ArrivalCount(PDEVICE_OBJECT pdo, UCHAR minor) const
{
    size_t count = 0;
    for (const BusArrival& arrival : BusLog(pdo)) {
        count += (arrival.MajorFunction == IRP_MJ_PNP && arrival.MinorFunction == minor) ? 1 : 0;
    }
    return count;
}

// ---- Function driver ------------------------------------------------------------------------

NTSTATUS PnpManagerImpl::AddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver)
{
    CheckIrqlCeiling("AddDevice");
    BusDevice* bus = Find(pdo);
    IoManagerImpl& io = side_.IoCore();
    if (bus == nullptr || driver == nullptr || !io.IsDriverLoaded(driver)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (io.AttachedTop(pdo) != pdo) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::vector<PDEVICE_OBJECT> lowerFilters;
    for (unsigned i = 0; i < bus->Config.LowerFilters; ++i) {
        PDEVICE_OBJECT filter = filters_->Attach(pdo, false);
        if (filter == nullptr) {
            DestroyFilters(lowerFilters);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        lowerFilters.push_back(filter);
    }
    // The instance names the service that drives it, as installation writes it ("Quarvex" for
    // the ports); other drivers tell a port by it.
    const UNICODE_STRING& service = driver->DriverExtension->ServiceKeyName;
    side_.RegistryCore().SetString(
        RegText(InstanceKeyPath(bus->Config.InstanceId)), RegText(u"Service"),
        RegText(std::u16string(service.Buffer, service.Length / sizeof(WCHAR))));
    PDEVICE_OBJECT below = io.AttachedTop(pdo);
    const KIRQL irql = KeGetCurrentIrql();
    NTSTATUS status;
    {
        const RunningDriverScope running(driver);
        status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    char what[48];
    snprintf(what, sizeof(what), "AddDevice %p",
             reinterpret_cast<void*>(driver->DriverExtension->AddDevice));
    OnDriverRoutineReturned(what, irql, KeGetCurrentIrql());
    if (!NT_SUCCESS(status)) {
        // The stack built so far is taken down again.
        DestroyFilters(lowerFilters);
    } else {
        PDEVICE_OBJECT fdo = io.AttachedTop(pdo);
        fdo = fdo != below ? fdo : nullptr;
        for (PDEVICE_OBJECT lower = pdo, upper = pdo->AttachedDevice; upper != nullptr;
             lower = upper, upper = upper->AttachedDevice) {
            // A pageable device below gets power requests at PASSIVE_LEVEL; one above that
            // is not pageable would get them at DISPATCH_LEVEL, which Windows refuses.
            if ((lower->Flags & DO_POWER_PAGABLE) != 0 && (upper->Flags & DO_POWER_PAGABLE) == 0) {
                VerifierReport(Rule::DEVICE_NOT_POWER_PAGABLE,
                               "device %p without DO_POWER_PAGABLE is attached above pageable "
                               "device %p",
                               static_cast<void*>(upper), static_cast<void*>(lower));
            }
        }
        if (fdo != nullptr && (fdo->Flags & DO_DEVICE_INITIALIZING) != 0) {
            VerifierReport(Rule::DEVICE_INITIALIZING_AFTER_ADD_DEVICE,
                           "AddDevice %p returned with DO_DEVICE_INITIALIZING still set on device "
                           "%p",
                           reinterpret_cast<void*>(driver->DriverExtension->AddDevice),
                           static_cast<void*>(fdo));
        }
        std::vector<PDEVICE_OBJECT> upperFilters;
        for (unsigned i = 0; fdo != nullptr && i < bus->Config.UpperFilters; ++i) {
            PDEVICE_OBJECT filter = filters_->Attach(pdo, true);
            if (filter != nullptr) {
                upperFilters.push_back(filter);
            }
        }
        std::vector<PDEVICE_OBJECT> stack = io.DevicesAbove(pdo);
        {
            std::lock_guard<std::mutex> guard(bus->Lock);
            bus->LowerFilters = lowerFilters;
            bus->UpperFilters = upperFilters;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        bus->Driver = driver;
        bus->State = PnpState::NotStarted;
        bus->Stack = std::move(stack);
        bus->Started = false;
    }
    io.AfterApplicationCall();
    return status;
}

void PnpManagerImpl::DestroyFilters(std::vector<PDEVICE_OBJECT>& filters)
{
    for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
        filters_->Destroy(*it);
    }
    filters.clear();
}

void PnpManagerImpl::SetAwaitingRemove(PDEVICE_OBJECT pdo, bool awaiting)
{
    BusDevice* bus = Find(pdo);
    std::lock_guard<std::mutex> guard(mutex_);
    if (bus != nullptr) {
        bus->AwaitingRemove = awaiting;
    }
}

const PnpManagerImpl::BusDevice* PnpManagerImpl::StackOfLocked(PDEVICE_OBJECT device) const
{
    for (const auto& [pdo, bus] : devices_) {
        if (pdo == device ||
            std::find(bus->Stack.begin(), bus->Stack.end(), device) != bus->Stack.end()) {
            return bus.get();
        }
    }
    return nullptr;
}

bool PnpManagerImpl::InSurpriseRemoval(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const BusDevice* bus = StackOfLocked(device);
    return bus != nullptr && bus->AwaitingRemove;
}

bool PnpManagerImpl::OpenAllowed(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const BusDevice* bus = StackOfLocked(device);
    return bus == nullptr || bus->Driver == nullptr || bus->Started;
}

PDEVICE_OBJECT PnpManagerImpl::FunctionDevice(PDEVICE_OBJECT pdo) const
{
    for (PDEVICE_OBJECT device : side_.IoCore().DevicesAbove(pdo)) {
        if (!filters_->IsFilter(device)) {
            return device;
        }
    }
    return nullptr;
}

std::vector<PDEVICE_OBJECT> PnpManagerImpl::FilterDevices(PDEVICE_OBJECT pdo, bool upper) const
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return {};
    }
    std::lock_guard<std::mutex> guard(bus->Lock);
    return upper ? bus->UpperFilters : bus->LowerFilters;
}

PnpState PnpManagerImpl::State(PDEVICE_OBJECT pdo) const
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return PnpState::Removed;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    return bus->State;
}

// ---- Requests ----------------------------------------------------------------------------------

NTSTATUS PnpManagerImpl::SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                                     const Filler& fill, ULONG_PTR* information)
{
    CheckIrqlCeiling("a Plug and Play manager request");
    IoManagerImpl& io = side_.IoCore();
    if (Find(pdo) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT top = io.AttachedTop(pdo);
    if (top == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR result = 0;
    PIRP irp = io.AllocateIrp(top->StackSize, [&](PIRP finished) {
        status = finished->IoStatus.Status;
        result = finished->IoStatus.Information;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill) {
        fill(next);
    }
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    io.AfterApplicationCall();
    if (information != nullptr) {
        *information = result;
    }
    return status;
}

NTSTATUS PnpManagerImpl::SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information)
{
    Filler fill;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        fill = [](PIO_STACK_LOCATION stack) {
            stack->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(BUS_RELATIONS);
        };
    }
    return SendRequest(pdo, IRP_MJ_PNP, minor, fill, information);
}

NTSTATUS PnpManagerImpl::SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                                   POWER_STATE state)
{
    return SendRequest(
        pdo, IRP_MJ_POWER, minor,
        [type, state](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.SystemContext = 0;
            stack->Parameters.Power.Type = type;
            stack->Parameters.Power.State = state;
            stack->Parameters.Power.ShutdownType = PowerActionNone;
        },
        nullptr);
}

NTSTATUS PnpManagerImpl::SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId,
                                           void* buffer, ULONG bufferSize, ULONG_PTR* information)
{
    return SendRequest(
        pdo, IRP_MJ_SYSTEM_CONTROL, minor,
        [providerId, buffer, bufferSize](PIO_STACK_LOCATION stack) {
            stack->Parameters.WMI.ProviderId = providerId;
            stack->Parameters.WMI.DataPath = nullptr;
            stack->Parameters.WMI.BufferSize = bufferSize;
            stack->Parameters.WMI.Buffer = buffer;
        },
        information);
}

NTSTATUS PnpManagerImpl::QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities)
{
    DEVICE_CAPABILITIES query;
    memset(&query, 0, sizeof(query));
    query.Size = sizeof(DEVICE_CAPABILITIES);
    query.Version = 1;
    query.Address = 0xFFFFFFFF;
    query.UINumber = 0xFFFFFFFF;
    const NTSTATUS status = SendRequest(
        pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
        [&query](PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceCapabilities.Capabilities = &query;
        },
        nullptr);
    if (capabilities != nullptr) {
        *capabilities = query;
    }
    return status;
}

// ---- Scripts ------------------------------------------------------------------------------------

NTSTATUS PnpManagerImpl::Enumerate(const BusDeviceConfig& config, PDRIVER_OBJECT driver,
                                   PDEVICE_OBJECT* pdo)
{
    PDEVICE_OBJECT created = CreatePdo(config);
    if (pdo != nullptr) {
        *pdo = created;
    }
    if (created == nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const NTSTATUS status = AddDevice(created, driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Start(created);
}

NTSTATUS PnpManagerImpl::Start(PDEVICE_OBJECT pdo, bool filterResourceRequirements)
{
    BusDevice* bus = Find(pdo);
    if (bus == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (filterResourceRequirements) {
        SendPnp(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    }
    // One full descriptor with the configured partial descriptors, raw and translated alike.
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources = bus->Config.Resources;
    const size_t header =
        offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
    const size_t bytes =
        header + std::max<size_t>(resources.size(), 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<ULONGLONG> raw((bytes + 7) / 8, 0);
    std::vector<ULONGLONG> translated((bytes + 7) / 8, 0);
    for (auto* block : {&raw, &translated}) {
        auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(block->data());
        list->Count = 1;
        list->List[0].InterfaceType = Internal;
        list->List[0].PartialResourceList.Version = 1;
        list->List[0].PartialResourceList.Revision = 1;
        list->List[0].PartialResourceList.Count = static_cast<ULONG>(resources.size());
        if (!resources.empty()) {
            memcpy(list->List[0].PartialResourceList.PartialDescriptors, resources.data(),
                   resources.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        }
    }
    const bool withLists = !resources.empty();
    // Arrivals of the device's interfaces wait until its start has completed.
    NotificationsImpl& notifications = side_.NotificationsCore();
    notifications.HoldArrivals(pdo, true);
    const NTSTATUS status = SendRequest(
        pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE,
        [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.StartDevice.AllocatedResources =
                withLists ? reinterpret_cast<PCM_RESOURCE_LIST>(raw.data()) : nullptr;
            stack->Parameters.StartDevice.AllocatedResourcesTranslated =
                withLists ? reinterpret_cast<PCM_RESOURCE_LIST>(translated.data()) : nullptr;
        },
        nullptr);
    notifications.HoldArrivals(pdo, false);
    if (!NT_SUCCESS(status)) {
        // A device that fails to start is removed in its not-started state.
        Remove(pdo);
        return status;
    }
    SetState(pdo, PnpState::Started);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        bus->Started = true;
    }
    QueryCapabilities(pdo);
    SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    SendPnp(pdo, IRP_MN_QUERY_DEVICE_RELATIONS);
    return status;
}

NTSTATUS PnpManagerImpl::QueryStop(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) {
        SetState(pdo, PnpState::StopPending);
    }
    return status;
}

NTSTATUS PnpManagerImpl::Stop(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = SendPnp(pdo, IRP_MN_STOP_DEVICE);
    SetState(pdo, PnpState::Stopped);
    return status;
}

NTSTATUS PnpManagerImpl::CancelStop(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    if (NT_SUCCESS(status) && State(pdo) == PnpState::StopPending) {
        SetState(pdo, PnpState::Started);
    }
    return status;
}

NTSTATUS PnpManagerImpl::Rebalance(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = QueryStop(pdo);
    if (!NT_SUCCESS(status)) {
        CancelStop(pdo);
        return status;
    }
    Stop(pdo);
    return Start(pdo, false);
}

NTSTATUS PnpManagerImpl::QueryRemove(PDEVICE_OBJECT pdo)
{
    const PnpState previous = State(pdo);
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status) && previous != PnpState::Removed) {
        SetState(pdo, PnpState::RemovePending);
    }
    return status;
}

NTSTATUS PnpManagerImpl::CancelRemove(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    if (NT_SUCCESS(status) && State(pdo) == PnpState::RemovePending) {
        SetState(pdo, PnpState::Started);
    }
    return status;
}

NTSTATUS PnpManagerImpl::Disable(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = QueryRemove(pdo);
    if (!NT_SUCCESS(status)) {
        // A driver that refuses the query vetoes the removal.
        CancelRemove(pdo);
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    if (side_.IoCore().OpenHandleCount(pdo) != 0) {
        // An open handle vetoes an orderly removal: the query is taken back and the
        // device stays.
        CancelRemove(pdo);
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    return Remove(pdo);
}

NTSTATUS PnpManagerImpl::Remove(PDEVICE_OBJECT pdo)
{
    IoManagerImpl& io = side_.IoCore();
    if (io.OpenHandleCount(pdo) != 0) {
        // After a surprise removal the removal waits for the last handle (the test closes
        // them first); otherwise an open handle vetoes it and no removal is sent.
        return State(pdo) == PnpState::SurpriseRemoved ? STATUS_INVALID_DEVICE_STATE
                                                       : STATUS_PLUGPLAY_QUERY_VETOED;
    }
    PDEVICE_OBJECT fdo = FunctionDevice(pdo);
    const std::u16string fdoName = fdo != nullptr ? io.DeviceName(fdo) : std::u16string();
    const size_t before = ArrivalCount(pdo, IRP_MN_REMOVE_DEVICE);
    SetAwaitingRemove(pdo, false);
    const NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        VerifierReport(Rule::PNP_REMOVE_FAILED, "IRP_MN_REMOVE_DEVICE for PDO %p failed with %#x",
                       static_cast<void*>(pdo), static_cast<unsigned>(status));
    }
    if (fdo != nullptr && ArrivalCount(pdo, IRP_MN_REMOVE_DEVICE) == before) {
        VerifierReport(Rule::PNP_REMOVE_NOT_PASSED_DOWN,
                       "IRP_MN_REMOVE_DEVICE for PDO %p never reached the bus driver",
                       static_cast<void*>(pdo));
    }
    PDEVICE_OBJECT attached = io.AttachedTop(pdo);
    if (attached != pdo) {
        VerifierReport(Rule::DEVICE_NOT_DETACHED_AT_REMOVE,
                       "device %p is still attached to PDO %p after IRP_MN_REMOVE_DEVICE",
                       static_cast<void*>(attached), static_cast<void*>(pdo));
    }
    CheckLeftoversAfterRemove(pdo, fdoName);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = devices_.find(pdo);
        if (it != devices_.end()) {
            it->second->State = PnpState::Removed;
            it->second->Driver = nullptr;
            it->second->Stack.clear();
            it->second->Started = false;
        }
    }
    if (BusDevice* bus = Find(pdo)) {
        std::lock_guard<std::mutex> guard(bus->Lock);
        bus->LowerFilters.clear();
        bus->UpperFilters.clear();
    }
    return status;
}

NTSTATUS PnpManagerImpl::SurpriseRemove(PDEVICE_OBJECT pdo)
{
    const size_t before = ArrivalCount(pdo, IRP_MN_SURPRISE_REMOVAL);
    // From here until the removal, the stack's devices must stay attached and undeleted.
    SetAwaitingRemove(pdo, true);
    const NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status)) {
        VerifierReport(Rule::PNP_SURPRISE_REMOVAL_FAILED,
                       "IRP_MN_SURPRISE_REMOVAL for PDO %p failed with %#x",
                       static_cast<void*>(pdo), static_cast<unsigned>(status));
    }
    if (FunctionDevice(pdo) != nullptr && ArrivalCount(pdo, IRP_MN_SURPRISE_REMOVAL) == before) {
        VerifierReport(Rule::PNP_REMOVE_NOT_PASSED_DOWN,
                       "IRP_MN_SURPRISE_REMOVAL for PDO %p never reached the bus driver",
                       static_cast<void*>(pdo));
    }
    SetState(pdo, PnpState::SurpriseRemoved);
    return status;
}

void PnpManagerImpl::CheckLeftoversAfterRemove(PDEVICE_OBJECT pdo, const std::u16string& fdoName)
{
    ObjectNamespaceImpl& names = side_.NamesCore();
    for (const DeviceInterfaceInfo& info : names.DeviceInterfaces()) {
        if (info.Pdo == pdo && info.Enabled) {
            VerifierReport(Rule::DEVICE_INTERFACE_LEFT_ENABLED,
                           "device interface %s of PDO %p is still enabled after removal",
                           Utf16ToUtf8(info.SymbolicLinkName).c_str(), static_cast<void*>(pdo));
        }
    }
    if (fdoName.empty()) {
        return;
    }
    const std::string target = Utf16ToUtf8(fdoName);
    for (const SymbolicLinkInfo& link : names.SymbolicLinks()) {
        if (Utf16ToUtf8(link.Target) == target) {
            VerifierReport(Rule::SYMBOLIC_LINK_LEFT_AFTER_REMOVE,
                           "symbolic link %s still points at %s after removal",
                           Utf16ToUtf8(link.Name).c_str(), target.c_str());
        }
    }
    if (side_.RegistryCore()
            .GetValue(RegText(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"),
                      RegText(fdoName))
            .has_value()) {
        VerifierReport(Rule::SERIALCOMM_VALUE_LEFT_AFTER_REMOVE,
                       "SERIALCOMM value %s is still present after removal", target.c_str());
    }
}

} // namespace qvx
