// The in-process implementation of bridge.h: calls on this process's machine
// (qvx::Machine::Current()), whatever the selection. The service issues its clients' calls
// through it, so a process that both runs the machine and uses a service never loops back.
#pragma once

#include "host/win32/bridge.h"

namespace qvx::win32::local {

uint32_t OpenFile(const std::u16string& name, int32_t* status);
std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             std::vector<uint8_t> input, uint32_t outputLength);
int32_t CancelFile(uint32_t file);
int32_t CloseFile(uint32_t file);
bool RegistryKeyExists(const std::u16string& path);
std::vector<RegistryValue> RegistryValues(const std::u16string& path);
std::vector<std::pair<std::u16string, std::u16string>> DosDevices();

} // namespace qvx::win32::local
