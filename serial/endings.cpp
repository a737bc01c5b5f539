// Endings of the requests that several holders end.

#include <ntddk.h>

#include "port/kcompat.h"
#include "queue/queue.h"
#include "serial/endings_internal.h"

VOID QuarvexStopTimerLocked(PortDeviceRecord* Port, const RequestKind& Kind)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    ULONG& refs = Port->*Kind.Refs;
    if ((refs & Kind.TimerBit) != 0 && KeCancelTimer(&(Port->*Kind.Timer))) {
        refs &= ~Kind.TimerBit;
    }
}

VOID QuarvexTakeCancelLocked(PortDeviceRecord* Port, const RequestKind& Kind, PIRP Irp)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    ULONG& refs = Port->*Kind.Refs;
    if ((refs & Kind.CancelBit) != 0 && IoSetCancelRoutine(Irp, NULL) != NULL) {
        refs &= ~Kind.CancelBit;
    }
}

NTSTATUS QuarvexRecordEnding(PIRP Irp, NTSTATUS Status)
{
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Irp->IoStatus.Status = Status;
    }
    return Irp->IoStatus.Status;
}

VOID QuarvexFinishRequest(PortDeviceRecord* Port, const RequestKind& Kind, PIRP Irp,
                          NTSTATUS Status, KIRQL NewIrql,
                          VOID (*HandOn)(PortDeviceRecord* Port, PIRP Irp))
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    const bool last = Port->*Kind.Refs == 0;
    const bool queued = Kind.Queue != nullptr;
    if (!queued) {
        Status = QuarvexRecordEnding(Irp, Status);
        if (last) {
            Port->*Kind.Slot = NULL;
        }
    }
    KfReleaseSpinLock(&Port->PortLock, NewIrql);
    if (!last) {
        return;
    }
    // Start-next comes first: a queue's cancel-current relies on its current request not
    // being completed and freed under its exchange.
    if (queued) {
        QuarvexQueueStartNext(&(Port->*Kind.Queue));
    } else {
        Irp->IoStatus.Information = 0;
    }
    if (HandOn != NULL) {
        HandOn(Port, Irp);
    } else {
        QuarvexCompleteRequest(Irp, Status);
    }
}
