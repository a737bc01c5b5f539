// Data-transfer requests: reads with their timeouts and the input-buffer resize, waits on
// event masks and the error abort.
//
// Contexts: dispatch routines at PASSIVE_LEVEL; start routines (called by the queues), DPCs
// and cancel routines at DISPATCH_LEVEL. Every request that several parties can end carries a
// reference set in the port record (ReadRefs, WaitRefs); each party clears its own bit under
// PortLock, and the one that leaves the set empty releases PortLock, starts the queue's next
// request and completes the request.
// Locks: PortLock guards every field used here; cancel routines release the cancel spin lock
// before they take PortLock and return to the request's CancelIrql when they release it.
// Queue operations and completions happen with PortLock released.
#pragma once

#include <ntddk.h>

#include "port/port.h"

// ---- Timeouts ----------------------------------------------------------------------------

// The relative due time of a total timeout: Count x Multiplier + Constant milliseconds,
// computed in 64 bits and saturated at the longest relative due time instead of wrapping into
// an absolute or short one. Reads, writes and the immediate character (Count 0) share it.
inline LONGLONG QuarvexTimeoutDue(ULONG Count, ULONG Multiplier, ULONG Constant)
{
    constexpr LONGLONG LONGEST = 0x7FFFFFFFFFFFFFFFLL;
    constexpr ULONGLONG MAX_MILLISECONDS = static_cast<ULONGLONG>(LONGEST) / 10000ULL;
    // At most (2^32 - 1)^2 + 2^32 - 1, below 2^64: the sum itself cannot wrap.
    const ULONGLONG milliseconds = static_cast<ULONGLONG>(Count) * Multiplier + Constant;
    if (milliseconds > MAX_MILLISECONDS) {
        return -LONGEST;
    }
    return -static_cast<LONGLONG>(milliseconds * 10000ULL);
}

// ---- Reads -------------------------------------------------------------------------------

// IRP_MJ_READ.  IRQL: PASSIVE_LEVEL.
// Irp: completed (zero length, error abort) or handed to ReadQueue (STATUS_PENDING).
DRIVER_DISPATCH QuarvexReadDispatch;

// Start routine of ReadQueue: serves a read or an input-buffer resize.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock.  Irp: completed now, or held by ReadRefs.
VOID NTAPI ReadQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Moves the oldest held characters into the current read's buffer.
// Locks: PortLock held.
VOID QuarvexCopyFromInput(PortDeviceRecord* Port);

// Swaps in the larger input ring that the control path allocated.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock.  Returns STATUS_SUCCESS.
NTSTATUS QuarvexResizeInput(PortDeviceRecord* Port, PIRP Irp);

// Takes the current read away from the receive path.
// Locks: PortLock held.
VOID QuarvexSerialStopCurrentRead(PortDeviceRecord* Port);

// Cancel routine of the current read.
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry (released first).
DRIVER_CANCEL QuarvexSerialCancelCurrentRead;

// DPCs of the current read: total timeout, buffer filled, interval polling.
KDEFERRED_ROUTINE QuarvexSerialReadTimeout;
KDEFERRED_ROUTINE QuarvexSerialReadComplete;
KDEFERRED_ROUTINE QuarvexSerialReadIntervalTimeout;

// ---- Waits on event masks and the error abort ---------------------------------------------

// Start routine of MaskQueue: SET_WAIT_MASK and WAIT_ON_MASK.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock.  Irp: completed, or becomes the pending wait.
VOID NTAPI MaskQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cancel routine of the pending wait.
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry (released first).
DRIVER_CANCEL QuarvexCancelWaitMask;

// Disarms the pending wait's result slot (its buffer gets 0).
// Locks: PortLock held.
VOID QuarvexSerialStopWaitMask(PortDeviceRecord* Port);

// DPC that completes a wait whose events were reported.
KDEFERRED_ROUTINE QuarvexSerialWaitComplete;

// Reports SERIAL_EV_TXEMPTY when it is in the mask and nothing is queued for transmission.
// Locks: PortLock held.
VOID QuarvexReportTxEmpty(PortDeviceRecord* Port);

// DPC of the error abort: cancels the current and waiting reads and writes.
KDEFERRED_ROUTINE QuarvexSerialError;

// Refuses Irp with STATUS_CANCELLED while the error abort holds (SERIAL_ERROR_ABORT set and
// an error recorded), except IOCTL_SERIAL_GET_COMMSTATUS.
// IRQL: <= DISPATCH_LEVEL.  Irp: completed when the result is STATUS_CANCELLED.
NTSTATUS QuarvexCheckForError(PortDeviceRecord* Port, PIRP Irp);

// ---- Input ring ------------------------------------------------------------------------

// Size of the input ring that each open allocates.
constexpr ULONG INPUT_BUFFER_DEFAULT_SIZE = 4096;

// Tag of a larger input ring from a queue-size change (charged to the caller's quota); its
// four bytes read "qrvi".
constexpr ULONG QUARVEX_INPUT_POOL_TAG = static_cast<ULONG>('q') | (static_cast<ULONG>('r') << 8) |
                                         (static_cast<ULONG>('v') << 16) |
                                         (static_cast<ULONG>('i') << 24);

// The tag the current input ring was allocated with.
ULONG QuarvexInputBufferTag(const PortDeviceRecord* Port);
