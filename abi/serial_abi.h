// The serial interface as applications and the driver speak it: control codes, their structures
// and the bits inside them. Fixed-width types only, so that the kernel stand-in's ntddser.h, the
// Win32 layer, the network server and the tests all include this one header; the driver itself
// compiles against the WDK's ntddser.h for Windows, which has the same values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvx::abi {

// IOCTL_SERIAL_*: device type FILE_DEVICE_SERIAL_PORT (0x1B), METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr uint32_t SerialIoctl(uint32_t function)
{
    return 0x1Bu << 16 | function << 2;
}

constexpr uint32_t IOCTL_SERIAL_SET_BAUD_RATE = SerialIoctl(1);
constexpr uint32_t IOCTL_SERIAL_SET_QUEUE_SIZE = SerialIoctl(2);
constexpr uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = SerialIoctl(3);
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_ON = SerialIoctl(4);
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_OFF = SerialIoctl(5);
constexpr uint32_t IOCTL_SERIAL_IMMEDIATE_CHAR = SerialIoctl(6);
constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = SerialIoctl(7);
constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = SerialIoctl(8);
constexpr uint32_t IOCTL_SERIAL_SET_DTR = SerialIoctl(9);
constexpr uint32_t IOCTL_SERIAL_CLR_DTR = SerialIoctl(10);
constexpr uint32_t IOCTL_SERIAL_RESET_DEVICE = SerialIoctl(11);
constexpr uint32_t IOCTL_SERIAL_SET_RTS = SerialIoctl(12);
constexpr uint32_t IOCTL_SERIAL_CLR_RTS = SerialIoctl(13);
constexpr uint32_t IOCTL_SERIAL_SET_XOFF = SerialIoctl(14);
constexpr uint32_t IOCTL_SERIAL_SET_XON = SerialIoctl(15);
constexpr uint32_t IOCTL_SERIAL_GET_WAIT_MASK = SerialIoctl(16);
constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = SerialIoctl(17);
constexpr uint32_t IOCTL_SERIAL_WAIT_ON_MASK = SerialIoctl(18);
constexpr uint32_t IOCTL_SERIAL_PURGE = SerialIoctl(19);
constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE = SerialIoctl(20);
constexpr uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = SerialIoctl(21);
constexpr uint32_t IOCTL_SERIAL_GET_CHARS = SerialIoctl(22);
constexpr uint32_t IOCTL_SERIAL_SET_CHARS = SerialIoctl(23);
constexpr uint32_t IOCTL_SERIAL_GET_HANDFLOW = SerialIoctl(24);
constexpr uint32_t IOCTL_SERIAL_SET_HANDFLOW = SerialIoctl(25);
constexpr uint32_t IOCTL_SERIAL_GET_MODEMSTATUS = SerialIoctl(26);
constexpr uint32_t IOCTL_SERIAL_GET_COMMSTATUS = SerialIoctl(27);
constexpr uint32_t IOCTL_SERIAL_XOFF_COUNTER = SerialIoctl(28);
constexpr uint32_t IOCTL_SERIAL_GET_PROPERTIES = SerialIoctl(29);
constexpr uint32_t IOCTL_SERIAL_GET_DTRRTS = SerialIoctl(30);
constexpr uint32_t IOCTL_SERIAL_CONFIG_SIZE = SerialIoctl(32);
constexpr uint32_t IOCTL_SERIAL_GET_STATS = SerialIoctl(35);
constexpr uint32_t IOCTL_SERIAL_CLEAR_STATS = SerialIoctl(36);
constexpr uint32_t IOCTL_SERIAL_GET_MODEM_CONTROL = SerialIoctl(37);
constexpr uint32_t IOCTL_SERIAL_SET_MODEM_CONTROL = SerialIoctl(38);
constexpr uint32_t IOCTL_SERIAL_SET_FIFO_CONTROL = SerialIoctl(39);

// The characters of software flow control unless an application chose others.
constexpr uint8_t DEFAULT_XON_CHAR = 0x11;
constexpr uint8_t DEFAULT_XOFF_CHAR = 0x13;

constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x00000002u;
constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x00000001u;
constexpr uint32_t SERIAL_BAUD_075 = 0x00000001u;
constexpr uint32_t SERIAL_BAUD_110 = 0x00000002u;
constexpr uint32_t SERIAL_BAUD_115200 = 0x00020000u;
constexpr uint32_t SERIAL_BAUD_1200 = 0x00000040u;
constexpr uint32_t SERIAL_BAUD_128K = 0x00010000u;
constexpr uint32_t SERIAL_BAUD_134_5 = 0x00000004u;
constexpr uint32_t SERIAL_BAUD_14400 = 0x00001000u;
constexpr uint32_t SERIAL_BAUD_150 = 0x00000008u;
constexpr uint32_t SERIAL_BAUD_1800 = 0x00000080u;
constexpr uint32_t SERIAL_BAUD_19200 = 0x00002000u;
constexpr uint32_t SERIAL_BAUD_2400 = 0x00000100u;
constexpr uint32_t SERIAL_BAUD_300 = 0x00000010u;
constexpr uint32_t SERIAL_BAUD_38400 = 0x00004000u;
constexpr uint32_t SERIAL_BAUD_4800 = 0x00000200u;
constexpr uint32_t SERIAL_BAUD_56K = 0x00008000u;
constexpr uint32_t SERIAL_BAUD_57600 = 0x00040000u;
constexpr uint32_t SERIAL_BAUD_600 = 0x00000020u;
constexpr uint32_t SERIAL_BAUD_7200 = 0x00000400u;
constexpr uint32_t SERIAL_BAUD_9600 = 0x00000800u;
constexpr uint32_t SERIAL_BAUD_USER = 0x10000000u;
constexpr uint32_t SERIAL_BREAK_CHAR = 0x00000010u;
constexpr uint32_t SERIAL_CONTROL_INVALID = 0x7FFFFF84u;
constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x00000008u;
constexpr uint32_t SERIAL_CTS_STATE = 0x00000010u;
constexpr uint32_t SERIAL_DATABITS_16 = 0x00000010u;
constexpr uint32_t SERIAL_DATABITS_16X = 0x00000020u;
constexpr uint32_t SERIAL_DATABITS_5 = 0x00000001u;
constexpr uint32_t SERIAL_DATABITS_6 = 0x00000002u;
constexpr uint32_t SERIAL_DATABITS_7 = 0x00000004u;
constexpr uint32_t SERIAL_DATABITS_8 = 0x00000008u;
constexpr uint32_t SERIAL_DCD_HANDSHAKE = 0x00000020u;
constexpr uint32_t SERIAL_DCD_STATE = 0x00000080u;
constexpr uint32_t SERIAL_DSR_HANDSHAKE = 0x00000010u;
constexpr uint32_t SERIAL_DSR_SENSITIVITY = 0x00000040u;
constexpr uint32_t SERIAL_DSR_STATE = 0x00000020u;
constexpr uint32_t SERIAL_DTR_CONTROL = 0x00000001u;
constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x00000002u;
constexpr uint32_t SERIAL_DTR_MASK = 0x00000003u;
constexpr uint32_t SERIAL_DTR_STATE = 0x00000001u;
constexpr uint32_t SERIAL_ERROR_ABORT = 0x80000000u;
constexpr uint32_t SERIAL_ERROR_BREAK = 0x00000001u;
constexpr uint32_t SERIAL_ERROR_CHAR = 0x00000004u;
constexpr uint32_t SERIAL_ERROR_FRAMING = 0x00000002u;
constexpr uint32_t SERIAL_ERROR_OVERRUN = 0x00000004u;
constexpr uint32_t SERIAL_ERROR_PARITY = 0x00000010u;
constexpr uint32_t SERIAL_ERROR_QUEUEOVERRUN = 0x00000008u;
constexpr uint32_t SERIAL_EV_BREAK = 0x00000040u;
constexpr uint32_t SERIAL_EV_CTS = 0x00000008u;
constexpr uint32_t SERIAL_EV_DSR = 0x00000010u;
constexpr uint32_t SERIAL_EV_ERR = 0x00000080u;
constexpr uint32_t SERIAL_EV_EVENT1 = 0x00000800u;
constexpr uint32_t SERIAL_EV_EVENT2 = 0x00001000u;
constexpr uint32_t SERIAL_EV_PERR = 0x00000200u;
constexpr uint32_t SERIAL_EV_RING = 0x00000100u;
constexpr uint32_t SERIAL_EV_RLSD = 0x00000020u;
constexpr uint32_t SERIAL_EV_RX80FULL = 0x00000400u;
constexpr uint32_t SERIAL_EV_RXCHAR = 0x00000001u;
constexpr uint32_t SERIAL_EV_RXFLAG = 0x00000002u;
constexpr uint32_t SERIAL_EV_TXEMPTY = 0x00000004u;
constexpr uint32_t SERIAL_FLOW_INVALID = 0x7FFFFF20u;
constexpr uint32_t SERIAL_NULL_STRIPPING = 0x00000008u;
constexpr uint32_t SERIAL_OUT_HANDSHAKEMASK = 0x00000038u;
constexpr uint32_t SERIAL_PARITY_EVEN = 0x00000400u;
constexpr uint32_t SERIAL_PARITY_MARK = 0x00000800u;
constexpr uint32_t SERIAL_PARITY_NONE = 0x00000100u;
constexpr uint32_t SERIAL_PARITY_ODD = 0x00000200u;
constexpr uint32_t SERIAL_PARITY_SPACE = 0x00001000u;
constexpr uint32_t SERIAL_PCF_16BITMODE = 0x00000200u;
constexpr uint32_t SERIAL_PCF_CD = 0x00000004u;
constexpr uint32_t SERIAL_PCF_DTRDSR = 0x00000001u;
constexpr uint32_t SERIAL_PCF_INTTIMEOUTS = 0x00000080u;
constexpr uint32_t SERIAL_PCF_PARITY_CHECK = 0x00000008u;
constexpr uint32_t SERIAL_PCF_RTSCTS = 0x00000002u;
constexpr uint32_t SERIAL_PCF_SETXCHAR = 0x00000020u;
constexpr uint32_t SERIAL_PCF_SPECIALCHARS = 0x00000100u;
constexpr uint32_t SERIAL_PCF_TOTALTIMEOUTS = 0x00000040u;
constexpr uint32_t SERIAL_PCF_XONXOFF = 0x00000010u;
constexpr uint32_t SERIAL_PURGE_RXABORT = 0x00000002u;
constexpr uint32_t SERIAL_PURGE_RXCLEAR = 0x00000008u;
constexpr uint32_t SERIAL_PURGE_TXABORT = 0x00000001u;
constexpr uint32_t SERIAL_PURGE_TXCLEAR = 0x00000004u;
constexpr uint32_t SERIAL_RI_STATE = 0x00000040u;
constexpr uint32_t SERIAL_RTS_CONTROL = 0x00000040u;
constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x00000080u;
constexpr uint32_t SERIAL_RTS_MASK = 0x000000C0u;
constexpr uint32_t SERIAL_RTS_STATE = 0x00000002u;
constexpr uint32_t SERIAL_RX_WAITING_FOR_DSR = 0x00000040u;
constexpr uint32_t SERIAL_SP_BAUD = 0x00000002u;
constexpr uint32_t SERIAL_SP_BRIDGE = 0x00000100u;
constexpr uint32_t SERIAL_SP_CARRIER_DETECT = 0x00000040u;
constexpr uint32_t SERIAL_SP_DATABITS = 0x00000004u;
constexpr uint32_t SERIAL_SP_FAX = 0x00000021u;
constexpr uint32_t SERIAL_SP_HANDSHAKING = 0x00000010u;
constexpr uint32_t SERIAL_SP_LAT = 0x00000101u;
constexpr uint32_t SERIAL_SP_MODEM = 0x00000006u;
constexpr uint32_t SERIAL_SP_PARALLEL = 0x00000002u;
constexpr uint32_t SERIAL_SP_PARITY = 0x00000001u;
constexpr uint32_t SERIAL_SP_PARITY_CHECK = 0x00000020u;
constexpr uint32_t SERIAL_SP_RS232 = 0x00000001u;
constexpr uint32_t SERIAL_SP_RS422 = 0x00000003u;
constexpr uint32_t SERIAL_SP_RS423 = 0x00000004u;
constexpr uint32_t SERIAL_SP_RS449 = 0x00000005u;
constexpr uint32_t SERIAL_SP_SCANNER = 0x00000022u;
constexpr uint32_t SERIAL_SP_SERIALCOMM = 0x00000001u;
constexpr uint32_t SERIAL_SP_STOPBITS = 0x00000008u;
constexpr uint32_t SERIAL_SP_TELNET = 0x00000102u;
constexpr uint32_t SERIAL_SP_UNSPECIFIED = 0x00000000u;
constexpr uint32_t SERIAL_SP_X25 = 0x00000103u;
constexpr uint32_t SERIAL_STOPBITS_10 = 0x00000001u;
constexpr uint32_t SERIAL_STOPBITS_15 = 0x00000002u;
constexpr uint32_t SERIAL_STOPBITS_20 = 0x00000004u;
constexpr uint32_t SERIAL_TRANSMIT_TOGGLE = 0x000000C0u;
constexpr uint32_t SERIAL_TX_WAITING_FOR_CTS = 0x00000001u;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DCD = 0x00000004u;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DSR = 0x00000002u;
constexpr uint32_t SERIAL_TX_WAITING_FOR_XON = 0x00000008u;
constexpr uint32_t SERIAL_TX_WAITING_ON_BREAK = 0x00000020u;
constexpr uint32_t SERIAL_TX_WAITING_XOFF_SENT = 0x00000010u;
constexpr uint32_t SERIAL_XOFF_CONTINUE = 0x80000000u;
constexpr uint32_t STOP_BIT_1 = 0x00u;
constexpr uint32_t STOP_BITS_1_5 = 0x01u;
constexpr uint32_t STOP_BITS_2 = 0x02u;
constexpr uint32_t NO_PARITY = 0x00u;
constexpr uint32_t ODD_PARITY = 0x01u;
constexpr uint32_t EVEN_PARITY = 0x02u;
constexpr uint32_t MARK_PARITY = 0x03u;
constexpr uint32_t SPACE_PARITY = 0x04u;

// winioctl.h, which windows.h includes, has these as macros with the same values.
#ifndef IOCTL_SERIAL_LSRMST_INSERT
constexpr uint32_t IOCTL_SERIAL_LSRMST_INSERT = SerialIoctl(31);
#else
static_assert(IOCTL_SERIAL_LSRMST_INSERT == SerialIoctl(31) && SERIAL_LSRMST_MST == 3 &&
              SERIAL_IOC_FCR_RCVR_TRIGGER_MSB == 0x80 && SERIAL_IOC_MCR_LOOP == 0x10);
#endif
#ifndef SERIAL_LSRMST_ESCAPE
constexpr uint32_t SERIAL_LSRMST_ESCAPE = 0x00000000u;
constexpr uint32_t SERIAL_LSRMST_LSR_DATA = 0x00000001u;
constexpr uint32_t SERIAL_LSRMST_LSR_NODATA = 0x00000002u;
constexpr uint32_t SERIAL_LSRMST_MST = 0x00000003u;
#endif
#ifndef SERIAL_IOC_FCR_FIFO_ENABLE
constexpr uint32_t SERIAL_IOC_FCR_DMA_MODE = 0x00000008u;
constexpr uint32_t SERIAL_IOC_FCR_FIFO_ENABLE = 0x00000001u;
constexpr uint32_t SERIAL_IOC_FCR_RCVR_RESET = 0x00000002u;
constexpr uint32_t SERIAL_IOC_FCR_RCVR_TRIGGER_LSB = 0x00000040u;
constexpr uint32_t SERIAL_IOC_FCR_RCVR_TRIGGER_MSB = 0x00000080u;
constexpr uint32_t SERIAL_IOC_FCR_RES1 = 0x00000010u;
constexpr uint32_t SERIAL_IOC_FCR_RES2 = 0x00000020u;
constexpr uint32_t SERIAL_IOC_FCR_XMIT_RESET = 0x00000004u;
constexpr uint32_t SERIAL_IOC_MCR_DTR = 0x00000001u;
constexpr uint32_t SERIAL_IOC_MCR_LOOP = 0x00000010u;
constexpr uint32_t SERIAL_IOC_MCR_OUT1 = 0x00000004u;
constexpr uint32_t SERIAL_IOC_MCR_OUT2 = 0x00000008u;
constexpr uint32_t SERIAL_IOC_MCR_RTS = 0x00000002u;
#endif
#ifndef SERIAL_NUMBER_LENGTH
constexpr uint32_t SERIAL_NUMBER_LENGTH = 0x00000020u;
#endif

struct SerialBaudRate
{
    uint32_t BaudRate;
};

struct SerialChars
{
    uint8_t EofChar;
    uint8_t ErrorChar;
    uint8_t BreakChar;
    uint8_t EventChar;
    uint8_t XonChar;
    uint8_t XoffChar;
};

struct SerialStatus
{
    uint32_t Errors;
    uint32_t HoldReasons;
    uint32_t AmountInInQueue;
    uint32_t AmountInOutQueue;
    uint8_t EofReceived;
    uint8_t WaitForImmediate;
};

struct SerialHandflow
{
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};

// Stop bits first: not the DCB's order.
struct SerialLineControl
{
    uint8_t StopBits;
    uint8_t Parity;
    uint8_t WordLength;
};

struct SerialCommProp
{
    uint16_t PacketLength;
    uint16_t PacketVersion;
    uint32_t ServiceMask;
    uint32_t Reserved1;
    uint32_t MaxTxQueue;
    uint32_t MaxRxQueue;
    uint32_t MaxBaud;
    uint32_t ProvSubType;
    uint32_t ProvCapabilities;
    uint32_t SettableParams;
    uint32_t SettableBaud;
    uint16_t SettableData;
    uint16_t SettableStopParity;
    uint32_t CurrentTxQueue;
    uint32_t CurrentRxQueue;
    uint32_t ProvSpec1;
    uint32_t ProvSpec2;
    char16_t ProvChar[1];
};

struct SerialPerfStats
{
    uint32_t ReceivedCount;
    uint32_t TransmittedCount;
    uint32_t FrameErrorCount;
    uint32_t SerialOverrunErrorCount;
    uint32_t BufferOverrunErrorCount;
    uint32_t ParityErrorCount;
};

struct SerialTimeouts
{
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

struct SerialQueueSize
{
    uint32_t InSize;
    uint32_t OutSize;
};

struct SerialXoffCounter
{
    uint32_t Timeout;
    int32_t Counter;
    uint8_t XoffChar;
};

struct SerialBasicSettings
{
    SerialTimeouts Timeouts;
    SerialHandflow HandFlow;
    uint32_t RxFifo;
    uint32_t TxFifo;
};

// The same bytes on 32-bit Windows, where applications and the driver meet, and here.
static_assert(sizeof(SerialBaudRate) == 4 && sizeof(SerialChars) == 6);
static_assert(sizeof(SerialStatus) == 20 && offsetof(SerialStatus, EofReceived) == 16);
static_assert(sizeof(SerialHandflow) == 16 && sizeof(SerialLineControl) == 3);
static_assert(sizeof(SerialCommProp) == 64 && offsetof(SerialCommProp, SettableData) == 40 &&
              offsetof(SerialCommProp, ProvChar) == 60);
static_assert(sizeof(SerialPerfStats) == 24 && sizeof(SerialTimeouts) == 20);
static_assert(sizeof(SerialQueueSize) == 8 && sizeof(SerialXoffCounter) == 12);
static_assert(sizeof(SerialBasicSettings) == 44);

} // namespace qvx::abi
