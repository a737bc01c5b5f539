#include "test_port.h"

#include "machine_fixture.h"

#include "driver/kcompat.h"
#include "peer/peer.h"
#include "platform/sim/io_manager.h"
#include "queue/queue.h"
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

VOID NTAPI StandInImmediateComplete(PKDPC, PVOID, PVOID, PVOID)
{
    g_current->ImmediateCompletes++;
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

// ---- Stand-in control dispatcher: the codes the tests of this stage need, without the
// length checks of the real one.

NTSTATUS NTAPI TestControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    NTSTATUS status = QuarvexCheckForError(port, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    status = STATUS_SUCCESS;
    KIRQL old;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return QuarvexQueueStartPacket(&port->MaskQueue, Irp);
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        const ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(buffer)->InSize;
        if (size <= port->InputBufferSize) {
            break;
        }
        PVOID ring = ExAllocatePoolWithQuotaTag(
            static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), size,
            QUARVEX_INPUT_POOL_TAG);
        if (ring == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        stack->Parameters.DeviceIoControl.Type3InputBuffer = ring;
        return QuarvexQueueStartPacket(&port->ReadQueue, Irp);
    }
    case IOCTL_SERIAL_SET_TIMEOUTS:
        old = KfAcquireSpinLock(&port->PortLock);
        port->Timeouts = *static_cast<PSERIAL_TIMEOUTS>(buffer);
        KfReleaseSpinLock(&port->PortLock, old);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        old = KfAcquireSpinLock(&port->PortLock);
        QuarvexSetHandFlow(port, static_cast<PSERIAL_HANDFLOW>(buffer));
        KfReleaseSpinLock(&port->PortLock, old);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        old = KfAcquireSpinLock(&port->PortLock);
        port->SerialChars = *static_cast<PSERIAL_CHARS>(buffer);
        KfReleaseSpinLock(&port->PortLock, old);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS serialStatus;
        RtlZeroMemory(&serialStatus, sizeof(serialStatus));
        old = KfAcquireSpinLock(&port->PortLock);
        serialStatus.Errors = port->CommErrors;
        port->CommErrors = 0;
        serialStatus.AmountInInQueue = port->InputCount;
        KfReleaseSpinLock(&port->PortLock, old);
        RtlCopyMemory(buffer, &serialStatus, sizeof(serialStatus));
        Irp->IoStatus.Information = sizeof(serialStatus);
        break;
    }
    case IOCTL_SERIAL_GET_STATS:
        old = KfAcquireSpinLock(&port->PortLock);
        RtlCopyMemory(buffer, &port->Stats, sizeof(port->Stats));
        KfReleaseSpinLock(&port->PortLock, old);
        Irp->IoStatus.Information = sizeof(port->Stats);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON: {
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        old = KfAcquireSpinLock(&port->PortLock);
        if (code == IOCTL_SERIAL_SET_BREAK_ON) {
            QuarvexBreakOn(port);
        } else if (code == IOCTL_SERIAL_SET_BREAK_OFF) {
            QuarvexBreakOff(port);
        } else if (code == IOCTL_SERIAL_SET_RTS) {
            QuarvexRaiseRts(port);
        } else if (code == IOCTL_SERIAL_CLR_RTS) {
            QuarvexDropRts(port);
        } else if (code == IOCTL_SERIAL_SET_DTR) {
            QuarvexRaiseDtr(port);
        } else if (code == IOCTL_SERIAL_CLR_DTR) {
            QuarvexDropDtr(port);
        } else if (code == IOCTL_SERIAL_SET_XOFF) {
            QuarvexSimulateXoff(port);
        } else {
            QuarvexSimulateXon(port);
        }
        KfReleaseSpinLock(&port->PortLock, old);
        break;
    }
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        const ULONG rate = *static_cast<PULONG>(buffer);
        port->BaudRate = rate;
        UCHAR block[8];
        const ULONG tag = PEER_BAUD_TAG;
        RtlCopyMemory(block, &tag, 4);
        RtlCopyMemory(block + 4, &rate, 4);
        old = KfRaiseIrql(DISPATCH_LEVEL);
        (void)QuarvexUartWriteThrBlock(&port->Uart, block, sizeof(block));
        KfLowerIrql(old);
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    QuarvexCompleteRequest(Irp, status);
    return status;
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
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestControlDispatch;

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
