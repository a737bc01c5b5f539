#include "test_port.h"

#include "machine_fixture.h"

#include "driver/kcompat.h"
#include "peer/peer.h"
#include "platform/sim/io_manager.h"
#include "queue/queue.h"
#include "serial/control.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"

#include <cstring>

namespace qvx {

namespace {

TestPort* g_current = nullptr;

// ---- Stand-in write path: hands the write to the transmitter and completes it from the
// write-complete DPC. No timeouts, no cancel.

VOID NTAPI StandInWriteStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_WRITE || stack->Parameters.Write.Length == 0) {
        QuarvexQueueStartNext(&port->WriteQueue);
        QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
        return;
    }
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->WriteNextChar = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    port->WriteLength = stack->Parameters.Write.Length;
    port->WriteRefs = WRITE_REF_ISR;
    if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        QuarvexRaiseRts(port);
    }
    if (port->ThrEmpty) {
        QuarvexUartSignalThre(&port->Uart);
    }
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
}

VOID NTAPI StandInWriteComplete(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = static_cast<PortDeviceRecord*>(Context);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->WriteQueue.CurrentIrp;
    port->WriteRefs = 0;
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    QuarvexQueueStartNext(&port->WriteQueue);
    QuarvexCompleteRequest(irp, STATUS_SUCCESS);
}

VOID NTAPI StandInNothing(PKDPC, PVOID, PVOID, PVOID) {}

// Ends the immediate request the stand-in start made pending (tests that set the character
// by hand have none).
VOID NTAPI StandInImmediateComplete(PKDPC, PVOID Context, PVOID, PVOID)
{
    g_current->ImmediateCompletes++;
    auto* port = static_cast<PortDeviceRecord*>(Context);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->ImmediateIrp;
    if (irp != NULL) {
        port->ImmediateIrp = NULL;
        port->TxQueuedCount--;
    }
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    if (irp != NULL) {
        QuarvexCompleteRequest(irp, STATUS_SUCCESS);
    }
}

VOID NTAPI StandInXoffComplete(PKDPC, PVOID, PVOID, PVOID)
{
    g_current->XoffCompletes++;
}

VOID NTAPI StandInPurgeStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QuarvexQueueStartNext(&QuarvexPortFromDevice(DeviceObject)->PurgeQueue);
    QuarvexCompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI StandInWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    NTSTATUS status = QuarvexCheckForError(port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Irp->IoStatus.Information = 0;
    return QuarvexQueueStartPacket(&port->WriteQueue, Irp);
}

VOID InitializeTimersAndDpcs(PortDeviceRecord* port)
{
    KeInitializeTimer(&port->WriteTotalTimer);
    KeInitializeTimer(&port->ImmediateTimer);
    KeInitializeTimer(&port->XoffTimer);
    KeInitializeTimer(&port->ReadTotalTimer);
    KeInitializeTimer(&port->ReadIntervalTimer);
    KeInitializeDpc(&port->WriteCompleteDpc, StandInWriteComplete, port);
    KeInitializeDpc(&port->WriteTimeoutDpc, StandInNothing, port);
    KeInitializeDpc(&port->ImmediateCompleteDpc, StandInImmediateComplete, port);
    KeInitializeDpc(&port->ImmediateTimeoutDpc, StandInNothing, port);
    KeInitializeDpc(&port->XoffTimeoutDpc, StandInNothing, port);
    KeInitializeDpc(&port->XoffCompleteDpc, StandInXoffComplete, port);
    KeInitializeDpc(&port->ReadCompleteDpc, QuarvexSerialReadComplete, port);
    KeInitializeDpc(&port->ReadTimeoutDpc, QuarvexSerialReadTimeout, port);
    KeInitializeDpc(&port->ReadIntervalDpc, QuarvexSerialReadIntervalTimeout, port);
    KeInitializeDpc(&port->SerialErrorDpc, QuarvexSerialError, port);
    KeInitializeDpc(&port->WaitCompleteDpc, QuarvexSerialWaitComplete, port);
}

} // namespace

TestPort::TestPort(std::u16string portName) : portName_(std::move(portName))
{
    g_current = this;
}

TestPort::~TestPort()
{
    Stop();
    g_current = nullptr;
}

NTSTATUS TestPort::Start()
{
    IoManager& io = Machine::Current().Io();
    driver_ = io.CreateBuiltInDriver(u"QuarvexTest");
    driver_->MajorFunction[IRP_MJ_CREATE] = QuarvexCreateDispatch;
    driver_->MajorFunction[IRP_MJ_CLOSE] = QuarvexCloseDispatch;
    driver_->MajorFunction[IRP_MJ_CLEANUP] = QuarvexCleanupDispatch;
    driver_->MajorFunction[IRP_MJ_READ] = QuarvexReadDispatch;
    driver_->MajorFunction[IRP_MJ_WRITE] = StandInWriteDispatch;
    driver_->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = StandInWriteDispatch;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QuarvexDeviceIoControlDispatch;

    std::u16string deviceName = DeviceName();
    UNICODE_STRING name = Counted(deviceName);
    NTSTATUS status =
        IoCreateDevice(driver_, sizeof(PortDeviceRecord), &name, FILE_DEVICE_SERIAL_PORT,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &device_);
    if (!NT_SUCCESS(status)) {
        device_ = nullptr;
        return status;
    }
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    port_ = QuarvexPortFromDevice(device_);
    QuarvexPortSetDefaults(port_, device_, NULL);
    QuarvexQueueInitialize(&port_->WriteQueue, StandInWriteStartIo, device_, TRUE);
    QuarvexQueueInitialize(&port_->MaskQueue, MaskQueueStartIo, device_, TRUE);
    QuarvexQueueInitialize(&port_->ReadQueue, ReadQueueStartIo, device_, TRUE);
    port_->ReadQueue.DropRoutine = QuarvexDropInputResize;
    QuarvexQueueInitialize(&port_->PurgeQueue, StandInPurgeStartIo, device_, TRUE);
    QuarvexGateInitialize(&port_->ControlGate, device_);
    InitializeTimersAndDpcs(port_);

    status = QuarvexUartInitialize(&port_->Uart, port_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const size_t bytes = (portName_.size() + 1) * sizeof(WCHAR);
    port_->PortNameString =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, QUARVEX_POOL_TAG));
    memcpy(port_->PortNameString, portName_.c_str(), bytes);
    status = QuarvexInitializeCallbacks(port_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    link_ = u"\\??\\" + portName_;
    UNICODE_STRING link = Counted(link_);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        link_.clear();
        return status;
    }
    QuarvexRestartQueues(port_);
    return STATUS_SUCCESS;
}

void TestPort::Stop()
{
    if (device_ == nullptr) {
        return;
    }
    QuarvexFreeCallbacks(port_);
    QuarvexUartFree(&port_->Uart);
    if (!link_.empty()) {
        UNICODE_STRING link = Counted(link_);
        IoDeleteSymbolicLink(&link);
        link_.clear();
    }
    IoDeleteDevice(device_);
    Machine::Current().Io().ReleaseBuiltInDriver(driver_);
    device_ = nullptr;
    port_ = nullptr;
    driver_ = nullptr;
}

} // namespace qvx
