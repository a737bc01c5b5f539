// The control gate: parking while stalled, replay through the dispatch table, abort,
// cleanup, and waiting for admitted requests.

#include "support/queue_helpers.h"

#include <vector>

namespace qvx {
namespace {

using GateTest = QueuePortTest;
using Ids = std::vector<int>;

// Parked requests come back through the driver's dispatch routine at the last restart, oldest
// first; one that arrives during the replay is parked behind them and replayed by the same
// loop.
TEST_F(GateTest, StalledGateParksAndReplaysOldestFirstAtLastRestart)
{
    QuarvexGateStall(Q().Gate()); // stalled twice, counting the initial stall
    const int a = Q().Send(Target::Gate);
    const int b = Q().Send(Target::Gate);
    const int c = Q().Send(Target::Gate);
    for (int id : {a, b, c}) {
        EXPECT_EQ(Q().Get(id).DispatchStatus, STATUS_PENDING);
    }

    QuarvexGateRestart(Q().Gate());
    EXPECT_TRUE(Q().Served().empty()) << "not the last restart";

    int late = 0;
    Q().OnServe = [&](int id) {
        if (id == a) {
            late = Q().Send(Target::Gate);
            EXPECT_EQ(Q().Get(late).DispatchStatus, STATUS_PENDING);
        }
    };
    QuarvexGateRestart(Q().Gate());
    EXPECT_EQ(Q().Served(), Ids({a, b, c, late}));
    EXPECT_EQ(Q().CompletionOrder(), Ids({a, b, c, late}));
    EXPECT_EQ(Q().StatusOf(c), STATUS_SUCCESS);
    EXPECT_EQ(Q().Gate()->ReplayIrp, nullptr);
    EXPECT_EQ(Q().Gate()->ActiveCount, 0);

    Q().OnServe = nullptr;
    const int open = Q().Send(Target::Gate);
    EXPECT_EQ(Q().Get(open).DispatchStatus, STATUS_SUCCESS) << "an open gate admits at once";
}

// A parked request the platform is cancelling is passed over by the replay and completed once
// by its cancel routine, whose unlink must not disturb the list.
TEST_F(GateTest, ReplaySkipsParkedRequestBeingCancelled)
{
    const int a = Q().Send(Target::Gate);
    const int b = Q().Send(Target::Gate);
    const int c = Q().Send(Target::Gate);
    ASSERT_TRUE(Q().TakeCancelRoutine(a));
    EXPECT_TRUE(Q().Cancel(c));
    EXPECT_EQ(Q().StatusOf(c), STATUS_CANCELLED);

    QuarvexGateRestart(Q().Gate());
    EXPECT_EQ(Q().Served(), Ids({b}));
    EXPECT_FALSE(Q().Completed(a));

    Q().RunTakenCancelRoutine(a);
    EXPECT_EQ(Q().Get(a).Completions, 1);
    EXPECT_EQ(Q().StatusOf(a), STATUS_CANCELLED);
    EXPECT_EQ(Q().Get(a).Information, 0u);
    EXPECT_TRUE(IsListEmpty(&Q().Gate()->WaitingList));
}

TEST_F(GateTest, CancelledRequestReachingStalledGateIsRefused)
{
    const int a = Q().Send(Target::Gate, nullptr, true);
    EXPECT_EQ(Q().Get(a).DispatchStatus, STATUS_CANCELLED);
    EXPECT_EQ(Q().StatusOf(a), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&Q().Gate()->WaitingList));
    QuarvexGateRestart(Q().Gate());
}

// Abort is final: parked requests are cancelled, every later one is refused with the abort
// status, even after a restart.
TEST_F(GateTest, AbortCancelsParkedRequestsAndRefusesLaterOnes)
{
    const int a = Q().Send(Target::Gate);
    const int b = Q().Send(Target::Gate);
    QuarvexGateAbort(Q().Gate(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Q().CompletionOrder(), Ids({a, b}));
    EXPECT_EQ(Q().StatusOf(a), STATUS_CANCELLED);
    EXPECT_EQ(Q().StatusOf(b), STATUS_CANCELLED);

    const int c = Q().Send(Target::Gate);
    EXPECT_EQ(Q().Get(c).DispatchStatus, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Q().StatusOf(c), STATUS_NO_SUCH_DEVICE);

    QuarvexGateRestart(Q().Gate());
    const int d = Q().Send(Target::Gate);
    EXPECT_EQ(Q().StatusOf(d), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(Q().Served().empty());
}

TEST_F(GateTest, CleanupCancelsParkedRequestsOfTheFileOnly)
{
    const int a = Q().Send(Target::Gate, Q().FileA());
    const int b = Q().Send(Target::Gate, Q().FileB());
    const int c = Q().Send(Target::Gate, Q().FileA());
    QuarvexGateCleanup(Q().Gate(), Q().FileA());
    EXPECT_EQ(Q().CompletionOrder(), Ids({a, c}));

    QuarvexGateRestart(Q().Gate());
    EXPECT_EQ(Q().Served(), Ids({b}));
}

// Wait-idle drives the machine until the second of two admitted requests has left.
TEST_F(GateTest, WaitIdleReturnsAfterLastAdmittedRequestLeaves)
{
    QuarvexGateRestart(Q().Gate());
    const LONGLONG start = Sim().NowMs();
    QuarvexGateWaitIdle(Q().Gate());
    EXPECT_EQ(Sim().NowMs(), start) << "nothing admitted: no wait";

    Q().SetHoldAdmitted(true);
    const int a = Q().Send(Target::Gate);
    const int b = Q().Send(Target::Gate);
    EXPECT_EQ(Q().Gate()->ActiveCount, 2);
    TimerAction leaveA([&] { Q().LeaveAdmitted(a); });
    TimerAction leaveB([&] { Q().LeaveAdmitted(b); });
    leaveA.ArmMs(3);
    leaveB.ArmMs(8);

    QuarvexGateStall(Q().Gate());
    QuarvexGateWaitIdle(Q().Gate());
    EXPECT_TRUE(leaveB.Ran());
    EXPECT_GE(Sim().NowMs(), start + 8);
    EXPECT_EQ(Q().CompletionOrder(), Ids({a, b}));
    EXPECT_EQ(Q().Gate()->ActiveCount, 0);

    Q().SetHoldAdmitted(false);
    const int c = Q().Send(Target::Gate);
    EXPECT_EQ(Q().Get(c).DispatchStatus, STATUS_PENDING);
    QuarvexGateRestart(Q().Gate());
    EXPECT_EQ(Q().StatusOf(c), STATUS_SUCCESS);
}

// A dispatcher that refuses every control request before its gate, as the error abort does.
NTSTATUS NTAPI RefuseBeforeTheGate(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
}

// Regression: a replayed request the dispatcher refused before the gate stayed named as the
// one being replayed, so a later request at the same address passed a stalled gate. The
// replay forgets it whatever the dispatcher did.
TEST_F(GateTest, ReplayRefusedBeforeTheGateIsForgotten)
{
    QuarvexGateStall(Q().Gate());
    const int a = Q().Send(Target::Gate);
    ASSERT_EQ(Q().Get(a).DispatchStatus, STATUS_PENDING);
    PDRIVER_DISPATCH* slot = &Q().Device()->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    const PDRIVER_DISPATCH dispatcher = *slot;
    *slot = RefuseBeforeTheGate;
    QuarvexGateRestart(Q().Gate());
    QuarvexGateRestart(Q().Gate());
    *slot = dispatcher;
    EXPECT_EQ(Q().StatusOf(a), STATUS_CANCELLED);
    EXPECT_EQ(Q().Gate()->ReplayIrp, nullptr);
    EXPECT_EQ(Q().Gate()->ActiveCount, 0);
}

} // namespace
} // namespace qvx
