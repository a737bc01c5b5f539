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
constexpr DWORD IOCTL_SET_BAUD_RATE = SerialIoctl(1);
constexpr DWORD IOCTL_SET_QUEUE_SIZE = SerialIoctl(2);
constexpr DWORD IOCTL_SET_LINE_CONTROL = SerialIoctl(3);
constexpr DWORD IOCTL_SET_BREAK_ON = SerialIoctl(4);
constexpr DWORD IOCTL_SET_BREAK_OFF = SerialIoctl(5);
constexpr DWORD IOCTL_IMMEDIATE_CHAR = SerialIoctl(6);
constexpr DWORD IOCTL_SET_TIMEOUTS = SerialIoctl(7);
constexpr DWORD IOCTL_GET_TIMEOUTS = SerialIoctl(8);
constexpr DWORD IOCTL_SET_DTR = SerialIoctl(9);
constexpr DWORD IOCTL_CLR_DTR = SerialIoctl(10);
constexpr DWORD IOCTL_RESET_DEVICE = SerialIoctl(11);
constexpr DWORD IOCTL_SET_RTS = SerialIoctl(12);
constexpr DWORD IOCTL_CLR_RTS = SerialIoctl(13);
constexpr DWORD IOCTL_SET_XOFF = SerialIoctl(14);
constexpr DWORD IOCTL_SET_XON = SerialIoctl(15);
constexpr DWORD IOCTL_GET_WAIT_MASK = SerialIoctl(16);
constexpr DWORD IOCTL_SET_WAIT_MASK = SerialIoctl(17);
constexpr DWORD IOCTL_WAIT_ON_MASK = SerialIoctl(18);
constexpr DWORD IOCTL_PURGE = SerialIoctl(19);
constexpr DWORD IOCTL_GET_BAUD_RATE = SerialIoctl(20);
constexpr DWORD IOCTL_GET_LINE_CONTROL = SerialIoctl(21);
constexpr DWORD IOCTL_GET_CHARS = SerialIoctl(22);
constexpr DWORD IOCTL_SET_CHARS = SerialIoctl(23);
constexpr DWORD IOCTL_GET_HANDFLOW = SerialIoctl(24);
constexpr DWORD IOCTL_SET_HANDFLOW = SerialIoctl(25);
constexpr DWORD IOCTL_GET_MODEM_STATUS = SerialIoctl(26);
constexpr DWORD IOCTL_GET_COMM_STATUS = SerialIoctl(27);
constexpr DWORD IOCTL_GET_PROPERTIES = SerialIoctl(29);

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
constexpr DWORD SERIAL_DTR_MASK = 0x03;
constexpr DWORD SERIAL_CTS_HANDSHAKE = 0x08;
constexpr DWORD SERIAL_DSR_HANDSHAKE = 0x10;
constexpr DWORD SERIAL_DSR_SENSITIVITY = 0x40;
constexpr DWORD SERIAL_ERROR_ABORT = 0x80000000u;
constexpr DWORD SERIAL_AUTO_TRANSMIT = 0x01;
constexpr DWORD SERIAL_AUTO_RECEIVE = 0x02;
constexpr DWORD SERIAL_ERROR_CHAR = 0x04;
constexpr DWORD SERIAL_NULL_STRIPPING = 0x08;
constexpr DWORD SERIAL_RTS_MASK = 0xC0;
constexpr DWORD SERIAL_XOFF_CONTINUE = 0x80000000u;
// HoldReasons bits (SERIAL_TX_WAITING_*), as COMSTAT's hold flags.
constexpr DWORD SERIAL_TX_WAITING_FOR_CTS = 0x01;
constexpr DWORD SERIAL_TX_WAITING_FOR_DSR = 0x02;
constexpr DWORD SERIAL_TX_WAITING_FOR_DCD = 0x04;
constexpr DWORD SERIAL_TX_WAITING_FOR_XON = 0x08;
constexpr DWORD SERIAL_TX_WAITING_XOFF_SENT = 0x10;

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
