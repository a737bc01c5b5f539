// ctest-labels: purge
// Purge: what each bit ends or empties, what it leaves alone, and the order of purges.

#include "support/machine_fixture.h"
#include "support/write_fixture.h"

#include "port/kcompat.h"
#include "queue/queue.h"

namespace qvx {
namespace {

class PurgeTest : public WritePathTest
{
  protected:
    void SetUp() override
    {
        WritePathTest::SetUp();
        UnderPortLock([&] { Port()->DataMask = 0xFF; });
    }

    NTSTATUS Purge(ULONG mask) { return PurgeAsync(mask)->Wait().Status; }
};

// Every combination of the four bits: the aborts end only their own side, RXCLEAR empties the
// ring, TXCLEAR changes nothing, and the purge itself always succeeds.
TEST_F(PurgeTest, EveryMaskEndsOnlyWhatItNames)
{
    UseCtsHandshake();
    for (ULONG mask = 1; mask <= 0x0F; ++mask) {
        SCOPED_TRACE("mask " + std::to_string(mask));
        Peer().Deliver("hello");
        DropCts();
        IoRequestPtr current = Io().WriteAsync(Handle, Pattern(40));
        IoRequestPtr waiting = Io().WriteAsync(Handle, Pattern(7));
        SetTimeouts(Handle, 0, 0, 0);
        IoRequestPtr read = Io().ReadAsync(Handle, 10); // takes "hello", waits for the rest
        IoRequestPtr readBehind = Io().ReadAsync(Handle, 3);
        Peer().Deliver("abc");
        Sim().AdvanceMs(1);

        ASSERT_EQ(Purge(mask), STATUS_SUCCESS);
        const bool tx = (mask & SERIAL_PURGE_TXABORT) != 0;
        const bool rx = (mask & SERIAL_PURGE_RXABORT) != 0;
        EXPECT_EQ(current->Done(), tx);
        EXPECT_EQ(waiting->Done(), tx);
        EXPECT_EQ(read->Done(), rx);
        EXPECT_EQ(readBehind->Done(), rx);
        if (tx) {
            EXPECT_EQ(current->Result().Status, STATUS_CANCELLED);
            EXPECT_EQ(current->Result().Information, 0u);
            EXPECT_EQ(waiting->Result().Status, STATUS_CANCELLED);
            EXPECT_EQ(OutAmount(), 0u);
        } else {
            EXPECT_EQ(OutAmount(), 47u);
        }
        if (rx) {
            EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
        }
        // The read being filled directly kept its bytes whatever RXCLEAR said.
        RaiseCts();
        Peer().Deliver("0123456789");
        Sim().AdvanceMs(40);
        EXPECT_EQ(current->Wait().Information, tx ? 0u : 40u);
        if (!rx) {
            EXPECT_EQ(read->Wait().Data, Bytes("helloabc01"));
            EXPECT_EQ(readBehind->Wait().Data, Bytes("234"));
        }
        (void)ReadNow(100);
        (void)Peer().TakeReceived();
    }
}

// RXCLEAR empties the ring; bytes that arrive afterwards are kept.
TEST_F(PurgeTest, RxClearEmptiesTheInputRing)
{
    Peer().Deliver("stale bytes");
    Sim().AdvanceMs(1);
    EXPECT_EQ(InAmount(), 11u);
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(InAmount(), 0u);
    Peer().Deliver("new");
    Sim().AdvanceMs(1);
    EXPECT_EQ(ReadNow(100), Bytes("new"));
}

// RXCLEAR raises DTR again when it was dropped for input flow control.
TEST_F(PurgeTest, RxClearReleasesDtrFlowControl)
{
    SetHandFlow(Handle, SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 2048, 512);
    std::string fill(4096 - 512, 'f');
    for (size_t at = 0; at < fill.size(); at += 44) {
        Peer().Deliver(fill.substr(at, 44));
        Sim().AdvanceMs(1);
    }
    ASSERT_EQ(Port()->Uart.Mcr & UART_MCR_DTR, 0);
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_DTR, 0);
    EXPECT_EQ(Port()->RxHoldReasons, 0u);
    EXPECT_EQ(InAmount(), 0u);
}

// TXABORT ends a counting Xoff counter with STATUS_SERIAL_MORE_WRITES and cancels the writes.
TEST_F(PurgeTest, TxAbortEndsCountingXoffCounter)
{
    IoRequestPtr counter = XoffCounter(0, 5);
    Sim().AdvanceMs(1);
    ASSERT_NE(Port()->XoffIrp, nullptr);
    UseCtsHandshake();
    DropCts();
    // The write ends the counter first; the next counter is sent but held by CTS.
    IoRequestPtr write = Io().WriteAsync(Handle, Pattern(10));
    EXPECT_EQ(counter->Result().Status, STATUS_SERIAL_MORE_WRITES);
    IoRequestPtr held = XoffCounter(0, 5);
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    EXPECT_EQ(write->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(held->Result().Status, STATUS_CANCELLED);

    RaiseCts();
    counter = XoffCounter(0, 5);
    Sim().AdvanceMs(1);
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(counter->Done());
    EXPECT_EQ(counter->Result().Status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(counter->Result().Information, 0u);
}

// Purges start in the order they were sent.
TEST_F(PurgeTest, PurgesStartInOrder)
{
    TraceCapture trace(Sim());
    QuarvexQueueStallAndWait(&Port()->PurgeQueue);
    IoRequestPtr purges[3] = {PurgeAsync(SERIAL_PURGE_RXCLEAR), PurgeAsync(SERIAL_PURGE_TXCLEAR),
                              PurgeAsync(SERIAL_PURGE_RXABORT)};
    std::vector<std::string> expected;
    for (const IoRequestPtr& purge : purges) {
        char line[64];
        // The trace facility prints pointers as Windows does: upper-case hex, two digits a byte.
        snprintf(line, sizeof(line), "PurgeQueueStartIo++. IRP %0*llX",
                 static_cast<int>(2 * sizeof(void*)),
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(purge->Irp())));
        expected.push_back(line);
    }
    QuarvexQueueRestart(&Port()->PurgeQueue);
    for (const IoRequestPtr& purge : purges) {
        EXPECT_EQ(purge->Wait().Status, STATUS_SUCCESS);
    }
    std::vector<std::string> started;
    for (const std::string& line : trace.Lines()) {
        if (line.find("PurgeQueueStartIo++") != std::string::npos) {
            started.push_back(line);
        }
    }
    ASSERT_EQ(started.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NE(started[i].find(expected[i]), std::string::npos) << trace.Dump();
    }
}

} // namespace
} // namespace qvx
