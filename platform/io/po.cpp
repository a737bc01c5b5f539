// The power manager's routines: the recorded power state of a device, the start of the next
// power request, and the call that passes a power request down.

#include "platform/io/io_manager.h"

namespace {

qvx::IoManagerImpl& Io()
{
    return qvx::IoSide::Current().IoCore();
}

} // namespace

extern "C" {

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State)
{
    return Io().SetPowerState(DeviceObject, Type, State);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    Io().StartNextPowerIrp(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Power requests are not serialised here, so passing one down is an ordinary call; the
    // I/O manager checks that a driver passes power requests down this way.
    return Io().CallDriver(DeviceObject, Irp, true);
}

} // extern "C"
