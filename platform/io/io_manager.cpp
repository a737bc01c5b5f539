// The I/O manager itself: its construction and teardown (with the report of requests never
// completed), its tables and their lookups, fault injection, and the poisoning of what it
// releases. What it does is in drivers.cpp, devices.cpp, requests.cpp, work_items.cpp and
// files.cpp; its kernel routines are in io_routines.cpp and po.cpp.

#include "platform/io/io_manager.h"
#include "platform/executive/executive.h"
#include "platform/verifier/verifier.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>

namespace qvx {

namespace {

constexpr unsigned char POISON_FILL = 0xDD;

} // namespace

namespace io_detail {

void Poison(void* memory, size_t bytes)
{
    if (memory == nullptr || bytes == 0) {
        return;
    }
    memset(memory, POISON_FILL, bytes);
    ASAN_POISON_MEMORY_REGION(memory, bytes);
}

void Unpoison(void* memory, size_t bytes)
{
    if (memory != nullptr && bytes != 0) {
        ASAN_UNPOISON_MEMORY_REGION(memory, bytes);
    }
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace io_detail

// ---- Construction and teardown ------------------------------------------------------------------

IoManagerImpl::IoManagerImpl(IoSide& side)
    : side_(side), simulated_(Scheduler::Current()->Simulated())
{
    if (Verifier* verifier = Verifier::Current()) {
        verifier->SetCancelSpinLock(&cancelLock_);
    }
    if (simulated_) {
        progressHook_ =
            Scheduler::Current()->AddProgressHook([this] { return RunPassiveWork() != 0; });
    }
}

IoManagerImpl::~IoManagerImpl()
{
    if (progressHook_ != 0) {
        Scheduler::Current()->RemoveProgressHook(progressHook_);
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        workChanged_.notify_all();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    ReportLeftovers();
    if (Verifier* verifier = Verifier::Current()) {
        verifier->SetCancelSpinLock(nullptr);
    }
    for (auto& [irp, record] : irps_) {
        io_detail::Unpoison(record->Memory, record->Bytes);
        io_detail::Unpoison(record->SystemBuffer, record->SystemBufferBytes);
        free(record->Memory);
        free(record->SystemBuffer);
        record->Memory = nullptr;
        record->SystemBuffer = nullptr;
        record->OnComplete = nullptr;
        record->File.reset();
    }
    irps_.clear();
    irpQuarantine_.clear();
    for (auto& [device, record] : devices_) {
        FreeDeviceMemory(record.get());
    }
    devices_.clear();
    for (PIO_WORKITEM item : workItems_) {
        delete item;
    }
    workItems_.clear();
    for (auto& [handle, file] : handles_) {
        free(file->Object);
        file->Object = nullptr;
    }
    for (const auto& file : closing_) {
        free(file->Object);
    }
    handles_.clear();
    closing_.clear();
    drivers_.clear();
}

void IoManagerImpl::ReportLeftovers()
{
    std::vector<std::pair<PIRP, UCHAR>> irps;
    std::vector<std::pair<PFILE_OBJECT, std::u16string>> files;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& [irp, record] : irps_) {
            if (!record->Finished) {
                irps.emplace_back(irp, record->Major);
            }
        }
        for (const auto& file : closing_) {
            if (!file->CloseQueued) {
                files.emplace_back(file->Object, file->Name);
            }
        }
    }
    for (const auto& [irp, major] : irps) {
        VerifierReport(Rule::IRP_NEVER_COMPLETED, "IRP %p (%s) was still outstanding at teardown",
                       static_cast<void*>(irp), MajorName(major));
    }
    for (const auto& [object, name] : files) {
        VerifierReport(Rule::FILE_OBJECT_IRPS_NEVER_COMPLETED,
                       "file object %p (%s): its handle was closed but some of its requests "
                       "never completed, so IRP_MJ_CLOSE could not be sent",
                       static_cast<void*>(object), Utf16ToUtf8(name).c_str());
    }
}

void IoManagerImpl::InjectFailure(IoFault fault, ULONG nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.Inject(fault, nth, status);
}

void IoManagerImpl::SetCallersPrivileged(bool privileged)
{
    callersPrivileged_.store(privileged, std::memory_order_relaxed);
}

void IoManagerImpl::ClearFailures()
{
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.Clear();
}

bool IoManagerImpl::ConsumeFault(IoFault fault, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return faults_.Consume(fault, status);
}

// ---- Tables -------------------------------------------------------------------------------------

std::shared_ptr<IoManagerImpl::IrpRecord> IoManagerImpl::FindIrpLocked(PIRP irp) const
{
    auto it = irps_.find(irp);
    return it != irps_.end() ? it->second : nullptr;
}

IoManagerImpl::DeviceRecord* IoManagerImpl::FindDeviceLocked(PDEVICE_OBJECT device) const
{
    auto it = devices_.find(device);
    return it != devices_.end() ? it->second.get() : nullptr;
}

PDEVICE_OBJECT IoManagerImpl::TopLocked(PDEVICE_OBJECT device) const
{
    int guard = 0;
    while (device != nullptr && device->AttachedDevice != nullptr && ++guard < 64) {
        device = device->AttachedDevice;
    }
    return device;
}

bool IoManagerImpl::HeldByDeviceLocked(const IrpRecord& record, PDEVICE_OBJECT device) const
{
    if (record.Finished) {
        return false;
    }
    const PIRP irp = record.Irp;
    const PIO_STACK_LOCATION base = StackBase(irp);
    for (int i = std::max(irp->CurrentLocation - 1, 0); i < irp->StackCount; ++i) {
        if (base[i].DeviceObject == device) {
            return true;
        }
    }
    return false;
}

bool IoManagerImpl::ReachableLocked(const DeviceRecord* record)
{
    return record != nullptr && (!record->Deleted || record->DeletePending);
}

bool IoManagerImpl::ReferencedByFileLocked(PDEVICE_OBJECT device) const
{
    auto references = [device](const std::shared_ptr<FileRecord>& file) {
        return file->Object != nullptr && (file->Device == device || file->Target == device);
    };
    for (const auto& [handle, file] : handles_) {
        if (references(file)) {
            return true;
        }
    }
    for (const auto& file : closing_) {
        if (references(file)) {
            return true;
        }
    }
    for (const auto& file : opening_) {
        if (references(file)) {
            return true;
        }
    }
    return false;
}

bool IoManagerImpl::StillReferencedLocked(PDEVICE_OBJECT device) const
{
    return ReferencedByFileLocked(device) || device->AttachedDevice != nullptr;
}

} // namespace qvx
