// Count of requests inside the create, Plug and Play, power and system-control dispatchers,
// so that removal does not delete the device under one of them.

#include <ntddk.h>

#include "port/port.h"

BOOLEAN QuarvexIoIncrement(PortDeviceRecord* Port)
{
    // Increment before looking at PnpState, removal stores PnpState before its decrement:
    // either removal waits for this entry or this entry sees Removed and backs out.
    InterlockedIncrement(&Port->OutstandingIo);
    if (Port->PnpState == PNP_REMOVED) {
        QuarvexIoDecrement(Port);
        return FALSE;
    }
    return TRUE;
}

VOID QuarvexIoDecrement(PortDeviceRecord* Port)
{
    // Zero only after removal has dropped the device's own reference.
    if (InterlockedDecrement(&Port->OutstandingIo) == 0) {
        (void)KeSetEvent(&Port->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID QuarvexIoDecrementAndWait(PortDeviceRecord* Port)
{
    Port->PnpState = PNP_REMOVED;
    QuarvexIoDecrement(Port);
    (void)KeWaitForSingleObject(&Port->RemoveEvent, Executive, KernelMode, FALSE, NULL);
}
