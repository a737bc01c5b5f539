// The bytes' way: the send routine copies what a port transmits into the ring of whoever is to
// receive it, and the delivery DPC hands each port what waits for it, paced, 44 bytes at a
// time.

#include <ntddk.h>

#include "kpeer/kpeer.h"
#include "kpeer/peer_compat.h"
#include "kpeer/peer_trace.h"

namespace {

// The port hands over at most 128 bytes per tick; a longer block is taken in pieces.
constexpr ULONG SEND_CHUNK = 128;

// Appends to Direction and decides on Xoff for its sender; returns the bytes taken. Sets
// *Xoff when the sender is to be told to stop.
// Locks: the Lock of Direction's owner held.
ULONG AppendLocked(PeerDirection* Direction, const UCHAR* Bytes, ULONG Length, bool* Xoff)
{
    const ULONG taken = QuarvexPeerRingPut(&Direction->Ring, Bytes, Length);
    if (Direction->XonXoff && !Direction->XoffSent &&
        Direction->Ring.Count >= Direction->Ring.Size / 2) {
        Direction->XoffSent = TRUE;
        *Xoff = true;
    }
    return taken;
}

// Counts what Port sent that found no room; the first drop of a run is traced.
// Locks: Port->Lock held.
VOID CountDropsLocked(PeerPort* Port, ULONG Lost, PCSTR Where)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    if (Lost == 0) {
        Port->Dropping = FALSE;
        return;
    }
    Port->Dropped += Lost;
    if (!Port->Dropping) {
        Port->Dropping = TRUE;
        QuarvexPeerTrace(PEER_TRACE_DATA, 2, "QuarvexPeerSend %s: %s, dropping what it sends",
                         Port->NameText, Where);
    }
}

bool QueueUrgentLocked(PeerPort* Port, UCHAR Byte)
{
    QVXPEER_ASSERT_HELD(&Port->Lock);
    PeerDirection* in = &Port->Inbound;
    if (in->UrgentCount == PEER_URGENT_CAPACITY) {
        // Flow characters alternate and each waits for the ring to move by a quarter, so this
        // takes a sender that never runs its delivery.
        QuarvexPeerTrace(PEER_TRACE_DATA, 1, "QuarvexPeerSendUrgent %s: lost %x", Port->NameText,
                         Byte);
        return false;
    }
    in->Urgent[in->UrgentCount++] = Byte;
    return !Port->Closing;
}

// A user port with xonxoff: its own flow characters pause and resume delivery to it and stay
// away from the program. Returns the bytes kept; *Resumed when delivery may go on.
// Locks: Port->Lock held.
ULONG TakeFlowCharactersLocked(PeerPort* Port, UCHAR* Data, ULONG Length, bool* Resumed)
{
    ULONG kept = 0;
    for (ULONG i = 0; i < Length; ++i) {
        if (Data[i] == PEER_XOFF) {
            Port->Inbound.Paused = TRUE;
        } else if (Data[i] == PEER_XON) {
            *Resumed = *Resumed || Port->Inbound.Paused;
            Port->Inbound.Paused = FALSE;
        } else {
            Data[kept++] = Data[i];
        }
    }
    return kept;
}

// Where one piece of a port's transmission goes. Rate: a rate it announced in the piece, or 0.
VOID Forward(PeerPort* Port, UCHAR* Data, ULONG Length, ULONG Rate)
{
    bool xoff = false;
    bool kickSelf = false;
    PeerDpcLockGuard guard(&Port->Lock);
    if (Port->Closing) {
        return;
    }
    Port->FromPort += Length;
    if (Rate != 0) {
        Port->LastBaud = Rate;
    }
    const PeerSink sink = Port->Sink;
    PeerPort* target = Port->Target;
    const bool lineSpeed = Port->LineSpeed;
    bool kickLink = false;
    if (sink == SinkDrop) {
        CountDropsLocked(Port, Length, "no far side");
    } else if (sink == SinkOutbound) {
        if (Port->XonXoff) {
            Length = TakeFlowCharactersLocked(Port, Data, Length, &kickSelf);
        }
        if (Rate != 0) {
            Port->Inbound.PaceRate = Rate; // what a program sends it goes at its own rate
            // Announced behind what waits already.
            Port->BaudDue = TRUE;
            Port->BaudRate = Rate;
            Port->BaudAfter = Port->Outbound.Ring.Count;
        }
        CountDropsLocked(Port, Length - AppendLocked(&Port->Outbound, Data, Length, &xoff),
                         "program's buffer full");
        kickLink = Port->Attached != NULL && !IsListEmpty(&Port->Reads);
    } else if (sink == SinkInbound && target == Port) {
        if (Rate != 0 && lineSpeed) {
            Port->Inbound.PaceRate = Rate;
        }
        CountDropsLocked(Port, Length - AppendLocked(&Port->Inbound, Data, Length, &xoff),
                         "buffer full");
        kickSelf = true;
    }
    if (xoff) {
        kickSelf = QueueUrgentLocked(Port, PEER_XOFF) || kickSelf;
    }
    kickSelf = kickSelf && !Port->Closing;
    kickLink = kickLink && !Port->Closing;
    guard.Release();
    if (kickLink) {
        // Reads are completed there: never here, under the port's TransmitLock.
        (void)KeInsertQueueDpc(&Port->LinkDpc, NULL, NULL);
    }

    if (sink == SinkInbound && target != Port) {
        // A pair: the other port's lock only now, never both at once.
        PeerDpcLockGuard targetGuard(&target->Lock);
        const ULONG taken = AppendLocked(&target->Inbound, Data, Length, &xoff);
        if (Rate != 0 && lineSpeed) {
            target->Inbound.PaceRate = Rate;
        }
        const bool kickTarget = !target->Closing;
        targetGuard.Release();
        PeerDpcLockGuard again(&Port->Lock);
        CountDropsLocked(Port, Length - taken, "far side's buffer full");
        if (xoff) {
            kickSelf = QueueUrgentLocked(Port, PEER_XOFF) || kickSelf;
        }
        again.Release();
        if (kickTarget) {
            (void)KeInsertQueueDpc(&target->DeliveryDpc, NULL, NULL);
        }
    }
    if (kickSelf) {
        (void)KeInsertQueueDpc(&Port->DeliveryDpc, NULL, NULL);
    }
}

// Takes the next block for Port out of its inbound direction: urgent bytes first, then data
// within Budget. Returns its length, 0 when nothing may go now.
// Locks: Port->Lock held.
ULONG NextBlockLocked(PeerPort* Port, UCHAR* Block, ULONG* Budget)
{
    PeerDirection* in = &Port->Inbound;
    if (Port->Closing || !Port->Present) {
        return 0;
    }
    if (in->UrgentCount > 0) {
        const ULONG length = in->UrgentCount;
        RtlCopyMemory(Block, in->Urgent, length);
        in->UrgentCount = 0;
        return length;
    }
    if (in->Paused || *Budget == 0) {
        return 0;
    }
    const ULONG most = *Budget < PEER_MAX_RECEIVE_BLOCK ? *Budget : PEER_MAX_RECEIVE_BLOCK;
    const ULONG length = QuarvexPeerRingTake(&in->Ring, Block, most);
    *Budget -= length;
    QuarvexPeerPaceSpend(&in->Pacing, length);
    return length;
}

// After a run: Xon for the sender once the ring is back under a quarter, and the pace timer
// armed exactly while bytes wait for a present port. Returns the sender to send Xon to.
// Locks: Port->Lock held (disarmed under the lock that arms, so no byte is stranded).
PeerPort* FinishRunLocked(PeerPort* Port)
{
    PeerDirection* in = &Port->Inbound;
    PeerPort* xon = NULL;
    if (in->XoffSent && in->Ring.Count < in->Ring.Size / 4) {
        in->XoffSent = FALSE;
        xon = in->Sender;
    }
    const bool waiting = !Port->Closing && Port->Present &&
                         (in->UrgentCount > 0 || (in->Ring.Count > 0 && !in->Paused));
    if (waiting && !in->Armed) {
        in->Armed = TRUE;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(PEER_PACE_PERIOD_MS) * 10000;
        (void)KeSetTimerEx(&Port->PaceTimer, due, PEER_PACE_PERIOD_MS, &Port->DeliveryDpc);
    } else if (!waiting) {
        if (in->Armed) {
            in->Armed = FALSE;
            (void)KeCancelTimer(&Port->PaceTimer);
        }
        // Also after a run that needed no timer: the next bytes start a fresh line.
        QuarvexPeerPaceIdle(&in->Pacing);
    }
    return xon;
}

} // namespace

VOID NTAPI QuarvexPeerSendCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    auto* port = static_cast<PeerPort*>(CallbackContext);
    if (Argument1 == NULL || Argument2 == NULL) {
        return;
    }
    // Copied at once: the block is the port's transmit buffer, valid only during this call.
    const auto* block = static_cast<const UCHAR*>(Argument1);
    const ULONG length = *static_cast<const ULONG*>(Argument2);
    UCHAR data[SEND_CHUNK];
    for (ULONG offset = 0; offset < length; offset += SEND_CHUNK) {
        const ULONG piece = length - offset < SEND_CHUNK ? length - offset : SEND_CHUNK;
        ULONG rate = 0;
        const ULONG kept = QuarvexPeerStripBaudBlocks(block + offset, piece, data, &rate);
        if (rate != 0) {
            QuarvexPeerTrace(PEER_TRACE_DATA, 4, "QuarvexPeerSend %s: rate %u", port->NameText,
                             rate);
        }
        Forward(port, data, kept, rate);
    }
}

VOID NTAPI QuarvexPeerDeliveryDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PeerPort*>(DeferredContext);
    PeerDirection* in = &port->Inbound;
    UCHAR block[PEER_MAX_RECEIVE_BLOCK];
    KeAcquireSpinLockAtDpcLevel(&port->Lock);
    if (in->Delivering) {
        // Another run keeps the bytes in order; it looks again before it ends.
        in->Again = TRUE;
        KeReleaseSpinLockFromDpcLevel(&port->Lock);
        return;
    }
    in->Delivering = TRUE;
    ULONG budget = port->Present && !port->Closing && in->Ring.Count > 0 && !in->Paused
                       ? QuarvexPeerPaceBudget(&in->Pacing, in->PaceRate, KeQueryInterruptTime())
                       : 0;
    for (;;) {
        const ULONG length = NextBlockLocked(port, block, &budget);
        if (length == 0) {
            break;
        }
        // Counted before the port sees them, so a program that has read them finds them
        // counted.
        port->ToPort += length;
        KeReleaseSpinLockFromDpcLevel(&port->Lock);
        ULONG count = length;
        ExNotifyCallback(port->ReceiveObject, block, &count);
        KeAcquireSpinLockAtDpcLevel(&port->Lock);
    }
    PeerPort* xon = FinishRunLocked(port);
    // Delivery made room: a program's writes waiting for it move on.
    const bool writes = !IsListEmpty(&port->Writes) && !port->Closing;
    const bool again = in->Again && !port->Closing;
    in->Again = FALSE;
    in->Delivering = FALSE;
    KeReleaseSpinLockFromDpcLevel(&port->Lock);
    if (xon != NULL) {
        QuarvexPeerSendUrgent(xon, PEER_XON);
    }
    if (again) {
        (void)KeInsertQueueDpc(&port->DeliveryDpc, NULL, NULL);
    }
    if (writes) {
        (void)KeInsertQueueDpc(&port->LinkDpc, NULL, NULL);
    }
}

VOID QuarvexPeerSendUrgent(PeerPort* Port, UCHAR Byte)
{
    PeerLockGuard guard(&Port->Lock);
    const bool kick = QueueUrgentLocked(Port, Byte);
    guard.Release();
    if (kick) {
        (void)KeInsertQueueDpc(&Port->DeliveryDpc, NULL, NULL);
    }
}

VOID QuarvexPeerKick(PeerPort* Port)
{
    PeerLockGuard guard(&Port->Lock);
    const bool closing = Port->Closing;
    guard.Release();
    if (!closing) {
        (void)KeInsertQueueDpc(&Port->DeliveryDpc, NULL, NULL);
    }
}
