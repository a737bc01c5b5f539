// The request queue: starting, deferred starts, cancellation races, cleanup, stalls.

#include "support/queue_helpers.h"

#include <vector>

namespace qvx {
namespace {

using QueueTest = QueuePortTest;
using Ids = std::vector<int>;

// A queue starts stalled: nothing runs before the device's first restart.
TEST_F(QueueTest, FreshQueueHoldsRequestUntilFirstRestart)
{
    const int a = Q().Send(Target::Read);
    EXPECT_EQ(Q().Get(a).DispatchStatus, STATUS_PENDING);
    EXPECT_TRUE(Q().Started(Target::Read).empty());

    QuarvexQueueRestart(Q().Queue(Target::Read));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a}));
    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().StatusOf(a), STATUS_SUCCESS);
}

// Only the last waiting request starts inline; earlier ones go through the start DPC so that
// finish/start-next cycles do not nest.
TEST_F(QueueTest, ThreeRequestsStartInlineThenFromDpcThenInline)
{
    RequestQueue* queue = Q().Queue(Target::Read);
    QuarvexQueueRestart(queue);
    Sim().HoldDpcs(true);

    const int a = Q().Send(Target::Read);
    EXPECT_EQ(Q().Started(Target::Read), Ids({a})) << "idle running queue starts at once";
    const int b = Q().Send(Target::Read);
    const int c = Q().Send(Target::Read);
    EXPECT_EQ(Q().Get(b).DispatchStatus, STATUS_PENDING);
    EXPECT_EQ(Q().Get(c).DispatchStatus, STATUS_PENDING);

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a})) << "b must wait for the start DPC";
    EXPECT_TRUE(Sim().IsDpcQueued(&queue->StartDpc));
    EXPECT_EQ(queue->CurrentIrp, Q().IrpOf(b));
    ASSERT_TRUE(Sim().RunDpc(&queue->StartDpc));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a, b}));

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a, b, c})) << "the last one starts inline";
    EXPECT_EQ(Sim().QueuedDpcCount(), 0u);

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_NE(KeReadStateEvent(&queue->IdleEvent), 0);
    EXPECT_EQ(queue->CurrentIrp, nullptr);
    Sim().HoldDpcs(false);
    EXPECT_EQ(Q().CompletionOrder(), Ids({a, b, c}));
}

// A start routine that ends its request at once keeps the queue moving through every waiter.
TEST_F(QueueTest, StartRoutineFinishingInlineDrainsTheQueue)
{
    QuarvexQueueRestart(Q().Queue(Target::Write));
    const int a = Q().Send(Target::Write);
    const int b = Q().Send(Target::Write);
    const int c = Q().Send(Target::Write);
    Q().OnStart = [this](Target target, int) { EXPECT_TRUE(Q().Finish(target)); };
    ASSERT_TRUE(Q().Finish(Target::Write));
    EXPECT_EQ(Q().Started(Target::Write), Ids({a, b, c}));
    for (int id : {a, b, c}) {
        EXPECT_EQ(Q().StatusOf(id), STATUS_SUCCESS) << id;
    }
    EXPECT_EQ(Q().Queue(Target::Write)->CurrentIrp, nullptr);
}

// The platform's cancel of a waiting request unlinks and completes it; the queue goes on.
TEST_F(QueueTest, CancelOfWaitingRequestCompletesItAndQueueSkipsIt)
{
    QuarvexQueueRestart(Q().Queue(Target::Read));
    const int a = Q().Send(Target::Read);
    const int b = Q().Send(Target::Read);
    const int c = Q().Send(Target::Read);

    EXPECT_TRUE(Q().Cancel(b));
    EXPECT_EQ(Q().StatusOf(b), STATUS_CANCELLED);
    EXPECT_EQ(Q().Get(b).Information, 0u);

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a, c}));
    ASSERT_TRUE(Q().Finish(Target::Read));
}

// A waiting request whose cancel routine the platform has already taken belongs to that routine:
// start-next and cleanup pass it by, and it completes exactly once when the routine runs.
TEST_F(QueueTest, RequestBeingCancelledIsSkippedByStartNextAndCleanup)
{
    QuarvexQueueRestart(Q().Queue(Target::Read));
    const int a = Q().Send(Target::Read);
    const int b = Q().Send(Target::Read);
    const int c = Q().Send(Target::Read);
    ASSERT_TRUE(Q().TakeCancelRoutine(b));

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().Started(Target::Read), Ids({a, c}));
    QuarvexQueueCleanup(Q().Queue(Target::Read), nullptr);
    EXPECT_FALSE(Q().Completed(b));

    Q().RunTakenCancelRoutine(b);
    EXPECT_EQ(Q().Get(b).Completions, 1);
    EXPECT_EQ(Q().StatusOf(b), STATUS_CANCELLED);
    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_TRUE(IsListEmpty(&Q().Queue(Target::Read)->WaitingList));
}

// When the only waiter is being cancelled, start-next leaves the queue idle.
TEST_F(QueueTest, StartNextWithOnlyCancellingWaiterGoesIdle)
{
    RequestQueue* queue = Q().Queue(Target::Read);
    QuarvexQueueRestart(queue);
    Q().Send(Target::Read);
    const int b = Q().Send(Target::Read);
    ASSERT_TRUE(Q().TakeCancelRoutine(b));
    KeClearEvent(&queue->IdleEvent);

    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(queue->CurrentIrp, nullptr);
    EXPECT_NE(KeReadStateEvent(&queue->IdleEvent), 0);
    Q().RunTakenCancelRoutine(b);
    EXPECT_EQ(Q().StatusOf(b), STATUS_CANCELLED);

    // Idle and running again: the next request starts at once.
    const int c = Q().Send(Target::Read);
    EXPECT_EQ(Q().Current(Target::Read), c);
    ASSERT_TRUE(Q().Finish(Target::Read));
}

// A request already cancelled when it reaches a busy queue never waits.
TEST_F(QueueTest, CancelledRequestReachingBusyQueueIsRefused)
{
    QuarvexQueueRestart(Q().Queue(Target::Write));
    Q().Send(Target::Write);
    const int b = Q().Send(Target::Write, nullptr, true);
    EXPECT_EQ(Q().Get(b).DispatchStatus, STATUS_CANCELLED);
    EXPECT_EQ(Q().StatusOf(b), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&Q().Queue(Target::Write)->WaitingList));
    ASSERT_TRUE(Q().Finish(Target::Write));
}

TEST_F(QueueTest, CleanupCancelsWaitingRequestsOfTheFileOnly)
{
    QuarvexQueueRestart(Q().Queue(Target::Read));
    const int a = Q().Send(Target::Read, Q().FileA());
    const int b = Q().Send(Target::Read, Q().FileA());
    const int c = Q().Send(Target::Read, Q().FileB());
    const int d = Q().Send(Target::Read, Q().FileA());

    QuarvexQueueCleanup(Q().Queue(Target::Read), Q().FileA());
    EXPECT_EQ(Q().CompletionOrder(), Ids({b, d}));
    EXPECT_EQ(Q().StatusOf(d), STATUS_CANCELLED);
    QuarvexQueueCleanup(Q().Queue(Target::Read), nullptr);
    EXPECT_EQ(Q().CompletionOrder(), Ids({b, d, c}));

    EXPECT_EQ(Q().Current(Target::Read), a) << "the current request survives both";
    ASSERT_TRUE(Q().Finish(Target::Read));
    EXPECT_EQ(Q().StatusOf(a), STATUS_SUCCESS);
}

// Cancel-current empties the queue, then cancels the current request through the routine its
// owner installed, which ends with start-next.
TEST_F(QueueTest, CancelCurrentCancelsWaitersThenCurrentThroughOwner)
{
    RequestQueue* queue = Q().Queue(Target::Write);
    QuarvexQueueRestart(queue);
    const int a = Q().Send(Target::Write);
    const int b = Q().Send(Target::Write);

    QuarvexQueueCancelCurrent(queue);
    EXPECT_EQ(Q().CompletionOrder(), Ids({b, a}));
    EXPECT_EQ(Q().StatusOf(a), STATUS_CANCELLED);
    EXPECT_EQ(queue->CurrentIrp, nullptr);
    EXPECT_EQ(Q().Current(Target::Write), -1);
}

// Without a cancel routine the owner is already finishing its request: only waiters go.
TEST_F(QueueTest, CancelCurrentLeavesCurrentWithoutCancelRoutine)
{
    RequestQueue* queue = Q().Queue(Target::Write);
    QuarvexQueueRestart(queue);
    Q().SetArmOwnerCancel(false);
    const int a = Q().Send(Target::Write);
    const int b = Q().Send(Target::Write);

    QuarvexQueueCancelCurrent(queue);
    EXPECT_EQ(Q().CompletionOrder(), Ids({b}));
    EXPECT_EQ(Q().Current(Target::Write), a);
    ASSERT_TRUE(Q().Finish(Target::Write));
    EXPECT_EQ(Q().StatusOf(a), STATUS_SUCCESS);
}

TEST_F(QueueTest, StallAndWaitOnIdleQueueReturnsAtOnce)
{
    RequestQueue* queue = Q().Queue(Target::Purge);
    QuarvexQueueRestart(queue);
    const LONGLONG before = Sim().Now();
    QuarvexQueueStallAndWait(queue);
    EXPECT_EQ(Sim().Now(), before);

    const int a = Q().Send(Target::Purge);
    EXPECT_TRUE(Q().Started(Target::Purge).empty()) << "stalled: the request waits";
    QuarvexQueueRestart(queue);
    EXPECT_EQ(Q().Current(Target::Purge), a);
    ASSERT_TRUE(Q().Finish(Target::Purge));
}

// The wait drives the machine; the owner's start-next arrives from a timer DPC 5 ms later,
// finds the queue stalled, starts nothing and releases the waiter.
TEST_F(QueueTest, StallAndWaitOnBusyQueueReturnsAfterOwnersStartNext)
{
    RequestQueue* queue = Q().Queue(Target::Read);
    QuarvexQueueRestart(queue);
    const int a = Q().Send(Target::Read);
    const int b = Q().Send(Target::Read);
    TimerAction owner([this] { EXPECT_TRUE(Q().Finish(Target::Read)); });
    owner.ArmMs(5);
    const LONGLONG start = Sim().NowMs();

    QuarvexQueueStallAndWait(queue);
    EXPECT_TRUE(owner.Ran());
    EXPECT_GE(Sim().NowMs(), start + 5);
    EXPECT_EQ(Q().StatusOf(a), STATUS_SUCCESS);
    EXPECT_EQ(Q().Started(Target::Read), Ids({a})) << "a stalled queue starts nothing";

    QuarvexQueueRestart(queue);
    EXPECT_EQ(Q().Current(Target::Read), b);
    ASSERT_TRUE(Q().Finish(Target::Read));
}

TEST_F(QueueTest, StallsNest)
{
    RequestQueue* queue = Q().Queue(Target::Mask);
    QuarvexQueueRestart(queue);
    QuarvexQueueStallAndWait(queue);
    QuarvexQueueStallAndWait(queue);
    const int a = Q().Send(Target::Mask);

    QuarvexQueueRestart(queue);
    EXPECT_TRUE(Q().Started(Target::Mask).empty()) << "one stall is still in force";
    QuarvexQueueRestart(queue);
    EXPECT_EQ(Q().Current(Target::Mask), a);
    ASSERT_TRUE(Q().Finish(Target::Mask));
}

} // namespace
} // namespace qvx
