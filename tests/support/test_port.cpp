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

// ---- Stand-in control dispatcher: the codes the tests of this stage need, without the
// length checks of the real one (except where a code's path depends on them).

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
    case IOCTL_SERIAL_PURGE:
        return QuarvexQueueStartPacket(&port->PurgeQueue, Irp);
    case IOCTL_SERIAL_XOFF_COUNTER:
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_XOFF_COUNTER)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        if (static_cast<PSERIAL_XOFF_COUNTER>(buffer)->Counter <= 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QuarvexQueueStartPacket(&port->WriteQueue, Irp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        old = KfAcquireSpinLock(&port->PortLock);
        if (port->ImmediateIrp != NULL) {
            KfReleaseSpinLock(&port->PortLock, old);
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->ImmediateIrp = Irp;
        port->TxQueuedCount += 1;
        KfReleaseSpinLock(&port->PortLock, old);
        return QuarvexSerialStartImmediate(port);
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
        serialStatus.AmountInOutQueue = QuarvexOutputAmountLocked(port);
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
    KeInitializeDpc(&port->WriteCompleteDpc, QuarvexSerialWriteComplete, port);
    KeInitializeDpc(&port->WriteTimeoutDpc, QuarvexSerialWriteTimeout, port);
    KeInitializeDpc(&port->ImmediateCompleteDpc, QuarvexSerialImmediateCharComplete, port);
    KeInitializeDpc(&port->ImmediateTimeoutDpc, QuarvexSerialImmediateCharTimeout, port);
    KeInitializeDpc(&port->XoffTimeoutDpc, QuarvexSerialXoffTimeout, port);
    KeInitializeDpc(&port->XoffCompleteDpc, QuarvexSerialXoffComplete, port);
    KeInitializeDpc(&port->ReadCompleteDpc, QuarvexSerialReadComplete, port);
    KeInitializeDpc(&port->ReadTimeoutDpc, QuarvexSerialReadTimeout, port);
    KeInitializeDpc(&port->ReadIntervalDpc, QuarvexSerialReadIntervalTimeout, port);
    KeInitializeDpc(&port->SerialErrorDpc, QuarvexSerialError, port);
    KeInitializeDpc(&port->WaitCompleteDpc, QuarvexSerialWaitComplete, port);
}

} // namespace

TestPort::TestPort(std::u16string portName) : portName_(std::move(portName)) {}

TestPort::~TestPort()
{
    Stop();
}

NTSTATUS TestPort::Start()
{
    IoManager& io = Machine::Current().Io();
    driver_ = io.CreateBuiltInDriver(u"QuarvexTest");
    driver_->MajorFunction[IRP_MJ_CREATE] = QuarvexCreateDispatch;
    driver_->MajorFunction[IRP_MJ_CLOSE] = QuarvexCloseDispatch;
    driver_->MajorFunction[IRP_MJ_CLEANUP] = QuarvexCleanupDispatch;
    driver_->MajorFunction[IRP_MJ_READ] = QuarvexReadDispatch;
    driver_->MajorFunction[IRP_MJ_WRITE] = QuarvexWriteDispatch;
    driver_->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = QuarvexFlushBuffersDispatch;
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
    QuarvexQueueInitialize(&port_->WriteQueue, WriteQueueStartIo, device_, TRUE);
    QuarvexQueueSetDropRoutine(&port_->WriteQueue, QuarvexWriteDropped);
    QuarvexQueueInitialize(&port_->MaskQueue, MaskQueueStartIo, device_, TRUE);
    QuarvexQueueInitialize(&port_->ReadQueue, ReadQueueStartIo, device_, TRUE);
    QuarvexQueueInitialize(&port_->PurgeQueue, PurgeQueueStartIo, device_, TRUE);
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
