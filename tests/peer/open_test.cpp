// ctest-labels: open
// Open, close and cleanup: one handle at a time, the send period from the registry, the line
// state at close.

#include "support/port_fixture.h"

#include "peer/peer.h"
#include "platform/machine/machine.h"
#include "port/kcompat.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qvx {
namespace {

using OpenTest = PortTest;

// A second open is refused and leaves the first intact; a directory open is refused.
TEST_F(OpenTest, SecondOpenAndDirectoryOpenAreRefused)
{
    FileHandle first = OpenPort();
    ASSERT_NE(first, INVALID_FILE_HANDLE);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(OpenPort(&status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Port()->ExclusiveOpenCount, 1);
    EXPECT_TRUE(Port()->PortIsOpen);
    Peer().Deliver(std::string("still"));
    EXPECT_EQ(Port()->InputCount, 5u);
    ClosePort(first);

    EXPECT_EQ(Io().Open(u"\\\\.\\COM5", FILE_DIRECTORY_FILE, &status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Port()->ExclusiveOpenCount, 0);
    EXPECT_EQ(Port()->OutstandingIo, 1);
}

// "ComPeriod" sets the first tick and the period; without it the period is 20 ms.
TEST_F(OpenTest, SendPeriodComesFromTheRegistry)
{
    FileHandle handle = OpenPort();
    EXPECT_EQ(Port()->SendPeriod, 20u);
    EXPECT_EQ(Sim().NextTimerDue(), Sim().Now() + 20 * 10000);
    ClosePort(handle);

    SetComPeriod(50);
    TraceCapture trace(Sim());
    const LONGLONG opened = Sim().NowMs();
    handle = OpenPort();
    EXPECT_TRUE(trace.Contains("QuarvexCreateDispatchPeriod 50"));
    ASSERT_EQ(Io().Write(handle, Bytes("a")).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(49);
    EXPECT_TRUE(Peer().Blocks().empty());
    Sim().AdvanceMs(1);
    ASSERT_EQ(Io().Write(handle, Bytes("b")).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(50);
    auto blocks = Peer().Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].TimeMs, opened + 50);
    EXPECT_EQ(blocks[1].TimeMs, opened + 100);
    ClosePort(handle);
}

// A period of 0 would fire once and never again, one above 429,496 ms would overflow the due
// time: both are refused and the period in force stays; so does one whose value vanished.
TEST_F(OpenTest, UnusableSendPeriodsAreRefused)
{
    SetComPeriod(35);
    ClosePort(OpenPort());
    EXPECT_EQ(Port()->SendPeriod, 35u);
    for (ULONG refused : {0u, 429497u, 0xFFFFFFFFu}) {
        SetComPeriod(refused);
        TraceCapture trace(Sim());
        FileHandle handle = OpenPort();
        EXPECT_EQ(Port()->SendPeriod, 35u);
        EXPECT_TRUE(trace.Contains("refused")) << trace.Dump();
        EXPECT_EQ(Sim().NextTimerDue(), Sim().Now() + 35 * 10000);
        ClosePort(handle);
    }
    SetComPeriod(429496);
    ClosePort(OpenPort());
    EXPECT_EQ(Port()->SendPeriod, 429496u);
    Sim().Reg().DeleteValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quarvex",
                            u"ComPeriod");
    ClosePort(OpenPort());
    EXPECT_EQ(Port()->SendPeriod, 429496u);
}

// Close during a break with RTS raised ends the break and drops the lines; CTS follows RTS
// down, DSR and DCD follow DTR, each with its delta, and a modem-status interrupt is pending.
TEST_F(OpenTest, CloseEndsBreakAndDropsLines)
{
    FileHandle handle = OpenPort();
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BREAK_ON).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    EXPECT_NE(Port()->Uart.Lcr & UART_LCR_BREAK, 0);
    Sim().HoldDpcs(true);
    ClosePort(handle);
    EXPECT_EQ(Port()->Uart.Lcr & UART_LCR_BREAK, 0);
    EXPECT_EQ(Port()->Uart.Mcr & (UART_MCR_DTR | UART_MCR_RTS), 0);
    EXPECT_EQ(Port()->Uart.Msr, UART_MSR_DCTS | UART_MSR_DDSR | UART_MSR_DDCD);
    EXPECT_TRUE(Port()->Uart.ModemStatusPending);
    Sim().HoldDpcs(false); // the closed port's interrupt service drains the change
    EXPECT_FALSE(Port()->Uart.ModemStatusPending);
    EXPECT_EQ(Port()->TxHoldReasons, 0u);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    EXPECT_FALSE(Port()->SendTimerRunning);
}

// Bytes written before close leave with that session: the close hands the transmitter to the
// peer before the next program opens, and a held baud block follows them. Bytes received
// while closed are gone. Regression: they waited for the first tick after the next open.
TEST_F(OpenTest, CloseHandsTheTransmitterOverAndReceiveStartsEmpty)
{
    FileHandle handle = OpenPort();
    const std::vector<UCHAR> kept(120, 'k');
    ASSERT_EQ(Io().Write(handle, kept).Status, STATUS_SUCCESS);
    ULONG rate = 9600;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)).Status,
              STATUS_SUCCESS);
    ASSERT_TRUE(Port()->Uart.BaudBlockHeld); // no room behind the 120 bytes
    ClosePort(handle);
    EXPECT_EQ(Peer().Received(), kept);
    EXPECT_EQ(Peer().BaudRates(), std::vector<ULONG>{9600});
    EXPECT_EQ(Port()->Uart.TxCount, 0u);
    Peer().Deliver(std::string("lost"));
    Sim().AdvanceMs(100);

    handle = OpenPort();
    EXPECT_EQ(Port()->InputCount, 0u);
    SetTimeouts(handle, MAXULONG, 0, 0);
    EXPECT_TRUE(Io().Read(handle, 10).Data.empty());
    ClosePort(handle);
}

// After open and after a reopen the line starts clean: DTR and RTS raised, CTS seen, no
// holds, zeroed statistics and errors, the default limits, whatever the last handle left.
// Regression: errors survived close, so with SERIAL_ERROR_ABORT a new handle had every read
// refused until it read the last handle's errors.
TEST_F(OpenTest, LineStateAfterOpenAndReopen)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first open" : "reopen");
        FileHandle handle = OpenPort();
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        const EmulatedUart& uart = Port()->Uart;
        EXPECT_NE(uart.Mcr & UART_MCR_DTR, 0);
        EXPECT_NE(uart.Mcr & UART_MCR_RTS, 0);
        EXPECT_NE(uart.Msr & UART_MSR_CTS, 0);
        EXPECT_EQ(Port()->TxHoldReasons, 0u);
        EXPECT_EQ(Port()->RxHoldReasons, 0u);
        EXPECT_EQ(Port()->CommErrors, 0u);
        // On the reopen the one byte sent is the Xon that releases the peer the last
        // handle's Xoff had paused.
        SERIALPERF_STATS expected = {};
        expected.TransmittedCount = round == 0 ? 0 : 1;
        EXPECT_EQ(memcmp(&Port()->Stats, &expected, sizeof(expected)), 0);
        EXPECT_FALSE(Port()->SendXonPending);
        EXPECT_EQ(Port()->HandFlow.XonLimit, 2048);
        EXPECT_EQ(Port()->HandFlow.XoffLimit, 512);
        EXPECT_EQ(Port()->InputCount, 0u);
        SetTimeouts(handle, MAXULONG, 0, 0);
        EXPECT_EQ(Io().Read(handle, 10).Status, STATUS_SUCCESS);

        // Leave everything dirty: receive flow control in force, a break, errors under the
        // error abort, counted traffic.
        SERIAL_HANDFLOW handFlow = {SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT,
                                    SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 100, 100};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow)).Status,
                  STATUS_SUCCESS);
        Peer().Deliver(std::vector<UCHAR>(4000, 'd'));
        EXPECT_NE(Port()->RxHoldReasons, 0u);
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BREAK_ON).Status, STATUS_SUCCESS);
        KIRQL old = KfAcquireSpinLock(&Port()->PortLock);
        Port()->CommErrors |= SERIAL_ERROR_OVERRUN;
        KfReleaseSpinLock(&Port()->PortLock, old);
        EXPECT_EQ(Io().Read(handle, 10).Status, STATUS_CANCELLED);
        ClosePort(handle);
        Sim().AdvanceMs(40);
    }
}

// A failed allocation of the ring leaves the port closed with nothing allocated; a removed
// device refuses the open without changing the outstanding-I/O count.
TEST_F(OpenTest, FailedOpensLeaveThePortClosed)
{
    const size_t before = Sim().OutstandingBlocks(QUARVEX_POOL_TAG);
    Sim().FailAllocationsWithTag(QUARVEX_POOL_TAG);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(OpenPort(&status), INVALID_FILE_HANDLE);
    Sim().FailAllocationsWithTag(0);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Port()->ExclusiveOpenCount, 0);
    EXPECT_FALSE(Port()->PortIsOpen);
    EXPECT_EQ(Port()->InputBufferSize, 0u);
    EXPECT_FALSE(Port()->SendTimerRunning);
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_POOL_TAG), before);
    EXPECT_EQ(Port()->OutstandingIo, 1);

    Port()->PnpState = PNP_REMOVED;
    EXPECT_EQ(OpenPort(&status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Port()->OutstandingIo, 1);
    Port()->PnpState = PNP_STARTED;
    ClosePort(OpenPort());
}

} // namespace
} // namespace qvx
