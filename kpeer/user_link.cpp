// A program's handle attached to a user port: reads return the port's bytes and news as
// records, writes hand bytes towards the port. Both pend while there is nothing to read or no
// room; the link DPC completes them, since the send routine, which learns of new bytes, runs
// under the port's TransmitLock where nothing may be completed.
//
// Who owns a pending request is decided only by the exchange of its cancel routine: code that
// gets NULL back leaves the request linked, for its cancel routine to unlink and complete.

#include <ntddk.h>

#include "kpeer/kpeer.h"
#include "kpeer/peer_compat.h"
#include "kpeer/peer_trace.h"
#include "kpeer/qvxpeer_control.h"

namespace {

constexpr ULONG RECORD_HEADER_BYTES = sizeof(QvxPeerRecordHeader);
constexpr ULONG VALUE_RECORD_BYTES = RECORD_HEADER_BYTES + sizeof(ULONG);

// A pending write's progress, in its DriverContext: the buffer offset of the next byte, the
// payload bytes left of the record it is in, and the payload bytes handed over.
constexpr ULONG WRITE_OFFSET = 0;
constexpr ULONG WRITE_LEFT = 1;
constexpr ULONG WRITE_TAKEN = 2;

ULONG Context(PIRP Irp, ULONG Slot)
{
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[Slot]));
}

VOID SetContext(PIRP Irp, ULONG Slot, ULONG Value)
{
    Irp->Tail.Overlay.DriverContext[Slot] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Value));
}

PIRP IrpFromListEntry(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

PeerPort* PortOf(PIO_STACK_LOCATION Stack)
{
    return Stack->FileObject != NULL ? static_cast<PeerPort*>(Stack->FileObject->FsContext) : NULL;
}

VOID Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// What a cancelled request reports: a write, the payload it handed over.
ULONG_PTR CancelledInformation(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE
               ? Context(Irp, WRITE_TAKEN)
               : 0;
}

VOID CompleteCancelled(PIRP Irp)
{
    Complete(Irp, STATUS_CANCELLED, CancelledInformation(Irp));
}

VOID PutHeader(UCHAR* At, UCHAR Type, ULONG Length)
{
    At[0] = Type;
    At[1] = 0;
    At[2] = static_cast<UCHAR>(Length & 0xFF);
    At[3] = static_cast<UCHAR>(Length >> 8);
}

VOID PutValueRecord(UCHAR* At, UCHAR Type, ULONG Value)
{
    PutHeader(At, Type, sizeof(ULONG));
    for (ULONG i = 0; i < sizeof(ULONG); ++i) {
        At[RECORD_HEADER_BYTES + i] = static_cast<UCHAR>(Value >> (8 * i));
    }
}

bool HasNewsLocked(const PeerPort* Port)
{
    return Port->PresenceCount > 0 || Port->Dropped != Port->DroppedReported || Port->BaudDue ||
           Port->Outbound.Ring.Count > 0;
}

// Fills a read of Room bytes (at least VALUE_RECORD_BYTES) with whole records: presence, drops,
// then data with the rate announcement where it fell. Returns the bytes filled. *Xon when the
// port was told Xoff and its bytes have drained enough.
// Locks: Port->Lock held.
ULONG FillReadLocked(PeerPort* Port, UCHAR* Buffer, ULONG Room, bool* Xon)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    ULONG used = 0;
    while (Port->PresenceCount > 0 && Room - used >= VALUE_RECORD_BYTES) {
        PutValueRecord(Buffer + used, QVXPEER_RECORD_PRESENCE, Port->Presence[0]);
        used += VALUE_RECORD_BYTES;
        --Port->PresenceCount;
        for (ULONG i = 0; i < Port->PresenceCount; ++i) {
            Port->Presence[i] = Port->Presence[i + 1];
        }
    }
    if (Port->Dropped != Port->DroppedReported && Room - used >= VALUE_RECORD_BYTES) {
        const ULONGLONG lost = Port->Dropped - Port->DroppedReported;
        const ULONG told = lost > MAXULONG ? MAXULONG : static_cast<ULONG>(lost);
        PutValueRecord(Buffer + used, QVXPEER_RECORD_DROPPED, told);
        used += VALUE_RECORD_BYTES;
        Port->DroppedReported += told;
    }
    PeerRing* ring = &Port->Outbound.Ring;
    for (;;) {
        if (Port->BaudDue && (Port->BaudAfter == 0 || ring->Count == 0)) {
            if (Room - used < VALUE_RECORD_BYTES) {
                break;
            }
            PutValueRecord(Buffer + used, QVXPEER_RECORD_BAUD, Port->BaudRate);
            used += VALUE_RECORD_BYTES;
            Port->BaudDue = FALSE;
            continue;
        }
        ULONG length = ring->Count;
        if (Port->BaudDue && Port->BaudAfter < length) {
            length = Port->BaudAfter;
        }
        if (length > QVXPEER_MAX_DATA) {
            length = QVXPEER_MAX_DATA;
        }
        if (length == 0 || Room - used <= RECORD_HEADER_BYTES) {
            break;
        }
        if (length > Room - used - RECORD_HEADER_BYTES) {
            length = Room - used - RECORD_HEADER_BYTES;
        }
        length = QuarvexPeerRingTake(ring, Buffer + used + RECORD_HEADER_BYTES, length);
        PutHeader(Buffer + used, QVXPEER_RECORD_DATA, length);
        used += RECORD_HEADER_BYTES + length;
        if (Port->BaudDue) {
            Port->BaudAfter -= length;
        }
    }
    PeerDirection* out = &Port->Outbound;
    if (out->XoffSent && out->Ring.Count < out->Ring.Size / 4) {
        out->XoffSent = FALSE;
        *Xon = true;
    }
    return used;
}

// Moves what fits of a pending write into the port's inbound ring. TRUE when all of it is held.
// Locks: Port->Lock held.
bool TakeWriteLocked(PeerPort* Port, PIRP Irp, bool* Moved)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    if (Port->Sink != SinkOutbound) {
        // Its "Peer" changed at a restart: the inbound ring is another sender's now, and the
        // program's writes wait until it detaches.
        return false;
    }
    const auto* bytes = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    ULONG offset = Context(Irp, WRITE_OFFSET);
    ULONG left = Context(Irp, WRITE_LEFT);
    ULONG taken = Context(Irp, WRITE_TAKEN);
    while (offset < length) {
        if (left == 0) {
            // Checked whole at dispatch: a header, then its payload.
            left = bytes[offset + 2] | (static_cast<ULONG>(bytes[offset + 3]) << 8);
            offset += RECORD_HEADER_BYTES;
            continue;
        }
        const ULONG put = QuarvexPeerRingPut(&Port->Inbound.Ring, bytes + offset, left);
        offset += put;
        left -= put;
        taken += put;
        *Moved = *Moved || put > 0;
        if (left != 0) {
            break;
        }
    }
    SetContext(Irp, WRITE_OFFSET, offset);
    SetContext(Irp, WRITE_LEFT, left);
    SetContext(Irp, WRITE_TAKEN, taken);
    return offset == length && left == 0;
}

// TRUE when Bytes holds only whole DATA records of 1..QVXPEER_MAX_DATA bytes.
bool ValidWrite(const UCHAR* Bytes, ULONG Length)
{
    ULONG offset = 0;
    while (offset < Length) {
        if (Length - offset < RECORD_HEADER_BYTES) {
            return false;
        }
        const ULONG payload = Bytes[offset + 2] | (static_cast<ULONG>(Bytes[offset + 3]) << 8);
        if (Bytes[offset] != QVXPEER_RECORD_DATA || Bytes[offset + 1] != 0 || payload == 0 ||
            payload > QVXPEER_MAX_DATA || payload > Length - offset - RECORD_HEADER_BYTES) {
            return false;
        }
        offset += RECORD_HEADER_BYTES + payload;
    }
    return true;
}

// The platform cancels a pending read or write: the cancel spin lock is let go before the
// port's lock is taken.
VOID NTAPI CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const KIRQL irql = Irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    PeerPort* port = PortOf(IoGetCurrentIrpStackLocation(Irp));
    KeAcquireSpinLockAtDpcLevel(&port->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&port->Lock, irql);
    CompleteCancelled(Irp);
}

// Queues Irp on List, cancelable. Returns STATUS_PENDING, or STATUS_CANCELLED when it was
// cancelled already (for the caller to complete once the lock is let go).
// Locks: Port->Lock held.
NTSTATUS PendLocked(PeerPort* Port, PLIST_ENTRY List, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port); // only the host build checks the lock
    QVXPEER_ASSERT_HELD(&Port->Lock);
    InsertTailList(List, &Irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(Irp, CancelPending);
    // Cancelled before it could wait. A NULL exchange means the cancel routine has it.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    return STATUS_PENDING;
}

// Moves every request of List this call can take from its cancel routine to Taken.
// Locks: Port->Lock held.
VOID TakeAllLocked(PLIST_ENTRY List, PLIST_ENTRY Taken)
{
    PLIST_ENTRY entry = List->Flink;
    while (entry != List) {
        PLIST_ENTRY next = entry->Flink;
        if (IoSetCancelRoutine(IrpFromListEntry(entry), NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(Taken, entry);
        }
        entry = next;
    }
}

} // namespace

VOID QuarvexPeerBeginAttachLocked(PeerPort* Port, PFILE_OBJECT File)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    Port->Attached = File;
    Port->Presence[0] = Port->Present ? 1 : 0;
    Port->PresenceCount = 1;
    Port->PresenceLast = Port->Presence[0];
    // What waits was sent at the rate the port has now, as far as a program can tell.
    Port->BaudDue = Port->LastBaud != 0;
    Port->BaudRate = Port->LastBaud;
    Port->BaudAfter = 0;
}

BOOLEAN QuarvexPeerEndAttach(PeerPort* Port, PFILE_OBJECT File)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    PeerLockGuard guard(&Port->Lock);
    if (Port->Attached != File) {
        return FALSE;
    }
    Port->Attached = NULL;
    if (!Port->Config.XonXoff) {
        // Its Xoff was the program's business, and nobody is left to send the Xon.
        Port->Inbound.Paused = FALSE;
    }
    Port->PresenceCount = 0;
    Port->BaudDue = FALSE;
    TakeAllLocked(&Port->Reads, &taken);
    TakeAllLocked(&Port->Writes, &taken);
    guard.Release();
    while (!IsListEmpty(&taken)) {
        CompleteCancelled(IrpFromListEntry(RemoveHeadList(&taken)));
    }
    // What it wrote and the port has not had yet still goes.
    QuarvexPeerKick(Port);
    return TRUE;
}

BOOLEAN QuarvexPeerNotePresenceLocked(PeerPort* Port)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    const ULONG present = Port->Present ? 1 : 0;
    if (Port->Attached == NULL || Port->PresenceLast == present) {
        return FALSE;
    }
    if (Port->PresenceCount == PEER_PRESENCE_CAPACITY) {
        // The last two would cancel out: the one before the last already says present.
        --Port->PresenceCount;
    } else {
        Port->Presence[Port->PresenceCount++] = present;
    }
    Port->PresenceLast = present;
    return !Port->Closing && !IsListEmpty(&Port->Reads);
}

NTSTATUS QuarvexPeerRead(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PeerPort* port = PortOf(Stack);
    const ULONG room = Stack->Parameters.Read.Length;
    if (port == NULL) {
        Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    PeerLockGuard guard(&port->Lock);
    NTSTATUS status = STATUS_SUCCESS;
    bool xon = false;
    ULONG filled = 0;
    if (port->Attached != Stack->FileObject) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (room < VALUE_RECORD_BYTES) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (IsListEmpty(&port->Reads) && HasNewsLocked(port)) {
        filled =
            FillReadLocked(port, static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer), room, &xon);
    } else {
        status = PendLocked(port, &port->Reads, Irp);
    }
    // A request ahead of it may be on its way out: the link DPC looks again.
    const bool link = status == STATUS_PENDING && !port->Closing;
    guard.Release();
    if (link) {
        (void)KeInsertQueueDpc(&port->LinkDpc, NULL, NULL);
    }
    if (xon) {
        QuarvexPeerSendUrgent(port, PEER_XON);
    }
    if (status == STATUS_CANCELLED) {
        CompleteCancelled(Irp);
    } else if (status != STATUS_PENDING) {
        Complete(Irp, status, filled);
    }
    return status;
}

NTSTATUS QuarvexPeerWrite(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PeerPort* port = PortOf(Stack);
    const ULONG length = Stack->Parameters.Write.Length;
    if (port == NULL) {
        Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (length > QVXPEER_MAX_WRITE ||
        (length > 0 &&
         !ValidWrite(static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer), length))) {
        QuarvexPeerTrace(PEER_TRACE_CONTROL, 2, "QuarvexPeerWrite %s: %u bytes refused",
                         port->NameText, length);
        Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    SetContext(Irp, WRITE_OFFSET, 0);
    SetContext(Irp, WRITE_LEFT, 0);
    SetContext(Irp, WRITE_TAKEN, 0);
    PeerLockGuard guard(&port->Lock);
    NTSTATUS status = STATUS_SUCCESS;
    bool moved = false;
    if (port->Attached != Stack->FileObject) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (!IsListEmpty(&port->Writes) || !TakeWriteLocked(port, Irp, &moved)) {
        // Behind the others, or the rest when there is room again.
        status = PendLocked(port, &port->Writes, Irp);
    }
    const bool kick = moved && !port->Closing;
    const bool link = status == STATUS_PENDING && !port->Closing;
    guard.Release();
    if (kick) {
        (void)KeInsertQueueDpc(&port->DeliveryDpc, NULL, NULL);
    }
    if (link) {
        (void)KeInsertQueueDpc(&port->LinkDpc, NULL, NULL);
    }
    if (status == STATUS_CANCELLED) {
        CompleteCancelled(Irp);
    } else if (status != STATUS_PENDING) {
        Complete(Irp, status, NT_SUCCESS(status) ? length : 0);
    }
    return status;
}

VOID NTAPI QuarvexPeerLinkDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                              PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PeerPort*>(DeferredContext);
    LIST_ENTRY reads;
    LIST_ENTRY writes;
    InitializeListHead(&reads);
    InitializeListHead(&writes);
    bool xon = false;
    bool moved = false;
    PeerDpcLockGuard guard(&port->Lock);
    // Writes in order: one that is not all held keeps the ones behind it waiting.
    for (PLIST_ENTRY entry = port->Writes.Flink; entry != &port->Writes;) {
        PIRP irp = IrpFromListEntry(entry);
        entry = entry->Flink;
        if (!TakeWriteLocked(port, irp, &moved)) {
            break;
        }
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            InsertTailList(&writes, &irp->Tail.Overlay.ListEntry);
        }
    }
    for (PLIST_ENTRY entry = port->Reads.Flink; entry != &port->Reads && HasNewsLocked(port);) {
        PIRP irp = IrpFromListEntry(entry);
        entry = entry->Flink;
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            continue; // its cancel routine has it
        }
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        irp->IoStatus.Information =
            FillReadLocked(port, static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer), room, &xon);
        InsertTailList(&reads, &irp->Tail.Overlay.ListEntry);
    }
    const bool kick = moved && !port->Closing;
    guard.Release();
    while (!IsListEmpty(&writes)) {
        PIRP irp = IrpFromListEntry(RemoveHeadList(&writes));
        Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
    }
    while (!IsListEmpty(&reads)) {
        PIRP irp = IrpFromListEntry(RemoveHeadList(&reads));
        Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    }
    if (xon) {
        QuarvexPeerSendUrgent(port, PEER_XON);
    }
    if (kick) {
        (void)KeInsertQueueDpc(&port->DeliveryDpc, NULL, NULL);
    }
}
