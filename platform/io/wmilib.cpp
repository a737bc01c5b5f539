// The WMI library's dispatcher for drivers that register no data blocks. A request that is
// not a WMI request, or that targets another provider, is left untouched for the caller to
// pass down. A registration query addressed to this device is answered and completed here
// from the context's GUID list; any other request addressed to it finds no GUID to serve.

#include <wmilib.h>

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/verifier/verifier.h"

namespace {

// No registry path and no MOF resource: the entries carry only what the context lists. A
// buffer too small for the answer receives the size it needs in its first ULONG.
NTSTATUS AnswerRegistration(PWMILIB_CONTEXT context, PIRP irp, PIO_STACK_LOCATION stack,
                            PSYSCTL_IRP_DISPOSITION disposition)
{
    const ULONG count = context != nullptr && context->GuidList != nullptr ? context->GuidCount : 0;
    const ULONG needed =
        static_cast<ULONG>(offsetof(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW));
    const ULONG size = stack->Parameters.WMI.BufferSize;
    auto* buffer = static_cast<UCHAR*>(stack->Parameters.WMI.Buffer);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (buffer == nullptr || size < needed) {
        status = STATUS_BUFFER_TOO_SMALL;
        if (buffer != nullptr && size >= sizeof(ULONG)) {
            memcpy(buffer, &needed, sizeof(needed));
            information = sizeof(ULONG);
        }
    } else {
        memset(buffer, 0, needed);
        auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
        info->BufferSize = needed;
        info->GuidCount = count;
        for (ULONG i = 0; i < count; ++i) {
            WMIREGGUIDW entry;
            memset(&entry, 0, sizeof(entry));
            entry.Guid = *context->GuidList[i].Guid;
            entry.Flags = context->GuidList[i].Flags;
            entry.InstanceCount = context->GuidList[i].InstanceCount;
            memcpy(buffer + offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW), &entry,
                   sizeof(entry));
        }
        information = needed;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpProcessed;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

extern "C" NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                           PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    qvx::CheckIrqlCeiling("WmiSystemControl");
    if (IrpDisposition == nullptr || Irp == nullptr) {
        qvx::VerifierReport(qvx::Rule::WMI_INVALID_PARAMETER,
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
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
        return AnswerRegistration(WmiLibInfo, Irp, stack, IrpDisposition);
    }
    // Data providers are not emulated: whatever the context lists, no block is served.
    Irp->IoStatus.Status = STATUS_WMI_GUID_NOT_FOUND;
    Irp->IoStatus.Information = 0;
    *IrpDisposition = IrpNotCompleted;
    return STATUS_WMI_GUID_NOT_FOUND;
}
