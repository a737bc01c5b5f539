// Power and system-control requests: power requests go down before and after the start with
// the lower status returned, WMI requests follow the library's disposition, and both are
// refused once removal has marked the port removed.
// ctest-labels: pnp

#include "support/frame_fixture.h"

#include <wmilib.h>

#include "driver/driver.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvx {
namespace {

struct TraceLine
{
    ULONG Component;
    ULONG Level;
    std::string Text;
};

// The trace lines with their component and level; safe with real-time machines.
class LevelTrace
{
  public:
    explicit LevelTrace(Machine& machine) : machine_(machine)
    {
        machine_.SetTraceSink([this](ULONG component, ULONG level, const char* text) {
            std::string line(text);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back({component, level, std::move(line)});
        });
    }
    ~LevelTrace() { machine_.SetTraceSink(nullptr); }
    LevelTrace(const LevelTrace&) = delete;
    LevelTrace& operator=(const LevelTrace&) = delete;

    // Removes the lines containing `fragment` and returns them.
    std::vector<TraceLine> Take(const std::string& fragment)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<TraceLine> found;
        std::vector<TraceLine> kept;
        for (TraceLine& line : lines_) {
            (line.Text.find(fragment) != std::string::npos ? found : kept)
                .push_back(std::move(line));
        }
        lines_ = std::move(kept);
        return found;
    }

  private:
    Machine& machine_;
    std::mutex lock_;
    std::vector<TraceLine> lines_;
};

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(status));
    return text;
}

// The one exit line of a dispatcher, with the status it returned, at `level`.
void ExpectExit(LevelTrace& trace, const char* exitText, ULONG component, ULONG level,
                NTSTATUS status)
{
    const std::vector<TraceLine> lines = trace.Take(exitText);
    ASSERT_EQ(lines.size(), 1u) << exitText;
    EXPECT_EQ(lines[0].Component, component);
    EXPECT_EQ(lines[0].Level, level) << lines[0].Text;
    const std::string tail = "STATUS " + StatusText(status);
    EXPECT_EQ(lines[0].Text.substr(lines[0].Text.size() - tail.size()), tail) << lines[0].Text;
}

constexpr const char* POWER_EXIT = "QuarvexPowerDispatch--. IRP";
constexpr const char* WMI_EXIT = "QuarvexSystemControlDispatch--. IRP";

POWER_STATE DevicePower(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

using PowerTest = FrameTest;

// Set-power, query-power and the other minors reach the bus through PoCallDriver and the
// bus's status (also a pending one) comes back unchanged; the exit is traced at level 2
// before the start and at level 3 after it. The reported power state stays D3.
TEST_F(PowerTest, PowerRequestsGoDownAndReturnTheLowerStatus)
{
    PDEVICE_OBJECT pdo = Report(u"COM5");
    ASSERT_EQ(Pnp().AddDevice(pdo, Driver()), STATUS_SUCCESS);
    ASSERT_EQ(PortOf(pdo)->PnpState, PNP_NOT_STARTED);
    LevelTrace trace(Sim());
    struct Case
    {
        UCHAR Minor;
        NTSTATUS Expected;
    };
    const Case cases[] = {{IRP_MN_SET_POWER, STATUS_SUCCESS},
                          {IRP_MN_QUERY_POWER, STATUS_SUCCESS},
                          {IRP_MN_WAIT_WAKE, STATUS_NOT_SUPPORTED},
                          {IRP_MN_POWER_SEQUENCE, STATUS_NOT_SUPPORTED}};
    for (bool started : {false, true}) {
        if (started) {
            ASSERT_EQ(Pnp().Start(pdo), STATUS_SUCCESS);
            trace.Take("");
        }
        const ULONG level = started ? 3 : 2;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "minor " << int(c.Minor) << " started " << started);
            Pnp().ClearBusLog(pdo);
            EXPECT_EQ(Pnp().SendPower(pdo, c.Minor, DevicePowerState, DevicePower(PowerDeviceD0)),
                      c.Expected);
            const std::vector<BusArrival> log = Pnp().BusLog(pdo);
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].MajorFunction, IRP_MJ_POWER);
            EXPECT_EQ(log[0].MinorFunction, c.Minor);
            EXPECT_EQ(log[0].StatusOnArrival, STATUS_NOT_SUPPORTED);
            ExpectExit(trace, POWER_EXIT, TRACE_POWER, level, c.Expected);
        }
        // A bus that pends: the dispatcher returns the pending status it got from below.
        Pnp().SetBusCompletion(pdo, BusCompletion::Timer);
        EXPECT_EQ(
            Pnp().SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DevicePower(PowerDeviceD0)),
            STATUS_SUCCESS);
        ExpectExit(trace, POWER_EXIT, TRACE_POWER, level, STATUS_PENDING);
        Pnp().SetBusCompletion(pdo, BusCompletion::Synchronous);

        EXPECT_EQ(Io().DevicePowerStateOf(Fdo(pdo)), PowerDeviceD3);
        EXPECT_EQ(PortOf(pdo)->OutstandingIo, 1);
    }
}

// Each disposition of the WMI library: a request for another provider (IrpForward) or not
// a WMI request (IrpNotWmi) reaches the bus untouched and its status is returned; one for
// a GUID the port does not serve is completed by the port (IrpNotCompleted); a registration
// query is completed by the library alone (IrpProcessed), and the port must not touch it.
TEST_F(PowerTest, WmiRequestsFollowTheLibrarysDisposition)
{
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(Plug(u"COM5", &pdo), STATUS_SUCCESS);
    const auto self = reinterpret_cast<ULONG_PTR>(Fdo(pdo));
    const ULONG header = offsetof(WMIREGINFOW, WmiRegGuid);
    LevelTrace trace(Sim());

    struct Case
    {
        const char* Name;
        UCHAR Minor;
        ULONG_PTR Provider;
        ULONG BufferSize;
        NTSTATUS Expected;
        bool ReachesBus;
    };
    const Case cases[] = {
        {"forward", IRP_MN_QUERY_ALL_DATA, self + 0x1000, 0, STATUS_NOT_SUPPORTED, true},
        {"not wmi", 0x0A, self, 0, STATUS_NOT_SUPPORTED, true},
        {"not completed", IRP_MN_QUERY_ALL_DATA, self, 0, STATUS_WMI_GUID_NOT_FOUND, false},
        {"not completed", IRP_MN_ENABLE_EVENTS, self, 0, STATUS_WMI_GUID_NOT_FOUND, false},
        {"processed", IRP_MN_REGINFO, self, 64, STATUS_SUCCESS, false},
        {"processed", IRP_MN_REGINFO_EX, self, sizeof(ULONG), STATUS_BUFFER_TOO_SMALL, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Name << " minor " << int(c.Minor));
        Pnp().ClearBusLog(pdo);
        std::vector<UCHAR> buffer(c.BufferSize, 0xEE);
        ULONG_PTR information = 0xDEAD;
        EXPECT_EQ(Pnp().SendSystemControl(pdo, c.Minor, c.Provider,
                                          buffer.empty() ? nullptr : buffer.data(), c.BufferSize,
                                          &information),
                  c.Expected);
        const std::vector<BusArrival> log = Pnp().BusLog(pdo);
        if (c.ReachesBus) {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].MajorFunction, IRP_MJ_SYSTEM_CONTROL);
            EXPECT_EQ(log[0].MinorFunction, c.Minor);
            EXPECT_EQ(log[0].StatusOnArrival, STATUS_NOT_SUPPORTED);
        } else {
            EXPECT_TRUE(log.empty());
        }
        if (c.Minor == IRP_MN_REGINFO) {
            // An empty registration: the port is no data provider.
            WMIREGINFOW info;
            std::memcpy(&info, buffer.data(), header);
            EXPECT_EQ(information, header);
            EXPECT_EQ(info.BufferSize, header);
            EXPECT_EQ(info.GuidCount, 0u);
        } else if (c.Minor == IRP_MN_REGINFO_EX) {
            ULONG needed = 0;
            std::memcpy(&needed, buffer.data(), sizeof(needed));
            EXPECT_EQ(needed, header);
            EXPECT_EQ(information, sizeof(ULONG));
        } else {
            EXPECT_EQ(information, 0u);
        }
        ExpectExit(trace, WMI_EXIT, TRACE_WMI, 3, c.Expected);
    }

    // A forwarded request the bus pends: the dispatcher returns what the lower driver said.
    Pnp().SetBusCompletion(pdo, BusCompletion::Timer);
    EXPECT_EQ(Pnp().SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA, self + 0x1000),
              STATUS_NOT_SUPPORTED);
    ExpectExit(trace, WMI_EXIT, TRACE_WMI, 3, STATUS_PENDING);
    Pnp().SetBusCompletion(pdo, BusCompletion::Synchronous);
    EXPECT_EQ(PortOf(pdo)->OutstandingIo, 1);
}

// On the real-time machine: a create holds the port's count (it waits for PortLock, which
// the test holds) while a removal marks the port removed and waits for it. Power and WMI requests
// arriving then are refused without reaching the bus or the WMI library, and leave the
// count as it was.
class PowerDuringRemovalTest : public FrameTest
{
  protected:
    PowerDuringRemovalTest() { Options.Mode = MachineMode::RealTime; }
};

TEST_F(PowerDuringRemovalTest, RequestsAfterRemovedAreRefused)
{
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(Plug(u"COM5", &pdo), STATUS_SUCCESS);
    PortDeviceRecord* port = PortOf(pdo);
    PDEVICE_OBJECT fdo = Fdo(pdo);
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    auto count = [port] { return InterlockedCompareExchange(&port->OutstandingIo, 0, 0); };

    const KIRQL old = KfAcquireSpinLock(&port->PortLock);
    std::atomic<FileHandle> handle{INVALID_FILE_HANDLE};
    std::thread create([&] { handle = Io().Open(u"\\\\.\\COM5"); });
    std::atomic<NTSTATUS> removal{STATUS_PENDING};
    std::thread remover;
    const bool counted = waitFor([&] { return count() == 2; });
    EXPECT_TRUE(counted) << "the create never counted itself in";
    if (counted) {
        // The removal comes without its query, as after a failed start: the create counts as
        // an open already, and the port would refuse a query-remove.
        remover = std::thread([&] { removal = Pnp().Remove(pdo); });
        EXPECT_TRUE(
            waitFor([&] { return *static_cast<volatile ULONG*>(&port->PnpState) == PNP_REMOVED; }));
    }
    if (counted && port->PnpState == PNP_REMOVED) {
        // Removal dropped its own entry and the device's; the create still counts.
        EXPECT_TRUE(waitFor([&] { return count() == 1; }));
        LevelTrace trace(Sim());
        Pnp().ClearBusLog(pdo);
        // The test thread holds PortLock at DISPATCH_LEVEL; the requests come from a thread
        // of their own at PASSIVE_LEVEL.
        NTSTATUS setPower = STATUS_PENDING;
        NTSTATUS queryPower = STATUS_PENDING;
        NTSTATUS wmi = STATUS_PENDING;
        std::thread sender([&] {
            setPower = Pnp().SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState,
                                       DevicePower(PowerDeviceD0));
            queryPower = Pnp().SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState,
                                         DevicePower(PowerDeviceD3));
            wmi = Pnp().SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA,
                                          reinterpret_cast<ULONG_PTR>(fdo));
        });
        sender.join();
        EXPECT_EQ(setPower, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(queryPower, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(wmi, STATUS_DELETE_PENDING);
        EXPECT_TRUE(Pnp().BusLog(pdo).empty());
        EXPECT_EQ(count(), 1);
        const std::vector<TraceLine> power = trace.Take(POWER_EXIT);
        EXPECT_EQ(power.size(), 2u);
        for (const TraceLine& line : power) {
            EXPECT_EQ(line.Level, 2u) << line.Text;
            EXPECT_NE(line.Text.find("STATUS c000000e"), std::string::npos) << line.Text;
        }
        ExpectExit(trace, WMI_EXIT, TRACE_WMI, 2, STATUS_DELETE_PENDING);
    }
    KfReleaseSpinLock(&port->PortLock, old);
    create.join();
    if (remover.joinable()) {
        remover.join();
        EXPECT_EQ(removal.load(), STATUS_SUCCESS);
    }
    if (handle.load() != INVALID_FILE_HANDLE) {
        EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    }
    Io().RunPassiveWork();
    Unplug(pdo);
}

} // namespace
} // namespace qvx
