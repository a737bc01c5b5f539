// Writes, flushes and the write phase of the Xoff counter: the write queue's current request
// is handed to the transmit path, which takes its bytes in pieces; the request ends when the
// last of its holders (WriteRefs: transmit path, cancel routine, total timer) lets go.
//
// The output count (TxQueuedCount, read as AmountInOutQueue) goes in when a write is accepted
// (QuarvexWriteDispatch: its length) and when an Xoff counter starts its write phase (its one
// Xoff character), and comes out as the transmit path hands bytes over, when a timeout or a
// cancel takes the unsent rest back (QuarvexSerialStopCurrentWrite), and when a request leaves
// without having started (QuarvexWriteDropped, or found cancelled at start). SERIAL_EV_TXEMPTY
// goes out whenever the count falls to 0, however the last output left it: once it is 0 the
// transmitter has been given everything it will get.

#include <ntddk.h>
#include <ntddser.h>

#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "queue/queue.h"
#include "serial/endings_internal.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

namespace {

bool IsWrite(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE;
}

// Bytes a write-queue request puts on the line: a write's length, an Xoff counter's one
// Xoff character.
ULONG OutputLength(PIRP Irp)
{
    return IsWrite(Irp) ? IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length : 1;
}

PSERIAL_XOFF_COUNTER XoffCounterOf(PIRP Irp)
{
    return static_cast<PSERIAL_XOFF_COUNTER>(Irp->AssociatedIrp.SystemBuffer);
}

// The transmit path sets Information to the full length when it hands the last byte over;
// a stop sets it to the smaller count it took back from.
bool AllHandedOver(PIRP Irp)
{
    return Irp->IoStatus.Information == OutputLength(Irp);
}

// Turns an Xoff counter whose character went out into the counting request. Returns FALSE
// when it was cancelled meanwhile and is to be completed STATUS_CANCELLED instead.
bool StartXoffCountingLocked(PortDeviceRecord* Port, PIRP Irp) QUARVEX_REQUIRES(Port->PortLock)
{
    Port->XoffRefs = 0;
    Irp->IoStatus.Information = 0;
    (void)IoSetCancelRoutine(Irp, QuarvexSerialCancelCurrentXoff);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        return false;
    }
    // The first ending records its status here; the receive path's count reached is final.
    Irp->IoStatus.Status = STATUS_PENDING;
    // Until the write queue has moved on, the request is still its current one: nobody may
    // complete it before that.
    Port->XoffRefs |= XOFF_REF_STARTING;
    Port->XoffRefs |= XOFF_REF_CANCEL;
    Port->XoffIrp = Irp;
    Port->XoffCountdown = static_cast<ULONG>(XoffCounterOf(Irp)->Counter);
    Port->XoffRefs |= XOFF_REF_COUNTER;
    const ULONG timeout = XoffCounterOf(Irp)->Timeout;
    if (timeout != 0) {
        // One unit of Timeout is 0.1 ms: 1,000 units of 100 ns. Cannot wrap in 64 bits.
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(static_cast<ULONGLONG>(timeout) * 1000ULL);
        (void)KeSetTimer(&Port->XoffTimer, due, &Port->XoffTimeoutDpc);
        Port->XoffRefs |= XOFF_REF_TIMER;
    }
    return true;
}

// Common tail of every party that may end the current write-queue request (see
// QuarvexFinishRequest). A request whose bytes were all handed over ends as if the transmit
// path had finished it, whoever comes last: a write succeeds with its full length, an Xoff
// counter goes on to count.
VOID FinishWrite(PortDeviceRecord* Port, PIRP Irp, NTSTATUS Status, KIRQL NewIrql)
    QUARVEX_RELEASES(Port->PortLock)
{
    const bool last = Port->WriteRefs == 0;
    bool counting = false;
    if (last && AllHandedOver(Irp)) {
        Status = STATUS_SUCCESS;
        if (!IsWrite(Irp)) {
            counting = StartXoffCountingLocked(Port, Irp);
            Status = STATUS_CANCELLED;
        }
    }
    if (last && !IsWrite(Irp)) {
        Irp->IoStatus.Information = 0;
    }
    QuarvexFinishRequest(Port, WRITE_REQUEST, Irp, Status, NewIrql,
                         counting ? QuarvexXoffStarted : NULL);
}

} // namespace

VOID QuarvexCountOutputLocked(PortDeviceRecord* Port, ULONG Count)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if (Count == 0) {
        return;
    }
    ASSERT(Port->TxQueuedCount >= Count);
    Port->TxQueuedCount -= Count;
    if (Port->TxQueuedCount == 0) {
        QuarvexReportTxEmpty(Port);
    }
}

ULONG QuarvexOutputAmountLocked(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    // Handed-over bytes left the count as they went, so no correction for the current write.
    return Port->TxQueuedCount;
}

NTSTATUS NTAPI QuarvexWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexWriteDispatch++. IRP %p", Irp);
    NTSTATUS status = QuarvexCheckForError(port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Irp->IoStatus.Information = 0;
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (length != 0) {
        {
            SpinLockGuard guard(&port->PortLock);
            port->TxQueuedCount += length;
        }
        // A refusal comes back through QuarvexWriteDropped.
        status = QuarvexQueueStartPacket(&port->WriteQueue, Irp);
    } else {
        status = STATUS_SUCCESS;
        QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexWriteDispatch--. IRP %p STATUS %x", Irp, status);
    return status;
}

NTSTATUS NTAPI QuarvexFlushBuffersDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexFlushBuffersDispatch++. IRP %p", Irp);
    NTSTATUS status = QuarvexCheckForError(port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = QuarvexQueueStartPacket(&port->WriteQueue, Irp);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexFlushBuffersDispatch--. IRP %p STATUS %x", Irp,
                 status);
    return status;
}

VOID NTAPI QuarvexWriteDropped(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Flushes and Xoff counters are counted only once they start.
    if (IsWrite(Irp)) {
        PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
        SpinLockGuard guard(&port->PortLock);
        QuarvexCountOutputLocked(port, OutputLength(Irp));
    }
}

VOID NTAPI WriteQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "WriteQueueStartIo++. IRP %p", Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        // Every request queued before it has ended. A counting Xoff counter goes on.
        QuarvexQueueStartNext(&port->WriteQueue);
        QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
        return;
    }

    // A counting Xoff counter ends before this request's bytes go out.
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP moreWrites = QuarvexTakeXoffForMoreWritesLocked(port);
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    if (moreWrites != NULL) {
        QuarvexCompleteRequest(moreWrites, moreWrites->IoStatus.Status);
    }

    const bool isWrite = stack->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = OutputLength(Irp);
    SERIAL_TIMEOUTS timeouts;
    {
        DpcSpinLockGuard guard(&port->PortLock);
        timeouts = port->Timeouts;
    }
    const ULONG multiplier = timeouts.WriteTotalTimeoutMultiplier;
    const ULONG constant = timeouts.WriteTotalTimeoutConstant;
    const bool useTimer = multiplier != 0 || constant != 0;
    LARGE_INTEGER due;
    due.QuadPart = 0;
    if (useTimer) {
        due.QuadPart = QuarvexTimeoutDue(length, multiplier, constant);
    }

    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->WriteRefs = 0;
    (void)IoSetCancelRoutine(Irp, QuarvexSerialCancelCurrentWrite);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        if (isWrite) {
            QuarvexCountOutputLocked(port, length);
        }
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        // Nothing of it was started, so it completes before the next one starts.
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
        QuarvexQueueStartNext(&port->WriteQueue);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "WriteQueueStartIo--. IRP %p", Irp);
        return;
    }
    port->WriteRefs |= WRITE_REF_CANCEL;
    if (!isWrite) {
        port->TxQueuedCount += 1;
    }
    if (useTimer) {
        (void)KeSetTimer(&port->WriteTotalTimer, due, &port->WriteTimeoutDpc);
        port->WriteRefs |= WRITE_REF_TOTAL_TIMER;
    }
    port->WriteLength = length;
    port->WriteNextChar = isWrite ? static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer)
                                  : &XoffCounterOf(Irp)->XoffChar;
    port->WriteRefs |= WRITE_REF_ISR;
    if (port->ThrEmpty && !port->ImmediatePending) {
        QuarvexUartSignalThre(&port->Uart);
    }
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        QuarvexRaiseRts(port);
    }
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "WriteQueueStartIo--. IRP %p", Irp);
}

VOID QuarvexSerialStopCurrentWrite(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopCurrentWrite++");
    if (Port->WriteLength != 0) {
        PIRP irp = Port->WriteQueue.CurrentIrp;
        const ULONG unsent = Port->WriteLength;
        irp->IoStatus.Information = IsWrite(irp) ? OutputLength(irp) - unsent : 0;
        Port->WriteLength = 0;
        Port->WriteRefs &= ~WRITE_REF_ISR;
        QuarvexCountOutputLocked(Port, unsent);
    }
    // Otherwise the transmit path handed everything over and queued WriteCompleteDpc, which
    // drops its reference itself.
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopCurrentWrite--");
}

VOID NTAPI QuarvexSerialCancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentWrite++");
    const KIRQL cancelIrql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->WriteRefs &= ~WRITE_REF_CANCEL;
    QuarvexStopTimerLocked(port, WRITE_REQUEST);
    QuarvexSerialStopCurrentWrite(port);
    FinishWrite(port, Irp, STATUS_CANCELLED, cancelIrql);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentWrite--");
}

VOID NTAPI QuarvexSerialWriteTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialWriteTimeout++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->WriteQueue.CurrentIrp;
    port->WriteRefs &= ~WRITE_REF_TOTAL_TIMER;
    QuarvexTakeCancelLocked(port, WRITE_REQUEST, irp);
    QuarvexSerialStopCurrentWrite(port);
    FinishWrite(port, irp, STATUS_TIMEOUT, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialWriteTimeout--");
}

VOID NTAPI QuarvexSerialWriteComplete(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                      PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWriteComplete++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->WriteQueue.CurrentIrp;
    if (!IsWrite(irp) && port->XoffIrp != NULL) {
        // The previous counter's last holder (its completion or timeout DPC, queued earlier,
        // or its cancel routine on another processor) has not let go of the Xoff fields yet.
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        (void)KeInsertQueueDpc(&port->WriteCompleteDpc, NULL, NULL);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWriteComplete--");
        return;
    }
    port->WriteRefs &= ~WRITE_REF_ISR;
    QuarvexTakeCancelLocked(port, WRITE_REQUEST, irp);
    QuarvexStopTimerLocked(port, WRITE_REQUEST);
    // Still held: the remaining holder completes it, as handed over.
    FinishWrite(port, irp, STATUS_SUCCESS, DISPATCH_LEVEL);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialWriteComplete--");
}
