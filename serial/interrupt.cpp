// The interrupt service of the emulated UART: received data into the input ring or the
// current read, transmit of flow characters, the immediate character and write data, line
// and modem status. It holds PortLock for its whole run and only queues completion DPCs.

#include <ntddk.h>
#include <ntddser.h>

#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "serial/input_ring.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"

namespace {

// Drains the UART while the port is closed: nothing is counted, stored or reported.
VOID DrainClosedPort(PortDeviceRecord* Port, UCHAR Iir) QUARVEX_REQUIRES(Port->PortLock)
{
    EmulatedUart* uart = &Port->Uart;
    while ((Iir & UART_IIR_NO_INTERRUPT) == 0) {
        switch (Iir & 0x3F) {
        case UART_IIR_MODEM_STATUS:
            (void)QuarvexUartReadMsr(uart);
            break;
        case UART_IIR_THRE:
            Port->ThrEmpty = TRUE;
            break;
        case UART_IIR_RDA:
        case 0x0C:
            (void)QuarvexUartReadRbr(uart);
            break;
        case UART_IIR_RLS:
            (void)QuarvexUartReadLsr(uart);
            break;
        default:
            break;
        }
        Iir = QuarvexUartReadIir(uart);
    }
}

// One byte of the transmitter's own (flow character or immediate character). Returns FALSE
// when the transmit buffer is full: the byte waits for the next send tick instead of being
// dropped.
bool SendByte(PortDeviceRecord* Port, UCHAR Byte) QUARVEX_REQUIRES(Port->PortLock)
{
    // The baud block is written without PortLock, so the byte may still find the buffer full.
    if (!QuarvexUartWriteThr(&Port->Uart, Byte)) {
        return false;
    }
    Port->Stats.TransmittedCount++;
    return true;
}

VOID FinishWriteHandOver(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    PIRP irp = Port->WriteQueue.CurrentIrp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information =
        stack->MajorFunction == IRP_MJ_WRITE ? stack->Parameters.Write.Length : 1;
    (void)KeInsertQueueDpc(&Port->WriteCompleteDpc, NULL, NULL);
}

} // namespace

VOID QuarvexReportEvents(PortDeviceRecord* Port, ULONG Events)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    Port->EventHistory |= Events & Port->WaitMask;
    if (Port->WaitResultSlot != NULL && Port->EventHistory != 0) {
        *Port->WaitResultSlot = Port->EventHistory;
        Port->EventHistory = 0;
        Port->WaitResultSlot = NULL;
        Port->WaitIrp->IoStatus.Information = sizeof(ULONG);
        (void)KeInsertQueueDpc(&Port->WaitCompleteDpc, NULL, NULL);
    }
}

VOID NTAPI QuarvexInterruptService(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    EmulatedUart* uart = &port->Uart;
    DpcSpinLockGuard guard(&port->PortLock);

    UCHAR iir = QuarvexUartReadIir(uart);
    if ((iir & UART_IIR_NO_INTERRUPT) != 0) {
        return;
    }
    if (!port->PortIsOpen) {
        DrainClosedPort(port, iir);
        return;
    }
    for (;;) {
        while ((iir & UART_IIR_NO_INTERRUPT) == 0) {
            switch (iir & 0x0E) {
            case UART_IIR_MODEM_STATUS:
                (void)QuarvexHandleModemUpdate(port, FALSE);
                break;
            case UART_IIR_THRE:
                (void)QuarvexServiceTransmit(port);
                break;
            case UART_IIR_RDA:
            case 0x0C:
                (void)QuarvexServiceReceive(port);
                break;
            case UART_IIR_RLS:
                (void)QuarvexProcessLineStatus(port);
                break;
            default:
                break;
            }
            iir = QuarvexUartReadIir(uart);
        }
        // Nothing pending: an empty transmitter with work no hold keeps back goes on sending
        // (a hold may have ended during this run). A pass that could hand nothing over
        // (transmit buffer full) ends the run; the send tick kicks the transmitter again.
        const UCHAR lsr = QuarvexProcessLineStatus(port);
        if ((lsr & UART_LSR_THRE) != 0 && QuarvexTransmitCanGo(port) &&
            QuarvexServiceTransmit(port)) {
            iir = QuarvexUartReadIir(uart);
            continue;
        }
        return;
    }
}

UCHAR QuarvexProcessLineStatus(PortDeviceRecord* Port)
{
    const UCHAR lsr = QuarvexUartReadLsr(&Port->Uart);
    Port->ThrEmpty = (lsr & UART_LSR_THRE) != 0 ? TRUE : FALSE;
    if ((lsr & UART_LSR_OVERRUN) != 0) {
        // Bytes the UART had to drop: reported like the line errors of a real chip.
        Port->CommErrors |= SERIAL_ERROR_OVERRUN;
        Port->Stats.SerialOverrunErrorCount++;
        if (Port->LsrMstEscape != 0) {
            QuarvexPutChar(Port, Port->LsrMstEscape);
            QuarvexPutChar(Port, SERIAL_LSRMST_LSR_NODATA);
            QuarvexPutChar(Port, lsr);
        }
        if (Port->WaitMask != 0) {
            QuarvexReportEvents(Port, SERIAL_EV_ERR);
        }
        if ((Port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0) {
            (void)KeInsertQueueDpc(&Port->SerialErrorDpc, NULL, NULL);
        }
    }
    return lsr;
}

namespace {

// Bytes taken from the UART's receive buffer in one go (on the DPC's stack).
constexpr ULONG RECEIVE_RUN_BYTES = 128;

// One received byte: counted, masked, stripped, taken as a flow character or stored with its
// events and escape.
VOID ReceiveByte(PortDeviceRecord* Port, UCHAR Ch) QUARVEX_REQUIRES(Port->PortLock)
{
    Port->Stats.ReceivedCount++;
    const UCHAR ch = Ch & Port->DataMask;
    const ULONG flowReplace = Port->HandFlow.FlowReplace;
    if (ch == 0 && (flowReplace & SERIAL_NULL_STRIPPING) != 0) {
        // Dropped, counted as received.
    } else if ((flowReplace & SERIAL_AUTO_TRANSMIT) != 0 &&
               (ch == Port->SerialChars.XonChar || ch == Port->SerialChars.XoffChar)) {
        // Xoff is tested first: a character that is both acts as Xoff.
        if (ch == Port->SerialChars.XoffChar) {
            Port->TxHoldReasons |= TX_HOLD_XOFF;
        } else {
            Port->TxHoldReasons &= ~TX_HOLD_XOFF;
        }
    } else {
        if (Port->WaitMask != 0) {
            ULONG events = SERIAL_EV_RXCHAR;
            if (ch == Port->SerialChars.EventChar) {
                events |= SERIAL_EV_RXFLAG;
            }
            QuarvexReportEvents(Port, events);
        }
        QuarvexPutChar(Port, ch);
        if (Port->LsrMstEscape != 0 && ch == Port->LsrMstEscape) {
            QuarvexPutChar(Port, SERIAL_LSRMST_ESCAPE);
        }
    }
}

// Whether every byte goes to the receive target as it is, masked: nothing to strip, take as a
// flow character, report or escape, no DSR to look at, no Xoff countdown.
bool ReceivesPlainly(const PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    return (Port->HandFlow.FlowReplace & (SERIAL_NULL_STRIPPING | SERIAL_AUTO_TRANSMIT)) == 0 &&
           Port->WaitMask == 0 && Port->LsrMstEscape == 0 &&
           (Port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) == 0 &&
           Port->XoffCountdown == 0;
}

// Bytes the ring takes from here on before one finds it full or reaches the Xoff point with a
// receive hold still to raise: that byte goes through QuarvexPutChar.
ULONG PlainRingRoom(const PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    ULONG room = Port->InputBufferSize - Port->InputCount;
    const ULONG handShake = Port->HandFlow.ControlHandShake;
    const ULONG flowReplace = Port->HandFlow.FlowReplace;
    const ULONG held = Port->RxHoldReasons;
    const bool holdToRaise =
        ((handShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && (held & RX_HOLD_DTR) == 0) ||
        ((flowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && (held & RX_HOLD_RTS) == 0) ||
        ((flowReplace & SERIAL_AUTO_RECEIVE) != 0 && (held & RX_HOLD_XOFF) == 0);
    if (holdToRaise) {
        const ULONG point = Port->InputBufferSize - static_cast<ULONG>(Port->HandFlow.XoffLimit);
        const ULONG before = point > Port->InputCount + 1 ? point - Port->InputCount - 1 : 0;
        room = before < room ? before : room;
    }
    return room;
}

// A read that returns with whatever arrives ends with the first byte stored in it.
VOID EndReadReturningAny(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock)
{
    if (Port->ReadReturnWhenAny) {
        // The completion DPC takes the buffer back from the receive path.
        Port->ReadReturnWhenAny = FALSE;
        Port->ReadCompletionQueued = TRUE;
        (void)KeInsertQueueDpc(&Port->ReadCompleteDpc, NULL, NULL);
    }
}

// A run as ReceiveByte would store it byte by byte, in copies: bytes that need more than a
// store (the one that fills a read, the Xoff point, a full ring) go through QuarvexPutChar.
VOID ReceivePlainRun(PortDeviceRecord* Port, const UCHAR* Bytes, ULONG Count)
    QUARVEX_REQUIRES(Port->PortLock)
{
    Port->Stats.ReceivedCount += Count;
    while (Count > 0) {
        ULONG stored = 0;
        if (QuarvexInputRingTargetsRead(Port)) {
            const ULONG room = QuarvexInputRingReadRoom(Port) - 1;
            stored = Count < room ? Count : room;
            if (stored > 0) {
                Port->CharsReadByIsr += stored;
                QuarvexInputRingPutDirectRun(Port, Bytes, stored);
                EndReadReturningAny(Port);
            }
        } else {
            const ULONG room = PlainRingRoom(Port);
            stored = Count < room ? Count : room;
            if (stored > 0) {
                QuarvexInputRingPutRun(Port, Bytes, stored);
            }
        }
        if (stored == 0) {
            QuarvexPutChar(Port, *Bytes);
            stored = 1;
        }
        Bytes += stored;
        Count -= stored;
        if (Count > 0) {
            // What the line-status read between two bytes would leave.
            Port->ThrEmpty = TRUE;
        }
    }
}

} // namespace

UCHAR QuarvexServiceReceive(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    UCHAR run[RECEIVE_RUN_BYTES];
    UCHAR lsr;
    do {
        // A run read in one go is what byte-by-byte reads return when no block arrives
        // between them; the line status read after each of those would show no errors and
        // more data, so it is read once, after the run. With line errors recorded the UART
        // gives one byte, after which they are reported.
        ULONG count = QuarvexUartReadRbrRun(&Port->Uart, run, RECEIVE_RUN_BYTES);
        if (count == 0) {
            run[0] = QuarvexUartReadRbr(&Port->Uart);
            count = 1;
        }
        if (ReceivesPlainly(Port)) {
            const UCHAR mask = Port->DataMask;
            for (ULONG i = 0; i < count; ++i) {
                run[i] &= mask;
            }
            ReceivePlainRun(Port, run, count);
        } else {
            for (ULONG i = 0; i < count; ++i) {
                if (i > 0) {
                    Port->ThrEmpty = TRUE;
                }
                ReceiveByte(Port, run[i]);
            }
        }
        lsr = QuarvexProcessLineStatus(Port);
    } while ((lsr & UART_LSR_DATA_READY) != 0);
    return lsr;
}

VOID QuarvexPutChar(PortDeviceRecord* Port, UCHAR Ch)
{
    const ULONG handShake = Port->HandFlow.ControlHandShake;
    const ULONG flowReplace = Port->HandFlow.FlowReplace;
    if ((handShake & SERIAL_DSR_SENSITIVITY) != 0) {
        (void)QuarvexHandleModemUpdate(Port, FALSE);
        if ((Port->RxHoldReasons & RX_HOLD_DSR) != 0) {
            return;
        }
    }

    if (Port->XoffCountdown != 0 && --Port->XoffCountdown == 0) {
        Port->XoffIrp->IoStatus.Status = STATUS_SUCCESS;
        Port->XoffIrp->IoStatus.Information = 0;
        (void)KeInsertQueueDpc(&Port->XoffCompleteDpc, NULL, NULL);
    }

    if (QuarvexInputRingTargetsRead(Port)) {
        // A read is being filled directly: no flow control on this path.
        Port->CharsReadByIsr++;
        if (QuarvexInputRingPutDirect(Port, Ch)) {
            PIRP read = Port->ReadQueue.CurrentIrp;
            read->IoStatus.Information = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
            Port->ReadReturnWhenAny = FALSE;
            // Queued once per read: a run already dequeued on another processor must not be
            // followed by a second one.
            if (!Port->ReadCompletionQueued) {
                Port->ReadCompletionQueued = TRUE;
                (void)KeInsertQueueDpc(&Port->ReadCompleteDpc, NULL, NULL);
            }
            return;
        }
        EndReadReturningAny(Port);
        return;
    }

    // Receive flow control anticipates the character about to be stored.
    const bool atXoffPoint = Port->InputBufferSize - static_cast<ULONG>(Port->HandFlow.XoffLimit) <=
                             Port->InputCount + 1;
    if (atXoffPoint) {
        if ((handShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
            (Port->RxHoldReasons & RX_HOLD_DTR) == 0) {
            Port->RxHoldReasons |= RX_HOLD_DTR;
            QuarvexDropDtr(Port);
        }
        if ((flowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
            (Port->RxHoldReasons & RX_HOLD_RTS) == 0) {
            Port->RxHoldReasons |= RX_HOLD_RTS;
            QuarvexDropRts(Port);
        }
        if ((flowReplace & SERIAL_AUTO_RECEIVE) != 0 && (Port->RxHoldReasons & RX_HOLD_XOFF) == 0) {
            Port->RxHoldReasons |= RX_HOLD_XOFF;
            QuarvexRequestFlowChar(Port, FALSE);
        }
    }

    if (Port->InputCount < Port->InputBufferSize) {
        QuarvexInputRingPut(Port, Ch);
        if (Port->InputCount == Port->InputFullMark && (Port->WaitMask & SERIAL_EV_RX80FULL) != 0) {
            QuarvexReportEvents(Port, SERIAL_EV_RX80FULL);
        }
        return;
    }

    // Ring full: the character is lost.
    Port->Stats.BufferOverrunErrorCount++;
    Port->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
    if ((flowReplace & SERIAL_ERROR_CHAR) != 0) {
        QuarvexInputRingReplaceNewest(Port, Port->SerialChars.ErrorChar);
    }
    if ((handShake & SERIAL_ERROR_ABORT) != 0) {
        (void)KeInsertQueueDpc(&Port->SerialErrorDpc, NULL, NULL);
    }
}

BOOLEAN QuarvexServiceTransmit(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    Port->ThrEmpty = TRUE;
    if (Port->WriteLength == 0 && !Port->ImmediatePending && !Port->SendXoffPending &&
        !Port->SendXonPending) {
        return FALSE;
    }
    if ((Port->HandFlow.ControlHandShake & SERIAL_OUT_HANDSHAKEMASK) != 0) {
        (void)QuarvexHandleModemUpdate(Port, TRUE);
    }

    // Flow characters pass either Xoff hold: a port held by the peer's Xoff must still be able
    // to stop the peer in turn. The Xon ends only the port's own hold.
    const bool pastXoff = (Port->TxHoldReasons & ~TX_HOLD_ANY_XOFF) == 0;
    if (Port->SendXonPending && pastXoff) {
        if (!SendByte(Port, Port->SerialChars.XonChar)) {
            return FALSE;
        }
        Port->TxHoldReasons &= ~TX_HOLD_OWN_XOFF;
        Port->RxHoldReasons &= ~RX_HOLD_XOFF;
        Port->SendXonPending = FALSE;
        Port->XoffSent = FALSE;
        Port->ThrEmpty = FALSE;
        return TRUE;
    }
    if (Port->SendXoffPending && pastXoff) {
        if (!SendByte(Port, Port->SerialChars.XoffChar)) {
            return FALSE;
        }
        if ((Port->HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE) == 0) {
            Port->TxHoldReasons |= TX_HOLD_OWN_XOFF; // stop sending after the Xoff
        }
        Port->SendXoffPending = FALSE;
        Port->XoffSent = TRUE;
        Port->ThrEmpty = FALSE;
        return TRUE;
    }
    if (Port->ImmediatePending && pastXoff) {
        // The immediate character passes the Xoff holds, no other.
        if (!SendByte(Port, Port->ImmediateChar)) {
            return FALSE;
        }
        Port->ImmediatePending = FALSE;
        QuarvexCountOutputLocked(Port, 1);
        Port->ThrEmpty = FALSE;
        (void)KeInsertQueueDpc(&Port->ImmediateCompleteDpc, NULL, NULL);
        return TRUE;
    }
    if (Port->WriteLength == 0 || Port->TxHoldReasons != 0) {
        return FALSE;
    }

    // Feed what fits; the rest goes once the send tick has emptied the buffer. Every RTS mode
    // sends, transmit toggle included (it only moves RTS around the writes).
    ULONG length = Port->WriteLength;
    const ULONG room = QuarvexUartTxRoom(&Port->Uart);
    const ULONG blockRoom = room > 0 ? room - 1 : 0;
    if (length > blockRoom) {
        length = blockRoom;
    }
    // The baud block may take the room between the measure and the write; the piece then
    // waits for the next pass.
    if (length == 0 || !QuarvexUartWriteThrBlock(&Port->Uart, Port->WriteNextChar, length)) {
        return FALSE;
    }
    Port->Stats.TransmittedCount += length;
    Port->WriteNextChar += length;
    Port->WriteLength -= length;
    QuarvexCountOutputLocked(Port, length);
    Port->ThrEmpty = FALSE;
    if (Port->WriteLength == 0) {
        FinishWriteHandOver(Port);
    }
    return TRUE;
}

UCHAR QuarvexHandleModemUpdate(PortDeviceRecord* Port, BOOLEAN DoingTransmit)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    const ULONG oldHold = Port->TxHoldReasons;
    const UCHAR msr = QuarvexUartReadMsr(&Port->Uart);
    const ULONG handShake = Port->HandFlow.ControlHandShake;

    if (Port->LsrMstEscape != 0 && (msr & UART_MSR_DELTAS) != 0) {
        QuarvexPutChar(Port, Port->LsrMstEscape);
        QuarvexPutChar(Port, SERIAL_LSRMST_MST);
        QuarvexPutChar(Port, msr);
    }

    if ((handShake & SERIAL_DSR_SENSITIVITY) != 0 && (msr & UART_MSR_DSR) == 0) {
        Port->RxHoldReasons |= RX_HOLD_DSR;
    } else {
        Port->RxHoldReasons &= ~RX_HOLD_DSR;
    }

    if (Port->WaitMask != 0) {
        ULONG events = 0;
        events |= (msr & 0x01) != 0 ? SERIAL_EV_CTS : 0;
        events |= (msr & 0x02) != 0 ? SERIAL_EV_DSR : 0;
        events |= (msr & 0x04) != 0 ? SERIAL_EV_RING : 0;
        events |= (msr & 0x08) != 0 ? SERIAL_EV_RLSD : 0;
        QuarvexReportEvents(Port, events);
    }

    if ((handShake & SERIAL_OUT_HANDSHAKEMASK) != 0) {
        auto setHold = [Port](bool held, ULONG bit) {
            if (held) {
                Port->TxHoldReasons |= bit;
            } else {
                Port->TxHoldReasons &= ~bit;
            }
        };
        setHold((handShake & SERIAL_CTS_HANDSHAKE) != 0 && (msr & UART_MSR_CTS) == 0, TX_HOLD_CTS);
        setHold((handShake & SERIAL_DSR_HANDSHAKE) != 0 && (msr & UART_MSR_DSR) == 0, TX_HOLD_DSR);
        setHold((handShake & SERIAL_DCD_HANDSHAKE) != 0 && (msr & UART_MSR_DCD) == 0, TX_HOLD_DCD);
    } else {
        const ULONG lineHolds = TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD;
        if ((Port->TxHoldReasons & lineHolds) == 0) {
            return msr;
        }
        Port->TxHoldReasons &= ~lineHolds;
    }

    if (!DoingTransmit && oldHold != Port->TxHoldReasons && QuarvexTransmitCanGo(Port) &&
        Port->ThrEmpty) {
        QuarvexUartSignalThre(&Port->Uart);
    }
    return msr;
}
