// Read requests: served from the input ring first, then straight from the receive path into
// the request's buffer, ended by whichever of buffer-full, total timeout, interval timeout or
// cancel comes last among the parties that hold the request (ReadRefs).

#include <ntddk.h>
#include <ntddser.h>

#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "queue/queue.h"
#include "serial/endings_internal.h"
#include "serial/input_ring.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

namespace {

ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

PUCHAR ReadBuffer(PIRP Irp)
{
    return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
}

VOID ArmInterval(PortDeviceRecord* Port)
{
    LARGE_INTEGER due;
    due.QuadPart = *Port->IntervalPollPeriod;
    (void)KeSetTimer(&Port->ReadIntervalTimer, due, &Port->ReadIntervalDpc);
    Port->ReadRefs |= READ_REF_INTERVAL_TIMER;
}

LONGLONG NowSystemTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

} // namespace

NTSTATUS NTAPI QuarvexReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexReadDispatch++. IRP %p", Irp);
    NTSTATUS status = QuarvexCheckForError(port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Irp->IoStatus.Information = 0;
    if (ReadLength(Irp) != 0) {
        status = QuarvexQueueStartPacket(&port->ReadQueue, Irp);
    } else {
        status = STATUS_SUCCESS;
        QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexReadDispatch--. IRP %p STATUS %x", Irp, status);
    return status;
}

VOID NTAPI ReadQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo++. IRP %p", Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_READ) {
        (void)QuarvexResizeInput(port, Irp);
        QuarvexQueueStartNext(&port->ReadQueue);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo--. IRP %p", Irp);
        return;
    }

    port->ReadNeeded = stack->Parameters.Read.Length;
    SERIAL_TIMEOUTS timeouts;
    {
        DpcSpinLockGuard guard(&port->PortLock);
        timeouts = port->Timeouts;
    }

    bool useIntervalTimer = false;
    bool useTotalTimer = false;
    bool returnAtOnce = false;
    bool returnWhenAny = false;
    bool oneCharOnly = false;
    LONGLONG totalDue = 0;
    const ULONG interval = timeouts.ReadIntervalTimeout;
    const ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const ULONG constant = timeouts.ReadTotalTimeoutConstant;
    if (interval != 0 && interval != MAXULONG) {
        useIntervalTimer = true;
        port->ReadIntervalTime = static_cast<LONGLONG>(static_cast<ULONGLONG>(interval) * 10000ULL);
        port->IntervalPollPeriod = port->ReadIntervalTime < port->IntervalCutOver
                                       ? &port->ShortIntervalPeriod
                                       : &port->LongIntervalPeriod;
    }
    if (interval == MAXULONG) {
        if (constant == 0 && multiplier == 0) {
            returnAtOnce = true;
        } else if (constant != MAXULONG) {
            useTotalTimer = true;
            returnWhenAny = true;
            if (multiplier == MAXULONG) {
                oneCharOnly = true;
                totalDue = QuarvexTimeoutDue(0, 0, constant);
            } else {
                totalDue = QuarvexTimeoutDue(port->ReadNeeded, multiplier, constant);
            }
        }
    } else if (multiplier != 0 || constant != 0) {
        useTotalTimer = true;
        totalDue = QuarvexTimeoutDue(port->ReadNeeded, multiplier, constant);
    }

    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    if (Irp->Cancel) {
        // Cancelled before it started: the ring's bytes stay for the next read.
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        QuarvexQueueStartNext(&port->ReadQueue);
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo--. IRP %p", Irp);
        return;
    }
    QuarvexCopyFromInput(port);
    if (returnAtOnce || port->ReadNeeded == 0 ||
        (returnWhenAny && Irp->IoStatus.Information != 0)) {
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        QuarvexQueueStartNext(&port->ReadQueue);
        QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo--. IRP %p", Irp);
        return;
    }

    if (oneCharOnly) {
        port->ReadNeeded = 1;
        stack->Parameters.Read.Length = 1;
    }
    port->ReadRefs = 0;
    (void)IoSetCancelRoutine(Irp, QuarvexSerialCancelCurrentRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled while it copied: Information keeps the bytes it took, as for any
        // cancelled read.
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        QuarvexQueueStartNext(&port->ReadQueue);
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
        QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo--. IRP %p", Irp);
        return;
    }
    port->ReadRefs |= READ_REF_CANCEL;

    port->ReadReturnWhenAny = returnWhenAny ? TRUE : FALSE;
    port->ReadCompletionQueued = FALSE;
    QuarvexInputRingTargetRead(port, ReadBuffer(Irp), static_cast<ULONG>(Irp->IoStatus.Information),
                               stack->Parameters.Read.Length);
    port->ReadRefs |= READ_REF_ISR;
    port->CharsReadByIsr = 0;
    port->ReadLastCount = static_cast<LONG>(Irp->IoStatus.Information);

    if (useIntervalTimer) {
        port->LastReadTime = NowSystemTime();
        ArmInterval(port);
    }
    if (useTotalTimer) {
        LARGE_INTEGER due;
        due.QuadPart = totalDue;
        (void)KeSetTimer(&port->ReadTotalTimer, due, &port->ReadTimeoutDpc);
        port->ReadRefs |= READ_REF_TOTAL_TIMER;
    }
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "ReadQueueStartIo--. IRP %p", Irp);
}

VOID QuarvexCopyFromInput(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    PIRP irp = Port->ReadQueue.CurrentIrp;
    ULONG count = Port->InputCount < Port->ReadNeeded ? Port->InputCount : Port->ReadNeeded;
    if (count != 0) {
        QuarvexInputRingTake(Port, ReadBuffer(irp) + (ReadLength(irp) - Port->ReadNeeded), count);
        Port->ReadNeeded -= count;
    }
    irp->IoStatus.Information += count;
    QuarvexReleaseReceiveHolds(Port);
}

VOID QuarvexSerialStopCurrentRead(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopCurrentRead++");
    if (QuarvexInputRingTargetsRead(Port)) {
        PIRP irp = Port->ReadQueue.CurrentIrp;
        irp->IoStatus.Information = ReadLength(irp) - QuarvexInputRingReadRoom(Port);
        Port->ReadReturnWhenAny = FALSE;
        // A completion DPC the receive path queued drops that reference itself.
        if (!Port->ReadCompletionQueued) {
            Port->ReadRefs &= ~READ_REF_ISR;
        }
        QuarvexInputRingReset(Port);
    }
    // Otherwise the receive path filled the buffer and queued ReadCompleteDpc, which drops
    // its reference itself.
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexSerialStopCurrentRead--");
}

VOID NTAPI QuarvexSerialCancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentRead++");
    const KIRQL cancelIrql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->ReadRefs &= ~READ_REF_CANCEL;
    port->ReadLastCount = READ_CODE_CANCEL;
    QuarvexStopTimerLocked(port, READ_REQUEST);
    QuarvexStopTimerLocked(port, READ_INTERVAL);
    QuarvexSerialStopCurrentRead(port);
    // Information keeps the bytes already placed in the buffer.
    QuarvexFinishRequest(port, READ_REQUEST, Irp, STATUS_CANCELLED, cancelIrql, NULL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialCancelCurrentRead--");
}

VOID NTAPI QuarvexSerialReadTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialReadTimeout++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->ReadQueue.CurrentIrp;
    port->ReadRefs &= ~READ_REF_TOTAL_TIMER;
    port->ReadLastCount = READ_CODE_TOTAL;
    QuarvexStopTimerLocked(port, READ_INTERVAL);
    QuarvexTakeCancelLocked(port, READ_REQUEST, irp);
    QuarvexSerialStopCurrentRead(port);
    QuarvexFinishRequest(port, READ_REQUEST, irp, STATUS_TIMEOUT, DISPATCH_LEVEL, NULL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialReadTimeout--");
}

VOID NTAPI QuarvexSerialReadComplete(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                     PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialReadComplete++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    if (!port->ReadCompletionQueued) {
        // Queued again while an earlier run of it already ended the read.
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialReadComplete--");
        return;
    }
    PIRP irp = port->ReadQueue.CurrentIrp;
    // A read that returns with the first characters may still be the receive target.
    port->ReadCompletionQueued = FALSE;
    QuarvexSerialStopCurrentRead(port);
    port->ReadRefs &= ~READ_REF_ISR;
    port->ReadLastCount = READ_CODE_COMPLETE;
    QuarvexStopTimerLocked(port, READ_INTERVAL);
    QuarvexStopTimerLocked(port, READ_REQUEST);
    QuarvexTakeCancelLocked(port, READ_REQUEST, irp);
    QuarvexFinishRequest(port, READ_REQUEST, irp, STATUS_SUCCESS, DISPATCH_LEVEL, NULL);
    QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialReadComplete--");
}

VOID NTAPI QuarvexSerialReadIntervalTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                            PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    QuarvexTrace(TRACE_SERIAL_IO, 5, "QuarvexSerialReadIntervalTimeout++");
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->ReadQueue.CurrentIrp;
    port->ReadRefs &= ~READ_REF_INTERVAL_TIMER;

    NTSTATUS status;
    if (port->ReadLastCount == READ_CODE_TOTAL) {
        // The total timer fired while this DPC was already queued.
        status = STATUS_TIMEOUT;
    } else if (port->ReadLastCount == READ_CODE_COMPLETE) {
        status = STATUS_SUCCESS;
    } else if (port->ReadLastCount == READ_CODE_CANCEL) {
        // Information stays as the cancel left it (the bytes already in the buffer): only
        // the party that completes a read decides it, and that may be another holder.
        status = STATUS_CANCELLED;
    } else {
        // The interval clock starts with the first character and is read at polling ticks.
        bool expired = false;
        if (port->ReadLastCount == 0 && port->CharsReadByIsr == 0) {
            expired = false;
        } else if (port->CharsReadByIsr != 0) {
            port->ReadLastCount = static_cast<LONG>(port->CharsReadByIsr);
            port->CharsReadByIsr = 0;
            port->LastReadTime = NowSystemTime();
        } else {
            expired = NowSystemTime() - port->LastReadTime >= port->ReadIntervalTime;
        }
        if (!expired) {
            ArmInterval(port);
            KefReleaseSpinLockFromDpcLevel(&port->PortLock);
            QuarvexTrace(TRACE_SERIAL_IO, 5, "QuarvexSerialReadIntervalTimeout--");
            return;
        }
        status = STATUS_TIMEOUT;
    }
    QuarvexStopTimerLocked(port, READ_REQUEST);
    QuarvexTakeCancelLocked(port, READ_REQUEST, irp);
    QuarvexSerialStopCurrentRead(port);
    QuarvexFinishRequest(port, READ_REQUEST, irp, status, DISPATCH_LEVEL, NULL);
    QuarvexTrace(TRACE_SERIAL_IO, 5, "QuarvexSerialReadIntervalTimeout--");
}

NTSTATUS QuarvexResizeInput(PortDeviceRecord* Port, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* newBuffer = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(Irp->AssociatedIrp.SystemBuffer)->InSize;
    if (size <= Port->InputBufferSize) {
        // The ring never shrinks; it may have grown since the control path looked.
        ExFreePoolWithTag(newBuffer, QUARVEX_INPUT_POOL_TAG);
        return STATUS_SUCCESS;
    }

    SpinLockGuard guard(&Port->PortLock);
    QuarvexInputRingGrow(Port, newBuffer, size);
    QuarvexReleaseReceiveHolds(Port);
    return STATUS_SUCCESS;
}
