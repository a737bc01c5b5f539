// Modem lines, hold reasons and the handshake rules.

#include "support/port_fixture.h"

#include "serial/interrupt.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

class LinesTest : public OpenPortTest
{
  protected:
    SERIAL_HANDFLOW HandFlow(ULONG control, ULONG flow)
    {
        return SERIAL_HANDFLOW{control, flow, 2048, 512};
    }
    bool Dtr() { return (Port()->Uart.Mcr & UART_MCR_DTR) != 0; }
    bool Rts() { return (Port()->Uart.Mcr & UART_MCR_RTS) != 0; }
};

// Switching to DTR handshake holds exactly at the Xoff point; an unchanged DTR field leaves
// the line alone whatever the fill.
TEST_F(LinesTest, DtrHandshakeAppliedAtTheXoffPointOnly)
{
    UnderPortLock([&] {
        Port()->InputCount = 4096 - 512 - 1;
        SERIAL_HANDFLOW handshake = HandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
        QuarvexApplyHandFlow(Port(), &handshake);
        EXPECT_TRUE(Dtr());
        EXPECT_EQ(Port()->RxHoldReasons, 0u);

        SERIAL_HANDFLOW control = HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
        QuarvexApplyHandFlow(Port(), &control);
        Port()->InputCount = 4096 - 512;
        QuarvexApplyHandFlow(Port(), &handshake);
        EXPECT_FALSE(Dtr());
        EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_DTR);

        // Same DTR field again: nothing changes although the buffer is now empty.
        Port()->InputCount = 0;
        QuarvexApplyHandFlow(Port(), &handshake);
        EXPECT_FALSE(Dtr());
        EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_DTR);
        Port()->RxHoldReasons = 0;
    });
}

// Receive holds are released at XonLimit, not one character above it.
TEST_F(LinesTest, ReleaseReceiveHoldsAtXonLimit)
{
    UnderPortLock([&] {
        QuarvexDropDtr(Port());
        Port()->RxHoldReasons = RX_HOLD_DTR;
        Port()->InputCount = 2049;
        QuarvexReleaseReceiveHolds(Port());
        EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_DTR);
        EXPECT_FALSE(Dtr());
        Port()->InputCount = 2048;
        QuarvexReleaseReceiveHolds(Port());
        EXPECT_EQ(Port()->RxHoldReasons, 0u);
        EXPECT_TRUE(Dtr());
        Port()->InputCount = 0;
    });
}

// Turning automatic transmit flow control off lifts an Xoff hold and queues an Xon; a later
// request replaces an earlier unserved one.
TEST_F(LinesTest, AutoTransmitOffLiftsXoffHoldAndRequestsXon)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 2048, 512);
    Sim().HoldDpcs(true);
    UnderPortLock([&] {
        QuarvexSimulateXoff(Port());
        SERIAL_HANDFLOW off = HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
        QuarvexApplyHandFlow(Port(), &off);
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
        EXPECT_TRUE(Port()->SendXonPending);
        QuarvexRequestFlowChar(Port(), FALSE);
        QuarvexRequestFlowChar(Port(), TRUE);
        EXPECT_TRUE(Port()->SendXonPending);
        EXPECT_FALSE(Port()->SendXoffPending);
    });
    Sim().HoldDpcs(false);
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), std::vector<UCHAR>{0x11});
    EXPECT_FALSE(Port()->SendXonPending);
}

// Break in transmit-toggle mode raises RTS; ending it clears the LCR bit but leaves RTS.
TEST_F(LinesTest, BreakInTransmitToggleRaisesRtsAndLeavesIt)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, 0, 2048, 512);
    EXPECT_FALSE(Rts());
    UnderPortLock([&] {
        SERIAL_HANDFLOW toggle = HandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
        QuarvexApplyHandFlow(Port(), &toggle);
        EXPECT_FALSE(Rts());
        QuarvexBreakOff(Port()); // no break in progress: nothing
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
        QuarvexBreakOn(Port());
        EXPECT_TRUE(Rts());
        EXPECT_EQ(Port()->Uart.Lcr & UART_LCR_BREAK, UART_LCR_BREAK);
        EXPECT_EQ(Port()->TxHoldReasons, TX_HOLD_BREAK);
        QuarvexBreakOff(Port());
        EXPECT_TRUE(Rts());
        EXPECT_EQ(Port()->Uart.Lcr & UART_LCR_BREAK, 0);
        EXPECT_EQ(Port()->SavedLcr, 0x1A);
    });
}

// Simulated Xon does nothing without a hold; after a simulated Xoff it restarts a write.
TEST_F(LinesTest, SimulatedXonRestartsAHeldWrite)
{
    UnderPortLock([&] {
        QuarvexSimulateXon(Port());
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
        QuarvexSimulateXoff(Port());
    });
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("go"));
    Sim().AdvanceMs(20);
    EXPECT_FALSE(write->Done());
    UnderPortLock([&] { QuarvexSimulateXon(Port()); });
    EXPECT_TRUE(write->Done());
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), Bytes("go"));
}

} // namespace
} // namespace qvx

namespace qvx {
namespace {

// Routines that need PortLock check that their caller holds it.
TEST_F(LinesTest, RoutinesCalledWithoutPortLockDie)
{
    EXPECT_DEATH(QuarvexRaiseDtr(Port()), "PortLock");
    EXPECT_DEATH(QuarvexReleaseReceiveHolds(Port()), "PortLock");
}

} // namespace
} // namespace qvx
