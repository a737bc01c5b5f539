// A port created as Windows creates one: the driver loaded through DriverEntry, a
// root-enumerated device whose hardware key holds "PortName", added and started by the Plug
// and Play manager. Used by the test fixtures and the benchmarks alike; one at a time.
#pragma once

#include "host/driver_host.h"
#include "platform/machine/machine.h"
#include "port/port.h"

#include <memory>
#include <string>

namespace qvx {

class TestPort
{
  public:
    explicit TestPort(std::u16string portName = u"COM5");
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    // Loads the driver and starts the port; the status of the first step that failed.
    NTSTATUS Start();
    // Removes the port and unloads the driver; open handles must be closed first.
    void Stop();

    PortDeviceRecord* Port() const { return port_; }
    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    DriverHost& Host() { return *host_; }
    const std::u16string& PortName() const { return portName_; }
    std::u16string DeviceName() const;

  private:
    std::u16string portName_;
    std::unique_ptr<DriverHost> host_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceRecord* port_ = nullptr;
};

} // namespace qvx
