// Power and WMI: the port keeps no power state of its own and publishes no WMI data, so both
// dispatchers hand their requests on, counted so that removal waits for them.

#include <ntddk.h>
#include <wmilib.h>

#include "driver/driver.h"
#include "port/port.h"
#include "trace/trace.h"

NTSTATUS NTAPI QuarvexPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_POWER, 3, "QuarvexPowerDispatch++. IRP %p", Irp);
    QuarvexTraceIrp(Irp);

    if (!QuarvexIoIncrement(port)) {
        PoStartNextPowerIrp(Irp);
        QuarvexCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
        QuarvexTrace(TRACE_POWER, 2, "QuarvexPowerDispatch--. IRP %p STATUS %x", Irp,
                     STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    // Read before the request leaves: the trace level depends on it.
    const BOOLEAN notStarted = port->PnpState == PNP_NOT_STARTED;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = PoCallDriver(port->LowerDeviceObject, Irp);
    QuarvexIoDecrement(port);
    QuarvexTrace(TRACE_POWER, notStarted ? 2 : 3, "QuarvexPowerDispatch--. IRP %p STATUS %x", Irp,
                 status);
    return status;
}

NTSTATUS NTAPI QuarvexSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    QuarvexTrace(TRACE_WMI, 3, "QuarvexSystemControlDispatch++. IRP %p", Irp);
    QuarvexTraceIrp(Irp);

    if (!QuarvexIoIncrement(port)) {
        QuarvexCompleteRequest(Irp, STATUS_DELETE_PENDING);
        QuarvexTrace(TRACE_WMI, 2, "QuarvexSystemControlDispatch--. IRP %p, STATUS %x", Irp,
                     STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }

    SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
    NTSTATUS status = WmiSystemControl(&port->WmiLibContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IrpNotWmi:
    case IrpForward:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IofCallDriver(port->LowerDeviceObject, Irp);
        break;
    }
    QuarvexIoDecrement(port);
    QuarvexTrace(TRACE_WMI, 3, "QuarvexSystemControlDispatch--. IRP %p, STATUS %x", Irp, status);
    return status;
}
