// Handles, files, requests and overlapped completion.
#include "host/win32/win32_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <list>
#include <map>
#include <thread>

namespace qvx::win32 {

namespace {

// An outstanding request. Overlapped ones are finished by PumpCompletions; synchronous
// ones (Overlapped null) are listed only so that CancelIoEx can reach them.
struct Operation
{
    std::shared_ptr<PendingRequest> Request;
    std::shared_ptr<File> Owner;
    LPOVERLAPPED Overlapped = nullptr;
    Destination Target;
    std::thread::id Thread;
};

// Under TableLock.
std::map<uintptr_t, std::shared_ptr<Object>> objects;
uintptr_t nextHandle = 0x100;
std::list<Operation> operations;

// Stores a completed request's results where the caller asked; the byte count.
DWORD Deliver(const Completion& completion, const Destination& target)
{
    if (target.EventMask != nullptr) {
        // A failed wait reports no events.
        DWORD mask = 0;
        if (completion.Status >= 0) {
            std::memcpy(&mask, completion.Data.data(),
                        std::min<size_t>(completion.Data.size(), sizeof(mask)));
        }
        *target.EventMask = mask;
    } else if (target.Buffer != nullptr && !completion.Data.empty()) {
        std::memcpy(target.Buffer, completion.Data.data(),
                    std::min<size_t>(completion.Data.size(), target.Length));
    }
    return static_cast<DWORD>(completion.Information);
}

void FillOverlapped(LPOVERLAPPED overlapped, const Completion& completion, DWORD count)
{
    overlapped->InternalHigh = count;
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(completion.Status));
}

void SignalLocked(HANDLE handle)
{
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != objects.end()) {
        if (auto* event = dynamic_cast<Event*>(it->second.get())) {
            event->Signalled = true;
        }
    }
}

// The device name CreateFile opens: \\.\COMn as is, bare COM1..COM9 as \\.\COMn; empty for
// a name that is no device (bare COM10 is a relative file name on Windows).
std::u16string DeviceName(const std::u16string& name)
{
    if (name.rfind(u"\\\\.\\", 0) == 0 || name.rfind(u"\\??\\", 0) == 0) {
        return name;
    }
    std::u16string upper;
    for (const char16_t c : name) {
        upper.push_back(c < 0x80 ? static_cast<char16_t>(std::toupper(c)) : c);
    }
    // Windows ignores a trailing colon on reserved DOS names ("COM1:").
    if (!upper.empty() && upper.back() == u':') {
        upper.pop_back();
    }
    const bool reserved = upper.size() == 4 &&
                          (upper.rfind(u"COM", 0) == 0 || upper.rfind(u"LPT", 0) == 0) &&
                          upper[3] >= u'1' && upper[3] <= u'9';
    return reserved ? u"\\\\.\\" + upper : std::u16string();
}

HANDLE Open(const std::u16string& name, DWORD creationDisposition, DWORD flags)
{
    if (!MachineRunning()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string device = DeviceName(name);
    if (device.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        // Communications resources must be opened with OPEN_EXISTING.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int32_t status = 0;
    const uint32_t id = OpenFile(device, &status);
    if (id == 0) {
        SetLastError(status >= 0 ? ERROR_FILE_NOT_FOUND : ErrorFromStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>();
    file->Id = id;
    file->Overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    return InsertObject(std::move(file));
}

} // namespace

std::mutex& TableLock()
{
    static std::mutex lock;
    return lock;
}

HANDLE InsertObject(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> guard(TableLock());
    // Handles are multiples of 4, as on Windows, and never reused.
    const uintptr_t handle = nextHandle;
    nextHandle += 4;
    objects.emplace(handle, std::move(object));
    return reinterpret_cast<HANDLE>(handle);
}

std::shared_ptr<Object> LookupObject(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(TableLock());
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveObject(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(TableLock());
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects.end()) {
        return nullptr;
    }
    std::shared_ptr<Object> object = std::move(it->second);
    objects.erase(it);
    return object;
}

std::shared_ptr<File> FileOf(HANDLE handle)
{
    auto file = Lookup<File>(handle);
    if (!file || !MachineRunning()) {
        file.reset();
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return file;
}

void PumpCompletions()
{
    std::lock_guard<std::mutex> guard(TableLock());
    for (auto it = operations.begin(); it != operations.end();) {
        if (it->Overlapped == nullptr || !it->Request->Done()) {
            ++it;
            continue;
        }
        const Completion completion = it->Request->Result();
        const DWORD count = Deliver(completion, it->Target);
        FillOverlapped(it->Overlapped, completion, count);
        if (it->Overlapped->hEvent != nullptr) {
            SignalLocked(it->Overlapped->hEvent);
        }
        it = operations.erase(it);
    }
}

void FinishCompletedRequests()
{
    PumpCompletions();
}

bool WaitForOperation(LPOVERLAPPED overlapped, uint32_t timeoutMs)
{
    std::shared_ptr<PendingRequest> request;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        for (const Operation& operation : operations) {
            if (operation.Overlapped == overlapped) {
                request = operation.Request;
            }
        }
    }
    if (!request) {
        return false;
    }
    WaitUntil([&] { return request->Done(); }, timeoutMs, "GetOverlappedResult");
    PumpCompletions();
    return true;
}

bool CancelOperations(const std::shared_ptr<File>& file, LPOVERLAPPED overlapped,
                      bool callingThreadOnly)
{
    std::vector<std::shared_ptr<PendingRequest>> targets;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        for (const Operation& operation : operations) {
            if (operation.Owner == file &&
                (overlapped == nullptr || operation.Overlapped == overlapped) &&
                (!callingThreadOnly || operation.Thread == std::this_thread::get_id())) {
                targets.push_back(operation.Request);
            }
        }
    }
    bool any = false;
    for (const auto& request : targets) {
        any = request->Cancel() || any;
    }
    return any;
}

BOOL Issue(const std::shared_ptr<File>& file, RequestKind kind, DWORD code,
           std::vector<uint8_t> input, const Destination& destination, LPDWORD transferred,
           LPOVERLAPPED overlapped)
{
    const uint32_t outputLength =
        destination.EventMask != nullptr ? 4u : (destination.Buffer ? destination.Length : 0u);
    const bool async = file->Overlapped && overlapped != nullptr;
    if (file->Overlapped && overlapped == nullptr && kind != RequestKind::Control) {
        // Windows requires an OVERLAPPED for reads and writes on an overlapped handle.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (async) {
        {
            std::lock_guard<std::mutex> guard(TableLock());
            overlapped->Internal = static_cast<ULONG_PTR>(NT_STATUS_PENDING);
            overlapped->InternalHigh = 0;
        }
        if (overlapped->hEvent != nullptr) {
            ResetEvent(overlapped->hEvent);
        }
    }
    std::shared_ptr<PendingRequest> request =
        StartRequest(file->Id, kind, code, std::move(input), outputLength);
    if (async && !request->Done()) {
        {
            std::lock_guard<std::mutex> guard(TableLock());
            operations.push_back(
                Operation{request, file, overlapped, destination, std::this_thread::get_id()});
        }
        // It may have completed while being recorded.
        PumpCompletions();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    std::list<Operation>::iterator listed;
    {
        std::lock_guard<std::mutex> guard(TableLock());
        listed = operations.insert(operations.end(), Operation{request, file, nullptr, destination,
                                                               std::this_thread::get_id()});
    }
    const Completion completion = request->Wait();
    {
        std::lock_guard<std::mutex> guard(TableLock());
        operations.erase(listed);
    }
    const DWORD count = Deliver(completion, destination);
    if (transferred != nullptr) {
        // A synchronous call that failed reports no bytes; a warning (more data) does.
        *transferred = static_cast<uint32_t>(completion.Status) >= 0xC0000000u ? 0 : count;
    }
    if (async) {
        {
            std::lock_guard<std::mutex> guard(TableLock());
            FillOverlapped(overlapped, completion, count);
        }
        if (overlapped->hEvent != nullptr) {
            SetEvent(overlapped->hEvent);
        }
    }
    return ReturnStatus(completion.Status);
}

BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
             DWORD outputLength, LPDWORD returned)
{
    auto file = FileOf(handle);
    if (!file) {
        return FALSE;
    }
    const auto* bytes = static_cast<const uint8_t*>(input);
    std::vector<uint8_t> data(bytes, bytes + (bytes ? inputLength : 0));
    DWORD count = 0;
    const BOOL ok = Issue(file, RequestKind::Control, code, std::move(data),
                          Destination{output, outputLength, nullptr}, &count, nullptr);
    if (returned != nullptr) {
        *returned = count;
    }
    return ok;
}

} // namespace qvx::win32

using namespace qvx::win32;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Open(lpFileName, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Open(Widen(lpFileName), dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::shared_ptr<Object> object = RemoveObject(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (auto* file = dynamic_cast<File*>(object.get())) {
        if (!MachineRunning()) {
            // The system it was opened on has shut down.
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // Cleanup cancels the handle's outstanding requests; their OVERLAPPEDs are filled
        // when they complete, as on Windows.
        CloseFile(file->Id);
        PumpCompletions();
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    return Issue(file, RequestKind::Read, 0, {},
                 Destination{lpBuffer, nNumberOfBytesToRead, nullptr}, lpNumberOfBytesRead,
                 lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    const auto* bytes = static_cast<const uint8_t*>(lpBuffer);
    std::vector<uint8_t> data(bytes, bytes + (bytes ? nNumberOfBytesToWrite : 0));
    return Issue(file, RequestKind::Write, 0, std::move(data), Destination{},
                 lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    return Issue(file, RequestKind::Flush, 0, {}, Destination{}, nullptr, nullptr);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    auto file = FileOf(hDevice);
    if (!file) {
        return FALSE;
    }
    const auto* bytes = static_cast<const uint8_t*>(lpInBuffer);
    std::vector<uint8_t> data(bytes, bytes + (bytes ? nInBufferSize : 0));
    return Issue(file, RequestKind::Control, dwIoControlCode, std::move(data),
                 Destination{lpOutBuffer, nOutBufferSize, nullptr}, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (!FileOf(hFile) || lpOverlapped == nullptr) {
        if (lpOverlapped == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return FALSE;
    }
    // The OVERLAPPED is filled under the table's lock, maybe by another thread's wait.
    auto snapshot = [lpOverlapped](ULONG_PTR* status, ULONG_PTR* information) {
        std::lock_guard<std::mutex> guard(TableLock());
        *status = lpOverlapped->Internal;
        *information = lpOverlapped->InternalHigh;
    };
    ULONG_PTR status = 0, information = 0;
    PumpCompletions();
    snapshot(&status, &information);
    if (status == static_cast<ULONG_PTR>(NT_STATUS_PENDING)) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitForOperation(lpOverlapped, INFINITE);
        snapshot(&status, &information);
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(information);
    }
    return ReturnStatus(static_cast<int32_t>(static_cast<uint32_t>(status)));
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    // Only the calling thread's requests, as Windows does.
    CancelOperations(file, nullptr, true);
    PumpCompletions();
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    if (!CancelOperations(file, lpOverlapped, false)) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    PumpCompletions();
    return TRUE;
}

} // extern "C"
