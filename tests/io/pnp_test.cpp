#include "platform/machine/machine.h"
// The root bus and the Plug and Play manager: the life of a device, a start that waits for
// a pending bus, a failed start, power and system-control requests.
// ctest-labels: pnp

#include "support/io_test_driver.h"

#include <wmilib.h>

#include <cstring>

namespace qvx {
namespace {

using PnpTest = IoDriverTest;

std::vector<UCHAR> Minors(std::initializer_list<UCHAR> minors)
{
    return std::vector<UCHAR>(minors);
}

// Start, query-stop, stop, start, surprise removal and removal reach the driver in that
// order; requests it does not handle reach the bus untouched; the link follows the state;
// removal waits for the handle opened before the surprise removal.
TEST_F(PnpTest, DeviceGoesThroughStopStartSurpriseRemovalAndRemoval)
{
    const std::vector<UCHAR> started =
        Minors({IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS});
    EXPECT_EQ(TestDriverEvents().PnpMinors, started);
    EXPECT_EQ(Pnp().State(pdo_), PnpState::Started);
    for (const BusArrival& arrival : Pnp().BusLog(pdo_)) {
        if (arrival.MinorFunction != IRP_MN_START_DEVICE &&
            arrival.MinorFunction != IRP_MN_QUERY_CAPABILITIES) {
            EXPECT_EQ(arrival.StatusOnArrival, STATUS_NOT_SUPPORTED);
        }
    }
    EXPECT_TRUE(Sim().Names().LinkTarget(u"\\??\\COM5").has_value());

    EXPECT_EQ(Pnp().Rebalance(pdo_), STATUS_SUCCESS);
    std::vector<UCHAR> expected = started;
    // A restart after a rebalance skips the requirements filter.
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                        IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                        IRP_MN_QUERY_DEVICE_RELATIONS}) {
        expected.push_back(minor);
    }
    EXPECT_EQ(TestDriverEvents().PnpMinors, expected);
    EXPECT_TRUE(Sim().Names().LinkTarget(u"\\??\\COM5").has_value());

    const FileHandle handle = OpenCom5();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    EXPECT_EQ(Pnp().SurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_FALSE(Sim().Names().LinkTarget(u"\\??\\COM5").has_value());
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_INVALID_DEVICE_STATE);
    ForgetHandle(handle);
    Io().Close(handle);
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().FunctionDevice(pdo_), nullptr);
    EXPECT_EQ(TestDriverEvents().PnpMinors.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(Io().UnloadDriver(driver_), STATUS_SUCCESS);
}

// With a bus that completes from a timer, the start's forward-and-wait really waits (the
// machine runs to the timer), and the capabilities come back filled by the bus.
TEST_F(PnpTest, StartWaitsForAPendingBusThroughItsCompletionRoutine)
{
    Pnp().Remove(pdo_);
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\PORTS\\0001";
    PDEVICE_OBJECT pdo = Pnp().CreatePdo(config);
    Pnp().SetBusCompletion(pdo, BusCompletion::Timer, 3 * 10000);
    ASSERT_EQ(Pnp().AddDevice(pdo, driver_), STATUS_SUCCESS);
    const LONGLONG start = Sim().NowMs();
    EXPECT_EQ(Pnp().Start(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(TestDriverEvents().StartWaited);
    EXPECT_GE(Sim().NowMs() - start, 3);

    DEVICE_CAPABILITIES capabilities;
    EXPECT_EQ(Pnp().QueryCapabilities(pdo, &capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(Pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().DeletePdo(pdo), STATUS_SUCCESS);
}

// A start the bus fails is followed by removal: the device is gone and published nothing.
TEST_F(PnpTest, FailedStartIsFollowedByRemoval)
{
    Pnp().Remove(pdo_);
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\PORTS\\0001";
    PDEVICE_OBJECT pdo = Pnp().CreatePdo(config);
    ASSERT_EQ(Pnp().AddDevice(pdo, driver_), STATUS_SUCCESS);
    Pnp().FailNextStart(pdo, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pnp().Start(pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pnp().FunctionDevice(pdo), nullptr);
    EXPECT_EQ(Pnp().State(pdo), PnpState::Removed);
    EXPECT_FALSE(Sim().Names().LinkTarget(u"\\??\\COM5").has_value());
}

// An orderly removal with a handle open is vetoed: the query is taken back with a cancel,
// no removal is sent and the device stays started. Once the handle is closed it goes.
TEST_F(PnpTest, OpenHandleVetoesOrderlyRemoval)
{
    const FileHandle handle = OpenCom5();
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_PLUGPLAY_QUERY_VETOED);
    const std::vector<UCHAR>& minors = TestDriverEvents().PnpMinors;
    ASSERT_GE(minors.size(), 2u);
    EXPECT_EQ(minors[minors.size() - 2], IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(minors.back(), IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(Pnp().State(pdo_), PnpState::Started);
    EXPECT_EQ(Io().Write(handle, {1}).Status, STATUS_SUCCESS);
    ForgetHandle(handle);
    Io().Close(handle);
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
}

// Opens fail until IRP_MN_START_DEVICE has succeeded.
TEST_F(PnpTest, OpensFailUntilTheStartHasSucceeded)
{
    Pnp().Remove(pdo_);
    BusDeviceConfig config;
    config.InstanceId = u"ROOT\\PORTS\\0001";
    PDEVICE_OBJECT pdo = Pnp().CreatePdo(config);
    ASSERT_EQ(Pnp().AddDevice(pdo, driver_), STATUS_SUCCESS);
    const std::u16string name = Io().DeviceName(Pnp().FunctionDevice(pdo));
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Io().Open(name, 0, &status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(Pnp().Start(pdo), STATUS_SUCCESS);
    const FileHandle handle = Io().Open(name, 0, &status);
    EXPECT_NE(handle, INVALID_FILE_HANDLE);
    Io().Close(handle);
    EXPECT_EQ(Pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().DeletePdo(pdo), STATUS_SUCCESS);
}

// Power requests go down to the bus, which succeeds set and query; the driver's own report
// of D3 stays recorded. WMI requests for another provider and non-WMI minors are forwarded
// untouched; one addressed to the device finds no GUID.
TEST_F(PnpTest, PowerAndSystemControlReachTheBus)
{
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_WAIT_WAKE, DevicePowerState, d0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TestDriverEvents().PowerRequests, 2u);
    EXPECT_EQ(Io().DevicePowerStateOf(Fdo()), PowerDeviceD3);

    EXPECT_EQ(Pnp().SendSystemControl(pdo_, IRP_MN_QUERY_ALL_DATA, 0x1234), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TestDriverEvents().LastDisposition, IrpForward);
    EXPECT_EQ(Pnp().SendSystemControl(pdo_, 0x0A, reinterpret_cast<ULONG_PTR>(Fdo())),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TestDriverEvents().LastDisposition, IrpNotWmi);
    EXPECT_EQ(
        Pnp().SendSystemControl(pdo_, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(Fdo())),
        STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(TestDriverEvents().LastDisposition, IrpNotCompleted);

    // A registration query addressed to the device is answered and completed by the library:
    // an empty context registers no GUID; a buffer too small receives the size it needs.
    const size_t arrivals = Pnp().BusLog(pdo_).size();
    const auto fdo = reinterpret_cast<ULONG_PTR>(Fdo());
    const ULONG header = offsetof(WMIREGINFOW, WmiRegGuid);
    std::vector<UCHAR> buffer(64, 0xEE);
    ULONG_PTR information = 0;
    EXPECT_EQ(Pnp().SendSystemControl(pdo_, IRP_MN_REGINFO, fdo, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(TestDriverEvents().LastDisposition, IrpProcessed);
    EXPECT_EQ(information, header);
    WMIREGINFOW info;
    std::memcpy(&info, buffer.data(), header);
    EXPECT_EQ(info.BufferSize, header);
    EXPECT_EQ(info.GuidCount, 0u);
    EXPECT_EQ(info.RegistryPath, 0u);
    ULONG needed = 0;
    EXPECT_EQ(Pnp().SendSystemControl(pdo_, IRP_MN_REGINFO_EX, fdo, &needed, sizeof(needed),
                                      &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(TestDriverEvents().LastDisposition, IrpProcessed);
    EXPECT_EQ(needed, header);
    EXPECT_EQ(information, sizeof(ULONG));
    EXPECT_EQ(Pnp().BusLog(pdo_).size(), arrivals);
}

} // namespace
} // namespace qvx
