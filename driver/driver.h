// Device frame: driver entry, add device, unload, Plug and Play, power, system control, port
// naming, and the count of requests inside the dispatchers that removal waits for.
//
// Contexts: dispatch routines run at PASSIVE_LEVEL in the caller's thread.
// Locks: the outstanding-I/O count takes none (interlocked only; PnpState read without a lock).
#pragma once

#include <ntddk.h>

struct PortDeviceRecord;

// ---- Outstanding-I/O count ----------------------------------------------------------------
// Counted: the create, Plug and Play, power and system-control dispatchers.

// Counts a dispatcher in; FALSE when the device is removed (the count is already restored and
// the caller must refuse the request).
// IRQL: <= DISPATCH_LEVEL.  Locks: none.
BOOLEAN QuarvexIoIncrement(PortDeviceRecord* Port);

// Counts a dispatcher out; the last one (after removal dropped the device's own reference)
// signals RemoveEvent.
// IRQL: <= DISPATCH_LEVEL.  Locks: none.
VOID QuarvexIoDecrement(PortDeviceRecord* Port);

// Marks the device removed, drops its own reference and waits until every counted dispatcher
// has left. Removal calls it once, after counting itself out.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexIoDecrementAndWait(PortDeviceRecord* Port);
