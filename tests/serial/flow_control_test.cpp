// Flow control as an application meets it: the CTS output handshake, RTS as receive flow
// control, Xon and Xoff around a long write, and automatic receive flow control switched off
// while it holds the peer.

#include "support/port_fixture.h"

#include "serial/interrupt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace qvx {
namespace {

constexpr UCHAR XON = DEFAULT_XON_CHAR;
constexpr UCHAR XOFF = DEFAULT_XOFF_CHAR;

class FlowControlTest : public OpenPortTest
{
  protected:
    void SetUp() override
    {
        OpenPortTest::SetUp();
        UnderPortLock([&] { Port()->DataMask = 0xFF; });
    }

    // Data that never contains a flow character.
    static std::vector<UCHAR> Data(size_t count)
    {
        std::vector<UCHAR> data(count);
        for (size_t i = 0; i < count; ++i) {
            data[i] = static_cast<UCHAR>('A' + (i * 7 + i / 26) % 26);
        }
        return data;
    }

    // Ticks until the write completes (bounded), then one more tick for its last piece.
    void TickUntilDone(const IoRequestPtr& write, int limit)
    {
        for (int tick = 0; tick < limit && !write->Done(); ++tick) {
            Sim().AdvanceMs(20);
        }
        ASSERT_TRUE(write->Done());
        Sim().AdvanceMs(20);
    }

    static std::vector<UCHAR> WithoutFlowChars(std::vector<UCHAR> bytes)
    {
        bytes.erase(std::remove_if(bytes.begin(), bytes.end(),
                                   [](UCHAR b) { return b == XON || b == XOFF; }),
                    bytes.end());
        return bytes;
    }
};

// With the CTS handshake a write waits while CTS is down (RTS cleared: CTS follows it) and
// nothing reaches the peer; raising RTS lets it complete and the peer gets every byte.
TEST_F(FlowControlTest, CtsHandshakeHoldsWriteUntilRtsIsRaised)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 2048, 512);
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port()->Uart.Msr & UART_MSR_CTS, 0);
    const std::vector<UCHAR> data = Data(300);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(200);
    EXPECT_FALSE(write->Done());
    EXPECT_TRUE(Peer().Received().empty());
    EXPECT_EQ(Port()->TxHoldReasons, TX_HOLD_CTS);

    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    TickUntilDone(write, 10);
    EXPECT_EQ(write->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Result().Information, data.size());
    EXPECT_EQ(Peer().Received(), data);
}

// Under the RTS handshake RTS drops with the character that brings the ring to the Xoff
// point and comes back once reads have drained it to XonLimit.
TEST_F(FlowControlTest, RtsHandshakeDropsAndRaisesRtsWithTheRing)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 2048, 512);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_RTS, 0);
    Peer().Deliver(std::vector<UCHAR>(3583, 'r'));
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_RTS, 0);
    Peer().Deliver(std::vector<UCHAR>(1, 'r'));
    EXPECT_EQ(Port()->Uart.Mcr & UART_MCR_RTS, 0);
    EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_RTS);

    EXPECT_EQ(ReadNow(1535).size(), 1535u); // 2049 held: above XonLimit
    EXPECT_EQ(Port()->Uart.Mcr & UART_MCR_RTS, 0);
    EXPECT_EQ(ReadNow(1).size(), 1u);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_RTS, 0);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
}

// During a 10 kB write, filling the ring sends Xoff and stops the write's data; draining it
// sends Xon (requested here while the Xoff filled the transmitter's last slot) and the write
// goes on and completes whole. With SERIAL_XOFF_CONTINUE the data does not stop.
TEST_F(FlowControlTest, FlowCharactersDuringALongWrite)
{
    for (const bool xoffContinue : {false, true}) {
        SCOPED_TRACE(xoffContinue ? "SERIAL_XOFF_CONTINUE" : "Xoff stops the data");
        Peer().TakeReceived();
        const ULONG flow =
            SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE | (xoffContinue ? SERIAL_XOFF_CONTINUE : 0);
        SetHandFlow(Handle, SERIAL_DTR_CONTROL, flow, 2048, 512);
        const std::vector<UCHAR> data = Data(10000);
        IoRequestPtr write = Io().WriteAsync(Handle, data);
        Sim().AdvanceMs(60);
        ASSERT_EQ(Port()->Uart.TxCount, 127u);

        Peer().Deliver(std::vector<UCHAR>(3584, 'r')); // the Xoff takes slot 128
        EXPECT_EQ(Port()->Uart.TxCount, 128u);
        Sim().AdvanceMs(40);
        std::vector<UCHAR> sent = Peer().Received();
        ASSERT_FALSE(sent.empty());
        const size_t xoffAt = std::find(sent.begin(), sent.end(), XOFF) - sent.begin();
        ASSERT_LT(xoffAt, sent.size());
        if (xoffContinue) {
            EXPECT_GT(sent.size(), xoffAt + 1);
        } else {
            EXPECT_EQ(sent.size(), xoffAt + 1); // nothing after the Xoff
        }

        // Drained: the Xon follows (where the data went on, into the transmitter's last
        // free slot behind the refilled piece).
        EXPECT_EQ(ReadNow(4096).size(), 3584u);
        TickUntilDone(write, 200);
        sent = Peer().Received();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), XOFF), 1);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), XON), 1);
        EXPECT_GT(std::find(sent.begin(), sent.end(), XON) - sent.begin(),
                  static_cast<std::ptrdiff_t>(xoffAt));
        EXPECT_EQ(WithoutFlowChars(sent), data);
        EXPECT_EQ(write->Result().Information, data.size());
        EXPECT_EQ(Port()->RxHoldReasons, 0u);
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
    }
}

// Switching SERIAL_AUTO_RECEIVE off while the port's Xoff holds the peer clears the hold and
// sends the Xon.
TEST_F(FlowControlTest, AutoReceiveSwitchedOffWhileHeldSendsXon)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 2048, 512);
    Peer().HonourFlowControl(true);
    Peer().Deliver(std::vector<UCHAR>(3584, 'r'));
    Sim().AdvanceMs(20);
    ASSERT_TRUE(Peer().Paused());
    EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_XOFF);

    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512);
    Sim().AdvanceMs(20);
    EXPECT_FALSE(Peer().Paused());
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    EXPECT_FALSE(Port()->SendXonPending);
    EXPECT_EQ(Port()->InputCount, 3584u); // nothing read, nothing lost
}

// Both ends on Xon/Xoff, the peer's Xoff holding this port. When the port's ring fills, its
// own Xoff still goes out, and it is reported sent only once it has gone. When reads drain
// the ring the port's Xon goes out, but the peer's hold stays: a write waits for the peer's
// Xon. Regressions: the Xoff waited behind the peer's hold, so the ring overflowed while
// GET_COMMSTATUS reported it sent; and the port's own Xon lifted the peer's hold.
TEST_F(FlowControlTest, OwnXoffAndXonPassThePeersHoldWithoutLiftingIt)
{
    auto holdReasons = [&] {
        const IoResult result =
            Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        SERIAL_STATUS status = {};
        memcpy(&status, result.Data.data(), std::min(result.Data.size(), sizeof(status)));
        return status.HoldReasons;
    };
    SetHandFlow(Handle, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 1024, 1024);
    Peer().Deliver(std::vector<UCHAR>{XOFF});
    ASSERT_EQ(Port()->TxHoldReasons, TX_HOLD_XOFF);
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS); // CTS holds too
    Peer().Deliver(Data(3072));                                              // to the Xoff point
    EXPECT_TRUE(Port()->SendXoffPending);
    EXPECT_EQ(holdReasons() & SERIAL_TX_WAITING_XOFF_SENT, 0u);

    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().TakeReceived(), std::vector<UCHAR>{XOFF});
    EXPECT_EQ(holdReasons(), SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_XOFF_SENT);

    const std::vector<UCHAR> data = Data(10);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    EXPECT_EQ(ReadNow(2048).size(), 2048u); // down to XonLimit
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().TakeReceived(), std::vector<UCHAR>{XON});
    EXPECT_FALSE(write->Done());
    EXPECT_EQ(Port()->TxHoldReasons, TX_HOLD_XOFF);
    EXPECT_EQ(holdReasons(), SERIAL_TX_WAITING_FOR_XON);

    Peer().Deliver(std::vector<UCHAR>{XON});
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().TakeReceived(), data);
}

} // namespace
} // namespace qvx
