// The service control manager of this process: its database is the registry's Services key,
// its services run in threads of this process (see winsvc.h).
#include "host/win32/win32_internal.h"

#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <unistd.h>

using namespace qvx::win32;

namespace {

constexpr auto DISPATCHER_WAIT = std::chrono::seconds(30);

struct ServiceState
{
    SERVICE_STATUS Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    LPHANDLER_FUNCTION_EX Handler = nullptr;
    LPVOID Context = nullptr;
    bool DeleteWhenStopped = false;
};

struct Dispatcher
{
    const SERVICE_TABLE_ENTRYA* Table = nullptr;
    std::vector<std::thread> Threads;
    std::vector<std::string> Started;
};

// Guards everything below; never held while a service routine or handler runs.
std::mutex managerLock;
std::condition_variable managerChanged;
std::map<std::string, ServiceState> states; // by upper-case name
std::vector<Dispatcher*> dispatchers;
std::map<uintptr_t, std::string> handles; // SC_HANDLE → service name, "" for the manager
uintptr_t nextHandle = 0x5c0;

std::string Upper(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return text;
}

std::u16string KeyOf(const std::string& name)
{
    return u"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + Widen(name.c_str());
}

RegistryValue Dword(const char16_t* name, DWORD value)
{
    RegistryValue entry{name, REG_DWORD, std::vector<uint8_t>(4)};
    for (size_t i = 0; i < 4; ++i) {
        entry.Data[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return entry;
}

RegistryValue Text(const char16_t* name, const std::string& text, uint32_t type = REG_SZ)
{
    RegistryValue entry{name, type, {}};
    for (const char16_t c : Widen(text.c_str()) + u'\0') {
        entry.Data.push_back(static_cast<uint8_t>(c & 0xff));
        entry.Data.push_back(static_cast<uint8_t>(c >> 8));
    }
    return entry;
}

SC_HANDLE NewHandleLocked(const std::string& name)
{
    const uintptr_t handle = nextHandle;
    nextHandle += 4;
    handles.emplace(handle, name);
    return reinterpret_cast<SC_HANDLE>(handle);
}

// The service an SC_HANDLE names; FALSE with ERROR_INVALID_HANDLE for the manager's or none.
bool ServiceOfLocked(SC_HANDLE handle, std::string* name)
{
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || it->second.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *name = it->second;
    return true;
}

// The state of hService's service, its status copied to *status; NULL with the error set for
// an unknown handle or no status to fill.
ServiceState* StatusOfLocked(SC_HANDLE hService, LPSERVICE_STATUS status, std::string* name)
{
    if (!ServiceOfLocked(hService, name)) {
        return nullptr;
    }
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ServiceState* state = &states[Upper(*name)];
    *status = state->Status;
    return state;
}

bool IsManagerLocked(SC_HANDLE handle)
{
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != handles.end() && it->second.empty();
}

Dispatcher* DispatcherForLocked(const std::string& name)
{
    for (Dispatcher* dispatcher : dispatchers) {
        for (const SERVICE_TABLE_ENTRYA* entry = dispatcher->Table; entry->lpServiceName != nullptr;
             ++entry) {
            if (Upper(entry->lpServiceName) == Upper(name)) {
                return dispatcher;
            }
        }
    }
    return nullptr;
}

LPSERVICE_MAIN_FUNCTIONA MainOf(const Dispatcher& dispatcher, const std::string& name)
{
    for (const SERVICE_TABLE_ENTRYA* entry = dispatcher.Table; entry->lpServiceName != nullptr;
         ++entry) {
        if (Upper(entry->lpServiceName) == Upper(name)) {
            return entry->lpServiceProc;
        }
    }
    return nullptr;
}

bool AllStoppedLocked(const Dispatcher& dispatcher)
{
    for (const std::string& name : dispatcher.Started) {
        if (states[Upper(name)].Status.dwCurrentState != SERVICE_STOPPED) {
            return false;
        }
    }
    return !dispatcher.Started.empty();
}

} // namespace

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR, DWORD)
{
    if (lpMachineName != nullptr && lpMachineName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED); // no other machines here
        return nullptr;
    }
    if (!MachineRunning()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(managerLock);
    return NewHandleLocked(std::string());
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCSTR lpBinaryPathName, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR)
{
    std::lock_guard<std::mutex> guard(managerLock);
    if (!IsManagerLocked(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpServiceName == nullptr || lpServiceName[0] == '\0' || lpBinaryPathName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string key = KeyOf(lpServiceName);
    if (RegistryKeyExists(key)) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    const bool written =
        RegistryCreateKey(key) && RegistrySetValue(key, Dword(u"Type", dwServiceType)) &&
        RegistrySetValue(key, Dword(u"Start", dwStartType)) &&
        RegistrySetValue(key, Dword(u"ErrorControl", dwErrorControl)) &&
        RegistrySetValue(key, Text(u"ImagePath", lpBinaryPathName, REG_EXPAND_SZ)) &&
        RegistrySetValue(
            key, Text(u"DisplayName", lpDisplayName != nullptr ? lpDisplayName : lpServiceName)) &&
        RegistrySetValue(key, Text(u"ObjectName", "LocalSystem"));
    if (!written) {
        RegistryDeleteKey(key);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    states[Upper(lpServiceName)] = ServiceState();
    return NewHandleLocked(lpServiceName);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD)
{
    std::lock_guard<std::mutex> guard(managerLock);
    if (!IsManagerLocked(hSCManager)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpServiceName == nullptr || !RegistryKeyExists(KeyOf(lpServiceName))) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewHandleLocked(lpServiceName);
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    std::lock_guard<std::mutex> guard(managerLock);
    std::string name;
    if (!ServiceOfLocked(hService, &name)) {
        return FALSE;
    }
    ServiceState& state = states[Upper(name)];
    if (state.DeleteWhenStopped) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // A running service keeps its key until it stops, as Windows keeps it until then.
    if (state.Status.dwCurrentState != SERVICE_STOPPED) {
        state.DeleteWhenStopped = true;
        return TRUE;
    }
    if (!RegistryDeleteKey(KeyOf(name))) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    states.erase(Upper(name));
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors)
{
    std::unique_lock<std::mutex> guard(managerLock);
    std::string name;
    if (!ServiceOfLocked(hService, &name)) {
        return FALSE;
    }
    ServiceState& state = states[Upper(name)];
    if (state.Status.dwCurrentState != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (state.DeleteWhenStopped) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // Windows starts the service's program and waits for its dispatcher; here the program
    // is this process, whose dispatcher a thread has offered or is about to.
    Dispatcher* dispatcher = nullptr;
    const bool found = managerChanged.wait_for(guard, DISPATCHER_WAIT, [&] {
        dispatcher = DispatcherForLocked(name);
        return dispatcher != nullptr;
    });
    if (!found) {
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return FALSE;
    }
    std::vector<std::string> arguments{name};
    for (DWORD i = 0; i < dwNumServiceArgs && lpServiceArgVectors != nullptr; ++i) {
        arguments.emplace_back(lpServiceArgVectors[i]);
    }
    state = ServiceState();
    state.Status.dwCurrentState = SERVICE_START_PENDING;
    dispatcher->Started.push_back(name);
    LPSERVICE_MAIN_FUNCTIONA main = MainOf(*dispatcher, name);
    dispatcher->Threads.emplace_back([main, arguments]() mutable {
        std::vector<LPSTR> argv;
        argv.reserve(arguments.size());
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        main(static_cast<DWORD>(argv.size()), argv.data());
    });
    managerChanged.notify_all();
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    std::unique_lock<std::mutex> guard(managerLock);
    std::string name;
    const ServiceState* found = StatusOfLocked(hService, lpServiceStatus, &name);
    if (found == nullptr) {
        return FALSE;
    }
    const ServiceState state = *found;
    switch (state.Status.dwCurrentState) {
    case SERVICE_STOPPED:
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    default:
        break;
    }
    const bool accepted = dwControl == SERVICE_CONTROL_INTERROGATE ||
                          (dwControl == SERVICE_CONTROL_STOP &&
                           (state.Status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0) ||
                          (dwControl == SERVICE_CONTROL_SHUTDOWN &&
                           (state.Status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) != 0);
    if (!accepted || state.Handler == nullptr) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    guard.unlock();
    const DWORD result = state.Handler(dwControl, 0, nullptr, state.Context);
    guard.lock();
    *lpServiceStatus = states[Upper(name)].Status;
    if (result != NO_ERROR) {
        SetLastError(result);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> guard(managerLock);
    std::string name;
    return StatusOfLocked(hService, lpServiceStatus, &name) != nullptr ? TRUE : FALSE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    std::lock_guard<std::mutex> guard(managerLock);
    if (handles.erase(reinterpret_cast<uintptr_t>(hSCObject)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable)
{
    if (lpServiceStartTable == nullptr || lpServiceStartTable->lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Dispatcher dispatcher;
    dispatcher.Table = lpServiceStartTable;
    std::unique_lock<std::mutex> guard(managerLock);
    dispatchers.push_back(&dispatcher);
    managerChanged.notify_all();
    // Without a start request in time this process was not started as a service.
    const bool started = managerChanged.wait_for(guard, DISPATCHER_WAIT,
                                                 [&] { return !dispatcher.Started.empty(); });
    if (started) {
        managerChanged.wait(guard, [&] { return AllStoppedLocked(dispatcher); });
    }
    dispatchers.erase(std::find(dispatchers.begin(), dispatchers.end(), &dispatcher));
    std::vector<std::thread> threads = std::move(dispatcher.Threads);
    guard.unlock();
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (!started) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext)
{
    std::lock_guard<std::mutex> guard(managerLock);
    if (lpServiceName == nullptr || lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto it = states.find(Upper(lpServiceName));
    if (it == states.end() || it->second.Status.dwCurrentState == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    it->second.Handler = lpHandlerProc;
    it->second.Context = lpContext;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(NewHandleLocked(lpServiceName));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    std::lock_guard<std::mutex> guard(managerLock);
    std::string name;
    if (!ServiceOfLocked(reinterpret_cast<SC_HANDLE>(hServiceStatus), &name)) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceState& state = states[Upper(name)];
    state.Status = *lpServiceStatus;
    if (state.Status.dwCurrentState == SERVICE_STOPPED) {
        state.Handler = nullptr;
        handles.erase(reinterpret_cast<uintptr_t>(hServiceStatus));
        if (state.DeleteWhenStopped) {
            RegistryDeleteKey(KeyOf(name));
            states.erase(Upper(name));
        }
    }
    managerChanged.notify_all();
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule != nullptr || lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ssize_t length = readlink("/proc/self/exe", lpFilename, nSize);
    if (length < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (static_cast<DWORD>(length) >= nSize) {
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    lpFilename[length] = '\0';
    return static_cast<DWORD>(length);
}

} // extern "C"
