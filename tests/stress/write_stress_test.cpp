// The output side under real concurrency: one application thread writes with a total timeout
// while another sends immediate characters, Xoff counters and purges, the peer delivers the
// characters the counters count, and the interrupt service, the send timer and the completion
// and timeout DPCs run on the other processors.
// ctest-labels: write

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

constexpr UCHAR IMMEDIATE_CHAR = 0x01;
constexpr UCHAR XOFF_CHAR = DEFAULT_XOFF_CHAR;
constexpr auto TIME_BOUND = std::chrono::seconds(30);

std::vector<UCHAR> Chunk(size_t length, unsigned seed)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<UCHAR>(0x20 + ((seed >> 16) % 0x5F));
    }
    return bytes;
}

std::vector<UCHAR> AsBytes(const void* data, size_t length)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + length);
}

class WriteStressTest : public SimMachineTest
{
  protected:
    WriteStressTest() { Options.Mode = MachineMode::RealTime; }
};

// Every write reports the bytes that reached the peer, in order; every request ends; nothing
// stays counted as output.
TEST_F(WriteStressTest, WritesRaceImmediateXoffAndPurge)
{
    TestPort port;
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    IoManager& io = Sim().Io();
    const FileHandle handle = io.Open(u"\\\\.\\COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    SERIAL_TIMEOUTS timeouts = {0, 1, 40, 0, 0};
    ASSERT_EQ(io.DeviceIoControl(handle, IOCTL_SERIAL_SET_TIMEOUTS,
                                 AsBytes(&timeouts, sizeof(timeouts)), 0)
                  .Status,
              STATUS_SUCCESS);
    const auto deadline = std::chrono::steady_clock::now() + TIME_BOUND;
    std::vector<std::vector<UCHAR>> written;
    std::vector<ULONG_PTR> reported;
    std::atomic<bool> writing{true};
    std::atomic<int> unexpected{0};
    {
        RecordingPeer peer(port.PortName());
        peer.Queue(std::vector<UCHAR>(4000, 'c'));
        peer.StartPacing(3, 20);

        std::thread writer([&] {
            for (unsigned i = 0; i < 150 && std::chrono::steady_clock::now() < deadline; ++i) {
                std::vector<UCHAR> chunk = Chunk(1 + (i * 37) % 400, i);
                const IoResult result = io.Write(handle, chunk);
                if (result.Status != STATUS_SUCCESS && result.Status != STATUS_TIMEOUT &&
                    result.Status != STATUS_CANCELLED) {
                    ++unexpected;
                }
                written.push_back(std::move(chunk));
                reported.push_back(result.Information);
            }
            writing = false;
        });
        std::thread control([&] {
            for (unsigned i = 0; writing; ++i) {
                IoResult result;
                if (i % 3 == 0) {
                    result = io.DeviceIoControl(handle, IOCTL_SERIAL_IMMEDIATE_CHAR,
                                                {IMMEDIATE_CHAR}, 0);
                } else if (i % 3 == 1) {
                    SERIAL_XOFF_COUNTER counter = {30, 2, XOFF_CHAR};
                    result = io.DeviceIoControl(handle, IOCTL_SERIAL_XOFF_COUNTER,
                                                AsBytes(&counter, sizeof(counter)), 0);
                } else if (i % 7 == 2) {
                    const ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR;
                    result = io.DeviceIoControl(handle, IOCTL_SERIAL_PURGE,
                                                AsBytes(&mask, sizeof(mask)), 0);
                }
                if (NT_ERROR(result.Status) && result.Status != STATUS_CANCELLED) {
                    ++unexpected;
                }
            }
        });
        writer.join();
        control.join();
        size_t expectedBytes = 0;
        for (ULONG_PTR count : reported) {
            expectedBytes += count;
        }
        // Let the last pieces leave the transmit buffer.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.StopPacing();

        std::vector<UCHAR> expected;
        for (size_t i = 0; i < written.size(); ++i) {
            expected.insert(expected.end(), written[i].begin(),
                            written[i].begin() + static_cast<long>(reported[i]));
        }
        std::vector<UCHAR> data;
        for (UCHAR byte : peer.Received()) {
            if (byte != IMMEDIATE_CHAR && byte != XOFF_CHAR) {
                data.push_back(byte);
            }
        }
        EXPECT_EQ(data.size(), expectedBytes);
        EXPECT_TRUE(data == expected) << "peer data differs from the reported writes";
        EXPECT_EQ(unexpected.load(), 0);
    }
    Sim().Quiesce();
    EXPECT_EQ(port.Port()->TxQueuedCount, 0u);
    EXPECT_EQ(port.Port()->ImmediateIrp, nullptr);
    EXPECT_EQ(port.Port()->XoffIrp, nullptr);
    io.Close(handle);
    io.RunPassiveWork();
    Sim().Quiesce();
    port.Stop();
}

} // namespace
} // namespace qvx
