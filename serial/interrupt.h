// The interrupt service of the emulated UART, the modem lines and the flow-control rules.
//
// Contexts: everything here runs at DISPATCH_LEVEL with PortLock held; the interrupt service
// (the UART's interrupt DPC) takes PortLock itself and holds it for its whole run. No routine
// here completes a request: completions are DPCs that take PortLock on their own.
// Lock order: PortLock, then TransmitLock or ReceiveLock inside the UART operations.
#pragma once

#include <ntddk.h>

#include "port/kcompat.h"
#include "port/port.h"

// ---- Interrupt service -------------------------------------------------------------------

// The UART's interrupt DPC: serves received data, transmit-empty, line and modem status.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock for the whole run.
KDEFERRED_ROUTINE QuarvexInterruptService;

// Reads the line status and notes whether the transmitter is empty; records line errors.
// Locks: PortLock held.
UCHAR QuarvexProcessLineStatus(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);

// Drains the UART's receive buffer into the input ring or the current read.
// Locks: PortLock held.  Returns the line status of its last check.
UCHAR QuarvexServiceReceive(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);

// Hands the next thing to send to the transmitter and queues its completion DPC. A write is
// fed in pieces that fit the transmit buffer; the rest waits for the next pass.
// Locks: PortLock held.  Returns TRUE when something was handed over.
BOOLEAN QuarvexServiceTransmit(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);

// Stores one received character (flow control, events, direct reads).
// Locks: PortLock held.
VOID QuarvexPutChar(PortDeviceRecord* Port, UCHAR Ch) QUARVEX_REQUIRES(Port->PortLock);

// Turns modem-line changes into events, DSR sensitivity and output holds.
// Locks: PortLock held.  Returns the modem status read, delta bits included.
UCHAR QuarvexHandleModemUpdate(PortDeviceRecord* Port, BOOLEAN DoingTransmit)
    QUARVEX_REQUIRES(Port->PortLock);

// Adds Events (only those in WaitMask) to EventHistory and reports them to a pending wait.
// Locks: PortLock held.
VOID QuarvexReportEvents(PortDeviceRecord* Port, ULONG Events) QUARVEX_REQUIRES(Port->PortLock);

// ---- Modem lines and flow control (PortLock held, DISPATCH_LEVEL) --------------------------

VOID QuarvexRaiseDtr(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
VOID QuarvexDropDtr(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
VOID QuarvexRaiseRts(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
VOID QuarvexDropRts(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
VOID QuarvexBreakOn(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
VOID QuarvexBreakOff(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
// Holds the transmitter as if an Xoff had arrived; nothing is sent.
VOID QuarvexSimulateXoff(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
// Releases that hold as if an Xon had arrived.
VOID QuarvexSimulateXon(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
// Asks the transmitter to send Xon (TRUE) or Xoff (FALSE); a later request replaces an
// earlier one not yet served.
VOID QuarvexRequestFlowChar(PortDeviceRecord* Port, BOOLEAN SendXon)
    QUARVEX_REQUIRES(Port->PortLock);
// Brings lines and holds in line with NewHandFlow, then stores it.
VOID QuarvexApplyHandFlow(PortDeviceRecord* Port, const SERIAL_HANDFLOW* NewHandFlow)
    QUARVEX_REQUIRES(Port->PortLock);
// QuarvexApplyHandFlow, then a modem-status update under the new settings.
VOID QuarvexSetHandFlow(PortDeviceRecord* Port, const SERIAL_HANDFLOW* NewHandFlow)
    QUARVEX_REQUIRES(Port->PortLock);
// Releases receive holds once the input buffer has drained to XonLimit.
VOID QuarvexReleaseReceiveHolds(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
// Whether the transmitter has something that no hold keeps back.
BOOLEAN QuarvexTransmitCanGo(const PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
// Kicks the transmitter when something waits to be sent (the service checks the holds).
VOID QuarvexKickIfWaiting(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->PortLock);
