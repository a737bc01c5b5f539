// What the Win32 layer needs from the machine, in types of neither side: the Win32 headers and
// the kernel headers declare the same names differently, so no file includes both.
//
// Two implementations: the machine of this process (qvx::Machine::Current(), bridge.cpp), or a
// running service reached over its socket (bridge_remote.cpp), which forwards each call and
// matches completions to requests by id. The service is used after UseService, or when
// QUARVEX_SOCKET names its socket and no machine runs in this process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvx::win32 {

// A request's end as the application sees it.
struct Completion
{
    int32_t Status = 0x103; // STATUS_PENDING until done
    uint64_t Information = 0;
    std::vector<uint8_t> Data;
};

// An outstanding request of the application side.
class PendingRequest
{
  public:
    virtual ~PendingRequest() = default;
    virtual bool Done() const = 0;
    // Drives the simulated machine (or blocks) until the request has completed.
    virtual Completion Wait() = 0;
    virtual Completion Result() const = 0;
    // Cancels the request if it is still outstanding; FALSE when it had completed.
    virtual bool Cancel() = 0;
    // Calls `notify` once the request has completed (at once if it has), on whichever thread
    // completes it; it must neither block nor start I/O.
    virtual void OnCompletion(std::function<void()> notify) = 0;
};

// The embedding call: this process's Win32 calls go to the service listening on
// `socketPath` from now on (handles opened before stay where they were opened). FALSE and a
// message when no service answers there.
bool UseService(const std::string& socketPath, std::string* error);
// Hangs up on the service: its handles are closed by it, outstanding requests end cancelled.
void StopUsingService();
// The socket of the service in use, empty when the calls reach this process's machine.
std::string ServiceSocket();

enum class RequestKind { Read, Write, Flush, Control };

// A machine exists in this process, or the service in use is connected.
bool MachineRunning();
// Opens a device name (\\.\COM5, \??\COM5); 0 and the status on failure.
uint32_t OpenFile(const std::u16string& name, int32_t* status);
std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             std::vector<uint8_t> input, uint32_t outputLength);
int32_t CancelFile(uint32_t file);
int32_t CloseFile(uint32_t file);

// Milliseconds of machine time (host monotonic time when no machine runs).
uint64_t NowMs();
// Waits until `done` returns true or `timeoutMs` has passed (UINT32_MAX: no limit); TRUE when
// done. The simulated machine is driven, and its clock advanced to the time-out if need be.
bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs, const char* what);

// Registry, by full path (HKEY_LOCAL_MACHINE\...).
struct RegistryValue
{
    std::u16string Name;
    uint32_t Type = 0;
    std::vector<uint8_t> Data;
};
bool RegistryKeyExists(const std::u16string& path);
std::vector<RegistryValue> RegistryValues(const std::u16string& path);
// Writes of the service database; this process's machine only (FALSE through a service).
bool RegistryCreateKey(const std::u16string& path);
bool RegistrySetValue(const std::u16string& path, const RegistryValue& value);
bool RegistryDeleteKey(const std::u16string& path);

// DOS device names (\??\X links): name without the prefix, and its target.
std::vector<std::pair<std::u16string, std::u16string>> DosDevices();

// Requests (opens included) the layer has sent since the process started: a refused call
// can be seen to have sent nothing.
uint64_t RequestsSent();

// Fills the OVERLAPPEDs of requests that have completed (what every Win32 wait does); for a
// host that tears a machine down.
void FinishCompletedRequests();

} // namespace qvx::win32
