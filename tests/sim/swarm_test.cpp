// Seeded whole-system scenarios: the driver loaded through the Plug and Play manager, two to four
// ports with null-modem pairs and loopbacks attached by their peer descriptions, and programs
// that open, read, write, wait, purge, cancel, change settings and close at random, while the
// clock runs, DPCs are held and run out of order, devices stop, vanish and come back, and pool
// allocations fail. One std::mt19937 seeded from the seed drives every choice.
//
// Byte accounting, per direction (the bytes one port writes, read on the port at the far end of
// its cable): every byte written is appended to the direction's stream; the bytes read must be
// that stream in order with only "lossable" bytes left out. A byte becomes lossable when
// something may legitimately drop it, and only then:
//   - its write ended without success and had not handed it over (Information counts what was);
//     such bytes never left the port and must never arrive;
//   - it was in flight (written, not yet read) when the reading port cleared its input (purge,
//     close, a cancelled read that had taken bytes, an overrun in the driver's counters) or the
//     writing port cleared its transmitter (purge), when the peer counted a drop, or when a Plug
//     and Play stop or removal hit either end;
//   - it was written while the far end was closed, not started, or stopped;
//   - it sat in the transmitter of a port that stayed closed to the end.
// A failed allocation loses nothing: the driver allocates only at add device, start, open and a
// change of queue size. The read check runs as a small automaton over candidate stream positions
// (one per run of lossable bytes), so it is exact however the lost bytes looked. At the end, with
// every hold released and the line drained, every byte not lossable must have been read. Flow
// characters and immediate characters (all below the printable data) travel outside the streams
// and readers skip them.
//
// Requests: each completes once, with a status its kind allows (removal statuses only once the
// device went away under the handle); a read succeeds short only under return-at-once timeouts
// and times out short; once the scenario ends, with the line released, writes complete by
// themselves, and cancels and closes leave nothing pending. A program stops or vetoes a stop
// only while idle: a query-stop waits for the requests in service, which may wait for ever. A
// stop and start under an open handle leaves it carrying nothing (the start does not set the
// send timer or the UART's interrupts again); the program closes it. No verifier rule may fire;
// the fixture's teardown reports pool left over.
//
// QVX_SEED=<n> replays one seed, QVX_SIM_SEEDS=<first>:<count> runs a range (scripts/swarm.sh).
// QVX_SIM_VERBOSE=1 prints what each seed did, 2 every step, 3 the driver's trace too;
// QVX_SIM_LEVEL=1 keeps to data, timeouts and cancels, 2 adds settings, 3 (default) everything.
// ctest-labels: swarm

#include "support/machine_fixture.h"
#include "support/watchdog.h"

#include "host/driver_host.h"
#include "host/peers/peer_factory.h"
#include "platform/machine/machine.h"
#include "port/port.h"
#include "trace/trace.h"

#include <ntddser.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace qvx {
namespace {

constexpr UCHAR XON = 0x11;
constexpr UCHAR XOFF = 0x13;
// Data bytes are printable, so that 7 data bits, null stripping and the flow characters leave
// them alone; immediate and flow characters come from below that range, and readers skip it.
constexpr UCHAR DATA_LOW = 0x20;
constexpr UCHAR DATA_HIGH = 0x7E;
// The baud block travels inline, tagged "DUAB", and a peer takes out whatever carries the tag:
// data never holds a 'U', so it can never look like one, even where lost bytes leave a gap.
constexpr UCHAR NO_DATA = 'U';
constexpr UCHAR IMMEDIATE_LOW = 0x01;
constexpr UCHAR IMMEDIATE_HIGH = 0x04;
constexpr UCHAR OTHER_XON = 0x05;
constexpr UCHAR OTHER_XOFF = 0x06;
constexpr int STEPS = 2000;

// Seeds that once failed: run every time (the scenarios have grown since, so most no longer
// replay their first failure; each still runs the machine its own way). 4: a query-stop while
// a read without timeouts was in service (the stop waits for it). 5: stop and start with the
// handle open (the handle carries nothing afterwards). 45: a read queued behind a timed-out one
// starts under return-at-once timeouts. 380: a write timed out after its first bytes while a
// later read held what followed. 724, 1746: a reopen right after a close whose requests were
// still coming back. 10301, 13422: data that carried the baud block's tag.
constexpr uint32_t REGRESSION_SEEDS[] = {4, 5, 45, 380, 724, 1746, 10301, 13422};

// The replay line of the running seed, for a verifier abort (a deadlock ends the process).
char g_replay[256];

void PrintReplayOnAbort(int)
{
    const ssize_t written = write(2, g_replay, std::strlen(g_replay));
    (void)written;
}

// One direction of traffic and what the reader may still see of it.
class Stream
{
  public:
    // Appends bytes written now; returns the first position.
    size_t Append(const std::vector<UCHAR>& bytes, bool lossable)
    {
        const size_t first = bytes_.size();
        for (UCHAR b : bytes) {
            const size_t at = bytes_.size();
            bytes_.push_back(b);
            where_[b].push_back(at);
            if (!lossable) {
                kept_.insert(at);
            }
        }
        return first;
    }
    // Bytes from `first` up to `last` may be lost.
    size_t MarkLossable(size_t first, size_t last)
    {
        const size_t before = kept_.size();
        kept_.erase(kept_.lower_bound(first), kept_.lower_bound(last));
        return before - kept_.size();
    }
    // Bytes from `first` up to `last` never left the writer: they are lost and must never be read.
    size_t MarkNeverSent(size_t first, size_t last)
    {
        for (size_t at = first; at < last; ++at) {
            never_.insert(at);
        }
        return MarkLossable(first, last);
    }
    // Everything not read yet may be lost.
    size_t MarkInFlight()
    {
        return MarkLossable(*std::min_element(states_.begin(), states_.end()), Size());
    }
    size_t Size() const { return bytes_.size(); }
    size_t Lossable() const { return Size() - kept_.size(); }
    std::string Text() const
    {
        std::string text;
        for (size_t i = 0; i < Size(); ++i) {
            if (i % 100 == 0) {
                text += "\n" + std::to_string(i) + ": ";
            }
            text += kept_.count(i) != 0 ? char(bytes_[i]) : '_';
        }
        return text;
    }
    size_t ReadCount() const { return read_; }

    // Feeds one byte the reader got; FALSE when it cannot be the next byte of the stream.
    bool Read(UCHAR b)
    {
        std::vector<size_t> next;
        for (size_t state : states_) {
            const size_t stop = NextKept(state);
            const auto& where = where_[b];
            auto it = std::lower_bound(where.begin(), where.end(), state);
            while (it != where.end() && *it < stop && never_.count(*it) != 0) {
                ++it;
            }
            if (it != where.end() && *it < stop) {
                next.push_back(*it + 1);
            }
            if (stop < Size() && bytes_[stop] == b) {
                next.push_back(stop + 1);
            }
        }
        if (next.empty()) {
            return false;
        }
        ++read_;
        // Of candidates before the same kept byte, the first one can reach all the others do.
        std::sort(next.begin(), next.end());
        states_.clear();
        size_t lastStop = SIZE_MAX;
        for (size_t state : next) {
            const size_t stop = NextKept(state);
            if (stop != lastStop) {
                states_.push_back(state);
                lastStop = stop;
            }
        }
        return true;
    }
    // Every byte not lossable was read.
    bool Complete() const
    {
        for (size_t state : states_) {
            if (NextKept(state) == Size()) {
                return true;
            }
        }
        return false;
    }
    // The first byte the reader still owes, for messages.
    size_t Owed() const { return NextKept(*std::min_element(states_.begin(), states_.end())); }

  private:
    size_t NextKept(size_t from) const
    {
        auto it = kept_.lower_bound(from);
        return it == kept_.end() ? Size() : *it;
    }

    std::vector<UCHAR> bytes_;
    std::array<std::vector<size_t>, 256> where_;
    std::set<size_t> kept_;            // positions that must be read
    std::set<size_t> never_;           // positions that must not be read
    std::vector<size_t> states_ = {0}; // where the next byte read may come from
    size_t read_ = 0;
};

enum class Kind { Read, Write, Flush, Wait, Control, Purge, Immediate, XoffCounter };

struct Request
{
    Kind kind;
    size_t port;
    unsigned generation; // of the port's handle
    IoRequestPtr io;
    size_t first = 0; // write: its bytes in the stream; read: its length; purge: its mask
    size_t last = 0;
    ULONG code = 0;
    std::string what;
};

struct SimPort
{
    std::u16string name;
    PDEVICE_OBJECT pdo = nullptr;
    bool started = false;  // present and started
    bool present = false;  // the device exists (maybe stopped)
    bool surprise = false; // surprise-removed, waiting for its last handle
    FileHandle handle = INVALID_FILE_HANDLE;
    unsigned generation = 0;
    bool removedUnderHandle = false; // the device stopped or went away while this handle was open
    // Stopped under this handle: it carries nothing until the start brings its port back.
    bool stale = false;
    // Timeouts that let a read succeed with fewer bytes than asked for were set on the device
    // (they outlive close and open).
    bool shortReads = false;
    size_t out = 0;     // stream of the bytes it writes
    size_t in = 0;      // stream of the bytes it reads
    ULONG overruns = 0; // loss counters as last seen
};

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

class SimSwarmTest : public SimMachineTest
{
  protected:
    SimSwarmTest()
    {
        Options.AbortOnViolation = false;
        // A wait that can never end is reported after a simulated minute, not an hour.
        Options.WaitTimeLimit = 60LL * 1000 * 10000;
    }

    void TearDown() override
    {
        // A scenario that stopped early still leaves the machine as a program would.
        for (SimPort& port : ports_) {
            if (port.handle != INVALID_FILE_HANDLE) {
                (void)Io().CancelIo(port.handle);
                (void)Io().Close(port.handle);
                port.handle = INVALID_FILE_HANDLE;
            }
        }
        if (!ports_.empty()) {
            Sim().HoldDpcs(false);
            Sim().AdvanceMs(50);
            Io().RunPassiveWork();
        }
        peers_.clear();
        host_.reset();
        Sim().FailNthAllocation(0);
        if (verbose_ >= 3) {
            TraceComponents = savedTrace_.first;
            TraceLevel = savedTrace_.second;
        }
        SimMachineTest::TearDown();
        if (HasFailure()) {
            std::fprintf(stderr, "%s\n", replay_.c_str());
        }
        watchdog_.reset();
    }

    IoManager& Io() { return Sim().Io(); }
    size_t Pick(size_t low, size_t high)
    {
        return std::uniform_int_distribution<size_t>(low, high)(rng_);
    }
    bool Chance(unsigned percent) { return Pick(0, 99) < percent; }

    // --- Set-up --------------------------------------------------------------------------
    void Build()
    {
        // The machine's clock tick and the ports' send period vary from seed to seed. No exact
        // clock: the read interval polls every 100 ns, which only a clock tick makes bearable.
        static const LONGLONG ticks[] = {10000, 10000, 5000, 100000, 156250};
        Sim().SetTickLength(ticks[Pick(0, 4)]);
        static const ULONG periods[] = {20, 20, 1, 5, 50};
        ASSERT_TRUE(Sim().Reg().SetDword(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex", "ComPeriod",
            periods[Pick(0, 4)]));
        host_ = std::make_unique<DriverHost>(Sim());
        ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
        // Cables: always one pair; then a loopback, another pair, or two loopbacks.
        std::vector<std::pair<size_t, size_t>> cables = {{0, 1}};
        switch (Pick(0, 3)) {
        case 0:
            break;
        case 1:
            cables.push_back({2, 2});
            break;
        case 2:
            cables.push_back({2, 3});
            break;
        default:
            cables.push_back({2, 2});
            cables.push_back({3, 3});
            break;
        }
        std::vector<PeerRequest> requests;
        for (const auto& cable : cables) {
            std::string options;
            if (Chance(30)) {
                options += ",line-speed";
            }
            if (Chance(30)) {
                options += ",xonxoff";
            }
            if (Chance(20)) {
                options += ",buffer=2048";
            }
            for (size_t end : {cable.first, cable.second}) {
                if (end >= ports_.size()) {
                    ports_.resize(end + 1);
                }
            }
            const size_t a = cable.first;
            const size_t b = cable.second;
            ports_[a].name = u"COM" + std::u16string(1, static_cast<char16_t>(u'5' + a));
            ports_[b].name = u"COM" + std::u16string(1, static_cast<char16_t>(u'5' + b));
            if (a == b) {
                requests.push_back({ports_[a].name, "loopback" + options});
            } else {
                requests.push_back({ports_[a].name, "pair:" + Narrow(ports_[b].name) + options});
                requests.push_back({ports_[b].name, "pair:" + Narrow(ports_[a].name) + options});
            }
            // The streams: a writes into `a -> b`, b reads it.
            streams_.emplace_back();
            ports_[a].out = streams_.size() - 1;
            ports_[b].in = streams_.size() - 1;
            if (a != b) {
                streams_.emplace_back();
                ports_[b].out = streams_.size() - 1;
                ports_[a].in = streams_.size() - 1;
            }
            cableOf_.push_back(cable);
        }
        std::string error;
        ASSERT_TRUE(CreatePeers(requests, &peers_, &error)) << error;
        for (SimPort& port : ports_) {
            ASSERT_EQ(host_->AddPort(port.name, &port.pdo), STATUS_SUCCESS);
            port.present = port.started = true;
        }
        peerDropped_.assign(peers_.size(), 0);
    }

    // --- Requests --------------------------------------------------------------------------
    Request& Issue(Kind kind, size_t p, IoRequestPtr io, std::string what)
    {
        Request request{kind, p, ports_[p].generation, std::move(io), 0, 0, 0, std::move(what)};
        pending_.push_back(std::move(request));
        return pending_.back();
    }

    void Control(size_t p, ULONG code, const void* input, size_t length, ULONG output = 0,
                 Kind kind = Kind::Control, const char* what = "control")
    {
        Log("%s %s 0x%x", what, Narrow(ports_[p].name).c_str(), static_cast<unsigned>(code));
        const auto* bytes = static_cast<const UCHAR*>(input);
        std::vector<UCHAR> in(bytes, bytes + length);
        Request& request =
            Issue(kind, p, Io().DeviceIoControlAsync(ports_[p].handle, code, in, output), what);
        request.code = code;
    }

    void Lose(Stream& stream, const char* why)
    {
        const size_t count = stream.MarkInFlight();
        lost_[why] += count;
        Log("lossable %zu: stream %zu up to %zu (%s)", count, size_t(&stream - streams_.data()),
            stream.Size(), why);
    }

    // The scenario step by step, with QVX_SIM_VERBOSE=2.
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (verbose_ >= 1 && std::strncmp(format, "plug", 4) != 0 && format[0] != '%') {
            ++outcomes_[std::string("event: ") + format];
        }
        if (verbose_ >= 2) {
            std::printf("%6lld ms: ", static_cast<long long>(Sim().NowMs()));
            va_list args;
            va_start(args, format);
            std::vprintf(format, args);
            va_end(args);
            std::printf("\n");
            std::fflush(stdout);
        }
    }

    bool Busy(size_t p) const
    {
        for (const Request& request : pending_) {
            if (request.port == p && !request.io->Done()) {
                return true;
            }
        }
        return false;
    }

    size_t Outstanding(size_t p, Kind kind) const
    {
        size_t count = 0;
        for (const Request& request : pending_) {
            count += request.port == p && request.kind == kind && !request.io->Done() ? 1 : 0;
        }
        return count;
    }

    std::vector<UCHAR> Data(size_t count)
    {
        std::vector<UCHAR> bytes(count);
        for (auto& b : bytes) {
            do {
                b = static_cast<UCHAR>(Pick(DATA_LOW, DATA_HIGH));
            } while (b == NO_DATA);
        }
        return bytes;
    }

    // Bytes that reach the far end of `p` now may be dropped there.
    bool FarEndLossy(size_t p) const
    {
        for (const SimPort& port : ports_) {
            if (port.in == ports_[p].out) {
                return port.handle == INVALID_FILE_HANDLE || !port.started || port.stale ||
                       !ports_[p].started || ports_[p].stale;
            }
        }
        return true;
    }

    void Write(size_t p)
    {
        // Programs mostly write when someone listens: bytes nobody can read check little.
        if (Outstanding(p, Kind::Write) >= 4 || (FarEndLossy(p) && !Chance(20))) {
            return;
        }
        const std::vector<UCHAR> bytes = Data(Pick(0, 20) == 0 ? Pick(600, 3000) : Pick(1, 200));
        Stream& stream = streams_[ports_[p].out];
        const bool lossy = FarEndLossy(p);
        const size_t first = stream.Append(bytes, lossy);
        lost_["far end closed"] += lossy ? bytes.size() : 0;
        Request& request = Issue(Kind::Write, p, Io().WriteAsync(ports_[p].handle, bytes), "write");
        request.first = first;
        request.last = first + bytes.size();
        Log("write %s stream %zu [%zu, %zu)%s", Narrow(ports_[p].name).c_str(), ports_[p].out,
            first, first + bytes.size(), lossy ? " lossable" : "");
    }

    void Flush(size_t p)
    {
        Log("flush %s", Narrow(ports_[p].name).c_str());
        Issue(Kind::Flush, p, Io().FlushAsync(ports_[p].handle), "flush");
    }

    void Read(size_t p)
    {
        if (Outstanding(p, Kind::Read) >= 3) {
            return;
        }
        const ULONG length = static_cast<ULONG>(Pick(0, 2000));
        Log("read %s %u", Narrow(ports_[p].name).c_str(), static_cast<unsigned>(length));
        Issue(Kind::Read, p, Io().ReadAsync(ports_[p].handle, length), "read").first = length;
    }

    void SetTimeouts(size_t p)
    {
        SERIAL_TIMEOUTS t = {};
        switch (Pick(0, 5)) {
        case 0: // return at once with what is there
            t.ReadIntervalTimeout = MAXULONG;
            break;
        case 1: // wait for the whole length
            break;
        case 2:
            t.ReadIntervalTimeout = static_cast<ULONG>(Pick(1, 50));
            break;
        case 3:
            t.ReadTotalTimeoutMultiplier = static_cast<ULONG>(Pick(0, 2));
            t.ReadTotalTimeoutConstant = static_cast<ULONG>(Pick(0, 200));
            t.ReadIntervalTimeout = Chance(50) ? static_cast<ULONG>(Pick(1, 30)) : 0;
            break;
        default: // return when any byte came, or after the constant
            t.ReadIntervalTimeout = MAXULONG;
            t.ReadTotalTimeoutMultiplier = MAXULONG;
            t.ReadTotalTimeoutConstant = static_cast<ULONG>(Pick(1, 200));
            break;
        }
        if (t.ReadIntervalTimeout == MAXULONG) {
            ports_[p].shortReads = true;
        }
        if (Chance(50)) {
            t.WriteTotalTimeoutMultiplier = static_cast<ULONG>(Pick(0, 2));
            t.WriteTotalTimeoutConstant = static_cast<ULONG>(Pick(1, 300));
        }
        Log("timeouts %s %u %u %u %u %u", Narrow(ports_[p].name).c_str(),
            static_cast<unsigned>(t.ReadIntervalTimeout),
            static_cast<unsigned>(t.ReadTotalTimeoutMultiplier),
            static_cast<unsigned>(t.ReadTotalTimeoutConstant),
            static_cast<unsigned>(t.WriteTotalTimeoutMultiplier),
            static_cast<unsigned>(t.WriteTotalTimeoutConstant));
        Control(p, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t));
    }

    void Wait(size_t p)
    {
        const ULONG mask = static_cast<ULONG>(Pick(0, 0x1FFF));
        Control(p, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
        if (Chance(80)) {
            Control(p, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG), Kind::Wait,
                    "wait on mask");
        }
    }

    void Purge(size_t p)
    {
        const ULONG flags = static_cast<ULONG>(Pick(1, 15));
        Log("purge %s %x", Narrow(ports_[p].name).c_str(), static_cast<unsigned>(flags));
        LosePurged(p, flags, "purge");
        Control(p, IOCTL_SERIAL_PURGE, &flags, sizeof(flags), 0, Kind::Purge, "purge");
        pending_.back().first = flags;
    }

    // What a purge clears: the transmit buffer (what the port writes) or the input ring and
    // the receive buffer (what it reads); aborted requests account for themselves.
    void LosePurged(size_t p, ULONG flags, const char* why)
    {
        if ((flags & SERIAL_PURGE_TXCLEAR) != 0) {
            Lose(streams_[ports_[p].out], why);
        }
        if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
            Lose(streams_[ports_[p].in], why);
        }
    }

    void CancelOne()
    {
        std::vector<size_t> live;
        for (size_t i = 0; i < pending_.size(); ++i) {
            if (!pending_[i].io->Done()) {
                live.push_back(i);
            }
        }
        if (!live.empty()) {
            Log("cancel");
            (void)Io().CancelRequest(pending_[live[Pick(0, live.size() - 1)]].io);
        }
    }

    void Open(size_t p)
    {
        SimPort& port = ports_[p];
        if (port.handle != INVALID_FILE_HANDLE && port.started && !port.stale) {
            // One handle at a time.
            NTSTATUS status = STATUS_SUCCESS;
            EXPECT_EQ(Io().Open(u"\\\\.\\" + port.name, 0, &status), INVALID_FILE_HANDLE);
            EXPECT_EQ(status, STATUS_ACCESS_DENIED);
            return;
        }
        if (port.handle != INVALID_FILE_HANDLE || port.surprise || !port.present) {
            return;
        }
        // The close of the last handle goes out once its cancelled requests are back, from
        // passive work that simulated time alone does not run.
        Io().RunPassiveWork();
        NTSTATUS status = STATUS_SUCCESS;
        const FileHandle handle = Io().Open(u"\\\\.\\" + port.name, 0, &status);
        if (handle == INVALID_FILE_HANDLE) {
            Log("open %s failed %x", Narrow(port.name).c_str(), static_cast<unsigned>(status));
            if (verbose_ >= 2) {
                for (const Request& request : pending_) {
                    Log("  pending %s on %s, generation %u", request.what.c_str(),
                        Narrow(ports_[request.port].name).c_str(), request.generation);
                }
                Log("  closes pending %zu", Io().PendingCloseCount());
            }
            // The previous handle's file object stays open until its last request is back.
            const bool closing = Busy(p) && status == STATUS_ACCESS_DENIED;
            EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || !port.started ||
                        status == STATUS_NO_SUCH_DEVICE || closing)
                << "open of " << Narrow(port.name) << " failed: " << std::hex << status;
            return;
        }
        Log("open %s", Narrow(port.name).c_str());
        port.handle = handle;
        port.stale = false;
        ++port.generation;
        port.removedUnderHandle = !port.started;
    }

    void Close(size_t p)
    {
        SimPort& port = ports_[p];
        if (port.handle == INVALID_FILE_HANDLE) {
            return;
        }
        Log("close %s", Narrow(port.name).c_str());
        // The input ring goes; what the transmitter holds leaves after the next open.
        Lose(streams_[port.in], "close");
        EXPECT_EQ(Io().Close(port.handle), STATUS_SUCCESS);
        port.handle = INVALID_FILE_HANDLE;
        Io().RunPassiveWork();
    }

    // Holds DPCs, lets a few things happen, then runs the queued DPCs of the ports in random
    // order before the rest in queue order.
    void ShuffleDpcs()
    {
        Sim().HoldDpcs(true);
        for (size_t i = Pick(1, 3); i > 0; --i) {
            Act(Pick(0, 11));
        }
        if (Chance(30)) {
            Sim().AdvanceMs(static_cast<LONGLONG>(Pick(1, 25)));
        }
        for (;;) {
            std::vector<PKDPC> queued;
            for (SimPort& port : ports_) {
                PortDeviceRecord* record = Record(port);
                if (record == nullptr) {
                    continue;
                }
                for (PKDPC dpc :
                     {&record->Uart.InterruptDpc, &record->WriteCompleteDpc,
                      &record->WriteTimeoutDpc, &record->ImmediateCompleteDpc,
                      &record->ImmediateTimeoutDpc, &record->XoffTimeoutDpc,
                      &record->XoffCompleteDpc, &record->ReadCompleteDpc, &record->ReadTimeoutDpc,
                      &record->ReadIntervalDpc, &record->SerialErrorDpc, &record->WaitCompleteDpc,
                      &record->SendTimerDpc}) {
                    if (Sim().IsDpcQueued(dpc)) {
                        queued.push_back(dpc);
                    }
                }
                for (RequestQueue* queue : record->Queues) {
                    if (queue != nullptr && Sim().IsDpcQueued(&queue->StartDpc)) {
                        queued.push_back(&queue->StartDpc);
                    }
                }
            }
            if (queued.empty() || Chance(10)) {
                break;
            }
            (void)Sim().RunDpc(queued[Pick(0, queued.size() - 1)]);
        }
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
    }

    PortDeviceRecord* Record(const SimPort& port)
    {
        if (!port.present || host_ == nullptr) {
            return nullptr;
        }
        PDEVICE_OBJECT fdo = host_->FunctionDevice(port.pdo);
        return fdo != nullptr ? QuarvexPortFromDevice(fdo) : nullptr;
    }

    // --- Settings and flow control ---------------------------------------------------------
    void Settings(size_t p)
    {
        switch (Pick(0, 10)) {
        case 0: {
            static const ULONG rates[] = {9600, 19200, 38400, 57600, 115200, 115200};
            SERIAL_BAUD_RATE rate = {rates[Pick(0, 5)]};
            Control(p, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate));
            break;
        }
        case 1: {
            SERIAL_LINE_CONTROL line = {};
            line.WordLength = static_cast<UCHAR>(Pick(7, 8));
            line.Parity = static_cast<UCHAR>(Pick(0, 4));
            line.StopBits = Chance(50) ? STOP_BIT_1 : STOP_BITS_2;
            Control(p, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line));
            break;
        }
        case 2:
        case 3: {
            static const ULONG dtr[] = {SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE, 0};
            static const ULONG rts[] = {SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE,
                                        SERIAL_TRANSMIT_TOGGLE, 0};
            static const LONG limits[][2] = {{2048, 512}, {50, 3900}, {10, 4000}, {0, 0}};
            SERIAL_HANDFLOW flow = {};
            flow.ControlHandShake = dtr[Pick(0, 2)];
            if (Chance(30)) {
                flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
            }
            if (Chance(10)) {
                flow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
            }
            if (Chance(10)) {
                flow.ControlHandShake |= SERIAL_ERROR_ABORT;
            }
            flow.FlowReplace = rts[Pick(0, 3)];
            if (Chance(40)) {
                flow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
            }
            if (Chance(40)) {
                flow.FlowReplace |= SERIAL_AUTO_RECEIVE;
            }
            if (Chance(20)) {
                flow.FlowReplace |= SERIAL_XOFF_CONTINUE;
            }
            if (Chance(20)) {
                flow.FlowReplace |= SERIAL_NULL_STRIPPING;
            }
            const size_t limit = Pick(0, 3);
            flow.XonLimit = limits[limit][0];
            flow.XoffLimit = limits[limit][1];
            Control(p, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow));
            break;
        }
        case 4: {
            static const ULONG lines[] = {IOCTL_SERIAL_SET_RTS,      IOCTL_SERIAL_CLR_RTS,
                                          IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
                                          IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                                          IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON};
            Control(p, lines[Pick(0, 7)], nullptr, 0);
            break;
        }
        case 5: {
            SERIAL_QUEUE_SIZE size = {static_cast<ULONG>(Pick(1024, 16384)), 0};
            WithFailure([&] { Control(p, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size)); });
            break;
        }
        case 6: {
            const UCHAR c = static_cast<UCHAR>(Pick(IMMEDIATE_LOW, IMMEDIATE_HIGH));
            Control(p, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof(c), 0, Kind::Immediate,
                    "immediate character");
            break;
        }
        case 7: {
            SERIAL_XOFF_COUNTER counter = {static_cast<ULONG>(Pick(0, 3000)),
                                           static_cast<LONG>(Pick(1, 200)), XOFF};
            Control(p, IOCTL_SERIAL_XOFF_COUNTER, &counter, sizeof(counter), 0, Kind::XoffCounter,
                    "Xoff counter");
            break;
        }
        case 8: {
            // Flow characters of either convention; the event character may be data.
            const bool classic = Chance(70);
            SERIAL_CHARS chars = {};
            chars.EventChar = static_cast<UCHAR>(Pick(DATA_LOW, DATA_HIGH));
            chars.XonChar = classic ? XON : OTHER_XON;
            chars.XoffChar = classic ? XOFF : OTHER_XOFF;
            Control(p, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars));
            break;
        }
        default:
            Control(p, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
            break;
        }
    }

    // Runs `body` with one of its first allocations made to fail, sometimes.
    template <class F> void WithFailure(F&& body)
    {
        const bool fail = level_ >= 3 && armed_ == 0 && Chance(40);
        if (fail) {
            const ULONG nth = static_cast<ULONG>(Pick(1, 4));
            Log("allocation %u from now fails", static_cast<unsigned>(nth));
            Sim().FailNthAllocation(nth);
        }
        body();
        if (fail) {
            Sim().FailNthAllocation(0);
        }
    }

    // --- Plug and Play -----------------------------------------------------------------------
    void Vanish(size_t p)
    {
        SimPort& port = ports_[p];
        Lose(streams_[port.out], "plug and play");
        Lose(streams_[port.in], "plug and play");
        port.started = false;
        if (port.handle != INVALID_FILE_HANDLE) {
            port.removedUnderHandle = true;
        }
    }

    void PlugAndPlay(size_t p)
    {
        SimPort& port = ports_[p];
        Log("plug and play %s: %s", Narrow(port.name).c_str(),
            !port.present   ? "arrival"
            : port.surprise ? "none"
            : !port.started ? "start"
                            : "change");
        if (!port.present) {
            // The device arrives again.
            NTSTATUS status = STATUS_SUCCESS;
            WithFailure([&] { status = host_->AddPort(port.name, &port.pdo); });
            if (NT_SUCCESS(status)) {
                port.present = port.started = true;
                port.overruns = 0;
                port.shortReads = false;
            } else {
                Log("arrival failed %x", static_cast<unsigned>(status));
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "arrival failed";
                port.pdo = nullptr;
            }
            return;
        }
        if (port.surprise) {
            return; // gone once its handle closes
        }
        if (!port.started) {
            NTSTATUS status = STATUS_SUCCESS;
            WithFailure([&] { status = Sim().Pnp().Start(port.pdo); });
            if (NT_SUCCESS(status)) {
                port.started = true;
                port.stale = false;
            } else if (Log("start failed %x", static_cast<unsigned>(status)),
                       Sim().Pnp().FunctionDevice(port.pdo) == nullptr) {
                // A failed start removes the device.
                port.present = false;
                port.removedUnderHandle = port.handle != INVALID_FILE_HANDLE;
            }
            return;
        }
        switch (Pick(0, 3)) {
        case 0: {
            // A query-stop waits for the requests in service, which may wait for ever (a read
            // without timeouts): a program stops its port when it is idle.
            if (Busy(p)) {
                return;
            }
            const NTSTATUS query = Sim().Pnp().QueryStop(port.pdo);
            if (!NT_SUCCESS(query) || Chance(30)) {
                // Someone else vetoed: the queues run again as they were.
                Log("stop cancelled");
                EXPECT_EQ(Sim().Pnp().CancelStop(port.pdo), STATUS_SUCCESS);
                return;
            }
            Log("stop");
            Vanish(p);
            port.stale = port.handle != INVALID_FILE_HANDLE;
            EXPECT_EQ(Sim().Pnp().Stop(port.pdo), STATUS_SUCCESS);
            break;
        }
        case 1:
            Log("surprise removal");
            Vanish(p);
            EXPECT_EQ(host_->SurpriseRemovePort(port.pdo), STATUS_SUCCESS);
            port.surprise = true;
            FinishRemoval(p);
            break;
        case 2:
            // A query-remove that another driver vetoes; idle for the same reason as a stop.
            if (!Busy(p)) {
                Log("removal cancelled");
                EXPECT_EQ(Sim().Pnp().QueryRemove(port.pdo), STATUS_SUCCESS);
                EXPECT_EQ(Sim().Pnp().CancelRemove(port.pdo), STATUS_SUCCESS);
            }
            break;
        default:
            if (port.handle != INVALID_FILE_HANDLE && !Busy(p)) {
                // An open handle vetoes an orderly removal; the port goes on as before.
                Log("removal vetoed");
                EXPECT_EQ(host_->RemovePort(port.pdo), STATUS_PLUGPLAY_QUERY_VETOED);
            } else if (port.handle == INVALID_FILE_HANDLE) {
                Log("removal");
                Vanish(p);
                EXPECT_EQ(host_->RemovePort(port.pdo), STATUS_SUCCESS);
                port.present = false;
            }
            break;
        }
    }

    // A surprise-removed device goes once no handle is open on it.
    void FinishRemoval(size_t p)
    {
        SimPort& port = ports_[p];
        if (!port.surprise || port.handle != INVALID_FILE_HANDLE) {
            return;
        }
        Io().RunPassiveWork();
        Log("removal after surprise removal");
        EXPECT_EQ(host_->FinishSurpriseRemoval(port.pdo), STATUS_SUCCESS);
        port.surprise = false;
        port.present = false;
    }

    // One random action on a random port.
    void Act(size_t action)
    {
        const size_t p = Pick(0, ports_.size() - 1);
        const bool open = ports_[p].handle != INVALID_FILE_HANDLE;
        switch (action) {
        case 0:
        case 1:
            if (open) {
                if (Chance(10)) {
                    Flush(p);
                } else {
                    Write(p);
                }
            }
            break;
        case 2:
        case 3:
            if (open) {
                Read(p);
            }
            break;
        case 4:
            if (open) {
                SetTimeouts(p);
            }
            break;
        case 5:
            if (open) {
                Wait(p);
            }
            break;
        case 6:
            if (!calm_ || Chance(10)) {
                CancelOne();
            }
            break;
        case 7:
            if (open && Chance(calm_ ? 2 : 15)) {
                Purge(p);
            }
            break;
        case 8:
            Sim().AdvanceMs(static_cast<LONGLONG>(Pick(0, 10)));
            break;
        case 9:
        case 10:
            Sim().AdvanceMs(static_cast<LONGLONG>(Pick(1, 60)));
            break;
        case 11:
            if (open) {
                // A program whose port stopped or went away closes it and tries again.
                const bool dead = ports_[p].stale || ports_[p].removedUnderHandle;
                if (Chance(dead ? 80 : calm_ ? 2 : 15)) {
                    Close(p);
                    FinishRemoval(p);
                }
            } else if (ports_[p].present) {
                WithFailure([&] { Open(p); });
            }
            if (ports_[p].handle != INVALID_FILE_HANDLE && Chance(5)) {
                Open(p);
            }
            break;
        case 12:
            ShuffleDpcs();
            break;
        case 13:
        case 14:
            if (open && level_ >= 2) {
                Settings(p);
            }
            break;
        default:
            if (level_ >= 3 && Chance(25)) {
                PlugAndPlay(p);
            }
            break;
        }
    }

    // --- Checks ------------------------------------------------------------------------------
    bool Allowed(const Request& request, NTSTATUS status) const
    {
        if (status == STATUS_CANCELLED) {
            return true;
        }
        const SimPort& port = ports_[request.port];
        if ((status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING) &&
            (request.generation != port.generation || port.removedUnderHandle)) {
            return true;
        }
        switch (request.kind) {
        case Kind::Read:
        case Kind::Write:
            return status == STATUS_SUCCESS || status == STATUS_TIMEOUT;
        case Kind::Flush:
            return status == STATUS_SUCCESS;
        case Kind::Immediate:
            // One at a time.
            return status == STATUS_SUCCESS || status == STATUS_TIMEOUT ||
                   status == STATUS_INVALID_PARAMETER;
        case Kind::Wait:
            // A second wait, or a wait with an empty mask, is refused.
            return status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER;
        case Kind::XoffCounter:
            return status == STATUS_SUCCESS || status == STATUS_SERIAL_MORE_WRITES ||
                   status == STATUS_SERIAL_COUNTER_TIMEOUT || status == STATUS_TIMEOUT;
        case Kind::Purge:
            return status == STATUS_SUCCESS;
        case Kind::Control:
            if (status == STATUS_SUCCESS) {
                return true;
            }
            if (status == STATUS_INSUFFICIENT_RESOURCES) {
                return request.code == IOCTL_SERIAL_SET_QUEUE_SIZE;
            }
            // A line in a handshake is the driver's.
            return status == STATUS_INVALID_PARAMETER &&
                   (request.code == IOCTL_SERIAL_SET_RTS || request.code == IOCTL_SERIAL_CLR_RTS ||
                    request.code == IOCTL_SERIAL_SET_DTR || request.code == IOCTL_SERIAL_CLR_DTR);
        }
        return false;
    }

    void Account(const Request& request, const IoResult& result)
    {
        EXPECT_TRUE(Allowed(request, result.Status))
            << request.what << " on " << Narrow(ports_[request.port].name) << " ended with status "
            << std::hex << result.Status;
        const SimPort& port = ports_[request.port];
        if (request.kind == Kind::Write) {
            if (result.Status == STATUS_SUCCESS) {
                EXPECT_EQ(result.Information, request.last - request.first);
            }
        }
        if (request.kind == Kind::Wait && result.Status == STATUS_SUCCESS) {
            EXPECT_EQ(result.Information, sizeof(ULONG));
        }
        if (request.kind != Kind::Read) {
            return;
        }
        if (request.io != nullptr && request.generation == port.generation) {
            // A read succeeds short only when the timeouts say "return with what is there"; a
            // timed-out one is short by definition.
            EXPECT_TRUE(result.Status != STATUS_SUCCESS || port.shortReads ||
                        result.Information == request.first)
                << "read of " << request.first << " on " << Narrow(port.name) << " succeeded with "
                << result.Information;
            EXPECT_TRUE(result.Status != STATUS_TIMEOUT || result.Information < request.first)
                << "read of " << request.first << " on " << Narrow(port.name) << " timed out with "
                << result.Information;
        }
        Stream& stream = streams_[port.in];
        for (size_t i = 0; i < result.Data.size(); ++i) {
            const UCHAR b = result.Data[i];
            if (b < DATA_LOW) {
                continue;
            }
            if (!stream.Read(b)) {
                ADD_FAILURE() << "read on " << Narrow(port.name) << " got byte " << i << " = 0x"
                              << std::hex << int(b) << std::dec
                              << " that is not next in the stream (owed position " << stream.Owed()
                              << " of " << stream.Size() << ")";
                failed_ = true;
                if (verbose_ >= 2) {
                    std::string text(result.Data.begin(), result.Data.end());
                    std::printf("read: %s\n", text.c_str());
                    std::printf("stream: %s\n", stream.Text().c_str());
                }
                return;
            }
        }
    }

    // Loss the driver or a peer counted since the last look.
    void LookForLosses()
    {
        for (SimPort& port : ports_) {
            const PortDeviceRecord* record = Record(port);
            if (record == nullptr) {
                continue;
            }
            const ULONG overruns =
                record->Stats.SerialOverrunErrorCount + record->Stats.BufferOverrunErrorCount;
            if (overruns != port.overruns) {
                port.overruns = overruns;
                Lose(streams_[port.in], "overrun");
            }
        }
        for (size_t i = 0; i < peers_.size(); ++i) {
            const uint64_t dropped = peers_[i]->Stats().Dropped;
            if (dropped != peerDropped_[i]) {
                peerDropped_[i] = dropped;
                const auto& cable = cableOf_[i];
                Lose(streams_[ports_[cable.first].out], "peer drop");
                Lose(streams_[ports_[cable.second].out], "peer drop");
            }
        }
    }

    void Poll()
    {
        LookForLosses();
        // Losses first: a read that completed earlier in the list may hold bytes that came
        // after what a purge or a cancelled read took.
        for (const Request& request : pending_) {
            if (!request.io->Done()) {
                continue;
            }
            const IoResult result = request.io->Result();
            if (request.kind == Kind::Purge) {
                LosePurged(request.port, static_cast<ULONG>(request.first), "purge");
            }
            if (request.kind == Kind::Write && result.Status != STATUS_SUCCESS) {
                // What it handed over goes on; the rest never left.
                const size_t sent =
                    std::min<size_t>(result.Information, request.last - request.first);
                lost_["failed write"] += streams_[ports_[request.port].out].MarkNeverSent(
                    request.first + sent, request.last);
            }
            if (request.kind == Kind::Read && !NT_SUCCESS(result.Status) &&
                result.Information != 0) {
                Lose(streams_[ports_[request.port].in], "cancelled read");
            }
        }
        for (auto it = pending_.begin(); it != pending_.end() && !failed_;) {
            if (!it->io->Done()) {
                ++it;
                continue;
            }
            const IoResult result = it->io->Result();
            Log("%s on %s ended %x, %zu bytes", it->what.c_str(),
                Narrow(ports_[it->port].name).c_str(), static_cast<unsigned>(result.Status),
                static_cast<size_t>(result.Information));
            Account(*it, result);
            ++completed_;
            char key[96];
            std::snprintf(key, sizeof(key), "%s %x", it->what.c_str(),
                          static_cast<unsigned>(result.Status));
            ++outcomes_[key];
            it = pending_.erase(it);
        }
    }

    // --- The end ---------------------------------------------------------------------------
    void Finish()
    {
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        Sim().FailNthAllocation(0);
        // Stopped devices start again with their requests still queued.
        for (SimPort& port : ports_) {
            if (port.present && !port.started && !port.surprise) {
                EXPECT_EQ(Sim().Pnp().Start(port.pdo), STATUS_SUCCESS) << "restart at the end";
                port.started = true;
                port.stale = false;
            }
        }
        // Everything that could hold the line is released; the readers return at once.
        for (size_t p = 0; p < ports_.size(); ++p) {
            if (ports_[p].handle == INVALID_FILE_HANDLE) {
                continue;
            }
            Control(p, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0);
            Control(p, IOCTL_SERIAL_SET_XON, nullptr, 0);
            Control(p, IOCTL_SERIAL_SET_RTS, nullptr, 0);
            Control(p, IOCTL_SERIAL_SET_DTR, nullptr, 0);
            SERIAL_HANDFLOW plain = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 1024};
            Control(p, IOCTL_SERIAL_SET_HANDFLOW, &plain, sizeof(plain));
            SERIAL_TIMEOUTS t = {MAXULONG, 0, 0, 0, 0};
            Control(p, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t));
            ports_[p].shortReads = true;
            // Ends an abort on error.
            Control(p, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        }
        // Writes finish by themselves now.
        for (int i = 0; i < 400 && AnyPending(Kind::Write); ++i) {
            Sim().AdvanceMs(10);
            Poll();
        }
        for (const Request& request : pending_) {
            EXPECT_FALSE(request.kind == Kind::Write && !request.io->Done() &&
                         ports_[request.port].started && !ports_[request.port].stale &&
                         request.generation == ports_[request.port].generation)
                << "a write on " << Narrow(ports_[request.port].name)
                << " never completes with nothing holding the line";
        }
        // Reads wait in the queue behind waits-for-everything: cancel those, then drain.
        for (const Request& request : pending_) {
            if (request.kind == Kind::Read && !request.io->Done()) {
                (void)Io().CancelRequest(request.io);
            }
        }
        Poll();
        for (int quiet = 0; quiet < 10 && !failed_;) {
            bool got = false;
            for (size_t p = 0; p < ports_.size(); ++p) {
                if (ports_[p].handle == INVALID_FILE_HANDLE || !ports_[p].started ||
                    ports_[p].stale) {
                    continue;
                }
                const IoResult result = Io().Read(ports_[p].handle, 4096);
                LookForLosses();
                const Request request{Kind::Read, p, ports_[p].generation, nullptr, 0,
                                      0,          0, "draining read"};
                Account(request, result);
                got = got || !result.Data.empty();
            }
            Sim().AdvanceMs(20);
            Poll();
            quiet = got ? 0 : quiet + 1;
        }
        // What a port closed for good still held for transmission never leaves.
        for (SimPort& port : ports_) {
            if (port.handle == INVALID_FILE_HANDLE || port.stale || !port.started) {
                Lose(streams_[port.out], "closed at the end");
            }
        }
        for (size_t s = 0; s < streams_.size() && !failed_; ++s) {
            EXPECT_TRUE(streams_[s].Complete())
                << "stream " << s << ": byte " << streams_[s].Owed() << " of " << streams_[s].Size()
                << " was neither read nor lost for a reason";
        }
        // Nothing stays pending once its handle's requests are cancelled and it is closed.
        for (size_t p = 0; p < ports_.size(); ++p) {
            if (ports_[p].handle != INVALID_FILE_HANDLE) {
                (void)Io().CancelIo(ports_[p].handle);
            }
        }
        Sim().AdvanceMs(20);
        for (size_t p = 0; p < ports_.size(); ++p) {
            Close(p);
            FinishRemoval(p);
        }
        Sim().AdvanceMs(50);
        Io().RunPassiveWork();
        Poll();
        for (const Request& request : pending_) {
            ADD_FAILURE() << request.what << " on " << Narrow(ports_[request.port].name)
                          << " still pending after cancel and close";
        }
        if (verbose_ >= 1) {
            std::printf("ports %zu, %lld ms, completed %zu\n", ports_.size(),
                        static_cast<long long>(Sim().NowMs()), completed_);
            for (const Stream& stream : streams_) {
                std::printf("  stream: %zu written, %zu read, %zu lossable\n", stream.Size(),
                            stream.ReadCount(), stream.Lossable());
            }
            for (const auto& cause : lost_) {
                std::printf("  lossable by %s: %zu\n", cause.first.c_str(), cause.second);
            }
            for (const auto& outcome : outcomes_) {
                std::printf("  %s: %zu\n", outcome.first.c_str(), outcome.second);
            }
        }
        for (const Violation& violation : Sim().Violations()) {
            ADD_FAILURE() << "verifier: " << violation.Rule << ": " << violation.Message;
        }
        Sim().ClearViolations();
    }

    bool AnyPending(Kind kind) const
    {
        for (const Request& request : pending_) {
            if (request.kind == kind && !request.io->Done()) {
                return true;
            }
        }
        return false;
    }

    void Run(uint32_t seed)
    {
        replay_ = "replay: QVX_SEED=" + std::to_string(seed) +
                  " build/default/tests/sim_swarm_test --gtest_filter='*SimSwarm*'";
        watchdog_ = std::make_unique<Watchdog>(replay_, std::chrono::seconds(120));
        std::snprintf(g_replay, sizeof(g_replay), "\n%s\n", replay_.c_str());
        std::signal(SIGABRT, PrintReplayOnAbort);
        rng_.seed(seed);
        if (const char* verbose = std::getenv("QVX_SIM_VERBOSE")) {
            verbose_ = std::atoi(verbose);
        }
        if (const char* level = std::getenv("QVX_SIM_LEVEL")) {
            level_ = std::atoi(level);
        }
        if (verbose_ >= 3) {
            savedTrace_ = {TraceComponents, TraceLevel};
            TraceComponents = 0xFFFFFFFFu;
            TraceLevel = 5;
            Sim().SetTraceSink([this](ULONG, ULONG, const char* text) {
                std::printf("%6lld ms: trace %s\n", static_cast<long long>(Sim().NowMs()), text);
            });
        }
        calm_ = Chance(40);
        Build();
        if (HasFatalFailure()) {
            return;
        }
        for (size_t p = 0; p < ports_.size(); ++p) {
            Open(p);
        }
        for (int step = 0; step < STEPS && !failed_ && !HasFatalFailure(); ++step) {
            // Now and then an allocation somewhere in the next steps fails, whoever makes it.
            if (armed_ > 0 && --armed_ == 0) {
                Sim().FailNthAllocation(0);
            } else if (armed_ == 0 && level_ >= 3 && Chance(2)) {
                armed_ = static_cast<int>(Pick(1, 10));
                const ULONG nth = static_cast<ULONG>(Pick(1, 30));
                Log("allocation %u from now fails", static_cast<unsigned>(nth));
                Sim().FailNthAllocation(nth);
            }
            Act(Pick(0, 15));
            Poll();
        }
        if (!failed_ && !HasFatalFailure()) {
            Finish();
        }
    }

    std::mt19937 rng_;
    std::unique_ptr<DriverHost> host_;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::vector<uint64_t> peerDropped_;
    std::vector<std::pair<size_t, size_t>> cableOf_;
    std::vector<SimPort> ports_;
    std::vector<Stream> streams_;
    std::vector<Request> pending_;
    bool failed_ = false;
    int verbose_ = 0;
    std::pair<ULONG, ULONG> savedTrace_; // trace filter before QVX_SIM_VERBOSE=3
    int armed_ = 0;                      // steps left with an allocation failure armed
    bool calm_ = false;                  // few cancels, purges and closes: most bytes must arrive
    size_t completed_ = 0;
    std::map<std::string, size_t> lost_;     // bytes made lossable, by cause
    std::map<std::string, size_t> outcomes_; // requests, by kind and status
    int level_ = 3; // 1: data, timeouts, cancels; 2: and settings; 3: and PnP, failed allocations
    std::string replay_;
    std::unique_ptr<Watchdog> watchdog_;
};

std::vector<uint32_t> Seeds()
{
    if (const char* one = std::getenv("QVX_SEED")) {
        return {static_cast<uint32_t>(std::strtoul(one, nullptr, 10))};
    }
    uint32_t first = 1;
    uint32_t count = 50;
    if (const char* text = std::getenv("QVX_SIM_SEEDS")) {
        std::istringstream in(text);
        char colon = 0;
        in >> first >> colon >> count;
    }
    std::vector<uint32_t> seeds;
    for (uint32_t i = 0; i < count; ++i) {
        seeds.push_back(first + i);
    }
    return seeds;
}

std::vector<uint32_t> RegressionSeeds()
{
    if (std::getenv("QVX_SEED") != nullptr || std::getenv("QVX_SIM_SEEDS") != nullptr) {
        return {};
    }
    return std::vector<uint32_t>(std::begin(REGRESSION_SEEDS), std::end(REGRESSION_SEEDS));
}

class SimSwarm : public SimSwarmTest, public ::testing::WithParamInterface<uint32_t>
{
};

// A random scenario keeps every byte in order or accounted for, ends every request once with a
// status its kind allows, and leaves nothing pending, no verifier report and no pool.
TEST_P(SimSwarm, ScenarioKeepsBytesRequestsAndPoolSound)
{
    Run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, SimSwarm, ::testing::ValuesIn(Seeds()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimSwarm);

class SimSwarmRegression : public SimSwarm
{
};

// Seeds that found a fault once.
TEST_P(SimSwarmRegression, ScenarioThatOnceFailedStaysSound)
{
    Run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fixed, SimSwarmRegression, ::testing::ValuesIn(RegressionSeeds()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimSwarmRegression);

} // namespace
} // namespace qvx
