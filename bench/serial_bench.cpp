// Throughput of a port's data paths on the simulated machine, in bytes per second of CPU time:
// peer blocks through the receive path into the input ring and out through reads, and a large
// write handed to the peer over send ticks; and the pacing of writes in simulated time, as a
// share of what the transmitter can hand over per send tick. The port is assembled by hand as
// add device and start will (the test port of tests/support), with a peer that only counts or
// records.

#include "host/peers/peer_endpoint.h"
#include "peer/peer.h"
#include "platform/machine/machine.h"
#include "port/port.h"
#include "serial/input_ring.h"
#include "serial/transfer.h"
#include "support/test_port.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The far side, reduced to what costs nothing: a send routine that counts.
VOID NTAPI CountSent(PVOID Context, PVOID, PVOID Argument2)
{
    *static_cast<uint64_t*>(Context) += *static_cast<const ULONG*>(Argument2);
}

// The far side as a recorder: every byte, and the simulated time of the first and last send
// that carried any.
struct Recording
{
    qvx::Machine* machine = nullptr;
    std::vector<UCHAR> bytes;
    LONGLONG firstMs = -1;
    LONGLONG lastMs = -1;
};

VOID NTAPI RecordSent(PVOID Context, PVOID Argument1, PVOID Argument2)
{
    auto* recording = static_cast<Recording*>(Context);
    const ULONG length = *static_cast<const ULONG*>(Argument2);
    if (length == 0) {
        return;
    }
    const auto* bytes = static_cast<const UCHAR*>(Argument1);
    recording->bytes.insert(recording->bytes.end(), bytes, bytes + length);
    const LONGLONG now = recording->machine->NowMs();
    if (recording->firstMs < 0) {
        recording->firstMs = now;
    }
    recording->lastMs = now;
}

// A started and opened port COM5 on a fresh simulated machine, with a counting peer, or a
// recording one when `recording` is given. A non-zero `periodMs` is the "ComPeriod" it opens
// with.
class BenchPort
{
  public:
    explicit BenchPort(ULONG periodMs = 0, Recording* recording = nullptr)
    {
        if (periodMs != 0) {
            const std::u16string key =
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex";
            machine_.Reg().CreateKey(key);
            machine_.Reg().SetDword(key, u"ComPeriod", periodMs);
        }
        if (!NT_SUCCESS(port_.Start())) {
            return;
        }
        receiveObject_ = qvx::OpenPeerCallbackObject(u"\\Callback\\LyntraRecv" + port_.PortName());
        sendObject_ = qvx::OpenPeerCallbackObject(u"\\Callback\\LyntraSend" + port_.PortName());
        if (sendObject_ != nullptr && recording != nullptr) {
            recording->machine = &machine_;
            sendRegistration_ = ExRegisterCallback(sendObject_, RecordSent, recording);
        } else if (sendObject_ != nullptr) {
            sendRegistration_ = ExRegisterCallback(sendObject_, CountSent, &sent_);
        }
        handle_ = Io().Open(port_.DeviceName());
        if (handle_ != qvx::INVALID_FILE_HANDLE) {
            // Reads return at once with what the ring holds.
            PortDeviceRecord* record = port_.Port();
            const KIRQL old = KfAcquireSpinLock(&record->PortLock);
            record->Timeouts = {MAXULONG, 0, 0, 0, 0};
            KfReleaseSpinLock(&record->PortLock, old);
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
        port_.Stop();
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
    qvx::TestPort port_;
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

// Pacing in simulated time: back-to-back writes of range(1) bytes with "ComPeriod" range(0),
// two outstanding at a time, about 25 KB in all. Efficiency is the bytes that reached the peer
// per send tick, from the first tick that carried data to the last, over the 127 bytes the
// transmit path hands over per tick (a block never fills the transmit buffer's last slot).
void BM_WritePacing(benchmark::State& state)
{
    const auto period = static_cast<ULONG>(state.range(0));
    const auto size = static_cast<size_t>(state.range(1));
    constexpr size_t PER_TICK = UART_TX_CAPACITY - 1;
    const size_t writes = (PER_TICK * 200 + size - 1) / size;
    std::vector<UCHAR> expected;
    std::vector<std::vector<UCHAR>> data(writes);
    for (size_t w = 0; w < writes; ++w) {
        for (size_t i = 0; i < size; ++i) {
            data[w].push_back(static_cast<UCHAR>((w * 7 + i) % 251));
        }
        expected.insert(expected.end(), data[w].begin(), data[w].end());
    }
    double efficiency = 0;
    for (auto _ : state) {
        Recording recording;
        BenchPort port(period, &recording);
        if (!port.Ready()) {
            state.SkipWithError("the port did not start");
            return;
        }
        qvx::Machine& machine = port.Sim();
        std::vector<qvx::IoRequestPtr> outstanding;
        size_t next = 0;
        while (recording.bytes.size() < expected.size()) {
            while (outstanding.size() < 2 && next < writes) {
                outstanding.push_back(port.Io().WriteAsync(port.Handle(), data[next++]));
            }
            for (size_t i = 0; i < outstanding.size();) {
                if (!outstanding[i]->Done()) {
                    ++i;
                    continue;
                }
                if (outstanding[i]->Result().Status != STATUS_SUCCESS) {
                    state.SkipWithError("a write failed");
                    return;
                }
                outstanding.erase(outstanding.begin() + static_cast<long>(i));
            }
            if (outstanding.size() == 2 || next == writes) {
                if (!machine.AdvanceToNextTimer()) {
                    break;
                }
            }
        }
        if (recording.bytes != expected) {
            state.SkipWithError("the peer did not get every byte in order");
            return;
        }
        const LONGLONG ticks = (recording.lastMs - recording.firstMs) / period + 1;
        efficiency = static_cast<double>(expected.size()) /
                     (static_cast<double>(ticks) * static_cast<double>(PER_TICK));
    }
    state.counters["efficiency"] = efficiency;
    if (efficiency < 0.99) {
        state.SkipWithError("pacing below 99 % of the transmitter's capacity");
    }
}
BENCHMARK(BM_WritePacing)
    ->ArgNames({"period_ms", "write_bytes"})
    ->ArgsProduct({{1, 20}, {1, 100, 64 * 1024}})
    ->Iterations(3);

} // namespace
