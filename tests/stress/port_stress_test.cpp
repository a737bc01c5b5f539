// A port under real concurrency: the peer delivers from its timer DPC on one processor while
// the interrupt service, the send timer and read completions run on the others, and two
// application threads read and write at once.
// ctest-labels: serial

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

constexpr size_t INBOUND_BYTES = 24 * 1024;
constexpr size_t OUTBOUND_BYTES = 6 * 1024;
constexpr size_t WRITE_CHUNK = 300;
constexpr auto TIME_BOUND = std::chrono::seconds(20);

// 7-bit bytes free of the flow-control characters, which the peer would take as control.
std::vector<UCHAR> Stream(size_t length, unsigned seed)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        UCHAR value = static_cast<UCHAR>((seed >> 16) & 0x7F); // 7 data bits by default
        if (value == 0x11 || value == 0x13) {
            value = 0x20;
        }
        bytes[i] = value;
    }
    return bytes;
}

class PortStressTest : public SimMachineTest
{
  protected:
    PortStressTest() { Options.Mode = MachineMode::RealTime; }
};

// Both directions arrive complete and in order, paced by the port's Xon/Xoff flow control,
// with no line error and no verifier report.
void StreamBothWays(Machine& machine)
{
    TestPort port;
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    IoManager& io = machine.Io();
    const FileHandle handle = io.Open(u"\\\\.\\COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    // Xoff with 1024 bytes of room left: the peer delivers at most 440 bytes per send tick,
    // so a late tick on a loaded machine still leaves slack.
    SERIAL_HANDFLOW handFlow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 1024,
                                1024};
    const auto* flowBytes = reinterpret_cast<const UCHAR*>(&handFlow);
    ASSERT_EQ(io.DeviceIoControl(handle, IOCTL_SERIAL_SET_HANDFLOW,
                                 std::vector<UCHAR>(flowBytes, flowBytes + sizeof(handFlow)), 0)
                  .Status,
              STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts = {5, 0, 20, 0, 0};
    const auto* timeoutBytes = reinterpret_cast<const UCHAR*>(&timeouts);
    ASSERT_EQ(io.DeviceIoControl(handle, IOCTL_SERIAL_SET_TIMEOUTS,
                                 std::vector<UCHAR>(timeoutBytes, timeoutBytes + sizeof(timeouts)),
                                 0)
                  .Status,
              STATUS_SUCCESS);

    const std::vector<UCHAR> inbound = Stream(INBOUND_BYTES, 7);
    const std::vector<UCHAR> outbound = Stream(OUTBOUND_BYTES, 11);
    const auto deadline = std::chrono::steady_clock::now() + TIME_BOUND;
    {
        RecordingPeer peer(port.PortName());
        peer.HonourFlowControl(true);
        peer.Queue(inbound);
        peer.StartPacing(2, PeerEndpoint::MAX_BLOCK);

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

        std::vector<UCHAR> received;
        while (received.size() < inbound.size() && std::chrono::steady_clock::now() < deadline) {
            const IoResult result = io.Read(handle, 1000);
            ASSERT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_TIMEOUT)
                << std::hex << result.Status;
            received.insert(received.end(), result.Data.begin(), result.Data.end());
        }
        writer.join();
        while (peer.Received().size() < outbound.size() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        peer.StopPacing();

        EXPECT_FALSE(writerFailed);
        size_t firstDifference = 0;
        while (firstDifference < std::min(received.size(), inbound.size()) &&
               received[firstDifference] == inbound[firstDifference]) {
            ++firstDifference;
        }
        EXPECT_TRUE(received == inbound) << "read " << received.size() << " of " << inbound.size()
                                         << ", first difference at " << firstDifference;
        EXPECT_TRUE(peer.Received() == outbound)
            << "peer got " << peer.Received().size() << " of " << outbound.size();
        EXPECT_EQ(peer.QueuedBytes(), 0u);
    }
    const IoResult status =
        io.DeviceIoControl(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    ASSERT_EQ(status.Status, STATUS_SUCCESS);
    SERIAL_STATUS serialStatus;
    memcpy(&serialStatus, status.Data.data(), sizeof(serialStatus));
    EXPECT_EQ(serialStatus.Errors, 0u);
    io.Close(handle);
    io.RunPassiveWork();
    machine.Quiesce();
    port.Stop();
}

TEST_F(PortStressTest, StreamsBothWaysWhileReadsTimeOut)
{
    StreamBothWays(Sim());
}

// The same on the production machine: its lock words alone keep the processors apart.
class ProductionPortStressTest : public PortStressTest
{
  protected:
    ProductionPortStressTest() { Options.Verify = false; }
};

TEST_F(ProductionPortStressTest, StreamsBothWaysWhileReadsTimeOut)
{
    StreamBothWays(Sim());
}

} // namespace
} // namespace qvx
