// The driver loaded on a simulated machine, with the Plug and Play manager's calls at hand, for
// tests that report, start, stop and remove ports themselves and look at what each port
// published.
#pragma once

#include "host/driver_host.h"
#include "machine_fixture.h"
#include "platform/machine/machine.h"
#include "port/port.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qvx {

using HardwareValues = std::vector<std::pair<std::u16string, std::u16string>>;

class FrameTest : public SimMachineTest
{
  protected:
    // Loads the driver.
    void SetUp() override;
    // Closes the handles still open, removes every device the test reported, unloads.
    void TearDown() override;

    IoManager& Io() { return Sim().Io(); }
    PnpManager& Pnp() { return Sim().Pnp(); }
    PDRIVER_OBJECT Driver() const { return host_->Driver(); }
    DriverHost& Host() { return *host_; }

    // A root-enumerated device whose hardware key holds `values` (REG_SZ); no driver yet.
    PDEVICE_OBJECT Report(const HardwareValues& values);
    PDEVICE_OBJECT Report(const std::u16string& portName)
    {
        return Report({{u"PortName", portName}});
    }
    // Report, add device and start; the status of the first step that failed (a failed start
    // was followed by its removal).
    NTSTATUS Plug(const std::u16string& portName, PDEVICE_OBJECT* pdo);
    // Removes the device (after a surprise removal, or orderly) and takes it off the bus.
    void Unplug(PDEVICE_OBJECT pdo);

    PDEVICE_OBJECT Fdo(PDEVICE_OBJECT pdo) { return Pnp().FunctionDevice(pdo); }
    PortDeviceRecord* PortOf(PDEVICE_OBJECT pdo);
    std::u16string DeviceName(PDEVICE_OBJECT pdo) { return Io().DeviceName(Fdo(pdo)); }
    std::u16string HardwareKey(PDEVICE_OBJECT pdo) { return Pnp().HardwareKeyPath(pdo); }

    // Opens \\.\<portName>; closed at teardown unless the test closed it with Close.
    FileHandle Open(const std::u16string& portName, NTSTATUS* status = nullptr);
    void Close(FileHandle handle);

    // What is published: the target of \??\<portName>, the SERIALCOMM value named after a
    // device, the enabled COM-port interfaces, the registrations on the port's receive object.
    std::optional<std::u16string> LinkTarget(const std::u16string& portName);
    std::optional<std::u16string> SerialComm(const std::u16string& deviceName);
    std::vector<std::u16string> EnabledComPorts();
    size_t ReceiveRegistrations(const std::u16string& portName);
    // No link, SERIALCOMM value, enabled interface or registration on a receive object anywhere,
    // and no device object of the driver.
    ::testing::AssertionResult NothingPublished();

    // Requests the bus saw for the PDO, by minor function (IRP_MJ_PNP only).
    size_t BusArrivals(PDEVICE_OBJECT pdo, UCHAR minor);

  private:
    std::unique_ptr<DriverHost> host_;
    std::vector<PDEVICE_OBJECT> reported_;
    std::vector<FileHandle> handles_;
    unsigned nextInstance_ = 0;
};

} // namespace qvx
