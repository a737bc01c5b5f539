// Stand-in start of the immediate character until the driver's own lands: the character
// waits for the transmitter and the test port's completion DPC ends the request. No timeout
// and no cancel routine, so a test lets the character go before it closes the port.

#include "serial/control.h"
#include "serial/interrupt.h"

NTSTATUS QuarvexSerialStartImmediate(PortDeviceRecord* Port)
{
    const KIRQL old = KfAcquireSpinLock(&Port->PortLock);
    PIRP irp = Port->ImmediateIrp;
    Port->ImmediateChar = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    Port->ImmediatePending = TRUE;
    IoMarkIrpPending(irp);
    QuarvexUartSignalThre(&Port->Uart);
    KfReleaseSpinLock(&Port->PortLock, old);
    return STATUS_PENDING;
}
