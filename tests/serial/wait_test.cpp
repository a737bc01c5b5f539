// ctest-labels: wait
// Waits on event masks and the error abort.

#include "port/spin_lock.h"
#include "support/port_fixture.h"

#include "queue/queue.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace qvx {
namespace {

using WaitTest = OpenPortTest;

// A character completes a pending wait; one recorded before the wait is returned at once.
TEST_F(WaitTest, EventsCompleteAPendingWaitOrAreReturnedAtOnce)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    Sim().AdvanceMs(100);
    EXPECT_FALSE(wait->Done());
    Peer().Deliver(std::string("a"));
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Result().Information, sizeof(ULONG));
    EXPECT_EQ(Events(wait->Result()), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    Peer().Deliver(std::string(1, '\0')); // EventChar is 0: both events
    EXPECT_EQ(Port()->EventHistory, static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    IoResult atOnce = Io().DeviceIoControl(Handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(atOnce.Status, STATUS_SUCCESS);
    EXPECT_EQ(Events(atOnce), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    EXPECT_EQ(Port()->EventHistory, 0u);
}

// A new mask ends the pending wait with an empty set and drops recorded events it lacks; a
// second wait, or a wait with no mask, is refused.
TEST_F(WaitTest, NewMaskEndsWaitAndSecondWaitIsRefused)
{
    EXPECT_EQ(Io().DeviceIoControl(Handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).Status,
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    EXPECT_EQ(Io().DeviceIoControl(Handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(wait->Done());

    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Result().Information, sizeof(ULONG));
    EXPECT_EQ(Events(wait->Result()), 0u);

    Peer().Deliver(std::string("x"));
    ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port()->EventHistory, static_cast<ULONG>(SERIAL_EV_CTS | SERIAL_EV_RXCHAR));
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    EXPECT_EQ(Port()->EventHistory, static_cast<ULONG>(SERIAL_EV_CTS));
}

// Cancel of a pending wait completes it once with STATUS_CANCELLED and Information 4.
TEST_F(WaitTest, CancelledWaitCompletesOnce)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(wait->Result().Information, sizeof(ULONG));
    EXPECT_EQ(Port()->WaitIrp, nullptr);
    // The event that comes later is only recorded.
    Peer().Deliver(std::string("y"));
    EXPECT_EQ(Port()->EventHistory, static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// A cancel that comes while the completion DPC of a reported event is queued leaves the
// completion to that DPC: the wait succeeds with its event, exactly once.
TEST_F(WaitTest, CancelRacingAQueuedCompletionLetsTheDpcComplete)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    Sim().HoldDpcs(true);
    Peer().Deliver(std::string("z"));
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->WaitCompleteDpc));
    TraceCapture trace(Sim());
    Io().CancelIo(Handle);
    EXPECT_TRUE(trace.Contains("QuarvexCancelWaitMask++"));
    EXPECT_FALSE(wait->Done());
    Sim().HoldDpcs(false);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(Events(wait->Result()), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// The other order: the completion DPC runs first, takes back the cancel routine and
// completes; the application's cancel then finds nothing to cancel.
TEST_F(WaitTest, CompletionDpcBeforeCancelCompletesWithTheEvent)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    Sim().HoldDpcs(true);
    Peer().Deliver(std::string("z"));
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    TraceCapture trace(Sim());
    ASSERT_TRUE(Sim().RunDpc(&Port()->WaitCompleteDpc));
    ASSERT_TRUE(wait->Done());
    Io().CancelIo(Handle);
    EXPECT_FALSE(trace.Contains("QuarvexCancelWaitMask++"));
    Sim().HoldDpcs(false);
    EXPECT_EQ(wait->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(Events(wait->Result()), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// Cleanup of the handle cancels the pending wait.
TEST_F(WaitTest, CleanupCancelsThePendingWait)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    ClosePort(Handle);
    Handle = INVALID_FILE_HANDLE;
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Port()->WaitIrp, nullptr);
    EXPECT_EQ(Port()->WaitResultSlot, nullptr);
}

// SERIAL_EV_TXEMPTY is reported only with nothing queued for transmission.
TEST_F(WaitTest, TxEmptyNeedsAnEmptyTransmitQueue)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    UnderPortLock([&] {
        Port()->TxQueuedCount = 3;
        QuarvexReportTxEmpty(Port());
        EXPECT_EQ(Port()->EventHistory, 0u);
        Port()->TxQueuedCount = 0;
        QuarvexReportTxEmpty(Port());
    });
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(wait->Result()), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// With SERIAL_ERROR_ABORT and an error recorded, reads and control requests are refused until
// the errors are read; reading them is itself allowed.
TEST_F(WaitTest, ErrorAbortRefusesRequestsUntilErrorsAreRead)
{
    SetHandFlow(Handle, SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 2048, 512);
    SetTimeouts(Handle, MAXULONG, 0, 0);
    Peer().Deliver(std::vector<UCHAR>(4096, 'f'));
    Peer().Deliver(std::string("!")); // the ring is full: a queue overrun
    EXPECT_NE(Port()->CommErrors, 0u);

    EXPECT_EQ(Io().Read(Handle, 1).Status, STATUS_CANCELLED);
    ULONG mask = SERIAL_EV_RXCHAR;
    EXPECT_EQ(Control(Handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)).Status,
              STATUS_CANCELLED);
    IoResult status =
        Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    ASSERT_EQ(status.Status, STATUS_SUCCESS);
    SERIAL_STATUS serialStatus;
    memcpy(&serialStatus, status.Data.data(), sizeof(serialStatus));
    EXPECT_EQ(serialStatus.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
    EXPECT_EQ(serialStatus.AmountInInQueue, 4096u);

    IoResult read = Io().Read(Handle, 4);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Data, Bytes("ffff"));
}

// A mask request built by hand, so that the test sees its completion as it happens.
class MaskRequest
{
  public:
    MaskRequest(IoManager& io, PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, ULONG mask,
                std::function<void(PIRP)> onComplete = {})
        : buffer_(mask)
    {
        irp_ = io.AllocateIrp(1, [this, onComplete](PIRP irp) {
            status_ = irp->IoStatus.Status;
            done_ = true;
            if (onComplete) {
                onComplete(irp);
            }
        });
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->FileObject = file;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
        stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
        irp_->AssociatedIrp.SystemBuffer = &buffer_;
        dispatchStatus_ = IofCallDriver(device, irp_);
    }
    MaskRequest(const MaskRequest&) = delete;
    MaskRequest& operator=(const MaskRequest&) = delete;

    PIRP Irp() const { return irp_; }
    bool Done() const { return done_; }
    NTSTATUS Status() const { return status_; }
    NTSTATUS DispatchStatus() const { return dispatchStatus_; }

  private:
    ULONG buffer_;
    PIRP irp_ = nullptr;
    bool done_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
};

// Regression: the mask queue completed a request before it started the next, so for a moment
// the queue named a completed (maybe freed) request as current and cleanup could write into
// it. Every mask request's completion now finds the queue past it.
TEST_F(WaitTest, MaskQueueStartsTheNextBeforeItCompletes)
{
    PFILE_OBJECT file = Io().FileObjectOf(Handle);
    int checked = 0;
    auto notCurrent = [&](PIRP irp) {
        EXPECT_NE(Port()->MaskQueue.CurrentIrp, irp);
        ++checked;
    };
    MaskRequest set(Io(), Device(), file, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR, notCurrent);
    ASSERT_TRUE(set.Done());
    EXPECT_EQ(set.Status(), STATUS_SUCCESS);
    Peer().Deliver(std::string("e"));
    MaskRequest atOnce(Io(), Device(), file, IOCTL_SERIAL_WAIT_ON_MASK, 0, notCurrent);
    ASSERT_TRUE(atOnce.Done());
    EXPECT_EQ(atOnce.Status(), STATUS_SUCCESS);
    IoRequestPtr pending = WaitOnMask();
    MaskRequest refused(Io(), Device(), file, IOCTL_SERIAL_WAIT_ON_MASK, 0, notCurrent);
    ASSERT_TRUE(refused.Done());
    EXPECT_EQ(refused.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(checked, 3);
    Peer().Deliver(std::string("f"));
    ASSERT_TRUE(pending->Done());
}

// Regression: cleanup cancelled the pending wait, then flagged the mask queue's current
// request. A wait whose start routine ran between the two steps (here: from the completion
// of the wait the first step cancelled) was armed after the first and gone from the queue
// before the second: it outlived cleanup and the close never came. Flagging first closes it.
TEST_F(WaitTest, WaitStartedDuringCleanupDoesNotOutliveIt)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    QuarvexQueueStallAndWait(&Port()->MaskQueue);
    PFILE_OBJECT file = Io().FileObjectOf(Handle);
    bool startedDuringCleanup = false;
    MaskRequest first(Io(), Device(), file, IOCTL_SERIAL_WAIT_ON_MASK, 0, [&](PIRP) {
        startedDuringCleanup = Sim().RunDpc(&Port()->MaskQueue.StartDpc);
    });
    IoRequestPtr second = WaitOnMask();
    IoRequestPtr third = WaitOnMask();
    EXPECT_EQ(first.DispatchStatus(), STATUS_PENDING);

    Sim().HoldDpcs(true);
    QuarvexQueueRestart(&Port()->MaskQueue);
    ASSERT_TRUE(Sim().RunDpc(&Port()->MaskQueue.StartDpc)); // the first wait is armed
    ASSERT_EQ(Port()->WaitIrp, first.Irp());
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->MaskQueue.StartDpc)); // the second waits for it
    ASSERT_EQ(Io().Close(Handle), STATUS_SUCCESS);
    Handle = INVALID_FILE_HANDLE;
    Sim().HoldDpcs(false);

    EXPECT_TRUE(startedDuringCleanup);
    EXPECT_EQ(first.Status(), STATUS_CANCELLED);
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Result().Status, STATUS_CANCELLED);
    ASSERT_TRUE(third->Done());
    EXPECT_EQ(third->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Port()->WaitIrp, nullptr);
    EXPECT_EQ(Io().PendingCloseCount(), 0u);
    EXPECT_FALSE(Port()->PortIsOpen);
}

// A second release of a scoped lock is a fault, not a silent no-op that hides the double
// release.
TEST(SpinLockGuardDeathTest, SecondReleaseIsAFault)
{
    EXPECT_DEATH(
        {
            DeathTestMachine machine;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            SpinLockGuard guard(&lock);
            guard.Release();
            guard.Release();
        },
        "held_");
    EXPECT_DEATH(
        {
            DeathTestMachine machine;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            DpcSpinLockGuard guard(&lock);
            guard.Release();
            guard.Release();
            KfLowerIrql(old);
        },
        "held_");
}

// Regression: the wait-completion DPC released PortLock a second time after completing the
// wait. It completes the wait once and releases once.
TEST_F(WaitTest, WaitCompletionReleasesThePortLockOnce)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    Sim().HoldDpcs(true);
    Peer().Deliver(std::string("w"));
    ASSERT_TRUE(Sim().RunDpc(&Port()->Uart.InterruptDpc));
    ASSERT_TRUE(Sim().RunDpc(&Port()->WaitCompleteDpc));
    Sim().HoldDpcs(false);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

} // namespace
} // namespace qvx
