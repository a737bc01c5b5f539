// Purge: the start routine of PurgeQueue. Purges run one at a time in the order they came;
// the requests a purge ends are completed by their own owners' cancel routines, except a
// counting Xoff counter, which ends here with STATUS_SERIAL_MORE_WRITES.

#include <ntddk.h>
#include <ntddser.h>

#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "queue/queue.h"
#include "serial/input_ring.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

VOID NTAPI PurgeQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "PurgeQueueStartIo++. IRP %p", Irp);
    const ULONG mask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);

    if ((mask & SERIAL_PURGE_TXABORT) != 0) {
        QuarvexQueueCancelCurrent(&port->WriteQueue);
        KefAcquireSpinLockAtDpcLevel(&port->PortLock);
        PIRP moreWrites = QuarvexTakeXoffForMoreWritesLocked(port);
        KefReleaseSpinLockFromDpcLevel(&port->PortLock);
        if (moreWrites != NULL) {
            QuarvexCompleteRequest(moreWrites, moreWrites->IoStatus.Status);
        }
    }

    if ((mask & SERIAL_PURGE_RXABORT) != 0) {
        QuarvexQueueCancelCurrent(&port->ReadQueue);
    }

    // SERIAL_PURGE_TXCLEAR: bytes already in the transmit buffer go out anyway.

    if ((mask & SERIAL_PURGE_RXCLEAR) != 0) {
        DpcSpinLockGuard guard(&port->PortLock);
        // A read being filled directly keeps what it has; only the ring is emptied.
        if (!QuarvexInputRingTargetsRead(port)) {
            QuarvexInputRingReset(port);
            QuarvexReleaseReceiveHolds(port);
        }
    }

    // The next purge starts, and may even finish, before this one completes.
    QuarvexQueueStartNext(&port->PurgeQueue);
    Irp->IoStatus.Information = 0;
    QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "PurgeQueueStartIo--. IRP %p", Irp);
}
