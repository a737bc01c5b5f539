// The WMI library's dispatcher for drivers that register no data blocks. A request that is
// not a WMI request, or that targets another provider, is left untouched for the caller to
// pass down; one addressed to this device finds no GUID to serve.

#include <wmilib.h>

#include "platform/sim/io_manager.h"
#include "platform/sim/machine_internal.h"

extern "C" NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                           PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    qvx::CheckIrqlCeiling("WmiSystemControl");
    if (IrpDisposition == nullptr || Irp == nullptr) {
        qvx::VerifierReport("WMI_INVALID_PARAMETER",
                            "WmiSystemControl(%p, %p, %p, %p) without a request or a disposition",
                            static_cast<void*>(WmiLibInfo), static_cast<void*>(DeviceObject),
                            static_cast<void*>(Irp), static_cast<void*>(IrpDisposition));
        if (IrpDisposition != nullptr) {
            *IrpDisposition = IrpNotWmi;
        }
        return STATUS_INVALID_PARAMETER;
    }
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || minor > IRP_MN_REGINFO_EX ||
        minor == IRP_MN_EXECUTE_METHOD + 1) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    // Data providers are not emulated: whatever the context lists, no block is served.
    Irp->IoStatus.Status = STATUS_WMI_GUID_NOT_FOUND;
    Irp->IoStatus.Information = 0;
    *IrpDisposition = IrpNotCompleted;
    return STATUS_WMI_GUID_NOT_FOUND;
}
