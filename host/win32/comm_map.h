// The serial driver's structures as the Win32 layer sends them, and the pure translations
// between them and the DCB. Byte layouts match ntddser.h (checked by static_assert).
#pragma once

#include <windows.h>

#include <cstdint>

namespace qvx::win32 {

// IOCTL_SERIAL_*: FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD SerialIoctl(DWORD function)
{
    return 0x1B0000u + 4u * function;
}
constexpr DWORD IoctlSetBaudRate = SerialIoctl(1);
constexpr DWORD IoctlSetQueueSize = SerialIoctl(2);
constexpr DWORD IoctlSetLineControl = SerialIoctl(3);
constexpr DWORD IoctlSetBreakOn = SerialIoctl(4);
constexpr DWORD IoctlSetBreakOff = SerialIoctl(5);
constexpr DWORD IoctlImmediateChar = SerialIoctl(6);
constexpr DWORD IoctlSetTimeouts = SerialIoctl(7);
constexpr DWORD IoctlGetTimeouts = SerialIoctl(8);
constexpr DWORD IoctlSetDtr = SerialIoctl(9);
constexpr DWORD IoctlClrDtr = SerialIoctl(10);
constexpr DWORD IoctlResetDevice = SerialIoctl(11);
constexpr DWORD IoctlSetRts = SerialIoctl(12);
constexpr DWORD IoctlClrRts = SerialIoctl(13);
constexpr DWORD IoctlSetXoff = SerialIoctl(14);
constexpr DWORD IoctlSetXon = SerialIoctl(15);
constexpr DWORD IoctlGetWaitMask = SerialIoctl(16);
constexpr DWORD IoctlSetWaitMask = SerialIoctl(17);
constexpr DWORD IoctlWaitOnMask = SerialIoctl(18);
constexpr DWORD IoctlPurge = SerialIoctl(19);
constexpr DWORD IoctlGetBaudRate = SerialIoctl(20);
constexpr DWORD IoctlGetLineControl = SerialIoctl(21);
constexpr DWORD IoctlGetChars = SerialIoctl(22);
constexpr DWORD IoctlSetChars = SerialIoctl(23);
constexpr DWORD IoctlGetHandflow = SerialIoctl(24);
constexpr DWORD IoctlSetHandflow = SerialIoctl(25);
constexpr DWORD IoctlGetModemStatus = SerialIoctl(26);
constexpr DWORD IoctlGetCommStatus = SerialIoctl(27);
constexpr DWORD IoctlGetProperties = SerialIoctl(29);

#pragma pack(push, 1)
struct SerialLineControl
{
    BYTE StopBits;
    BYTE Parity;
    BYTE WordLength;
};
struct SerialChars
{
    BYTE EofChar;
    BYTE ErrorChar;
    BYTE BreakChar;
    BYTE EventChar;
    BYTE XonChar;
    BYTE XoffChar;
};
#pragma pack(pop)

struct SerialHandflow
{
    DWORD ControlHandShake;
    DWORD FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};

struct SerialStatus
{
    DWORD Errors;
    DWORD HoldReasons;
    DWORD AmountInInQueue;
    DWORD AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
};

static_assert(sizeof(SerialLineControl) == 3 && sizeof(SerialChars) == 6);
static_assert(sizeof(SerialHandflow) == 16 && sizeof(SerialStatus) == 20);
static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20 && sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == 64);

// ControlHandShake and FlowReplace bits the DCB carries.
constexpr DWORD SerialDtrMask = 0x03;
constexpr DWORD SerialCtsHandshake = 0x08;
constexpr DWORD SerialDsrHandshake = 0x10;
constexpr DWORD SerialDsrSensitivity = 0x40;
constexpr DWORD SerialErrorAbort = 0x80000000u;
constexpr DWORD SerialAutoTransmit = 0x01;
constexpr DWORD SerialAutoReceive = 0x02;
constexpr DWORD SerialErrorChar = 0x04;
constexpr DWORD SerialNullStripping = 0x08;
constexpr DWORD SerialRtsMask = 0xC0;
constexpr DWORD SerialXoffContinue = 0x80000000u;
// HoldReasons bits (SERIAL_TX_WAITING_*), as COMSTAT's hold flags.
constexpr DWORD SerialTxWaitingForCts = 0x01;
constexpr DWORD SerialTxWaitingForDsr = 0x02;
constexpr DWORD SerialTxWaitingForDcd = 0x04;
constexpr DWORD SerialTxWaitingForXon = 0x08;
constexpr DWORD SerialTxWaitingXoffSent = 0x10;

// The driver's view of a port's settings: what GetCommState reads.
struct SerialSettings
{
    DWORD BaudRate = 0;
    SerialLineControl LineControl{};
    SerialChars Chars{};
    SerialHandflow Handflow{};
};

DCB DcbFromSettings(const SerialSettings& settings);
// `current` supplies what the DCB has no field for (BreakChar, DCD handshake...).
SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current);
// The refusals SetCommState makes before sending anything: ERROR_SUCCESS or the error.
DWORD CheckDcb(const DCB& dcb);
// BuildCommDCB's parser over `dcb` (only the fields named change, plus the implied ones).
bool ParseCommDefinition(const char* text, DCB* dcb, COMMTIMEOUTS* timeouts);
// SERIAL_ERROR_* bits as CE_* bits (the two sets are numbered differently).
DWORD CommErrorsFromStatus(DWORD errors);
COMSTAT ComstatFromStatus(const SerialStatus& status);

} // namespace qvx::win32
