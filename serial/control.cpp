// The serial I/O-control dispatcher. Each code is one row of a table: its limits, whether it
// passes the control gate and runs under PortLock, and the routines that hold its own work.
// One frame does everything the codes share, so a code is added by adding a row.

#include <ntddk.h>
#include <ntddser.h>

#include "driver/kcompat.h"
#include "peer/peer.h"
#include "serial/control.h"
#include "serial/interrupt.h"
#include "serial/transfer.h"
#include "trace/trace.h"

namespace {

// What one request carries through the frame.
struct ControlRequest
{
    PortDeviceRecord* Port;
    PIRP Irp;
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    // Set by a code's work when the request goes on to a queue or a start routine, which
    // then owns it; called after the lock is dropped and the gate is left.
    NTSTATUS (*HandOn)(ControlRequest& Request);
};

using ControlRoutine = NTSTATUS (*)(ControlRequest& Request);

constexpr ULONG CONTROL_GATED = 0x1;        // passes ControlGate before its work
constexpr ULONG CONTROL_LOCKED = 0x2;       // its work runs under PortLock
constexpr ULONG CONTROL_READS_ERRORS = 0x4; // answered while the error abort holds

struct ControlCode
{
    ULONG Code;
    PCSTR Name;
    ULONG TraceLevel;
    ULONG InputLength;  // minimum; 0 means no check
    ULONG OutputLength; // minimum, and the information count of a completed success
    ULONG Flags;
    ControlRoutine Check; // value checks made before the gate, without the lock
    ControlRoutine Work;
};

template <class T> T* In(const ControlRequest& Request)
{
    return static_cast<T*>(Request.Buffer);
}

NTSTATUS Nothing(ControlRequest&)
{
    return STATUS_SUCCESS;
}

// ---- Baud rate, line control ----------------------------------------------------------------

NTSTATUS SetBaudRate(ControlRequest& Request)
{
    PortDeviceRecord* port = Request.Port;
    const ULONG rate = In<SERIAL_BAUD_RATE>(Request)->BaudRate;
    port->BaudRate = rate;
    if (rate < PEER_BAUD_RATE_MIN || rate > PEER_BAUD_RATE_MAX) {
        // A peer would take such a block for data and pass it on to the far side.
        QuarvexTrace(TRACE_OPEN_CLOSE, 2, "QuarvexSerialIoControlBaud Rate %u not announced", rate);
        return STATUS_SUCCESS;
    }
    UCHAR block[UART_BAUD_BLOCK_SIZE];
    const ULONG tag = PEER_BAUD_TAG;
    RtlCopyMemory(block, &tag, sizeof(tag));
    RtlCopyMemory(block + sizeof(tag), &rate, sizeof(rate));
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "QuarvexSerialIoControlBaud Rate %d", rate);
    // A block that does not fit now waits in the UART and goes ahead of further write data.
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    QuarvexUartWriteBaudBlock(&port->Uart, block);
    KfLowerIrql(old);
    return STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(ControlRequest& Request)
{
    In<SERIAL_BAUD_RATE>(Request)->BaudRate = Request.Port->BaudRate;
    return STATUS_SUCCESS;
}

// Line-control register bits by word length (5..8), parity and stop bits.
constexpr UCHAR DATA_BITS[4] = {0x00, 0x01, 0x02, 0x03};
constexpr UCHAR DATA_MASKS[4] = {0x1F, 0x3F, 0x7F, 0xFF};
constexpr UCHAR PARITY_BITS[5] = {0x00, 0x08, 0x18, 0x28, 0x38};
constexpr UCHAR STOP_BITS[3] = {0x00, 0x04, 0x04};

NTSTATUS SetLineControl(ControlRequest& Request)
{
    const SERIAL_LINE_CONTROL* line = In<SERIAL_LINE_CONTROL>(Request);
    if (line->WordLength < 5 || line->WordLength > 8 || line->Parity > SPACE_PARITY ||
        line->StopBits > STOP_BITS_2) {
        return STATUS_INVALID_PARAMETER;
    }
    PortDeviceRecord* port = Request.Port;
    const ULONG data = line->WordLength - 5u;
    port->SavedLcr =
        static_cast<UCHAR>((port->SavedLcr & UART_LCR_BREAK) | STOP_BITS[line->StopBits] |
                           PARITY_BITS[line->Parity] | DATA_BITS[data]);
    port->DataMask = DATA_MASKS[data];
    QuarvexUartWriteLcr(&port->Uart, port->SavedLcr);
    return STATUS_SUCCESS;
}

NTSTATUS GetLineControl(ControlRequest& Request)
{
    RtlZeroMemory(Request.Buffer, Request.OutputLength);
    SERIAL_LINE_CONTROL* line = In<SERIAL_LINE_CONTROL>(Request);
    const UCHAR lcr = Request.Port->SavedLcr;
    line->WordLength = static_cast<UCHAR>(5 + (lcr & 0x03));
    switch (lcr & 0x38) {
    case 0x00:
        line->Parity = NO_PARITY;
        break;
    case 0x08:
        line->Parity = ODD_PARITY;
        break;
    case 0x18:
        line->Parity = EVEN_PARITY;
        break;
    case 0x28:
        line->Parity = MARK_PARITY;
        break;
    case 0x38:
        line->Parity = SPACE_PARITY;
        break;
    default:
        break;
    }
    if ((lcr & 0x04) == 0) {
        line->StopBits = STOP_BIT_1;
    } else {
        line->StopBits = line->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    }
    return STATUS_SUCCESS;
}

// ---- Stored settings ------------------------------------------------------------------------

NTSTATUS SetTimeouts(ControlRequest& Request)
{
    const SERIAL_TIMEOUTS* timeouts = In<SERIAL_TIMEOUTS>(Request);
    if (timeouts->ReadIntervalTimeout == MAXULONG &&
        timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts->ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    Request.Port->Timeouts = *timeouts;
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(ControlRequest& Request)
{
    *In<SERIAL_TIMEOUTS>(Request) = Request.Port->Timeouts;
    return STATUS_SUCCESS;
}

NTSTATUS SetChars(ControlRequest& Request)
{
    const SERIAL_CHARS* chars = In<SERIAL_CHARS>(Request);
    const UCHAR escape = Request.Port->LsrMstEscape;
    if (escape != 0 && (escape == chars->XonChar || escape == chars->XoffChar)) {
        return STATUS_INVALID_PARAMETER;
    }
    Request.Port->SerialChars = *chars;
    return STATUS_SUCCESS;
}

NTSTATUS GetChars(ControlRequest& Request)
{
    *In<SERIAL_CHARS>(Request) = Request.Port->SerialChars;
    return STATUS_SUCCESS;
}

NTSTATUS LsrMstInsert(ControlRequest& Request)
{
    PortDeviceRecord* port = Request.Port;
    const UCHAR escape = *In<UCHAR>(Request);
    if (escape != 0 &&
        (escape == port->SerialChars.XoffChar || escape == port->SerialChars.XonChar ||
         (port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    port->LsrMstEscape = escape;
    return STATUS_SUCCESS;
}

// ---- Lines and handshake ----------------------------------------------------------------------

bool DtrInHandshake(const PortDeviceRecord* Port)
{
    return (Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

bool RtsInHandshake(const PortDeviceRecord* Port)
{
    const ULONG rts = Port->HandFlow.FlowReplace & SERIAL_RTS_MASK;
    return rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE;
}

template <VOID (*Line)(PortDeviceRecord*), bool (*Refused)(const PortDeviceRecord*)>
NTSTATUS SetLine(ControlRequest& Request)
{
    if (Refused(Request.Port)) {
        return STATUS_INVALID_PARAMETER;
    }
    Line(Request.Port);
    return STATUS_SUCCESS;
}

bool NeverRefused(const PortDeviceRecord*)
{
    return false;
}

NTSTATUS CheckHandFlow(ControlRequest& Request)
{
    const SERIAL_HANDFLOW* flow = In<SERIAL_HANDFLOW>(Request);
    const ULONG size = Request.Port->InputBufferSize;
    if ((flow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
        (flow->FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
        (flow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || flow->XonLimit < 0 ||
        static_cast<ULONG>(flow->XonLimit) > size || flow->XoffLimit < 0 ||
        static_cast<ULONG>(flow->XoffLimit) > size) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetHandFlow(ControlRequest& Request)
{
    const SERIAL_HANDFLOW* flow = In<SERIAL_HANDFLOW>(Request);
    if (Request.Port->LsrMstEscape != 0 && (flow->FlowReplace & SERIAL_ERROR_CHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    QuarvexSetHandFlow(Request.Port, flow);
    return STATUS_SUCCESS;
}

NTSTATUS GetHandFlow(ControlRequest& Request)
{
    *In<SERIAL_HANDFLOW>(Request) = Request.Port->HandFlow;
    return STATUS_SUCCESS;
}

NTSTATUS SetModemControl(ControlRequest& Request)
{
    QuarvexUartWriteMcr(&Request.Port->Uart, static_cast<UCHAR>(*In<ULONG>(Request) & 0xFF));
    return STATUS_SUCCESS;
}

NTSTATUS GetModemControl(ControlRequest& Request)
{
    *In<ULONG>(Request) = QuarvexUartReadMcr(&Request.Port->Uart);
    return STATUS_SUCCESS;
}

NTSTATUS GetDtrRts(ControlRequest& Request)
{
    *In<ULONG>(Request) =
        QuarvexUartReadMcr(&Request.Port->Uart) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    return STATUS_SUCCESS;
}

NTSTATUS GetModemStatus(ControlRequest& Request)
{
    *In<ULONG>(Request) = QuarvexHandleModemUpdate(Request.Port, FALSE);
    return STATUS_SUCCESS;
}

// ---- Status, properties, statistics ---------------------------------------------------------

// Transmit hold reasons as the status reports them.
struct HoldReport
{
    ULONG Hold;
    ULONG Reported;
};
constexpr HoldReport TX_HOLDS[] = {
    {TX_HOLD_CTS, SERIAL_TX_WAITING_FOR_CTS},      {TX_HOLD_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {TX_HOLD_DCD, SERIAL_TX_WAITING_FOR_DCD},      {TX_HOLD_XOFF, SERIAL_TX_WAITING_FOR_XON},
    {TX_HOLD_OWN_XOFF, SERIAL_TX_WAITING_FOR_XON}, {TX_HOLD_BREAK, SERIAL_TX_WAITING_ON_BREAK}};

NTSTATUS GetCommStatus(ControlRequest& Request)
{
    PortDeviceRecord* port = Request.Port;
    SERIAL_STATUS* status = In<SERIAL_STATUS>(Request);
    RtlZeroMemory(status, sizeof(*status));
    status->Errors = port->CommErrors;
    port->CommErrors = 0;
    for (const auto& hold : TX_HOLDS) {
        if ((port->TxHoldReasons & hold.Hold) != 0) {
            status->HoldReasons |= hold.Reported;
        }
    }
    if ((port->RxHoldReasons & RX_HOLD_DSR) != 0) {
        status->HoldReasons |= SERIAL_RX_WAITING_FOR_DSR;
    }
    // Only an Xoff that went to the transmitter has been sent.
    if ((port->RxHoldReasons & RX_HOLD_XOFF) != 0 && port->XoffSent) {
        status->HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
    }
    status->AmountInInQueue = port->InputCount;
    // The count leaves out what the transmit path has handed over, also of the current write.
    status->AmountInOutQueue = QuarvexOutputAmountLocked(port);
    status->EofReceived = FALSE;
    status->WaitForImmediate = port->ImmediatePending;
    return STATUS_SUCCESS;
}

NTSTATUS GetProperties(ControlRequest& Request)
{
    SERIAL_COMMPROP* properties = In<SERIAL_COMMPROP>(Request);
    RtlZeroMemory(properties, sizeof(*properties));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                   SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    properties->SettableBaud = 0x0007FFFF | SERIAL_BAUD_USER;
    properties->SettableData = static_cast<USHORT>(SERIAL_DATABITS_5 | SERIAL_DATABITS_6 |
                                                   SERIAL_DATABITS_7 | SERIAL_DATABITS_8);
    properties->SettableStopParity = static_cast<USHORT>(
        SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
        SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE);
    properties->CurrentRxQueue = Request.Port->InputBufferSize;
    return STATUS_SUCCESS;
}

NTSTATUS GetStats(ControlRequest& Request)
{
    *In<SERIALPERF_STATS>(Request) = Request.Port->Stats;
    return STATUS_SUCCESS;
}

NTSTATUS ClearStats(ControlRequest& Request)
{
    RtlZeroMemory(&Request.Port->Stats, sizeof(Request.Port->Stats));
    return STATUS_SUCCESS;
}

NTSTATUS GetWaitMask(ControlRequest& Request)
{
    *In<ULONG>(Request) = Request.Port->WaitMask;
    return STATUS_SUCCESS;
}

NTSTATUS ConfigSize(ControlRequest& Request)
{
    *In<ULONG>(Request) = 0; // no provider configuration data
    return STATUS_SUCCESS;
}

// ---- Requests handed on -----------------------------------------------------------------------

template <RequestQueue PortDeviceRecord::*Queue> NTSTATUS StartOn(ControlRequest& Request)
{
    return QuarvexQueueStartPacket(&(Request.Port->*Queue), Request.Irp);
}

template <RequestQueue PortDeviceRecord::*Queue> NTSTATUS HandTo(ControlRequest& Request)
{
    Request.HandOn = StartOn<Queue>;
    return STATUS_SUCCESS;
}

NTSTATUS SetWaitMask(ControlRequest& Request)
{
    if ((*In<ULONG>(Request) & 0xFFFFE000u) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return HandTo<&PortDeviceRecord::MaskQueue>(Request);
}

NTSTATUS Purge(ControlRequest& Request)
{
    const ULONG mask = *In<ULONG>(Request);
    if (mask == 0 || (mask & 0xFFFFFFF0u) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return HandTo<&PortDeviceRecord::PurgeQueue>(Request);
}

NTSTATUS XoffCounter(ControlRequest& Request)
{
    if (In<SERIAL_XOFF_COUNTER>(Request)->Counter <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return HandTo<&PortDeviceRecord::WriteQueue>(Request);
}

NTSTATUS SetQueueSize(ControlRequest& Request)
{
    const ULONG size = In<SERIAL_QUEUE_SIZE>(Request)->InSize;
    if (size <= Request.Port->InputBufferSize) {
        return STATUS_SUCCESS; // the ring never shrinks
    }
    // Charged to the caller; the flag makes a refused charge return NULL instead of raising
    // an exception that this code could not catch.
    PVOID ring = ExAllocatePoolWithQuotaTag(
        static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), size,
        QUARVEX_INPUT_POOL_TAG);
    if (ring == NULL) {
        QuarvexTrace(TRACE_SERIAL_IO, 1, "QuarvexSerialIoControl no input buffer of %u bytes",
                     size);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetCurrentIrpStackLocation(Request.Irp)->Parameters.DeviceIoControl.Type3InputBuffer = ring;
    Request.HandOn = StartOn<&PortDeviceRecord::ReadQueue>;
    return STATUS_SUCCESS;
}

NTSTATUS LeavePending(ControlRequest&)
{
    return STATUS_PENDING;
}

NTSTATUS CompleteCancelled(ControlRequest& Request)
{
    QuarvexCompleteRequest(Request.Irp, STATUS_CANCELLED);
    return STATUS_CANCELLED;
}

NTSTATUS ImmediateChar(ControlRequest& Request)
{
    PortDeviceRecord* port = Request.Port;
    if (QuarvexCleanedUp(Request.Irp)) {
        return STATUS_CANCELLED;
    }
    if (port->ImmediateIrp != NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // Started under the lock that a cleanup takes to find it: it is never the port's without
    // its cancel routine.
    Request.HandOn = QuarvexSerialStartImmediate(port, Request.Irp) == STATUS_PENDING
                         ? LeavePending
                         : CompleteCancelled;
    return STATUS_SUCCESS;
}

// ---- The table ------------------------------------------------------------------------------

constexpr ULONG G = CONTROL_GATED;
constexpr ULONG L = CONTROL_LOCKED;

#define QVX_CODE(code) code, #code

constexpr ControlCode CONTROL_CODES[] = {
    {QVX_CODE(IOCTL_SERIAL_SET_BAUD_RATE), 4, 4, 0, G, nullptr, SetBaudRate},
    {QVX_CODE(IOCTL_SERIAL_SET_QUEUE_SIZE), 4, 8, 0, 0, nullptr, SetQueueSize},
    {QVX_CODE(IOCTL_SERIAL_SET_LINE_CONTROL), 3, 3, 0, G | L, nullptr, SetLineControl},
    {QVX_CODE(IOCTL_SERIAL_SET_BREAK_ON), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexBreakOn, NeverRefused>},
    {QVX_CODE(IOCTL_SERIAL_SET_BREAK_OFF), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexBreakOff, NeverRefused>},
    {QVX_CODE(IOCTL_SERIAL_IMMEDIATE_CHAR), 4, 1, 0, G | L, nullptr, ImmediateChar},
    {QVX_CODE(IOCTL_SERIAL_SET_TIMEOUTS), 4, 20, 0, L, nullptr, SetTimeouts},
    {QVX_CODE(IOCTL_SERIAL_GET_TIMEOUTS), 4, 0, 20, L, nullptr, GetTimeouts},
    {QVX_CODE(IOCTL_SERIAL_SET_DTR), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexRaiseDtr, DtrInHandshake>},
    {QVX_CODE(IOCTL_SERIAL_CLR_DTR), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexDropDtr, DtrInHandshake>},
    {QVX_CODE(IOCTL_SERIAL_RESET_DEVICE), 4, 0, 0, G, nullptr, Nothing},
    {QVX_CODE(IOCTL_SERIAL_SET_RTS), 3, 0, 0, G | L, nullptr,
     SetLine<QuarvexRaiseRts, RtsInHandshake>},
    {QVX_CODE(IOCTL_SERIAL_CLR_RTS), 3, 0, 0, G | L, nullptr,
     SetLine<QuarvexDropRts, RtsInHandshake>},
    {QVX_CODE(IOCTL_SERIAL_SET_XOFF), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexSimulateXoff, NeverRefused>},
    {QVX_CODE(IOCTL_SERIAL_SET_XON), 4, 0, 0, G | L, nullptr,
     SetLine<QuarvexSimulateXon, NeverRefused>},
    {QVX_CODE(IOCTL_SERIAL_GET_WAIT_MASK), 4, 0, 4, 0, nullptr, GetWaitMask},
    {QVX_CODE(IOCTL_SERIAL_SET_WAIT_MASK), 4, 4, 0, 0, nullptr, SetWaitMask},
    {QVX_CODE(IOCTL_SERIAL_WAIT_ON_MASK), 4, 0, 4, 0, nullptr,
     HandTo<&PortDeviceRecord::MaskQueue>},
    {QVX_CODE(IOCTL_SERIAL_PURGE), 4, 4, 0, 0, nullptr, Purge},
    {QVX_CODE(IOCTL_SERIAL_GET_BAUD_RATE), 4, 0, 4, G, nullptr, GetBaudRate},
    {QVX_CODE(IOCTL_SERIAL_GET_LINE_CONTROL), 4, 0, 3, L, nullptr, GetLineControl},
    {QVX_CODE(IOCTL_SERIAL_GET_CHARS), 4, 0, 6, L, nullptr, GetChars},
    {QVX_CODE(IOCTL_SERIAL_SET_CHARS), 4, 6, 0, L, nullptr, SetChars},
    {QVX_CODE(IOCTL_SERIAL_GET_HANDFLOW), 4, 0, 16, L, nullptr, GetHandFlow},
    {QVX_CODE(IOCTL_SERIAL_SET_HANDFLOW), 4, 16, 0, G | L, CheckHandFlow, SetHandFlow},
    {QVX_CODE(IOCTL_SERIAL_GET_MODEMSTATUS), 4, 0, 4, G | L, nullptr, GetModemStatus},
    {QVX_CODE(IOCTL_SERIAL_GET_COMMSTATUS), 4, 0, 20, L | CONTROL_READS_ERRORS, nullptr,
     GetCommStatus},
    {QVX_CODE(IOCTL_SERIAL_XOFF_COUNTER), 4, 12, 0, 0, nullptr, XoffCounter},
    {QVX_CODE(IOCTL_SERIAL_GET_PROPERTIES), 4, 0, 64, 0, nullptr, GetProperties},
    {QVX_CODE(IOCTL_SERIAL_GET_DTRRTS), 4, 0, 4, G, nullptr, GetDtrRts},
    {QVX_CODE(IOCTL_SERIAL_LSRMST_INSERT), 4, 1, 0, L, nullptr, LsrMstInsert},
    {QVX_CODE(IOCTL_SERIAL_CONFIG_SIZE), 4, 0, 4, 0, nullptr, ConfigSize},
    {QVX_CODE(IOCTL_SERIAL_GET_STATS), 4, 0, 24, L, nullptr, GetStats},
    {QVX_CODE(IOCTL_SERIAL_CLEAR_STATS), 4, 0, 0, L, nullptr, ClearStats},
    {QVX_CODE(IOCTL_SERIAL_GET_MODEM_CONTROL), 4, 0, 4, G | L, nullptr, GetModemControl},
    {QVX_CODE(IOCTL_SERIAL_SET_MODEM_CONTROL), 4, 4, 0, G | L, nullptr, SetModemControl},
    {QVX_CODE(IOCTL_SERIAL_SET_FIFO_CONTROL), 4, 0, 0, 0, nullptr, Nothing},
};

#undef QVX_CODE

// Codes are 0x001B0000 plus four times the function number: a row's place follows from its
// code, so the lookup is one index.
constexpr ULONG CONTROL_BASE = 0x001B0000;
constexpr ULONG CONTROL_FUNCTIONS = 40;

constexpr UCHAR NO_ROW = 0xFF;

struct ControlIndex
{
    UCHAR Row[CONTROL_FUNCTIONS];
};

constexpr ControlIndex BuildIndex()
{
    ControlIndex index{};
    for (ULONG i = 0; i < CONTROL_FUNCTIONS; ++i) {
        index.Row[i] = NO_ROW;
    }
    for (ULONG row = 0; row < sizeof(CONTROL_CODES) / sizeof(CONTROL_CODES[0]); ++row) {
        index.Row[(CONTROL_CODES[row].Code - CONTROL_BASE) / 4] = static_cast<UCHAR>(row);
    }
    return index;
}

constexpr ControlIndex CONTROL_INDEX = BuildIndex();

constexpr ULONG CountIndexed()
{
    ULONG count = 0;
    for (ULONG i = 0; i < CONTROL_FUNCTIONS; ++i) {
        count += CONTROL_INDEX.Row[i] != NO_ROW ? 1 : 0;
    }
    return count;
}

// Every row has a place of its own.
static_assert(CountIndexed() == sizeof(CONTROL_CODES) / sizeof(CONTROL_CODES[0]));

const ControlCode* FindCode(ULONG Code)
{
    if (Code < CONTROL_BASE || (Code & 3) != 0 || (Code - CONTROL_BASE) / 4 >= CONTROL_FUNCTIONS) {
        return nullptr;
    }
    const UCHAR row = CONTROL_INDEX.Row[(Code - CONTROL_BASE) / 4];
    return row == NO_ROW ? nullptr : &CONTROL_CODES[row];
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    QuarvexCompleteRequest(Irp, Status);
    return Status;
}

} // namespace

NTSTATUS QuarvexSerialIoControl(PortDeviceRecord* Port, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ControlCode* code = FindCode(stack->Parameters.DeviceIoControl.IoControlCode);
    if (code == nullptr || (code->Flags & CONTROL_READS_ERRORS) == 0) {
        const NTSTATUS status = QuarvexCheckForError(Port, Irp);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (code == nullptr) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    QuarvexTrace(TRACE_SERIAL_IO, code->TraceLevel, code->Name);

    ControlRequest request = {Port,
                              Irp,
                              Irp->AssociatedIrp.SystemBuffer,
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength,
                              nullptr};
    if (request.InputLength < code->InputLength || request.OutputLength < code->OutputLength) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    if (code->Check != nullptr) {
        const NTSTATUS status = code->Check(request);
        if (!NT_SUCCESS(status)) {
            return Complete(Irp, status);
        }
    }
    if ((code->Flags & CONTROL_GATED) != 0) {
        const NTSTATUS status = QuarvexGateEnter(&Port->ControlGate, Irp);
        if (status != STATUS_SUCCESS) {
            // Parked, or refused and completed by the gate.
            QuarvexTrace(TRACE_SERIAL_IO, 2, "QuarvexSerialIoControl--. IRP %p STATUS %x", Irp,
                         status);
            return status;
        }
    }
    NTSTATUS status;
    if ((code->Flags & CONTROL_LOCKED) != 0) {
        SpinLockGuard guard(&Port->PortLock);
        status = code->Work(request);
    } else {
        status = code->Work(request);
    }
    if ((code->Flags & CONTROL_GATED) != 0) {
        QuarvexGateLeave(&Port->ControlGate);
    }
    if (NT_SUCCESS(status) && request.HandOn != nullptr) {
        return request.HandOn(request);
    }
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = code->OutputLength;
    }
    return Complete(Irp, status);
}

VOID NTAPI QuarvexDropInputResize(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_QUEUE_SIZE &&
        stack->Parameters.DeviceIoControl.Type3InputBuffer != NULL) {
        ExFreePoolWithTag(stack->Parameters.DeviceIoControl.Type3InputBuffer,
                          QUARVEX_INPUT_POOL_TAG);
        stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    }
}

NTSTATUS NTAPI QuarvexDeviceIoControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexDeviceIoControlDispatch++. IRP %p", Irp);
    const NTSTATUS status = QuarvexSerialIoControl(QuarvexPortFromDevice(DeviceObject), Irp);
    QuarvexTrace(TRACE_SERIAL_IO, 3, "QuarvexDeviceIoControlDispatch--. IRP %p STATUS %x", Irp,
                 status);
    return status;
}
