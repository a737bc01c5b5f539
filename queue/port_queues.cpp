// Stall, restart and flush of a port's four queues and its control gate together.

#include <ntddk.h>

#include "port/port.h"
#include "port/spin_lock.h"
#include "queue/queue.h"
#include "serial/transfer.h"
#include "trace/trace.h"

VOID QuarvexStallQueues(PortDeviceRecord* Port)
{
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexStallQueues++");
    // The gate stalls first so that no control request is admitted while the queues drain,
    // and is waited on last.
    QuarvexGateStall(&Port->ControlGate);
    for (ULONG i = 0; i < QUEUE_COUNT; ++i) {
        QuarvexQueueStallAndWait(Port->Queues[i]);
    }
    QuarvexGateWaitIdle(&Port->ControlGate);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexStallQueues--");
}

VOID QuarvexFlushAndStallQueues(PortDeviceRecord* Port)
{
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexStallQueues++");
    // Stalled first, so nothing starts behind the flush; then every request of every handle
    // is cancelled, and the wait below only sees them finish.
    QuarvexGateStall(&Port->ControlGate);
    for (ULONG i = 0; i < QUEUE_COUNT; ++i) {
        QuarvexQueueStall(Port->Queues[i]);
    }
    QuarvexFlushQueues(Port, NULL);
    for (ULONG i = 0; i < QUEUE_COUNT; ++i) {
        QuarvexQueueWaitIdle(Port->Queues[i]);
    }
    QuarvexGateWaitIdle(&Port->ControlGate);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexStallQueues--");
}

VOID QuarvexRestartQueues(PortDeviceRecord* Port)
{
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexRestartQueues++");
    // Parked control requests are served before any waiting read or write starts.
    QuarvexGateRestart(&Port->ControlGate);
    for (ULONG i = 0; i < QUEUE_COUNT; ++i) {
        QuarvexQueueRestart(Port->Queues[i]);
    }
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexRestartQueues--");
}

VOID QuarvexFlushQueues(PortDeviceRecord* Port, PFILE_OBJECT FileObject)
{
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexFlushQueues++");
    for (ULONG i = 0; i < QUEUE_COUNT; ++i) {
        QuarvexQueueCleanup(Port->Queues[i], FileObject);
    }
    // Reads and writes go whatever their file object; each cancelled current one comes back
    // through its owner's cancel routine and the usual start-next.
    QuarvexQueueCancelCurrent(&Port->WriteQueue);
    QuarvexQueueCancelCurrent(&Port->ReadQueue);

    // First the mask queue's current request: a wait its start routine has not armed yet is
    // flagged, and that routine refuses it. Flagged after the step below, a wait armed
    // between the two would escape both and outlive the handle.
    QuarvexQueueFlagCurrentCancelled(&Port->MaskQueue, FileObject);

    // The pending wait is arbitrated under PortLock, where the mask code installs and clears
    // its cancel routine. A completion DPC still queued for it then finds no wait.
    SpinLockGuard guard(&Port->PortLock);
    PIRP waitIrp = Port->WaitIrp;
    if (waitIrp != NULL && IoSetCancelRoutine(waitIrp, NULL) != NULL) {
        Port->WaitIrp = NULL;
        Port->WaitResultSlot = NULL;
        guard.Release();
        QuarvexCompleteRequest(waitIrp, STATUS_CANCELLED); // Information as the dispatcher left it
    } else {
        guard.Release();
    }

    // Neither the immediate character nor a counting Xoff counter sits in a queue.
    QuarvexCancelImmediateAndXoff(Port);

    QuarvexGateCleanup(&Port->ControlGate, FileObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexFlushQueues--");
}
