// Request queues and the control gate.
//
// Who owns a waiting or parked request is decided only by the exchange of its cancel routine:
// a dequeuer that gets NULL back leaves the request where it is, because the platform's cancel
// path has it and the cancel routine will unlink and complete it.

#include <ntddk.h>

#include "driver/driver.h"
#include "driver/kcompat.h"
#include "port/port.h"
#include "queue/queue.h"
#include "trace/trace.h"

namespace {

// Restart changes StallCount without Lock, so even readers under Lock use an interlocked read.
LONG ReadStallCount(RequestQueue* Queue)
{
    return InterlockedCompareExchange(&Queue->StallCount, 0, 0);
}

PIRP IrpFromListEntry(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// Moves the waiting requests of FileObject (all when NULL) whose cancel routine this call takes
// back from WaitingList to Taken, keeping their order.
VOID TakeWaitingLocked(PLIST_ENTRY WaitingList, PFILE_OBJECT FileObject, PLIST_ENTRY Taken)
{
    PLIST_ENTRY entry = WaitingList->Flink;
    while (entry != WaitingList) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = IrpFromListEntry(entry);
        if ((FileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) &&
            IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(Taken, entry);
        }
        entry = next;
    }
}

// Tells the queue's owner that Irp leaves without having started.
VOID DropUnstarted(RequestQueue* Queue, PIRP Irp)
{
    if (Queue != NULL && Queue->DropRoutine != NULL) {
        Queue->DropRoutine(Queue->Context, Irp);
    }
}

VOID CompleteTaken(RequestQueue* Queue, PLIST_ENTRY Taken)
{
    while (!IsListEmpty(Taken)) {
        PIRP irp = IrpFromListEntry(RemoveHeadList(Taken));
        DropUnstarted(Queue, irp);
        irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(irp, STATUS_CANCELLED);
    }
}

} // namespace

// ---- Request queue ------------------------------------------------------------------------

VOID QuarvexQueueInitialize(RequestQueue* Queue, PDRIVER_STARTIO StartIo, PDEVICE_OBJECT Context,
                            BOOLEAN UseDpc)
{
    KeInitializeSpinLock(&Queue->Lock);
    Queue->StartIo = StartIo;
    Queue->Context = Context;
    Queue->UseDpc = UseDpc;
    Queue->DropRoutine = NULL;
    Queue->StallCount = 1; // nothing starts before the device does
    InitializeListHead(&Queue->WaitingList);
    if (UseDpc) {
        KeInitializeDpc(&Queue->StartDpc, QuarvexQueueDpcRoutine, Queue);
    }
    KeInitializeEvent(&Queue->IdleEvent, NotificationEvent, FALSE);
}

VOID QuarvexQueueSetDropRoutine(RequestQueue* Queue, PDRIVER_STARTIO DropRoutine)
{
    Queue->DropRoutine = DropRoutine;
}

NTSTATUS QuarvexQueueStartPacket(RequestQueue* Queue, PIRP Irp)
{
    QUARVEX_ASSERT_NOT_HELD(&QuarvexPortFromDevice(Queue->Context)->PortLock);
    const KIRQL oldIrql = KfAcquireSpinLock(&Queue->Lock);
    if (QuarvexCleanedUp(Irp)) {
        KfReleaseSpinLock(&Queue->Lock, oldIrql);
        DropUnstarted(Queue, Irp);
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
        return STATUS_CANCELLED;
    }
    if (Queue->CurrentIrp == NULL && ReadStallCount(Queue) == 0) {
        IoMarkIrpPending(Irp);
        Queue->CurrentIrp = Irp;
        // Start routines run at DISPATCH_LEVEL but outside the lock.
        KefReleaseSpinLockFromDpcLevel(&Queue->Lock);
        Queue->StartIo(Queue->Context, Irp);
        KfLowerIrql(oldIrql);
        return STATUS_PENDING;
    }

    Irp->Tail.Overlay.DriverContext[0] = Queue;
    InsertTailList(&Queue->WaitingList, &Irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(Irp, QuarvexQueueCancelRoutine);
    // Cancelled before it could wait. If the exchange comes back NULL the platform's cancel
    // already took the routine, which will unlink and complete it once we let go of Lock.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KfReleaseSpinLock(&Queue->Lock, oldIrql);
        DropUnstarted(Queue, Irp);
        Irp->IoStatus.Information = 0;
        QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    KfReleaseSpinLock(&Queue->Lock, oldIrql);
    return STATUS_PENDING;
}

VOID QuarvexQueueStartNext(RequestQueue* Queue)
{
    QUARVEX_ASSERT_NOT_HELD(&QuarvexPortFromDevice(Queue->Context)->PortLock);
    const KIRQL oldIrql = KfAcquireSpinLock(&Queue->Lock);
    Queue->CurrentIrp = NULL;
    PIRP next = NULL;
    if (ReadStallCount(Queue) <= 0) {
        for (PLIST_ENTRY entry = Queue->WaitingList.Flink; entry != &Queue->WaitingList;
             entry = entry->Flink) {
            PIRP irp = IrpFromListEntry(entry);
            if (IoSetCancelRoutine(irp, NULL) != NULL) {
                RemoveEntryList(entry);
                next = irp;
                break;
            }
            // Being cancelled: it stays linked for its cancel routine.
        }
    }

    if (next == NULL) {
        (void)KeSetEvent(&Queue->IdleEvent, IO_NO_INCREMENT, FALSE);
        KfReleaseSpinLock(&Queue->Lock, oldIrql);
        return;
    }

    Queue->CurrentIrp = next;
    if (Queue->UseDpc && !IsListEmpty(&Queue->WaitingList)) {
        // A start routine that finishes at once calls start-next again; starting all but the
        // last waiting request from the DPC keeps that from nesting once per request.
        KfReleaseSpinLock(&Queue->Lock, oldIrql);
        (void)KeInsertQueueDpc(&Queue->StartDpc, NULL, NULL);
        return;
    }
    KefReleaseSpinLockFromDpcLevel(&Queue->Lock);
    Queue->StartIo(Queue->Context, next);
    KfLowerIrql(oldIrql);
}

VOID NTAPI QuarvexQueueDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* queue = static_cast<RequestQueue*>(DeferredContext);
    // Nobody changes CurrentIrp until this start routine's request ends.
    queue->StartIo(queue->Context, queue->CurrentIrp);
}

VOID NTAPI QuarvexQueueCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    const KIRQL cancelIrql = Irp->CancelIrql;
    auto* queue = static_cast<RequestQueue*>(Irp->Tail.Overlay.DriverContext[0]);
    KefAcquireSpinLockAtDpcLevel(&queue->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&queue->Lock, cancelIrql);
    DropUnstarted(queue, Irp);
    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
}

VOID QuarvexQueueStall(RequestQueue* Queue)
{
    SpinLockGuard guard(&Queue->Lock);
    InterlockedIncrement(&Queue->StallCount);
    if (Queue->CurrentIrp != NULL) {
        // The start-next that ends the current request finds the queue stalled and sets it.
        KeClearEvent(&Queue->IdleEvent);
    }
}

VOID QuarvexQueueWaitIdle(RequestQueue* Queue)
{
    // Stalled, the queue starts nothing: a current request now is the one the stall saw, and
    // its start-next sets the event.
    SpinLockGuard guard(&Queue->Lock);
    const bool busy = Queue->CurrentIrp != NULL;
    guard.Release();
    if (busy) {
        (void)KeWaitForSingleObject(&Queue->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
}

VOID QuarvexQueueStallAndWait(RequestQueue* Queue)
{
    QuarvexQueueStall(Queue);
    QuarvexQueueWaitIdle(Queue);
}

VOID QuarvexQueueRestart(RequestQueue* Queue)
{
    if (InterlockedDecrement(&Queue->StallCount) == 0) {
        QuarvexQueueStartNext(Queue);
    }
}

VOID QuarvexQueueCleanup(RequestQueue* Queue, PFILE_OBJECT FileObject)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    SpinLockGuard guard(&Queue->Lock);
    TakeWaitingLocked(&Queue->WaitingList, FileObject, &taken);
    guard.Release();
    CompleteTaken(Queue, &taken);
}

VOID QuarvexQueueCancelCurrent(RequestQueue* Queue)
{
    QuarvexQueueCleanup(Queue, NULL);

    PortDeviceRecord* port = QuarvexPortFromDevice(Queue->Context);
    SpinLockGuard portGuard(&port->PortLock);
    // Owners call start-next before they complete, so while Lock is held the current request
    // cannot be completed and freed under the exchange.
    DpcSpinLockGuard queueGuard(&Queue->Lock);
    PIRP current = Queue->CurrentIrp;
    PDRIVER_CANCEL cancelRoutine = NULL;
    if (current != NULL) {
        cancelRoutine = IoSetCancelRoutine(current, NULL);
        if (cancelRoutine == NULL) {
            // Either the owner is finishing it, or its start routine has not armed it yet
            // (it waits for the start DPC): that routine sees the flag and refuses it.
            QuarvexStoreShared(&current->Cancel, TRUE);
        }
    }
    queueGuard.Release();
    portGuard.Release();

    if (cancelRoutine != NULL) {
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        QuarvexStoreShared(&current->Cancel, TRUE);
        current->CancelIrql = cancelIrql;
        cancelRoutine(Queue->Context, current); // releases the cancel spin lock
    }
}

VOID QuarvexQueueFlagCurrentCancelled(RequestQueue* Queue, PFILE_OBJECT FileObject)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(Queue->Context);
    SpinLockGuard portGuard(&port->PortLock);
    DpcSpinLockGuard queueGuard(&Queue->Lock);
    PIRP current = Queue->CurrentIrp;
    if (current != NULL &&
        (FileObject == NULL || IoGetCurrentIrpStackLocation(current)->FileObject == FileObject) &&
        InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&current->CancelRoutine), NULL, NULL) == NULL) {
        QuarvexStoreShared(&current->Cancel, TRUE);
    }
}

// ---- Control gate -------------------------------------------------------------------------

VOID QuarvexGateInitialize(RequestGate* Gate, PDEVICE_OBJECT DeviceObject)
{
    Gate->DeviceObject = DeviceObject;
    KeInitializeEvent(&Gate->IdleEvent, NotificationEvent, FALSE);
    InitializeListHead(&Gate->WaitingList);
    KeInitializeSpinLock(&Gate->Lock);
    Gate->ActiveCount = 0;
    Gate->AbortStatus = STATUS_SUCCESS;
    Gate->ReplayIrp = NULL;
    Gate->StallCount = 1;
}

NTSTATUS QuarvexGateEnter(RequestGate* Gate, PIRP Irp)
{
    SpinLockGuard guard(&Gate->Lock);
    const NTSTATUS abortStatus = QuarvexCleanedUp(Irp) ? STATUS_CANCELLED : Gate->AbortStatus;
    if (abortStatus != STATUS_SUCCESS) {
        guard.Release();
        QuarvexCompleteRequest(Irp, abortStatus);
        return abortStatus;
    }

    if (Gate->StallCount > 0) {
        if (Gate->ReplayIrp == Irp) {
            // Back through the dispatch table from the restart that replays it.
            Gate->ReplayIrp = NULL;
        } else {
            Irp->Tail.Overlay.DriverContext[0] = Gate;
            InsertTailList(&Gate->WaitingList, &Irp->Tail.Overlay.ListEntry);
            (void)IoSetCancelRoutine(Irp, QuarvexGateCancelRoutine);
            if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
                RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
                guard.Release();
                QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
                return STATUS_CANCELLED;
            }
            IoMarkIrpPending(Irp);
            return STATUS_PENDING;
        }
    }

    ++Gate->ActiveCount;
    return STATUS_SUCCESS;
}

VOID QuarvexGateLeave(RequestGate* Gate)
{
    SpinLockGuard guard(&Gate->Lock);
    ASSERT(Gate->ActiveCount > 0);
    if (--Gate->ActiveCount == 0) {
        (void)KeSetEvent(&Gate->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID QuarvexGateStall(RequestGate* Gate)
{
    SpinLockGuard guard(&Gate->Lock);
    ++Gate->StallCount;
}

VOID QuarvexGateWaitIdle(RequestGate* Gate)
{
    SpinLockGuard guard(&Gate->Lock);
    KeClearEvent(&Gate->IdleEvent);
    const bool busy = Gate->ActiveCount != 0;
    guard.Release();
    if (busy) {
        (void)KeWaitForSingleObject(&Gate->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
}

VOID QuarvexGateRestart(RequestGate* Gate)
{
    KIRQL oldIrql = KfAcquireSpinLock(&Gate->Lock);
    // StallCount stays 1 while replaying, so requests arriving meanwhile park behind the
    // others and this loop replays them too.
    while (Gate->StallCount == 1 && !IsListEmpty(&Gate->WaitingList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Gate->WaitingList);
        PIRP irp = IrpFromListEntry(entry);
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            // Its cancel routine is on the way and will unlink it: make that harmless.
            InitializeListHead(entry);
            continue;
        }
        Gate->ReplayIrp = irp;
        KfReleaseSpinLock(&Gate->Lock, oldIrql);
        const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        (void)Gate->DeviceObject->DriverObject->MajorFunction[major](Gate->DeviceObject, irp);
        oldIrql = KfAcquireSpinLock(&Gate->Lock);
        // A dispatcher that refused it before the gate (error abort) left it named: a new
        // request at the same address would pass a later stall instead of parking.
        Gate->ReplayIrp = NULL;
    }
    --Gate->StallCount;
    KfReleaseSpinLock(&Gate->Lock, oldIrql);
}

VOID QuarvexGateCleanup(RequestGate* Gate, PFILE_OBJECT FileObject)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    SpinLockGuard guard(&Gate->Lock);
    TakeWaitingLocked(&Gate->WaitingList, FileObject, &taken);
    guard.Release();
    CompleteTaken(NULL, &taken);
}

VOID QuarvexGateAbort(RequestGate* Gate, NTSTATUS Status)
{
    // Final: nothing clears it again. Enter reads it under Lock, and the cleanup below takes
    // Lock after this store, so no request parks after the cleanup has run.
    Gate->AbortStatus = Status;
    QuarvexGateCleanup(Gate, NULL);
}

VOID NTAPI QuarvexGateCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    const KIRQL cancelIrql = Irp->CancelIrql;
    auto* gate = static_cast<RequestGate*>(Irp->Tail.Overlay.DriverContext[0]);
    KefAcquireSpinLockAtDpcLevel(&gate->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&gate->Lock, cancelIrql);
    QuarvexCompleteRequest(Irp, STATUS_CANCELLED);
}
