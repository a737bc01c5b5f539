// The application side of I/O: file objects and handles, synchronous and overlapped requests
// built as an application's would be, waiting for them, cancelling them, and closing.

#include "platform/executive/executive.h"
#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/pnp.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qvx {

namespace {

constexpr unsigned char OUTPUT_FILL = 0xCD; // output bytes the driver never wrote
constexpr ULONG FILE_OPEN_DISPOSITION = 0x00000001;
thread_local int t_applicationContext = 0;

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
    std::function<void()> Notify; // OnCompletion's callback while the request is pending

    std::string Describe() const
    {
        if (File == nullptr) {
            return Description;
        }
        return std::string(MajorName(Major)) + " on " + File->NarrowName;
    }

    void Complete(const IoResult& result)
    {
        std::function<void()> notify;
        {
            std::lock_guard<std::mutex> guard(Lock);
            Result = result;
            Done = true;
            Irp = nullptr;
            notify = std::move(Notify);
            Notify = nullptr;
            Changed.notify_all();
        }
        // Outside the lock: the callback may look at the request.
        if (notify) {
            notify();
        }
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

bool InApplicationContext()
{
    return t_applicationContext > 0;
}

// ---- Requests as the application holds them -----------------------------------------------------

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

void IoRequest::OnCompletion(std::function<void()> notify)
{
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        if (!state_->Done) {
            state_->Notify = std::move(notify);
            return;
        }
    }
    notify();
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

// ---- Issuing requests ---------------------------------------------------------------------------

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

// ---- Handles ------------------------------------------------------------------------------------

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
    file->NarrowName = Utf16ToUtf8(name);
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

} // namespace qvx
