#include "test_port.h"
#include "platform/machine/machine.h"

namespace qvx {

TestPort::TestPort(std::u16string portName) : portName_(std::move(portName)) {}

TestPort::~TestPort()
{
    Stop();
}

NTSTATUS TestPort::Start()
{
    host_ = std::make_unique<DriverHost>(Machine::Current());
    NTSTATUS status = host_->Load();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = host_->AddPort(portName_, &pdo_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device_ = host_->FunctionDevice(pdo_);
    port_ = QuarvexPortFromDevice(device_);
    return STATUS_SUCCESS;
}

void TestPort::Stop()
{
    host_.reset();
    pdo_ = nullptr;
    device_ = nullptr;
    port_ = nullptr;
}

std::u16string TestPort::DeviceName() const
{
    return device_ != nullptr ? Machine::Current().Io().DeviceName(device_) : std::u16string();
}

} // namespace qvx
