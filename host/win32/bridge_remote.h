// The remote implementation of bridge.h, for bridge.cpp's selection: the same calls, over a
// service's socket.
#pragma once

#include "host/win32/bridge.h"

namespace qvx::win32::remote {

// Whether the calls go to a service: after UseService, or with QUARVEX_SOCKET set when no
// machine runs in this process (`localMachine`).
bool Selected(bool localMachine);
// A file id this backend handed out: its calls go to the service whatever the selection now.
bool Owns(uint32_t file);

bool MachineRunning();
uint32_t OpenFile(const std::u16string& name, int32_t* status);
std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             const std::vector<uint8_t>& input,
                                             uint32_t outputLength);
int32_t CancelFile(uint32_t file);
int32_t CloseFile(uint32_t file);
bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs);
bool RegistryKeyExists(const std::u16string& path);
std::vector<RegistryValue> RegistryValues(const std::u16string& path);
std::vector<std::pair<std::u16string, std::u16string>> DosDevices();

} // namespace qvx::win32::remote
