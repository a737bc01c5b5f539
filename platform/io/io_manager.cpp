// The I/O manager's machine face: loading and unloading drivers, the application side of
// I/O (handles, file objects, synchronous and overlapped requests, cancel, close), the
// passive-level work queue and teardown. The request engine itself is in platform/io/io.cpp.

#include "platform/io/io_manager.h"
#include "platform/executive/executive.h"
#include "platform/io/names.h"
#include "platform/io/pnp.h"
#include "platform/io/registry.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace qvx {

namespace {

constexpr unsigned char OUTPUT_FILL = 0xCD; // output bytes the driver never wrote
constexpr ULONG FILE_OPEN_DISPOSITION = 0x00000001;

std::string Narrow(std::u16string_view text)
{
    return Utf16ToUtf8(text);
}

} // namespace

// What an application request leaves behind for its caller.
struct IoRequestState
{
    std::mutex Lock;
    std::condition_variable Changed;
    bool Done = false;
    IoResult Result;
    NTSTATUS DispatchStatus = STATUS_PENDING;
    PIRP Irp = nullptr;
    std::vector<UCHAR> UserOutput; // the caller's buffer for neither-I/O output
    std::vector<UCHAR> UserInput;  // the caller's buffer for neither-I/O input
    // What the request was, for reports: built only when one is made.
    std::string Description;
    UCHAR Major = 0;
    std::shared_ptr<IoManagerImpl::FileRecord> File;

    std::string Describe() const
    {
        if (File == nullptr) {
            return Description;
        }
        return std::string(MajorName(Major)) + " on " + File->NarrowName;
    }

    void Complete(const IoResult& result)
    {
        std::lock_guard<std::mutex> guard(Lock);
        Result = result;
        Done = true;
        Irp = nullptr;
        Changed.notify_all();
    }
};

namespace {

std::shared_ptr<IoRequestState> CompletedState(NTSTATUS status, const char* description)
{
    auto state = std::make_shared<IoRequestState>();
    state->Description = description;
    state->DispatchStatus = status;
    IoResult result;
    result.Status = status;
    state->Complete(result);
    return state;
}

const IoResult& WaitForState(IoRequestState& state)
{
    IoManagerImpl& io = IoSide::Current().IoCore();
    Scheduler& scheduler = *Scheduler::Current();
    if (scheduler.Simulated()) {
        bool done = false;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            done = state.Done;
        }
        if (done) {
            io.AfterApplicationCall();
            return state.Result;
        }
        const std::string what = "the application's " + state.Describe();
        scheduler.RunUntil(
            [&state] {
                std::lock_guard<std::mutex> guard(state.Lock);
                return state.Done;
            },
            what.c_str());
        io.AfterApplicationCall();
    } else {
        std::unique_lock<std::mutex> guard(state.Lock);
        state.Changed.wait(guard, [&state] { return state.Done; });
    }
    return state.Result;
}

} // namespace

// ---- IoRequest --------------------------------------------------------------------------------

bool IoRequest::Done() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->Done;
}

IoResult IoRequest::Result() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    if (!state_->Done) {
        return IoResult();
    }
    return state_->Result;
}

const IoResult& IoRequest::Wait()
{
    return WaitForState(*state_);
}

NTSTATUS IoRequest::DispatchStatus() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->DispatchStatus;
}

PIRP IoRequest::Irp() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->Irp;
}

// ---- Construction and teardown ----------------------------------------------------------

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
                       static_cast<void*>(object), Narrow(name).c_str());
    }
}

void IoManagerImpl::InjectFailure(IoFault fault, ULONG nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.Inject(fault, nth, status);
}

void IoManagerImpl::ClearFailures()
{
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.Clear();
}

// ---- Drivers ------------------------------------------------------------------------------------

PDRIVER_OBJECT IoManagerImpl::CreateBuiltInDriver(std::u16string_view name)
{
    auto record = std::make_unique<DriverRecord>();
    memset(&record->Object, 0, sizeof(record->Object));
    memset(&record->Extension, 0, sizeof(record->Extension));
    record->DriverName = u"\\Driver\\" + std::u16string(name);
    record->ServiceName = std::u16string(name);
    record->BuiltIn = true;
    DRIVER_OBJECT& object = record->Object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    object.DriverExtension = &record->Extension;
    record->Extension.DriverObject = &object;
    object.DriverName.Buffer = record->DriverName.data();
    object.DriverName.Length = static_cast<USHORT>(record->DriverName.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    record->Extension.ServiceKeyName.Buffer = record->ServiceName.data();
    record->Extension.ServiceKeyName.Length =
        static_cast<USHORT>(record->ServiceName.size() * sizeof(WCHAR));
    record->Extension.ServiceKeyName.MaximumLength = record->Extension.ServiceKeyName.Length;
    for (auto& dispatch : object.MajorFunction) {
        dispatch = io_detail::DefaultDispatch;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    PDRIVER_OBJECT driver = &record->Object;
    drivers_[driver] = std::move(record);
    return driver;
}

void IoManagerImpl::ReleaseBuiltInDriver(PDRIVER_OBJECT driver)
{
    while (driver->DeviceObject != nullptr) {
        DestroyDeviceQuietly(driver->DeviceObject);
    }
    ReleaseDriverObject(driver);
}

void IoManagerImpl::ReleaseDriverObject(PDRIVER_OBJECT driver)
{
    std::unique_ptr<DriverRecord> record;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = drivers_.find(driver);
        if (it == drivers_.end()) {
            return;
        }
        record = std::move(it->second);
        drivers_.erase(it);
    }
}

bool IoManagerImpl::IsDriverLoaded(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return drivers_.count(driver) != 0;
}

PDRIVER_OBJECT IoManagerImpl::LoadDriver(std::u16string_view serviceName,
                                         PDRIVER_INITIALIZE driverEntry, NTSTATUS* status,
                                         std::vector<ULONG> poolTags)
{
    auto fail = [status](NTSTATUS failure) -> PDRIVER_OBJECT {
        if (status != nullptr) {
            *status = failure;
        }
        return nullptr;
    };
    if (driverEntry == nullptr || serviceName.empty() ||
        serviceName.find(u'\\') != std::u16string_view::npos) {
        return fail(STATUS_INVALID_PARAMETER);
    }
    CheckIrqlCeiling("DriverEntry");
    const std::u16string keyPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
    if (!side_.RegistryCore().CreateKey(RegText(keyPath))) {
        return fail(STATUS_OBJECT_NAME_INVALID);
    }
    PDRIVER_OBJECT driver = CreateBuiltInDriver(serviceName);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DriverRecord& record = *drivers_[driver];
        record.BuiltIn = false;
        record.PoolTags = std::move(poolTags);
    }
    driver->DriverInit = driverEntry;
    // The path belongs to the system and goes away after DriverEntry: the driver copies it.
    const size_t bytes = keyPath.size() * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(malloc(bytes + sizeof(WCHAR)));
    memcpy(buffer, keyPath.data(), bytes);
    buffer[keyPath.size()] = 0;
    UNICODE_STRING path;
    path.Buffer = buffer;
    path.Length = static_cast<USHORT>(bytes);
    path.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    const KIRQL irql = KeGetCurrentIrql();
    const NTSTATUS result = driverEntry(driver, &path);
    OnDriverRoutineReturned(("DriverEntry of " + Narrow(serviceName)).c_str(), irql,
                            KeGetCurrentIrql());
    memset(buffer, 0xDD, bytes + sizeof(WCHAR));
    free(buffer);
    if (!NT_SUCCESS(result)) {
        if (driver->DeviceObject != nullptr) {
            // Its devices still point at the driver object, so it stays until teardown.
            VerifierReport(Rule::DRIVER_ENTRY_FAILED_WITH_DEVICES,
                           "DriverEntry of %s failed with %#x and left device object %p behind",
                           Narrow(serviceName).c_str(), static_cast<unsigned>(result),
                           static_cast<void*>(driver->DeviceObject));
        } else {
            ReleaseDriverObject(driver);
        }
        return fail(result);
    }
    // The I/O manager finishes devices created in DriverEntry; AddDevice's are the driver's.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    }
    if (status != nullptr) {
        *status = result;
    }
    return driver;
}

NTSTATUS IoManagerImpl::UnloadDriver(PDRIVER_OBJECT driver)
{
    CheckIrqlCeiling("DriverUnload");
    std::vector<ULONG> tags;
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = drivers_.find(driver);
        if (it == drivers_.end() || it->second->BuiltIn) {
            return STATUS_INVALID_PARAMETER;
        }
        if (driver->DeviceObject != nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        // A delete-pending device still takes requests (its close at least): the unload
        // waits for it, as on Windows.
        for (const auto& [device, record] : devices_) {
            if (record->DeletePending && device->DriverObject == driver) {
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        tags = it->second->PoolTags;
        name = it->second->ServiceName;
    }
    if (driver->DriverUnload == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KIRQL irql = KeGetCurrentIrql();
    driver->DriverUnload(driver);
    UnloadLeftovers left;
    left.Driver = Narrow(name);
    OnDriverRoutineReturned(("DriverUnload of " + left.Driver).c_str(), irql, KeGetCurrentIrql());
    for (const PoolBlockInfo& block : Pool::Current()->Outstanding()) {
        if (tags.empty() || std::find(tags.begin(), tags.end(), block.Tag) != tags.end()) {
            auto& entry = left.PoolByTag[block.Tag];
            entry.first += 1;
            entry.second += block.Size;
        }
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = workItems_.begin(); it != workItems_.end();) {
            if ((*it)->DriverObject == driver && (*it)->Queued) {
                ++left.WorkItemsQueued;
                ++it;
            } else if ((*it)->DriverObject == driver) {
                delete *it;
                it = workItems_.erase(it);
                ++left.WorkItemsNotFreed;
            } else {
                ++it;
            }
        }
    }
    // One driver is loaded at a time, and the host's own timers are stopped before it unloads,
    // so what is still set, queued, open or registered is the unloading driver's.
    if (Scheduler* scheduler = Scheduler::Current()) {
        scheduler->ListSetObjects(&left.TimersSet, &left.DpcsQueued);
    }
    for (const RegOpenHandle& open : side_.RegistryCore().OpenHandles()) {
        left.KeysOpen.push_back(Narrow(open.Path));
    }
    for (const CallbackRegistrationInfo& registration : side_.NamesCore().Registrations()) {
        left.Callbacks.push_back(Narrow(registration.ObjectName));
    }
    OnDriverUnloaded(left);
    ReleaseDriverObject(driver);
    return STATUS_SUCCESS;
}

// ---- Devices, machine face ------------------------------------------------------------------

namespace {
thread_local int t_applicationContext = 0;
} // namespace

bool InApplicationContext()
{
    return t_applicationContext > 0;
}

bool IoManagerImpl::IsDeletePending(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && record->DeletePending;
}

bool IoManagerImpl::IsDeviceLive(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && !record->Deleted;
}

PDEVICE_OBJECT IoManagerImpl::AttachedTop(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr && !record->Deleted ? TopLocked(device) : nullptr;
}

std::vector<PDEVICE_OBJECT> IoManagerImpl::DevicesAbove(PDEVICE_OBJECT bottom) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<PDEVICE_OBJECT> above;
    const DeviceRecord* record = FindDeviceLocked(bottom);
    if (record == nullptr || record->Poisoned) {
        return above;
    }
    for (PDEVICE_OBJECT d = bottom->AttachedDevice; d != nullptr && above.size() < 64;
         d = d->AttachedDevice) {
        above.push_back(d);
    }
    return above;
}

void IoManagerImpl::SetFinishObserver(IrpFinishObserver* observer)
{
    finishObserver_.store(observer, std::memory_order_release);
}

std::u16string IoManagerImpl::DeviceName(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr ? record->Name : std::u16string();
}

DEVICE_POWER_STATE IoManagerImpl::DevicePowerStateOf(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const DeviceRecord* record = FindDeviceLocked(device);
    return record != nullptr ? record->PowerState : PowerDeviceUnspecified;
}

void IoManagerImpl::DestroyDeviceQuietly(PDEVICE_OBJECT device)
{
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        DeviceRecord* record = FindDeviceLocked(device);
        if (record == nullptr) {
            return;
        }
        if (!record->Deleted) {
            for (const auto& [other, otherRecord] : devices_) {
                if (!otherRecord->Deleted && other->AttachedDevice == device) {
                    other->AttachedDevice = nullptr;
                }
            }
            PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
            while (*link != nullptr && *link != device) {
                link = &(*link)->NextDevice;
            }
            if (*link == device) {
                *link = device->NextDevice;
            }
            name = record->Name;
        }
        auto quarantined = std::find(deletedDevices_.begin(), deletedDevices_.end(), device);
        if (quarantined != deletedDevices_.end()) {
            deletedDevices_.erase(quarantined);
        }
        FreeDeviceMemory(record);
        devices_.erase(device);
    }
    if (!name.empty()) {
        side_.NamesCore().RemoveDevice(name);
    }
}

// ---- Application side ------------------------------------------------------------------------

std::shared_ptr<IoRequestState> IoManagerImpl::Issue(FileHandle handle, const RequestArgs& args)
{
    std::shared_ptr<FileRecord> file;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = handles_.find(handle);
        if (it != handles_.end()) {
            file = it->second;
        }
    }
    if (file == nullptr) {
        return CompletedState(STATUS_INVALID_HANDLE, MajorName(args.MajorFunction));
    }
    return IssueToFile(file, args);
}

std::shared_ptr<IoRequestState> IoManagerImpl::IssueToFile(const std::shared_ptr<FileRecord>& file,
                                                           const RequestArgs& args)
{
    const UCHAR major = args.MajorFunction;
    auto describe = [&] { return std::string(MajorName(major)) + " on " + file->NarrowName; };
    CheckIrqlCeiling("an application request");
    PDEVICE_OBJECT target = file->Target;
    CCHAR stackSize = 0;
    ULONG flags = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (ReachableLocked(FindDeviceLocked(target))) {
            stackSize = target->StackSize;
            flags = target->Flags;
        }
    }
    if (stackSize == 0) {
        return CompletedState(STATUS_NO_SUCH_DEVICE, describe().c_str());
    }
    std::shared_ptr<IrpRecord> record = NewIrp(stackSize);
    if (record == nullptr) {
        return CompletedState(STATUS_INSUFFICIENT_RESOURCES, describe().c_str());
    }
    auto state = std::make_shared<IoRequestState>();
    state->Major = major;
    state->File = file;
    PIRP irp = record->Irp;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file->Object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = args.MinorFunction;
    next->FileObject = file->Object;

    const ULONG inputLength = static_cast<ULONG>(args.Input.size());
    ULONG outputLength = args.OutputLength;
    bool systemBuffer = true;
    bool returnsOutput = false;
    switch (major) {
    case IRP_MJ_CREATE:
        next->Parameters.Create.Options = args.CreateOptions;
        break;
    case IRP_MJ_READ:
        next->Parameters.Read.Length = outputLength;
        systemBuffer = (flags & DO_BUFFERED_IO) != 0;
        returnsOutput = true;
        break;
    case IRP_MJ_WRITE:
        next->Parameters.Write.Length = inputLength;
        systemBuffer = (flags & DO_BUFFERED_IO) != 0;
        outputLength = 0;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.IoControlCode = args.IoControlCode;
        // Direct I/O has no memory descriptor lists here; its codes get a system buffer.
        systemBuffer = (args.IoControlCode & 3) != METHOD_NEITHER;
        returnsOutput = true;
        break;
    default:
        returnsOutput = outputLength != 0;
        break;
    }
    const size_t bufferBytes = std::max<size_t>(inputLength, outputLength);
    if (systemBuffer) {
        if (bufferBytes != 0) {
            // Exactly the size the driver may use, so an overrun shows under ASan.
            record->SystemBuffer = malloc(bufferBytes);
            record->SystemBufferBytes = bufferBytes;
            memset(record->SystemBuffer, OUTPUT_FILL, bufferBytes);
            if (inputLength != 0) {
                memcpy(record->SystemBuffer, args.Input.data(), inputLength);
            }
            irp->AssociatedIrp.SystemBuffer = record->SystemBuffer;
        }
    } else {
        state->UserInput = args.Input;
        state->UserOutput.assign(outputLength, OUTPUT_FILL);
        if (major == IRP_MJ_WRITE) {
            irp->UserBuffer = state->UserInput.empty() ? nullptr : state->UserInput.data();
        } else {
            irp->UserBuffer = state->UserOutput.empty() ? nullptr : state->UserOutput.data();
            next->Parameters.DeviceIoControl.Type3InputBuffer =
                state->UserInput.empty() ? nullptr : state->UserInput.data();
        }
        if (major == IRP_MJ_READ) {
            next->Parameters.Read.Length = outputLength;
        }
    }
    record->LimitInformation = returnsOutput;
    record->OutputLength = outputLength;
    record->Major = major;
    record->Minor = args.MinorFunction;
    IoRequestState* raw = state.get();
    record->OnComplete = [state, systemBuffer, returnsOutput, outputLength](PIRP done) {
        IoResult result;
        result.Status = done->IoStatus.Status;
        result.Information = done->IoStatus.Information;
        if (returnsOutput && !NT_ERROR(result.Status)) {
            const size_t count = std::min<size_t>(result.Information, outputLength);
            const auto* source = static_cast<const UCHAR*>(
                systemBuffer ? done->AssociatedIrp.SystemBuffer : state->UserOutput.data());
            if (source != nullptr && count != 0) {
                result.Data.assign(source, source + count);
            }
        }
        state->Complete(result);
    };
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record->File = file;
        file->LiveIrps.insert(record.get());
    }
    {
        std::lock_guard<std::mutex> guard(raw->Lock);
        raw->Irp = irp;
    }
    // Every request but the close (which may come on any thread) is dispatched in the
    // context of the application's thread.
    const bool callerContext = major != IRP_MJ_CLOSE;
    t_applicationContext += callerContext ? 1 : 0;
    const NTSTATUS status = CallDriver(target, irp);
    t_applicationContext -= callerContext ? 1 : 0;
    std::lock_guard<std::mutex> guard(raw->Lock);
    raw->DispatchStatus = status;
    return state;
}

FileHandle IoManagerImpl::Open(std::u16string_view name, ULONG createOptions, NTSTATUS* status)
{
    auto fail = [status](NTSTATUS failure) {
        if (status != nullptr) {
            *status = failure;
        }
        return INVALID_FILE_HANDLE;
    };
    CheckIrqlCeiling("Open");
    PDEVICE_OBJECT device = side_.NamesCore().ResolveForOpen(name);
    if (device == nullptr) {
        return fail(STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // A Plug and Play device takes opens only once its start has succeeded.
    if (!side_.PnpCore().OpenAllowed(device)) {
        return fail(STATUS_NO_SUCH_DEVICE);
    }
    PDEVICE_OBJECT target = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const DeviceRecord* record = FindDeviceLocked(device);
        if (record == nullptr || record->Deleted) {
            return fail(STATUS_NO_SUCH_DEVICE);
        }
        target = TopLocked(device);
        // A device still being initialised takes no requests.
        if (((device->Flags | target->Flags) & DO_DEVICE_INITIALIZING) != 0) {
            return fail(STATUS_NO_SUCH_DEVICE);
        }
        if ((device->Flags & DO_EXCLUSIVE) != 0) {
            for (const auto& [handle, open] : handles_) {
                if (open->Device == device) {
                    return fail(STATUS_ACCESS_DENIED);
                }
            }
        }
    }
    auto file = std::make_shared<FileRecord>();
    file->Object = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    file->Object->Type = IO_TYPE_FILE;
    file->Object->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    file->Object->DeviceObject = device;
    file->Device = device;
    file->Target = target;
    file->Name = std::u16string(name);
    file->NarrowName = Narrow(name);
    RequestArgs create;
    create.MajorFunction = IRP_MJ_CREATE;
    create.CreateOptions = createOptions;
    if ((createOptions >> 24) == 0) {
        create.CreateOptions |= FILE_OPEN_DISPOSITION << 24;
    }
    // As on Windows, the file object references the device from the moment the create is
    // sent: a removal that deletes the device meanwhile leaves it delete-pending, never freed
    // under the create.
    {
        std::lock_guard<std::mutex> guard(mutex_);
        opening_.insert(file);
    }
    std::shared_ptr<IoRequestState> state = IssueToFile(file, create);
    const NTSTATUS result = WaitForState(*state).Status;
    if (!NT_SUCCESS(result)) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            opening_.erase(file);
        }
        // A failed create gets neither cleanup nor close.
        ReleaseFileObject(file);
        return fail(result);
    }
    FileHandle handle = INVALID_FILE_HANDLE;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        opening_.erase(file);
        handle = nextHandle_++;
        file->Handle = handle;
        handles_[handle] = file;
    }
    if (status != nullptr) {
        *status = result;
    }
    return handle;
}

IoResult IoManagerImpl::Read(FileHandle handle, ULONG length)
{
    return ReadAsync(handle, length)->Wait();
}

IoResult IoManagerImpl::Write(FileHandle handle, const std::vector<UCHAR>& data)
{
    return WriteAsync(handle, data)->Wait();
}

IoResult IoManagerImpl::Flush(FileHandle handle)
{
    return FlushAsync(handle)->Wait();
}

IoResult IoManagerImpl::DeviceIoControl(FileHandle handle, ULONG code,
                                        const std::vector<UCHAR>& input, ULONG outputLength)
{
    return DeviceIoControlAsync(handle, code, input, outputLength)->Wait();
}

IoResult IoManagerImpl::Send(FileHandle handle, const RequestArgs& args)
{
    return SendAsync(handle, args)->Wait();
}

IoRequestPtr IoManagerImpl::ReadAsync(FileHandle handle, ULONG length)
{
    RequestArgs args;
    args.MajorFunction = IRP_MJ_READ;
    args.OutputLength = length;
    return SendAsync(handle, args);
}

IoRequestPtr IoManagerImpl::WriteAsync(FileHandle handle, const std::vector<UCHAR>& data)
{
    RequestArgs args;
    args.MajorFunction = IRP_MJ_WRITE;
    args.Input = data;
    return SendAsync(handle, args);
}

IoRequestPtr IoManagerImpl::FlushAsync(FileHandle handle)
{
    RequestArgs args;
    args.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    return SendAsync(handle, args);
}

IoRequestPtr IoManagerImpl::DeviceIoControlAsync(FileHandle handle, ULONG code,
                                                 const std::vector<UCHAR>& input,
                                                 ULONG outputLength)
{
    RequestArgs args;
    args.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    args.IoControlCode = code;
    args.Input = input;
    args.OutputLength = outputLength;
    return SendAsync(handle, args);
}

IoRequestPtr IoManagerImpl::SendAsync(FileHandle handle, const RequestArgs& args)
{
    if (args.MajorFunction == IRP_MJ_CREATE || args.MajorFunction == IRP_MJ_CLEANUP ||
        args.MajorFunction == IRP_MJ_CLOSE || args.MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        // Those belong to Open and Close.
        return std::make_shared<IoRequest>(
            CompletedState(STATUS_INVALID_PARAMETER, MajorName(args.MajorFunction)));
    }
    return std::make_shared<IoRequest>(Issue(handle, args));
}

NTSTATUS IoManagerImpl::CancelIo(FileHandle handle)
{
    CheckIrqlCeiling("CancelIo");
    std::vector<std::shared_ptr<IrpRecord>> targets;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        for (IrpRecord* live : it->second->LiveIrps) {
            std::shared_ptr<IrpRecord> record = FindIrpLocked(live->Irp);
            if (record != nullptr && !record->Finished && record->Major != IRP_MJ_CREATE &&
                record->Major != IRP_MJ_CLEANUP && record->Major != IRP_MJ_CLOSE) {
                ++record->CancelReferences;
                targets.push_back(record);
            }
        }
    }
    // Oldest first, as the requests were issued.
    std::sort(targets.begin(), targets.end(),
              [](const auto& a, const auto& b) { return a->Sequence < b->Sequence; });
    for (const auto& record : targets) {
        bool finished = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            finished = record->Finished;
        }
        if (!finished) {
            CancelIrpRecord(record);
        }
        DropCancelReference(record);
    }
    AfterApplicationCall();
    return STATUS_SUCCESS;
}

bool IoManagerImpl::CancelRequest(const IoRequestPtr& request)
{
    CheckIrqlCeiling("CancelIo");
    std::shared_ptr<IrpRecord> record;
    {
        // The request's IRP is cleared when it completes, before the IRP is released under
        // this mutex: read here, it is still this request's.
        std::lock_guard<std::mutex> guard(mutex_);
        const PIRP irp = request->Irp();
        if (irp == nullptr) {
            return false;
        }
        record = FindIrpLocked(irp);
        if (record == nullptr || record->Finished) {
            return false;
        }
        ++record->CancelReferences;
    }
    CancelIrpRecord(record);
    DropCancelReference(record);
    AfterApplicationCall();
    return true;
}

NTSTATUS IoManagerImpl::Close(FileHandle handle)
{
    CheckIrqlCeiling("Close");
    std::shared_ptr<FileRecord> file;
    bool live = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        file = it->second;
        handles_.erase(it);
        live = ReachableLocked(FindDeviceLocked(file->Target));
    }
    if (live) {
        RequestArgs cleanup;
        cleanup.MajorFunction = IRP_MJ_CLEANUP;
        WaitForState(*IssueToFile(file, cleanup));
    }
    bool closeNow = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        file->Closing = true;
        closing_.insert(file);
        if (file->LiveIrps.empty() && !file->CloseQueued) {
            file->CloseQueued = true;
            closeNow = true;
        }
    }
    if (closeNow) {
        SendClose(file);
    }
    AfterApplicationCall();
    return STATUS_SUCCESS;
}

void IoManagerImpl::SendClose(const std::shared_ptr<FileRecord>& file)
{
    bool live = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        live = ReachableLocked(FindDeviceLocked(file->Target));
    }
    if (live) {
        RequestArgs close;
        close.MajorFunction = IRP_MJ_CLOSE;
        WaitForState(*IssueToFile(file, close));
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closing_.erase(file);
    }
    ReleaseFileObject(file);
}

void IoManagerImpl::ReleaseFileObject(const std::shared_ptr<FileRecord>& file)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (file->Object == nullptr) {
            return;
        }
        memset(file->Object, 0xDD, sizeof(FILE_OBJECT));
        free(file->Object);
        file->Object = nullptr;
    }
    FinishDeletePending(file->Device);
    if (file->Target != file->Device) {
        FinishDeletePending(file->Target);
    }
}

PFILE_OBJECT IoManagerImpl::FileObjectOf(FileHandle handle) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = handles_.find(handle);
    return it != handles_.end() ? it->second->Object : nullptr;
}

size_t IoManagerImpl::OpenHandleCount(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (device == nullptr) {
        return handles_.size();
    }
    const PDEVICE_OBJECT top = TopLocked(device);
    size_t count = 0;
    for (const auto& [handle, file] : handles_) {
        count += (file->Device == device || file->Target == top) ? 1 : 0;
    }
    return count;
}

size_t IoManagerImpl::PendingCloseCount() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return closing_.size();
}

// ---- Passive-level work ---------------------------------------------------------------------

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
