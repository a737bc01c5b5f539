// A port assembled by hand as add device and start will: a device object with its port record,
// queues, gate, timers and DPCs, the UART and the peer callbacks, published as \??\<name>.
// A test dispatch table serves it: the driver's own create, close, cleanup, read, write, flush
// and device-control routines. Used by the test fixtures and the benchmarks alike; one at a time.
#pragma once

#include "platform/sim/machine.h"
#include "port/port.h"

#include <string>

namespace qvx {

class TestPort
{
  public:
    explicit TestPort(std::u16string portName = u"COM5");
    ~TestPort();
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;

    // Builds and starts the port; the status of the first step that failed.
    NTSTATUS Start();
    // Releases what Start created; open handles must be closed first.
    void Stop();

    PortDeviceRecord* Port() const { return port_; }
    PDEVICE_OBJECT Device() const { return device_; }
    const std::u16string& PortName() const { return portName_; }
    std::u16string DeviceName() const { return u"\\Device\\QuarvexDevice0"; }

  private:
    std::u16string portName_;
    std::u16string link_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceRecord* port_ = nullptr;
};

} // namespace qvx
