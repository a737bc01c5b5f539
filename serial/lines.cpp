// Modem-control lines, hold reasons and flow control. Every routine runs with PortLock held
// at DISPATCH_LEVEL and takes no lock itself.

#include <ntddk.h>
#include <ntddser.h>

#include "driver/kcompat.h"
#include "serial/interrupt.h"

namespace {

// After a hold was lifted: restart a transmitter that has something it may send.
VOID KickIfReleased(PortDeviceRecord* Port)
{
    if (QuarvexTransmitCanGo(Port) && Port->ThrEmpty) {
        QuarvexUartSignalThre(&Port->Uart);
    }
}

bool AtXoffPoint(const PortDeviceRecord* Port, const SERIAL_HANDFLOW* New)
{
    return Port->InputBufferSize - static_cast<ULONG>(New->XoffLimit) <= Port->InputCount;
}

// The DTR and RTS handshakes share one shape: hold at the Xoff point, release above XonLimit
// only when not held (the release at or below XonLimit is left to the read path).
VOID ApplyLineHandshake(PortDeviceRecord* Port, const SERIAL_HANDFLOW* New, ULONG HoldBit,
                        VOID (*Raise)(PortDeviceRecord*), VOID (*Drop)(PortDeviceRecord*))
{
    if (AtXoffPoint(Port, New)) {
        Port->RxHoldReasons |= HoldBit;
        Drop(Port);
    } else if ((Port->RxHoldReasons & HoldBit) == 0) {
        Raise(Port);
    } else if (Port->InputCount > static_cast<ULONG>(New->XonLimit)) {
        Port->RxHoldReasons &= ~HoldBit;
        Raise(Port);
    }
}

} // namespace

VOID QuarvexRaiseDtr(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexUartWriteMcr(&Port->Uart, QuarvexUartReadMcr(&Port->Uart) | UART_MCR_DTR);
}

VOID QuarvexDropDtr(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexUartWriteMcr(&Port->Uart,
                        static_cast<UCHAR>(QuarvexUartReadMcr(&Port->Uart) & ~UART_MCR_DTR));
}

VOID QuarvexRaiseRts(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexUartWriteMcr(&Port->Uart, QuarvexUartReadMcr(&Port->Uart) | UART_MCR_RTS);
}

VOID QuarvexDropRts(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexUartWriteMcr(&Port->Uart,
                        static_cast<UCHAR>(QuarvexUartReadMcr(&Port->Uart) & ~UART_MCR_RTS));
}

VOID QuarvexBreakOn(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if ((Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        QuarvexRaiseRts(Port);
    }
    QuarvexUartWriteLcr(&Port->Uart, QuarvexUartReadLcr(&Port->Uart) | UART_LCR_BREAK);
    Port->TxHoldReasons |= TX_HOLD_BREAK;
}

VOID QuarvexBreakOff(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if ((Port->TxHoldReasons & TX_HOLD_BREAK) == 0) {
        return;
    }
    QuarvexUartWriteLcr(&Port->Uart,
                        static_cast<UCHAR>(QuarvexUartReadLcr(&Port->Uart) & ~UART_LCR_BREAK));
    Port->TxHoldReasons &= ~TX_HOLD_BREAK;
    KickIfReleased(Port);
}

VOID QuarvexSimulateXoff(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    Port->TxHoldReasons |= TX_HOLD_XOFF;
}

VOID QuarvexSimulateXon(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if (Port->TxHoldReasons == 0) {
        return;
    }
    Port->TxHoldReasons &= ~TX_HOLD_XOFF;
    KickIfReleased(Port);
}

VOID QuarvexRequestFlowChar(PortDeviceRecord* Port, BOOLEAN SendXon)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    // Every request kicks, also one that replaces a request not yet served: that one's kick
    // may have found the transmitter held. The interrupt service runs only once PortLock is
    // free, and then sees the request.
    Port->SendXonPending = SendXon ? TRUE : FALSE;
    Port->SendXoffPending = SendXon ? FALSE : TRUE;
    if (Port->ThrEmpty) {
        QuarvexUartSignalThre(&Port->Uart);
    }
}

VOID QuarvexApplyHandFlow(PortDeviceRecord* Port, const SERIAL_HANDFLOW* New)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    const SERIAL_HANDFLOW* old = &Port->HandFlow;
    const bool all = !Port->PortIsOpen; // during open every step runs

    const ULONG newDtr = New->ControlHandShake & SERIAL_DTR_MASK;
    if (all || newDtr != (old->ControlHandShake & SERIAL_DTR_MASK)) {
        if (newDtr == 0) {
            Port->RxHoldReasons &= ~RX_HOLD_DTR;
            QuarvexDropDtr(Port);
        } else if (newDtr == SERIAL_DTR_HANDSHAKE) {
            ApplyLineHandshake(Port, New, RX_HOLD_DTR, QuarvexRaiseDtr, QuarvexDropDtr);
        } else {
            Port->RxHoldReasons &= ~RX_HOLD_DTR;
            QuarvexRaiseDtr(Port);
        }
    }

    const ULONG newRts = New->FlowReplace & SERIAL_RTS_MASK;
    if (all || newRts != (old->FlowReplace & SERIAL_RTS_MASK)) {
        if (newRts == SERIAL_RTS_HANDSHAKE) {
            ApplyLineHandshake(Port, New, RX_HOLD_RTS, QuarvexRaiseRts, QuarvexDropRts);
        } else if (newRts == SERIAL_RTS_CONTROL) {
            Port->RxHoldReasons &= ~RX_HOLD_RTS;
            QuarvexRaiseRts(Port);
        } else if (newRts == 0) {
            Port->RxHoldReasons &= ~RX_HOLD_RTS;
            QuarvexDropRts(Port);
        }
        // Transmit toggle: RTS follows the writes, nothing changes here.
    }

    const ULONG newReceive = New->FlowReplace & SERIAL_AUTO_RECEIVE;
    if (all || newReceive != (old->FlowReplace & SERIAL_AUTO_RECEIVE)) {
        if (newReceive != 0) {
            if (AtXoffPoint(Port, New)) {
                Port->RxHoldReasons |= RX_HOLD_XOFF;
                QuarvexRequestFlowChar(Port, FALSE);
            }
        } else if ((Port->RxHoldReasons & RX_HOLD_XOFF) != 0) {
            Port->RxHoldReasons &= ~RX_HOLD_XOFF;
            QuarvexRequestFlowChar(Port, TRUE);
        }
    }

    const ULONG newTransmit = New->FlowReplace & SERIAL_AUTO_TRANSMIT;
    if (all || newTransmit != (old->FlowReplace & SERIAL_AUTO_TRANSMIT)) {
        if (newTransmit == 0 && (Port->TxHoldReasons & TX_HOLD_XOFF) != 0) {
            Port->TxHoldReasons &= ~TX_HOLD_XOFF;
            QuarvexRequestFlowChar(Port, TRUE);
        }
    }

    Port->HandFlow = *New;
}

VOID QuarvexSetHandFlow(PortDeviceRecord* Port, const SERIAL_HANDFLOW* New)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    QuarvexApplyHandFlow(Port, New);
    (void)QuarvexHandleModemUpdate(Port, FALSE);
}

VOID QuarvexReleaseReceiveHolds(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if (Port->RxHoldReasons == 0 ||
        Port->InputCount > static_cast<ULONG>(Port->HandFlow.XonLimit)) {
        return;
    }
    if ((Port->RxHoldReasons & RX_HOLD_DTR) != 0) {
        Port->RxHoldReasons &= ~RX_HOLD_DTR;
        QuarvexRaiseDtr(Port);
    }
    if ((Port->RxHoldReasons & RX_HOLD_RTS) != 0) {
        Port->RxHoldReasons &= ~RX_HOLD_RTS;
        QuarvexRaiseRts(Port);
    }
    if ((Port->RxHoldReasons & RX_HOLD_XOFF) != 0) {
        // The hold stays until the transmitter has sent the Xon.
        QuarvexRequestFlowChar(Port, TRUE);
    }
}

BOOLEAN QuarvexTransmitCanGo(const PortDeviceRecord* Port)
{
    // The same holds as the transmit path: flow characters and the immediate character pass
    // the Xoff holds, data passes none.
    const ULONG holds = Port->TxHoldReasons;
    const bool pastXoff = (holds & ~TX_HOLD_ANY_XOFF) == 0;
    return ((Port->SendXonPending || Port->SendXoffPending || Port->ImmediatePending) &&
            pastXoff) ||
           (Port->WriteLength != 0 && holds == 0);
}

VOID QuarvexKickIfWaiting(PortDeviceRecord* Port)
{
    QUARVEX_ASSERT_HELD(&Port->PortLock);
    if (Port->WriteLength != 0 || Port->ImmediatePending || Port->SendXonPending ||
        Port->SendXoffPending) {
        QuarvexUartSignalThre(&Port->Uart);
    }
}
