// Filter drivers in a device stack: every request passes the filters as on Windows, the
// drivers' completion and pending rules hold through them, and a function driver that sends
// requests past a lower filter, or skips its location and then sets a completion routine over
// an upper filter's, is caught. The port itself runs under an upper and a lower filter.
// ctest-labels: pnp filter

#include "support/io_test_driver.h"

#include "driver/driver.h"
#include "host/driver_host.h"
#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/recording_peer.h"

#include <algorithm>

namespace qvx {
namespace {

size_t CountOf(const std::vector<UCHAR>& majors, UCHAR major)
{
    return static_cast<size_t>(std::count(majors.begin(), majors.end(), major));
}

class FilterTest : public IoDriverTest
{
  protected:
    FilterTest()
    {
        Device.LowerFilters = 1;
        Device.UpperFilters = 1;
    }

    PDEVICE_OBJECT Upper() { return Pnp().FilterDevices(pdo_, true).at(0); }
    PDEVICE_OBJECT Lower() { return Pnp().FilterDevices(pdo_, false).at(0); }
};

// The stack is lower filter, function device, upper filter; the application's requests enter
// at the upper filter and end at the function driver, PnP, power and WMI requests go all the
// way down; every filter's completion routine ran once per request, pending or not; removal
// takes the whole stack down, each driver deleting its device while the one above is still
// attached.
TEST_F(FilterTest, RequestsPassBothFiltersAndRemovalTakesTheStackDown)
{
    const std::vector<PDEVICE_OBJECT> above = Io().DevicesAbove(pdo_);
    ASSERT_EQ(above.size(), 3u);
    EXPECT_EQ(above[0], Lower());
    EXPECT_EQ(above[1], Fdo());
    EXPECT_EQ(above[2], Upper());
    // The upper filter takes the function device's buffering, so buffered I/O stays buffered.
    EXPECT_NE(Upper()->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(Upper()->StackSize, 4);

    const FileHandle handle = OpenCom5();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    EXPECT_EQ(Io().Write(handle, {1, 2, 3}).Status, STATUS_SUCCESS);
    const IoResult echo = Io().DeviceIoControl(handle, IOCTL_TEST_ECHO, {7, 8}, 2);
    EXPECT_EQ(echo.Status, STATUS_SUCCESS);
    EXPECT_EQ(echo.Data, std::vector<UCHAR>({7, 8}));
    // A read pends in the function driver: its completion passes the upper filter later, from
    // DISPATCH_LEVEL, with the pending mark carried up.
    IoRequestPtr read = Io().ReadAsync(handle, 4);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(CompleteTestReads(), 1u);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Result().Data, std::vector<UCHAR>({'a', 'b', 'c', 'd'}));
    IoRequestPtr cancelled = Io().ReadAsync(handle, 4);
    EXPECT_EQ(Io().CancelIo(handle), STATUS_SUCCESS);
    EXPECT_EQ(cancelled->Wait().Status, STATUS_CANCELLED);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(Pnp().SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    Pnp().SendSystemControl(pdo_, IRP_MN_REGINFO, 0);
    ForgetHandle(handle);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    Io().RunPassiveWork();

    const FilterActivity upper = Sim().Pnp().Filters().Activity(Upper());
    const FilterActivity lower = Sim().Pnp().Filters().Activity(Lower());
    EXPECT_TRUE(upper.Upper);
    EXPECT_FALSE(lower.Upper);
    for (UCHAR major :
         {IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        EXPECT_EQ(CountOf(upper.Majors, major), 1u) << int(major);
        EXPECT_EQ(CountOf(lower.Majors, major), 0u) << int(major);
    }
    EXPECT_EQ(CountOf(upper.Majors, IRP_MJ_READ), 2u);
    for (UCHAR major : {IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) {
        EXPECT_EQ(CountOf(upper.Majors, major), 1u) << int(major);
        EXPECT_EQ(CountOf(lower.Majors, major), 1u) << int(major);
    }
    // Everything the bus saw of the start passed the lower filter.
    EXPECT_EQ(CountOf(lower.Majors, IRP_MJ_PNP), Pnp().BusLog(pdo_).size() - 2);
    EXPECT_EQ(upper.CompletionsRun, upper.Majors.size());
    EXPECT_EQ(lower.CompletionsRun, lower.Majors.size());
    EXPECT_EQ(upper.Outstanding, 0u);
    EXPECT_EQ(lower.Outstanding, 0u);

    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Sim().Pnp().Filters().Activity(above[0]).Removed);
    EXPECT_TRUE(Sim().Pnp().Filters().Activity(above[2]).Removed);
    EXPECT_TRUE(Io().DevicesAbove(pdo_).empty());
    EXPECT_EQ(Pnp().FunctionDevice(pdo_), nullptr);
    for (PDEVICE_OBJECT device : above) {
        EXPECT_FALSE(Io().IsDeviceLive(device));
        EXPECT_FALSE(Io().IsDeletePending(device));
    }
    EXPECT_EQ(Pnp().DeletePdo(pdo_), STATUS_SUCCESS);
    pdo_ = nullptr;
}

// A bus that completes later: the start's forward-and-wait, a rebalance and a surprise
// removal with a handle open all work through the filters; the removal follows the close.
TEST_F(FilterTest, PendingBusRebalanceAndSurpriseRemovalPassTheFilters)
{
    Pnp().SetBusCompletion(pdo_, BusCompletion::Timer, 20000);
    EXPECT_EQ(Pnp().Rebalance(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(TestDriverEvents().StartWaited);
    DEVICE_CAPABILITIES capabilities;
    EXPECT_EQ(Pnp().QueryCapabilities(pdo_, &capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.SurpriseRemovalOK, 1u);

    const FileHandle handle = OpenCom5();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(Pnp().SurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Io().Write(handle, {1}).Status, STATUS_SUCCESS); // the stack is still there
    ForgetHandle(handle);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    Io().RunPassiveWork();
    const PDEVICE_OBJECT upper = Upper();
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Io().DevicesAbove(pdo_).empty());
    EXPECT_EQ(Sim().Pnp().Filters().Activity(upper).Outstanding, 0u);
    EXPECT_EQ(Sim().Pnp().Filters().Activity(upper).CompletionsRun + 1,
              Sim().Pnp().Filters().Activity(upper).Majors.size()); // all but the removal
}

class FaultyUnderFilterTest : public FilterTest
{
  protected:
    FaultyUnderFilterTest() { StartInSetUp = false; }
};

// Sent to the PDO instead of the device IoAttachDeviceToDeviceStack returned: the three PnP
// requests the driver does not handle at start (requirements, device state, relations) skip
// the lower filter. Without a lower filter the same driver is not at fault.
TEST_F(FaultyUnderFilterTest, RequestSentPastTheLowerFilterIsReported)
{
    Config.Fault = TestDriverFault::ForwardToPdo;
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TakeAll(Rule::REQUEST_BYPASSED_LOWER_FILTER), 3u);
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().DeletePdo(pdo_), STATUS_SUCCESS);

    BusDeviceConfig upperOnly;
    upperOnly.InstanceId = u"ROOT\\PORTS\\0001";
    upperOnly.UpperFilters = 2;
    EXPECT_EQ(Pnp().Enumerate(upperOnly, driver_, &pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().FilterDevices(pdo_, true).size(), 2u);
    EXPECT_TRUE(Sim().Violations().empty());
}

// Skipping its own location and then setting a completion routine overwrites the routine the
// upper filter put there: it never runs. With only a lower filter nothing is lost.
TEST_F(FaultyUnderFilterTest, CompletionRoutineOverwrittenAfterASkipIsReported)
{
    Config.Fault = TestDriverFault::SkipThenSetCompletion;
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TakeAll(Rule::FILTER_COMPLETION_SKIPPED), 3u);
    const FilterActivity upper = Sim().Pnp().Filters().Activity(Upper());
    EXPECT_EQ(upper.CompletionsRun + 3, upper.Majors.size());
    EXPECT_EQ(upper.Outstanding, 0u);
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().DeletePdo(pdo_), STATUS_SUCCESS);

    BusDeviceConfig lowerOnly;
    lowerOnly.InstanceId = u"ROOT\\PORTS\\0001";
    lowerOnly.LowerFilters = 1;
    EXPECT_EQ(Pnp().Enumerate(lowerOnly, driver_, &pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Sim().Violations().empty());
}

// A failed AddDevice takes the lower filters already attached down again; the PDO is bare.
TEST_F(FaultyUnderFilterTest, FailedAddDeviceTakesTheLowerFiltersDown)
{
    driver_ = LoadTestDriver(Config);
    ASSERT_NE(driver_, nullptr);
    Device.LowerFilters = 2;
    pdo_ = Pnp().CreatePdo(Device);
    ASSERT_NE(pdo_, nullptr);
    Io().InjectFailure(IoFault::CreateDevice);
    EXPECT_EQ(Pnp().AddDevice(pdo_, driver_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Io().DevicesAbove(pdo_).empty());
    EXPECT_EQ(Pnp().AddDevice(pdo_, driver_), STATUS_SUCCESS);
    EXPECT_EQ(Io().DevicesAbove(pdo_).size(), 4u);
    EXPECT_EQ(Pnp().Start(pdo_), STATUS_SUCCESS);
}

// The port itself between an upper and a lower pass-through filter: start, open, data both
// ways through a peer, close, removal and unload, with every filter check quiet.
class PortUnderFiltersTest : public SimMachineTest
{
};

TEST_F(PortUnderFiltersTest, PortWorksBetweenFilters)
{
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise ? "surprise removal" : "orderly removal");
        DriverHost host(Sim());
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        BusDeviceConfig config;
        config.HardwareValues = {{u"PortName", u"COM5"}};
        config.LowerFilters = 1;
        config.UpperFilters = 1;
        PDEVICE_OBJECT pdo = nullptr;
        ASSERT_EQ(Sim().Pnp().Enumerate(config, host.Driver(), &pdo), STATUS_SUCCESS);
        ASSERT_EQ(Sim().Io().DevicesAbove(pdo).size(), 3u);
        PDEVICE_OBJECT fdo = Sim().Pnp().FunctionDevice(pdo);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(fdo->DriverObject, host.Driver());
        const PDEVICE_OBJECT upper = Sim().Pnp().FilterDevices(pdo, true).at(0);
        {
            RecordingPeer peer(u"COM5");
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            const FileHandle handle = Sim().Io().Open(u"\\\\.\\COM5", 0, &status);
            ASSERT_NE(handle, INVALID_FILE_HANDLE) << std::hex << status;
            EXPECT_EQ(Sim().Io().Write(handle, {'h', 'e', 'l', 'l', 'o'}).Status, STATUS_SUCCESS);
            Sim().AdvanceMs(20); // the next send tick hands the bytes to the peer
            EXPECT_EQ(peer.TakeReceived(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
            IoRequestPtr read = Sim().Io().ReadAsync(handle, 3);
            EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
            peer.Deliver(std::string("abc"));
            EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
            EXPECT_EQ(read->Result().Data, std::vector<UCHAR>({'a', 'b', 'c'}));
            IoRequestPtr late;
            if (surprise) {
                EXPECT_EQ(host.SurpriseRemovePort(pdo), STATUS_SUCCESS);
                // The handle still reaches the driver through the filters; whatever it does
                // with the request, the close ends it.
                late = Sim().Io().WriteAsync(handle, {'x'});
            }
            EXPECT_EQ(Sim().Io().Close(handle), STATUS_SUCCESS);
            Sim().Io().RunPassiveWork();
            if (late != nullptr) {
                EXPECT_TRUE(late->Done());
                EXPECT_FALSE(NT_SUCCESS(late->Result().Status));
            }
        }
        const FilterActivity activity = Sim().Pnp().Filters().Activity(upper);
        EXPECT_EQ(CountOf(activity.Majors, IRP_MJ_READ), 1u);
        EXPECT_EQ(CountOf(activity.Majors, IRP_MJ_WRITE), surprise ? 2u : 1u);
        EXPECT_EQ(activity.CompletionsRun, activity.Majors.size());
        EXPECT_EQ(surprise ? Sim().Pnp().Remove(pdo) : Sim().Pnp().Disable(pdo), STATUS_SUCCESS);
        EXPECT_TRUE(Sim().Io().DevicesAbove(pdo).empty());
        EXPECT_EQ(Sim().Pnp().DeletePdo(pdo), STATUS_SUCCESS);
        EXPECT_EQ(host.Unload(), STATUS_SUCCESS);
        EXPECT_TRUE(Sim().Violations().empty());
    }
}

} // namespace
} // namespace qvx
