// Events, waits, time and the per-thread last error.
#include "host/win32/win32_internal.h"

#include <map>

namespace qvx::win32 {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

HANDLE NewEvent(BOOL manualReset, BOOL initialState)
{
    auto event = std::make_shared<Event>();
    event->Manual = manualReset != FALSE;
    event->Signalled = initialState != FALSE;
    return InsertObject(std::move(event));
}

// Takes a signalled event's signal (an auto-reset one is reset). Under TableLock.
bool TakeSignalLocked(Event& event)
{
    if (!event.Signalled) {
        return false;
    }
    if (!event.Manual) {
        event.Signalled = false;
    }
    return true;
}

} // namespace

} // namespace qvx::win32

using namespace qvx::win32;

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName)
{
    if (lpName != nullptr) {
        // Named events are shared between processes; there is one process here.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return NewEvent(bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return NewEvent(bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto event = Lookup<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(TableLock());
    event->Signalled = true;
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto event = Lookup<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(TableLock());
    event->Signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Only events are waitable here (Windows also waits on files; serial programs use the
    // OVERLAPPED's event).
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        auto event = Lookup<Event>(lpHandles[i]);
        if (!event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(std::move(event));
    }
    DWORD result = WAIT_TIMEOUT;
    auto done = [&] {
        PumpCompletions();
        std::lock_guard<std::mutex> guard(TableLock());
        if (bWaitAll) {
            for (const auto& event : events) {
                if (!event->Signalled) {
                    return false;
                }
            }
            for (const auto& event : events) {
                TakeSignalLocked(*event);
            }
            result = WAIT_OBJECT_0;
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (TakeSignalLocked(*events[i])) {
                result = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    };
    WaitUntil(done, dwMilliseconds, "WaitForMultipleObjects");
    return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        PumpCompletions();
        return;
    }
    WaitUntil(
        [] {
            PumpCompletions();
            return false;
        },
        dwMilliseconds == INFINITE ? INFINITE - 1 : dwMilliseconds, "Sleep");
}

DWORD WINAPI GetTickCount(void)
{
    return static_cast<DWORD>(NowMs());
}

} // extern "C"
