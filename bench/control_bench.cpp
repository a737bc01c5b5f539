// Round trips of control codes through the application side on the simulated machine: a code
// answered from the port record, and a baud-rate change that also sends the baud block. The
// port is the test port of tests/support, opened, with a send routine that only counts.

#include "host/peers/peer_endpoint.h"
#include "peer/peer.h"
#include "platform/machine/machine.h"
#include "port/port.h"
#include "support/test_port.h"
#include "trace/trace.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

VOID NTAPI CountSent(PVOID Context, PVOID, PVOID Argument2)
{
    *static_cast<uint64_t*>(Context) += *static_cast<const ULONG*>(Argument2);
}

class ControlBenchPort
{
  public:
    // Traces: off (level 0) or at the default level when the benchmark's argument is 1.
    explicit ControlBenchPort(bool traced) : savedLevel_(TraceLevel)
    {
        TraceLevel = traced ? savedLevel_ : 0;
        if (!NT_SUCCESS(port_.Start())) {
            return;
        }
        sendObject_ = qvx::OpenPeerCallbackObject(u"\\Callback\\LyntraSend" + port_.PortName());
        if (sendObject_ != nullptr) {
            sendRegistration_ = ExRegisterCallback(sendObject_, CountSent, &sent_);
        }
        handle_ = machine_.Io().Open(port_.DeviceName());
    }

    ~ControlBenchPort()
    {
        if (handle_ != qvx::INVALID_FILE_HANDLE) {
            machine_.Io().Close(handle_);
            machine_.Io().RunPassiveWork();
        }
        if (sendRegistration_ != nullptr) {
            ExUnregisterCallback(sendRegistration_);
        }
        if (sendObject_ != nullptr) {
            ObDereferenceObject(sendObject_);
        }
        port_.Stop();
        TraceLevel = savedLevel_;
    }

    ControlBenchPort(const ControlBenchPort&) = delete;
    ControlBenchPort& operator=(const ControlBenchPort&) = delete;

    bool Ready() const { return handle_ != qvx::INVALID_FILE_HANDLE && sendObject_ != nullptr; }
    qvx::Machine& Sim() { return machine_; }
    qvx::IoManager& Io() { return machine_.Io(); }
    qvx::FileHandle Handle() const { return handle_; }
    PDEVICE_OBJECT Device() const { return port_.Device(); }
    PFILE_OBJECT File() { return machine_.Io().FileObjectOf(handle_); }

  private:
    ULONG savedLevel_;
    qvx::Machine machine_;
    qvx::TestPort port_;
    PCALLBACK_OBJECT sendObject_ = nullptr;
    PVOID sendRegistration_ = nullptr;
    uint64_t sent_ = 0;
    qvx::FileHandle handle_ = qvx::INVALID_FILE_HANDLE;
};

// IOCTL_SERIAL_GET_BAUD_RATE: through the gate, answered from the port record.
void BM_GetBaudRate(benchmark::State& state)
{
    ControlBenchPort port(state.range(0) != 0);
    if (!port.Ready()) {
        state.SkipWithError("the port did not start");
        return;
    }
    const std::vector<UCHAR> none;
    for (auto _ : state) {
        const qvx::IoResult result =
            port.Io().DeviceIoControl(port.Handle(), IOCTL_SERIAL_GET_BAUD_RATE, none, 4);
        if (result.Status != STATUS_SUCCESS) {
            state.SkipWithError("GET_BAUD_RATE failed");
            return;
        }
        benchmark::DoNotOptimize(result.Data.data());
    }
}
BENCHMARK(BM_GetBaudRate)->Arg(0)->Arg(1);

// The driver's share of the same request: an IRP built by hand and sent to the device, so
// the application side's bookkeeping (file lookup, buffer copies) is left out.
void BM_GetBaudRateAtTheDevice(benchmark::State& state)
{
    ControlBenchPort port(state.range(0) != 0);
    if (!port.Ready()) {
        state.SkipWithError("the port did not start");
        return;
    }
    ULONG rate = 0;
    for (auto _ : state) {
        PIRP irp = port.Io().AllocateIrp(1);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->FileObject = port.File();
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
        stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(rate);
        irp->AssociatedIrp.SystemBuffer = &rate;
        if (IofCallDriver(port.Device(), irp) != STATUS_SUCCESS) {
            state.SkipWithError("GET_BAUD_RATE failed");
            return;
        }
        benchmark::DoNotOptimize(rate);
    }
}
BENCHMARK(BM_GetBaudRateAtTheDevice)->Arg(0)->Arg(1);

// IOCTL_SERIAL_SET_BAUD_RATE: through the gate, with the baud block into the transmitter. A
// send tick every 8 changes empties the transmitter (outside the timing), so each block is
// stored rather than held.
void BM_SetBaudRate(benchmark::State& state)
{
    ControlBenchPort port(state.range(0) != 0);
    if (!port.Ready()) {
        state.SkipWithError("the port did not start");
        return;
    }
    std::vector<UCHAR> rate = {0x00, 0xC2, 0x01, 0x00}; // 115200
    int sinceTick = 0;
    for (auto _ : state) {
        const qvx::IoResult result =
            port.Io().DeviceIoControl(port.Handle(), IOCTL_SERIAL_SET_BAUD_RATE, rate, 0);
        if (result.Status != STATUS_SUCCESS) {
            state.SkipWithError("SET_BAUD_RATE failed");
            return;
        }
        if (++sinceTick == 8) {
            state.PauseTiming();
            port.Sim().AdvanceMs(DEFAULT_SEND_PERIOD_MS);
            state.ResumeTiming();
            sinceTick = 0;
        }
    }
}
BENCHMARK(BM_SetBaudRate)->Arg(0)->Arg(1);

} // namespace
