// The I/O manager's kernel routines: each hands its work to the machine's I/O manager.

#include "platform/io/io_manager.h"
#include "platform/verifier/verifier.h"

namespace {

qvx::IoManagerImpl& Io()
{
    return qvx::IoSide::Current().IoCore();
}

} // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    return Io().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                             DeviceCharacteristics, Exclusive, DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Io().DeleteDevice(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    return Io().AttachDeviceToDeviceStack(SourceDevice, TargetDevice);
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Io().DetachDevice(TargetDevice);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Io().CallDriver(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    Io().CompleteRequest(Irp);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    return Io().CancelIrp(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    Io().AcquireCancelSpinLock(Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    Io().ReleaseCancelSpinLock(Irql);
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    return Io().AllocateWorkItem(DeviceObject);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    Io().FreeWorkItem(IoWorkItem);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    Io().QueueWorkItem(IoWorkItem, WorkerRoutine, Context);
}

BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode)
{
    qvx::CheckIrqlCeiling("SeSinglePrivilegeCheck");
    UNREFERENCED_PARAMETER(PrivilegeValue);
    return Io().CallerHoldsPrivilege(PreviousMode) ? TRUE : FALSE;
}

} // extern "C"
