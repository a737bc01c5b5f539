#include "port_fixture.h"

#include "driver/kcompat.h"
#include "peer/peer.h"
#include "platform/sim/registry.h"
#include "queue/queue.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"

#include <cstring>

namespace qvx {

namespace {

PortTest* g_fixture = nullptr;

VOID Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// ---- Stand-in write path: hands the write to the transmitter and completes it from the
// write-complete DPC. No timeouts, no cancel.

VOID NTAPI StandInWriteStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_WRITE || stack->Parameters.Write.Length == 0) {
        QuarvexQueueStartNext(&port->WriteQueue);
        Complete(Irp, STATUS_SUCCESS);
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
    Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI StandInNothing(PKDPC, PVOID, PVOID, PVOID) {}

VOID NTAPI StandInImmediateComplete(PKDPC, PVOID, PVOID, PVOID)
{
    g_fixture->ImmediateCompletes++;
}

VOID NTAPI StandInXoffComplete(PKDPC, PVOID, PVOID, PVOID)
{
    g_fixture->XoffCompletes++;
}

VOID NTAPI StandInPurgeStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QuarvexQueueStartNext(&QuarvexPortFromDevice(DeviceObject)->PurgeQueue);
    Complete(Irp, STATUS_SUCCESS);
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
        QuarvexUartWriteThrBlock(&port->Uart, block, sizeof(block));
        KfLowerIrql(old);
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Complete(Irp, status);
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

UNICODE_STRING Counted(std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = text.data();
    counted.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

} // namespace

void PortTest::SetUp()
{
    SimMachineTest::SetUp();
    g_fixture = this;
    if (StartInSetUp) {
        StartPort();
    }
}

void PortTest::TearDown()
{
    StopPort();
    g_fixture = nullptr;
    SimMachineTest::TearDown();
}

void PortTest::StartPort()
{
    driver_ = Io().CreateBuiltInDriver(u"QuarvexTest");
    driver_->MajorFunction[IRP_MJ_CREATE] = QuarvexCreateDispatch;
    driver_->MajorFunction[IRP_MJ_CLOSE] = QuarvexCloseDispatch;
    driver_->MajorFunction[IRP_MJ_CLEANUP] = QuarvexCleanupDispatch;
    driver_->MajorFunction[IRP_MJ_READ] = QuarvexReadDispatch;
    driver_->MajorFunction[IRP_MJ_WRITE] = StandInWriteDispatch;
    driver_->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = StandInWriteDispatch;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestControlDispatch;

    std::u16string deviceName = u"\\Device\\QuarvexDevice0";
    UNICODE_STRING name = Counted(deviceName);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PortDeviceRecord), &name, FILE_DEVICE_SERIAL_PORT,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &device_),
              STATUS_SUCCESS);
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

    ASSERT_EQ(QuarvexUartInitialize(&port_->Uart, port_), STATUS_SUCCESS);
    const size_t bytes = (PortName.size() + 1) * sizeof(WCHAR);
    port_->PortNameString =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, QUARVEX_POOL_TAG));
    memcpy(port_->PortNameString, PortName.c_str(), bytes);
    ASSERT_TRUE(NT_SUCCESS(QuarvexInitializeCallbacks(port_)));

    link_ = u"\\??\\" + PortName;
    UNICODE_STRING link = Counted(link_);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    QuarvexRestartQueues(port_);
    if (AttachPeer) {
        peer_ = std::make_unique<PeerEndpoint>(PortName);
    }
}

void PortTest::StopPort()
{
    if (device_ == nullptr) {
        return;
    }
    for (FileHandle handle : handles_) {
        Io().Close(handle);
    }
    handles_.clear();
    Io().RunPassiveWork();
    peer_.reset();
    QuarvexFreeCallbacks(port_);
    QuarvexUartFree(&port_->Uart);
    UNICODE_STRING link = Counted(link_);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device_);
    Io().ReleaseBuiltInDriver(driver_);
    device_ = nullptr;
    port_ = nullptr;
    driver_ = nullptr;
}

FileHandle PortTest::OpenPort(NTSTATUS* status)
{
    FileHandle handle = Io().Open(u"\\\\.\\" + PortName, 0, status);
    if (handle != INVALID_FILE_HANDLE) {
        handles_.push_back(handle);
    }
    return handle;
}

void PortTest::ClosePort(FileHandle handle)
{
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
        if (*it == handle) {
            handles_.erase(it);
            break;
        }
    }
    Io().Close(handle);
    Io().RunPassiveWork();
}

void PortTest::SetComPeriod(ULONG milliseconds)
{
    Sim().Reg().CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex");
    Sim().Reg().SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex",
                         u"ComPeriod", milliseconds);
}

IoResult PortTest::Control(FileHandle handle, ULONG code, const void* input, ULONG inputLength,
                           ULONG outputLength)
{
    const auto* bytes = static_cast<const UCHAR*>(input);
    return Io().DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + inputLength),
                                outputLength);
}

void PortTest::SetTimeouts(FileHandle handle, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)).Status,
              STATUS_SUCCESS);
}

void PortTest::SetHandFlow(FileHandle handle, ULONG controlHandShake, ULONG flowReplace,
                           LONG xonLimit, LONG xoffLimit)
{
    SERIAL_HANDFLOW handFlow = {controlHandShake, flowReplace, xonLimit, xoffLimit};
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow)).Status,
              STATUS_SUCCESS);
}

void OpenPortTest::SetUp()
{
    PortTest::SetUp();
    Handle = OpenPort();
    ASSERT_NE(Handle, INVALID_FILE_HANDLE);
}

void OpenPortTest::TearDown()
{
    if (Handle != INVALID_FILE_HANDLE) {
        ClosePort(Handle);
        Handle = INVALID_FILE_HANDLE;
    }
    PortTest::TearDown();
}

std::vector<UCHAR> OpenPortTest::ReadNow(ULONG count)
{
    SetTimeouts(Handle, MAXULONG, 0, 0);
    IoResult result = Io().Read(Handle, count);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    return result.Data;
}

NTSTATUS OpenPortTest::SetWaitMask(ULONG mask)
{
    return Control(Handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)).Status;
}

IoRequestPtr OpenPortTest::WaitOnMask()
{
    return Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
}

ULONG OpenPortTest::Events(const IoResult& result)
{
    ULONG events = 0xDEADBEEF;
    if (result.Data.size() == sizeof(ULONG)) {
        memcpy(&events, result.Data.data(), sizeof(events));
    }
    return events;
}

} // namespace qvx
