// The interrupt service: the receive path into the input ring, events, receive flow control,
// the transmit path and the closed-port drain.

#include "support/port_fixture.h"

#include "serial/interrupt.h"
#include "serial/transfer.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

class InterruptTest : public OpenPortTest
{
  protected:
    void Receive(size_t count, UCHAR value = 'a')
    {
        Peer().Deliver(std::vector<UCHAR>(count, value));
    }
};

// RX80FULL fires when the 3328th character is stored, and again only after the level has
// fallen below the mark and risen through it.
TEST_F(InterruptTest, Rx80FullFiresWhenTheLevelRisesThroughTheMark)
{
    ASSERT_EQ(STATUS_SUCCESS, SetWaitMask(SERIAL_EV_RX80FULL));
    IoRequestPtr wait = WaitOnMask();
    Receive(3327);
    EXPECT_FALSE(wait->Done());
    Receive(1);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_RX80FULL));

    wait = WaitOnMask();
    Receive(100);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(ReadNow(200).size(), 200u); // 3228 held
    Receive(99);
    EXPECT_FALSE(wait->Done());
    Receive(1);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_RX80FULL));
}

// Under DTR handshake DTR drops with the character that brings the count to 3584.
TEST_F(InterruptTest, DtrHandshakeDropsDtrAtTheXoffPoint)
{
    SetHandFlow(Handle, SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 2048, 512);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_DTR, 0);
    Receive(3583);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_DTR, 0);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    Receive(1);
    EXPECT_EQ(Port()->InputCount, 3584u);
    EXPECT_EQ(Port()->Uart.Mcr & UART_MCR_DTR, 0);
    EXPECT_EQ(Port()->RxHoldReasons, RX_HOLD_DTR);
    // Reading down to XonLimit releases the hold and raises DTR again.
    EXPECT_EQ(ReadNow(1536).size(), 1536u);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_DTR, 0);
}

// Xoff and Xon received under automatic transmit flow control hold and release the
// transmitter and are not stored; a held write resumes when the Xon arrives.
TEST_F(InterruptTest, ReceivedXoffAndXonHoldAndReleaseTheTransmitter)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 2048, 512);
    Peer().Deliver(std::vector<UCHAR>{'x', 0x13, 'y'});
    EXPECT_EQ(Port()->TxHoldReasons, TX_HOLD_XOFF);
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("held"));
    Sim().AdvanceMs(40);
    EXPECT_FALSE(write->Done());
    EXPECT_TRUE(Peer().Received().empty());

    Peer().Deliver(std::vector<UCHAR>{0x11});
    EXPECT_EQ(Port()->TxHoldReasons, 0u);
    EXPECT_TRUE(write->Done()); // handed over in the same run of the service
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), Bytes("held"));
    EXPECT_EQ(ReadNow(10), Bytes("xy"));
}

// With XonChar equal to XoffChar the character always acts as Xoff.
TEST_F(InterruptTest, EqualFlowCharactersActAsXoff)
{
    SERIAL_CHARS chars = {0, 0, 0, 0, 0x13, 0x13};
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).Status,
              STATUS_SUCCESS);
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 2048, 512);
    Peer().Deliver(std::vector<UCHAR>{0x13, 0x13});
    EXPECT_EQ(Port()->TxHoldReasons, TX_HOLD_XOFF);
    EXPECT_EQ(Port()->InputCount, 0u);
}

// The escape character doubles data bytes equal to it, and brackets modem-status changes.
TEST_F(InterruptTest, LineStatusAndModemStatusEscapeInsertion)
{
    UnderPortLock([&] {
        Port()->LsrMstEscape = 0xFF;
        Port()->DataMask = 0xFF;
    });
    Peer().Deliver(std::vector<UCHAR>{0xFF, 'a'});
    EXPECT_EQ(ReadNow(10), (std::vector<UCHAR>{0xFF, 0x00, 'a'}));

    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    // DSR and DCD stand high with DTR.
    EXPECT_EQ(ReadNow(10), (std::vector<UCHAR>{0xFF, 0x03, 0xA1, 0xFF, 0x03, 0xB1}));
}

// A null byte is dropped under null stripping: counted as received, no RXCHAR event.
TEST_F(InterruptTest, NullStrippingDropsNullsButCountsThem)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING, 2048, 512);
    ASSERT_EQ(STATUS_SUCCESS, SetWaitMask(SERIAL_EV_RXCHAR));
    IoRequestPtr wait = WaitOnMask();
    Peer().Deliver(std::vector<UCHAR>{0x00});
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(Port()->Stats.ReceivedCount, 1u);
    Peer().Deliver(std::vector<UCHAR>{'z'});
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(ReadNow(10), Bytes("z"));
}

// A full ring loses the new character; with SERIAL_ERROR_CHAR the newest stored character
// becomes ErrorChar, also when the write position has wrapped to the start of the ring.
TEST_F(InterruptTest, FullRingReplacesNewestCharacterWithErrorChar)
{
    SERIAL_CHARS chars = {0, '?', 0, 0, 0x11, 0x13};
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).Status,
              STATUS_SUCCESS);
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 2048, 512);

    Receive(4096, 'a'); // from an empty ring at its start: the write position wraps to 0
    EXPECT_EQ(Port()->IsrNextSlot, Port()->InputBuffer);
    Receive(1, 'b');
    EXPECT_EQ(Port()->Stats.BufferOverrunErrorCount, 1u);
    EXPECT_NE(Port()->CommErrors & SERIAL_ERROR_QUEUEOVERRUN, 0u);
    EXPECT_EQ(Port()->InputBuffer[4095], '?');

    ReadNow(4096);
    Receive(100, 'c');
    ReadNow(100);
    Receive(4096, 'd'); // the ring is full with the write position at offset 100
    Receive(1, 'e');
    EXPECT_EQ(Port()->InputBuffer[99], '?');
    std::vector<UCHAR> all = ReadNow(4096);
    ASSERT_EQ(all.size(), 4096u);
    EXPECT_EQ(all.back(), '?');
    EXPECT_EQ(all.front(), 'd');
}

// An immediate character passes an Xoff hold while write data waits behind it.
TEST_F(InterruptTest, ImmediateCharacterPassesXoffHoldButWriteDoesNot)
{
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_XOFF).Status, STATUS_SUCCESS);
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("data"));
    IoRequestPtr immediate =
        Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes("!"), 0);
    Sim().AdvanceMs(20);
    EXPECT_TRUE(immediate->Done());
    EXPECT_EQ(immediate->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(Peer().Received(), Bytes("!"));
    EXPECT_FALSE(write->Done());

    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_XON).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    EXPECT_TRUE(write->Done());
    EXPECT_EQ(Peer().Received(), Bytes("!data"));
}

// Regression: in transmit-toggle mode writes completed as sent while nothing reached the
// transmitter, and no Xoff was ever sent. The mode sends and counts like any other; it only
// raises RTS for the write.
TEST_F(InterruptTest, TransmitToggleSendsAndCountsWrites)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_RECEIVE, 2048,
                512);
    IoResult result = Io().Write(Handle, Bytes("toggle"));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 6u);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_RTS, 0); // raised by the write, left raised
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), Bytes("toggle"));
    EXPECT_EQ(Port()->Stats.TransmittedCount, 6u);

    Receive(3584); // the Xoff point: receive flow control works in this mode too
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received().back(), 0x13);
    EXPECT_EQ(Port()->Stats.TransmittedCount, 7u);
}

// Bytes that reached the UART before the port closed are drained and stored nowhere.
TEST_F(InterruptTest, ClosedPortDrainsAndStoresNothing)
{
    Sim().HoldDpcs(true);
    Receive(20);
    ClosePort(Handle);
    Handle = INVALID_FILE_HANDLE;
    const ULONG received = Port()->Stats.ReceivedCount;
    Sim().HoldDpcs(false);
    EXPECT_EQ(Port()->Uart.RxCount, 0u);
    EXPECT_EQ(Port()->Stats.ReceivedCount, received);
    EXPECT_TRUE(Port()->ThrEmpty);
}

// A write far larger than the transmit buffer reaches the peer whole and in order over
// successive send ticks, and completes only once its last byte has been handed over.
TEST_F(InterruptTest, LargeWriteArrivesWholeOverSuccessiveTicks)
{
    std::vector<UCHAR> data(10000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<UCHAR>(i * 7 + i / 251);
    }
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    size_t ticks = 0;
    while (!write->Done()) {
        ASSERT_LT(ticks, 200u);
        EXPECT_LT(Peer().Received().size(), data.size());
        Sim().AdvanceMs(20);
        ++ticks;
    }
    EXPECT_EQ(write->Result().Information, data.size());
    EXPECT_GE(Peer().Received().size(), data.size() - 127);
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), data);
    for (const auto& block : Peer().Blocks()) {
        EXPECT_LE(block.Bytes.size(), 127u);
    }
    EXPECT_GE(ticks, data.size() / 127);
    EXPECT_EQ(Port()->Stats.TransmittedCount, data.size());
}

// An overrun under SERIAL_ERROR_ABORT cancels the pending read and refuses new ones until the
// errors are read.
TEST_F(InterruptTest, OverrunWithErrorAbortCancelsReads)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 2048, 512);
    SetTimeouts(Handle, 0, 0, 0);
    // Longer than what arrives, so the receive path cannot finish it first.
    IoRequestPtr read = Io().ReadAsync(Handle, 5000);
    Sim().HoldDpcs(true);
    UnderPortLock([&] { Port()->Uart.RxCount = 4096; });
    Receive(4);
    Sim().HoldDpcs(false);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Io().Read(Handle, 1).Status, STATUS_CANCELLED);

    IoResult status =
        Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    ASSERT_EQ(status.Status, STATUS_SUCCESS);
    SERIAL_STATUS serialStatus;
    memcpy(&serialStatus, status.Data.data(), sizeof(serialStatus));
    EXPECT_EQ(serialStatus.Errors & SERIAL_ERROR_OVERRUN, static_cast<ULONG>(SERIAL_ERROR_OVERRUN));
    EXPECT_EQ(Port()->Stats.SerialOverrunErrorCount, 1u);
    SetTimeouts(Handle, MAXULONG, 0, 0);
    EXPECT_EQ(Io().Read(Handle, 1).Status, STATUS_SUCCESS);
}

} // namespace
} // namespace qvx
