// The immediate character and the counting phase of the Xoff counter. Each request is held by
// a reference set (ImmediateRefs, XoffRefs: transmit or receive path, cancel routine, timer);
// every party clears its own bit under PortLock, and the one that empties the set releases
// the request's slot and completes it after PortLock is released. Neither has a queue, so
// there is no next request to start.
//
// An immediate character is counted in TxQueuedCount when it starts; it comes out when the
// transmit path sends it, or when a stop takes it back unsent.

#include <ntddk.h>
#include <ntddser.h>

#include "driver/kcompat.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

namespace {

// The status a request ends with: the first ending's, recorded in IoStatus.Status while other
// holders remain; the request's own success (character sent, count reached) is recorded over
// any other.
NTSTATUS RecordEnding(PIRP Irp, NTSTATUS Status)
{
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Irp->IoStatus.Status = Status;
    }
    return Irp->IoStatus.Status;
}

// Tail of every party that may end ImmediateIrp; PortLock is held on entry and released here.
VOID FinishImmediate(PortDeviceRecord* Port, PIRP Irp, NTSTATUS Status, KIRQL NewIrql)
{
    const bool last = Port->ImmediateRefs == 0;
    Status = RecordEnding(Irp, Status);
    if (last) {
        Port->ImmediateIrp = NULL;
    }
    KfReleaseSpinLock(&Port->PortLock, NewIrql);
    if (last) {
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, Status);
    }
}

// Tail of every party that may end XoffIrp; PortLock is held on entry and released here.
VOID FinishXoff(PortDeviceRecord* Port, PIRP Irp, NTSTATUS Status, KIRQL NewIrql)
{
    const bool last = Port->XoffRefs == 0;
    Status = RecordEnding(Irp, Status);
    if (last) {
        Port->XoffIrp = NULL;
    }
    KfReleaseSpinLock(&Port->PortLock, NewIrql);
    if (last) {
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, Status);
    }
}

VOID StopXoffTimer(PortDeviceRecord* Port)
{
    if ((Port->XoffRefs & XOFF_REF_TIMER) != 0 && KeCancelTimer(&Port->XoffTimer)) {
        Port->XoffRefs &= ~XOFF_REF_TIMER;
    }
}

VOID TakeXoffCancel(PortDeviceRecord* Port, PIRP Irp)
{
    if ((Port->XoffRefs & XOFF_REF_CANCEL) != 0 && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Port->XoffRefs &= ~XOFF_REF_CANCEL;
    }
}

VOID StopImmediateTimer(PortDeviceRecord* Port)
{
    if ((Port->ImmediateRefs & IMMEDIATE_REF_TOTAL_TIMER) != 0 &&
        KeCancelTimer(&Port->ImmediateTimer)) {
        Port->ImmediateRefs &= ~IMMEDIATE_REF_TOTAL_TIMER;
    }
}

VOID TakeImmediateCancel(PortDeviceRecord* Port, PIRP Irp)
{
    if ((Port->ImmediateRefs & IMMEDIATE_REF_CANCEL) != 0 &&
        IoSetCancelRoutine(Irp, NULL) != NULL) {
        Port->ImmediateRefs &= ~IMMEDIATE_REF_CANCEL;
    }
}

} // namespace

// ---- Immediate character ------------------------------------------------------------------

NTSTATUS QuarvexSerialStartImmediate(PortDeviceRecord* Port, PIRP Irp)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStartImmediate++");
    Port->ImmediateRefs = 0;
    (void)IoSetCancelRoutine(Irp, QuarvexSerialCancelImmediate);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStartImmediate--");
        return STATUS_CANCELLED;
    }
    Port->ImmediateIrp = Irp;
    Port->TxQueuedCount++;
    Port->ImmediateRefs |= IMMEDIATE_REF_CANCEL;
    // The total timeout of a one-byte write.
    const ULONG multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
    const ULONG constant = Port->Timeouts.WriteTotalTimeoutConstant;
    if (multiplier != 0 || constant != 0) {
        LARGE_INTEGER due;
        due.QuadPart = QuarvexTimeoutDue(1, multiplier, constant);
        (void)KeSetTimer(&Port->ImmediateTimer, due, &Port->ImmediateTimeoutDpc);
        Port->ImmediateRefs |= IMMEDIATE_REF_TOTAL_TIMER;
    }
    // The completion DPC marks the character sent by setting SUCCESS.
    Irp->IoStatus.Status = STATUS_PENDING;
    Port->ImmediatePending = TRUE;
    Port->ImmediateChar = *static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    Port->ImmediateRefs |= IMMEDIATE_REF_ISR;
    IoMarkIrpPending(Irp);
    // An empty transmitter gets a kick even while a write is current: a write held by Xoff
    // brings no further transmit-empty pass, and the character may pass that hold.
    if (Port->ThrEmpty) {
        QuarvexUartSignalThre(&Port->Uart);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStartImmediate--");
    return STATUS_PENDING;
}

VOID QuarvexSerialStopImmediateChar(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopImmediateChar++");
    if (Port->ImmediatePending) {
        Port->ImmediatePending = FALSE;
        Port->ImmediateRefs &= ~IMMEDIATE_REF_ISR;
        QuarvexCountOutputLocked(Port, 1);
    }
    // Once sent, the completion DPC drops IMMEDIATE_REF_ISR itself.
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopImmediateChar--");
}

VOID NTAPI QuarvexSerialCancelImmediate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelImmediate++");
    const KIRQL cancelIrql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->ImmediateRefs &= ~IMMEDIATE_REF_CANCEL;
    StopImmediateTimer(port);
    QuarvexSerialStopImmediateChar(port);
    FinishImmediate(port, Irp, STATUS_CANCELLED, cancelIrql);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelImmediate--");
}

VOID NTAPI QuarvexSerialImmediateCharTimeout(PKDPC Dpc, PVOID DeferredContext,
                                             PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialImmediateCharTimeout++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->ImmediateIrp;
    port->ImmediateRefs &= ~IMMEDIATE_REF_TOTAL_TIMER;
    TakeImmediateCancel(port, irp);
    QuarvexSerialStopImmediateChar(port);
    FinishImmediate(port, irp, STATUS_TIMEOUT, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialImmediateCharTimeout--");
}

VOID NTAPI QuarvexSerialImmediateCharComplete(PKDPC Dpc, PVOID DeferredContext,
                                              PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialImmediateCharComplete++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->ImmediateIrp;
    irp->IoStatus.Status = STATUS_SUCCESS; // sent: final whoever lets go last
    port->ImmediateRefs &= ~IMMEDIATE_REF_ISR;
    TakeImmediateCancel(port, irp);
    StopImmediateTimer(port);
    FinishImmediate(port, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialImmediateCharComplete--");
}

// ---- Xoff counter --------------------------------------------------------------------------

VOID QuarvexSerialStopXoff(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopXoff++");
    if (Port->XoffCountdown != 0) {
        Port->XoffCountdown = 0;
        Port->XoffRefs &= ~XOFF_REF_COUNTER;
    }
    // A count that reached 0 has queued XoffCompleteDpc, which keeps XOFF_REF_COUNTER.
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopXoff--");
}

PIRP QuarvexTakeXoffForMoreWritesLocked(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    PIRP irp = Port->XoffIrp;
    if (irp == NULL) {
        return NULL;
    }
    QuarvexSerialStopXoff(Port);
    StopXoffTimer(Port);
    TakeXoffCancel(Port, irp);
    (void)RecordEnding(irp, STATUS_SERIAL_MORE_WRITES);
    if (Port->XoffRefs != 0) {
        return NULL; // its remaining holder completes it
    }
    Port->XoffIrp = NULL;
    irp->IoStatus.Information = 0;
    return irp;
}

VOID QuarvexXoffStarted(PortDeviceRecord* Port, PIRP Irp)
{
    const KIRQL oldIrql = KfAcquireSpinLock(&Port->PortLock);
    Port->XoffRefs &= ~XOFF_REF_STARTING;
    const bool last = Port->XoffRefs == 0;
    if (last) {
        Port->XoffIrp = NULL;
    }
    KfReleaseSpinLock(&Port->PortLock, oldIrql);
    if (last) {
        // Not an ending of its own: whoever ended it meanwhile recorded the status.
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, Irp->IoStatus.Status);
    }
}

VOID NTAPI QuarvexSerialCancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentXoff++");
    const KIRQL cancelIrql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->XoffRefs &= ~XOFF_REF_CANCEL;
    StopXoffTimer(port);
    QuarvexSerialStopXoff(port);
    FinishXoff(port, Irp, STATUS_CANCELLED, cancelIrql);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentXoff--");
}

VOID NTAPI QuarvexSerialXoffTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialXoffTimeout++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->XoffIrp;
    port->XoffRefs &= ~XOFF_REF_TIMER;
    TakeXoffCancel(port, irp);
    QuarvexSerialStopXoff(port);
    FinishXoff(port, irp, STATUS_SERIAL_COUNTER_TIMEOUT, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialXoffTimeout--");
}

VOID NTAPI QuarvexSerialXoffComplete(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialXoffComplete++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->XoffIrp;
    port->XoffRefs &= ~XOFF_REF_COUNTER;
    TakeXoffCancel(port, irp);
    StopXoffTimer(port);
    FinishXoff(port, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialXoffComplete--");
}

// ---- Cleanup ---------------------------------------------------------------------------------

namespace {

// Runs Irp's cancel routine as the I/O manager would, once its exchange gave it to us.
VOID RunCancelRoutine(PortDeviceRecord* Port, PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    QuarvexStoreShared(&Irp->Cancel, TRUE);
    Irp->CancelIrql = cancelIrql;
    CancelRoutine(Port->DeviceObject, Irp); // releases the cancel spin lock
}

} // namespace

VOID QuarvexCancelImmediateAndXoff(PortDeviceRecord* Port)
{
    // Neither request sits in a queue, so the queue flush cannot reach them. Each is taken
    // from its cancel routine by the exchange, under PortLock where its owners arm and take
    // that routine; the holder of the routine then ends it as a cancel would.
    KIRQL oldIrql = KfAcquireSpinLock(&Port->PortLock);
    PIRP immediate = Port->ImmediateIrp;
    PDRIVER_CANCEL immediateCancel = NULL;
    if (immediate != NULL && (Port->ImmediateRefs & IMMEDIATE_REF_CANCEL) != 0) {
        immediateCancel = IoSetCancelRoutine(immediate, NULL);
    }
    PIRP xoff = Port->XoffIrp;
    PDRIVER_CANCEL xoffCancel = NULL;
    if (xoff != NULL && (Port->XoffRefs & XOFF_REF_CANCEL) != 0) {
        xoffCancel = IoSetCancelRoutine(xoff, NULL);
    }
    KfReleaseSpinLock(&Port->PortLock, oldIrql);
    if (immediateCancel != NULL) {
        RunCancelRoutine(Port, immediate, immediateCancel);
    }
    if (xoffCancel != NULL) {
        RunCancelRoutine(Port, xoff, xoffCancel);
    }
}
