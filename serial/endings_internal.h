// Endings of the requests that several holders end (the read, the write queue's request, the
// immediate character and the counting Xoff counter), shared by read.cpp, write.cpp and
// immediate.cpp. Each step is one routine, told by a RequestKind which fields hold the
// request; the protocol itself is stated at the top of serial/transfer.h.
//
// Contexts: DISPATCH_LEVEL, in start routines, DPCs and cancel routines.
// Locks: PortLock held on entry by every routine here; QuarvexFinishRequest releases it.
#pragma once

#include <ntddk.h>

#include "port/kcompat.h"
#include "port/port.h"
#include "serial/transfer.h"

// Where the port keeps what the endings need of one kind of request.
struct RequestKind
{
    ULONG PortDeviceRecord::*Refs;   // the holders' reference set
    KTIMER PortDeviceRecord::*Timer; // a timer that holds the request
    ULONG TimerBit;                  // that timer's reference
    ULONG CancelBit;                 // the cancel routine's reference
    // The queue the request is current in, whose next request starts when it ends; NULL for a
    // request no queue holds.
    RequestQueue PortDeviceRecord::*Queue;
    // Where the port names a request no queue holds (cleared by its last holder); else NULL.
    PIRP PortDeviceRecord::*Slot;
};

inline constexpr RequestKind READ_REQUEST = {
    &PortDeviceRecord::ReadRefs,  &PortDeviceRecord::ReadTotalTimer,
    READ_REF_TOTAL_TIMER,         READ_REF_CANCEL,
    &PortDeviceRecord::ReadQueue, nullptr};
// The read again, with its interval timer as the timer.
inline constexpr RequestKind READ_INTERVAL = {
    &PortDeviceRecord::ReadRefs,  &PortDeviceRecord::ReadIntervalTimer,
    READ_REF_INTERVAL_TIMER,      READ_REF_CANCEL,
    &PortDeviceRecord::ReadQueue, nullptr};
inline constexpr RequestKind WRITE_REQUEST = {
    &PortDeviceRecord::WriteRefs,  &PortDeviceRecord::WriteTotalTimer,
    WRITE_REF_TOTAL_TIMER,         WRITE_REF_CANCEL,
    &PortDeviceRecord::WriteQueue, nullptr};
inline constexpr RequestKind IMMEDIATE_REQUEST = {&PortDeviceRecord::ImmediateRefs,
                                                  &PortDeviceRecord::ImmediateTimer,
                                                  IMMEDIATE_REF_TOTAL_TIMER,
                                                  IMMEDIATE_REF_CANCEL,
                                                  nullptr,
                                                  &PortDeviceRecord::ImmediateIrp};
inline constexpr RequestKind XOFF_REQUEST = {&PortDeviceRecord::XoffRefs,
                                             &PortDeviceRecord::XoffTimer,
                                             XOFF_REF_TIMER,
                                             XOFF_REF_CANCEL,
                                             nullptr,
                                             &PortDeviceRecord::XoffIrp};

// Drops the timer's reference when the timer still holds the request and is cancelled before
// it fires; a timer that fired has its DPC on the way, which drops the reference itself.
// IRQL: DISPATCH_LEVEL.  Locks: PortLock held.
VOID QuarvexStopTimerLocked(PortDeviceRecord* Port, const RequestKind& Kind)
    QUARVEX_REQUIRES(Port->PortLock);

// Drops the cancel routine's reference when it still holds Irp and is taken back before the
// I/O manager calls it; one already called drops the reference itself.
// IRQL: DISPATCH_LEVEL.  Locks: PortLock held.
VOID QuarvexTakeCancelLocked(PortDeviceRecord* Port, const RequestKind& Kind, PIRP Irp)
    QUARVEX_REQUIRES(Port->PortLock);

// Records Status as the ending of a request no queue holds, unless an earlier ending was
// recorded (IoStatus.Status is no longer STATUS_PENDING); returns the recorded one. Such a
// request ends with its first ending, except that its own success (character sent, count
// reached) is stored over any other by the path that saw it.
NTSTATUS QuarvexRecordEnding(PIRP Irp, NTSTATUS Status);

// Ends one holder's part in Irp, a request of Kind whose reference this holder has dropped.
// IRQL: DISPATCH_LEVEL on entry, NewIrql on exit.
// Locks: PortLock held on entry; released here for the caller (to NewIrql).
// Irp: untouched while other holders remain. The last holder ends it: a queued request's
// queue starts its next request, then Irp is completed with Status, or handed to HandOn when
// that is not NULL; a request no queue holds leaves its slot and is completed with its first
// recorded ending and Information 0.
VOID QuarvexFinishRequest(PortDeviceRecord* Port, const RequestKind& Kind, PIRP Irp,
                          NTSTATUS Status, KIRQL NewIrql,
                          VOID (*HandOn)(PortDeviceRecord* Port, PIRP Irp))
    QUARVEX_RELEASES(Port->PortLock);
