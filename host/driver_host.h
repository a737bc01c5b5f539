// The driver loaded into a machine the way Windows loads it: DriverEntry through the I/O
// manager, and each port a root-enumerated device whose hardware key holds "PortName", added
// and started by the Plug and Play manager. Used by the embedding API, the tests and the
// benchmarks alike.
//
// Threads: one thread at a time calls a DriverHost (it plays the Plug and Play manager).
#pragma once

#include "platform/machine/machine.h"

#include <string>
#include <utility>
#include <vector>

namespace qvx {

class DriverHost
{
  public:
    explicit DriverHost(Machine& machine);
    // Removes the ports still present and unloads the driver.
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Calls DriverEntry under the service key "Quarvex". Loading twice is refused.
    NTSTATUS Load();
    // Unloads the driver; refused while ports remain.
    NTSTATUS Unload();
    PDRIVER_OBJECT Driver() const { return driver_; }

    // Reports a device with these hardware-key values (for example {u"PortName", u"COM5"}) and
    // starts it. On failure the device has left the bus again; *pdo is then NULL.
    NTSTATUS AddPort(std::vector<std::pair<std::u16string, std::u16string>> hardwareValues,
                     PDEVICE_OBJECT* pdo = nullptr);
    NTSTATUS AddPort(const std::u16string& portName, PDEVICE_OBJECT* pdo = nullptr)
    {
        return AddPort({{u"PortName", portName}}, pdo);
    }
    // The same under a given instance id (for example u"ROOT\\PORTS\\0000"), whose hardware
    // key may already hold values (a configuration loaded into the registry).
    NTSTATUS AddPortInstance(const std::u16string& instanceId,
                             std::vector<std::pair<std::u16string, std::u16string>> hardwareValues,
                             PDEVICE_OBJECT* pdo = nullptr);
    // An orderly removal (query-remove, remove), then the device leaves the bus. Vetoed while a
    // handle is open.
    NTSTATUS RemovePort(PDEVICE_OBJECT pdo);
    // The device vanishes: surprise removal now; the removal follows once the last handle has
    // closed (FinishSurpriseRemoval).
    NTSTATUS SurpriseRemovePort(PDEVICE_OBJECT pdo);
    NTSTATUS FinishSurpriseRemoval(PDEVICE_OBJECT pdo);

    // The port's functional device object, NULL once removed.
    PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo) const;
    const std::vector<PDEVICE_OBJECT>& Ports() const { return ports_; }

  private:
    void Forget(PDEVICE_OBJECT pdo);

    Machine& machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> ports_;
    unsigned nextInstance_ = 0;
};

} // namespace qvx
