// The Win32 layer's pure translations: structure layouts, DCB <-> driver settings, the
// refusals SetCommState makes itself, BuildCommDCB, and NTSTATUS -> Win32 error.
// ctest-labels: host

#include "host/win32/comm_map.h"
#include "host/win32/win32_internal.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <cstring>

namespace qvx::win32 {
namespace {

DWORD BitsOf(const DCB& dcb)
{
    DWORD bits = 0;
    std::memcpy(&bits, reinterpret_cast<const BYTE*>(&dcb) + 8, 4);
    return bits;
}

TEST(Win32Layout, StructuresMatchWindows)
{
    EXPECT_EQ(offsetof(DCB, BaudRate), 4u);
    EXPECT_EQ(offsetof(DCB, wReserved), 12u);
    EXPECT_EQ(offsetof(DCB, XonLim), 14u);
    EXPECT_EQ(offsetof(DCB, ByteSize), 18u);
    EXPECT_EQ(offsetof(DCB, XonChar), 21u);
    EXPECT_EQ(offsetof(DCB, EvtChar), 25u);
    EXPECT_EQ(offsetof(DCB, wReserved1), 26u);
    EXPECT_EQ(offsetof(COMMPROP, wSettableData), 40u);
    EXPECT_EQ(offsetof(COMMPROP, dwProvSpec1), 52u);
    EXPECT_EQ(offsetof(COMMPROP, wcProvChar), 60u);
    EXPECT_EQ(offsetof(COMSTAT, cbInQue), 4u);
    // Two ULONG_PTRs, then the 8-byte file offset (16 on x86, 24 on x64).
    EXPECT_EQ(offsetof(OVERLAPPED, hEvent), 2 * sizeof(ULONG_PTR) + 8u);
    EXPECT_EQ(sizeof(OVERLAPPED), offsetof(OVERLAPPED, hEvent) + sizeof(HANDLE));

    // Each DCB bit field where Windows puts it.
    DCB dcb = {};
    struct
    {
        void (*Set)(DCB&);
        DWORD Mask;
    } const fields[] = {
        {[](DCB& d) { d.fBinary = 1; }, 0x1},
        {[](DCB& d) { d.fParity = 1; }, 0x2},
        {[](DCB& d) { d.fOutxCtsFlow = 1; }, 0x4},
        {[](DCB& d) { d.fOutxDsrFlow = 1; }, 0x8},
        {[](DCB& d) { d.fDtrControl = 3; }, 0x30},
        {[](DCB& d) { d.fDsrSensitivity = 1; }, 0x40},
        {[](DCB& d) { d.fTXContinueOnXoff = 1; }, 0x80},
        {[](DCB& d) { d.fOutX = 1; }, 0x100},
        {[](DCB& d) { d.fInX = 1; }, 0x200},
        {[](DCB& d) { d.fErrorChar = 1; }, 0x400},
        {[](DCB& d) { d.fNull = 1; }, 0x800},
        {[](DCB& d) { d.fRtsControl = 3; }, 0x3000},
        {[](DCB& d) { d.fAbortOnError = 1; }, 0x4000},
    };
    for (const auto& field : fields) {
        dcb = DCB{};
        field.Set(dcb);
        EXPECT_EQ(BitsOf(dcb), field.Mask);
    }
}

SerialSettings SampleSettings()
{
    SerialSettings settings;
    settings.BaudRate = 57600;
    settings.LineControl = {TWOSTOPBITS, EVENPARITY, 7};
    settings.Chars = {0x1A, 0x3F, 0x55, 0x0D, 0x11, 0x13};
    // DTR handshake, CTS and DSR flow, DSR sensitivity, error abort, DCD handshake (0x20,
    // no DCB field); XON/XOFF both ways, error char, null stripping, RTS toggle, continue on
    // XOFF, break char (0x10, no DCB field).
    settings.Handflow = {0x80000000u | 0x40 | 0x20 | 0x10 | 0x08 | 0x02,
                         0x80000000u | 0xC0 | 0x10 | 0x08 | 0x04 | 0x02 | 0x01, 1024, 256};
    return settings;
}

TEST(Win32Dcb, SettingsToDcbAndBack)
{
    const SerialSettings settings = SampleSettings();
    const DCB dcb = DcbFromSettings(settings);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u); // Windows reports FALSE whatever the parity
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow && dcb.fDsrSensitivity && dcb.fAbortOnError &&
                dcb.fOutX && dcb.fInX && dcb.fErrorChar && dcb.fNull && dcb.fTXContinueOnXoff);
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EvtChar, 0x0D);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);

    // Back again: identical, including the bits and BreakChar the DCB cannot carry.
    const SerialSettings again = SettingsFromDcb(dcb, settings);
    EXPECT_EQ(std::memcmp(&again.Handflow, &settings.Handflow, sizeof(SerialHandflow)), 0);
    EXPECT_EQ(std::memcmp(&again.Chars, &settings.Chars, sizeof(SerialChars)), 0);
    EXPECT_EQ(std::memcmp(&again.LineControl, &settings.LineControl, 3), 0);

    // Clearing every flag keeps only what the DCB has no field for.
    DCB plain = dcb;
    plain.fOutxCtsFlow = plain.fOutxDsrFlow = plain.fDsrSensitivity = plain.fAbortOnError = 0;
    plain.fOutX = plain.fInX = plain.fErrorChar = plain.fNull = plain.fTXContinueOnXoff = 0;
    plain.fDtrControl = DTR_CONTROL_ENABLE;
    plain.fRtsControl = RTS_CONTROL_ENABLE;
    const SerialSettings cleared = SettingsFromDcb(plain, settings);
    EXPECT_EQ(cleared.Handflow.ControlHandShake, 0x20u | 0x01u);
    EXPECT_EQ(cleared.Handflow.FlowReplace, 0x10u | 0x40u);
    EXPECT_EQ(cleared.Chars.BreakChar, 0x55);
}

TEST(Win32Dcb, RefusalsBeforeAnyRequest)
{
    DCB dcb = DcbFromSettings(SampleSettings());
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    EXPECT_EQ(CheckDcb(dcb), static_cast<DWORD>(ERROR_SUCCESS));

    struct Case
    {
        BYTE ByteSize;
        BYTE StopBits;
        char Xon;
        char Xoff;
        DWORD Expected;
    } const cases[] = {
        {8, ONESTOPBIT, 0x11, 0x11, ERROR_INVALID_PARAMETER}, // equal XON and XOFF
        {4, ONESTOPBIT, 0x11, 0x13, ERROR_INVALID_PARAMETER},
        {9, ONESTOPBIT, 0x11, 0x13, ERROR_INVALID_PARAMETER},
        {5, TWOSTOPBITS, 0x11, 0x13, ERROR_INVALID_PARAMETER},
        {6, ONE5STOPBITS, 0x11, 0x13, ERROR_INVALID_PARAMETER},
        {8, ONE5STOPBITS, 0x11, 0x13, ERROR_INVALID_PARAMETER},
        {5, ONE5STOPBITS, 0x11, 0x13, ERROR_SUCCESS},
        {7, TWOSTOPBITS, 0x11, 0x13, ERROR_SUCCESS},
        {5, ONESTOPBIT, 0, 1, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        dcb.ByteSize = c.ByteSize;
        dcb.StopBits = c.StopBits;
        dcb.XonChar = c.Xon;
        dcb.XoffChar = c.Xoff;
        EXPECT_EQ(CheckDcb(dcb), c.Expected)
            << int(c.ByteSize) << " bits, stop " << int(c.StopBits) << ", xon " << int(c.Xon);
    }
}

TEST(Win32Dcb, BuildCommDcbForms)
{
    DCB dcb = {};
    ASSERT_TRUE(BuildCommDCBA("baud=19200 parity=E data=7 stop=2 xon=on dtr=hs rts=tg", &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_TRUE(dcb.fOutX && dcb.fInX);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));

    // Flow control is off unless named; 110 baud implies two stop bits.
    ASSERT_TRUE(BuildCommDCBA("COM1: baud=110 parity=n data=8", &dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fOutxDsrFlow);
    EXPECT_EQ(dcb.fParity, 0u);

    // The old form, with mode's two-digit rates and the flow letter.
    ASSERT_TRUE(BuildCommDCBA("96,n,8,1", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    ASSERT_TRUE(BuildCommDCBA("115200,o,7,1.5,p", &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    ASSERT_TRUE(BuildCommDCBA("12,e,7,1,x", &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_TRUE(dcb.fOutX && dcb.fInX && !dcb.fOutxCtsFlow);

    // Refused text leaves the DCB alone.
    const DCB kept = dcb;
    for (const char* bad : {"", "baud=", "baud=fast", "parity=q", "data=9", "stop=3", "xon=maybe",
                            "speed=9600", "96,n,8,1,z", "1,2,3,4,5,6", "COM1"}) {
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(bad, &dcb)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
        EXPECT_EQ(std::memcmp(&dcb, &kept, sizeof(DCB)), 0) << bad;
    }

    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=on", &dcb, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=off", &dcb, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(Win32Status, CommErrorsAndHoldReasons)
{
    // SERIAL_ERROR_BREAK, FRAMING, OVERRUN, QUEUEOVERRUN, PARITY.
    EXPECT_EQ(CommErrorsFromStatus(0x01), static_cast<DWORD>(CE_BREAK));
    EXPECT_EQ(CommErrorsFromStatus(0x02), static_cast<DWORD>(CE_FRAME));
    EXPECT_EQ(CommErrorsFromStatus(0x04), static_cast<DWORD>(CE_OVERRUN));
    EXPECT_EQ(CommErrorsFromStatus(0x08), static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(CommErrorsFromStatus(0x10), static_cast<DWORD>(CE_RXPARITY));
    EXPECT_EQ(CommErrorsFromStatus(0x80000000u), 0u);

    const SerialStatus status = {0, 0x01 | 0x08 | 0x20 | 0x40, 7, 3, TRUE, FALSE};
    const COMSTAT stat = ComstatFromStatus(status);
    EXPECT_TRUE(stat.fCtsHold && stat.fXoffHold && stat.fEof);
    EXPECT_FALSE(stat.fDsrHold || stat.fRlsdHold || stat.fXoffSent || stat.fTxim);
    EXPECT_EQ(stat.fReserved, 0u); // break and DSR-receive holds have no COMSTAT flag
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(stat.cbOutQue, 3u);
}

TEST(Win32Status, ErrorsAndResults)
{
    struct
    {
        uint32_t Status;
        DWORD Error;
    } const table[] = {
        {0xC0000120u, ERROR_OPERATION_ABORTED},   {0xC000000Du, ERROR_INVALID_PARAMETER},
        {0xC0000022u, ERROR_ACCESS_DENIED},       {0xC0000034u, ERROR_FILE_NOT_FOUND},
        {0xC0000010u, ERROR_INVALID_FUNCTION},    {0xC0000023u, ERROR_INSUFFICIENT_BUFFER},
        {0xC000009Au, ERROR_NO_SYSTEM_RESOURCES}, {0xC0000056u, ERROR_ACCESS_DENIED},
        {0xC0000184u, ERROR_BAD_COMMAND},         {0xC00002B6u, ERROR_DEV_NOT_EXIST},
        {0x80000005u, ERROR_MORE_DATA},           {0x00000103u, ERROR_IO_PENDING},
        {0xC0001234u, ERROR_MR_MID_NOT_FOUND},
    };
    for (const auto& entry : table) {
        EXPECT_EQ(ErrorFromStatus(static_cast<int32_t>(entry.Status)), entry.Error)
            << std::hex << entry.Status;
    }

    // Success and informational statuses (a time-out, a counter ended by a write) are TRUE
    // and leave the last error alone; warnings and errors are FALSE with it set.
    for (const uint32_t ok : {0x0u, 0x102u, 0x40000008u, 0x4000000Cu}) {
        SetLastError(12345);
        EXPECT_TRUE(ReturnStatus(static_cast<int32_t>(ok))) << std::hex << ok;
        EXPECT_EQ(GetLastError(), 12345u);
    }
    EXPECT_FALSE(ReturnStatus(static_cast<int32_t>(0x80000005u)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_FALSE(ReturnStatus(static_cast<int32_t>(0xC0000120u)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

} // namespace
} // namespace qvx::win32
