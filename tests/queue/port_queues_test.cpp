// Stall, restart and flush of a port's four queues and its gate together.

#include "support/queue_helpers.h"

#include <string>
#include <vector>

namespace qvx {
namespace {

using Ids = std::vector<int>;
using Strings = std::vector<std::string>;

class PortQueuesTest : public QueuePortTest
{
  protected:
    void SetUp() override
    {
        QueuePortTest::SetUp();
        QuarvexRestartQueues(Q().Port()); // what a successful device start does
    }
};

// With nothing in service a stall returns at once; afterwards reads wait and control requests
// park, and the restart serves the parked control request before any read starts.
TEST_F(PortQueuesTest, StallHoldsEverythingAndRestartServesControlRequestsFirst)
{
    TraceCapture trace(Sim());
    const LONGLONG before = Sim().Now();
    QuarvexStallQueues(Q().Port());
    EXPECT_EQ(Sim().Now(), before);
    EXPECT_EQ(trace.Lines(), Strings({"QuarvexStallQueues++", "QuarvexStallQueues--"}));

    const int read = Q().Send(Target::Read);
    const int control = Q().Send(Target::Gate);
    EXPECT_TRUE(Q().Events().empty());

    trace.Clear();
    QuarvexRestartQueues(Q().Port());
    EXPECT_EQ(trace.Lines(), Strings({"QuarvexRestartQueues++", "QuarvexRestartQueues--"}));
    const Strings expected = {"G" + std::to_string(control), "c" + std::to_string(control),
                              "R" + std::to_string(read)};
    EXPECT_EQ(Q().Events(), expected);
    ASSERT_TRUE(Q().Finish(Target::Read));
}

// The stall returns only when every queue's current request has ended and every admitted
// control request has left; their owners finish from timer DPCs that the waits drive.
TEST_F(PortQueuesTest, StallWaitsForEveryCurrentRequestAndAdmittedControlRequest)
{
    const int write = Q().Send(Target::Write);
    const int purge = Q().Send(Target::Purge);
    Q().SetHoldAdmitted(true);
    const int control = Q().Send(Target::Gate);
    TimerAction endWrite([this] { EXPECT_TRUE(Q().Finish(Target::Write)); });
    TimerAction endPurge([this] { EXPECT_TRUE(Q().Finish(Target::Purge)); });
    TimerAction leave([&] { Q().LeaveAdmitted(control); });
    endPurge.ArmMs(2);
    endWrite.ArmMs(4);
    leave.ArmMs(6);
    const LONGLONG start = Sim().NowMs();

    QuarvexStallQueues(Q().Port());
    EXPECT_TRUE(leave.Ran());
    EXPECT_GE(Sim().NowMs(), start + 6);
    EXPECT_EQ(Q().CompletionOrder(), Ids({purge, write, control}));
    QuarvexRestartQueues(Q().Port());
}

TEST_F(PortQueuesTest, TwoStallsAndOneRestartLeaveEverythingStalled)
{
    QuarvexStallQueues(Q().Port());
    QuarvexStallQueues(Q().Port());
    QuarvexRestartQueues(Q().Port());
    const int read = Q().Send(Target::Read);
    const int control = Q().Send(Target::Gate);
    EXPECT_TRUE(Q().Events().empty());

    QuarvexRestartQueues(Q().Port());
    EXPECT_EQ(Q().Served(), Ids({control}));
    EXPECT_EQ(Q().Current(Target::Read), read);
    ASSERT_TRUE(Q().Finish(Target::Read));
}

// Flush with the closing handle's file object: its waiting requests everywhere, the current
// and waiting reads and writes of any handle, the pending wait and its parked control requests
// are cancelled; the other handle's mask, purge and control requests are left alone.
TEST_F(PortQueuesTest, FlushCancelsWhatTheHandleLeavesBehind)
{
    PFILE_OBJECT mine = Q().FileA();
    PFILE_OBJECT other = Q().FileB();
    const int write = Q().Send(Target::Write, other);
    const int writeWaiting = Q().Send(Target::Write, other);
    const int read = Q().Send(Target::Read, mine);
    const int readWaiting = Q().Send(Target::Read, other);
    const int wait = Q().Send(Target::Mask, mine);
    ASSERT_EQ(Q().MakePendingWait(), wait);
    const int maskCurrent = Q().Send(Target::Mask, other);
    const int maskMine = Q().Send(Target::Mask, mine);
    const int maskOther = Q().Send(Target::Mask, other);
    const int purge = Q().Send(Target::Purge, mine);
    const int purgeMine = Q().Send(Target::Purge, mine);
    const int purgeOther = Q().Send(Target::Purge, other);
    QuarvexGateStall(Q().Gate());
    const int controlMine = Q().Send(Target::Gate, mine);
    const int controlOther = Q().Send(Target::Gate, other);
    TraceCapture trace(Sim());

    QuarvexFlushQueues(Q().Port(), mine);
    EXPECT_EQ(trace.Lines(), Strings({"QuarvexFlushQueues++", "QuarvexFlushQueues--"}));

    for (int id :
         {writeWaiting, write, readWaiting, read, wait, maskMine, purgeMine, controlMine}) {
        EXPECT_EQ(Q().StatusOf(id), STATUS_CANCELLED) << "request " << id;
        EXPECT_EQ(Q().Get(id).Completions, 1) << "request " << id;
    }
    EXPECT_EQ(Q().Port()->WaitIrp, nullptr);
    EXPECT_EQ(Q().Port()->WaitResultSlot, nullptr);
    EXPECT_EQ(Q().Queue(Target::Write)->CurrentIrp, nullptr) << "owner's start-next ran";
    EXPECT_EQ(Q().Queue(Target::Read)->CurrentIrp, nullptr);
    EXPECT_EQ(Q().Outstanding(), 5u);

    // Nothing stalled, nothing started by the flush: the rest goes on as usual.
    EXPECT_EQ(Q().Current(Target::Mask), maskCurrent);
    EXPECT_EQ(Q().Current(Target::Purge), purge);
    ASSERT_TRUE(Q().Finish(Target::Mask));
    EXPECT_EQ(Q().Current(Target::Mask), maskOther);
    ASSERT_TRUE(Q().Finish(Target::Mask));
    ASSERT_TRUE(Q().Finish(Target::Purge));
    EXPECT_EQ(Q().Current(Target::Purge), purgeOther);
    ASSERT_TRUE(Q().Finish(Target::Purge));
    QuarvexGateRestart(Q().Gate());
    EXPECT_EQ(Q().Served(), Ids({controlOther}));
}

// A wait whose cancel routine its completion path has already claimed is left to that path.
TEST_F(PortQueuesTest, FlushLeavesWaitAlreadyClaimedByItsCompletion)
{
    const int wait = Q().Send(Target::Mask);
    ASSERT_EQ(Q().MakePendingWait(), wait);
    PIRP irp = Q().IrpOf(wait);
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);

    QuarvexFlushQueues(Q().Port(), nullptr);
    EXPECT_FALSE(Q().Completed(wait));
    EXPECT_EQ(Q().Port()->WaitIrp, irp);

    Q().Port()->WaitIrp = nullptr;
    Q().Port()->WaitResultSlot = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Q().StatusOf(wait), STATUS_SUCCESS);
}

} // namespace
} // namespace qvx
