// Plug and Play on a started port: stop and restart, the stalls of query-stop and
// query-remove, cancels out of their state, what is passed down untouched, surprise removal
// with requests in service, and a removal that meets a create still running.
// ctest-labels: pnp

#include "support/frame_fixture.h"

#include <ntddser.h>

#include "driver/driver.h"
#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/recording_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qvx {
namespace {

class PnpTest : public FrameTest
{
  protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_EQ(Plug(u"COM5", &pdo_), STATUS_SUCCESS);
        peer_ = std::make_unique<RecordingPeer>(u"COM5");
    }
    void TearDown() override
    {
        peer_.reset();
        FrameTest::TearDown();
    }

    IoResult Control(FileHandle handle, ULONG code, const void* input = nullptr,
                     ULONG inputLength = 0, ULONG outputLength = 0)
    {
        const auto* bytes = static_cast<const UCHAR*>(input);
        return Io().DeviceIoControl(handle, code, std::vector<UCHAR>(bytes, bytes + inputLength),
                                    outputLength);
    }
    void SetTimeouts(FileHandle handle, ULONG interval, ULONG constant)
    {
        SERIAL_TIMEOUTS timeouts = {interval, 0, constant, 0, 0};
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)).Status,
                  STATUS_SUCCESS);
    }
    // A write held by CTS: the handshake on, RTS (which CTS follows) dropped.
    IoRequestPtr WriteHeldByCts(FileHandle handle)
    {
        SERIAL_HANDFLOW handFlow = {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL,
                                    2048, 512};
        EXPECT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow)).Status,
                  STATUS_SUCCESS);
        EXPECT_EQ(Control(handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
        return Io().WriteAsync(handle, {'h', 'e', 'l', 'd'});
    }

    // Bytes go both ways through a freshly opened handle, which is closed again.
    void ExpectPortWorks()
    {
        const FileHandle handle = Open(u"COM5");
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        ExpectHandleWorks(handle);
    }

    // Bytes go both ways through an open handle, which is closed afterwards.
    void ExpectHandleWorks(FileHandle handle)
    {
        peer_->TakeReceived();
        EXPECT_EQ(Io().Write(handle, {'a', 'b', 'c'}).Status, STATUS_SUCCESS);
        Sim().AdvanceMs(40);
        EXPECT_EQ(peer_->TakeReceived(), (std::vector<uint8_t>{'a', 'b', 'c'}));
        peer_->Deliver(std::string("xyz"));
        SetTimeouts(handle, MAXULONG, 0);
        const IoResult read = Io().Read(handle, 8);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(read.Data, (std::vector<UCHAR>{'x', 'y', 'z'}));
        Close(handle);
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<RecordingPeer> peer_;
};

// Start, stop, start: the second start builds the serial resources again and the port works
// as after the first; a stop followed by removal frees them once.
TEST_F(PnpTest, StartStopStartLeavesAWorkingPort)
{
    ExpectPortWorks();
    ASSERT_EQ(Pnp().QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STOPPED);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_EQ(ReceiveRegistrations(u"COM5"), 0u);
    EXPECT_EQ(PortOf(pdo_)->Uart.RxBuffer, nullptr);
    // The device name outlives the link, but a stopped port does not open. Regression: the
    // open set the send timer, which the next start then initialised again while it was set.
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Io().Open(DeviceName(pdo_), 0, &status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);

    ASSERT_EQ(Pnp().Start(pdo_, false), STATUS_SUCCESS);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);
    EXPECT_EQ(LinkTarget(u"COM5"), DeviceName(pdo_));
    EXPECT_EQ(ReceiveRegistrations(u"COM5"), 1u);
    ExpectPortWorks();

    ASSERT_EQ(Pnp().QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(pdo_), STATUS_SUCCESS);
    // Query-remove and its cancel on a stopped port leave it stopped, its queues stalled.
    ASSERT_EQ(Pnp().QueryRemove(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().CancelRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STOPPED);
    EXPECT_NE(PortOf(pdo_)->ReadQueue.StallCount, 0);
    Unplug(pdo_);
    EXPECT_TRUE(NothingPublished());
}

// A stop and start with a handle open (the PnP manager moving resources): the handle's port
// works afterwards as before, both ways, with the send period it had and its lines as the
// program left them (DTR and RTS; CTS, DSR and DCD looped back from them), so a CTS handshake
// still lets writes go. Bytes handed to the transmitter reach the peer at the stop, and an
// immediate character sent while stopped waits for the start. Regressions: the start zeroed
// DTR and RTS (writes under the CTS handshake hung); the stop dropped the transmitter's bytes;
// the immediate character raised the stopped UART's interrupt, whose DPC the start then
// initialised again while queued.
TEST_F(PnpTest, RestartWithAHandleOpenLeavesItsPortWorking)
{
    const FileHandle handle = Open(u"COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    auto lines = [&](ULONG code) {
        const IoResult result = Control(handle, code, nullptr, 0, sizeof(ULONG));
        ULONG value = 0;
        EXPECT_EQ(result.Data.size(), sizeof(value));
        memcpy(&value, result.Data.data(), std::min(result.Data.size(), sizeof(value)));
        // The modem status without its delta bits.
        return code == IOCTL_SERIAL_GET_MODEMSTATUS ? value & ~0x0Fu : value;
    };
    const ULONG period = PortOf(pdo_)->SendPeriod;
    SERIAL_HANDFLOW handFlow = {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 2048,
                                512};
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow)).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_CLR_DTR).Status, STATUS_SUCCESS);
    peer_->TakeReceived();
    ASSERT_EQ(Io().Write(handle, {'s', 'e', 'n', 't'}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp().QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(peer_->TakeReceived(), (std::vector<uint8_t>{'s', 'e', 'n', 't'}));

    Sim().HoldDpcs(true);
    IoRequestPtr immediate =
        Io().DeviceIoControlAsync(handle, IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);
    EXPECT_FALSE(Sim().IsDpcQueued(&PortOf(pdo_)->Uart.InterruptDpc));
    ASSERT_EQ(Pnp().Start(pdo_, false), STATUS_SUCCESS);
    Sim().HoldDpcs(false);
    EXPECT_EQ(immediate->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(PortOf(pdo_)->SendPeriod, period);
    EXPECT_EQ(lines(IOCTL_SERIAL_GET_DTRRTS), SERIAL_RTS_STATE);
    EXPECT_EQ(lines(IOCTL_SERIAL_GET_MODEMSTATUS), SERIAL_CTS_STATE);
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    EXPECT_EQ(lines(IOCTL_SERIAL_GET_MODEMSTATUS),
              SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE);
    Sim().AdvanceMs(40);
    EXPECT_EQ(peer_->TakeReceived(), std::vector<uint8_t>{'!'});
    ExpectHandleWorks(handle);
    ExpectPortWorks();
}

// Query-stop returns only after the read in service has ended; requests arriving meanwhile
// wait, and the cancel lets them through. Query-remove with the handle open is refused at
// once (Windows vetoes the removal then anyway), without waiting for the read: regression, it
// held the Plug and Play manager for as long as a read without timeouts waited.
TEST_F(PnpTest, QueryStopWaitsForTheReadInServiceAndQueryRemoveRefusesAnOpenPort)
{
    const FileHandle handle = Open(u"COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    SetTimeouts(handle, 0, 100);
    const LONGLONG started = Sim().NowMs();
    IoRequestPtr read = Io().ReadAsync(handle, 10);
    Sim().AdvanceMs(10);
    ASSERT_FALSE(read->Done());
    ASSERT_EQ(Pnp().QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().Status, STATUS_TIMEOUT);
    EXPECT_GE(Sim().NowMs(), started + 100);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STOP_PENDING);

    IoRequestPtr write = Io().WriteAsync(handle, {'w'});
    IoRequestPtr control =
        Io().DeviceIoControlAsync(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    Sim().AdvanceMs(50);
    EXPECT_FALSE(write->Done());
    EXPECT_FALSE(control->Done());
    peer_->TakeReceived();
    ASSERT_EQ(Pnp().CancelStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);
    EXPECT_EQ(control->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Wait().Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    EXPECT_EQ(peer_->TakeReceived(), std::vector<uint8_t>{'w'});

    SetTimeouts(handle, 0, 0); // no timeout at all
    read = Io().ReadAsync(handle, 10);
    Pnp().ClearBusLog(pdo_);
    TraceCapture trace(Sim());
    EXPECT_EQ(Pnp().QueryRemove(pdo_), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(trace.Contains("QuarvexPnpDispatch--. IRP"));
    EXPECT_EQ(BusArrivals(pdo_, IRP_MN_QUERY_REMOVE_DEVICE), 0u);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);
    EXPECT_EQ(Pnp().Disable(pdo_), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_FALSE(read->Done());
    peer_->Deliver(std::vector<uint8_t>(10, 'r'));
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    Close(handle);
    EXPECT_EQ(Pnp().QueryRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().CancelRemove(pdo_), STATUS_SUCCESS);
    ExpectPortWorks();
}

// Cancel-stop and cancel-remove outside their pending state succeed without reaching the
// bus and change nothing; in their state they are passed down and restore the state.
TEST_F(PnpTest, CancelsOutsideTheirPendingStateAreNotPassedDown)
{
    Pnp().ClearBusLog(pdo_);
    EXPECT_EQ(Pnp().SendPnp(pdo_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SendPnp(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Pnp().BusLog(pdo_).empty());
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);

    ASSERT_EQ(Pnp().QueryStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SendPnp(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(BusArrivals(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), 0u);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STOP_PENDING);
    EXPECT_EQ(Pnp().CancelStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(BusArrivals(pdo_, IRP_MN_CANCEL_STOP_DEVICE), 1u);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);

    ASSERT_EQ(Pnp().QueryRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SendPnp(pdo_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(BusArrivals(pdo_, IRP_MN_CANCEL_STOP_DEVICE), 1u);
    EXPECT_EQ(Pnp().CancelRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(BusArrivals(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), 1u);
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_STARTED);
    ExpectPortWorks();
}

// The bus answers the capability query and a pending bus is waited for; the port changes
// none of the answer. A structure of an unknown version is refused without reaching the bus.
// A minor function the port does not handle reaches the bus with its status untouched, and
// a major function it does not serve is rejected by the system's default.
TEST_F(PnpTest, QueriesThePortDoesNotHandleReachTheBusUntouched)
{
    PDEVICE_OBJECT bare = Report(u"COM9"); // no function driver: the bus answers directly
    DEVICE_CAPABILITIES expected;
    ASSERT_EQ(Pnp().QueryCapabilities(bare, &expected), STATUS_SUCCESS);
    for (BusCompletion mode : {BusCompletion::Synchronous, BusCompletion::Timer}) {
        Pnp().SetBusCompletion(pdo_, mode);
        DEVICE_CAPABILITIES answered;
        std::memset(&answered, 0xA5, sizeof(answered));
        EXPECT_EQ(Pnp().QueryCapabilities(pdo_, &answered), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&answered, &expected, sizeof(expected)), 0);
    }
    Pnp().SetBusCompletion(pdo_, BusCompletion::Synchronous);

    Pnp().ClearBusLog(pdo_);
    EXPECT_EQ(Pnp().SendPnp(pdo_, IRP_MN_QUERY_CAPABILITIES), STATUS_INVALID_PARAMETER)
        << "no capability structure";
    EXPECT_TRUE(Pnp().BusLog(pdo_).empty());

    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_DEVICE_RELATIONS}, UCHAR{IRP_MN_QUERY_ID},
                        UCHAR{IRP_MN_QUERY_PNP_DEVICE_STATE}, UCHAR{0x42}}) {
        SCOPED_TRACE(minor);
        Pnp().ClearBusLog(pdo_);
        EXPECT_EQ(Pnp().SendPnp(pdo_, minor), STATUS_NOT_SUPPORTED);
        const std::vector<BusArrival> log = Pnp().BusLog(pdo_);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].MinorFunction, minor);
        EXPECT_EQ(log[0].StatusOnArrival, STATUS_NOT_SUPPORTED);
    }

    const FileHandle handle = Open(u"COM5");
    RequestArgs query;
    query.MajorFunction = IRP_MJ_QUERY_INFORMATION;
    EXPECT_EQ(Io().Send(handle, query).Status, STATUS_INVALID_DEVICE_REQUEST);
    Close(handle);
}

// Surprise removal with a handle open, a read without timeout and a write held by CTS: both
// end cancelled and the removal returns; later control requests are refused, a later read
// waits for the cleanup. The close reaches the driver, the device object goes only at the
// removal after it, and the device reported again starts cleanly.
TEST_F(PnpTest, SurpriseRemovalEndsRequestsInServiceAndWaitsForTheClose)
{
    const FileHandle handle = Open(u"COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    SetTimeouts(handle, 0, 0);
    IoRequestPtr read = Io().ReadAsync(handle, 10);
    IoRequestPtr write = WriteHeldByCts(handle);
    IoRequestPtr wait = Io().DeviceIoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Sim().AdvanceMs(100);
    ASSERT_FALSE(read->Done());
    ASSERT_FALSE(write->Done());
    PDEVICE_OBJECT fdo = Fdo(pdo_);

    ASSERT_EQ(Pnp().SurpriseRemove(pdo_), STATUS_SUCCESS);
    ASSERT_TRUE(read->Done());
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(read->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(write->Result().Status, STATUS_CANCELLED);
    EXPECT_TRUE(wait->Done());
    EXPECT_EQ(PortOf(pdo_)->PnpState, PNP_SURPRISE_REMOVED);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_TRUE(EnabledComPorts().empty());
    EXPECT_EQ(ReceiveRegistrations(u"COM5"), 0u);
    EXPECT_TRUE(Io().IsDeviceLive(fdo));

    EXPECT_EQ(
        Control(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(SERIAL_BAUD_RATE)).Status,
        STATUS_NO_SUCH_DEVICE);
    IoRequestPtr lateRead = Io().ReadAsync(handle, 1);
    Sim().AdvanceMs(100);
    EXPECT_FALSE(lateRead->Done());
    EXPECT_EQ(Pnp().Remove(pdo_), STATUS_INVALID_DEVICE_STATE) << "waits for the last handle";

    TraceCapture trace(Sim());
    Close(handle);
    EXPECT_EQ(lateRead->Wait().Status, STATUS_CANCELLED);
    EXPECT_TRUE(trace.Contains("QuarvexCloseDispatch--")) << trace.Dump();
    EXPECT_EQ(Io().PendingCloseCount(), 0u);
    EXPECT_TRUE(Io().IsDeviceLive(fdo)) << "the device object stays until the removal";
    EXPECT_EQ(trace.Count("QuarvexFreeSerialResources++"), 0u);

    Unplug(pdo_);
    EXPECT_FALSE(Io().IsDeviceLive(fdo));
    EXPECT_EQ(trace.Count("QuarvexFreeSerialResources++"), 0u)
        << "removal after a surprise removal frees nothing twice";
    EXPECT_TRUE(NothingPublished());

    ASSERT_EQ(Plug(u"COM5", &pdo_), STATUS_SUCCESS);
    EXPECT_EQ(DeviceName(pdo_), u"\\Device\\QuarvexDevice1");
    ExpectPortWorks();
}

// On the real-time machine: a create holds the port (it waits for PortLock, which the test
// holds) while a removal runs on another thread. The create counts as the open it is about to
// become: the removal is vetoed at once instead of waiting, nothing reaches the bus, and the
// port is removed only after the handle the create returns is closed.
class RemovalDuringCreateTest : public FrameTest
{
  protected:
    RemovalDuringCreateTest() { Options.Mode = MachineMode::RealTime; }
};

TEST_F(RemovalDuringCreateTest, CreateInProgressVetoesTheRemoval)
{
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(Plug(u"COM5", &pdo), STATUS_SUCCESS);
    PortDeviceRecord* port = PortOf(pdo);

    const KIRQL old = KfAcquireSpinLock(&port->PortLock);
    std::atomic<FileHandle> handle{INVALID_FILE_HANDLE};
    std::thread create([&] { handle = Io().Open(u"\\\\.\\COM5"); });
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    ASSERT_TRUE(waitFor([&] {
        return InterlockedCompareExchange(&port->ExclusiveOpenCount, 0, 0) == 1;
    })) << "the create never counted itself in";

    std::atomic<NTSTATUS> removal{STATUS_PENDING};
    std::thread remover([&] { removal = Pnp().Disable(pdo); });
    remover.join(); // does not wait for the create
    EXPECT_EQ(removal.load(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(BusArrivals(pdo, IRP_MN_QUERY_REMOVE_DEVICE), 0u);
    EXPECT_EQ(BusArrivals(pdo, IRP_MN_REMOVE_DEVICE), 0u);
    EXPECT_EQ(port->PnpState, PNP_STARTED);
    KfReleaseSpinLock(&port->PortLock, old);

    create.join();
    ASSERT_NE(handle.load(), INVALID_FILE_HANDLE);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    Io().RunPassiveWork();
    EXPECT_EQ(Pnp().Disable(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(pdo), nullptr);
    Unplug(pdo);
}

} // namespace
} // namespace qvx
