// Waits on event masks and the error abort.
//
// At most one wait is pending; it lives outside the mask queue so the queue goes on serving
// mask requests. Two parties hold it: the event side (its result slot, then the completion
// DPC) and its cancel routine. Whoever drops the last of the two completes it.

#include <ntddk.h>
#include <ntddser.h>

#include "port/kcompat.h"
#include "port/spin_lock.h"

#include "queue/queue.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

VOID NTAPI MaskQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "MaskQueueStartIo++. IRP %p", Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // Every outcome but an armed wait completes Irp, and only after the next request has
    // started: until then Irp is the queue's current request, which cleanup may flag.
    bool armed = false;
    NTSTATUS status = STATUS_SUCCESS;
    {
        DpcSpinLockGuard guard(&port->PortLock);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK) {
            if (port->WaitResultSlot != NULL) {
                // The pending wait ends successfully with an empty event set.
                *port->WaitResultSlot = 0;
                port->WaitResultSlot = NULL;
                port->WaitIrp->IoStatus.Information = sizeof(ULONG);
                (void)KeInsertQueueDpc(&port->WaitCompleteDpc, NULL, NULL);
            }
            const ULONG mask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
            port->EventHistory &= mask;
            port->WaitMask = mask;
        } else if (port->WaitMask == 0 || port->WaitIrp != NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else if (port->EventHistory != 0) {
            *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = port->EventHistory;
            port->EventHistory = 0;
            Irp->IoStatus.Information = sizeof(ULONG);
        } else {
            port->WaitRefs = 0;
            (void)IoSetCancelRoutine(Irp, QuarvexCancelWaitMask);
            if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
                status = STATUS_CANCELLED;
            } else {
                port->WaitRefs |= WAIT_REF_CANCEL;
                port->WaitIrp = Irp;
                port->WaitResultSlot = static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
                port->WaitRefs |= WAIT_REF_EVENT;
                armed = true;
            }
        }
    }

    // The pending wait no longer occupies the queue.
    QuarvexQueueStartNext(&port->MaskQueue);
    if (!armed) {
        QuarvexCompleteRequest(Irp, status);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "MaskQueueStartIo--. IRP %p", Irp);
}

VOID NTAPI QuarvexCancelWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexCancelWaitMask++");
    const KIRQL cancelIrql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->WaitRefs &= ~WAIT_REF_CANCEL;
    QuarvexSerialStopWaitMask(port);
    const bool complete = port->WaitRefs == 0;
    if (complete) {
        port->WaitIrp = NULL;
    }
    KfReleaseSpinLock(&port->PortLock, cancelIrql);
    if (complete) {
        // Information is 4 with 0 in the buffer when the slot was still armed.
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexCancelWaitMask--");
}

VOID QuarvexSerialStopWaitMask(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopWaitMask++");
    if (Port->WaitResultSlot != NULL) {
        *Port->WaitResultSlot = 0;
        Port->WaitResultSlot = NULL;
        Port->WaitIrp->IoStatus.Information = sizeof(ULONG);
        Port->WaitRefs &= ~WAIT_REF_EVENT;
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopWaitMask--");
}

VOID NTAPI QuarvexSerialWaitComplete(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWaitComplete++");
    DpcSpinLockGuard guard(&port->PortLock);
    // No wait: a flush completed it. An armed slot: a newer wait than the one reported.
    if (port->WaitIrp != NULL && port->WaitResultSlot == NULL) {
        PIRP irp = port->WaitIrp;
        port->WaitRefs &= ~WAIT_REF_EVENT;
        if ((port->WaitRefs & WAIT_REF_CANCEL) != 0 && IoSetCancelRoutine(irp, NULL) != NULL) {
            port->WaitRefs &= ~WAIT_REF_CANCEL;
        }
        if (port->WaitRefs == 0) {
            port->WaitIrp = NULL;
            guard.Release();
            QuarvexCompleteRequest(irp, STATUS_SUCCESS);
            QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWaitComplete--");
            return;
        }
    }
    guard.Release();
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWaitComplete--");
}

VOID QuarvexReportTxEmpty(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if ((Port->WaitMask & SERIAL_EV_TXEMPTY) != 0 && Port->TxQueuedCount == 0) {
        QuarvexReportEvents(Port, SERIAL_EV_TXEMPTY);
    }
}

VOID NTAPI QuarvexSerialError(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                              PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialError++");
    QuarvexQueueCancelCurrent(&port->WriteQueue);
    QuarvexQueueCancelCurrent(&port->ReadQueue);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialError--");
}

NTSTATUS QuarvexCheckForError(PortDeviceRecord* Port, PIRP Irp)
{
    QuarvexTrace(TRACE_SERIAL_IO, 4, "QuarvexCheckForError++. IRP %p", Irp);
    NTSTATUS status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool readsErrors =
        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS;
    if ((Port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && Port->CommErrors != 0 &&
        !readsErrors) {
        status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 4, "QuarvexCheckForError--. IRP %p STATUS %x", Irp, status);
    return status;
}
