// A null-modem pair end to end on the simulated machine, through the host's peer (/0) or
// through quarvexpeer.sys (/1), with the verifier (/1) or on the production machine (/0): the
// driver loaded from its entry, COM5 and COM6 added through Plug and Play, a 64 KiB write on
// COM5 read whole on COM6. Rates are bytes per second of CPU time; `per_tick` is the bytes that
// reached COM6 per send tick ("ComPeriod" 1 ms) over the 127 bytes a port hands over per tick.

#include "host/driver_host.h"
#include "host/kernel_peer_host.h"
#include "host/peers/peer_factory.h"
#include "platform/machine/machine.h"

#include <ntddser.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr size_t BYTES = 64 * 1024;
constexpr double PER_TICK = 127.0;

NTSTATUS Control(qvx::Machine& machine, qvx::FileHandle handle, ULONG code, const void* input,
                 ULONG length)
{
    const auto* bytes = static_cast<const UCHAR*>(input);
    return machine.Io()
        .DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + length), 0)
        .Status;
}

qvx::FileHandle OpenPort(qvx::Machine& machine, const std::u16string& name)
{
    const qvx::FileHandle handle = machine.Io().Open(u"\\\\.\\" + name);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    SERIAL_TIMEOUTS whole = {0, 0, 0, 0, 0};
    if (handle == qvx::INVALID_FILE_HANDLE ||
        Control(machine, handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)) != 0 ||
        Control(machine, handle, IOCTL_SERIAL_SET_TIMEOUTS, &whole, sizeof(whole)) != 0) {
        return qvx::INVALID_FILE_HANDLE;
    }
    return handle;
}

void BM_PairEndToEnd(benchmark::State& state)
{
    const bool kernel = state.range(0) != 0;
    qvx::MachineOptions options;
    options.Verify = state.range(1) != 0;
    std::vector<UCHAR> data(BYTES);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<UCHAR>(i * 131 + (i >> 9));
    }
    double perTick = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = std::make_unique<qvx::Machine>(options);
        machine->Reg().CreateKey(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex");
        machine->Reg().SetDword(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex", u"ComPeriod", 1);
        {
            qvx::DriverHost ports(*machine);
            qvx::KernelPeerHost peer(*machine);
            std::vector<std::unique_ptr<qvx::Peer>> peers;
            bool ready = ports.Load() == 0 && (!kernel || peer.Load() == 0);
            ready = ready &&
                    ports.AddPort({{u"PortName", u"COM5"}, {u"Peer", u"pair:COM6"}}) == 0 &&
                    ports.AddPort({{u"PortName", u"COM6"}, {u"Peer", u"pair:COM5"}}) == 0;
            std::string error;
            ready = ready &&
                    (kernel || qvx::CreatePeers({{u"COM5", "pair:COM6"}, {u"COM6", "pair:COM5"}},
                                                &peers, &error));
            const qvx::FileHandle a = ready ? OpenPort(*machine, u"COM5") : 0;
            const qvx::FileHandle b = ready ? OpenPort(*machine, u"COM6") : 0;
            if (a == qvx::INVALID_FILE_HANDLE || b == qvx::INVALID_FILE_HANDLE) {
                state.SkipWithError("the pair did not start");
                return;
            }
            state.ResumeTiming();
            const LONGLONG start = machine->NowMs();
            qvx::IoRequestPtr read = machine->Io().ReadAsync(b, BYTES);
            qvx::IoRequestPtr write = machine->Io().WriteAsync(a, data);
            const bool whole = read->Wait().Data == data && write->Wait().Status == 0;
            const LONGLONG took = machine->NowMs() - start;
            state.PauseTiming();
            if (!whole) {
                state.SkipWithError("COM6 did not get every byte in order");
                return;
            }
            perTick = static_cast<double>(BYTES) / (static_cast<double>(took) * PER_TICK);
            machine->Io().Close(a);
            machine->Io().Close(b);
            peers.clear();
            (void)peer.Unload();
        }
        machine.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BYTES));
    state.counters["per_tick"] = perTick;
    if (perTick < 0.99) {
        state.SkipWithError("below 99 % of the 127 bytes a port hands over per tick");
    }
}
BENCHMARK(BM_PairEndToEnd)
    ->ArgNames({"kernel_peer", "verify"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

} // namespace
