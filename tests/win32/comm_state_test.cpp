// Settings and line calls whose control codes only the driver's own dispatcher serves:
// GetCommState/SetCommState, time-outs, the wait mask, purging, the immediate character,
// modem status and properties.
// ctest-labels: host

#include "support/win32_port.h"

#include <windows.h>

#include <string>

namespace qvx::win32test {
namespace {

class Win32CommState : public Win32PortTest
{
  protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        port_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        Win32PortTest::TearDown();
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32CommState, SetCommStateRoundTripsEveryFieldTheDriverKeeps)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.fBinary, 1u);

    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fNull = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.XonLim = 512;
    dcb.XoffLim = 1024;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x23;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    const size_t blocks = PeerBaudRates().size();
    ASSERT_TRUE(SetCommState(port_, &dcb));
    (void)PeerReceived();
    // Every SetCommState sends the rate to the peer.
    ASSERT_EQ(PeerBaudRates().size(), blocks + 1);
    EXPECT_EQ(PeerBaudRates().back(), 115200u);

    DCB read = {};
    ASSERT_TRUE(GetCommState(port_, &read));
    EXPECT_EQ(read.BaudRate, dcb.BaudRate);
    EXPECT_EQ(read.ByteSize, dcb.ByteSize);
    EXPECT_EQ(read.Parity, dcb.Parity);
    EXPECT_EQ(read.StopBits, dcb.StopBits);
    EXPECT_EQ(read.fOutxCtsFlow, dcb.fOutxCtsFlow);
    EXPECT_EQ(read.fOutxDsrFlow, dcb.fOutxDsrFlow);
    EXPECT_EQ(read.fDsrSensitivity, dcb.fDsrSensitivity);
    EXPECT_EQ(read.fDtrControl, dcb.fDtrControl);
    EXPECT_EQ(read.fRtsControl, dcb.fRtsControl);
    EXPECT_EQ(read.fOutX, dcb.fOutX);
    EXPECT_EQ(read.fInX, dcb.fInX);
    EXPECT_EQ(read.fTXContinueOnXoff, dcb.fTXContinueOnXoff);
    EXPECT_EQ(read.fNull, dcb.fNull);
    EXPECT_EQ(read.fErrorChar, dcb.fErrorChar);
    EXPECT_EQ(read.fAbortOnError, dcb.fAbortOnError);
    EXPECT_EQ(read.XonLim, dcb.XonLim);
    EXPECT_EQ(read.XoffLim, dcb.XoffLim);
    EXPECT_EQ(read.XonChar, dcb.XonChar);
    EXPECT_EQ(read.XoffChar, dcb.XoffChar);
    EXPECT_EQ(read.ErrorChar, dcb.ErrorChar);
    EXPECT_EQ(read.EofChar, dcb.EofChar);
    EXPECT_EQ(read.EvtChar, dcb.EvtChar);

    // Back from handshake to plain lines: the direct DTR/RTS requests refused under the old
    // mode are sent again once the new one is in force.
    read.fDtrControl = DTR_CONTROL_ENABLE;
    read.fRtsControl = RTS_CONTROL_DISABLE;
    read.fAbortOnError = FALSE;
    ASSERT_TRUE(SetCommState(port_, &read));
    DCB plain = {};
    ASSERT_TRUE(GetCommState(port_, &plain));
    EXPECT_EQ(plain.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(plain.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));

    // Refusals leave the settings and the peer alone.
    DCB bad = plain;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port_, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    bad = plain;
    bad.ByteSize = 5;
    bad.StopBits = TWOSTOPBITS;
    EXPECT_FALSE(SetCommState(port_, &bad));
    (void)PeerReceived(); // the send ticks that would carry any further rate
    EXPECT_EQ(PeerBaudRates().size(), blocks + 2);
}

TEST_F(Win32CommState, TimeoutsMaskAndProperties)
{
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 500, 2, 100};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    COMMTIMEOUTS read = {};
    ASSERT_TRUE(GetCommTimeouts(port_, &read));
    EXPECT_EQ(read.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(read.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(read.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(read.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(read.WriteTotalTimeoutConstant, 100u);
    COMMTIMEOUTS refused = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port_, &refused));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS | EV_ERR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS | EV_ERR));

    COMMPROP properties = {};
    ASSERT_TRUE(GetCommProperties(port_, &properties));
    EXPECT_EQ(properties.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(properties.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
    EXPECT_EQ(properties.dwProvSubType, static_cast<DWORD>(PST_RS232));

    DWORD modem = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(port_, &modem));
    EXPECT_EQ(modem & 0xFFFFFF00u, 0u); // a modem status register, nothing more
}

TEST_F(Win32CommState, PurgeCommFlags)
{
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));

    // RXCLEAR empties the input.
    PeerSend("stale");
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(port_, NULL, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);

    // RXABORT ends a pending read.
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    char buffer[8];
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(port_, buffer, sizeof(buffer), &count, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
    EXPECT_FALSE(GetOverlappedResult(port_, &ov, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // TXABORT and TXCLEAR with nothing queued succeed.
    EXPECT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    CloseHandle(ov.hEvent);
}

TEST_F(Win32CommState, TransmitCommCharGoesAheadOfALongWrite)
{
    const std::string data(2000, 'd');
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD written = 0;
    if (!WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(TransmitCommChar(port_, '!'));
    ASSERT_TRUE(GetOverlappedResult(port_, &ov, &written, TRUE));
    EXPECT_EQ(written, data.size());
    std::string received;
    for (int i = 0; i < 100 && received.size() < data.size() + 1; ++i) {
        received += PeerReceived();
    }
    ASSERT_EQ(received.size(), data.size() + 1);
    EXPECT_NE(received.find('!'), std::string::npos);
    EXPECT_LT(received.find('!'), data.size());
    CloseHandle(ov.hEvent);
}

} // namespace
} // namespace qvx::win32test
