// The transmitter's restarts: a flow character, immediate character or write that could not
// go at once (transmit buffer full, a hold in force, the port closed) goes out as soon as
// nothing keeps it back, by the next send tick at the latest, and never spins the interrupt
// service.

#include "support/port_fixture.h"
#include "support/watchdog.h"

#include "serial/interrupt.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qvx {
namespace {

constexpr UCHAR XON = DEFAULT_XON_CHAR;
constexpr UCHAR XOFF = DEFAULT_XOFF_CHAR;

class TransmitRestartTest : public OpenPortTest
{
  protected:
    void SetUp() override
    {
        OpenPortTest::SetUp();
        UnderPortLock([&] { Port()->DataMask = 0xFF; });
    }

    void AutoReceive(ULONG controlHandShake = SERIAL_DTR_CONTROL)
    {
        SetHandFlow(Handle, controlHandShake, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 2048, 512);
    }

    // Fills the ring to the Xoff point (4096 - 512).
    void FillToXoffPoint() { Peer().Deliver(std::vector<UCHAR>(3584, 'r')); }

    size_t CountOf(UCHAR value)
    {
        const std::vector<UCHAR> received = Peer().Received();
        return static_cast<size_t>(std::count(received.begin(), received.end(), value));
    }
};

// Regression: a write filled the transmit buffer to 127, the Xoff took slot 128, and a read
// that drained the ring before the next tick made the Xon due: the refused Xon raised
// transmit-empty again and the interrupt service looped forever at DISPATCH_LEVEL. Now the
// Xon waits for the tick that empties the buffer, and the write then completes whole.
TEST_F(TransmitRestartTest, FlowCharacterRefusedByFullBufferWaitsForTheTick)
{
    Watchdog watchdog("FlowCharacterRefusedByFullBufferWaitsForTheTick");
    AutoReceive();
    std::vector<UCHAR> data(200);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<UCHAR>('A' + i % 26);
    }
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    EXPECT_EQ(Port()->Uart.TxCount, 127u);
    FillToXoffPoint();
    EXPECT_EQ(Port()->Uart.TxCount, 128u); // the Xoff took the last slot
    EXPECT_EQ(ReadNow(2048).size(), 2048u);
    EXPECT_TRUE(Port()->SendXonPending);
    EXPECT_FALSE(Port()->Uart.ThrePending);
    EXPECT_EQ(Sim().QueuedDpcCount(), 0u);

    Sim().AdvanceMs(40);
    EXPECT_TRUE(write->Done());
    std::vector<UCHAR> expected(data.begin(), data.begin() + 127);
    expected.push_back(XOFF);
    expected.push_back(XON);
    expected.insert(expected.end(), data.begin() + 127, data.end());
    EXPECT_EQ(Peer().Received(), expected);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
}

// Regression: an Xoff that fell due during a break was never sent once the break ended, so a
// peer that honours flow control went on sending into a full ring.
TEST_F(TransmitRestartTest, XoffDueDuringBreakGoesOutWhenTheBreakEnds)
{
    AutoReceive();
    Peer().HonourFlowControl(true);
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_BREAK_ON).Status, STATUS_SUCCESS);
    FillToXoffPoint();
    Sim().AdvanceMs(40);
    EXPECT_FALSE(Peer().Paused());
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_BREAK_OFF).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    EXPECT_TRUE(Peer().Paused());
    EXPECT_EQ(ReadNow(4096).size(), 3584u);
    Sim().AdvanceMs(20);
    EXPECT_FALSE(Peer().Paused());
}

// Regression: a peer paused by the port stayed paused when the Xon fell due while CTS was
// down (CTS handshake) and CTS came back afterwards.
TEST_F(TransmitRestartTest, XonHeldByCtsGoesOutWhenCtsReturns)
{
    AutoReceive(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    Peer().HonourFlowControl(true);
    FillToXoffPoint();
    Sim().AdvanceMs(20);
    ASSERT_TRUE(Peer().Paused());

    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS); // CTS follows
    EXPECT_NE(Port()->TxHoldReasons & TX_HOLD_CTS, 0u);
    EXPECT_EQ(ReadNow(4096).size(), 3584u);
    Sim().AdvanceMs(40);
    EXPECT_TRUE(Peer().Paused());
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    EXPECT_FALSE(Peer().Paused());
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
}

// Whatever is pending and not held goes out by the next tick even when no kick reached the
// transmitter (a kick lost to a hold is not repeated by anyone else).
TEST_F(TransmitRestartTest, SendTickKicksPendingWorkWhenTheBufferIsEmpty)
{
    UnderPortLock([&] {
        Port()->SendXoffPending = TRUE; // requested while the kick found nothing to do
        Port()->RxHoldReasons |= RX_HOLD_XOFF;
    });
    EXPECT_EQ(Port()->Uart.TxCount, 0u);
    Sim().AdvanceMs(40);
    EXPECT_EQ(CountOf(XOFF), 1u);
    EXPECT_FALSE(Port()->SendXoffPending);
    ASSERT_EQ(ReadNow(10).size(), 0u); // drained: the hold ends with an Xon
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), (std::vector<UCHAR>{XOFF, XON}));
}

// Regression: a port closed while its own Xoff was in force left the peer paused for good.
// The next open sends the Xon.
TEST_F(TransmitRestartTest, ReopenReleasesPeerPausedByTheOldXoff)
{
    AutoReceive();
    Peer().HonourFlowControl(true);
    FillToXoffPoint();
    Sim().AdvanceMs(20);
    ASSERT_TRUE(Peer().Paused());
    ClosePort(Handle);
    Handle = OpenPort();
    ASSERT_NE(Handle, INVALID_FILE_HANDLE);
    Sim().AdvanceMs(20);
    EXPECT_FALSE(Peer().Paused());
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    EXPECT_FALSE(Port()->SendXonPending);

    // An Xoff requested but never sent is dropped at close: nothing follows a reopen.
    Peer().TakeReceived();
    Peer().HonourFlowControl(false);
    UnderPortLock([&] { // as a request whose kick has not run yet
        Port()->RxHoldReasons |= RX_HOLD_XOFF;
        Port()->SendXoffPending = TRUE;
    });
    ClosePort(Handle);
    Handle = OpenPort();
    Sim().AdvanceMs(40);
    EXPECT_TRUE(Peer().Received().empty());
}

} // namespace
} // namespace qvx
