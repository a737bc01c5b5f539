// Throughput of a port's data paths on the simulated machine, in bytes per second of CPU time:
// peer blocks through the receive path into the input ring and out through reads, and a large
// write handed to the peer over send ticks. The port is assembled by hand as add device and
// start will; a minimal write path stands in for the one still to come.

#include "driver/kcompat.h"
#include "peer/peer.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/machine.h"
#include "port/port.h"
#include "queue/queue.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- Stand-in write path: the hand-over to the transmitter, completion from its DPC.

VOID NTAPI BenchWriteStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortDeviceRecord* port = QuarvexPortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_WRITE || stack->Parameters.Write.Length == 0) {
        QuarvexQueueStartNext(&port->WriteQueue);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return;
    }
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    port->WriteNextChar = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    port->WriteLength = stack->Parameters.Write.Length;
    port->WriteRefs = WRITE_REF_ISR;
    if (port->ThrEmpty) {
        QuarvexUartSignalThre(&port->Uart);
    }
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
}

VOID NTAPI BenchWriteComplete(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = static_cast<PortDeviceRecord*>(Context);
    KefAcquireSpinLockAtDpcLevel(&port->PortLock);
    PIRP irp = port->WriteQueue.CurrentIrp;
    port->WriteRefs = 0;
    KefReleaseSpinLockFromDpcLevel(&port->PortLock);
    QuarvexQueueStartNext(&port->WriteQueue);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI BenchWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    return QuarvexQueueStartPacket(&QuarvexPortFromDevice(DeviceObject)->WriteQueue, Irp);
}

VOID NTAPI BenchPurgeStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QuarvexQueueStartNext(&QuarvexPortFromDevice(DeviceObject)->PurgeQueue);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

// The far side, reduced to what costs nothing: a send routine that counts.
VOID NTAPI CountSent(PVOID Context, PVOID, PVOID Argument2)
{
    *static_cast<uint64_t*>(Context) += *static_cast<const ULONG*>(Argument2);
}

UNICODE_STRING Counted(std::u16string& text)
{
    UNICODE_STRING counted;
    counted.Buffer = text.data();
    counted.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

PCALLBACK_OBJECT OpenCallbackObject(std::u16string name)
{
    UNICODE_STRING text = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL,
                               NULL);
    PCALLBACK_OBJECT object = nullptr;
    return NT_SUCCESS(ExCreateCallback(&object, &attributes, TRUE, TRUE)) ? object : nullptr;
}

// A started and opened port COM5 on a fresh simulated machine, with a counting peer.
class BenchPort
{
  public:
    BenchPort()
    {
        driver_ = Io().CreateBuiltInDriver(u"QuarvexBench");
        driver_->MajorFunction[IRP_MJ_CREATE] = QuarvexCreateDispatch;
        driver_->MajorFunction[IRP_MJ_CLOSE] = QuarvexCloseDispatch;
        driver_->MajorFunction[IRP_MJ_CLEANUP] = QuarvexCleanupDispatch;
        driver_->MajorFunction[IRP_MJ_READ] = QuarvexReadDispatch;
        driver_->MajorFunction[IRP_MJ_WRITE] = BenchWriteDispatch;

        std::u16string deviceName = u"\\Device\\QuarvexDevice0";
        UNICODE_STRING name = Counted(deviceName);
        if (IoCreateDevice(driver_, sizeof(PortDeviceRecord), &name, FILE_DEVICE_SERIAL_PORT,
                           FILE_DEVICE_SECURE_OPEN, FALSE, &device_) != STATUS_SUCCESS) {
            return;
        }
        device_->Flags |= DO_BUFFERED_IO;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        port_ = QuarvexPortFromDevice(device_);
        QuarvexPortSetDefaults(port_, device_, NULL);
        QuarvexQueueInitialize(&port_->WriteQueue, BenchWriteStartIo, device_, TRUE);
        QuarvexQueueInitialize(&port_->MaskQueue, MaskQueueStartIo, device_, TRUE);
        QuarvexQueueInitialize(&port_->ReadQueue, ReadQueueStartIo, device_, TRUE);
        QuarvexQueueInitialize(&port_->PurgeQueue, BenchPurgeStartIo, device_, TRUE);
        QuarvexGateInitialize(&port_->ControlGate, device_);
        KeInitializeTimer(&port_->WriteTotalTimer);
        KeInitializeTimer(&port_->ImmediateTimer);
        KeInitializeTimer(&port_->XoffTimer);
        KeInitializeTimer(&port_->ReadTotalTimer);
        KeInitializeTimer(&port_->ReadIntervalTimer);
        KeInitializeDpc(&port_->WriteCompleteDpc, BenchWriteComplete, port_);
        for (PKDPC dpc :
             {&port_->WriteTimeoutDpc, &port_->ImmediateCompleteDpc, &port_->ImmediateTimeoutDpc,
              &port_->XoffTimeoutDpc, &port_->XoffCompleteDpc}) {
            KeInitializeDpc(dpc, Nothing, port_);
        }
        KeInitializeDpc(&port_->ReadCompleteDpc, QuarvexSerialReadComplete, port_);
        KeInitializeDpc(&port_->ReadTimeoutDpc, QuarvexSerialReadTimeout, port_);
        KeInitializeDpc(&port_->ReadIntervalDpc, QuarvexSerialReadIntervalTimeout, port_);
        KeInitializeDpc(&port_->SerialErrorDpc, QuarvexSerialError, port_);
        KeInitializeDpc(&port_->WaitCompleteDpc, QuarvexSerialWaitComplete, port_);
        if (QuarvexUartInitialize(&port_->Uart, port_) != STATUS_SUCCESS) {
            return;
        }
        const std::u16string portName = u"COM5";
        const size_t bytes = (portName.size() + 1) * sizeof(WCHAR);
        port_->PortNameString =
            static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, QUARVEX_POOL_TAG));
        memcpy(port_->PortNameString, portName.c_str(), bytes);
        if (!NT_SUCCESS(QuarvexInitializeCallbacks(port_))) {
            return;
        }
        QuarvexRestartQueues(port_);

        receiveObject_ = OpenCallbackObject(u"\\Callback\\LyntraRecv" + portName);
        sendObject_ = OpenCallbackObject(u"\\Callback\\LyntraSend" + portName);
        if (sendObject_ != nullptr) {
            sendRegistration_ = ExRegisterCallback(sendObject_, CountSent, &sent_);
        }
        handle_ = Io().Open(deviceName);
        if (handle_ != qvx::INVALID_FILE_HANDLE) {
            // Reads return at once with what the ring holds.
            const KIRQL old = KfAcquireSpinLock(&port_->PortLock);
            port_->Timeouts = {MAXULONG, 0, 0, 0, 0};
            KfReleaseSpinLock(&port_->PortLock, old);
        }
    }

    ~BenchPort()
    {
        if (handle_ != qvx::INVALID_FILE_HANDLE) {
            Io().Close(handle_);
            Io().RunPassiveWork();
        }
        if (sendRegistration_ != nullptr) {
            ExUnregisterCallback(sendRegistration_);
        }
        for (PCALLBACK_OBJECT object : {sendObject_, receiveObject_}) {
            if (object != nullptr) {
                ObDereferenceObject(object);
            }
        }
        if (port_ != nullptr) {
            QuarvexFreeCallbacks(port_);
            QuarvexUartFree(&port_->Uart);
        }
        if (device_ != nullptr) {
            IoDeleteDevice(device_);
        }
        Io().ReleaseBuiltInDriver(driver_);
    }

    BenchPort(const BenchPort&) = delete;
    BenchPort& operator=(const BenchPort&) = delete;

    bool Ready() const { return handle_ != qvx::INVALID_FILE_HANDLE && receiveObject_ != nullptr; }
    qvx::Machine& Sim() { return machine_; }
    qvx::IoManager& Io() { return machine_.Io(); }
    qvx::FileHandle Handle() const { return handle_; }
    uint64_t Sent() const { return sent_; }

    // One peer block into the port, at DISPATCH_LEVEL as the peer notifies.
    void Deliver(const UCHAR* bytes, ULONG length)
    {
        qvx::DispatchLevelScope dispatch;
        ExNotifyCallback(receiveObject_, const_cast<UCHAR*>(bytes), &length);
    }

  private:
    qvx::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceRecord* port_ = nullptr;
    PCALLBACK_OBJECT receiveObject_ = nullptr;
    PCALLBACK_OBJECT sendObject_ = nullptr;
    PVOID sendRegistration_ = nullptr;
    uint64_t sent_ = 0;
    qvx::FileHandle handle_ = qvx::INVALID_FILE_HANDLE;
};

// 93 peer blocks of 44 bytes, then one read that empties the ring.
void BM_ReceiveIntoRingAndRead(benchmark::State& state)
{
    BenchPort port;
    if (!port.Ready()) {
        state.SkipWithError("the port did not start");
        return;
    }
    constexpr ULONG BLOCK = PEER_MAX_RECEIVE_BLOCK;
    constexpr ULONG BLOCKS = INPUT_BUFFER_DEFAULT_SIZE / BLOCK;
    UCHAR block[BLOCK];
    for (ULONG i = 0; i < BLOCK; ++i) {
        block[i] = static_cast<UCHAR>('a' + i % 26);
    }
    for (auto _ : state) {
        for (ULONG i = 0; i < BLOCKS; ++i) {
            port.Deliver(block, BLOCK);
        }
        const qvx::IoResult result = port.Io().Read(port.Handle(), INPUT_BUFFER_DEFAULT_SIZE);
        if (result.Information != BLOCKS * BLOCK) {
            state.SkipWithError("a read did not get every byte");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * BLOCKS * BLOCK);
}
BENCHMARK(BM_ReceiveIntoRingAndRead);

// One 64 KiB write, handed to the peer over send ticks until it completes.
void BM_TransmitLargeWrite(benchmark::State& state)
{
    BenchPort port;
    if (!port.Ready()) {
        state.SkipWithError("the port did not start");
        return;
    }
    const std::vector<UCHAR> data(64 * 1024, 'w');
    qvx::Machine& machine = port.Sim();
    const LONGLONG startMs = machine.NowMs();
    for (auto _ : state) {
        const uint64_t before = port.Sent();
        const qvx::IoResult result = port.Io().Write(port.Handle(), data);
        // The write completes once its last piece is in the transmitter: one more tick.
        while (port.Sent() - before < data.size() && machine.AdvanceToNextTimer()) {
        }
        if (result.Information != data.size() || port.Sent() - before != data.size()) {
            state.SkipWithError("the write did not reach the peer whole");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
    state.counters["sim_ms_per_write"] = benchmark::Counter(
        static_cast<double>(machine.NowMs() - startMs), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_TransmitLargeWrite);

} // namespace
