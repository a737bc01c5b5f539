// Receive notifications racing the port's teardown on a real-time machine: a notifier thread
// at DISPATCH_LEVEL keeps handing blocks to the receive routine while the main thread frees
// the callbacks and the UART. Nothing may be copied into a freed buffer, and the UART must not
// be left claiming data it has no buffer for (its interrupt service would spin forever).
// ctest-labels: serial

#include "support/machine_fixture.h"
#include "support/test_port.h"
#include "support/watchdog.h"

#include "peer/peer.h"
#include "platform/machine/machine.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace qvx {
namespace {

constexpr int ROUNDS = 150;

class ReceiveTeardownStressTest : public SimMachineTest
{
  protected:
    ReceiveTeardownStressTest() { Options.Mode = MachineMode::RealTime; }
};

// Every round: open, notify from another thread, tear down under the notifications, stop.
TEST_F(ReceiveTeardownStressTest, LateNotificationsNeverTouchAFreedUart)
{
    Watchdog watchdog("LateNotificationsNeverTouchAFreedUart", std::chrono::seconds(120));
    IoManager& io = Sim().Io();
    int notifiedAfterTeardown = 0;
    for (int round = 0; round < ROUNDS && !HasFailure(); ++round) {
        TestPort port;
        ASSERT_EQ(port.Start(), STATUS_SUCCESS);
        const FileHandle handle = io.Open(u"\\\\.\\COM5");
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        PortDeviceRecord* record = port.Port();

        std::atomic<bool> stop{false};
        std::atomic<bool> tornDown{false};
        std::atomic<int> afterTeardown{0};
        std::thread notifier([&] {
            UCHAR bytes[PEER_MAX_RECEIVE_BLOCK];
            for (ULONG i = 0; i < PEER_MAX_RECEIVE_BLOCK; ++i) {
                bytes[i] = static_cast<UCHAR>('a' + i % 26);
            }
            ULONG length = PEER_MAX_RECEIVE_BLOCK;
            while (!stop.load()) {
                const bool late = tornDown.load();
                const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
                QuarvexReceiveData(record, bytes, &length);
                KfLowerIrql(old);
                if (late) {
                    afterTeardown.fetch_add(1);
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 + 37 * (round % 20)));
        QuarvexFreeCallbacks(record);
        QuarvexUartFree(&record->Uart);
        tornDown = true;
        while (afterTeardown.load() < 3) {
            std::this_thread::yield();
        }
        stop = true;
        notifier.join();
        notifiedAfterTeardown += afterTeardown.load();
        Sim().Quiesce();
        EXPECT_EQ(record->Uart.RxCount, 0u);
        EXPECT_FALSE(record->Uart.RxDataPending);
        io.Close(handle);
        io.RunPassiveWork();
        Sim().Quiesce();
        port.Stop();
    }
    EXPECT_GE(notifiedAfterTeardown, 3);
}

} // namespace
} // namespace qvx
