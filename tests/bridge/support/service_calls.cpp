#include "service_calls.h"

#include "host/qvxbridge/qvxbridge.h"

#include <windows.h>

namespace qvx::bridgetest {

namespace {

// Calls `use` with the service opened, or returns OpenService's error.
template <class F> uint32_t WithService(F&& use)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return GetLastError();
    }
    SC_HANDLE service = OpenServiceA(manager, bridge::SERVICE_NAME, SERVICE_ALL_ACCESS);
    uint32_t result = 0;
    if (service == nullptr) {
        result = GetLastError();
    } else {
        result = use(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

} // namespace

uint32_t StartBridgeService()
{
    return WithService(
        [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr) ? 0 : GetLastError(); });
}

uint32_t BridgeServiceState()
{
    uint32_t state = 0;
    WithService([&](SC_HANDLE service) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) {
            state = status.dwCurrentState;
        }
        return 0u;
    });
    return state;
}

uint32_t StopBridgeService()
{
    return WithService([](SC_HANDLE service) {
        SERVICE_STATUS status = {};
        return ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
    });
}

uint32_t OpenBridgeServiceError()
{
    return WithService([](SC_HANDLE) { return 0u; });
}

} // namespace qvx::bridgetest
