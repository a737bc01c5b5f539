#include "support/queue_helpers.h"
#include "platform/machine/machine.h"
#include "port/spin_lock.h"

#include <ntddser.h>

namespace qvx {

namespace {

QueuePort* g_port = nullptr;

int IndexOf(Target target)
{
    return static_cast<int>(target);
}

char Letter(Target target)
{
    static const char letters[] = "WMRPG";
    return letters[IndexOf(target)];
}

} // namespace

// The driver-side callbacks of a QueuePort: start routines, the owner's cancel routine and
// the dispatch routines.
struct QueuePortAccess
{
    template <int Index> static VOID NTAPI StartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        QueuePort& q = *g_port;
        EXPECT_EQ(DeviceObject, q.device_);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        const Target target = static_cast<Target>(Index);
        {
            SpinLockGuard guard(&q.port_->PortLock);
            EXPECT_EQ(q.owned_[Index], nullptr) << "a second request started in queue " << Index;
            q.owned_[Index] = Irp;
            q.armed_[Index] = q.armOwnerCancel_;
            if (q.armOwnerCancel_) {
                (void)IoSetCancelRoutine(Irp, OwnerCancel);
            }
        }
        q.LogStart(target, Irp);
        if (q.OnStart) {
            q.OnStart(target, q.IdOf(Irp));
        }
    }

    // What a read or write owner does when its request is cancelled while in service.
    static VOID NTAPI OwnerCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        IoReleaseCancelSpinLock(DISPATCH_LEVEL);
        QueuePort& q = *g_port;
        EXPECT_EQ(DeviceObject, q.device_);
        KefAcquireSpinLockAtDpcLevel(&q.port_->PortLock);
        int index = -1;
        for (int i = 0; i < static_cast<int>(QUEUE_COUNT); ++i) {
            if (q.owned_[i] == Irp) {
                index = i;
                q.owned_[i] = nullptr;
            }
        }
        KfReleaseSpinLock(&q.port_->PortLock, Irp->CancelIrql);
        ASSERT_GE(index, 0) << "owner cancel routine for a request nobody owns";
        QuarvexQueueStartNext(q.port_->Queues[index]);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI QueueDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        QueuePort& q = *g_port;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Target target = Target::Read;
        switch (stack->MajorFunction) {
        case IRP_MJ_WRITE:
            target = Target::Write;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK) {
                target = Target::Mask;
            } else if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_PURGE) {
                target = Target::Purge;
            } else {
                return GateDispatch(DeviceObject, Irp);
            }
            break;
        default:
            break;
        }
        return QuarvexQueueStartPacket(q.Queue(target), Irp);
    }

    static NTSTATUS NTAPI FileDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        QueuePort& q = *g_port;
        EXPECT_EQ(DeviceObject, q.device_);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->MajorFunction == IRP_MJ_CLEANUP) {
            for (RequestQueue* queue : q.port_->Queues) {
                QuarvexQueueCleanup(queue, stack->FileObject);
            }
            QuarvexGateCleanup(&q.port_->ControlGate, stack->FileObject);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    // The shape of the control dispatcher: enter, serve, complete, leave.
    static NTSTATUS GateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        QueuePort& q = *g_port;
        EXPECT_EQ(DeviceObject, q.device_);
        Irp->IoStatus.Information = 0;
        const NTSTATUS status = QuarvexGateEnter(&q.port_->ControlGate, Irp);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        q.LogServe(Irp);
        const int id = q.IdOf(Irp);
        if (q.OnServe) {
            q.OnServe(id);
        }
        if (q.holdAdmitted_) {
            std::lock_guard<std::mutex> guard(q.mutex_);
            q.admitted_[id] = Irp;
            IoMarkIrpPending(Irp);
            return STATUS_PENDING;
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        QuarvexGateLeave(&q.port_->ControlGate);
        return STATUS_SUCCESS;
    }
};

QueuePort::QueuePort(Machine& machine, const char16_t* name) : machine_(machine)
{
    EXPECT_EQ(g_port, nullptr);
    g_port = this;
    driver_ = machine_.Io().CreateBuiltInDriver(u"QueueTest");
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) {
        driver_->MajorFunction[major] = QueuePortAccess::QueueDispatch;
    }
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        driver_->MajorFunction[major] = QueuePortAccess::FileDispatch;
    }
    UNICODE_STRING deviceName = {};
    if (name != nullptr) {
        RtlInitUnicodeString(&deviceName, name);
    }
    const NTSTATUS status =
        IoCreateDevice(driver_, sizeof(PortDeviceRecord), name != nullptr ? &deviceName : nullptr,
                       FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, FALSE, &device_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    port_ = QuarvexPortFromDevice(device_);
    QuarvexPortSetDefaults(port_, device_, nullptr);
    QuarvexQueueInitialize(&port_->WriteQueue, QueuePortAccess::StartIo<0>, device_, TRUE);
    QuarvexQueueInitialize(&port_->MaskQueue, QueuePortAccess::StartIo<1>, device_, TRUE);
    QuarvexQueueInitialize(&port_->ReadQueue, QueuePortAccess::StartIo<2>, device_, TRUE);
    QuarvexQueueInitialize(&port_->PurgeQueue, QueuePortAccess::StartIo<3>, device_, TRUE);
    QuarvexGateInitialize(&port_->ControlGate, device_);
}

QueuePort::~QueuePort()
{
    EXPECT_EQ(Outstanding(), 0u) << "requests still outstanding at the end of the test";
    // A request still in a queue would be freed with the device: the verifier reports it.
    IoDeleteDevice(device_);
    machine_.Io().ReleaseBuiltInDriver(driver_);
    g_port = nullptr;
}

RequestQueue* QueuePort::Queue(Target target) const
{
    return port_->Queues[IndexOf(target)];
}

int QueuePort::Send(Target target, PFILE_OBJECT file, bool cancelled)
{
    PIRP irp = machine_.Io().AllocateIrp(1, [this](PIRP done) { OnCompleted(done); });
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    switch (target) {
    case Target::Write:
        stack->MajorFunction = IRP_MJ_WRITE;
        break;
    case Target::Read:
        stack->MajorFunction = IRP_MJ_READ;
        break;
    case Target::Mask:
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        break;
    case Target::Purge:
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_PURGE;
        break;
    case Target::Gate:
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
        break;
    }
    stack->FileObject = file;
    irp->Cancel = cancelled ? TRUE : FALSE;
    int id = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        id = nextId_++;
        SentRequest& request = requests_[id];
        request.Irp = irp;
        request.To = target;
        live_[irp] = id;
    }
    const NTSTATUS status = IofCallDriver(device_, irp);
    std::lock_guard<std::mutex> guard(mutex_);
    requests_[id].DispatchStatus = status;
    return id;
}

SentRequest QueuePort::Get(int id) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = requests_.find(id);
    return it == requests_.end() ? SentRequest() : it->second;
}

bool QueuePort::Completed(int id) const
{
    return Get(id).Completions > 0;
}

PIRP QueuePort::IrpOf(int id) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = requests_.find(id);
    return it == requests_.end() || it->second.Completions > 0 ? nullptr : it->second.Irp;
}

size_t QueuePort::Outstanding() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return live_.size();
}

std::vector<int> QueuePort::Started(Target target) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = started_.find(target);
    return it == started_.end() ? std::vector<int>() : it->second;
}

std::vector<int> QueuePort::Served() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return served_;
}

std::vector<std::string> QueuePort::Events() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
}

std::vector<int> QueuePort::CompletionOrder() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return completions_;
}

int QueuePort::Current(Target target) const
{
    PIRP irp = nullptr;
    {
        SpinLockGuard guard(&port_->PortLock);
        irp = owned_[IndexOf(target)];
    }
    return irp == nullptr ? -1 : IdOf(irp);
}

bool QueuePort::Finish(Target target, NTSTATUS status)
{
    EXPECT_NE(Current(target), -1) << "Finish: no current request in queue " << IndexOf(target);
    return TryFinish(target, status);
}

bool QueuePort::TryFinish(Target target, NTSTATUS status)
{
    const int index = IndexOf(target);
    SpinLockGuard guard(&port_->PortLock);
    PIRP irp = owned_[index];
    if (irp == nullptr) {
        return false;
    }
    if (armed_[index] && IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return false; // its cancel routine is running and ends it
    }
    owned_[index] = nullptr;
    guard.Release();
    QuarvexQueueStartNext(port_->Queues[index]);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

int QueuePort::MakePendingWait()
{
    const int index = IndexOf(Target::Mask);
    SpinLockGuard guard(&port_->PortLock);
    PIRP irp = owned_[index];
    if (irp == nullptr) {
        ADD_FAILURE() << "MakePendingWait: the mask queue has no current request";
        return -1;
    }
    owned_[index] = nullptr;
    port_->WaitIrp = irp;
    port_->WaitResultSlot = &waitResult_;
    port_->WaitRefs = WAIT_REF_EVENT | WAIT_REF_CANCEL;
    guard.Release();
    QuarvexQueueStartNext(port_->Queues[index]);
    return IdOf(irp);
}

void QueuePort::LeaveAdmitted(int id)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = admitted_.find(id);
        ASSERT_NE(it, admitted_.end()) << "request " << id << " is not admitted";
        irp = it->second;
        admitted_.erase(it);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    QuarvexGateLeave(&port_->ControlGate);
}

BOOLEAN QueuePort::Cancel(int id)
{
    PIRP irp = IrpOf(id);
    EXPECT_NE(irp, nullptr) << "request " << id << " already completed";
    return irp == nullptr ? FALSE : IoCancelIrp(irp);
}

bool QueuePort::TakeCancelRoutine(int id)
{
    PIRP irp = IrpOf(id);
    EXPECT_NE(irp, nullptr) << "request " << id << " already completed";
    if (irp == nullptr) {
        return false;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (routine == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    taken_[id] = routine;
    return true;
}

void QueuePort::RunTakenCancelRoutine(int id)
{
    PDRIVER_CANCEL routine = nullptr;
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = taken_.find(id);
        ASSERT_NE(it, taken_.end()) << "no cancel routine taken from request " << id;
        routine = it->second;
        taken_.erase(it);
        irp = requests_[id].Irp;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->CancelIrql = irql;
    routine(device_, irp);
    EXPECT_EQ(KeGetCurrentIrql(), irql);
}

int QueuePort::IdOf(PIRP irp) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = live_.find(irp);
    return it == live_.end() ? -1 : it->second;
}

void QueuePort::LogStart(Target target, PIRP irp)
{
    const int id = IdOf(irp);
    std::lock_guard<std::mutex> guard(mutex_);
    started_[target].push_back(id);
    events_.push_back(std::string(1, Letter(target)) + std::to_string(id));
}

void QueuePort::LogServe(PIRP irp)
{
    const int id = IdOf(irp);
    std::lock_guard<std::mutex> guard(mutex_);
    served_.push_back(id);
    events_.push_back("G" + std::to_string(id));
}

void QueuePort::OnCompleted(PIRP irp)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = live_.find(irp);
    if (it == live_.end()) {
        ADD_FAILURE() << "completion of an IRP the test did not send";
        return;
    }
    SentRequest& request = requests_[it->second];
    ++request.Completions;
    request.Status = irp->IoStatus.Status;
    request.Information = irp->IoStatus.Information;
    completions_.push_back(it->second);
    events_.push_back("c" + std::to_string(it->second));
    live_.erase(it);
}

TimerAction::TimerAction(std::function<void()> action) : action_(std::move(action))
{
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, Routine, this);
}

TimerAction::~TimerAction()
{
    (void)KeCancelTimer(&timer_);
}

void TimerAction::ArmMs(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    (void)KeSetTimer(&timer_, due, &dpc_);
}

VOID NTAPI TimerAction::Routine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    (void)Dpc;
    (void)Argument1;
    (void)Argument2;
    auto* self = static_cast<TimerAction*>(Context);
    self->ran_ = true;
    self->action_();
}

void QueuePortTest::SetUp()
{
    SimMachineTest::SetUp();
    port_ = std::make_unique<QueuePort>(Sim());
}

void QueuePortTest::TearDown()
{
    port_.reset();
    SimMachineTest::TearDown();
}

} // namespace qvx
