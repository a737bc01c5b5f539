// ctest-labels: write
// Writes and flushes: the total timeout, pieces over send ticks, cancel at each stage, the
// races of the three holders of a write, and the output count with SERIAL_EV_TXEMPTY.

#include "support/write_fixture.h"

#include "driver/kcompat.h"

#include <functional>

namespace qvx {
namespace {

class WriteTest : public WritePathTest
{
};

// 50 bytes, multiplier 2, constant 100: due 200 ms after the start, with what went out.
TEST_F(WriteTest, TotalTimeoutReportsBytesHandedOver)
{
    const std::vector<UCHAR> first = Pattern(100);
    ASSERT_EQ(Io().Write(Handle, first).Status, STATUS_SUCCESS); // 100 of 127 slots taken
    SetWriteTimeouts(2, 100);
    const std::vector<UCHAR> data = Pattern(50, 100);
    const LONGLONG startMs = Sim().NowMs();
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    // The transmitter takes the 27 bytes that fit; an Xoff hold keeps the rest back.
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_XOFF).Status, STATUS_SUCCESS);
    EXPECT_EQ(OutAmount(), 23u);

    EXPECT_EQ(MsUntilDone(write, startMs, 1000), 200);
    EXPECT_EQ(write->Result().Status, STATUS_TIMEOUT);
    EXPECT_EQ(write->Result().Information, 27u);
    EXPECT_EQ(OutAmount(), 0u);
    Sim().AdvanceMs(100);
    std::vector<UCHAR> expected = first;
    const std::vector<UCHAR> sent = Prefix(data, 27);
    expected.insert(expected.end(), sent.begin(), sent.end());
    EXPECT_EQ(Peer().Received(), expected);
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_XON).Status, STATUS_SUCCESS);
}

// Timeout values whose scaled product passes 64 bits hold at the longest due time instead of
// wrapping into one that has already passed.
TEST_F(WriteTest, HugeTotalTimeoutDoesNotWrap)
{
    UseCtsHandshake();
    DropCts();
    SetWriteTimeouts(MAXULONG, MAXULONG);
    IoRequestPtr write = Io().WriteAsync(Handle, Pattern(1 << 20));
    Sim().AdvanceMs(60 * 1000);
    EXPECT_FALSE(write->Done());
    ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    EXPECT_EQ(write->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(write->Result().Information, 0u);
}

// A write larger than the transmit buffer goes in pieces, one per send tick, whole and in order.
TEST_F(WriteTest, LargeWriteArrivesWholeOverManyTicks)
{
    const std::vector<UCHAR> data = Pattern(10000);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(20 * 10);
    EXPECT_FALSE(write->Done());
    const ULONG handedOver = static_cast<ULONG>(Peer().Received().size()) + Port()->Uart.TxCount;
    EXPECT_EQ(OutAmount(), data.size() - handedOver);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Result().Information, data.size());
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().Received(), data);
}

// Cancelled half-way: the bytes handed over, and exactly those reach the peer.
TEST_F(WriteTest, CancelHalfWayReportsBytesHandedOver)
{
    const std::vector<UCHAR> data = Pattern(1000);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(20 * 3);
    ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Result().Status, STATUS_CANCELLED);
    const ULONG_PTR sent = write->Result().Information;
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, data.size());
    EXPECT_EQ(OutAmount(), 0u);
    Sim().AdvanceMs(100);
    EXPECT_EQ(Peer().Received(), Prefix(data, sent));
}

// All bytes handed over before the cancel or the timeout took effect: success, full length,
// whichever of the holders comes last.
TEST_F(WriteTest, EndAfterLastByteHandedOverSucceeds)
{
    struct Case
    {
        const char* name;
        std::function<void()> end;
    };
    const Case cases[] = {
        {"cancel", [this] { ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS); }},
        {"timer, then completion DPC",
         [this] {
             Sim().AdvanceMs(10);
             ASSERT_TRUE(Sim().RunDpc(&Port()->WriteTimeoutDpc));
         }},
        {"completion DPC, then timer",
         [this] {
             Sim().AdvanceMs(10);
             ASSERT_TRUE(Sim().RunDpc(&Port()->WriteCompleteDpc));
             EXPECT_NE(Port()->WriteRefs, 0u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetWriteTimeouts(0, 10);
        Sim().HoldDpcs(true);
        const std::vector<UCHAR> data = Pattern(10);
        IoRequestPtr write = Io().WriteAsync(Handle, data);
        ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->WriteCompleteDpc));
        c.end();
        EXPECT_FALSE(write->Done());
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        ASSERT_TRUE(write->Done());
        EXPECT_EQ(write->Result().Status, STATUS_SUCCESS);
        EXPECT_EQ(write->Result().Information, data.size());
        Sim().AdvanceMs(40);
        EXPECT_EQ(Peer().TakeReceived(), data);
    }
}

// A zero-length write completes at once without entering the queue.
TEST_F(WriteTest, ZeroLengthWriteCompletesAtOnce)
{
    UseCtsHandshake();
    DropCts();
    IoRequestPtr held = Io().WriteAsync(Handle, Pattern(5));
    IoRequestPtr empty = Io().WriteAsync(Handle, {});
    ASSERT_TRUE(empty->Done());
    EXPECT_EQ(empty->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(empty->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(empty->Result().Information, 0u);
    EXPECT_FALSE(held->Done());
    RaiseCts();
    EXPECT_EQ(held->Wait().Status, STATUS_SUCCESS);
}

// A flush completes after the writes queued before it, not earlier.
TEST_F(WriteTest, FlushCompletesAfterTheWritesBeforeIt)
{
    IoRequestPtr first = Io().WriteAsync(Handle, Pattern(300));
    IoRequestPtr second = Io().WriteAsync(Handle, Pattern(300, 300));
    IoRequestPtr flush = Io().FlushAsync(Handle);
    while (!first->Done()) {
        EXPECT_FALSE(flush->Done());
        Sim().AdvanceMs(1);
    }
    while (!second->Done()) {
        EXPECT_FALSE(flush->Done());
        Sim().AdvanceMs(1);
    }
    EXPECT_EQ(flush->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(first->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(second->Result().Status, STATUS_SUCCESS);
}

// Without timeouts a write held by CTS waits for CTS, or for a cancel.
TEST_F(WriteTest, CtsHeldWriteWaitsForCtsOrCancel)
{
    UseCtsHandshake();
    DropCts();
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("held"));
    Sim().AdvanceMs(10000);
    EXPECT_FALSE(write->Done());
    EXPECT_TRUE(Peer().Received().empty());
    EXPECT_EQ(OutAmount(), 4u);
    RaiseCts();
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().TakeReceived(), Bytes("held"));

    DropCts();
    write = Io().WriteAsync(Handle, Bytes("never"));
    IoRequestPtr waiting = Io().WriteAsync(Handle, Bytes("behind"));
    EXPECT_EQ(OutAmount(), 11u);
    Sim().AdvanceMs(10000);
    ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    EXPECT_EQ(write->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(write->Result().Information, 0u);
    EXPECT_EQ(waiting->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(OutAmount(), 0u);
    RaiseCts();
    Sim().AdvanceMs(40);
    EXPECT_TRUE(Peer().Received().empty());
}

// A write the error abort refuses never enters the output count.
TEST_F(WriteTest, ErrorAbortRefusesWriteAndFlush)
{
    SetHandFlow(Handle, SERIAL_ERROR_ABORT | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512);
    UnderPortLock([&] { Port()->CommErrors = SERIAL_ERROR_OVERRUN; });
    EXPECT_EQ(Io().Write(Handle, Bytes("x")).Status, STATUS_CANCELLED);
    EXPECT_EQ(Io().Flush(Handle).Status, STATUS_CANCELLED);
    EXPECT_EQ(Port()->TxQueuedCount, 0u);
    UnderPortLock([&] { Port()->CommErrors = 0; });
}

// ---- Output count ---------------------------------------------------------------------------

// A write partly handed over counts only its unsent rest, beside whole waiting writes and an
// unsent immediate character.
TEST_F(WriteTest, OutputCountOfAPartlyHandedOverWriteIsWhatStillWaits)
{
    IoRequestPtr first = Io().WriteAsync(Handle, Pattern(1000));
    ASSERT_EQ(Port()->Uart.TxCount, UART_TX_CAPACITY - 1); // 127 handed over, no tick yet
    EXPECT_EQ(OutAmount(), 873u);
    UseCtsHandshake();
    DropCts();
    IoRequestPtr immediate = Immediate('!');
    EXPECT_EQ(OutAmount(), 874u);
    IoRequestPtr second = Io().WriteAsync(Handle, Pattern(500, 1000));
    EXPECT_EQ(OutAmount(), 1374u);
    RaiseCts();
    ASSERT_GE(MsUntilDone(second, Sim().NowMs(), 1000), 0);
    EXPECT_EQ(OutAmount(), 0u);
    EXPECT_EQ(first->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(immediate->Wait().Status, STATUS_SUCCESS);
}

// After every way a write or an immediate character ends, AmountInOutQueue is 0 and
// SERIAL_EV_TXEMPTY was reported once, when the count fell to 0.
TEST_F(WriteTest, OutputCountReturnsToZeroWhicheverWayOutputEnds)
{
    struct Row
    {
        const char* name;
        // Leaves output pending; returns the requests to wait for.
        std::function<std::vector<IoRequestPtr>()> run;
        NTSTATUS status; // of the first request
    };
    auto heldWrite = [this](ULONG length) {
        UseCtsHandshake();
        DropCts();
        return Io().WriteAsync(Handle, Pattern(length));
    };
    const Row rows[] = {
        {"write handed over",
         [this] { return std::vector<IoRequestPtr>{Io().WriteAsync(Handle, Pattern(300))}; },
         STATUS_SUCCESS},
        {"write timed out while held",
         [&] {
             SetWriteTimeouts(0, 50);
             IoRequestPtr w = heldWrite(40);
             Sim().AdvanceMs(60);
             return std::vector<IoRequestPtr>{w};
         },
         STATUS_TIMEOUT},
        {"write cancelled in progress, another waiting",
         [&] {
             IoRequestPtr w = heldWrite(40);
             IoRequestPtr behind = Io().WriteAsync(Handle, Pattern(7));
             EXPECT_EQ(OutAmount(), 47u);
             EXPECT_TRUE(IoCancelIrp(behind->Irp()));
             EXPECT_EQ(OutAmount(), 40u);
             EXPECT_TRUE(IoCancelIrp(w->Irp()));
             return std::vector<IoRequestPtr>{w, behind};
         },
         STATUS_CANCELLED},
        {"writes purged",
         [&] {
             IoRequestPtr w = heldWrite(40);
             IoRequestPtr behind = Io().WriteAsync(Handle, Pattern(7));
             EXPECT_EQ(PurgeAsync(SERIAL_PURGE_TXABORT)->Wait().Status, STATUS_SUCCESS);
             return std::vector<IoRequestPtr>{w, behind};
         },
         STATUS_CANCELLED},
        {"write refused by the error abort in progress",
         [&] {
             IoRequestPtr w = heldWrite(40);
             UnderPortLock([&] {
                 Port()->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
                 (void)KeInsertQueueDpc(&Port()->SerialErrorDpc, NULL, NULL);
             });
             Sim().DrainDpcs();
             UnderPortLock([&] { Port()->HandFlow.ControlHandShake &= ~SERIAL_ERROR_ABORT; });
             return std::vector<IoRequestPtr>{w};
         },
         STATUS_CANCELLED},
        {"write found cancelled when its start routine ran",
         [&] {
             IoRequestPtr w = heldWrite(40);
             IoRequestPtr second = Io().WriteAsync(Handle, Pattern(7));
             IoRequestPtr third = Io().WriteAsync(Handle, Pattern(9));
             Sim().HoldDpcs(true);
             EXPECT_TRUE(IoCancelIrp(w->Irp())); // the second is started from the queue's DPC
             EXPECT_EQ(PurgeAsync(SERIAL_PURGE_TXABORT)->Result().Status, STATUS_SUCCESS);
             EXPECT_TRUE(third->Done());
             EXPECT_FALSE(second->Done());
             EXPECT_EQ(OutAmount(), 7u);
             Sim().HoldDpcs(false);
             Sim().DrainDpcs();
             return std::vector<IoRequestPtr>{second, w, third};
         },
         STATUS_CANCELLED},
        {"immediate character sent", [this] { return std::vector<IoRequestPtr>{Immediate('!')}; },
         STATUS_SUCCESS},
        {"immediate character timed out",
         [this] {
             SetWriteTimeouts(0, 30);
             UseCtsHandshake();
             DropCts();
             IoRequestPtr i = Immediate('!');
             Sim().AdvanceMs(40);
             return std::vector<IoRequestPtr>{i};
         },
         STATUS_TIMEOUT},
        {"immediate character cancelled",
         [this] {
             UseCtsHandshake();
             DropCts();
             IoRequestPtr i = Immediate('!');
             EXPECT_EQ(OutAmount(), 1u);
             EXPECT_TRUE(IoCancelIrp(i->Irp()));
             return std::vector<IoRequestPtr>{i};
         },
         STATUS_CANCELLED},
        {"Xoff counter's character sent",
         [this] {
             IoRequestPtr x = XoffCounter(0, 1);
             Sim().AdvanceMs(1);
             Peer().Deliver("a");
             return std::vector<IoRequestPtr>{x};
         },
         STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
        IoRequestPtr wait = WaitOnMask();
        std::vector<IoRequestPtr> requests = row.run();
        ASSERT_FALSE(requests.empty());
        for (const IoRequestPtr& request : requests) {
            request->Wait();
        }
        EXPECT_EQ(requests.front()->Result().Status, row.status);
        EXPECT_EQ(OutAmount(), 0u);
        EXPECT_EQ(Port()->TxQueuedCount, 0u);
        ASSERT_TRUE(wait->Done());
        EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
        // Reported once: nothing is left over for the next wait.
        EXPECT_EQ(Port()->EventHistory, 0u);
        ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);
        SetWriteTimeouts(0, 0);
        SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512);
        RaiseCts();
        Sim().AdvanceMs(40);
        (void)Peer().TakeReceived();
    }
}

// Closing the handle ends every kind of pending output, queued or not, and leaves nothing
// counted.
TEST_F(WriteTest, CloseEndsPendingOutputAndClearsTheCount)
{
    auto closeAndExpectCancelled = [this](const std::vector<IoRequestPtr>& requests) {
        ClosePort(Handle);
        Sim().DrainDpcs();
        for (const IoRequestPtr& request : requests) {
            ASSERT_TRUE(request->Done());
            EXPECT_EQ(request->Result().Status, STATUS_CANCELLED);
        }
        EXPECT_EQ(Port()->TxQueuedCount, 0u);
        EXPECT_EQ(Port()->ImmediateIrp, nullptr);
        EXPECT_EQ(Port()->XoffIrp, nullptr);
        EXPECT_EQ(Port()->WriteQueue.CurrentIrp, nullptr);
        Handle = OpenPort();
    };
    UseCtsHandshake();
    DropCts();
    IoRequestPtr current = Io().WriteAsync(Handle, Pattern(40));
    IoRequestPtr waiting = Io().WriteAsync(Handle, Pattern(7));
    IoRequestPtr immediate = Immediate('!');
    EXPECT_EQ(OutAmount(), 48u);
    closeAndExpectCancelled({current, waiting, immediate});

    IoRequestPtr counter = XoffCounter(0, 5);
    Sim().AdvanceMs(1);
    ASSERT_NE(Port()->XoffIrp, nullptr);
    UseCtsHandshake();
    DropCts();
    immediate = Immediate('!');
    closeAndExpectCancelled({counter, immediate});
}

// SERIAL_EV_TXEMPTY goes out when the transmit path hands the last byte over, before the
// write's completion DPC runs, and not while another write waits.
TEST_F(WriteTest, TxEmptyReportedWhenLastByteIsHandedOver)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    Sim().HoldDpcs(true);
    IoRequestPtr first = Io().WriteAsync(Handle, Pattern(20));
    IoRequestPtr second = Io().WriteAsync(Handle, Pattern(20, 20));
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    EXPECT_FALSE(Sim().IsDpcQueued(&Port()->WaitCompleteDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->WriteCompleteDpc));
    while (!Sim().IsDpcQueued(&Port()->WriteCompleteDpc)) {
        ASSERT_TRUE(Sim().RunNextDpc());
    }
    EXPECT_TRUE(Sim().IsDpcQueued(&Port()->WaitCompleteDpc));
    EXPECT_FALSE(second->Done());
    Sim().HoldDpcs(false);
    Sim().DrainDpcs();
    EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    EXPECT_EQ(second->Wait().Status, STATUS_SUCCESS);
}

} // namespace
} // namespace qvx
