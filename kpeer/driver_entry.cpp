// Entry and unload of quarvexpeer.sys, and its control device \Device\QuarvexPeer
// (\\.\QuarvexPeer for programs), which lists the ports the peer serves.

#include <ntddk.h>

#include "kpeer/kpeer.h"
#include "kpeer/peer_compat.h"
#include "kpeer/peer_trace.h"
#include "kpeer/qvxpeer_control.h"

PeerDriver PeerGlobals;

namespace {

const WCHAR* const CONTROL_DEVICE_NAME = QVXPEER_WSTR("\\Device\\QuarvexPeer");
const WCHAR* const CONTROL_LINK_NAME = QVXPEER_WSTR("\\??\\QuarvexPeer");

VOID InitName(UNICODE_STRING* Name, PCWSTR Text)
{
    USHORT length = 0;
    while (Text[length] != 0) {
        ++length;
    }
    Name->Buffer = const_cast<PWSTR>(Text);
    Name->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    Name->MaximumLength = Name->Length;
}

VOID CopyName(unsigned short* Out, PCWSTR Name)
{
    for (ULONG i = 0; i < QVXPEER_NAME_CHARS - 1 && Name[i] != 0; ++i) {
        Out[i] = static_cast<unsigned short>(Name[i]);
    }
}

// The device has the default security of a device object, which lets any user open it; the
// handle reads and injects a port's bytes, so only a service or an administrator may have one.
// IRQL: PASSIVE_LEVEL.
bool CallerMayControl()
{
    LUID privilege;
    privilege.HighPart = 0;
    privilege.LowPart = SE_TCB_PRIVILEGE;
    if (SeSinglePrivilegeCheck(privilege, UserMode)) {
        return true;
    }
    privilege.LowPart = SE_LOAD_DRIVER_PRIVILEGE;
    return SeSinglePrivilegeCheck(privilege, UserMode) != FALSE;
}

ULONG PortFlags(const PeerPort* Port)
{
    ULONG flags = 0;
    flags |= Port->Present ? QVXPEER_PORT_PRESENT : 0;
    flags |= Port->Configured ? QVXPEER_PORT_CONFIGURED : 0;
    flags |= Port->Sink == SinkInbound || Port->Sink == SinkOutbound ? QVXPEER_PORT_LINKED : 0;
    flags |= Port->Rejected ? QVXPEER_PORT_REJECTED : 0;
    flags |= Port->LineSpeed ? QVXPEER_PORT_LINE_SPEED : 0;
    flags |= Port->XonXoff ? QVXPEER_PORT_XONXOFF : 0;
    flags |= Port->Inbound.Paused ? QVXPEER_PORT_PAUSED : 0;
    flags |= Port->Attached != NULL ? QVXPEER_PORT_ATTACHED : 0;
    return flags;
}

// One port's record. Locks: ListLock held; takes the port's Lock and, for the Xoff state of
// its bytes, the lock of the port they wait in (never both).
VOID DescribePort(PeerPort* Port, QvxPeerPortStatus* Status)
{
    RtlZeroMemory(Status, sizeof(*Status));
    CopyName(Status->Name, Port->Name);
    PeerLockGuard guard(&Port->Lock);
    const PeerConfig& config = Port->Config;
    Status->Kind = Port->Configured ? config.Kind : QVXPEER_KIND_NONE;
    Status->Network = Port->Configured ? config.Network : QVXPEER_NETWORK_NONE;
    if (Port->Sink == SinkInbound) {
        CopyName(Status->PeerName, Port->Target->Name);
        if (!Port->Configured) {
            Status->Kind = Port->Target == Port ? QVXPEER_KIND_LOOPBACK : QVXPEER_KIND_PAIR;
        }
    } else if (Port->Configured && config.Kind == QVXPEER_KIND_PAIR) {
        CopyName(Status->PeerName, config.PairName);
    }
    Status->Flags = PortFlags(Port);
    Status->LastBaud = Port->LastBaud;
    Status->HeldToPort = Port->Inbound.Ring.Count + Port->Inbound.UrgentCount;
    Status->HeldFromPort = Port->Outbound.Ring.Count;
    Status->BufferBytes =
        Port->Sink == SinkOutbound ? Port->Outbound.Ring.Size : Port->Inbound.Ring.Size;
    Status->ToPort = Port->ToPort;
    Status->FromPort = Port->FromPort;
    Status->Dropped = Port->Dropped;
    const bool selfXoff = Port->Sink == SinkOutbound
                              ? Port->Outbound.XoffSent
                              : Port->Inbound.XoffSent && Port->Inbound.Sender == Port;
    PeerPort* target = Port->Sink == SinkInbound && Port->Target != Port ? Port->Target : NULL;
    guard.Release();
    bool xoff = selfXoff;
    if (target != NULL) {
        PeerLockGuard targetGuard(&target->Lock);
        xoff = target->Inbound.Sender == Port && target->Inbound.XoffSent;
    }
    Status->Flags |= xoff ? QVXPEER_PORT_XOFF_SENT : 0;
}

// IOCTL_QVXPEER_LIST: the header and as many whole records as fit.
NTSTATUS ListPorts(PVOID Buffer, ULONG OutputLength, ULONG_PTR* Information)
{
    if (OutputLength < sizeof(QvxPeerListHeader)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* header = static_cast<QvxPeerListHeader*>(Buffer);
    auto* records = reinterpret_cast<QvxPeerPortStatus*>(header + 1);
    const ULONG room = (OutputLength - sizeof(*header)) / sizeof(QvxPeerPortStatus);
    ULONG count = 0;
    ULONG returned = 0;
    {
        PeerLockGuard list(&PeerGlobals.ListLock);
        for (PLIST_ENTRY entry = PeerGlobals.Ports.Flink; entry != &PeerGlobals.Ports;
             entry = entry->Flink) {
            if (returned < room) {
                DescribePort(CONTAINING_RECORD(entry, PeerPort, Link), &records[returned++]);
            }
            ++count;
        }
    }
    RtlZeroMemory(header, sizeof(*header));
    header->Version = QVXPEER_LIST_VERSION;
    header->RecordBytes = sizeof(QvxPeerPortStatus);
    header->PortCount = count;
    header->Returned = returned;
    header->Rejected = static_cast<ULONG>(InterlockedCompareExchange(&PeerGlobals.Rejected, 0, 0));
    *Information = sizeof(*header) + returned * sizeof(QvxPeerPortStatus);
    return returned < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// IOCTL_QVXPEER_ATTACH: the request checked whole before anything is looked up.
NTSTATUS AttachHandle(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(QvxPeerAttach) ||
        Stack->FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    QvxPeerAttach request;
    RtlCopyMemory(&request, Irp->AssociatedIrp.SystemBuffer, sizeof(request));
    WCHAR name[QVXPEER_NAME_CHARS];
    ULONG length = 0;
    while (length < QVXPEER_NAME_CHARS && request.PortName[length] != 0) {
        name[length] = static_cast<WCHAR>(request.PortName[length]);
        ++length;
    }
    const ULONG buffer = request.BufferBytes;
    if (length == 0 || length == QVXPEER_NAME_CHARS ||
        (request.Flags & ~QVXPEER_ATTACH_XONXOFF) != 0 ||
        (buffer != 0 && (buffer < PEER_MIN_BUFFER || buffer > PEER_MAX_BUFFER))) {
        return STATUS_INVALID_PARAMETER;
    }
    name[length] = 0;
    return QuarvexPeerAttach(name, Stack->FileObject, request.Flags, buffer);
}

NTSTATUS DeviceControl(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG output = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (code) {
    case IOCTL_QVXPEER_ATTACH:
        return AttachHandle(Irp, Stack);
    case IOCTL_QVXPEER_LIST:
        return ListPorts(Irp->AssociatedIrp.SystemBuffer, output, &Irp->IoStatus.Information);
    default:
        QuarvexPeerTrace(PEER_TRACE_CONTROL, 2, "QuarvexPeerDispatch: unknown control code %x",
                         code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

VOID DeleteControlDevice()
{
    if (PeerGlobals.LinkCreated) {
        UNICODE_STRING link;
        InitName(&link, CONTROL_LINK_NAME);
        (void)IoDeleteSymbolicLink(&link);
        PeerGlobals.LinkCreated = FALSE;
    }
    if (PeerGlobals.ControlDevice != NULL) {
        IoDeleteDevice(PeerGlobals.ControlDevice);
        PeerGlobals.ControlDevice = NULL;
    }
}

[[nodiscard]] NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING name;
    InitName(&name, CONTROL_DEVICE_NAME);
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &PeerGlobals.ControlDevice);
    if (!NT_SUCCESS(status)) {
        PeerGlobals.ControlDevice = NULL;
        return status;
    }
    PeerGlobals.ControlDevice->Flags |= DO_BUFFERED_IO;
    UNICODE_STRING link;
    InitName(&link, CONTROL_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        DeleteControlDevice();
        return status;
    }
    PeerGlobals.LinkCreated = TRUE;
    PeerGlobals.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Everything entry set up, in the order that leaves no callback, timer or DPC behind: new work
// refused and the ports' send routine gone, the notifications gone, the deliveries stopped,
// then the objects released and the records freed.
VOID TearDown()
{
    QuarvexPeerCloseAndUnregister();
    QuarvexPeerUnregisterNotifications();
    QuarvexPeerStopDeliveries();
    QuarvexPeerFreePorts();
    DeleteControlDevice();
}

} // namespace

extern "C" NTSTATUS NTAPI QuarvexPeerDriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    QuarvexPeerTrace(PEER_TRACE_INIT, 3, "QuarvexPeerDriverEntry++");
    RtlZeroMemory(&PeerGlobals, sizeof(PeerGlobals));
    PeerGlobals.DriverObject = DriverObject;
    KeInitializeEvent(&PeerGlobals.ConfigLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&PeerGlobals.NotifyIdle, NotificationEvent, FALSE);
    KeInitializeSpinLock(&PeerGlobals.ListLock);
    InitializeListHead(&PeerGlobals.Ports);
    PeerGlobals.NotifyBusy = 1;

    NTSTATUS status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        QuarvexPeerTrace(PEER_TRACE_INIT, 1, "QuarvexPeerDriverEntry--. control device STATUS %x",
                         status);
        return status;
    }
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = QuarvexPeerDispatch;
    }
    DriverObject->DriverUnload = QuarvexPeerUnload;

    // Last: the ports that exist already arrive inside this call.
    status = QuarvexPeerRegisterNotifications();
    if (!NT_SUCCESS(status)) {
        PeerGlobals.NotificationEntry = NULL;
        TearDown();
        QuarvexPeerTrace(PEER_TRACE_INIT, 1, "QuarvexPeerDriverEntry--. notifications STATUS %x",
                         status);
        return status;
    }
    QuarvexPeerTrace(PEER_TRACE_INIT, 3, "QuarvexPeerDriverEntry--. STATUS %x", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

VOID NTAPI QuarvexPeerUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    QuarvexPeerTrace(PEER_TRACE_UNLOAD, 3, "QuarvexPeerUnload++");
    TearDown();
    QuarvexPeerTrace(PEER_TRACE_UNLOAD, 3, "QuarvexPeerUnload--");
}

NTSTATUS NTAPI QuarvexPeerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (InterlockedCompareExchange(&PeerGlobals.Unloading, 0, 0) != 0) {
            status = STATUS_DELETE_PENDING;
        } else if (Irp->RequestorMode == UserMode && !CallerMayControl()) {
            status = STATUS_PRIVILEGE_NOT_HELD;
        } else {
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MJ_READ:
        return QuarvexPeerRead(Irp, stack);
    case IRP_MJ_WRITE:
        return QuarvexPeerWrite(Irp, stack);
    case IRP_MJ_CLEANUP:
        if (stack->FileObject != NULL && stack->FileObject->FsContext != NULL) {
            QuarvexPeerDetach(static_cast<PeerPort*>(stack->FileObject->FsContext),
                              stack->FileObject);
        }
        break;
    case IRP_MJ_CLOSE:
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = DeviceControl(Irp, stack);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

#ifdef _WIN32
// The image's entry point. The host build has none: quarvex.sys's DriverEntry lives in the
// same process there, and the tests load this driver through QuarvexPeerDriverEntry.
extern "C" DRIVER_INITIALIZE DriverEntry;
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return QuarvexPeerDriverEntry(DriverObject, RegistryPath);
}
#endif
