// The service control calls as the bridge's tests make them (a Win32 program's calls; no
// Win32 or kernel type here).
#pragma once

#include <cstdint>
#include <string>

namespace qvx::bridgetest {

// StartService on the installed service; the last error, 0 on success.
uint32_t StartBridgeService();
// Its state (SERVICE_RUNNING is 4, SERVICE_STOPPED 1), 0 when it cannot be queried.
uint32_t BridgeServiceState();
// ControlService(SERVICE_CONTROL_STOP); the last error, 0 on success.
uint32_t StopBridgeService();
// OpenService's last error (0: it exists).
uint32_t OpenBridgeServiceError();

constexpr uint32_t STATE_STOPPED = 1;
constexpr uint32_t STATE_RUNNING = 4;

} // namespace qvx::bridgetest
