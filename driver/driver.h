// Device frame: driver entry, add device, unload, Plug and Play, power, system control and
// port naming.
//
// Contexts: dispatch routines run at PASSIVE_LEVEL in the caller's thread.
// Locks: none of their own; the outstanding-I/O count they use is the port record's
// (port/port.h).
#pragma once

#include <ntddk.h>

struct PortDeviceRecord;

// ---- Driver entry, add device, unload -----------------------------------------------------

// Copy of the service key path given to driver entry (paged pool, freed at unload).
extern UNICODE_STRING RegistryPath;
// Number of the next device name; never reused within one load of the driver.
extern ULONG DeviceCounter;

// Sets up the globals and the dispatch table.  IRQL: PASSIVE_LEVEL.
extern "C" DRIVER_INITIALIZE DriverEntry;
// Creates the port's device object with its record, queues, gate, timers and DPCs, stalled,
// and attaches it above the physical device.  IRQL: PASSIVE_LEVEL.
DRIVER_ADD_DEVICE QuarvexAddDevice;
// Frees the registry path copy; the devices are gone by then.  IRQL: PASSIVE_LEVEL.
DRIVER_UNLOAD QuarvexUnload;

// ---- Plug and Play ------------------------------------------------------------------------

// IRP_MJ_PNP.  IRQL: PASSIVE_LEVEL.  Counted in the outstanding-I/O count.
DRIVER_DISPATCH QuarvexPnpDispatch;

// Sends Irp to LowerDevice and waits until the lower drivers are done with it; the request
// stays with the caller, which completes it.  IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
// Completion routine of QuarvexForwardAndWait: signals the event (Context) when the lower
// driver pended.  IRQL: <= DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE QuarvexForwardCompletion;

// Builds the serial resources: UART, names, peer channel. On failure what was built stays for
// QuarvexFreeSerialResources.  IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexStartSerialDevice(PortDeviceRecord* Port, PIRP Irp);
// Traces the resources the bus assigned; uses none.  IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexStartDevice(PortDeviceRecord* Port, PIRP Irp);
// Releases whatever of the serial resources exists; safe to call twice.  IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexFreeSerialResources(PortDeviceRecord* Port);
NTSTATUS QuarvexFreeResources(PortDeviceRecord* Port);

// ---- Port naming --------------------------------------------------------------------------

// Publishes the link \??\<name>, the SERIALCOMM value and the COM-port interface; on failure
// nothing stays published and PortNameString is released.  IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexPublishPortName(PortDeviceRecord* Port);
// Withdraws what publication created; tolerates a port with nothing published.
// IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexWithdrawPortName(PortDeviceRecord* Port);
// Reads a usable port name ("PortName", else "Identifier") into *PortName and builds the link
// name into LinkName (which comes in empty); both buffers are the caller's on success.
// IRQL: PASSIVE_LEVEL.
NTSTATUS QuarvexBuildSymbolicLinkName(PortDeviceRecord* Port, HANDLE Key, PUNICODE_STRING LinkName,
                                      PWSTR* PortName);
// A paged-pool copy of the value's data (string types terminated), its length in *Length and
// its type in *Type (may be NULL); NULL when it cannot be read.  IRQL: PASSIVE_LEVEL.
PVOID QuarvexRegQueryValueKey(HANDLE Key, PCWSTR ValueName, PULONG Length, PULONG Type);

// ---- Power and WMI ------------------------------------------------------------------------

// IRP_MJ_POWER: passed down.  IRQL: PASSIVE_LEVEL (the device is power-pageable).
DRIVER_DISPATCH QuarvexPowerDispatch;
// IRP_MJ_SYSTEM_CONTROL: to the WMI library, forwarded when it does not complete it.
// IRQL: PASSIVE_LEVEL.
DRIVER_DISPATCH QuarvexSystemControlDispatch;
