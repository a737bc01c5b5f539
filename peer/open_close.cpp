// Open, close and cleanup of the port: one handle at a time.

#include <ntddk.h>

#include "peer/peer.h"
#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "queue/queue.h"
#include "serial/input_ring.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

namespace {

const WCHAR* const SERVICE_KEY_PATH =
    QUARVEX_WSTR("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex");
const WCHAR* const SEND_PERIOD_VALUE = QUARVEX_WSTR("ComPeriod");
constexpr UCHAR IER_ALL_SOURCES = 0x0F;

NTSTATUS FailCreate(PortDeviceRecord* Port, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, Status);
    QuarvexIoDecrement(Port);
    QuarvexTrace(TRACE_OPEN_CLOSE, 2, "QuarvexCreateDispatch$$--. IRP %p, STATUS %x", Irp, Status);
    return Status;
}

// Reads "ComPeriod" into SendPeriod; a missing or unreadable value keeps the period in force.
VOID ReadSendPeriod(PortDeviceRecord* Port)
{
    HANDLE key = NULL;
    NTSTATUS status = QuarvexRegOpenKey(NULL, SERVICE_KEY_PATH, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        QuarvexTrace(TRACE_OPEN_CLOSE, 3,
                     "QuarvexCreateDispatchQuarvexRegOpenKey Failed. Status: %x", status);
        return;
    }
    ULONG period = Port->SendPeriod;
    if (NT_SUCCESS(QuarvexRegReadDword(key, SEND_PERIOD_VALUE, &period))) {
        if (period >= SEND_PERIOD_MIN_MS && period <= SEND_PERIOD_MAX_MS) {
            Port->SendPeriod = period;
        } else {
            QuarvexTrace(TRACE_OPEN_CLOSE, 2,
                         "QuarvexCreateDispatchComPeriod %u refused, keeping %u", period,
                         Port->SendPeriod);
        }
    }
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCreateDispatchPeriod %d", Port->SendPeriod);
    (void)ZwClose(key);
}

// The UART as an open leaves it: line control, flow control and modem lines from the
// record, every interrupt source on. Locks: PortLock held.
VOID ApplyOpenLineLocked(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    QuarvexUartWriteLcr(&Port->Uart, Port->SavedLcr);
    const SERIAL_HANDFLOW handFlow = Port->HandFlow;
    QuarvexApplyHandFlow(Port, &handFlow);
    (void)QuarvexHandleModemUpdate(Port, FALSE);
    QuarvexUartWriteIer(&Port->Uart, IER_ALL_SOURCES);
}

VOID StartSendTimer(PortDeviceRecord* Port)
{
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(static_cast<ULONG>(Port->SendPeriod * 10000));
    (void)KeSetTimerEx(&Port->SendTimer, due, static_cast<LONG>(Port->SendPeriod),
                       &Port->SendTimerDpc);
    Port->SendTimerRunning = TRUE;
}

} // namespace

VOID QuarvexResumeOpenPort(PortDeviceRecord* Port, ULONG SendPeriod)
{
    QuarvexTrace(TRACE_PNP, 3, "QuarvexResumeOpenPort. Period %d", SendPeriod);
    Port->SendPeriod = SendPeriod;
    {
        SpinLockGuard guard(&Port->PortLock);
        // The UART's registers kept the modem lines, a break and the line control through the
        // stop, and the record kept the settings and holds: only the interrupt sources come
        // back, and the holds are brought in line with the lines as they read now.
        (void)QuarvexHandleModemUpdate(Port, FALSE);
        QuarvexUartWriteIer(&Port->Uart, IER_ALL_SOURCES);
        QuarvexKickIfWaiting(Port);
    }
    StartSendTimer(Port);
}

NTSTATUS QuarvexRegOpenKey(HANDLE Parent, PCWSTR Path, ACCESS_MASK Access, PHANDLE Key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Parent,
                               NULL);
    return ZwOpenKey(Key, Access, &attributes);
}

NTSTATUS QuarvexRegReadDword(HANDLE Key, PCWSTR Name, PULONG Value)
{
    // The 12-byte header and room for 8 bytes of data: longer values overflow and are refused.
    union {
        KEY_VALUE_PARTIAL_INFORMATION Info;
        UCHAR Bytes[20];
    } buffer;
    RtlZeroMemory(&buffer, sizeof(buffer));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG resultLength = 0;
    const NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, &buffer,
                                            sizeof(buffer.Bytes), &resultLength);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ULONG value;
    RtlCopyMemory(&value, buffer.Info.Data, sizeof(value)); // zero-padded when shorter
    *Value = value;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QuarvexCreateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCreateDispatch: IRP %p", Irp);
    if (!QuarvexIoIncrement(port)) {
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        QuarvexTrace(TRACE_OPEN_CLOSE, 2, "QuarvexCreateDispatch$$--. IRP %p, STATUS %x", Irp,
                     STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (InterlockedIncrement(&port->ExclusiveOpenCount) != 1) {
        InterlockedDecrement(&port->ExclusiveOpenCount);
        return FailCreate(port, Irp, STATUS_ACCESS_DENIED);
    }
    // Only a started port opens, also by its device name: a stopped one has no UART and no
    // peer link for the send timer an open sets. Read after the count went up, which a
    // query-remove reads after its state change: one of the two sees the other.
    const ULONG pnpState = port->PnpState;
    if (pnpState != PNP_STARTED && pnpState != PNP_STOP_PENDING) {
        InterlockedDecrement(&port->ExclusiveOpenCount);
        return FailCreate(port, Irp, STATUS_NO_SUCH_DEVICE);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if ((stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) != 0) {
        InterlockedDecrement(&port->ExclusiveOpenCount);
        return FailCreate(port, Irp, STATUS_NOT_A_DIRECTORY);
    }

    if (!NT_SUCCESS(QuarvexInputRingAllocate(port))) {
        InterlockedDecrement(&port->ExclusiveOpenCount);
        return FailCreate(port, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    {
        // Under the lock: the send timer's routine of the last handle may still be running.
        SpinLockGuard guard(&port->PortLock);
        port->TxQueuedCount = 0;
        port->WaitResultSlot = NULL;
        port->EventHistory = 0;
        port->WaitMask = 0;
        // An Xon that close left pending releases a peer still paused by this port's Xoff.
        port->SendXoffPending = FALSE;
        port->LsrMstEscape = 0;
        port->ThrEmpty = TRUE;
        ApplyOpenLineLocked(port);
        // A new handle starts without the errors of the last one (with SERIAL_ERROR_ABORT
        // they would refuse its requests until it read them).
        RtlZeroMemory(&port->Stats, sizeof(port->Stats));
        port->CommErrors = 0;
        QuarvexStoreShared(&port->PortIsOpen, TRUE);
        QuarvexKickIfWaiting(port);
    }

    ReadSendPeriod(port);
    StartSendTimer(port);

    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    QuarvexIoDecrement(port);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCreateDispatch--. IRP %p, STATUS %x", Irp,
                 STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QuarvexCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCloseDispatch++. IRP %p", Irp);
    {
        SpinLockGuard guard(&port->PortLock);
        QuarvexBreakOff(port);
        QuarvexDropDtr(port);
        QuarvexDropRts(port);
        // A peer paused by this port's Xoff (sent, or an Xon for it not yet sent) would stay
        // paused for good: the next open sends the Xon. An Xoff not yet sent is dropped.
        const bool peerPaused =
            port->SendXonPending ||
            ((port->RxHoldReasons & RX_HOLD_XOFF) != 0 && !port->SendXoffPending);
        port->SendXonPending = peerPaused ? TRUE : FALSE;
        port->SendXoffPending = FALSE;
        port->RxHoldReasons = 0;
        port->TxHoldReasons = 0;
        QuarvexStoreShared(&port->PortIsOpen, FALSE);
    }
    // The interrupt service holds PortLock for its whole run and now only drains, so the ring
    // can go.
    QuarvexInputRingFree(port);
    if (port->SendTimerRunning) {
        (void)KeCancelTimer(&port->SendTimer);
        port->SendTimerRunning = FALSE;
    }
    // The last bytes this handle wrote leave with its session, not with the next one's.
    QuarvexSendRemaining(port);
    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    InterlockedDecrement(&port->ExclusiveOpenCount);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCloseDispatch--. IRP %p, STATUS %x", Irp,
                 STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QuarvexCleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCleanupDispatch++. IRP %p", Irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // Requests of this handle still on their way in are refused from here on.
    QuarvexMarkCleanedUp(file);
    QuarvexFlushQueues(port, file);
    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexCleanupDispatch--. IRP %p STATUS %x", Irp,
                 STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
