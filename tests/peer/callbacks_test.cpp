// The peer callback channel: receive blocks, the send tick, the BAUD block, the callback
// objects' names and their teardown.

#include "support/port_fixture.h"
#include "support/watchdog.h"

#include "abi/baud_block.h"
#include "peer/peer.h"
#include "platform/machine/machine.h"
#include "port/kcompat.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qvx {
namespace {

// The driver keeps a copy of the baud block's constants: it includes only WDK headers.
static_assert(PEER_BAUD_TAG == abi::BAUD_TAG && PEER_BAUD_RATE_MIN == abi::BAUD_RATE_MIN &&
              PEER_BAUD_RATE_MAX == abi::BAUD_RATE_MAX);

std::vector<UCHAR> Pattern(size_t length, UCHAR first = 0)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>(first + i);
    }
    return bytes;
}

class PeerChannelTest : public PortTest
{
  protected:
    // Delivers with the interrupt service held off, so the bytes stay in the UART.
    void DeliverHeld(const std::vector<UCHAR>& bytes)
    {
        Sim().HoldDpcs(true);
        Peer().Deliver(bytes);
    }
    // One block exactly as given, bypassing the endpoint's 44-byte split.
    void NotifyRaw(std::vector<UCHAR> bytes)
    {
        ULONG length = static_cast<ULONG>(bytes.size());
        DispatchLevelScope dispatch;
        QuarvexReceiveData(Port(), bytes.data(), &length);
    }
    void ReleaseUart() { Sim().HoldDpcs(false); }
    EmulatedUart* Uart() { return &Port()->Uart; }
};

TEST(PortNumberTest, ParsesComNamesOnly)
{
    EXPECT_EQ(QuarvexPortNumberFromName(u"COM5"), 5);
    EXPECT_EQ(QuarvexPortNumberFromName(u"com12"), 12);
    EXPECT_EQ(QuarvexPortNumberFromName(u"CoM255"), 255);
    EXPECT_EQ(QuarvexPortNumberFromName(u"COM"), 0);
    EXPECT_EQ(QuarvexPortNumberFromName(u"COM256"), 0);
    EXPECT_EQ(QuarvexPortNumberFromName(u"COM25x"), 25);
    EXPECT_EQ(QuarvexPortNumberFromName(u"LPT1"), 0);
    EXPECT_EQ(QuarvexPortNumberFromName(u"CXM3"), 0);
    EXPECT_EQ(QuarvexPortNumberFromName(u"CO"), 0);
    EXPECT_EQ(QuarvexPortNumberFromName(nullptr), 0);
}

// Blocks of 1 to 44 bytes are taken; longer ones are traced and dropped whole; while the port
// is closed nothing is taken or traced.
TEST_F(PeerChannelTest, ReceiveBlockLimitsAndClosedPort)
{
    TraceCapture trace(Sim());
    Peer().Deliver(Pattern(10));
    EXPECT_FALSE(trace.Contains("QuarvexReceiveData"));

    FileHandle handle = OpenPort();
    DeliverHeld(Pattern(44));
    EXPECT_EQ(Uart()->RxCount, 44u);
    NotifyRaw(Pattern(45));
    EXPECT_EQ(Uart()->RxCount, 44u);
    EXPECT_TRUE(trace.Contains("QuarvexReceiveData COM5 Receive 45 Bytes")) << trace.Dump();
    EXPECT_TRUE(trace.Contains("QuarvexReceiveData COM5 Dropped 45 Bytes")) << trace.Dump();
    NotifyRaw({});
    EXPECT_EQ(Uart()->RxCount, 44u);
    ReleaseUart();
    EXPECT_EQ(Port()->InputCount, 44u);
    ClosePort(handle);
}

// Regression: a block longer than 44 bytes was dropped with nothing but a level-4 trace. It
// is still dropped whole, but reported as an overrun: the error, its counter, SERIAL_EV_ERR,
// the error abort and a level-2 trace.
TEST_F(PeerChannelTest, OversizeBlockIsReportedAsAnOverrun)
{
    FileHandle handle = OpenPort();
    SetHandFlow(handle, SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 2048, 512);
    ULONG mask = SERIAL_EV_ERR;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)).Status,
              STATUS_SUCCESS);
    IoRequestPtr wait = Io().DeviceIoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    TraceCapture trace(Sim());
    NotifyRaw(Pattern(45));
    EXPECT_EQ(Port()->InputCount, 0u);
    EXPECT_EQ(Port()->Stats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(Port()->CommErrors, static_cast<ULONG>(SERIAL_ERROR_OVERRUN));
    ASSERT_TRUE(wait->Done());
    ULONG events = 0;
    ASSERT_EQ(wait->Result().Data.size(), sizeof(events));
    memcpy(&events, wait->Result().Data.data(), sizeof(events));
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_ERR));
    EXPECT_EQ(Io().Read(handle, 1).Status, STATUS_CANCELLED); // the error abort holds
    EXPECT_TRUE(trace.Contains("QuarvexReceiveData COM5 Dropped 45 Bytes")) << trace.Dump();
    ClosePort(handle);
}

// Regression: a receive notification arriving after teardown found the UART still claiming
// the bytes it had held, raised its interrupt, and the service read "data pending" from a
// freed buffer forever. Teardown clears the UART's counts and flags and shuts notifications
// out; one in progress is waited for.
TEST_F(PeerChannelTest, ReceiveAfterTeardownStoresAndRaisesNothing)
{
    Watchdog watchdog("ReceiveAfterTeardownStoresAndRaisesNothing");
    FileHandle handle = OpenPort();
    DeliverHeld(Pattern(5));
    ASSERT_TRUE(Uart()->RxDataPending);

    // A notification in progress when teardown starts: teardown waits until it has left.
    InterlockedIncrement(&Port()->ReceiveBusy);
    bool left = false;
    const int hook = Sim().AddProgressHook([&] {
        if (left) {
            return false;
        }
        left = true;
        if (InterlockedDecrement(&Port()->ReceiveBusy) == 0) {
            (void)KeSetEvent(&Port()->ReceiveIdle, IO_NO_INCREMENT, FALSE);
        }
        return true;
    });
    QuarvexFreeCallbacks(Port());
    Sim().RemoveProgressHook(hook);
    EXPECT_TRUE(left);
    EXPECT_EQ(Port()->ReceiveBusy, 0);
    QuarvexUartFree(&Port()->Uart);
    EXPECT_EQ(Uart()->RxCount, 0u);
    EXPECT_FALSE(Uart()->RxDataPending);

    NotifyRaw(Pattern(3)); // late
    EXPECT_FALSE(Sim().IsDpcQueued(&Port()->Uart.InterruptDpc));
    ReleaseUart();
    EXPECT_EQ(Uart()->RxCount, 0u);
    ClosePort(handle);
}

// The receive buffer takes what fits; the rest is recorded as an overrun, which the interrupt
// service reports to the application.
TEST_F(PeerChannelTest, FullReceiveBufferStoresWhatFitsAndRecordsOverrun)
{
    FileHandle handle = OpenPort();
    Sim().HoldDpcs(true);
    UnderPortLock([&] { Uart()->RxCount = 4090; });
    Peer().Deliver(Pattern(10));
    EXPECT_EQ(Uart()->RxCount, 4096u);
    EXPECT_TRUE(Uart()->RxDataPending);
    EXPECT_EQ(Uart()->LsrErrors, UART_LSR_OVERRUN);
    UnderPortLock([&] { Uart()->RxDataPending = FALSE; });
    Peer().Deliver(Pattern(3));
    EXPECT_EQ(Uart()->RxCount, 4096u);
    EXPECT_TRUE(Uart()->RxDataPending); // set even when nothing could be stored
    ReleaseUart();

    EXPECT_EQ(Port()->CommErrors & SERIAL_ERROR_OVERRUN, static_cast<ULONG>(SERIAL_ERROR_OVERRUN));
    EXPECT_EQ(Port()->Stats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(Port()->InputCount, 4096u);
    ClosePort(handle);
}

// The receive buffer is a ring: a block stored across its end reads back in order, and the
// emptied ring starts again at its front.
TEST_F(PeerChannelTest, BlockAcrossTheReceiveBufferEndReadsBackInOrder)
{
    FileHandle handle = OpenPort();
    Sim().HoldDpcs(true);
    // As if 4092 bytes had been read while more kept arriving: 4 places left before the end.
    UnderPortLock([&] { Uart()->RxHead = 4092; });
    Peer().Deliver(Pattern(10, 0x20));
    EXPECT_EQ(Uart()->RxCount, 10u);
    std::vector<UCHAR> read;
    UnderPortLock([&] {
        for (int i = 0; i < 10; ++i) {
            read.push_back(QuarvexUartReadRbr(Uart()));
        }
    });
    EXPECT_EQ(read, Pattern(10, 0x20));
    EXPECT_EQ(Uart()->RxHead, 0u);
    EXPECT_FALSE(Uart()->RxDataPending);
    ReleaseUart();
    ClosePort(handle);
}

// The receive trace shows the first 20 bytes as upper-case hex, each followed by a space.
TEST_F(PeerChannelTest, ReceiveTraceShowsHexOfFirstTwentyBytes)
{
    FileHandle handle = OpenPort();
    TraceCapture trace(Sim());
    Peer().Deliver(std::vector<UCHAR>{0x01, 0xAB});
    EXPECT_TRUE(trace.Contains("QuarvexReceiveData COM5 Receive 2 Bytes (01 AB )")) << trace.Dump();
    Peer().Deliver(Pattern(30));
    EXPECT_TRUE(trace.Contains("Receive 30 Bytes (00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                               "10 11 12 13 )"))
        << trace.Dump();
    ClosePort(handle);
}

// An idle tick notifies nobody; the first tick after a BAUD block hands it to the peer.
TEST_F(PeerChannelTest, SendTickHandsBaudBlockToPeer)
{
    FileHandle handle = OpenPort();
    Sim().AdvanceMs(60);
    EXPECT_TRUE(Peer().Blocks().empty());

    TraceCapture trace(Sim());
    std::vector<ULONG> announced;
    Peer().SetOnBaudRate([&](ULONG rate) { announced.push_back(rate); });
    ULONG rate = 9600;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)).Status,
              STATUS_SUCCESS);
    Sim().AdvanceMs(20);
    auto blocks = Peer().Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    const std::vector<UCHAR> expected = {0x44, 0x55, 0x41, 0x42, 0x80, 0x25, 0x00, 0x00};
    EXPECT_EQ(blocks[0].Bytes, expected);
    EXPECT_EQ(blocks[0].TimeMs, 80);
    EXPECT_EQ(Peer().BaudRates(), std::vector<ULONG>{9600});
    EXPECT_EQ(announced, std::vector<ULONG>{9600});
    EXPECT_TRUE(Peer().Received().empty());
    EXPECT_TRUE(trace.Contains("SendTimerDpcRoutineSend 8 Bytes"));
    EXPECT_TRUE(trace.Contains("SendTimerDpcRoutineSend Baud 9600"));
    EXPECT_EQ(Port()->Uart.TxCount, 0u);
    ClosePort(handle);
}

// Application data that holds the baud tag with no plausible rate behind it reaches the peer as
// data, and a rate no peer could take for one is stored but not announced. Regression: the
// peer took any tagged eight bytes out of the stream as a rate.
TEST_F(PeerChannelTest, TagInDataIsDataAndImplausibleRatesAreNotAnnounced)
{
    FileHandle handle = OpenPort();
    const std::vector<UCHAR> data = Bytes("xDUABzzzzyDUAB");
    ASSERT_EQ(Io().Write(handle, data).Status, STATUS_SUCCESS);
    for (ULONG rate : {0u, 16000001u}) {
        ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)).Status,
                  STATUS_SUCCESS);
        const IoResult get = Control(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
        ASSERT_EQ(get.Data.size(), 4u);
        EXPECT_EQ(memcmp(get.Data.data(), &rate, 4), 0);
    }
    Sim().AdvanceMs(20);
    EXPECT_EQ(Peer().Received(), data);
    EXPECT_TRUE(Peer().BaudRates().empty());
    ClosePort(handle);
}

// A send-timer DPC already queued when the port is torn down is taken back instead of running
// against freed buffers; what it would have sent is handed over by the teardown itself.
TEST_F(PeerChannelTest, TeardownTakesBackQueuedSendAndInterruptDpcs)
{
    FileHandle handle = OpenPort();
    ULONG rate = 300;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)).Status,
              STATUS_SUCCESS);
    Sim().HoldDpcs(true);
    Sim().AdvanceMs(20); // the tick's DPC is queued, not run
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->SendTimerDpc));
    Peer().Deliver(Pattern(5));
    ASSERT_TRUE(Sim().IsDpcQueued(&Port()->Uart.InterruptDpc));

    QuarvexFreeCallbacks(Port());
    EXPECT_FALSE(Sim().IsDpcQueued(&Port()->SendTimerDpc));
    QuarvexUartFree(&Port()->Uart);
    EXPECT_FALSE(Sim().IsDpcQueued(&Port()->Uart.InterruptDpc));
    Sim().HoldDpcs(false);
    // The tick that was taken back did not send the rate; the teardown handed it over.
    EXPECT_EQ(Peer().BaudRates(), std::vector<ULONG>{300});
    ClosePort(handle);
}

class LongNamePeerTest : public PeerChannelTest
{
  protected:
    LongNamePeerTest() { PortName = u"COM_NUMBER_FIVE_LONG"; }
};

// A long port name still gets callback objects of its own, named with the full port name.
TEST_F(LongNamePeerTest, LongPortNameGetsItsOwnCallbackObjects)
{
    ObjectNamespace& names = Sim().Names();
    EXPECT_NE(names.FindCallback(u"\\Callback\\LyntraRecvCOM_NUMBER_FIVE_LONG"), nullptr);
    EXPECT_NE(names.FindCallback(u"\\Callback\\LyntraSendCOM_NUMBER_FIVE_LONG"), nullptr);
    EXPECT_EQ(names.FindCallback(u"\\Callback\\LyntraRecv"), nullptr);
    EXPECT_EQ(names.RegistrationCount(u"\\Callback\\LyntraRecvCOM_NUMBER_FIVE_LONG"), 1u);

    FileHandle handle = OpenPort();
    Peer().Deliver(std::string("abc"));
    EXPECT_EQ(Port()->InputCount, 3u);
    ClosePort(handle);
}

// Every failure of the set-up returns its status, frees the port name, and leaves only what
// the release routine takes back.
TEST_F(PeerChannelTest, InitializeFailuresUnwindCleanly)
{
    auto attempt = [&](const std::function<void()>& inject, NTSTATUS expected) {
        PortDeviceRecord spare;
        memset(&spare, 0, sizeof(spare));
        const size_t bytes = sizeof(u"COM9");
        spare.PortNameString =
            static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, QUARVEX_POOL_TAG));
        memcpy(spare.PortNameString, u"COM9", bytes);
        TraceCapture trace(Sim());
        inject();
        EXPECT_EQ(QuarvexInitializeCallbacks(&spare), expected);
        EXPECT_EQ(spare.PortNameString, nullptr);
        EXPECT_TRUE(trace.Contains("QuarvexInitializeCallbacks--. STATUS"));
        QuarvexFreeCallbacks(&spare);
        QuarvexFreeCallbacks(&spare); // a second release does nothing
        EXPECT_EQ(spare.ReceiveRegistration, nullptr);
    };
    const size_t before = Sim().OutstandingBlocks();
    for (ULONG nth = 1; nth <= 2; ++nth) {
        attempt([&] { Sim().FailNthAllocation(nth); }, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Sim().OutstandingBlocks(), before);
    }
    attempt([&] { Sim().Names().InjectFailure(NamespaceFault::CreateCallback); },
            STATUS_INSUFFICIENT_RESOURCES);
    attempt([&] { Sim().Names().InjectFailure(NamespaceFault::RegisterCallback); },
            STATUS_INSUFFICIENT_RESOURCES);
    attempt([&] { Sim().Names().InjectFailure(NamespaceFault::CreateCallback, 2); },
            STATUS_INSUFFICIENT_RESOURCES);
    Sim().Names().ClearFailures();
    EXPECT_EQ(Sim().OutstandingBlocks(), before);
    EXPECT_EQ(Sim().Names().RegistrationCount(u"\\Callback\\LyntraRecvCOM9"), 0u);
}

} // namespace
} // namespace qvx
