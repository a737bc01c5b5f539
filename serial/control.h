// The serial I/O-control dispatcher: every IOCTL_SERIAL_* code of the port.
//
// Contexts: the dispatch entry runs at PASSIVE_LEVEL in the caller's thread; a request parked
// by the control gate comes back through it when the device restarts.
// Locks: PortLock (raising to DISPATCH_LEVEL) around the work of the codes that touch the
// serial state; the baud block goes to the UART at DISPATCH_LEVEL under TransmitLock alone.
// The gate's and the queues' locks are taken inside their own operations, never around a
// code's work. No lock is held while a request is completed or handed on.
#pragma once

#include <ntddk.h>

#include "port/port.h"

// IRP_MJ_DEVICE_CONTROL of the port.
// IRQL: PASSIVE_LEVEL.  Irp: completed, parked by the gate or handed to a queue or to the
// immediate-character start; returns the status QuarvexSerialIoControl returned.
DRIVER_DISPATCH QuarvexDeviceIoControlDispatch;

// Checks, serves or hands on one control request.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
// Irp: completed with the returned status, or kept (STATUS_PENDING) by the gate, a queue or
// the immediate-character start; the caller does not touch it again.
NTSTATUS QuarvexSerialIoControl(PortDeviceRecord* Port, PIRP Irp);

// Drop routine of ReadQueue: frees the new input ring of a resize that the queue ends without
// starting it (cancelled while it waited).
// IRQL: <= DISPATCH_LEVEL.  Irp: only its stack location is changed; the queue completes it.
VOID NTAPI QuarvexDropInputResize(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Starts ImmediateIrp, which the dispatcher has set and counted in TxQueuedCount.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
// Irp: completed (the returned status) or kept by the transmit path (STATUS_PENDING).
NTSTATUS QuarvexSerialStartImmediate(PortDeviceRecord* Port);
