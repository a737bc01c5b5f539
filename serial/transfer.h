// Data-transfer requests: reads with their timeouts and the input-buffer resize, writes and
// flushes, the immediate character and the Xoff counter, purge, waits on event masks and the
// error abort.
//
// Contexts: dispatch routines at PASSIVE_LEVEL; start routines (called by the queues), DPCs
// and cancel routines at DISPATCH_LEVEL. Every request that several parties can end carries a
// reference set in the port record (ReadRefs, WriteRefs, ImmediateRefs, XoffRefs, WaitRefs);
// each party clears its own bit under PortLock, and the one that leaves the set empty releases
// PortLock, starts the queue's next request and completes the request.
// Locks: PortLock guards every field used here; cancel routines release the cancel spin lock
// before they take PortLock and return to the request's CancelIrql when they release it.
// Queue operations and completions happen with PortLock released.
#pragma once

#include <ntddk.h>

#include "port/port.h"

// ---- Timeouts ----------------------------------------------------------------------------

// The relative due time of a total timeout: Count x Multiplier + Constant milliseconds,
// computed in 64 bits and saturated at the longest relative due time instead of wrapping into
// an absolute or short one. Reads, writes and the immediate character (one byte) share it.
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

// ---- Writes, flushes and the output count ------------------------------------------------
//
// TxQueuedCount holds the bytes of output not yet handed to the transmitter: every accepted
// write (waiting or current), the Xoff character of a started Xoff-counter request and an
// unsent immediate character. QuarvexCountOutputLocked takes bytes out (as they are handed
// over, taken back, or leave unstarted) and reports SERIAL_EV_TXEMPTY when the count falls
// to 0.

// Holders of ImmediateIrp and XoffIrp.
constexpr ULONG IMMEDIATE_REF_ISR = 0x1;
constexpr ULONG IMMEDIATE_REF_CANCEL = 0x2;
constexpr ULONG IMMEDIATE_REF_TOTAL_TIMER = 0x4;
constexpr ULONG XOFF_REF_COUNTER = 0x1;
constexpr ULONG XOFF_REF_CANCEL = 0x2;
constexpr ULONG XOFF_REF_TIMER = 0x4;
// The write path until the write queue has moved past the request.
constexpr ULONG XOFF_REF_STARTING = 0x8;

// IRP_MJ_WRITE.  IRQL: PASSIVE_LEVEL.
// Irp: completed (zero length, error abort) or handed to WriteQueue (STATUS_PENDING).
DRIVER_DISPATCH QuarvexWriteDispatch;

// IRP_MJ_FLUSH_BUFFERS: completes once every write queued before it has ended.
// IRQL: PASSIVE_LEVEL.  Irp: completed (error abort) or handed to WriteQueue.
DRIVER_DISPATCH QuarvexFlushBuffersDispatch;

// Start routine of WriteQueue: a write, a flush or the write phase of an Xoff counter.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock.  Irp: completed now, or held by WriteRefs.
VOID NTAPI WriteQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Drop routine of WriteQueue: a waiting request the queue completes without starting it
// takes its bytes out of the output count.
// IRQL: <= DISPATCH_LEVEL.  Locks: takes PortLock.  Irp: the queue completes it afterwards.
VOID NTAPI QuarvexWriteDropped(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Takes the current write away from the transmit path; its unsent bytes leave the count.
// Locks: PortLock held.
VOID QuarvexSerialStopCurrentWrite(PortDeviceRecord* Port);

// Cancel routine of the current write.
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry (released first).
DRIVER_CANCEL QuarvexSerialCancelCurrentWrite;

// DPCs of the current write: total timeout, all bytes handed over.
KDEFERRED_ROUTINE QuarvexSerialWriteTimeout;
KDEFERRED_ROUTINE QuarvexSerialWriteComplete;

// Takes Count bytes out of TxQueuedCount; reports SERIAL_EV_TXEMPTY when it falls to 0.
// Locks: PortLock held.
VOID QuarvexCountOutputLocked(PortDeviceRecord* Port, ULONG Count);

// AmountInOutQueue of IOCTL_SERIAL_GET_COMMSTATUS.
// Locks: PortLock held.
ULONG QuarvexOutputAmountLocked(PortDeviceRecord* Port);

// ---- Immediate character and Xoff counter -------------------------------------------------

// Starts an immediate character the control path accepted (no other is in progress): it
// becomes ImmediateIrp, counted in TxQueuedCount, with its cancel routine armed in the same
// hold of PortLock, so a cleanup never finds it without one.
// IRQL: DISPATCH_LEVEL.  Locks: PortLock held.
// Irp: STATUS_PENDING (marked pending, held by ImmediateRefs) or STATUS_CANCELLED (found
// cancelled: untouched, for the caller to complete once PortLock is released).
NTSTATUS QuarvexSerialStartImmediate(PortDeviceRecord* Port, PIRP Irp);

// Takes an unsent immediate character back from the transmit path.
// Locks: PortLock held.
VOID QuarvexSerialStopImmediateChar(PortDeviceRecord* Port);

// Cancel routine of ImmediateIrp.
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry (released first).
DRIVER_CANCEL QuarvexSerialCancelImmediate;

// DPCs of ImmediateIrp: timeout, character sent.
KDEFERRED_ROUTINE QuarvexSerialImmediateCharTimeout;
KDEFERRED_ROUTINE QuarvexSerialImmediateCharComplete;

// Ends the counting of XoffIrp, if it still counts.
// Locks: PortLock held.
VOID QuarvexSerialStopXoff(PortDeviceRecord* Port);

// Ends XoffIrp because a write-queue request starts or a purge aborts transmission: stops its
// counter, timer and cancel routine where they can be stopped for certain.
// Locks: PortLock held.  Returns the request, its final status and Information 0 set, to be
// completed after PortLock is released; NULL when another holder completes it.
PIRP QuarvexTakeXoffForMoreWritesLocked(PortDeviceRecord* Port);

// Drops XOFF_REF_STARTING once the write queue has moved past the counting request.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock.  Irp: completed when it was the last holder.
VOID QuarvexXoffStarted(PortDeviceRecord* Port, PIRP Irp);

// Cancel routine of XoffIrp.
// IRQL: DISPATCH_LEVEL, cancel spin lock held on entry (released first).
DRIVER_CANCEL QuarvexSerialCancelCurrentXoff;

// DPCs of XoffIrp: timeout, count reached.
KDEFERRED_ROUTINE QuarvexSerialXoffTimeout;
KDEFERRED_ROUTINE QuarvexSerialXoffComplete;

// Cancels the immediate character and a counting Xoff counter, which no queue holds, as a
// closing handle's cleanup must.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold any; takes PortLock, then the cancel spin
// lock alone.  Irp: each completes STATUS_CANCELLED through its cancel routine.
VOID QuarvexCancelImmediateAndXoff(PortDeviceRecord* Port);

// ---- Purge --------------------------------------------------------------------------------

// Start routine of PurgeQueue.
// IRQL: DISPATCH_LEVEL.  Locks: takes PortLock around the Xoff and input-ring steps only.
// Irp: completed STATUS_SUCCESS after the next purge was started.
VOID NTAPI PurgeQueueStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);

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
