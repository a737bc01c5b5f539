#include "host/driver_host.h"
#include "serial/input_ring.h"

#include "driver/driver.h"
#include "platform/machine/machine.h"
#include "port/kcompat.h"
#include "serial/transfer.h"

#include <algorithm>
#include <cstdio>

namespace qvx {

DriverHost::DriverHost(Machine& machine) : machine_(machine) {}

DriverHost::~DriverHost()
{
    while (!ports_.empty()) {
        PDEVICE_OBJECT pdo = ports_.back();
        if (machine_.Pnp().State(pdo) == PnpState::SurpriseRemoved) {
            (void)FinishSurpriseRemoval(pdo);
        } else {
            (void)RemovePort(pdo);
        }
        Forget(pdo); // also when the removal was refused: nothing more can be done here
    }
    (void)Unload();
}

NTSTATUS DriverHost::Load()
{
    if (driver_ != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = machine_.Io().LoadDriver(u"Quarvex", DriverEntry, &status,
                                       {QUARVEX_POOL_TAG, QUARVEX_INPUT_POOL_TAG});
    return status;
}

NTSTATUS DriverHost::Unload()
{
    if (driver_ == nullptr) {
        return STATUS_SUCCESS;
    }
    if (!ports_.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = machine_.Io().UnloadDriver(driver_);
    if (NT_SUCCESS(status)) {
        driver_ = nullptr;
    }
    return status;
}

NTSTATUS DriverHost::AddPort(std::vector<std::pair<std::u16string, std::u16string>> hardwareValues,
                             PDEVICE_OBJECT* pdo)
{
    char instance[32];
    std::snprintf(instance, sizeof(instance), "ROOT\\PORTS\\%04u", nextInstance_++);
    return AddPortInstance(
        std::u16string(instance, instance + std::char_traits<char>::length(instance)),
        std::move(hardwareValues), pdo);
}

NTSTATUS
DriverHost::AddPortInstance(const std::u16string& instanceId,
                            std::vector<std::pair<std::u16string, std::u16string>> hardwareValues,
                            PDEVICE_OBJECT* pdo)
{
    if (pdo != nullptr) {
        *pdo = nullptr;
    }
    if (driver_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    BusDeviceConfig config;
    config.InstanceId = instanceId;
    config.HardwareValues = std::move(hardwareValues);

    PnpManager& pnp = machine_.Pnp();
    PDEVICE_OBJECT created = nullptr;
    const NTSTATUS status = pnp.Enumerate(config, driver_, &created);
    if (!NT_SUCCESS(status)) {
        // A failed start was followed by its removal; a failed add device left the PDO alone.
        if (created != nullptr) {
            (void)pnp.DeletePdo(created);
        }
        return status;
    }
    ports_.push_back(created);
    if (pdo != nullptr) {
        *pdo = created;
    }
    return status;
}

NTSTATUS DriverHost::RemovePort(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = machine_.Pnp().Disable(pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Forget(pdo);
    return STATUS_SUCCESS;
}

NTSTATUS DriverHost::SurpriseRemovePort(PDEVICE_OBJECT pdo)
{
    return machine_.Pnp().SurpriseRemove(pdo);
}

NTSTATUS DriverHost::FinishSurpriseRemoval(PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = machine_.Pnp().Remove(pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Forget(pdo);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT DriverHost::FunctionDevice(PDEVICE_OBJECT pdo) const
{
    return machine_.Pnp().FunctionDevice(pdo);
}

void DriverHost::Forget(PDEVICE_OBJECT pdo)
{
    auto it = std::find(ports_.begin(), ports_.end(), pdo);
    if (it == ports_.end()) {
        return;
    }
    ports_.erase(it);
    (void)machine_.Pnp().DeletePdo(pdo);
}

} // namespace qvx
