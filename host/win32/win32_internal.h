// Shared by the Win32 layer's files: the handle table, overlapped operations and the
// status translation. Built with the Win32 include folder; never sees kernel headers.
#pragma once

#include "host/win32/bridge.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qvx::win32 {

constexpr int32_t NT_STATUS_PENDING = 0x103;
constexpr int32_t NT_STATUS_TIMEOUT = 0x102;

// The Win32 error of an NTSTATUS (ERROR_MR_MID_NOT_FOUND when it has none).
DWORD ErrorFromStatus(int32_t status);
// What a call returns for a completed request: TRUE for success and informational statuses
// (a time-out is a short count), FALSE with the mapped last error for warnings and errors.
BOOL ReturnStatus(int32_t status);

// One mutex guards the handle table, event states and the overlapped operations; it is
// never held while the machine is driven.
std::mutex& TableLock();

struct Object
{
    virtual ~Object() = default;
};

struct Event final : Object
{
    bool Manual = false;
    bool Signalled = false; // under TableLock
};

struct File final : Object
{
    uint32_t Id = 0;
    bool Overlapped = false;
};

HANDLE InsertObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupObject(HANDLE handle);
std::shared_ptr<Object> RemoveObject(HANDLE handle);
template <class T> std::shared_ptr<T> Lookup(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

// A file handle for a call, or nullptr with ERROR_INVALID_HANDLE set.
std::shared_ptr<File> FileOf(HANDLE handle);

// Where a request's results go when it completes.
struct Destination
{
    void* Buffer = nullptr; // read data or control output
    DWORD Length = 0;
    LPDWORD EventMask = nullptr; // WaitCommEvent
};

// Sends a request and, on an overlapped handle with an OVERLAPPED, returns at once with
// ERROR_IO_PENDING unless it already completed; otherwise waits for it. `transferred`
// receives the byte count of a completed request.
BOOL Issue(const std::shared_ptr<File>& file, RequestKind kind, DWORD code,
           std::vector<uint8_t> input, const Destination& destination, LPDWORD transferred,
           LPOVERLAPPED overlapped);
// A control request waited for even on an overlapped handle (the comm calls do so).
BOOL Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
             DWORD outputLength, LPDWORD returned = nullptr);

// Finishes every completed overlapped operation: results stored, OVERLAPPED filled,
// events set. Called by every wait.
void PumpCompletions();
// Waits for the OVERLAPPED's operation; FALSE when there is none outstanding.
bool WaitForOperation(LPOVERLAPPED overlapped, uint32_t timeoutMs);
// Cancels the file's outstanding requests: the OVERLAPPED's, or all of them when it is null
// (only the calling thread's if asked). FALSE when none matched.
bool CancelOperations(const std::shared_ptr<File>& file, LPOVERLAPPED overlapped,
                      bool callingThreadOnly);

std::u16string Widen(LPCSTR text);
std::string Narrow(const std::u16string& text);

} // namespace qvx::win32
