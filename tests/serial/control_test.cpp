// ctest-labels: control
// The serial control codes as an application sends them: lengths, value checks, what each
// code answers, the control gate, the input-buffer resize and the baud block.

#include "serial/input_ring.h"
#include "support/port_fixture.h"
#include "support/seeds.h"

#include "peer/peer.h"
#include "port/kcompat.h"
#include "serial/transfer.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace qvx {
namespace {

// Every setting a control code may change, compared byte for byte.
struct Settings
{
    ULONG BaudRate;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    SERIALPERF_STATS Stats;
    ULONG WaitMask;
    ULONG InputBufferSize;
    ULONG CommErrors;
    ULONG TxQueuedCount;
    ULONG TxCount;
    PIRP ImmediateIrp;
    UCHAR SavedLcr;
    UCHAR DataMask;
    UCHAR LsrMstEscape;
    UCHAR Mcr;
    UCHAR Lcr;
};

class ControlTest : public OpenPortTest
{
  protected:
    Settings Snapshot()
    {
        Settings s;
        memset(&s, 0, sizeof(s));
        UnderPortLock([&] {
            PortDeviceRecord* p = Port();
            s.BaudRate = p->BaudRate;
            s.Chars = p->SerialChars;
            s.HandFlow = p->HandFlow;
            s.Timeouts = p->Timeouts;
            s.Stats = p->Stats;
            s.WaitMask = p->WaitMask;
            s.InputBufferSize = p->InputBufferSize;
            s.CommErrors = p->CommErrors;
            s.TxQueuedCount = p->TxQueuedCount;
            s.TxCount = p->Uart.TxCount;
            s.ImmediateIrp = p->ImmediateIrp;
            s.SavedLcr = p->SavedLcr;
            s.DataMask = p->DataMask;
            s.LsrMstEscape = p->LsrMstEscape;
            s.Mcr = p->Uart.Mcr;
            s.Lcr = p->Uart.Lcr;
        });
        return s;
    }

    static bool Same(const Settings& a, const Settings& b)
    {
        return memcmp(&a, &b, sizeof(a)) == 0;
    }

    IoResult Send(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength = 0)
    {
        return Io().DeviceIoControl(Handle, code, input, outputLength);
    }

    template <class T> IoResult SendValue(ULONG code, const T& value, ULONG outputLength = 0)
    {
        const auto* bytes = reinterpret_cast<const UCHAR*>(&value);
        return Send(code, std::vector<UCHAR>(bytes, bytes + sizeof(T)), outputLength);
    }

    template <class T> T Get(ULONG code)
    {
        IoResult result = Send(code, {}, sizeof(T));
        EXPECT_EQ(result.Status, STATUS_SUCCESS) << std::hex << code;
        T value;
        memset(&value, 0, sizeof(value));
        memcpy(&value, result.Data.data(), std::min(result.Data.size(), sizeof(value)));
        return value;
    }

    NTSTATUS SetLineControl(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
    {
        SERIAL_LINE_CONTROL line = {stopBits, parity, wordLength};
        return SendValue(IOCTL_SERIAL_SET_LINE_CONTROL, line).Status;
    }

    NTSTATUS SetFlow(ULONG control, ULONG flow, LONG xon, LONG xoff)
    {
        SERIAL_HANDFLOW handFlow = {control, flow, xon, xoff};
        return SendValue(IOCTL_SERIAL_SET_HANDFLOW, handFlow).Status;
    }

    // Runs send ticks until the write is done and the transmitter is empty.
    void DrainTransmitter(const IoRequestPtr& write)
    {
        for (int tick = 0; tick < 5000 && (!write->Done() || Port()->Uart.TxCount != 0 ||
                                           Port()->Uart.BaudBlockHeld);
             ++tick) {
            Sim().AdvanceMs(20);
        }
    }
};

struct CodeRow
{
    ULONG Code;
    ULONG In;
    ULONG Out;
    ULONG Information;
    std::vector<UCHAR> ValidInput; // empty: zeros of the minimum length
};

std::vector<UCHAR> Le32(ULONG value)
{
    return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(value >> 16), static_cast<UCHAR>(value >> 24)};
}

// A buffer one byte short is refused before anything changes; a success returns exactly the
// code's information count, however large the caller's buffer; unlisted codes are refused.
TEST_F(ControlTest, EveryCodeChecksItsLengthsAndReturnsItsInformationCount)
{
    const std::vector<CodeRow> rows = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, 0, Le32(9600)},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, 0, {}},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, 0, {STOP_BIT_1, NO_PARITY, 8}},
        {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0, {}},
        {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0, {}},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, 0, {'!'}},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 0, {}},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, 20, {}},
        {IOCTL_SERIAL_SET_DTR, 0, 0, 0, {}},
        {IOCTL_SERIAL_CLR_DTR, 0, 0, 0, {}},
        {IOCTL_SERIAL_RESET_DEVICE, 0, 0, 0, {}},
        {IOCTL_SERIAL_SET_RTS, 0, 0, 0, {}},
        {IOCTL_SERIAL_CLR_RTS, 0, 0, 0, {}},
        {IOCTL_SERIAL_SET_XOFF, 0, 0, 0, {}},
        {IOCTL_SERIAL_SET_XON, 0, 0, 0, {}},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 4, {}},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, 0, {}},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, 0, {}},
        {IOCTL_SERIAL_PURGE, 4, 0, 0, Le32(SERIAL_PURGE_RXCLEAR)},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, 4, {}},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, 3, {}},
        {IOCTL_SERIAL_GET_CHARS, 0, 6, 6, {}},
        {IOCTL_SERIAL_SET_CHARS, 6, 0, 0, {0, 0, 0, 0, 0x11, 0x13}},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, 16, {}},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, 0, {}},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, 4, {}},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, 20, {}},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0, 0, {0, 0, 0, 0, 1, 0, 0, 0, 0x13, 0, 0, 0}},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, 64, {}},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4, 4, {}},
        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0, 0, {}},
        {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, 4, {}},
        {IOCTL_SERIAL_GET_STATS, 0, 24, 24, {}},
        {IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0, {}},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, 4, {}},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, 0, Le32(UART_MCR_DTR | UART_MCR_RTS)},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0, {}},
    };
    ASSERT_EQ(rows.size(), 37u);
    for (const CodeRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << row.Code);
        std::vector<UCHAR> input = row.ValidInput;
        if (input.empty()) {
            input.assign(row.In, 0);
        }
        const Settings before = Snapshot();
        if (row.In > 0) {
            std::vector<UCHAR> shortInput(input.begin(), input.begin() + (row.In - 1));
            IoResult result = Send(row.Code, shortInput, row.Out);
            EXPECT_EQ(result.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(result.Information, 0u);
        }
        if (row.Out > 0) {
            IoResult result = Send(row.Code, input, row.Out - 1);
            EXPECT_EQ(result.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(result.Information, 0u);
        }
        EXPECT_TRUE(Same(before, Snapshot()));

        if (row.Code == IOCTL_SERIAL_WAIT_ON_MASK) {
            continue; // with no mask it is refused by the wait path, which the wait tests cover
        }
        IoRequestPtr request = Io().DeviceIoControlAsync(Handle, row.Code, input, row.Out + 16);
        Sim().AdvanceMs(40); // the immediate character and the Xoff sent by the counter
        if (row.Code == IOCTL_SERIAL_XOFF_COUNTER) {
            Peer().Deliver(std::string("x")); // the one byte the counter waits for
            Sim().AdvanceMs(40);
        }
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Result().Status, STATUS_SUCCESS);
        EXPECT_EQ(request->Result().Information, row.Information);
        EXPECT_EQ(request->Result().Data.size(), row.Information);
    }

    for (ULONG code : {0x001B0084u, 0x001B0088u, 0x001B00A0u, 0x00220004u, 0x001B0006u}) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code);
        const Settings before = Snapshot();
        IoResult result = Send(code, std::vector<UCHAR>(64, 0), 64);
        EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result.Information, 0u);
        EXPECT_TRUE(Same(before, Snapshot()));
    }
}

// Each code traces its own name at its level: line control and RTS at 3, the others at 4;
// an unlisted code traces none, and a parked request says so at level 2.
TEST_F(ControlTest, CodesTraceTheirNamesAtTheirLevels)
{
    const ULONG savedLevel = TraceLevel;
    TraceLevel = 3;
    {
        TraceCapture trace(Sim());
        ASSERT_EQ(SetLineControl(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_SERIAL_CLR_RTS, {}).Status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status, STATUS_SUCCESS);
        EXPECT_EQ(trace.Count("IOCTL_SERIAL_SET_LINE_CONTROL"), 1u);
        EXPECT_EQ(trace.Count("IOCTL_SERIAL_CLR_RTS"), 1u);
        EXPECT_FALSE(trace.Contains("IOCTL_SERIAL_GET_BAUD_RATE")) << trace.Dump();
        EXPECT_EQ(trace.Count("QuarvexDeviceIoControlDispatch++. IRP"), 3u);
    }
    TraceLevel = savedLevel;
    TraceCapture trace(Sim());
    ASSERT_EQ(SendValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{300}).Status, STATUS_SUCCESS);
    EXPECT_EQ(trace.Count("IOCTL_SERIAL_SET_BAUD_RATE"), 1u);
    EXPECT_TRUE(trace.Contains("QuarvexSerialIoControlBaud Rate 300"));
    trace.Clear();
    EXPECT_EQ(Send(0x001B0084, {}).Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(trace.Contains("IOCTL_")) << trace.Dump();
    QuarvexStallQueues(Port());
    IoRequestPtr parked = Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_SET_XON, {}, 0);
    EXPECT_TRUE(trace.Contains("QuarvexSerialIoControl--. IRP"));
    QuarvexRestartQueues(Port());
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(trace.Count("IOCTL_SERIAL_SET_XON"), 2u); // parked, then replayed
}

// Line control: each table refuses what it does not list; 5 data bits with two stop bits
// read back as one and a half.
TEST_F(ControlTest, LineControlRefusesUnlistedValuesAndReportsOneAndAHalfStopBits)
{
    ASSERT_EQ(SetLineControl(STOP_BITS_2, ODD_PARITY, 5), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BITS_1_5);
    EXPECT_EQ(line.Parity, ODD_PARITY);
    EXPECT_EQ(line.WordLength, 5);
    EXPECT_EQ(Port()->DataMask, 0x1F);
    EXPECT_EQ(Port()->Uart.Lcr, 0x0C);

    ASSERT_EQ(SetLineControl(STOP_BITS_1_5, SPACE_PARITY, 8), STATUS_SUCCESS);
    const Settings before = Snapshot();
    for (const SERIAL_LINE_CONTROL& bad :
         {SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 9},
          SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 4}, SERIAL_LINE_CONTROL{STOP_BIT_1, 5, 8},
          SERIAL_LINE_CONTROL{3, NO_PARITY, 8}}) {
        EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_LINE_CONTROL, bad).Status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_TRUE(Same(before, Snapshot()));
    line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, SPACE_PARITY);
    EXPECT_EQ(line.WordLength, 8);
    EXPECT_EQ(Port()->DataMask, 0xFF);
}

// Value checks of the stored settings: each refusal changes nothing.
TEST_F(ControlTest, SettingsValueChecksRefuseAndChangeNothing)
{
    auto refused = [&](ULONG code, const std::vector<UCHAR>& input) {
        const Settings before = Snapshot();
        IoResult result = Send(code, input);
        EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_TRUE(Same(before, Snapshot())) << std::hex << code;
    };
    auto bytesOf = [](const auto& value) {
        const auto* bytes = reinterpret_cast<const UCHAR*>(&value);
        return std::vector<UCHAR>(bytes, bytes + sizeof(value));
    };

    SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, MAXULONG, 7, 8};
    refused(IOCTL_SERIAL_SET_TIMEOUTS, bytesOf(timeouts));
    timeouts.ReadTotalTimeoutConstant = 5;
    ASSERT_EQ(SendValue(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).Status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS back = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(memcmp(&back, &timeouts, sizeof(back)), 0);

    // Special characters against the insertion escape, and the escape against them.
    ASSERT_EQ(SendValue(IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0x99}).Status, STATUS_SUCCESS);
    refused(IOCTL_SERIAL_SET_CHARS, {0, 0, 0, 0, 0x99, 0x13});
    refused(IOCTL_SERIAL_SET_CHARS, {0, 0, 0, 0, 0x11, 0x99});
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_CHARS, {1, 2, 3, 4, 0x55, 0x55}).Status, STATUS_SUCCESS);
    refused(IOCTL_SERIAL_LSRMST_INSERT, {0x55});
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_CHARS, {1, 2, 3, 4, 0x11, 0x13}).Status, STATUS_SUCCESS);
    refused(IOCTL_SERIAL_LSRMST_INSERT, {0x11});
    refused(IOCTL_SERIAL_LSRMST_INSERT, {0x13});
    // The error character and insertion exclude each other, in both directions.
    refused(IOCTL_SERIAL_SET_HANDFLOW,
            bytesOf(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_ERROR_CHAR, 0, 0}));
    ASSERT_EQ(Send(IOCTL_SERIAL_LSRMST_INSERT, {0}).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetFlow(SERIAL_DTR_CONTROL, SERIAL_ERROR_CHAR | SERIAL_RTS_CONTROL, 0, 0),
              STATUS_SUCCESS);
    refused(IOCTL_SERIAL_LSRMST_INSERT, {0x42});
    ASSERT_EQ(Send(IOCTL_SERIAL_LSRMST_INSERT, {0}).Status, STATUS_SUCCESS);

    // Handshake checks 1 to 5, and the limits at the buffer size.
    const LONG size = static_cast<LONG>(Port()->InputBufferSize);
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0x80000004u, 0, 0, 0}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0, 0x20, 0, 0}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0x03, 0, 0, 0}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0, 0, -1, 0}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0, 0, size + 1, 0}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0, 0, 0, -1}));
    refused(IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0, 0, 0, size + 1}));
    ASSERT_EQ(SetFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, size, size), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.XonLimit, size);
    EXPECT_EQ(flow.XoffLimit, size);

    // Masks and the Xoff counter.
    refused(IOCTL_SERIAL_SET_WAIT_MASK, Le32(0x2000));
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_WAIT_MASK, Le32(0x1FFF)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_WAIT_MASK, Le32(0)).Status, STATUS_SUCCESS);
    refused(IOCTL_SERIAL_PURGE, Le32(0));
    refused(IOCTL_SERIAL_PURGE, Le32(0x10));
    EXPECT_EQ(Send(IOCTL_SERIAL_PURGE, Le32(0x0F)).Status, STATUS_SUCCESS);
    refused(IOCTL_SERIAL_XOFF_COUNTER, bytesOf(SERIAL_XOFF_COUNTER{10, 0, 0x13}));
    refused(IOCTL_SERIAL_XOFF_COUNTER, bytesOf(SERIAL_XOFF_COUNTER{10, -1, 0x13}));
    EXPECT_EQ(Send(IOCTL_SERIAL_XOFF_COUNTER, std::vector<UCHAR>(11, 1)).Status,
              STATUS_BUFFER_TOO_SMALL);
}

// DTR and RTS by hand are refused while a handshake or toggle mode drives them.
TEST_F(ControlTest, LinesByHandAreRefusedWhileAHandshakeDrivesThem)
{
    ASSERT_EQ(SetFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 100, 100), STATUS_SUCCESS);
    Settings before = Snapshot();
    EXPECT_EQ(Send(IOCTL_SERIAL_SET_DTR, {}).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_SERIAL_CLR_DTR, {}).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Same(before, Snapshot()));
    EXPECT_EQ(Send(IOCTL_SERIAL_CLR_RTS, {}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS) & SERIAL_RTS_STATE, 0u);

    for (ULONG rts : {SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE}) {
        ASSERT_EQ(SetFlow(SERIAL_DTR_CONTROL, rts, 100, 100), STATUS_SUCCESS);
        before = Snapshot();
        EXPECT_EQ(Send(IOCTL_SERIAL_SET_RTS, {}).Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Send(IOCTL_SERIAL_CLR_RTS, {}).Status, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(Same(before, Snapshot()));
    }
    EXPECT_EQ(Send(IOCTL_SERIAL_CLR_DTR, {}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS) & SERIAL_DTR_STATE, 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL) & UART_MCR_DTR, 0u);
}

// A second immediate character is refused while the first waits, which then goes out.
TEST_F(ControlTest, SecondImmediateCharacterIsRefusedAndTheFirstGoesOn)
{
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_BREAK_ON, {}).Status, STATUS_SUCCESS);
    IoRequestPtr first = Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_IMMEDIATE_CHAR, {'A'}, 0);
    Sim().AdvanceMs(40);
    ASSERT_FALSE(first->Done());
    const Settings before = Snapshot();
    EXPECT_EQ(before.TxQueuedCount, 1u);
    EXPECT_EQ(Send(IOCTL_SERIAL_IMMEDIATE_CHAR, {'B'}).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Same(before, Snapshot()));

    ASSERT_EQ(Send(IOCTL_SERIAL_SET_BREAK_OFF, {}).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(40);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(Peer().Received(), Bytes("A"));
    EXPECT_EQ(Port()->TxQueuedCount, 0u);
}

// Communication status: errors are reported once, and read even while the error abort
// refuses every other request; holds and queue amounts are reported.
TEST_F(ControlTest, CommStatusReportsErrorsOnceAndIsAnsweredUnderErrorAbort)
{
    ASSERT_EQ(SetFlow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 100, 100),
              STATUS_SUCCESS);
    Peer().Deliver(std::string("hello"));
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_XOFF, {}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_BREAK_ON, {}).Status, STATUS_SUCCESS);
    UnderPortLock([&] { Port()->CommErrors = SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY; });

    EXPECT_EQ(Send(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status, STATUS_CANCELLED);
    EXPECT_EQ(Send(IOCTL_SERIAL_GET_COMMSTATUS, {}, 19).Status, STATUS_BUFFER_TOO_SMALL);
    SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, static_cast<ULONG>(SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY));
    EXPECT_EQ(status.HoldReasons,
              static_cast<ULONG>(SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_ON_BREAK));
    EXPECT_EQ(status.AmountInInQueue, 5u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
    EXPECT_FALSE(status.EofReceived);
    EXPECT_FALSE(status.WaitForImmediate);

    status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(Send(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_BREAK_OFF, {}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_XON, {}).Status, STATUS_SUCCESS);
}

// The properties are the 64 bytes of a fixed record, with the current input buffer size.
TEST_F(ControlTest, PropertiesAreTheSixtyFourBytesExpected)
{
    IoResult result = Send(IOCTL_SERIAL_GET_PROPERTIES, {}, 100);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    ASSERT_EQ(result.Data.size(), 64u);
    const UCHAR expected[64] = {
        64,   0, 2, 0, 1,    0,    0,    0,    0,    0, 0,    0,    0,    0, 0, 0, // 0
        0,    0, 0, 0, 0,    0,    0,    0x10, 1,    0, 0,    0,    0xFF, 0, 0, 0, // 16
        0x7F, 0, 0, 0, 0xFF, 0xFF, 0x07, 0x10, 0x0F, 0, 0x07, 0x1F,                // 32
        0,    0, 0, 0, 0,    0x10, 0,    0,    0,    0, 0,    0,    0,    0, 0, 0,
        0,    0, 0, 0}; // 44
    EXPECT_EQ(memcmp(result.Data.data(), expected, 64), 0);
}

// The modem status read clears the delta bits and reports them to a waiting mask.
TEST_F(ControlTest, ModemStatusClearsDeltasAndFiresModemEvents)
{
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    IoRequestPtr wait = WaitOnMask();
    UnderPortLock(
        [&] { Port()->Uart.Msr = static_cast<UCHAR>(Port()->Uart.Msr | UART_MSR_DSR | 0x02); });
    const ULONG first = Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS);
    EXPECT_EQ(first & 0x02u, 0x02u);
    EXPECT_NE(first & UART_MSR_DSR, 0u);
    const ULONG second = Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS);
    EXPECT_EQ(second & UART_MSR_DELTAS, 0u);
    EXPECT_NE(second & UART_MSR_DSR, 0u);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(Events(wait), static_cast<ULONG>(SERIAL_EV_DSR));
}

// Statistics count traffic and clear to six zeros.
TEST_F(ControlTest, ClearedStatisticsReadBackAsZeros)
{
    Peer().Deliver(std::string("abc"));
    ASSERT_EQ(Io().Write(Handle, Bytes("xyz")).Status, STATUS_SUCCESS);
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.ReceivedCount, 3u);
    EXPECT_EQ(stats.TransmittedCount, 3u);
    ASSERT_EQ(Send(IOCTL_SERIAL_CLEAR_STATS, {}).Status, STATUS_SUCCESS);
    IoResult result = Send(IOCTL_SERIAL_GET_STATS, {}, 24);
    EXPECT_EQ(result.Data, std::vector<UCHAR>(24, 0));
}

// While the device is stalled a gated code waits for the restart and an ungated one is
// answered; the order of checks shows: a value refused before the gate is refused at once.
TEST_F(ControlTest, GatedCodesWaitWhileStalledAndRunAtRestart)
{
    ASSERT_EQ(Send(IOCTL_SERIAL_CLR_DTR, {}).Status, STATUS_SUCCESS);
    QuarvexStallQueues(Port());
    IoRequestPtr setDtr = Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_SET_DTR, {}, 0);
    EXPECT_EQ(setDtr->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(Send(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_SERIAL_SET_HANDFLOW, std::vector<UCHAR>(16, 0xFF)).Status,
              STATUS_INVALID_PARAMETER);
    Sim().AdvanceMs(100);
    EXPECT_FALSE(setDtr->Done());
    EXPECT_EQ(Port()->Uart.Mcr & UART_MCR_DTR, 0);

    QuarvexRestartQueues(Port());
    ASSERT_TRUE(setDtr->Done());
    EXPECT_EQ(setDtr->Result().Status, STATUS_SUCCESS);
    EXPECT_NE(Port()->Uart.Mcr & UART_MCR_DTR, 0);
}

// A parked request that is cancelled ends STATUS_CANCELLED; once the gate is aborted, gated
// codes end STATUS_NO_SUCH_DEVICE while the others are still answered.
TEST_F(ControlTest, ParkedRequestsCancelAndAbortedGateRefuses)
{
    QuarvexStallQueues(Port());
    IoRequestPtr parked = Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_SET_BREAK_ON, {}, 0);
    ASSERT_EQ(parked->DispatchStatus(), STATUS_PENDING);
    ASSERT_EQ(Io().CancelIo(Handle), STATUS_SUCCESS);
    ASSERT_TRUE(parked->Done());
    EXPECT_EQ(parked->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Port()->TxHoldReasons & TX_HOLD_BREAK, 0u);
    QuarvexRestartQueues(Port());

    QuarvexGateAbort(&Port()->ControlGate, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Send(IOCTL_SERIAL_SET_DTR, {}).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Send(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Send(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).Status, STATUS_SUCCESS);
}

// The input buffer grows keeping its bytes in order, never shrinks, and a size the pool
// cannot grant is refused with nothing left allocated.
TEST_F(ControlTest, QueueSizeGrowsInOrderAndRefusesWhatThePoolCannotGrant)
{
    const ULONG before = Sim().AllocationCount();
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 99999}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Sim().AllocationCount(), before);
    EXPECT_EQ(Send(IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<UCHAR>(7, 0xFF)).Status,
              STATUS_BUFFER_TOO_SMALL);

    Sim().FailAllocationsWithTag(QUARVEX_INPUT_POOL_TAG);
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{8192, 0}).Status,
              STATUS_INSUFFICIENT_RESOURCES);
    Sim().FailAllocationsWithTag(0);
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{0xFFFFFFFFu, 0}).Status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 0u);
    EXPECT_EQ(Port()->InputBufferSize, 4096u);

    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    Peer().Deliver(text);
    ASSERT_EQ(ReadNow(1000).size(), 1000u); // the held bytes wrap the ring's end below
    Peer().Deliver(text.substr(0, 1500));
    ASSERT_EQ(SendValue(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{8192, 0}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Port()->InputBufferSize, 8192u);
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 1u);
    const std::string expected = text.substr(1000) + text.substr(0, 1500);
    std::vector<UCHAR> all = ReadNow(8192);
    EXPECT_EQ(std::string(all.begin(), all.end()), expected);
    EXPECT_EQ(Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 8192u);
}

// A resize waiting behind a read that the closing handle cancels takes its new ring along.
TEST_F(ControlTest, ResizeCancelledWhileWaitingLeavesNoRingBehind)
{
    SetTimeouts(Handle, 0, 0, 0);
    IoRequestPtr read = Io().ReadAsync(Handle, 10);
    IoRequestPtr resize = Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_SET_QUEUE_SIZE,
                                                    {0, 0x40, 0, 0, 0, 0, 0, 0}, 0);
    ASSERT_FALSE(resize->Done());
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 1u);
    ClosePort(Handle);
    Handle = INVALID_FILE_HANDLE;
    ASSERT_TRUE(resize->Done());
    EXPECT_EQ(resize->Result().Status, STATUS_CANCELLED);
    EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 0u);
}

std::vector<UCHAR> Pattern(size_t size)
{
    std::vector<UCHAR> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<UCHAR>(i % 251); // never forms the block's tag
    }
    return data;
}

// A rate set while a long write keeps the transmitter full reaches the peer once, whole,
// between data bytes that all arrive in order.
TEST_F(ControlTest, BaudBlockDuringALongWriteReachesThePeerOnceAndIntact)
{
    const std::vector<UCHAR> data = Pattern(64 * 1024);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(200);
    ASSERT_FALSE(write->Done());
    ASSERT_GT(Port()->Uart.TxCount, UART_TX_CAPACITY - UART_BAUD_BLOCK_SIZE);
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{115200}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    DrainTransmitter(write);
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(Peer().BaudRates(), std::vector<ULONG>{115200});
    EXPECT_EQ(Peer().Received(), data);
}

// Two rates set while the transmitter is full: the peer learns the one in force.
TEST_F(ControlTest, SecondRateReplacesAHeldBaudBlock)
{
    const std::vector<UCHAR> data = Pattern(4096);
    IoRequestPtr write = Io().WriteAsync(Handle, data);
    Sim().AdvanceMs(40);
    ASSERT_FALSE(write->Done());
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{19200}).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{57600}).Status, STATUS_SUCCESS);
    DrainTransmitter(write);
    EXPECT_EQ(Peer().BaudRates(), std::vector<ULONG>{57600});
    EXPECT_EQ(Peer().Received(), data);

    // With room, every rate a peer can take for one goes out, 1 and 3,000,000 included; 0 is
    // kept but not announced.
    for (ULONG rate : {1u, 0u, 3000000u}) {
        EXPECT_EQ(SendValue(IOCTL_SERIAL_SET_BAUD_RATE, rate).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 3000000u);
    Sim().AdvanceMs(40);
    EXPECT_EQ(Peer().BaudRates(), (std::vector<ULONG>{57600, 1, 3000000}));
}

// Ends the process if a seeded run hangs, printing how to replay it.
class Watchdog
{
  public:
    Watchdog(unsigned seed, std::chrono::seconds limit)
        : thread_([this, seed, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  fprintf(stderr, "control swarm hung; replay with QVX_SEED=%u\n", seed);
                  abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// A seeded mix of control codes with random lengths and values, peer traffic, writes and
// time: a refusal changes nothing and returns no information, a success returns exactly the
// code's count, and the settings read back as the last accepted values.
TEST_F(ControlTest, SeededRandomControlSequenceKeepsItsInvariants)
{
    const unsigned seed = ScenarioSeed(13u);
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (replay with QVX_SEED=" << seed << ")");
    Watchdog watchdog(seed, std::chrono::seconds(120));
    std::mt19937 random(seed);
    auto below = [&random](ULONG bound) { return static_cast<ULONG>(random() % bound); };

    struct Candidate
    {
        ULONG Code;
        ULONG In;
        ULONG Out;
    };
    const Candidate candidates[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_SET_DTR, 0, 0},
        {IOCTL_SERIAL_CLR_DTR, 0, 0},
        {IOCTL_SERIAL_SET_RTS, 0, 0},
        {IOCTL_SERIAL_CLR_RTS, 0, 0},
        {IOCTL_SERIAL_SET_XOFF, 0, 0},
        {IOCTL_SERIAL_SET_XON, 0, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
        {IOCTL_SERIAL_GET_STATS, 0, 24},
        {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4},
        {0x001B0084, 0, 0},
    };
    ULONG lastRate = Port()->BaudRate;
    SERIAL_TIMEOUTS lastTimeouts = Port()->Timeouts;
    const int steps = getenv("QVX_FAST") != nullptr ? 300 : 2000;
    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        const ULONG action = below(10);
        if (action == 0) {
            Peer().Deliver(std::string(1 + below(40), static_cast<char>('a' + below(26))));
            continue;
        }
        if (action == 1) {
            Sim().AdvanceMs(below(50));
            continue;
        }
        const Candidate& c = candidates[below(sizeof(candidates) / sizeof(candidates[0]))];
        // Mostly full lengths, sometimes one short; values biased towards the edges.
        const bool shortIn = c.In > 0 && below(8) == 0;
        const bool shortOut = c.Out > 0 && below(8) == 0;
        std::vector<UCHAR> input(shortIn ? c.In - 1 : c.In);
        for (UCHAR& byte : input) {
            const ULONG pick = below(4);
            byte = pick == 0 ? 0 : pick == 1 ? 0xFF : static_cast<UCHAR>(below(16));
        }
        const ULONG outLength = shortOut ? c.Out - 1 : c.Out + below(8);
        const Settings before = Snapshot();
        IoResult result = Send(c.Code, input, outLength);
        if (result.Status == STATUS_PENDING) {
            Sim().AdvanceMs(20);
        }
        if (!NT_SUCCESS(result.Status)) {
            EXPECT_EQ(result.Information, 0u);
            EXPECT_TRUE(result.Status == STATUS_BUFFER_TOO_SMALL ||
                        result.Status == STATUS_INVALID_PARAMETER)
                << std::hex << result.Status;
            if (result.Status == STATUS_BUFFER_TOO_SMALL) {
                EXPECT_TRUE(shortIn || shortOut);
            }
            const Settings after = Snapshot();
            // Traffic between the snapshots moves only the counters and the errors.
            EXPECT_EQ(before.BaudRate, after.BaudRate);
            EXPECT_EQ(memcmp(&before.HandFlow, &after.HandFlow, sizeof(before.HandFlow)), 0);
            EXPECT_EQ(memcmp(&before.Chars, &after.Chars, sizeof(before.Chars)), 0);
            EXPECT_EQ(before.SavedLcr, after.SavedLcr);
            EXPECT_EQ(before.LsrMstEscape, after.LsrMstEscape);
            EXPECT_EQ(before.WaitMask, after.WaitMask);
            continue;
        }
        ASSERT_EQ(result.Status, STATUS_SUCCESS) << std::hex << c.Code;
        EXPECT_EQ(result.Information, c.Out);
        EXPECT_EQ(result.Data.size(), c.Out);
        ULONG value = 0;
        if (c.In >= 4) {
            memcpy(&value, input.data(), 4);
        }
        if (c.Code == IOCTL_SERIAL_SET_BAUD_RATE) {
            lastRate = value;
        } else if (c.Code == IOCTL_SERIAL_SET_TIMEOUTS) {
            memcpy(&lastTimeouts, input.data(), sizeof(lastTimeouts));
        } else if (c.Code == IOCTL_SERIAL_GET_BAUD_RATE) {
            memcpy(&value, result.Data.data(), 4);
            EXPECT_EQ(value, lastRate);
        } else if (c.Code == IOCTL_SERIAL_GET_TIMEOUTS) {
            EXPECT_EQ(memcmp(result.Data.data(), &lastTimeouts, 20), 0);
        }
        const UCHAR lcr = Port()->SavedLcr;
        EXPECT_EQ(Port()->DataMask, static_cast<UCHAR>(0xFF >> (3 - (lcr & 0x03))));
        EXPECT_LE(static_cast<ULONG>(Port()->HandFlow.XoffLimit), Port()->InputBufferSize);
        EXPECT_LE(Port()->Uart.TxCount, UART_TX_CAPACITY);
        if (HasFatalFailure() || HasFailure()) {
            break;
        }
    }
    // Let the line go and flush what is left, so the port ends idle.
    ASSERT_EQ(Send(IOCTL_SERIAL_LSRMST_INSERT, {0}).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_XON, {}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_SERIAL_SET_WAIT_MASK, Le32(0)).Status, STATUS_SUCCESS);
    Sim().AdvanceMs(100);
}

} // namespace
} // namespace qvx
