// Driver entry, add device and unload: the driver-wide globals, the dispatch table and the
// creation of a port's device object with everything its requests need.

#include <ntddk.h>

#include "driver/driver.h"
#include "driver/kcompat.h"
#include "peer/peer.h"
#include "port/port.h"
#include "queue/queue.h"
#include "serial/control.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

// One copy per load of the driver; driver entry clears both.
UNICODE_STRING RegistryPath;
ULONG DeviceCounter;

namespace {

constexpr USHORT DEVICE_NAME_BYTES = 64;
constexpr USHORT NUMBER_SCRATCH_BYTES = 40;

VOID InitializeTimersAndDpcs(PortDeviceRecord* Port)
{
    KeInitializeTimer(&Port->WriteTotalTimer);
    KeInitializeDpc(&Port->WriteCompleteDpc, QuarvexSerialWriteComplete, Port);
    KeInitializeDpc(&Port->WriteTimeoutDpc, QuarvexSerialWriteTimeout, Port);
    KeInitializeTimer(&Port->ReadTotalTimer);
    KeInitializeTimer(&Port->ReadIntervalTimer);
    KeInitializeDpc(&Port->ReadCompleteDpc, QuarvexSerialReadComplete, Port);
    KeInitializeDpc(&Port->ReadTimeoutDpc, QuarvexSerialReadTimeout, Port);
    KeInitializeDpc(&Port->ReadIntervalDpc, QuarvexSerialReadIntervalTimeout, Port);
    KeInitializeTimer(&Port->ImmediateTimer);
    KeInitializeDpc(&Port->ImmediateCompleteDpc, QuarvexSerialImmediateCharComplete, Port);
    KeInitializeDpc(&Port->ImmediateTimeoutDpc, QuarvexSerialImmediateCharTimeout, Port);
    KeInitializeTimer(&Port->XoffTimer);
    KeInitializeDpc(&Port->XoffTimeoutDpc, QuarvexSerialXoffTimeout, Port);
    KeInitializeDpc(&Port->XoffCompleteDpc, QuarvexSerialXoffComplete, Port);
    KeInitializeDpc(&Port->WaitCompleteDpc, QuarvexSerialWaitComplete, Port);
    KeInitializeDpc(&Port->SerialErrorDpc, QuarvexSerialError, Port);
    // The UART's interrupt DPC, the send timer and its DPC too: a stop and start must never
    // initialise one of them again while it may still be set or queued.
    QuarvexUartPrepare(&Port->Uart, Port, QuarvexInterruptService);
    QuarvexPrepareCallbacks(Port);
}

// "\Device\QuarvexDevice<n>" in a zeroed 64-byte buffer; NULL buffer on failure.
VOID BuildDeviceName(UNICODE_STRING* Name)
{
    Name->Length = 0;
    Name->MaximumLength = DEVICE_NAME_BYTES;
    Name->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, DEVICE_NAME_BYTES, QUARVEX_POOL_TAG));
    if (Name->Buffer == NULL) {
        return;
    }
    RtlZeroMemory(Name->Buffer, DEVICE_NAME_BYTES);
    (void)RtlAppendUnicodeToString(Name, QUARVEX_WSTR("\\Device\\QuarvexDevice"));
    WCHAR digits[NUMBER_SCRATCH_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number = {0, NUMBER_SCRATCH_BYTES, digits};
    (void)RtlIntegerToUnicodeString(DeviceCounter, 10, &number);
    (void)RtlAppendUnicodeStringToString(Name, &number);
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING Path)
{
    QuarvexTrace(TRACE_INIT, 3, "DriverEntry++");
    QuarvexTrace(TRACE_INIT, 4, "Compiled at %s on %s", __TIME__, __DATE__);

    RtlZeroMemory(&RegistryPath, sizeof(RegistryPath));
    DeviceCounter = 0;

    RegistryPath.Length = Path->Length;
    RegistryPath.MaximumLength = static_cast<USHORT>(Path->Length + sizeof(WCHAR));
    RegistryPath.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, RegistryPath.MaximumLength, QUARVEX_POOL_TAG));
    if (RegistryPath.Buffer == NULL) {
        QuarvexTrace(TRACE_INIT, 1, "DriverEntry: Failed to allocate memory for RegistryPath");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&RegistryPath, Path);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = QuarvexCreateDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = QuarvexCloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = QuarvexReadDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = QuarvexWriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = QuarvexFlushBuffersDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QuarvexDeviceIoControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = QuarvexCleanupDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = QuarvexPowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = QuarvexSystemControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = QuarvexPnpDispatch;
    DriverObject->DriverExtension->AddDevice = QuarvexAddDevice;
    DriverObject->DriverUnload = QuarvexUnload;

    QuarvexTrace(TRACE_INIT, 3, "DriverEntry--. STATUS %x", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QuarvexAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    QuarvexTrace(TRACE_INIT, 3, "QuarvexAddDevice++: PDO %p", PhysicalDeviceObject);

    UNICODE_STRING deviceName;
    BuildDeviceName(&deviceName);
    if (deviceName.Buffer == NULL) {
        QuarvexTrace(TRACE_INIT, 1, "QuarvexAddDevice--. STATUS %x", STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PDEVICE_OBJECT device = NULL;
    const NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(PortDeviceRecord), &deviceName, FILE_DEVICE_SERIAL_PORT,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(deviceName.Buffer, QUARVEX_POOL_TAG);
        QuarvexTrace(TRACE_INIT, 1, "QuarvexAddDevice--. IoCreateDevice STATUS %x", status);
        return status;
    }
    QuarvexTrace(TRACE_INIT, 4, "QuarvexAddDevice: Created FDO %p", device);

    PortDeviceRecord* port = QuarvexPortFromDevice(device);
    RtlZeroMemory(port, sizeof(*port));
    port->DeviceName = deviceName;
    // Also stores the queue table, clears PortLock, sets the defaults, OutstandingIo 1 and
    // RemoveEvent.
    QuarvexPortSetDefaults(port, device, PhysicalDeviceObject);

    // Every queue starts stalled; the first successful start opens them.
    QuarvexQueueInitialize(&port->WriteQueue, WriteQueueStartIo, device, TRUE);
    QuarvexQueueInitialize(&port->MaskQueue, MaskQueueStartIo, device, TRUE);
    QuarvexQueueInitialize(&port->ReadQueue, ReadQueueStartIo, device, TRUE);
    QuarvexQueueInitialize(&port->PurgeQueue, PurgeQueueStartIo, device, TRUE);
    // A write or a resize that leaves a queue unstarted gives back what it holds: the output
    // count of the write, the new ring of the resize.
    QuarvexQueueSetDropRoutine(&port->WriteQueue, QuarvexWriteDropped);
    QuarvexQueueSetDropRoutine(&port->ReadQueue, QuarvexDropInputResize);
    InitializeTimersAndDpcs(port);
    QuarvexGateInitialize(&port->ControlGate, device);
    port->PnpState = PNP_NOT_STARTED;
    port->PreviousPnpState = PNP_NOT_STARTED;

    port->PowerWorkItem = IoAllocateWorkItem(device);
    if (port->PowerWorkItem == NULL) {
        IoDeleteDevice(device);
        ExFreePoolWithTag(deviceName.Buffer, QUARVEX_POOL_TAG);
        QuarvexTrace(TRACE_INIT, 1, "QuarvexAddDevice--. Failed to allocated PowerWorkItem");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    (void)PoSetPowerState(device, DevicePowerState, state);

    port->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (port->LowerDeviceObject == NULL) {
        IoFreeWorkItem(port->PowerWorkItem);
        IoDeleteDevice(device);
        ExFreePoolWithTag(deviceName.Buffer, QUARVEX_POOL_TAG);
        QuarvexTrace(TRACE_INIT, 1, "QuarvexAddDevice--. IoAttachDeviceToDeviceStack failed");
        return STATUS_DEVICE_REMOVED;
    }

    DeviceCounter++;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    QuarvexTrace(TRACE_INIT, 3, "QuarvexAddDevice--. QuarvexAddDevice--. STATUS %x", status);
    return status;
}

VOID NTAPI QuarvexUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    QuarvexTrace(TRACE_UNLOAD, 3, "QuarvexUnload++");
    if (RegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(RegistryPath.Buffer, QUARVEX_POOL_TAG);
        RegistryPath.Buffer = NULL;
    }
    QuarvexTrace(TRACE_UNLOAD, 3, "QuarvexUnload--");
}
