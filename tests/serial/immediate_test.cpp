// ctest-labels: write
// The immediate character and the Xoff counter: their holds, timeouts and endings, and every
// race between the parties that can end an Xoff counter, forced with held DPCs.

#include "support/machine_fixture.h"
#include "support/write_fixture.h"

#include "driver/kcompat.h"

#include <functional>

namespace qvx {
namespace {

class ImmediateTest : public WritePathTest
{
};

// The immediate character goes ahead of the remaining bytes of the current write.
TEST_F(ImmediateTest, ImmediateCharacterOvertakesWriteRemainder)
{
    const std::vector<UCHAR> data = Pattern(500);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(20); // the first piece is out
    IoRequestPtr immediate = Immediate('!');
    EXPECT_EQ(immediate->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(immediate->Result().Information, 0u);
    EXPECT_FALSE(write->Done());
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    std::vector<UCHAR> received = Peer().Received();
    ASSERT_EQ(received.size(), data.size() + 1);
    const auto bang = std::find(received.begin(), received.end(), '!');
    ASSERT_NE(bang, received.end());
    EXPECT_GT(bang - received.begin(), 0);
    EXPECT_LT(bang - received.begin(), 500 - 127);
    received.erase(bang);
    EXPECT_EQ(received, data);
}

// A CTS hold keeps the character back, even with a write waiting; CTS lets it go.
TEST_F(ImmediateTest, ImmediateCharacterWaitsForCtsWithoutTimeouts)
{
    UseCtsHandshake();
    DropCts();
    IoRequestPtr immediate = Immediate('!');
    Sim().AdvanceMs(5000);
    EXPECT_FALSE(immediate->Done());
    EXPECT_EQ(OutAmount(), 1u);
    RaiseCts();
    EXPECT_EQ(immediate->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().Received(), Bytes("!"));
}

// Constant 100 while held: STATUS_TIMEOUT after 100 ms, and the character never goes out.
TEST_F(ImmediateTest, ImmediateCharacterTimesOutAndIsNeverSent)
{
    SetWriteTimeouts(0, 100);
    UseCtsHandshake();
    DropCts();
    const LONGLONG startMs = Sim().NowMs();
    IoRequestPtr immediate = Immediate('!');
    EXPECT_EQ(MsUntilDone(immediate, startMs, 1000), 100);
    EXPECT_EQ(immediate->Result().Status, STATUS_TIMEOUT);
    EXPECT_EQ(OutAmount(), 0u);
    RaiseCts();
    Sim().AdvanceMs(100);
    EXPECT_TRUE(Peer().Received().empty());
}

// A second immediate character is refused while the first is pending; the first is untouched.
TEST_F(ImmediateTest, SecondImmediateCharacterRefusedWhileFirstPending)
{
    UseCtsHandshake();
    DropCts();
    IoRequestPtr first = Immediate('1');
    IoRequestPtr second = Immediate('2');
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Result().Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(OutAmount(), 1u);
    RaiseCts();
    EXPECT_EQ(first->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().Received(), Bytes("1"));
    // The slot is free again.
    EXPECT_EQ(Immediate('3')->Wait().Status, STATUS_SUCCESS);
}

// Sent, but its completion DPC has not run: a cancel or the timer leave the completion to that
// DPC, which reports success.
TEST_F(ImmediateTest, EndingAfterTheCharacterWentOutSucceeds)
{
    const std::function<void(IoRequestPtr&)> endings[] = {
        [](IoRequestPtr& immediate) { EXPECT_TRUE(IoCancelIrp(immediate->Irp())); },
        [this](IoRequestPtr&) {
            Sim().AdvanceMs(10);
            ASSERT_TRUE(Sim().RunDpc(&Port()->ImmediateTimeoutDpc));
        },
        [this](IoRequestPtr&) {
            Sim().AdvanceMs(10);
            ASSERT_TRUE(Sim().RunDpc(&Port()->ImmediateCompleteDpc));
            EXPECT_NE(Port()->ImmediateRefs, 0u); // the expired timer's DPC still holds it
        },
    };
    for (const auto& end : endings) {
        TraceCapture trace(Sim());
        SetWriteTimeouts(0, 10);
        Sim().HoldDpcs(true);
        IoRequestPtr immediate = Immediate('!');
        ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ImmediateCompleteDpc));
        end(immediate);
        EXPECT_FALSE(immediate->Done());
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        ASSERT_TRUE(immediate->Done());
        EXPECT_EQ(immediate->Result().Status, STATUS_SUCCESS);
        EXPECT_EQ(trace.Count("QuarvexSerialImmediateCharComplete++"), 1u);
        Sim().AdvanceMs(40);
        EXPECT_EQ(Peer().TakeReceived(), Bytes("!"));
    }
}

// ---- Xoff counter ---------------------------------------------------------------------------

// The Xoff character goes out in line with the writes; the Nth counted character ends the
// request, and characters discarded under DSR sensitivity do not count.
TEST_F(ImmediateTest, XoffCounterCompletesAtTheNthCountedCharacter)
{
    IoRequestPtr before = Io().WriteAsync(Handle, Bytes("ab"));
    IoRequestPtr counter = XoffCounter(0, 3, 0x13);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().Received(), (std::vector<UCHAR>{'a', 'b', 0x13}));
    EXPECT_EQ(before->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(OutAmount(), 0u);

    // DTR off: DSR, looped back from it, is low.
    SetHandFlow(Handle, SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 2048, 512);
    Peer().Deliver("xxxx"); // discarded, not counted
    Sim().AdvanceMs(1);
    EXPECT_FALSE(counter->Done());
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    Peer().Deliver("12");
    Sim().AdvanceMs(1);
    EXPECT_FALSE(counter->Done());
    Peer().Deliver("3");
    Sim().AdvanceMs(1);
    ASSERT_TRUE(counter->Done());
    EXPECT_EQ(counter->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(counter->Result().Information, 0u);
    EXPECT_EQ(ReadNow(10), Bytes("123"));
}

// Timeout 5000 units of 0.1 ms: 500 ms after the character was handed over.
TEST_F(ImmediateTest, XoffCounterTimesOutAfterItsTimeout)
{
    const LONGLONG startMs = Sim().NowMs();
    IoRequestPtr counter = XoffCounter(5000, 10);
    Peer().Deliver("abcd");
    EXPECT_EQ(MsUntilDone(counter, startMs, 2000), 500);
    EXPECT_EQ(counter->Result().Status, STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_EQ(counter->Result().Information, 0u);
}

// A write that starts ends the counter with STATUS_SERIAL_MORE_WRITES before its own bytes go
// out; a flush does not end it; a cancel does.
TEST_F(ImmediateTest, XoffCounterEndedByWriteOrCancelNotByFlush)
{
    IoRequestPtr counter = XoffCounter(0, 5);
    Sim().AdvanceMs(1);
    EXPECT_EQ(Io().Flush(Handle).Status, STATUS_SUCCESS);
    EXPECT_FALSE(counter->Done());
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("w"));
    ASSERT_TRUE(counter->Done());
    EXPECT_EQ(counter->Result().Status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(counter->Result().Information, 0u);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);

    counter = XoffCounter(0, 5);
    Sim().AdvanceMs(1);
    EXPECT_TRUE(IoCancelIrp(counter->Irp()));
    ASSERT_TRUE(counter->Done());
    EXPECT_EQ(counter->Result().Status, STATUS_CANCELLED);

    // A refused request never reaches the queue.
    EXPECT_EQ(XoffCounter(0, 0)->Wait().Status, STATUS_INVALID_PARAMETER);
}

// A write already waiting behind the counter starts from the counter's own hand-over to the
// queue, before the counter could be completed by anyone: it ends with
// STATUS_SERIAL_MORE_WRITES once the queue has moved on.
TEST_F(ImmediateTest, WriteWaitingBehindXoffCounterEndsItOnceTheQueueMovedOn)
{
    Sim().HoldDpcs(true);
    IoRequestPtr counter = XoffCounter(100, 5);
    IoRequestPtr write = Io().WriteAsync(Handle, Bytes("after"));
    Sim().HoldDpcs(false);
    Sim().DrainDpcs();
    ASSERT_TRUE(counter->Done());
    EXPECT_EQ(counter->Result().Status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().Received(), (std::vector<UCHAR>{0x13, 'a', 'f', 't', 'e', 'r'}));
}

// Each pair of endings, the first forced in place with DPCs held, the second after it: the
// counter completes exactly once, with the status of the party that acted first.
TEST_F(ImmediateTest, XoffCounterRacesCompleteItExactlyOnce)
{
    struct Party
    {
        const char* name;
        NTSTATUS status;
        std::function<void(const IoRequestPtr&)> act;
    };
    std::vector<IoRequestPtr> writes;
    const Party parties[] = {
        {"count reached", STATUS_SUCCESS,
         [this](const IoRequestPtr&) {
             Peer().Deliver("c");
             ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
         }},
        {"timer expired", STATUS_SERIAL_COUNTER_TIMEOUT,
         [this](const IoRequestPtr&) { Sim().AdvanceMs(2); }},
        {"cancelled", STATUS_CANCELLED,
         [](const IoRequestPtr& counter) {
             if (counter->Irp() != nullptr) {
                 (void)IoCancelIrp(counter->Irp());
             }
         }},
        {"write started", STATUS_SERIAL_MORE_WRITES,
         [&, this](const IoRequestPtr&) { writes.push_back(Io().WriteAsync(Handle, Bytes("w"))); }},
        {"purged", STATUS_SERIAL_MORE_WRITES,
         [this](const IoRequestPtr&) { (void)PurgeAsync(SERIAL_PURGE_TXABORT); }},
    };
    for (const Party& first : parties) {
        for (const Party& second : parties) {
            if (&first == &second) {
                continue;
            }
            SCOPED_TRACE(std::string(first.name) + ", then " + second.name);
            TraceCapture trace(Sim());
            IoRequestPtr counter = XoffCounter(20, 1); // 2 ms
            Sim().DrainDpcs();
            ASSERT_NE(Port()->XoffIrp, nullptr);
            Sim().HoldDpcs(true);
            first.act(counter);
            second.act(counter);
            Sim().HoldDpcs(false);
            Sim().DrainDpcs();
            Sim().AdvanceMs(5);
            ASSERT_TRUE(counter->Done());
            // The first party to act decides; an expired timer acts only when its DPC runs,
            // after the second party.
            const bool timerFirst = &first == &parties[1];
            const NTSTATUS expected = timerFirst ? second.status : first.status;
            EXPECT_EQ(counter->Result().Status, expected) << trace.Dump();
            EXPECT_EQ(Port()->XoffIrp, nullptr);
            for (const IoRequestPtr& write : writes) {
                write->Wait();
            }
            writes.clear();
            Sim().AdvanceMs(40);
            (void)Peer().TakeReceived();
            (void)ReadNow(100);
        }
    }
}

// The counter's timer and its count fall due together: both DPCs queued before either runs,
// in either order.
TEST_F(ImmediateTest, XoffCounterTimerAndCountInTheSameTick)
{
    for (const bool timerFirst : {true, false}) {
        SCOPED_TRACE(timerFirst ? "timer DPC first" : "completion DPC first");
        IoRequestPtr counter = XoffCounter(10, 1); // 1 ms
        Sim().DrainDpcs();
        Sim().HoldDpcs(true);
        Peer().Deliver("c");
        ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
        Sim().AdvanceMs(1);
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->XoffTimeoutDpc));
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->XoffCompleteDpc));
        ASSERT_TRUE(Sim().RunDpc(timerFirst ? &Port()->XoffTimeoutDpc : &Port()->XoffCompleteDpc));
        EXPECT_FALSE(counter->Done());
        Sim().HoldDpcs(false);
        Sim().DrainDpcs();
        ASSERT_TRUE(counter->Done());
        EXPECT_EQ(counter->Result().Status, STATUS_SUCCESS);
        (void)ReadNow(10);
        Sim().AdvanceMs(40);
    }
}

} // namespace
} // namespace qvx
