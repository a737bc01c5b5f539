// Plug and Play: start and stop of the port's serial resources, the stalls around query-stop
// and query-remove, surprise removal and removal.

#include <ntddk.h>

#include "driver/driver.h"
#include "driver/kcompat.h"
#include "peer/peer.h"
#include "port/port.h"
#include "queue/queue.h"
#include "trace/trace.h"

namespace {

constexpr USHORT CAPABILITIES_VERSION = 1;
constexpr USHORT CAPABILITIES_MIN_SIZE = 64;

NTSTATUS PassDown(PortDeviceRecord* Port, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Port->LowerDeviceObject, Irp);
}

VOID TraceResource(const CM_PARTIAL_RESOURCE_DESCRIPTOR* Raw,
                   const CM_PARTIAL_RESOURCE_DESCRIPTOR* Translated)
{
    switch (Raw->Type) {
    case CmResourceTypePort:
        QuarvexTrace(TRACE_PNP, 4, "Resource Type Port");
        QuarvexTrace(TRACE_PNP, 4, "Port.Start %I64x", Raw->u.Port.Start.QuadPart);
        QuarvexTrace(TRACE_PNP, 4, "Port.Length %x", Raw->u.Port.Length);
        break;
    case CmResourceTypeInterrupt:
        QuarvexTrace(TRACE_PNP, 3, "Resource Type Interrupt");
        QuarvexTrace(TRACE_PNP, 3, "Interrupt.Level %x", Translated->u.Interrupt.Level);
        QuarvexTrace(TRACE_PNP, 3, "Interrupt.Vector %x", Translated->u.Interrupt.Vector);
        QuarvexTrace(TRACE_PNP, 3, "Interrupt.Affinity %x\n", Translated->u.Interrupt.Affinity);
        break;
    case CmResourceTypeMemory:
        QuarvexTrace(TRACE_PNP, 3, "Resource Type Memory");
        QuarvexTrace(TRACE_PNP, 3, "Memory.Start %I64x", Raw->u.Memory.Start.QuadPart);
        QuarvexTrace(TRACE_PNP, 3, "Memory.Length %x", Raw->u.Memory.Length);
        break;
    default:
        QuarvexTrace(TRACE_PNP, 3, "Unknown Resource Type %x", Translated->Type);
        break;
    }
}

// Query-stop, query-remove and their cancels: the state the query saved comes back.
NTSTATUS CancelPendingQuery(PortDeviceRecord* Port, PIRP Irp, ULONG PendingState,
                            ULONG FailureLevel)
{
    if (Port->PnpState != PendingState) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = QuarvexForwardAndWait(Port->LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        Port->PnpState = Port->PreviousPnpState;
        QuarvexRestartQueues(Port);
    } else {
        QuarvexTrace(TRACE_PNP, FailureLevel, "QuarvexPnpDispatch--. IRP %p STATUS %x", Irp,
                     status);
    }
    return status;
}

// With no dispatcher left inside, the UART and the send timer may still have been touched
// after the serial resources went: by a create that counted itself in just before the removal,
// or by the close that follows a surprise removal (its modem-line drop raises the UART). Both
// are silenced, and what they queued is taken back or has run, before the device object can
// be freed; a close that reaches the removed device later then queues nothing in it.
VOID QuiesceRemovedPort(PortDeviceRecord* Port)
{
    QuarvexUartSilence(&Port->Uart);
    QuarvexFreeCallbacks(Port);
    QuarvexUartFree(&Port->Uart);
}

NTSTATUS RemoveDevice(PortDeviceRecord* Port, PIRP Irp)
{
    if (Port->PnpState != PNP_SURPRISE_REMOVED) {
        QuarvexGateAbort(&Port->ControlGate, STATUS_NO_SUCH_DEVICE);
        (void)QuarvexFreeSerialResources(Port);
    }
    Port->PnpState = PNP_REMOVED;
    QuarvexIoDecrement(Port);
    QuarvexIoDecrementAndWait(Port);
    QuiesceRemovedPort(Port);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    const NTSTATUS status = PassDown(Port, Irp);

    IoDetachDevice(lower);
    if (Port->DeviceName.Buffer != NULL) {
        ExFreePoolWithTag(Port->DeviceName.Buffer, QUARVEX_POOL_TAG);
        Port->DeviceName.Buffer = NULL;
    }
    IoFreeWorkItem(Port->PowerWorkItem);
    Port->PowerWorkItem = NULL;
    IoDeleteDevice(Port->DeviceObject);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexPnpDispatch--. IRP %p STATUS %x", Irp, status);
    return status;
}

} // namespace

NTSTATUS NTAPI QuarvexForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        (void)KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }
    // The request stays with the dispatcher, which completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS QuarvexForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, QuarvexForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS QuarvexStartDevice(PortDeviceRecord* Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexStartDevice++. IRP %p", Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    if (raw != NULL && translated != NULL) {
        const CM_PARTIAL_RESOURCE_LIST* rawList = &raw->List[0].PartialResourceList;
        const CM_PARTIAL_RESOURCE_LIST* translatedList = &translated->List[0].PartialResourceList;
        for (ULONG i = 0; i < rawList->Count; ++i) {
            TraceResource(&rawList->PartialDescriptors[i], &translatedList->PartialDescriptors[i]);
        }
    }
    QuarvexTrace(TRACE_PNP, 3, "QuarvexStartDevice--. IRP %p STATUS %x", Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS QuarvexStartSerialDevice(PortDeviceRecord* Port, PIRP Irp)
{
    QuarvexTrace(TRACE_PNP, 3, "QuarvexStartSerialDevice++. IRP %p", Irp);
    (void)QuarvexStartDevice(Port, Irp);

    NTSTATUS status = QuarvexUartInitialize(&Port->Uart);
    if (!NT_SUCCESS(status)) {
        QuarvexTrace(TRACE_PNP, 2, "QuarvexStartSerialDevice--. IRP %p STATUS %x", Irp, status);
        return status;
    }
    status = QuarvexPublishPortName(Port);
    if (!NT_SUCCESS(status)) {
        QuarvexTrace(TRACE_PNP, 2, "QuarvexStartSerialDevice--. IRP %p STATUS %x", Irp, status);
        return status;
    }
    // The callbacks' set-up resets the send period; a handle kept open across a stop keeps
    // the period its open read.
    const ULONG period = Port->SendPeriod;
    status = QuarvexInitializeCallbacks(Port);
    if (NT_SUCCESS(status) && QuarvexLoadShared(&Port->PortIsOpen)) {
        QuarvexResumeOpenPort(Port, period);
    }
    QuarvexTrace(TRACE_PNP, NT_SUCCESS(status) ? 3 : 2,
                 "QuarvexStartSerialDevice--. IRP %p STATUS %x", Irp, status);
    return status;
}

NTSTATUS QuarvexFreeResources(PortDeviceRecord* Port)
{
    UNREFERENCED_PARAMETER(Port);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexFreeResources++");
    QuarvexTrace(TRACE_PNP, 3, "QuarvexFreeResources--");
    return STATUS_SUCCESS;
}

NTSTATUS QuarvexFreeSerialResources(PortDeviceRecord* Port)
{
    QuarvexTrace(TRACE_PNP, 3, "QuarvexFreeSerialResources++");
    // The interrupt service stops first: what the transmitter holds then is final, and the
    // callbacks' release hands it to the peer before the link goes.
    QuarvexUartSilence(&Port->Uart);
    QuarvexFreeCallbacks(Port);
    (void)QuarvexWithdrawPortName(Port);
    (void)QuarvexFreeResources(Port);
    QuarvexUartFree(&Port->Uart);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexFreeSerialResources--");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QuarvexPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexPnpDispatch++. IRP %p", Irp);
    QuarvexTraceIrp(Irp);

    if (!QuarvexIoIncrement(port)) {
        QuarvexCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        QuarvexTrace(TRACE_PNP, 2, "QuarvexPnpDispatch--. IRP %p STATUS %x", Irp,
                     STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = QuarvexForwardAndWait(port->LowerDeviceObject, Irp);
        if (NT_SUCCESS(status)) {
            status = QuarvexStartSerialDevice(port, Irp);
            if (!NT_SUCCESS(status)) {
                (void)QuarvexFreeSerialResources(port);
            } else {
                port->PnpState = PNP_STARTED;
                QuarvexRestartQueues(port);
            }
        }
        QuarvexCompleteRequest(Irp, status);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        // An open handle vetoes the removal (it would anyway), and the stall below could wait
        // for ever on its requests: refused at once. The state changes before the count is
        // read, and a create reads the state after raising the count: one sees the other.
        port->PreviousPnpState = port->PnpState;
        port->PnpState = PNP_REMOVE_PENDING;
        if (InterlockedExchangeAdd(&port->ExclusiveOpenCount, 0) != 0) {
            port->PnpState = port->PreviousPnpState;
            status = STATUS_DEVICE_BUSY;
            QuarvexCompleteRequest(Irp, status);
            QuarvexTrace(TRACE_PNP, 2, "QuarvexPnpDispatch--. IRP %p STATUS %x", Irp, status);
            QuarvexIoDecrement(port);
            return status;
        }
        QuarvexStallQueues(port);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(port, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        // Never vetoed; the stall waits for every request in service.
        QuarvexStallQueues(port);
        port->PreviousPnpState = port->PnpState;
        port->PnpState = PNP_STOP_PENDING;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(port, Irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        status = CancelPendingQuery(port, Irp, PNP_STOP_PENDING, 1);
        QuarvexCompleteRequest(Irp, status);
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = CancelPendingQuery(port, Irp, PNP_REMOVE_PENDING, 3);
        QuarvexCompleteRequest(Irp, status);
        break;

    case IRP_MN_STOP_DEVICE:
        port->PnpState = PNP_STOPPED;
        (void)QuarvexFreeSerialResources(port);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(port, Irp);
        break;

    case IRP_MN_QUERY_CAPABILITIES: {
        const DEVICE_CAPABILITIES* capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities != NULL && capabilities->Version == CAPABILITIES_VERSION &&
            capabilities->Size >= CAPABILITIES_MIN_SIZE) {
            status = QuarvexForwardAndWait(port->LowerDeviceObject, Irp);
        } else {
            // Not a structure this driver knows how to pass on: refused, not forwarded.
            status = STATUS_INVALID_PARAMETER;
        }
        QuarvexCompleteRequest(Irp, status);
        break;
    }

    case IRP_MN_SURPRISE_REMOVAL:
        // The device is gone: what is in service or waiting ends now instead of holding the
        // removal (and the Plug and Play manager) until the application gives up.
        QuarvexFlushAndStallQueues(port);
        QuarvexGateAbort(&port->ControlGate, STATUS_NO_SUCH_DEVICE);
        port->PnpState = PNP_SURPRISE_REMOVED;
        (void)QuarvexFreeSerialResources(port);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(port, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(port, Irp);

    default:
        status = PassDown(port, Irp);
        break;
    }

    QuarvexIoDecrement(port);
    QuarvexTrace(TRACE_PNP, 3, "QuarvexPnpDispatch--. IRP %p STATUS %x", Irp, status);
    return status;
}
