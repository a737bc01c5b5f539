#include "support/io_test_driver.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qvx {

namespace {

struct TestDevice
{
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    KSPIN_LOCK Lock; // guards Reads
    LIST_ENTRY Reads;
    KTIMER ReadTimer;
    KDPC ReadDpc;
    PIO_WORKITEM WorkItem;
    bool LinkCreated;
    WCHAR Name[48];
    UNICODE_STRING DeviceName;
};

struct DriverState
{
    TestDriverConfig Config;
    TestDriverLog Log;
    ULONG NextDevice = 0;
    PVOID Leaked = nullptr;
    TestDevice* Device = nullptr; // the one device tests use
};

DriverState& State()
{
    static DriverState state;
    return state;
}

bool Faulty(TestDriverFault fault)
{
    return State().Config.Fault == fault;
}

TestDevice* Ext(PDEVICE_OBJECT device)
{
    return static_cast<TestDevice*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(TestDevice* device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->Lower, irp);
}

// Pending propagated, nothing else: it runs with whatever device the location above holds.
NTSTATUS NTAPI PassCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(TestDevice* device, PIRP irp, bool* waited = nullptr)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
        if (waited != nullptr) {
            *waited = true;
        }
    }
    return status;
}

// ---- Reads ----------------------------------------------------------------------------------

VOID NTAPI CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    TestDevice* device = Ext(DeviceObject);
    KefAcquireSpinLockAtDpcLevel(&device->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&device->Lock, Irp->CancelIrql);
    Complete(Irp, STATUS_CANCELLED);
}

// Takes the queued reads the driver still owns (their cancel routine taken back, unless the
// fault keeps it).
void TakeReads(TestDevice* device, LIST_ENTRY* taken, PFILE_OBJECT only, bool keepRoutine)
{
    InitializeListHead(taken);
    KIRQL old = KfAcquireSpinLock(&device->Lock);
    PLIST_ENTRY entry = device->Reads.Flink;
    while (entry != &device->Reads) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (only != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != only) {
            continue;
        }
        if (!keepRoutine && !Faulty(TestDriverFault::PendingNotMarked) &&
            IoSetCancelRoutine(irp, nullptr) == nullptr) {
            continue; // Its cancel routine owns it.
        }
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(taken, &irp->Tail.Overlay.ListEntry);
    }
    KfReleaseSpinLock(&device->Lock, old);
}

size_t CompleteReads(TestDevice* device)
{
    LIST_ENTRY taken;
    TakeReads(device, &taken, nullptr, Faulty(TestDriverFault::CompleteWithCancelRoutine));
    size_t count = 0;
    while (!IsListEmpty(&taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
        const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = static_cast<UCHAR>('a' + i % 26);
        }
        Complete(irp, STATUS_SUCCESS, length);
        ++count;
    }
    return count;
}

VOID NTAPI ReadTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    CompleteReads(static_cast<TestDevice*>(context));
}

void CancelReads(TestDevice* device, PFILE_OBJECT file)
{
    LIST_ENTRY taken;
    TakeReads(device, &taken, file, false);
    while (!IsListEmpty(&taken)) {
        Complete(CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry),
                 STATUS_CANCELLED);
    }
}

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TestDevice* device = Ext(DeviceObject);
    const bool unmarked = Faulty(TestDriverFault::PendingNotMarked);
    if (!unmarked) {
        IoMarkIrpPending(Irp);
    }
    KIRQL old = KfAcquireSpinLock(&device->Lock);
    InsertTailList(&device->Reads, &Irp->Tail.Overlay.ListEntry);
    if (!unmarked) {
        (void)IoSetCancelRoutine(Irp, CancelRead);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            KfReleaseSpinLock(&device->Lock, old);
            Complete(Irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
    }
    KfReleaseSpinLock(&device->Lock, old);
    if (State().Config.ReadDelayMs != 0) {
        LARGE_INTEGER due;
        due.QuadPart = -State().Config.ReadDelayMs * 10000;
        KeSetTimer(&device->ReadTimer, due, &device->ReadDpc);
    }
    return STATUS_PENDING;
}

// ---- Other file requests -------------------------------------------------------------------

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    ++State().Log.Creates;
    // A read of the service key, as a driver does at open.
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QvxTest";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    const ULONG kernel = Faulty(TestDriverFault::OpenKeyAsUserHandle) ? 0 : OBJ_KERNEL_HANDLE;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | kernel, nullptr, nullptr);
    HANDLE key = nullptr;
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        ZwClose(key);
    }
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ++State().Log.Cleanups;
    if (!State().Config.CleanupLeavesReads) {
        CancelReads(Ext(DeviceObject), IoGetCurrentIrpStackLocation(Irp)->FileObject);
    }
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    ++State().Log.Closes;
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    const auto* data = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    State().Log.Writes.emplace_back(data, data + length);
    const NTSTATUS status = Complete(Irp, STATUS_SUCCESS, length);
    if (Faulty(TestDriverFault::ReturnAtDispatchLevel)) {
        KfRaiseIrql(DISPATCH_LEVEL);
    }
    return status;
}

NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    if (Faulty(TestDriverFault::CompleteWithPendingStatus)) {
        IoMarkIrpPending(Irp);
        Complete(Irp, STATUS_PENDING);
        return STATUS_PENDING;
    }
    return Complete(Irp, STATUS_SUCCESS);
}

VOID NTAPI WorkItemRoutine(PDEVICE_OBJECT, PVOID)
{
    ++State().Log.WorkItemRuns;
    State().Log.WorkItemIrql = KeGetCurrentIrql();
}

NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TEST_ECHO: {
        const ULONG_PTR count = std::min(in, out);
        if (Faulty(TestDriverFault::CompleteTwice)) {
            Complete(Irp, STATUS_SUCCESS, count);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        return Complete(Irp, STATUS_SUCCESS,
                        Faulty(TestDriverFault::InformationTooLarge) ? out + 1 : count);
    }
    case IOCTL_TEST_COMPLETE_WITH: {
        if (in < 8) {
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
        }
        NTSTATUS status = STATUS_SUCCESS;
        ULONG information = 0;
        memcpy(&status, buffer, 4);
        memcpy(&information, buffer + 4, 4);
        memset(buffer, 0x5A, out);
        return Complete(Irp, status, information);
    }
    case IOCTL_TEST_QUEUE_WORK_ITEM: {
        // Queued from DISPATCH_LEVEL, as a DPC would; the routine runs at PASSIVE_LEVEL.
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        IoQueueWorkItem(Ext(DeviceObject)->WorkItem, WorkItemRoutine, DelayedWorkQueue, nullptr);
        KfLowerIrql(old);
        return Complete(Irp, STATUS_SUCCESS);
    }
    case IOCTL_TEST_NEITHER_ECHO: {
        const ULONG_PTR count = std::min(in, out);
        memcpy(Irp->UserBuffer, stack->Parameters.DeviceIoControl.Type3InputBuffer, count);
        return Complete(Irp, STATUS_SUCCESS, count);
    }
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---- Plug and Play, power, WMI ----------------------------------------------------------------

void DeleteLink(TestDevice* device)
{
    if (device->LinkCreated) {
        std::u16string link = State().Config.SymbolicLink;
        UNICODE_STRING name = Counted(link);
        IoDeleteSymbolicLink(&name);
        device->LinkCreated = false;
    }
}

void DeleteDevice(TestDevice* device)
{
    // The read DPC may still be running on another processor.
    KeCancelTimer(&device->ReadTimer);
    KeFlushQueuedDpcs();
    IoDetachDevice(device->Lower);
    IoFreeWorkItem(device->WorkItem);
    if (State().Device == device) {
        State().Device = nullptr;
    }
    IoDeleteDevice(device->Self);
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TestDevice* device = Ext(DeviceObject);
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    State().Log.PnpMinors.push_back(minor);
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(device, Irp, &State().Log.StartWaited);
        if (NT_SUCCESS(status) && !State().Config.SymbolicLink.empty() && !device->LinkCreated) {
            std::u16string link = State().Config.SymbolicLink;
            UNICODE_STRING name = Counted(link);
            status = IoCreateSymbolicLink(&name, &device->DeviceName);
            device->LinkCreated = NT_SUCCESS(status);
        }
        return Complete(Irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(Irp, ForwardAndWait(device, Irp));
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: {
        DeleteLink(device);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(device, Irp);
        if (minor == IRP_MN_SURPRISE_REMOVAL && Faulty(TestDriverFault::DeleteAtSurpriseRemoval)) {
            DeleteDevice(device);
        }
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        if (Faulty(TestDriverFault::FailRemove)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL);
        }
        DeleteLink(device);
        if (!Faulty(TestDriverFault::DeleteWithPendingRead)) {
            CancelReads(device, nullptr);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(device, Irp);
        DeleteDevice(device);
        return status;
    }
    default:
        if (Faulty(TestDriverFault::ChangeUnhandledPnpStatus)) {
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
        if (Faulty(TestDriverFault::ForwardToPdo)) {
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(device->Pdo, Irp);
        }
        if (Faulty(TestDriverFault::SkipThenSetCompletion)) {
            // The routine lands in this driver's own location, over the one the driver
            // above set there.
            IoSkipCurrentIrpStackLocation(Irp);
            IoSetCompletionRoutine(Irp, PassCompletion, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(device->Lower, Irp);
        }
        return PassDown(device, Irp);
    }
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ++State().Log.PowerRequests;
    if (!Faulty(TestDriverFault::SkipPoStartNext)) {
        PoStartNextPowerIrp(Irp);
    }
    if (Faulty(TestDriverFault::PoStartNextTwice)) {
        PoStartNextPowerIrp(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    if (Faulty(TestDriverFault::PowerWithIofCallDriver)) {
        return IoCallDriver(Ext(DeviceObject)->Lower, Irp);
    }
    return PoCallDriver(Ext(DeviceObject)->Lower, Irp);
}

NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    WMILIB_CONTEXT context;
    memset(&context, 0, sizeof(context));
    SYSCTL_IRP_DISPOSITION disposition = IrpProcessed;
    NTSTATUS status = WmiSystemControl(&context, DeviceObject, Irp, &disposition);
    State().Log.LastDisposition = disposition;
    switch (disposition) {
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IrpNotWmi:
    case IrpForward:
        status = PassDown(Ext(DeviceObject), Irp);
        break;
    case IrpProcessed:
        break;
    }
    return status;
}

// ---- Driver entry, add device, unload ---------------------------------------------------------

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    char16_t name[48];
    std::u16string text = u"\\Device\\QvxTest";
    for (char digit : std::to_string(State().NextDevice)) {
        text += static_cast<char16_t>(digit);
    }
    std::copy(text.begin(), text.end(), name);
    UNICODE_STRING deviceName{static_cast<USHORT>(text.size() * 2),
                              static_cast<USHORT>(text.size() * 2), name};
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TestDevice), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TestDevice* device = Ext(fdo);
    device->Self = fdo;
    KeInitializeSpinLock(&device->Lock);
    InitializeListHead(&device->Reads);
    KeInitializeTimer(&device->ReadTimer);
    KeInitializeDpc(&device->ReadDpc, ReadTimerDpc, device);
    std::copy(text.begin(), text.end(), device->Name);
    device->DeviceName = {static_cast<USHORT>(text.size() * 2),
                          static_cast<USHORT>(sizeof(device->Name)), device->Name};
    device->WorkItem = IoAllocateWorkItem(fdo);
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    if (Faulty(TestDriverFault::NotPowerPagable)) {
        fdo->Flags &= ~DO_POWER_PAGABLE;
    }
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PoSetPowerState(fdo, DevicePowerState, d3);
    device->Pdo = Pdo;
    device->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (device->Lower == nullptr) {
        IoFreeWorkItem(device->WorkItem);
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    ++State().NextDevice;
    State().Device = device;
    if (!Faulty(TestDriverFault::LeaveInitializing)) {
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = ReadDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = WriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControlDispatch;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    if (Faulty(TestDriverFault::LeakPoolAtUnload)) {
        State().Leaked = ExAllocatePoolWithTag(NonPagedPool, 24, TEST_DRIVER_TAG);
    }
    return STATUS_SUCCESS;
}

} // namespace

PDRIVER_OBJECT LoadTestDriver(const TestDriverConfig& config)
{
    State() = DriverState();
    State().Config = config;
    return Machine::Current().Io().LoadDriver(u"QvxTest", DriverEntry, nullptr, {TEST_DRIVER_TAG});
}

TestDriverConfig& TestDriverSettings()
{
    return State().Config;
}

const TestDriverLog& TestDriverEvents()
{
    return State().Log;
}

size_t CompleteTestReads()
{
    if (State().Device == nullptr) {
        return 0;
    }
    DispatchLevelScope atDispatch;
    return CompleteReads(State().Device);
}

size_t QueuedTestReads()
{
    TestDevice* device = State().Device;
    if (device == nullptr) {
        return 0;
    }
    size_t count = 0;
    KIRQL old = KfAcquireSpinLock(&device->Lock);
    for (PLIST_ENTRY e = device->Reads.Flink; e != &device->Reads; e = e->Flink) {
        ++count;
    }
    KfReleaseSpinLock(&device->Lock, old);
    return count;
}

PVOID TestDriverLeakedBlock()
{
    return State().Leaked;
}

void DestroyTestDevice(PDEVICE_OBJECT fdo)
{
    TestDevice* device = Ext(fdo);
    DeleteLink(device);
    DeleteDevice(device);
}

// ---- Fixture ----------------------------------------------------------------------------------

void IoDriverTest::SetUp()
{
    SimMachineTest::SetUp();
    if (StartInSetUp) {
        ASSERT_EQ(Boot(), STATUS_SUCCESS);
    }
}

NTSTATUS IoDriverTest::Boot()
{
    driver_ = LoadTestDriver(Config);
    if (driver_ == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (Device.HardwareValues.empty()) {
        Device.HardwareValues = {{u"PortName", u"COM5"}};
    }
    return Pnp().Enumerate(Device, driver_, &pdo_);
}

FileHandle IoDriverTest::OpenCom5(NTSTATUS* status)
{
    const FileHandle handle = Io().Open(u"\\\\.\\COM5", 0, status);
    if (handle != INVALID_FILE_HANDLE) {
        handles_.push_back(handle);
    }
    return handle;
}

void IoDriverTest::ForgetHandle(FileHandle handle)
{
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
}

size_t IoDriverTest::TakeAll(Rule rule)
{
    size_t count = 0;
    while (Sim().TakeViolation(rule)) {
        ++count;
    }
    return count;
}

void IoDriverTest::TearDown()
{
    for (FileHandle handle : handles_) {
        Io().Close(handle);
    }
    handles_.clear();
    if (pdo_ != nullptr && Pnp().FunctionDevice(pdo_) != nullptr) {
        Pnp().Remove(pdo_);
    }
    if (driver_ != nullptr && Io().IsDriverLoaded(driver_)) {
        EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_SUCCESS);
    }
    Io().RunPassiveWork();
    EXPECT_EQ(Io().OutstandingIrps(), 0u) << "a request was never completed";
    EXPECT_EQ(Io().PendingCloseCount(), 0u) << "a file object never got its close";
    SimMachineTest::TearDown();
}

} // namespace qvx
