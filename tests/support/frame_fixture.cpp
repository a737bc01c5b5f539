#include "frame_fixture.h"
#include "platform/machine/machine.h"

#include <ntddser.h>

#include <algorithm>
#include <cstdio>

namespace qvx {

namespace {

const char16_t* const SERIALCOMM_KEY = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

} // namespace

void FrameTest::SetUp()
{
    SimMachineTest::SetUp();
    host_ = std::make_unique<DriverHost>(Sim());
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
}

void FrameTest::TearDown()
{
    for (FileHandle handle : handles_) {
        Io().Close(handle);
    }
    handles_.clear();
    Io().RunPassiveWork();
    while (!reported_.empty()) {
        Unplug(reported_.back());
    }
    host_.reset();
    SimMachineTest::TearDown();
}

PDEVICE_OBJECT FrameTest::Report(const HardwareValues& values)
{
    BusDeviceConfig config;
    char instance[32];
    std::snprintf(instance, sizeof(instance), "ROOT\\PORTS\\%04u", 100 + nextInstance_++);
    config.InstanceId = Utf8ToUtf16(instance);
    config.HardwareValues = values;
    PDEVICE_OBJECT pdo = Pnp().CreatePdo(config);
    if (pdo != nullptr) {
        reported_.push_back(pdo);
    }
    return pdo;
}

NTSTATUS FrameTest::Plug(const std::u16string& portName, PDEVICE_OBJECT* pdo)
{
    *pdo = Report(portName);
    if (*pdo == nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const NTSTATUS status = Pnp().AddDevice(*pdo, Driver());
    return NT_SUCCESS(status) ? Pnp().Start(*pdo) : status;
}

void FrameTest::Unplug(PDEVICE_OBJECT pdo)
{
    auto it = std::find(reported_.begin(), reported_.end(), pdo);
    if (it == reported_.end()) {
        return;
    }
    reported_.erase(it);
    if (Fdo(pdo) != nullptr) {
        const NTSTATUS status = Pnp().State(pdo) == PnpState::SurpriseRemoved ||
                                        Pnp().State(pdo) == PnpState::NotStarted
                                    ? Pnp().Remove(pdo)
                                    : Pnp().Disable(pdo);
        EXPECT_EQ(status, STATUS_SUCCESS) << "removal at teardown";
    }
    if (Fdo(pdo) == nullptr) {
        EXPECT_EQ(Pnp().DeletePdo(pdo), STATUS_SUCCESS);
    }
}

PortDeviceRecord* FrameTest::PortOf(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = Fdo(pdo);
    return fdo != nullptr ? QuarvexPortFromDevice(fdo) : nullptr;
}

FileHandle FrameTest::Open(const std::u16string& portName, NTSTATUS* status)
{
    const FileHandle handle = Io().Open(u"\\\\.\\" + portName, 0, status);
    if (handle != INVALID_FILE_HANDLE) {
        handles_.push_back(handle);
    }
    return handle;
}

void FrameTest::Close(FileHandle handle)
{
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    Io().RunPassiveWork();
}

std::optional<std::u16string> FrameTest::LinkTarget(const std::u16string& portName)
{
    return Sim().Names().LinkTarget(u"\\??\\" + portName);
}

std::optional<std::u16string> FrameTest::SerialComm(const std::u16string& deviceName)
{
    return Sim().Reg().GetString(SERIALCOMM_KEY, deviceName);
}

std::vector<std::u16string> FrameTest::EnabledComPorts()
{
    return Sim().Names().EnabledInterfaces(GUID_DEVINTERFACE_COMPORT);
}

size_t FrameTest::ReceiveRegistrations(const std::u16string& portName)
{
    return Sim().Names().RegistrationCount(u"\\Callback\\LyntraRecv" + portName);
}

::testing::AssertionResult FrameTest::NothingPublished()
{
    std::string found;
    for (const SymbolicLinkInfo& link : Sim().Names().SymbolicLinks()) {
        found += " link " + Utf16ToUtf8(link.Name) + " -> " + Utf16ToUtf8(link.Target) + ";";
    }
    for (const RegValue& value : Sim().Reg().ListValues(SERIALCOMM_KEY)) {
        found += " SERIALCOMM value " + Utf16ToUtf8(value.Name) + ";";
    }
    for (const std::u16string& name : EnabledComPorts()) {
        found += " interface " + Utf16ToUtf8(name) + ";";
    }
    for (const CallbackRegistrationInfo& registration : Sim().Names().Registrations()) {
        // The driver registers on the receive objects; a peer's registrations are its own.
        if (registration.ObjectName.find(u"LyntraRecv") == std::u16string::npos) {
            continue;
        }
        found += " registration on " + Utf16ToUtf8(registration.ObjectName) + ";";
    }
    if (Driver() != nullptr && Driver()->DeviceObject != nullptr) {
        found += " device " + Utf16ToUtf8(Io().DeviceName(Driver()->DeviceObject)) + ";";
    }
    if (found.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "still published:" << found;
}

size_t FrameTest::BusArrivals(PDEVICE_OBJECT pdo, UCHAR minor)
{
    size_t count = 0;
    for (const BusArrival& arrival : Pnp().BusLog(pdo)) {
        count += arrival.MajorFunction == IRP_MJ_PNP && arrival.MinorFunction == minor ? 1 : 0;
    }
    return count;
}

} // namespace qvx
