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
    QuarvexQueueInitialize(&port_->WriteQueue, WriteQueueStartIo, device_, TRUE);
    QuarvexQueueSetDropRoutine(&port_->WriteQueue, QuarvexWriteDropped);
    QuarvexQueueInitialize(&port_->MaskQueue, MaskQueueStartIo, device_, TRUE);
    QuarvexQueueInitialize(&port_->ReadQueue, ReadQueueStartIo, device_, TRUE);
    QuarvexQueueSetDropRoutine(&port_->ReadQueue, QuarvexDropInputResize);
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
