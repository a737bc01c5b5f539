// Control requests racing other threads on the real-time machine: baud-rate changes while
// another thread writes (the baud block is written under TransmitLock alone, racing the
// interrupt service that feeds the write under PortLock and the send timer that empties the
// transmitter), and immediate characters racing the close of their handle.
// ctest-labels: control

#include "support/machine_fixture.h"
#include "support/test_port.h"

#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/recording_peer.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace qvx {
namespace {

constexpr size_t OUTBOUND_BYTES = 16 * 1024;
constexpr size_t WRITE_CHUNK = 1000;
constexpr ULONG RATE_CHANGES = 200;
constexpr auto TIME_BOUND = std::chrono::seconds(20);

class ControlStressTest : public SimMachineTest
{
  protected:
    ControlStressTest() { Options.Mode = MachineMode::RealTime; }
};

std::vector<UCHAR> Le32(ULONG value)
{
    return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(value >> 16), static_cast<UCHAR>(value >> 24)};
}

// Every data byte arrives in order, every announced rate is one that was set, in the order
// set, and the last one set is announced.
TEST_F(ControlStressTest, RateChangesDuringWritesKeepDataAndRatesInOrder)
{
    TestPort port;
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    IoManager& io = Sim().Io();
    const FileHandle handle = io.Open(u"\\\\.\\COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);

    std::vector<UCHAR> outbound(OUTBOUND_BYTES);
    for (size_t i = 0; i < outbound.size(); ++i) {
        outbound[i] = static_cast<UCHAR>(i % 251); // never forms the block's tag
    }
    const auto deadline = std::chrono::steady_clock::now() + TIME_BOUND;
    {
        RecordingPeer peer(port.PortName());
        std::atomic<bool> writerFailed{false};
        std::thread writer([&] {
            for (size_t offset = 0; offset < outbound.size(); offset += WRITE_CHUNK) {
                const size_t length = std::min(WRITE_CHUNK, outbound.size() - offset);
                const std::vector<UCHAR> chunk(outbound.begin() + static_cast<long>(offset),
                                               outbound.begin() +
                                                   static_cast<long>(offset + length));
                const IoResult result = io.Write(handle, chunk);
                if (result.Status != STATUS_SUCCESS || result.Information != length) {
                    writerFailed = true;
                    return;
                }
            }
        });
        bool controlFailed = false;
        for (ULONG rate = 1; rate <= RATE_CHANGES && !controlFailed; ++rate) {
            controlFailed =
                io.DeviceIoControl(handle, IOCTL_SERIAL_SET_BAUD_RATE, Le32(rate), 0).Status !=
                    STATUS_SUCCESS ||
                io.DeviceIoControl(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS))
                        .Status != STATUS_SUCCESS;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        writer.join();
        while ((peer.Received().size() < outbound.size() || peer.BaudRates().empty() ||
                peer.BaudRates().back() != RATE_CHANGES) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }

        EXPECT_FALSE(writerFailed);
        EXPECT_FALSE(controlFailed);
        EXPECT_TRUE(peer.Received() == outbound)
            << "peer got " << peer.Received().size() << " of " << outbound.size();
        const std::vector<ULONG> rates = peer.BaudRates();
        ASSERT_FALSE(rates.empty());
        EXPECT_EQ(rates.back(), RATE_CHANGES);
        for (size_t i = 1; i < rates.size(); ++i) {
            EXPECT_LT(rates[i - 1], rates[i]) << "at " << i;
        }
    }
    io.Close(handle);
    io.RunPassiveWork();
    Sim().Quiesce();
    port.Stop();
}

// An immediate character (or a read or write) inside the driver while another thread closes
// the handle: both wait for PortLock, which the test holds, and then race for it. Whichever
// gets it first, the cleanup ends the request. Regression: between the control dispatcher
// taking the character and its start it had no cancel routine, and a request admitted after
// the cleanup had looked was not refused, so the cleanup passed it by and, with the
// transmitter held, it stayed pending with the handle's close behind it.
TEST_F(ControlStressTest, ImmediateCharacterRacingCloseIsEndedByTheCleanup)
{
    TestPort port;
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    IoManager& io = Sim().Io();
    PortDeviceRecord* record = port.Port();
    const SERIAL_HANDFLOW held = {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, 0, 2048, 512};
    const auto* heldBytes = reinterpret_cast<const UCHAR*>(&held);
    const auto deadline = std::chrono::steady_clock::now() + TIME_BOUND;
    int round = 0;
    for (; round < 300 && std::chrono::steady_clock::now() < deadline; ++round) {
        const FileHandle handle = io.Open(u"\\\\.\\COM5");
        ASSERT_NE(handle, INVALID_FILE_HANDLE) << "round " << round;
        // RTS off, so CTS is down and the character can never leave.
        ASSERT_EQ(io.DeviceIoControl(handle, IOCTL_SERIAL_SET_HANDFLOW,
                                     std::vector<UCHAR>(heldBytes, heldBytes + sizeof(held)), 0)
                      .Status,
                  STATUS_SUCCESS);
        const KIRQL old = KfAcquireSpinLock(&record->PortLock);
        IoRequestPtr immediate;
        std::thread sender([&] {
            // Also a read without timeouts and a held write: requests that a queue admits.
            switch (round % 3) {
            case 0:
                immediate = io.DeviceIoControlAsync(handle, IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);
                break;
            case 1:
                immediate = io.ReadAsync(handle, 4);
                break;
            default:
                immediate = io.WriteAsync(handle, {'w'});
                break;
            }
        });
        while (io.OutstandingIrps(port.Device()) == 0) {
            std::this_thread::yield();
        }
        std::thread closer([&] { io.Close(handle); });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        KfReleaseSpinLock(&record->PortLock, old);
        sender.join();
        closer.join();
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!immediate->Done() && std::chrono::steady_clock::now() < bound) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ASSERT_TRUE(immediate->Done()) << "round " << round << ": escaped the cleanup";
        EXPECT_EQ(immediate->Result().Status, STATUS_CANCELLED);
        io.RunPassiveWork();
    }
    EXPECT_GT(round, 20);
    Sim().Quiesce();
    port.Stop();
}

} // namespace
} // namespace qvx
