// The peer link: the two callback objects of a port, the receive callback, the paced send
// timer, and the open, close and cleanup of the port.
//
// Contexts: set-up and release at PASSIVE_LEVEL (device start and stop); the receive
// callback and the send-timer DPC at DISPATCH_LEVEL, possibly at once on two processors.
// Locks: the receive callback takes ReceiveLock, the send timer TransmitLock, never both;
// the send timer notifies the peer with TransmitLock held.
#pragma once

#include <ntddk.h>

#include "port/port.h"

// The 8-byte control block announcing a baud rate in the transmit stream: this tag, then the
// rate, both 32-bit little-endian.
constexpr ULONG PEER_BAUD_TAG = 0x42415544;
// Peers take a block as a rate only within these bounds, and as data otherwise: the tag may
// occur in application data.
constexpr ULONG PEER_BAUD_RATE_MIN = 1;
constexpr ULONG PEER_BAUD_RATE_MAX = 16000000;
constexpr ULONG PEER_MAX_RECEIVE_BLOCK = 44;

// Initialises the send timer, its DPC and the UART's two buffer locks, once, when the port's
// device is created.
// IRQL: PASSIVE_LEVEL.
VOID QuarvexPrepareCallbacks(PortDeviceRecord* Port);

// Creates or opens both callback objects and registers the receive routine. Frees
// PortNameString and clears it on every path.
// IRQL: PASSIVE_LEVEL.  On failure, what was created stays for QuarvexFreeCallbacks.
NTSTATUS QuarvexInitializeCallbacks(PortDeviceRecord* Port);

// Stops the send timer, hands what the transmitter still holds to the peer (bytes of writes
// that completed are never dropped) and releases what QuarvexInitializeCallbacks created; a
// second call does nothing. Returns once no send-timer DPC is queued or running. The UART's
// interrupt service must be stopped first, so that nothing refills the transmitter.
// IRQL: PASSIVE_LEVEL.
VOID QuarvexFreeCallbacks(PortDeviceRecord* Port);

// Hands what the transmitter holds, and a baud block held back behind it, to the peer now.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold PortLock; takes TransmitLock (peer notified
// under it).
VOID QuarvexSendRemaining(PortDeviceRecord* Port);

// Registered on the receive object: appends the peer's block to the UART's receive buffer.
// IRQL: DISPATCH_LEVEL.  Locks: takes ReceiveLock.
CALLBACK_FUNCTION QuarvexReceiveData;

// Each tick hands the transmit buffer to the peer.
// IRQL: DISPATCH_LEVEL.  Locks: takes TransmitLock (peer notified under it), then PortLock.
KDEFERRED_ROUTINE SendTimerDpcRoutine;

// The number of a name "COMn" (0 to 255), else 0.
LONG QuarvexPortNumberFromName(PCWSTR Name);

// ---- Open, close and cleanup --------------------------------------------------------------

// Send periods outside this range are refused at open (the one in force stays): 0 would fire
// once and never again, and above the maximum the due time no longer fits 32 bits.
constexpr ULONG SEND_PERIOD_MIN_MS = 1;
constexpr ULONG SEND_PERIOD_MAX_MS = 429496;

// IRP_MJ_CREATE: admits one handle, allocates the input ring, resets the line, starts the
// send timer with the registry's "ComPeriod".
// IRQL: PASSIVE_LEVEL.  Locks: takes PortLock.  Irp: completed.
DRIVER_DISPATCH QuarvexCreateDispatch;

// A start that follows a stop while a handle stays open: the UART and the send timer went
// with the serial resources, so they are brought back as the open left them, at SendPeriod.
// IRQL: PASSIVE_LEVEL.  Locks: takes PortLock.
VOID QuarvexResumeOpenPort(PortDeviceRecord* Port, ULONG SendPeriod);

// IRP_MJ_CLOSE: drops break, DTR and RTS, frees the ring, stops the send timer.
// IRQL: PASSIVE_LEVEL.  Locks: takes PortLock.  Irp: completed.
DRIVER_DISPATCH QuarvexCloseDispatch;

// IRP_MJ_CLEANUP: cancels the closing handle's requests in every queue.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.  Irp: completed.
DRIVER_DISPATCH QuarvexCleanupDispatch;

// Opens Path (absolute when Parent is NULL) case-insensitively.
// IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexRegOpenKey(HANDLE Parent, PCWSTR Path, ACCESS_MASK Access, PHANDLE Key);

// Reads the first 4 bytes of value Name (at most 8 bytes long) as a 32-bit number; Value is
// untouched on failure.
// IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexRegReadDword(HANDLE Key, PCWSTR Name, PULONG Value);
