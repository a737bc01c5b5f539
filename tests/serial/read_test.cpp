// ctest-labels: read
// Reads: the timeout combinations, the direct fill of a waiting read, the races between its
// four holders, and the input-ring resize.

#include "serial/input_ring.h"
#include "support/port_fixture.h"

#include "port/kcompat.h"
#include "serial/transfer.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

class ReadTest : public OpenPortTest
{
  protected:
    void SetUp() override
    {
        OpenPortTest::SetUp();
        UnderPortLock([&] { Port()->DataMask = 0xFF; });
    }

    // Nothing of a read may outlive the test.
    void TearDown() override
    {
        Sim().HoldDpcs(false);
        if (Port() != nullptr && Handle != INVALID_FILE_HANDLE) {
            EXPECT_EQ(Port()->ReadRefs, 0u);
            EXPECT_EQ(Port()->ReadQueue.CurrentIrp, nullptr);
            EXPECT_EQ(Port()->IsrTargetBase, Port()->InputBuffer);
            EXPECT_FALSE(Port()->ReadTotalTimer.Header.Inserted);
            EXPECT_FALSE(Port()->ReadIntervalTimer.Header.Inserted);
            EXPECT_EQ(Io().OutstandingIrps(Device()), 0u);
        }
        OpenPortTest::TearDown();
    }

    IoRequestPtr StartRead(ULONG length, ULONG interval, ULONG multiplier, ULONG constant)
    {
        SetTimeouts(Handle, interval, multiplier, constant);
        startedMs_ = Sim().NowMs();
        return Io().ReadAsync(Handle, length);
    }

    // Steps the clock one tick at a time until the read completes; the milliseconds since it
    // was started, or -1 when it is still pending `limitMs` after its start.
    LONGLONG MsUntilDone(const IoRequestPtr& read, LONGLONG limitMs)
    {
        while (!read->Done()) {
            if (Sim().NowMs() - startedMs_ >= limitMs) {
                return -1;
            }
            Sim().AdvanceMs(1);
        }
        return Sim().NowMs() - startedMs_;
    }

    // Advances to `ms` after the read's start.
    void AdvanceToMs(LONGLONG ms) { Sim().AdvanceMs(startedMs_ + ms - Sim().NowMs()); }

    static void ExpectResult(const IoRequestPtr& read, NTSTATUS status, const std::string& data)
    {
        ASSERT_TRUE(read->Done());
        const IoResult result = read->Result();
        EXPECT_EQ(result.Status, status);
        EXPECT_EQ(result.Information, data.size());
        EXPECT_EQ(result.Data, Bytes(data));
    }

    static std::string Pattern(size_t count, size_t from = 0)
    {
        std::string text;
        for (size_t i = from; i < from + count; ++i) {
            text.push_back(static_cast<char>('A' + i % 53));
        }
        return text;
    }

    LONGLONG startedMs_ = 0;
};

// MAXULONG interval with both totals 0 returns at once with what the ring holds, up to the
// read's length, also nothing.
TEST_F(ReadTest, ReturnAtOnceGivesWhatTheRingHolds)
{
    IoRequestPtr read = StartRead(10, MAXULONG, 0, 0);
    ExpectResult(read, STATUS_SUCCESS, "");
    Peer().Deliver("abc");
    ExpectResult(StartRead(10, MAXULONG, 0, 0), STATUS_SUCCESS, "abc");
    Peer().Deliver("0123456789xyz");
    ExpectResult(StartRead(10, MAXULONG, 0, 0), STATUS_SUCCESS, "0123456789");
    EXPECT_EQ(Port()->InputCount, 3u);
    EXPECT_EQ(ReadNow(10), Bytes("xyz"));
}

// A zero-length read completes at once, even behind a read that waits.
TEST_F(ReadTest, ZeroLengthReadCompletesAtOnceWithoutQueueing)
{
    IoRequestPtr waiting = StartRead(2, 0, 0, 0);
    IoRequestPtr empty = Io().ReadAsync(Handle, 0);
    ExpectResult(empty, STATUS_SUCCESS, "");
    EXPECT_FALSE(waiting->Done());
    Peer().Deliver("ok");
    ExpectResult(waiting, STATUS_SUCCESS, "ok");
}

// Without a total timer (all zero, or a MAXULONG constant) a read waits until its buffer is
// full: 4 bytes from the ring, the rest stored from position 4 on, and bytes after the 10th go
// to the ring again. Three MAXULONG read values never reach a read: the control path refuses
// them.
TEST_F(ReadTest, WithoutTotalTimerReadWaitsUntilFull)
{
    const SERIAL_TIMEOUTS cases[] = {{0, 0, 0, 0, 0}, {MAXULONG, 0, MAXULONG, 0, 0}};
    for (const SERIAL_TIMEOUTS& t : cases) {
        SCOPED_TRACE(testing::Message() << "interval " << t.ReadIntervalTimeout << " multiplier "
                                        << t.ReadTotalTimeoutMultiplier);
        TraceCapture trace(Sim());
        Peer().Deliver("abcd");
        IoRequestPtr read = StartRead(10, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                      t.ReadTotalTimeoutConstant);
        EXPECT_EQ(Port()->IsrNextSlot, Port()->IsrTargetBase + 4);
        EXPECT_FALSE(Port()->ReadTotalTimer.Header.Inserted);
        Sim().AdvanceMs(5000);
        Peer().Deliver("efghi");
        Sim().AdvanceMs(1);
        EXPECT_FALSE(read->Done());
        Peer().Deliver("jKL");
        ExpectResult(read, STATUS_SUCCESS, "abcdefghij");
        EXPECT_TRUE(trace.Contains("QuarvexSerialReadComplete++"));
        EXPECT_EQ(ReadNow(10), Bytes("KL"));
    }
}

// MAXULONG interval and multiplier with a constant: bytes in the ring come back at once; on
// an empty ring the first byte to arrive ends the read, shortened to 1; none ends it with
// STATUS_TIMEOUT after exactly the constant.
TEST_F(ReadTest, OneCharacterModeReturnsFirstByteOrTimesOut)
{
    Peer().Deliver("0123456789ab");
    ExpectResult(StartRead(10, MAXULONG, MAXULONG, 1000), STATUS_SUCCESS, "0123456789");
    ExpectResult(StartRead(10, MAXULONG, MAXULONG, 1000), STATUS_SUCCESS, "ab");

    IoRequestPtr read = StartRead(10, MAXULONG, MAXULONG, 1000);
    AdvanceToMs(200);
    EXPECT_FALSE(read->Done());
    Peer().Deliver("xyz");
    ExpectResult(read, STATUS_SUCCESS, "x");
    EXPECT_EQ(Port()->InputCount, 2u);
    ExpectResult(StartRead(10, MAXULONG, MAXULONG, 1000), STATUS_SUCCESS, "yz");

    read = StartRead(10, MAXULONG, MAXULONG, 1000);
    EXPECT_EQ(MsUntilDone(read, 2000), 1000);
    ExpectResult(read, STATUS_TIMEOUT, "");
}

// MAXULONG interval with a multiplier: due (50 × 10 + 100) ms. Bytes in the ring come back at
// once; otherwise the read ends with the first bytes that arrive, or times out empty.
TEST_F(ReadTest, ReturnWhenAnyWithMultiplierEndsWithFirstBytes)
{
    Peer().Deliver("held");
    ExpectResult(StartRead(50, MAXULONG, 10, 100), STATUS_SUCCESS, "held");

    IoRequestPtr read = StartRead(50, MAXULONG, 10, 100);
    EXPECT_EQ(MsUntilDone(read, 2000), 600);
    ExpectResult(read, STATUS_TIMEOUT, "");

    read = StartRead(50, MAXULONG, 10, 100);
    AdvanceToMs(250);
    EXPECT_FALSE(read->Done());
    Peer().Deliver("late");
    ASSERT_TRUE(read->Done());
    ExpectResult(read, STATUS_SUCCESS, "late");
    EXPECT_EQ(Port()->InputCount, 0u);
}

// A read that returns with its first bytes keeps the receive path's reference while its
// completion DPC is queued: a total timeout that runs first cannot complete it under that DPC.
TEST_F(ReadTest, ReturnWhenAnyCompletionOutlivesAnEarlierTimeout)
{
    IoRequestPtr read = StartRead(50, MAXULONG, 10, 100);
    Sim().HoldDpcs(true);
    Peer().Deliver("ab");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadCompleteDpc));
    AdvanceToMs(600);
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadTimeoutDpc));
    EXPECT_FALSE(read->Done());
    EXPECT_NE(Port()->ReadRefs & READ_REF_ISR, 0u);
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    Sim().HoldDpcs(false);
    ASSERT_TRUE(read->Done());
    ExpectResult(read, STATUS_SUCCESS, "ab");
    ExpectResult(StartRead(5, MAXULONG, 0, 0), STATUS_SUCCESS, "");
}

// Total timeouts: multiplier × the whole read length (bytes from the ring included) plus the
// constant, in 64-bit arithmetic; the read ends with the bytes so far.
TEST_F(ReadTest, TotalTimeoutEndsTheReadWithTheBytesSoFar)
{
    Peer().Deliver("abcde");
    IoRequestPtr read = StartRead(20, 0, 10, 100);
    AdvanceToMs(50);
    Peer().Deliver("fgh");
    EXPECT_EQ(MsUntilDone(read, 1000), 300);
    ExpectResult(read, STATUS_TIMEOUT, "abcdefgh");
    Peer().Deliver("ij");
    EXPECT_EQ(Port()->InputCount, 2u);
    EXPECT_EQ(ReadNow(2), Bytes("ij"));

    read = StartRead(5, 0, 0, 250);
    EXPECT_EQ(MsUntilDone(read, 1000), 250);
    ExpectResult(read, STATUS_TIMEOUT, "");
    read = StartRead(7, 0, 3, 0);
    EXPECT_EQ(MsUntilDone(read, 1000), 21);
    ExpectResult(read, STATUS_TIMEOUT, "");

    // 0x20000 × 0x8000 and 0xFFFFFFF0 + 100 both wrap in 32 bits (to 100 ms and 84 ms).
    for (ULONG multiplier : {0x20000u, 1u}) {
        const ULONG constant = multiplier == 1 ? 0xFFFFFFF0u : 100u;
        read = StartRead(multiplier == 1 ? 100 : 0x8000, 0, multiplier, constant);
        EXPECT_EQ(MsUntilDone(read, 1000), -1);
        Io().CancelIo(Handle);
        ExpectResult(read, STATUS_CANCELLED, "");
    }
}

// The interval clock starts with the first character: with no byte it never fires and only a
// total timeout ends the read. A 50 ms interval polls every tick and fires at the first tick
// at least 50 ms after the last tick at which new characters were seen.
TEST_F(ReadTest, IntervalTimeoutCountsFromTheLastTickThatSawCharacters)
{
    IoRequestPtr read = StartRead(10, 50, 0, 0);
    Sim().AdvanceMs(2000);
    EXPECT_FALSE(read->Done());
    Peer().Deliver("a"); // seen at the next tick, t + 1
    const LONGLONG first = Sim().NowMs() - startedMs_;
    AdvanceToMs(first + 30);
    Peer().Deliver("b"); // seen at t + 31: fires at t + 81
    EXPECT_EQ(MsUntilDone(read, first + 200), first + 81);
    ExpectResult(read, STATUS_TIMEOUT, "ab");

    read = StartRead(10, 50, 0, 300);
    EXPECT_EQ(MsUntilDone(read, 1000), 300);
    ExpectResult(read, STATUS_TIMEOUT, "");

    // Bytes copied from the ring start the clock at the start of the read.
    Peer().Deliver("xyz");
    read = StartRead(10, 50, 0, 0);
    EXPECT_EQ(MsUntilDone(read, 1000), 50);
    ExpectResult(read, STATUS_TIMEOUT, "xyz");
}

// Intervals of 20 s and more poll once per second, shorter ones every tick: a byte at 100 ms
// is noticed at 1000 ms or at 101 ms.
TEST_F(ReadTest, LongIntervalsPollOncePerSecond)
{
    const struct
    {
        ULONG Interval;
        LONGLONG FiresAt;
    } cases[] = {{19999, 101 + 19999}, {20000, 1000 + 20000}, {30000, 1000 + 30000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "interval " << c.Interval);
        IoRequestPtr read = StartRead(10, c.Interval, 0, 0);
        AdvanceToMs(100);
        Peer().Deliver("q");
        AdvanceToMs(c.FiresAt - 1);
        EXPECT_FALSE(read->Done());
        Sim().AdvanceMs(1);
        ExpectResult(read, STATUS_TIMEOUT, "q");
    }
}

// The total timer fires while the interval DPC is queued: whichever DPC runs first, the read
// completes once, with STATUS_TIMEOUT and its bytes.
TEST_F(ReadTest, TotalTimeoutRacingIntervalDpcCompletesOnce)
{
    for (bool totalFirst : {true, false}) {
        SCOPED_TRACE(totalFirst ? "total DPC first" : "interval DPC first");
        IoRequestPtr read = StartRead(10, 1000, 0, 100);
        AdvanceToMs(10);
        Peer().Deliver("ab");
        AdvanceToMs(99);
        Sim().HoldDpcs(true);
        Sim().AdvanceMs(1);
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadTimeoutDpc));
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadIntervalDpc));
        EXPECT_TRUE(Sim().RunDpc(totalFirst ? &Port()->ReadTimeoutDpc : &Port()->ReadIntervalDpc));
        EXPECT_FALSE(read->Done());
        EXPECT_TRUE(Sim().RunDpc(totalFirst ? &Port()->ReadIntervalDpc : &Port()->ReadTimeoutDpc));
        ExpectResult(read, STATUS_TIMEOUT, "ab");
        Sim().HoldDpcs(false);
    }
}

// The buffer fills while the interval DPC is queued: ReadComplete leaves the request to that
// DPC, which completes it with STATUS_SUCCESS.
TEST_F(ReadTest, BufferFilledWhileIntervalDpcQueuedCompletesWithSuccess)
{
    IoRequestPtr read = StartRead(4, 1000, 0, 0);
    Peer().Deliver("ab");
    Sim().HoldDpcs(true);
    Sim().AdvanceMs(1);
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadIntervalDpc));
    Peer().Deliver("cd");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    EXPECT_FALSE(read->Done());
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadIntervalDpc));
    ExpectResult(read, STATUS_SUCCESS, "abcd");
}

// A cancel stops both timers and takes the buffer from the receive path: STATUS_CANCELLED with
// the bytes already placed counted; later bytes go to the ring.
TEST_F(ReadTest, CancelStopsTimersAndKeepsTheCountOfBytesPlaced)
{
    Peer().Deliver("abc");
    IoRequestPtr read = StartRead(10, 1000, 0, 5000);
    Peer().Deliver("de");
    EXPECT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Result().Information, 5u);
    Peer().Deliver("f");
    EXPECT_EQ(ReadNow(10), Bytes("f"));
}

// A cancel that comes while another holder's DPC is queued leaves the completion to that DPC,
// and the request completes exactly once with that holder's status.
TEST_F(ReadTest, CancelWhileAnotherHolderDpcIsQueuedCompletesOnce)
{
    // Buffer full, ReadComplete queued: the read succeeds with all its bytes.
    TraceCapture trace(Sim());
    IoRequestPtr read = StartRead(4, 1000, 0, 5000);
    Sim().HoldDpcs(true);
    Peer().Deliver("full");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadCompleteDpc));
    Io().CancelIo(Handle);
    EXPECT_TRUE(trace.Contains("QuarvexSerialCancelCurrentRead--"));
    EXPECT_FALSE(read->Done());
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    ExpectResult(read, STATUS_SUCCESS, "full");
    Sim().HoldDpcs(false);

    // Total timer fired, its DPC queued: the read times out with its bytes.
    read = StartRead(10, 0, 0, 100);
    Peer().Deliver("ab");
    AdvanceToMs(99);
    Sim().HoldDpcs(true);
    Sim().AdvanceMs(1);
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadTimeoutDpc));
    trace.Clear();
    Io().CancelIo(Handle);
    EXPECT_TRUE(trace.Contains("QuarvexSerialCancelCurrentRead--"));
    EXPECT_FALSE(read->Done());
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadTimeoutDpc));
    ExpectResult(read, STATUS_TIMEOUT, "ab");
    Sim().HoldDpcs(false);

    // Interval DPC queued: it completes the read as cancelled, with the count of bytes placed.
    read = StartRead(10, 1000, 0, 0);
    Peer().Deliver("ab");
    Sim().HoldDpcs(true);
    Sim().AdvanceMs(1);
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadIntervalDpc));
    Io().CancelIo(Handle);
    EXPECT_FALSE(read->Done());
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadIntervalDpc));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Result().Information, 2u);
    Sim().HoldDpcs(false);
}

// Regression: a read cancelled while its interval DPC and its total-timeout DPC were both
// queued completed STATUS_TIMEOUT with Information 0: the interval DPC, not the last holder,
// had zeroed it. The last holder now reports the bytes read so far, in either order.
TEST_F(ReadTest, CancelWithIntervalAndTotalDpcsQueuedKeepsTheBytes)
{
    for (const bool intervalFirst : {true, false}) {
        SCOPED_TRACE(intervalFirst ? "interval DPC first" : "total DPC first");
        IoRequestPtr read = StartRead(10, 1000, 0, 100);
        Peer().Deliver("ab");
        AdvanceToMs(99);
        Sim().HoldDpcs(true);
        Sim().AdvanceMs(1);
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadIntervalDpc));
        ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadTimeoutDpc));
        Io().CancelIo(Handle);
        PKDPC first = intervalFirst ? &Port()->ReadIntervalDpc : &Port()->ReadTimeoutDpc;
        PKDPC last = intervalFirst ? &Port()->ReadTimeoutDpc : &Port()->ReadIntervalDpc;
        ASSERT_TRUE(Sim().RunDpc(first));
        EXPECT_FALSE(read->Done());
        ASSERT_TRUE(Sim().RunDpc(last));
        Sim().HoldDpcs(false);
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Result().Information, 2u);
        if (read->Result().Status == STATUS_TIMEOUT) {
            EXPECT_EQ(read->Result().Data, Bytes("ab"));
        } else {
            EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
        }
    }
}

// Regression: a read cancelled between leaving the queue and its start (started from the
// queue's DPC) took the bytes it found in the ring with it. It completes STATUS_CANCELLED with
// Information 0 and leaves them for the next read.
TEST_F(ReadTest, ReadFoundCancelledWhenItStartsLeavesRingBytes)
{
    IoRequestPtr first = StartRead(2, 0, 0, 0);
    IoRequestPtr second = Io().ReadAsync(Handle, 5);
    IoRequestPtr third = Io().ReadAsync(Handle, 2);
    Sim().HoldDpcs(true);
    Peer().Deliver("abxyz");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    ExpectResult(first, STATUS_SUCCESS, "ab");
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadQueue.StartDpc));
    EXPECT_FALSE(IoCancelIrp(second->Irp())); // no cancel routine: only the flag is set
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadQueue.StartDpc));
    ExpectResult(second, STATUS_CANCELLED, "");
    Sim().HoldDpcs(false);
    ExpectResult(third, STATUS_SUCCESS, "xy");
    EXPECT_EQ(ReadNow(10), Bytes("z"));
}

// The total-timeout due time is computed in 64 bits and saturates at the longest relative
// due time instead of wrapping.
TEST(TimeoutDueTest, SaturatesInsteadOfWrapping)
{
    EXPECT_EQ(QuarvexTimeoutDue(0, 0, 0), 0);
    EXPECT_EQ(QuarvexTimeoutDue(10, 3, 5), -350000);
    EXPECT_EQ(QuarvexTimeoutDue(0, 0, MAXULONG), -static_cast<LONGLONG>(MAXULONG) * 10000);
    constexpr LONGLONG LONGEST = 0x7FFFFFFFFFFFFFFFLL;
    constexpr ULONGLONG LAST_EXACT = static_cast<ULONGLONG>(LONGEST) / 10000;
    EXPECT_EQ(QuarvexTimeoutDue(1, static_cast<ULONG>(LAST_EXACT >> 32), 0), // no saturation
              -static_cast<LONGLONG>((LAST_EXACT >> 32) * 10000));
    EXPECT_EQ(QuarvexTimeoutDue(429000, 0xFFFFFFFE, 0), -LONGEST);
    EXPECT_EQ(QuarvexTimeoutDue(MAXULONG, MAXULONG, MAXULONG), -LONGEST);
    for (ULONG count : {1u, 1000u, 215000u, 1000000u, MAXULONG}) {
        EXPECT_LT(QuarvexTimeoutDue(count, 0xFFFFFFFE, 7), 0) << count;
    }
}

// Regression: a read whose total timeout (length x multiplier + constant) overflowed the 64-bit
// due time got an absolute due time in the past and timed out at once. It now waits.
TEST_F(ReadTest, HugeTotalTimeoutDoesNotWrap)
{
    IoRequestPtr read = StartRead(429000, 0, 0xFFFFFFFE, 0);
    Sim().AdvanceMs(1000);
    EXPECT_FALSE(read->Done());
    Peer().Deliver("abc");
    Sim().AdvanceMs(1000);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Result().Information, 3u);
}

// Copies from the ring across its end, in two pieces or ending exactly at the last byte.
TEST_F(ReadTest, ReadsCopyAcrossTheEndOfTheRing)
{
    Peer().Deliver(Pattern(4000));
    EXPECT_EQ(ReadNow(4000), Bytes(Pattern(4000)));
    Peer().Deliver(Pattern(96, 1)); // exactly up to the end
    EXPECT_EQ(ReadNow(96), Bytes(Pattern(96, 1)));
    EXPECT_EQ(Port()->InputFirstChar, Port()->InputBuffer);
    Peer().Deliver(Pattern(4090, 2));
    EXPECT_EQ(ReadNow(4000), Bytes(Pattern(4000, 2)));
    Peer().Deliver(Pattern(100, 3)); // wraps: 6 bytes at the end, 94 at the start
    EXPECT_EQ(ReadNow(200), Bytes(Pattern(90, 4002) + Pattern(100, 3)));
}

// A larger ring keeps the held bytes in order (also when they wrapped) and resets the
// flow-control limits and the 80%-full mark from its size; the old ring is freed.
TEST_F(ReadTest, ResizeToLargerRingKeepsBytesAndResetsLimits)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200);
    Peer().Deliver(Pattern(4000));
    EXPECT_EQ(ReadNow(4000).size(), 4000u);
    Peer().Deliver(Pattern(300, 7)); // 96 bytes at the end of the ring, 204 at its start
    const size_t ownBlocks = Sim().OutstandingBlocks(QUARVEX_POOL_TAG);

    const struct
    {
        ULONG Size;
        LONG XoffLimit, XonLimit;
        ULONG FullMark;
    } steps[] = {{8192, 1024, 4096, 6656}, {16384, 2048, 8192, 13312}};
    for (const auto& step : steps) {
        SERIAL_QUEUE_SIZE size = {step.Size, 0};
        ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size)).Status,
                  STATUS_SUCCESS);
        EXPECT_EQ(Port()->InputBufferSize, step.Size);
        EXPECT_EQ(Port()->InputCount, 300u);
        EXPECT_EQ(Port()->HandFlow.XoffLimit, step.XoffLimit);
        EXPECT_EQ(Port()->HandFlow.XonLimit, step.XonLimit);
        EXPECT_EQ(Port()->InputFullMark, step.FullMark);
        EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 1u);
    }
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_POOL_TAG), ownBlocks - 1);
    Peer().Deliver(Pattern(5000, 9));
    EXPECT_EQ(ReadNow(6000), Bytes(Pattern(300, 7) + Pattern(5000, 9)));
}

// A resize that would not make the ring larger (it grew while the request waited) frees its
// buffer and changes nothing.
TEST_F(ReadTest, ResizeThatDoesNotGrowChangesNothing)
{
    IoRequestPtr read = StartRead(1, 0, 0, 0);
    std::vector<IoRequestPtr> resizes;
    for (ULONG bytes : {8192u, 6000u, 8192u}) {
        SERIAL_QUEUE_SIZE size = {bytes, 0};
        const auto* raw = reinterpret_cast<const UCHAR*>(&size);
        resizes.push_back(Io().DeviceIoControlAsync(
            Handle, IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<UCHAR>(raw, raw + sizeof(size)), 0));
    }
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 3u);
    Sim().HoldDpcs(true);
    Peer().Deliver("r");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    ExpectResult(read, STATUS_SUCCESS, "r");
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadQueue.StartDpc)); // the first resize
    EXPECT_EQ(Port()->InputBufferSize, 8192u);

    SetHandFlow(Handle, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200);
    Peer().Deliver("kept");
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    const PUCHAR ring = Port()->InputBuffer;
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadQueue.StartDpc)); // the other two
    Sim().HoldDpcs(false);
    for (const IoRequestPtr& resize : resizes) {
        ExpectResult(resize, STATUS_SUCCESS, "");
    }
    EXPECT_EQ(Port()->InputBuffer, ring);
    EXPECT_EQ(Port()->InputBufferSize, 8192u);
    EXPECT_EQ(Port()->HandFlow.XonLimit, 100);
    EXPECT_EQ(Port()->HandFlow.XoffLimit, 200);
    EXPECT_EQ(Port()->InputFullMark, 6656u);
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 1u);
    EXPECT_EQ(ReadNow(10), Bytes("kept"));
}

} // namespace
} // namespace qvx

namespace qvx {
namespace {

using ReadRaceTest = OpenPortTest;

// A read that start-next made current but whose start routine still waits for the start DPC
// has no cancel routine yet; cleanup flags it, and the start routine refuses it. Otherwise it
// would arm itself after the handle's cleanup and keep the port open for good.
TEST_F(ReadRaceTest, CleanupCancelsAReadWaitingForItsStartDpc)
{
    SetTimeouts(Handle, 0, 0, 0);
    IoRequestPtr first = Io().ReadAsync(Handle, 5);
    IoRequestPtr second = Io().ReadAsync(Handle, 5);
    IoRequestPtr third = Io().ReadAsync(Handle, 5);
    Sim().HoldDpcs(true);
    Peer().Deliver(std::string("12345"));
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->ReadCompleteDpc));
    ASSERT_TRUE(first->Done());
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->ReadQueue.StartDpc));

    Io().Close(Handle);
    Handle = INVALID_FILE_HANDLE;
    EXPECT_TRUE(third->Done());
    Sim().HoldDpcs(false);
    Io().RunPassiveWork();
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(third->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Port()->ExclusiveOpenCount, 0);
}

// A completion DPC queued again after an earlier run ended the read does nothing.
TEST_F(ReadRaceTest, StaleReadCompletionDoesNothing)
{
    DispatchLevelScope dispatch;
    QuarvexSerialReadComplete(&Port()->ReadCompleteDpc, Port(), nullptr, nullptr);
    EXPECT_EQ(Port()->ReadQueue.CurrentIrp, nullptr);
    EXPECT_EQ(Port()->ReadRefs, 0u);
}

} // namespace
} // namespace qvx
