// Soak on the simulated machine: a stream each way through a pair with Xon/Xoff on both ends
// (each port's transmitter and receiver, and a peer that honours it with a 1024-byte far-side
// buffer), readers that pause past their ring's size every 64 to 192 KiB, every byte checked. Time
// is simulated, so it runs as fast as the processor allows. It fails on the first lost, doubled or
// changed byte, on an overrun or a drop by the peer, on a minute of simulated time without
// progress, and on a verifier report or pool left over.
//
// QVX_SOAK_MIB sets the size, both ways together (ctest runs 4, 2 under the sanitizers;
// scripts/soak.sh --simulated runs 1024 by default).

#include "support/machine_fixture.h"

#include "host/driver_host.h"
#include "host/peers/peer_factory.h"
#include "platform/machine/machine.h"

#include <ntddser.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace qvx {
namespace {

constexpr size_t WRITE_CHUNK = 64 * 1024;
constexpr ULONG READ_LENGTH = 8192;
// The 4096-byte ring fills in about 32 ms at 127 bytes per 1 ms send tick: the readers pause
// for 40 to 130 ms after 64 to 192 KiB, each on its own rhythm, so that each port's Xoff is due
// now while the far side's holds it, now while it is free.
constexpr uint64_t PAUSE_UNIT = 32 * 1024;
constexpr LONGLONG STALL_MS = 60 * 1000;

// Data bytes never take the flow-control values; the two directions differ.
UCHAR PatternByte(size_t direction, uint64_t index)
{
    const auto value = static_cast<UCHAR>((index * 131 + (index >> 11) + direction * 77) % 251);
    return value == 0x11 || value == 0x13 ? static_cast<UCHAR>(value + 100) : value;
}

// One direction: a writer that keeps one write outstanding, a reader that keeps one read
// outstanding except while it pauses.
struct Direction
{
    size_t index = 0;
    FileHandle from = INVALID_FILE_HANDLE;
    FileHandle to = INVALID_FILE_HANDLE;
    uint64_t sent = 0;
    uint64_t received = 0;
    IoRequestPtr write;
    IoRequestPtr read;
    uint64_t nextPause = 0;
    LONGLONG pauseUntilMs = 0;
    uint64_t pauses = 0;
    std::mt19937 rhythm;
};

class SimSoakTest : public SimMachineTest
{
  protected:
    void TearDown() override
    {
        for (FileHandle handle : handles_) {
            (void)Io().CancelIo(handle);
            (void)Io().Close(handle);
        }
        Sim().AdvanceMs(50);
        Io().RunPassiveWork();
        peers_.clear();
        host_.reset();
        SimMachineTest::TearDown();
    }

    IoManager& Io() { return Sim().Io(); }

    void Boot()
    {
        ASSERT_TRUE(Sim().Reg().SetDword(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex", "ComPeriod", 1));
        host_ = std::make_unique<DriverHost>(Sim());
        ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
        std::string error;
        ASSERT_TRUE(CreatePeers({{u"COM5", "pair:COM6,xonxoff,buffer=1024"},
                                 {u"COM6", "pair:COM5,xonxoff,buffer=1024"}},
                                &peers_, &error))
            << error;
        for (const char16_t* name : {u"COM5", u"COM6"}) {
            ASSERT_EQ(host_->AddPort(name), STATUS_SUCCESS);
            handles_.push_back(Io().Open(std::u16string(u"\\\\.\\") + name));
            ASSERT_NE(handles_.back(), INVALID_FILE_HANDLE);
            Configure(handles_.back());
        }
    }

    // Eight data bits, Xon/Xoff both ways; a read ends full or after 100 ms.
    void Configure(FileHandle handle)
    {
        SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)),
                  STATUS_SUCCESS);
        SERIAL_HANDFLOW flow = {SERIAL_DTR_CONTROL,
                                SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                    SERIAL_XOFF_CONTINUE,
                                1024, 1024};
        SERIAL_CHARS chars = {};
        chars.XonChar = 0x11;
        chars.XoffChar = 0x13;
        SERIAL_TIMEOUTS timeouts = {0, 0, 100, 0, 0};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)), STATUS_SUCCESS);
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)), STATUS_SUCCESS);
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)),
                  STATUS_SUCCESS);
    }

    NTSTATUS Control(FileHandle handle, ULONG code, const void* input, size_t length)
    {
        const auto* bytes = static_cast<const UCHAR*>(input);
        return Io()
            .DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + length), 0)
            .Status;
    }

    // Ends a finished write and starts the next one. FALSE on a failed write.
    bool Write(Direction& d, uint64_t total)
    {
        if (d.write != nullptr) {
            if (!d.write->Done()) {
                return true;
            }
            const IoResult& result = d.write->Result();
            EXPECT_EQ(result.Status, STATUS_SUCCESS) << "write at byte " << d.sent;
            if (result.Status != STATUS_SUCCESS) {
                return false;
            }
            d.sent += result.Information;
            d.write.reset();
        }
        if (d.sent < total) {
            std::vector<UCHAR> chunk(std::min<uint64_t>(WRITE_CHUNK, total - d.sent));
            for (size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = PatternByte(d.index, d.sent + i);
            }
            d.write = Io().WriteAsync(d.from, chunk);
        }
        return true;
    }

    // Checks a finished read and starts the next one unless the reader pauses. FALSE on a
    // wrong byte.
    bool Read(Direction& d, uint64_t total)
    {
        if (d.read != nullptr) {
            if (!d.read->Done()) {
                return true;
            }
            const IoResult& result = d.read->Result();
            EXPECT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_TIMEOUT)
                << std::hex << result.Status;
            for (size_t i = 0; i < result.Data.size(); ++i) {
                if (result.Data[i] != PatternByte(d.index, d.received + i)) {
                    ADD_FAILURE() << "direction " << d.index << ": byte " << d.received + i
                                  << " is " << int(result.Data[i]) << ", expected "
                                  << int(PatternByte(d.index, d.received + i));
                    return false;
                }
            }
            d.received += result.Data.size();
            d.read.reset();
            // Longer than the ring takes to fill: the port sends Xoff, the far side holds.
            if (d.received >= d.nextPause) {
                d.nextPause = d.received + PAUSE_UNIT * (2 + d.rhythm() % 5);
                d.pauseUntilMs = Sim().NowMs() + 40 + static_cast<LONGLONG>(d.rhythm() % 91);
                ++d.pauses;
            }
        }
        if (d.received < total && Sim().NowMs() >= d.pauseUntilMs) {
            d.read = Io().ReadAsync(d.to, READ_LENGTH);
        }
        return true;
    }

    // Nothing lost on the way: no overrun or other error on either port, no drop by the peer.
    void ExpectNothingLost()
    {
        for (FileHandle handle : handles_) {
            const IoResult result = Io().DeviceIoControl(handle, IOCTL_SERIAL_GET_COMMSTATUS, {},
                                                         sizeof(SERIAL_STATUS));
            ASSERT_EQ(result.Status, STATUS_SUCCESS);
            SERIAL_STATUS status = {};
            std::copy(result.Data.begin(), result.Data.end(), reinterpret_cast<UCHAR*>(&status));
            EXPECT_EQ(status.Errors, 0u) << "port errors";
        }
        EXPECT_EQ(peers_[0]->Stats().Dropped, 0u) << "bytes the peer dropped";
    }

    std::unique_ptr<DriverHost> host_;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::vector<FileHandle> handles_;
};

uint64_t SoakBytes()
{
    const char* text = std::getenv("QVX_SOAK_MIB");
    const uint64_t mebibytes = text != nullptr ? std::strtoull(text, nullptr, 10) : 4;
    return std::max<uint64_t>(mebibytes, 1) << 20;
}

// Both streams arrive whole and in order while the readers keep pausing past their ring: each
// port's Xoff goes out while the far side's Xoff holds it, and its own Xon never lifts that hold.
TEST_F(SimSoakTest, EveryByteArrivesBothWaysWhileReadersPausePastTheirRing)
{
    Boot();
    ASSERT_FALSE(HasFatalFailure());
    const uint64_t each = SoakBytes() / 2;
    Direction ways[2];
    for (size_t i = 0; i < 2; ++i) {
        ways[i].index = i;
        ways[i].from = handles_[i];
        ways[i].to = handles_[1 - i];
        ways[i].rhythm.seed(static_cast<unsigned>(i + 1));
        ways[i].nextPause = PAUSE_UNIT * (2 + i);
    }
    const auto start = std::chrono::steady_clock::now();
    LONGLONG lastProgress = Sim().NowMs();
    uint64_t lastReceived = 0;
    while (ways[0].received < each || ways[1].received < each) {
        for (Direction& d : ways) {
            ASSERT_TRUE(Write(d, each) && Read(d, each));
        }
        Sim().AdvanceMs(1);
        const uint64_t received = ways[0].received + ways[1].received;
        if (received != lastReceived) {
            lastReceived = received;
            lastProgress = Sim().NowMs();
        }
        ASSERT_LT(Sim().NowMs() - lastProgress, STALL_MS)
            << "nothing arrived for a minute at " << ways[0].received << " and "
            << ways[1].received;
    }
    ExpectNothingLost();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("soak: %llu MiB both ways in %.1f s (%.1f MB/s), %lld s simulated, %llu reader "
                "pauses\n",
                static_cast<unsigned long long>((2 * each) >> 20), seconds,
                static_cast<double>(2 * each) / seconds / 1e6,
                static_cast<long long>(Sim().NowMs() / 1000),
                static_cast<unsigned long long>(ways[0].pauses + ways[1].pauses));
}

} // namespace
} // namespace qvx
