// Work items and the passive-level work queue they share with deferred closes. Simulated: the
// queue runs from the scheduler's progress hook, after every application call and from
// RunPassiveWork. Threaded: a worker thread runs it.

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/verifier/verifier.h"

namespace qvx {

// ---- Work items ---------------------------------------------------------------------------------

PIO_WORKITEM IoManagerImpl::AllocateWorkItem(PDEVICE_OBJECT device)
{
    CheckIrqlCeiling("IoAllocateWorkItem");
    NTSTATUS failure = STATUS_SUCCESS;
    if (ConsumeFault(IoFault::AllocateWorkItem, &failure)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    if (record == nullptr || record->Deleted) {
        VerifierReport(Rule::DEVICE_UNKNOWN, "IoAllocateWorkItem(%p): not a live device object",
                       static_cast<void*>(device));
        return nullptr;
    }
    auto* item = new _IO_WORKITEM{device, device->DriverObject, nullptr, nullptr, false, false};
    workItems_.insert(item);
    return item;
}

void IoManagerImpl::FreeWorkItem(PIO_WORKITEM item)
{
    CheckIrqlCeiling("IoFreeWorkItem");
    std::lock_guard<std::mutex> guard(mutex_);
    if (workItems_.count(item) == 0) {
        VerifierReport(Rule::WORK_ITEM_UNKNOWN, "IoFreeWorkItem(%p): not an allocated work item",
                       static_cast<void*>(item));
        return;
    }
    if (item->Queued) {
        VerifierReport(Rule::WORK_ITEM_FREED_WHILE_QUEUED, "IoFreeWorkItem(%p) while it is queued",
                       static_cast<void*>(item));
        item->FreeAfterRun = true;
        return;
    }
    workItems_.erase(item);
    delete item;
}

void IoManagerImpl::QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    CheckIrqlCeiling("IoQueueWorkItem");
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (workItems_.count(item) == 0 || item->FreeAfterRun) {
            VerifierReport(Rule::WORK_ITEM_UNKNOWN,
                           "IoQueueWorkItem(%p): not an allocated work item",
                           static_cast<void*>(item));
            return;
        }
        if (item->Queued) {
            VerifierReport(Rule::WORK_ITEM_QUEUED_TWICE, "IoQueueWorkItem(%p) while it is queued",
                           static_cast<void*>(item));
            return;
        }
        item->Routine = routine;
        item->Context = context;
        item->Queued = true;
    }
    PostPassive([this, item] { RunPassiveWorkItem(item); });
}

void IoManagerImpl::RunPassiveWorkItem(PIO_WORKITEM item)
{
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (workItems_.count(item) == 0) {
            return;
        }
        // Dequeued before it runs, so the routine may free or queue it again.
        item->Queued = false;
        routine = item->Routine;
        context = item->Context;
        device = item->DeviceObject;
        driver = item->DriverObject;
        if (item->FreeAfterRun) {
            workItems_.erase(item);
            release = true;
        }
    }
    CpuContext& cpu = CurrentCpu();
    const KIRQL irql = cpu.Irql;
    const int heldBefore = cpu.HeldCount;
    {
        const RunningDriverScope running(driver);
        routine(device, context);
    }
    OnWorkItemReturned(routine, RoutineExit{irql, cpu.Irql, heldBefore, {cpu.Held, cpu.HeldCount}});
    if (release) {
        delete item;
    }
}

// ---- Passive-level work -------------------------------------------------------------------------

void IoManagerImpl::PostPassive(std::function<void()> work)
{
    std::lock_guard<std::mutex> guard(mutex_);
    passiveWork_.push_back(std::move(work));
    if (!simulated_) {
        if (!worker_.joinable() && !stopping_) {
            worker_ = std::thread([this] { WorkerLoop(); });
        }
        workChanged_.notify_all();
    }
}

void IoManagerImpl::WorkerLoop()
{
    std::unique_lock<std::mutex> guard(mutex_);
    workerId_ = std::this_thread::get_id();
    for (;;) {
        workChanged_.wait(guard, [this] { return stopping_ || !passiveWork_.empty(); });
        if (passiveWork_.empty()) {
            return;
        }
        std::function<void()> work = std::move(passiveWork_.front());
        passiveWork_.pop_front();
        ++passiveRunning_;
        guard.unlock();
        work();
        guard.lock();
        --passiveRunning_;
        workChanged_.notify_all();
    }
}

size_t IoManagerImpl::RunPassiveWork()
{
    if (!simulated_) {
        std::unique_lock<std::mutex> guard(mutex_);
        if (std::this_thread::get_id() != workerId_) {
            workChanged_.wait(guard,
                              [this] { return passiveWork_.empty() && passiveRunning_ == 0; });
        }
        return 0;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return 0;
    }
    size_t count = 0;
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (passiveWork_.empty()) {
                break;
            }
            work = std::move(passiveWork_.front());
            passiveWork_.pop_front();
        }
        work();
        ++count;
    }
    return count;
}

size_t IoManagerImpl::QueuedWorkCount() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return passiveWork_.size();
}

void IoManagerImpl::AfterApplicationCall()
{
    if (simulated_ && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        RunPassiveWork();
    }
}

} // namespace qvx
