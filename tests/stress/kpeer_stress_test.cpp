// quarvexpeer.sys between two ports under real concurrency: its send routine runs in the ports'
// send DPCs on any processor while its deliveries run on processor 0, programs on both ends
// write and read at once, one port stops and starts under its handle, and the peer unloads
// under the traffic and comes back.
// ctest-labels: kpeer

#include "support/machine_fixture.h"
#include "support/watchdog.h"

#include "host/driver_host.h"
#include "host/kernel_peer_host.h"
#include "platform/machine/machine.h"

#include <ntddser.h>

#include <thread>

namespace qvx {
namespace {

constexpr size_t BYTES = 16 * 1024;

std::vector<UCHAR> Stream(size_t length, unsigned seed)
{
    std::vector<UCHAR> bytes(length);
    for (UCHAR& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<UCHAR>(seed >> 16);
    }
    return bytes;
}

class KernelPeerStressTest : public SimMachineTest
{
  protected:
    KernelPeerStressTest() { Options.Mode = MachineMode::RealTime; }

    NTSTATUS Control(FileHandle handle, ULONG code, const void* input, ULONG length)
    {
        const auto* bytes = static_cast<const UCHAR*>(input);
        return Sim()
            .Io()
            .DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + length), 0)
            .Status;
    }

    // Eight data bits; reads wait for their whole length unless `interval` ends them.
    FileHandle Open(const std::u16string& name, ULONG interval)
    {
        const FileHandle handle = Sim().Io().Open(u"\\\\.\\" + name);
        EXPECT_NE(handle, INVALID_FILE_HANDLE);
        SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
        EXPECT_EQ(Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)),
                  STATUS_SUCCESS);
        SERIAL_TIMEOUTS timeouts = {interval, 0, 0, 0, 0};
        EXPECT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)),
                  STATUS_SUCCESS);
        return handle;
    }

    // Each end writes its stream and reads the other's, all four at once.
    void CarryBothWays(FileHandle a, FileHandle b, size_t length, std::vector<UCHAR>* toB,
                       std::vector<UCHAR>* toA, bool exact)
    {
        const std::vector<UCHAR> there = Stream(length, ++seed_);
        const std::vector<UCHAR> back = Stream(length, ++seed_);
        IoManager& io = Sim().Io();
        std::thread writeA([&] { EXPECT_EQ(io.Write(a, there).Status, STATUS_SUCCESS); });
        std::thread writeB([&] { EXPECT_EQ(io.Write(b, back).Status, STATUS_SUCCESS); });
        std::thread readB([&] { *toB = io.Read(b, static_cast<ULONG>(length)).Data; });
        std::thread readA([&] { *toA = io.Read(a, static_cast<ULONG>(length)).Data; });
        writeA.join();
        writeB.join();
        readB.join();
        readA.join();
        if (exact) {
            size_t first = 0;
            while (first < toB->size() && first < length && (*toB)[first] == there[first]) {
                ++first;
            }
            EXPECT_TRUE(*toB == there) << toB->size() << " of " << length << " bytes there"
                                       << ", first difference at " << first;
            EXPECT_TRUE(*toA == back) << toA->size() << " of " << length << " bytes back";
        }
    }

  private:
    unsigned seed_ = 0;
};

// Traffic both ways stays whole across a stop and start of one end; then the peer unloads
// under traffic without a report, and a new start carries both ways whole again.
TEST_F(KernelPeerStressTest, PairStaysWholeAcrossStopStartAndSurvivesUnload)
{
    Watchdog watchdog("kernel peer stress", std::chrono::seconds(120));
    DriverHost ports(Sim());
    KernelPeerHost peer(Sim());
    ASSERT_EQ(ports.Load(), STATUS_SUCCESS);
    ASSERT_EQ(peer.Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo5 = nullptr;
    PDEVICE_OBJECT pdo6 = nullptr;
    ASSERT_EQ(ports.AddPort({{u"PortName", u"COM5"}, {u"Peer", u"pair:COM6"}}, &pdo5),
              STATUS_SUCCESS);
    ASSERT_EQ(ports.AddPort({{u"PortName", u"COM6"}, {u"Peer", u"pair:COM5"}}, &pdo6),
              STATUS_SUCCESS);
    Sim().Io().RunPassiveWork();
    FileHandle a = Open(u"COM5", 0);
    FileHandle b = Open(u"COM6", 0);
    std::vector<UCHAR> toB;
    std::vector<UCHAR> toA;
    {
        std::thread rebalance([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_EQ(Sim().Pnp().Rebalance(pdo6), STATUS_SUCCESS);
        });
        CarryBothWays(a, b, BYTES, &toB, &toA, true);
        rebalance.join();
    }

    // Reads end once the line has been quiet: what the peer had not delivered at its unload
    // is gone with it.
    for (FileHandle handle : {a, b}) {
        SERIAL_TIMEOUTS quiet = {200, 0, 0, 0, 0};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &quiet, sizeof(quiet)),
                  STATUS_SUCCESS);
    }
    {
        std::thread unload([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_EQ(peer.Unload(), STATUS_SUCCESS);
        });
        CarryBothWays(a, b, BYTES / 4, &toB, &toA, false);
        unload.join();
    }
    EXPECT_TRUE(Sim().Violations().empty()) << Sim().Violations().front().Message;
    // The programs start afresh on the new peer: closing stops what their ports still had to
    // send.
    EXPECT_EQ(Sim().Io().Close(a), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
    ASSERT_EQ(peer.Load(), STATUS_SUCCESS);
    Sim().Io().RunPassiveWork();
    a = Open(u"COM5", 0);
    b = Open(u"COM6", 0);
    CarryBothWays(a, b, BYTES / 4, &toB, &toA, true);
    EXPECT_EQ(Sim().Io().Close(a), STATUS_SUCCESS);
    EXPECT_EQ(Sim().Io().Close(b), STATUS_SUCCESS);
    EXPECT_EQ(peer.Unload(), STATUS_SUCCESS);
    EXPECT_EQ(ports.RemovePort(pdo5), STATUS_SUCCESS);
    EXPECT_EQ(ports.RemovePort(pdo6), STATUS_SUCCESS);
}

} // namespace
} // namespace qvx
