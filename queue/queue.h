// Request queues and the control gate.
//
// Contexts: start-packet, start-next, cleanup, cancel-current, restart, gate enter and leave
// run at or below DISPATCH_LEVEL; stall-and-wait, gate wait-idle and gate restart at
// PASSIVE_LEVEL. A start routine is called at DISPATCH_LEVEL with no queue lock held.
// Locks: each queue and the gate have their own Lock, never held around a start routine, a
// completion or a dispatch call; the cancel spin lock is never held together with a queue
// lock, the gate lock or PortLock. Cancel-current takes PortLock (owners install and clear
// current requests' cancel routines under it) and inside it the queue's Lock, releases both,
// and only then takes the cancel spin lock. Nothing else nests a queue Lock with PortLock.
// Ownership: whoever exchanges a request's non-NULL cancel routine for NULL owns it.
#pragma once

#include <ntddk.h>

// Serialises one class of requests: one current request, the others waiting in order.
// Lock guards WaitingList, CurrentIrp and the decisions that read StallCount.
// A waiting request carries its queue in Tail.Overlay.DriverContext[0].
struct RequestQueue
{
    PDRIVER_STARTIO StartIo;
    PDEVICE_OBJECT Context;
    LIST_ENTRY WaitingList;
    KSPIN_LOCK Lock;
    PIRP CurrentIrp;
    KEVENT IdleEvent;
    volatile LONG StallCount; // interlocked only
    KDPC StartDpc;
    BOOLEAN UseDpc;
    PDRIVER_STARTIO DropRoutine; // NULL, or told of each waiting request completed unstarted
};

// Admits control requests while the device runs, parks them while it is stalled.
// Lock guards every field from WaitingList on; AbortStatus is stored once, without it.
// A parked request carries its gate in Tail.Overlay.DriverContext[0].
struct RequestGate
{
    PDEVICE_OBJECT DeviceObject;
    KEVENT IdleEvent;
    LIST_ENTRY WaitingList;
    KSPIN_LOCK Lock;
    LONG StallCount;
    LONG ActiveCount;
    NTSTATUS AbortStatus;
    PIRP ReplayIrp;
};

// ---- Requests that outlive their handle -----------------------------------------------------
//
// A request can still be on its way into the driver when another thread closes its handle.
// The cleanup marks the file object before it flushes anything, and every place that admits
// a request (a queue, the control gate, the immediate character) refuses one whose file
// object carries the mark, under the same lock under which the cleanup then looks: such a
// request is either found by the cleanup or refused, never left pending behind it. The mark
// lives in FsContext2, which a device driver owns in its file objects.

inline PVOID const QUARVEX_CLEANED_UP = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(1));

// IRQL: <= DISPATCH_LEVEL.
inline VOID QuarvexMarkCleanedUp(PFILE_OBJECT FileObject)
{
    if (FileObject != NULL) {
        (void)InterlockedExchangePointer(&FileObject->FsContext2, QUARVEX_CLEANED_UP);
    }
}

// Read under the lock of the admitting place. The cleanup marks before it takes that lock, so
// the read is an interlocked one (a compare that never changes the value).
inline BOOLEAN QuarvexCleanedUp(PIRP Irp)
{
    const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return file != NULL &&
           InterlockedCompareExchangePointer(&file->FsContext2, QUARVEX_CLEANED_UP,
                                             QUARVEX_CLEANED_UP) == QUARVEX_CLEANED_UP;
}

// ---- Request queue ------------------------------------------------------------------------

// Prepares an embedded, zeroed queue; it starts stalled once.
// IRQL: any.
VOID QuarvexQueueInitialize(RequestQueue* Queue, PDRIVER_STARTIO StartIo, PDEVICE_OBJECT Context,
                            BOOLEAN UseDpc);

// Names the routine told, without locks and before completion, of each request the queue
// completes without having started it (refused, cancelled or cleaned up while waiting).
// IRQL: any; before the queue first runs.
VOID QuarvexQueueSetDropRoutine(RequestQueue* Queue, PDRIVER_STARTIO DropRoutine);

// Starts Irp at once when the queue runs idle, else keeps it waiting (cancellable); refuses it
// when its handle was cleaned up.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Queue->Lock; PortLock must not be held.
// Irp: STATUS_PENDING (started or waiting, marked pending) or STATUS_CANCELLED (completed);
// the caller returns the value and does not touch Irp again.
NTSTATUS QuarvexQueueStartPacket(RequestQueue* Queue, PIRP Irp);

// Ends the current request's turn and starts the next waiting one (inline when it is the
// last one waiting, else from StartDpc).
// IRQL: <= DISPATCH_LEVEL.  Locks: PortLock must not be held; takes Queue->Lock.
// Irp: call once per finished request, before completing it; the next start routine may run
// before this returns.
VOID QuarvexQueueStartNext(RequestQueue* Queue);

// Stalls the queue and waits until no request is in service.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any; takes Queue->Lock.
VOID QuarvexQueueStallAndWait(RequestQueue* Queue);
// Its two halves: the stall (nothing starts from now on) and the wait for the request in
// service, for a caller that ends that request in between.
// IRQL: Stall <= DISPATCH_LEVEL, WaitIdle PASSIVE_LEVEL.  Locks: takes Queue->Lock.
VOID QuarvexQueueStall(RequestQueue* Queue);
VOID QuarvexQueueWaitIdle(RequestQueue* Queue);

// Undoes one stall; the last one starts the oldest waiting request.
// IRQL: <= DISPATCH_LEVEL.  Locks: PortLock must not be held.
// Irp: no request may be in service when the last stall is undone.
VOID QuarvexQueueRestart(RequestQueue* Queue);

// Cancels waiting requests of FileObject (all of them when NULL); the current one stays.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Queue->Lock.
// Irp: completes the ones it takes STATUS_CANCELLED; ones already being cancelled are left to
// their cancel routine.
VOID QuarvexQueueCleanup(RequestQueue* Queue, PFILE_OBJECT FileObject);

// Cancels every waiting request, then the current one through its owner's cancel routine.
// IRQL: <= DISPATCH_LEVEL.  Locks: PortLock and Queue->Lock must not be held; takes PortLock,
// Queue->Lock inside it, then the cancel spin lock alone.
// Irp: a current request without a cancel routine is left to its owner.
VOID QuarvexQueueCancelCurrent(RequestQueue* Queue);

// Flags the current request of FileObject (any when NULL) cancelled while its owner has not
// armed a cancel routine yet, so that its start routine, still to run, refuses it.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes PortLock, then Queue->Lock.
VOID QuarvexQueueFlagCurrentCancelled(RequestQueue* Queue, PFILE_OBJECT FileObject);

// Cancel routine of a waiting request: unlinks and completes it STATUS_CANCELLED.
// IRQL: DISPATCH_LEVEL on entry, Irp->CancelIrql on exit.  Locks: cancel spin lock held on
// entry and released first; takes the queue's Lock.
DRIVER_CANCEL QuarvexQueueCancelRoutine;

// Routine of StartDpc: starts the queue's current request.
// IRQL: DISPATCH_LEVEL.  Locks: none held.
KDEFERRED_ROUTINE QuarvexQueueDpcRoutine;

// ---- Control gate -------------------------------------------------------------------------

// Prepares an embedded gate; it starts stalled once and not aborted.
// IRQL: any.
VOID QuarvexGateInitialize(RequestGate* Gate, PDEVICE_OBJECT DeviceObject);

// Admits, parks or refuses a control request (refused: the gate was aborted, or the request's
// handle was cleaned up, STATUS_CANCELLED).
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Gate->Lock.
// Irp: STATUS_SUCCESS admitted (the caller serves it and calls QuarvexGateLeave);
// STATUS_PENDING parked and marked pending (the caller forgets it); any other value: already
// completed with that status (the caller returns it).
NTSTATUS QuarvexGateEnter(RequestGate* Gate, PIRP Irp);

// Ends one admitted request's stay.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Gate->Lock.
VOID QuarvexGateLeave(RequestGate* Gate);

// From now on arriving requests are parked.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Gate->Lock.
VOID QuarvexGateStall(RequestGate* Gate);

// Waits until every admitted request has left.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexGateWaitIdle(RequestGate* Gate);

// Undoes one stall; the last one replays the parked requests, oldest first, through the
// driver's dispatch table before the gate opens.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any; Gate->Lock is dropped around each dispatch.
VOID QuarvexGateRestart(RequestGate* Gate);

// Cancels parked requests of FileObject (all of them when NULL).
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Gate->Lock.  Irp: completes STATUS_CANCELLED.
VOID QuarvexGateCleanup(RequestGate* Gate, PFILE_OBJECT FileObject);

// Refuses every later request with Status (for good) and cancels the parked ones.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes Gate->Lock.
VOID QuarvexGateAbort(RequestGate* Gate, NTSTATUS Status);

// Cancel routine of a parked request: unlinks and completes it STATUS_CANCELLED, Information
// as the caller set it.
// IRQL: DISPATCH_LEVEL on entry, Irp->CancelIrql on exit.  Locks: cancel spin lock held on
// entry and released first; takes the gate's Lock.
DRIVER_CANCEL QuarvexGateCancelRoutine;

// ---- The port's five structures together ----------------------------------------------------

struct PortDeviceRecord;

// Stalls the gate, then each queue in Queues order, and waits until no request of the port
// is in service and no control request is admitted.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexStallQueues(PortDeviceRecord* Port);

// As QuarvexStallQueues, but every request of every handle, in service or waiting, is
// cancelled first instead of awaited: for a device that is gone.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexFlushAndStallQueues(PortDeviceRecord* Port);

// Undoes one stall of the gate (replaying parked requests) and of each queue.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexRestartQueues(PortDeviceRecord* Port);

// Cancels what a closing handle leaves behind: its waiting requests in every queue, the
// current and waiting reads and writes, the pending wait-on-mask request and its parked
// control requests. Stalls and starts nothing.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold any; takes PortLock.
// Irp: every request it takes completes STATUS_CANCELLED; current ones through their owners.
VOID QuarvexFlushQueues(PortDeviceRecord* Port, PFILE_OBJECT FileObject);
