// The request engine: the completion walk up a device stack, pending propagation, cancel
// with the cancel-spin-lock protocol, work items and the default dispatch routine.

#include "support/io_test_driver.h"

#include <string>

namespace qvx {
namespace {

// A three-device stack of one built-in driver: each layer either passes requests down with
// or without a completion routine, or (the bottom) completes or holds them.
struct Layer
{
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    char Name;
    bool SetRoutine;
    bool CopyOnly;    // pass down with a copied location and no routine
    bool SuccessOnly; // the routine is not invoked for errors
    bool StopWalk;    // the routine returns STATUS_MORE_PROCESSING_REQUIRED
    bool Pend;        // bottom: hold the request
    NTSTATUS Status;  // bottom: complete with this
    PIRP Held;
    // Deliberate faults and their neighbours.
    bool Keep;           // bottom: hold the request unmarked and return STATUS_SUCCESS
    bool OverrideReturn; // return Return instead of the status the layer should return
    NTSTATUS Return;
    bool ChangeInRoutine; // the routine stores Changed before the walk goes on
    NTSTATUS Changed;
};

std::string g_walk;

Layer* LayerOf(PDEVICE_OBJECT device)
{
    return static_cast<Layer*>(device->DeviceExtension);
}

NTSTATUS NTAPI LayerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    Layer* layer = static_cast<Layer*>(Context);
    g_walk += layer->Name;
    g_walk += Irp->PendingReturned ? "p" : "";
    g_walk += DeviceObject == layer->Self ? "" : "?";
    if (layer->StopWalk) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (layer->ChangeInRoutine) {
        Irp->IoStatus.Status = layer->Changed;
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI LayerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Layer* layer = LayerOf(DeviceObject);
    if (layer->Lower == nullptr) {
        if (layer->Pend || layer->Keep) {
            if (layer->Pend) {
                IoMarkIrpPending(Irp);
            }
            layer->Held = Irp;
            return layer->Pend ? STATUS_PENDING : STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = layer->Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return layer->OverrideReturn ? layer->Return : layer->Status;
    }
    if (layer->SetRoutine) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, LayerCompletion, layer, TRUE, !layer->SuccessOnly, TRUE);
    } else if (layer->CopyOnly) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
    }
    const NTSTATUS status = IoCallDriver(layer->Lower, Irp);
    return layer->OverrideReturn ? layer->Return : status;
}

class WalkTest : public SimMachineTest
{
  protected:
    void SetUp() override
    {
        SimMachineTest::SetUp();
        g_walk.clear();
        driver_ = Sim().Io().CreateBuiltInDriver(u"WalkTest");
        driver_->MajorFunction[IRP_MJ_READ] = LayerDispatch;
        PDEVICE_OBJECT below = nullptr;
        for (char name : {'B', 'M', 'T'}) {
            PDEVICE_OBJECT device = nullptr;
            ASSERT_EQ(IoCreateDevice(driver_, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device),
                      STATUS_SUCCESS);
            Layer* layer = LayerOf(device);
            layer->Self = device;
            layer->Name = name;
            layer->Status = STATUS_SUCCESS;
            layer->SetRoutine = true;
            layer->Lower = below != nullptr ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            below = device;
        }
        top_ = below;
    }

    void TearDown() override
    {
        Sim().Io().ReleaseBuiltInDriver(driver_);
        SimMachineTest::TearDown();
    }

    Layer* Get(char name)
    {
        for (PDEVICE_OBJECT d = top_; d != nullptr; d = LayerOf(d)->Lower) {
            if (LayerOf(d)->Name == name) {
                return LayerOf(d);
            }
        }
        return nullptr;
    }

    // Sends a read to the top of the stack; `finished` receives the final status.
    NTSTATUS Send(NTSTATUS* finished, PIRP* sent = nullptr)
    {
        PIRP irp = Sim().Io().AllocateIrp(top_->StackSize, [finished](PIRP done) {
            *finished = done->IoStatus.Status;
            g_walk += '!';
        });
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        if (sent != nullptr) {
            *sent = irp;
        }
        return IoCallDriver(top_, irp);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;
};

// Routines run bottom-up with their own device object, selected by status; one returning
// STATUS_MORE_PROCESSING_REQUIRED stops the walk until its owner completes again.
TEST_F(WalkTest, CompletionRoutinesRunUpTheStackAndStopOnMoreProcessingRequired)
{
    NTSTATUS finished = STATUS_PENDING;
    EXPECT_EQ(Send(&finished), STATUS_SUCCESS);
    EXPECT_EQ(g_walk, "MT!");
    EXPECT_EQ(finished, STATUS_SUCCESS);

    g_walk.clear();
    Get('B')->Status = STATUS_UNSUCCESSFUL;
    Get('M')->SuccessOnly = true;
    EXPECT_EQ(Send(&finished), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_walk, "T!");
    EXPECT_EQ(finished, STATUS_UNSUCCESSFUL);

    g_walk.clear();
    Get('B')->Status = STATUS_SUCCESS;
    Get('M')->StopWalk = true;
    PIRP irp = nullptr;
    EXPECT_EQ(Send(&finished, &irp), STATUS_SUCCESS);
    EXPECT_EQ(g_walk, "M");
    EXPECT_EQ(Sim().Io().OutstandingIrps(), 1u);
    irp->IoStatus.Status = STATUS_TIMEOUT;
    IoCompleteRequest(irp, IO_NO_INCREMENT); // The middle layer's owner resumes the walk.
    EXPECT_EQ(g_walk, "MT!");
    EXPECT_EQ(finished, STATUS_TIMEOUT);
}

// A pending mark made at the bottom reaches the top through a layer without a routine, and
// the top's routine sees PendingReturned when the request completes later.
TEST_F(WalkTest, PendingReturnedPropagatesThroughLayersWithoutRoutines)
{
    Get('B')->Pend = true;
    Get('M')->SetRoutine = false;
    Get('M')->CopyOnly = true;
    NTSTATUS finished = STATUS_PENDING;
    EXPECT_EQ(Send(&finished), STATUS_PENDING);
    EXPECT_EQ(g_walk, "");
    IoCompleteRequest(Get('B')->Held, IO_NO_INCREMENT);
    EXPECT_EQ(g_walk, "Tp!");
    EXPECT_EQ(finished, STATUS_SUCCESS);
}

// What a dispatch routine returns is checked against what it did with the request: a
// return that neither completed, passed down nor pended it; a non-pending return over a
// pending mark that a lower driver left in a skipped (shared) location; a returned status
// other than the one the walk left its location with.
TEST_F(WalkTest, DispatchReturnsAreCheckedAgainstTheRequest)
{
    NTSTATUS finished = STATUS_PENDING;
    Get('B')->Keep = true;
    EXPECT_EQ(Send(&finished), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::DISPATCH_RETURNED_WITHOUT_COMPLETING));
    IoCompleteRequest(Get('B')->Held, IO_NO_INCREMENT);
    EXPECT_EQ(finished, STATUS_SUCCESS);

    g_walk.clear();
    Get('B')->Keep = false;
    Get('B')->Pend = true;
    Get('M')->SetRoutine = false;
    Get('M')->OverrideReturn = true;
    Get('M')->Return = STATUS_SUCCESS;
    EXPECT_EQ(Send(&finished), STATUS_SUCCESS);
    EXPECT_TRUE(ExpectViolation(Rule::PENDING_MARKED_NOT_RETURNED));
    IoCompleteRequest(Get('B')->Held, IO_NO_INCREMENT);
    EXPECT_EQ(g_walk, "Tp!");

    Get('B')->Pend = false;
    Get('M')->OverrideReturn = false;
    Get('B')->OverrideReturn = true;
    Get('B')->Return = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Send(&finished), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(ExpectViolation(Rule::DISPATCH_STATUS_MISMATCH));
    EXPECT_EQ(finished, STATUS_SUCCESS);
}

// Correct code passes: the bottom returns the status it completed with although a routine
// above changes it, and each layer returns what its lower call returned.
TEST_F(WalkTest, StatusChangedAboveTheCompleterIsNotAMismatch)
{
    Get('M')->ChangeInRoutine = true;
    Get('M')->Changed = STATUS_UNSUCCESSFUL;
    NTSTATUS finished = STATUS_PENDING;
    EXPECT_EQ(Send(&finished), STATUS_SUCCESS);
    EXPECT_EQ(finished, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Sim().Violations().empty());
}

using IoEngineTest = IoDriverTest;

// IoCancelIrp calls the routine with the cancel spin lock held and CancelIrql set; without a
// routine it only sets Cancel. A routine may release a cancel lock the driver acquired itself.
TEST_F(IoEngineTest, CancelFollowsTheCancelSpinLockProtocol)
{
    const FileHandle handle = OpenCom5();
    IoRequestPtr read = Io().ReadAsync(handle, 8);
    ASSERT_FALSE(read->Done());
    EXPECT_TRUE(IoCancelIrp(read->Irp()));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_TRUE(read->Result().Data.empty());

    PIRP idle = Io().AllocateIrp(1);
    EXPECT_FALSE(IoCancelIrp(idle));
    EXPECT_TRUE(idle->Cancel);
    idle->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(idle, IO_NO_INCREMENT);

    // As a driver's own cancel of its current request does it.
    read = Io().ReadAsync(handle, 8);
    PIRP irp = read->Irp();
    KIRQL irql = PASSIVE_LEVEL;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    ASSERT_NE(routine, nullptr);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    routine(Fdo(), irp);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
}

// A work item queued at DISPATCH_LEVEL runs once, at PASSIVE_LEVEL, when the application's
// thread gets control back; majors the driver left alone are rejected by the placeholder.
TEST_F(IoEngineTest, WorkItemsRunAtPassiveAndUnservedMajorsAreRejected)
{
    const FileHandle handle = OpenCom5();
    EXPECT_EQ(Io().DeviceIoControl(handle, IOCTL_TEST_QUEUE_WORK_ITEM, {}, 0).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(TestDriverEvents().WorkItemRuns, 1);
    EXPECT_EQ(TestDriverEvents().WorkItemIrql, PASSIVE_LEVEL);
    EXPECT_EQ(Io().QueuedWorkCount(), 0u);

    RequestArgs query;
    query.MajorFunction = IRP_MJ_QUERY_INFORMATION;
    query.OutputLength = 16;
    const IoResult result = Io().Send(handle, query);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.Information, 0u);
}

} // namespace
} // namespace qvx
