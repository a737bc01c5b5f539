// The port device record, its count of requests in progress and the emulated UART.
//
// Contexts: the record is the device extension of the port's device object; dispatch, start
// and cancel routines find it there, DPCs, timers and callbacks receive it as context.
// Lock order: PortLock before TransmitLock or ReceiveLock, never those two together, never
// the cancel spin lock with any of them. The UART operations take TransmitLock or
// ReceiveLock themselves with the DPC-level acquire: callers run at DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <wmilib.h>

#include "queue/queue.h"

struct PortDeviceRecord;

// Receive and transmit capacities of the UART.
constexpr ULONG UART_RX_CAPACITY = 4096;
constexpr ULONG UART_TX_CAPACITY = 128;
// The baud control block that travels to the peer in the transmit stream.
constexpr ULONG UART_BAUD_BLOCK_SIZE = 8;

// Register bits of the model.
constexpr UCHAR UART_IER_RDA = 0x01;
constexpr UCHAR UART_IER_THRE = 0x02;
constexpr UCHAR UART_IER_RLS = 0x04;
constexpr UCHAR UART_IER_MS = 0x08;
constexpr UCHAR UART_IIR_NO_INTERRUPT = 0x01;
constexpr UCHAR UART_IIR_MODEM_STATUS = 0x00;
constexpr UCHAR UART_IIR_THRE = 0x02;
constexpr UCHAR UART_IIR_RDA = 0x04;
constexpr UCHAR UART_IIR_RLS = 0x06;
constexpr UCHAR UART_LSR_DATA_READY = 0x01;
constexpr UCHAR UART_LSR_OVERRUN = 0x02;
constexpr UCHAR UART_LSR_THRE = 0x20;
constexpr UCHAR UART_LSR_TEMT = 0x40;
constexpr UCHAR UART_MSR_DCTS = 0x01;
constexpr UCHAR UART_MSR_DDSR = 0x02;
constexpr UCHAR UART_MSR_DDCD = 0x08;
constexpr UCHAR UART_MSR_DELTAS = 0x0F;
constexpr UCHAR UART_MSR_CTS = 0x10;
constexpr UCHAR UART_MSR_DSR = 0x20;
constexpr UCHAR UART_MSR_DCD = 0x80;
constexpr UCHAR UART_MCR_DTR = 0x01;
constexpr UCHAR UART_MCR_RTS = 0x02;
constexpr UCHAR UART_LCR_BREAK = 0x40;

// Values that one side writes under a lock the other side does not hold: the UART's pending
// flags and enables, which the receive callback and the interrupt-raise test read without
// PortLock; PortIsOpen as the receive callback sees it; the receive count and the line errors,
// which the line-status read looks at without ReceiveLock. Loads and stores the compiler may
// neither tear nor cache (plain moves on x86).
inline UCHAR QuarvexLoadShared(const volatile UCHAR* Value)
{
    return __atomic_load_n(Value, __ATOMIC_RELAXED);
}

inline ULONG QuarvexLoadShared(const volatile ULONG* Value)
{
    return __atomic_load_n(Value, __ATOMIC_RELAXED);
}

inline VOID QuarvexStoreShared(volatile UCHAR* Value, UCHAR NewValue)
{
    __atomic_store_n(Value, NewValue, __ATOMIC_RELAXED);
}

inline VOID QuarvexStoreShared(volatile ULONG* Value, ULONG NewValue)
{
    __atomic_store_n(Value, NewValue, __ATOMIC_RELAXED);
}

// The software 16550: register bytes, four interrupt-pending flags, two byte stores.
// TransmitLock guards TxBuffer and TxCount; ReceiveLock guards RxBuffer, RxHead, RxCount,
// LsrErrors and the clearing of RxDataPending (RxCount and LsrErrors are also read without it,
// as shared values); PortLock guards everything else.
struct EmulatedUart
{
    PortDeviceRecord* Owner;
    // A ring of UART_RX_CAPACITY bytes: RxCount of them from RxHead on, wrapping. An empty ring
    // starts again at 0.
    PUCHAR RxBuffer;
    ULONG RxHead;
    ULONG RxCount;
    PUCHAR TxBuffer;
    ULONG TxCount;
    KDPC InterruptDpc;
    UCHAR Ier;
    UCHAR Lcr;
    UCHAR Mcr;
    UCHAR Msr;
    BOOLEAN ThrePending;
    BOOLEAN RxDataPending;
    BOOLEAN LineStatusPending;
    BOOLEAN ModemStatusPending;
    // Line errors since the last LSR read (the overrun of bytes the receive buffer could not
    // take); a real 16550 reports them once, in the next LSR read.
    UCHAR LsrErrors;
    // A baud block that found the transmit buffer full: it goes in at the first chance, ahead
    // of further write data. TransmitLock.
    BOOLEAN BaudBlockHeld;
    UCHAR HeldBaudBlock[UART_BAUD_BLOCK_SIZE];
};

// Holders of a request that several parties can end.
constexpr ULONG READ_REF_ISR = 0x1;
constexpr ULONG READ_REF_CANCEL = 0x2;
constexpr ULONG READ_REF_TOTAL_TIMER = 0x4;
constexpr ULONG READ_REF_INTERVAL_TIMER = 0x8;
constexpr LONG READ_CODE_CANCEL = -1;
constexpr LONG READ_CODE_TOTAL = -2;
constexpr LONG READ_CODE_COMPLETE = -3;
constexpr ULONG WRITE_REF_ISR = 0x1;
constexpr ULONG WRITE_REF_CANCEL = 0x2;
constexpr ULONG WRITE_REF_TOTAL_TIMER = 0x4;
constexpr ULONG WAIT_REF_EVENT = 0x1;
constexpr ULONG WAIT_REF_CANCEL = 0x2;

// Why the transmitter or the receiver is held.
constexpr ULONG TX_HOLD_CTS = 0x01;
constexpr ULONG TX_HOLD_DSR = 0x02;
constexpr ULONG TX_HOLD_DCD = 0x04;
constexpr ULONG TX_HOLD_XOFF = 0x08; // the peer's Xoff (or IOCTL_SERIAL_SET_XOFF)
constexpr ULONG TX_HOLD_BREAK = 0x10;
// The port's own Xoff went out without SERIAL_XOFF_CONTINUE: it sends nothing but flow and
// immediate characters until its own Xon has gone. Kept apart from TX_HOLD_XOFF, so that the
// port's Xon never lifts the hold the peer asked for.
constexpr ULONG TX_HOLD_OWN_XOFF = 0x20;
constexpr ULONG TX_HOLD_ANY_XOFF = TX_HOLD_XOFF | TX_HOLD_OWN_XOFF;
constexpr ULONG RX_HOLD_DTR = 0x01;
constexpr ULONG RX_HOLD_XOFF = 0x02;
constexpr ULONG RX_HOLD_RTS = 0x04;
constexpr ULONG RX_HOLD_DSR = 0x08;

// Plug and Play states.
constexpr ULONG PNP_NOT_STARTED = 0;
constexpr ULONG PNP_STARTED = 1;
constexpr ULONG PNP_STOP_PENDING = 2;
constexpr ULONG PNP_STOPPED = 3;
constexpr ULONG PNP_REMOVE_PENDING = 4;
constexpr ULONG PNP_REMOVED = 5;
constexpr ULONG PNP_SURPRISE_REMOVED = 6;

constexpr ULONG QUEUE_COUNT = 4;
constexpr ULONG DEFAULT_BAUD_RATE = 1200;
constexpr UCHAR DEFAULT_SAVED_LCR = 0x1A; // 7 data bits, 1 stop bit, even parity
constexpr UCHAR DEFAULT_DATA_MASK = 0x7F;
constexpr ULONG DEFAULT_SEND_PERIOD_MS = 20;

// The device extension of a port: everything the port knows.
struct PortDeviceRecord
{
    // Device frame. OutstandingIo interlocked only; PnpState read without a lock.
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    volatile LONG OutstandingIo;
    KEVENT RemoveEvent;
    RequestGate ControlGate;
    ULONG PnpState;
    ULONG PreviousPnpState;
    PIO_WORKITEM PowerWorkItem;

    // Open state, names and queues. ExclusiveOpenCount interlocked only; PortIsOpen changes
    // under PortLock (the receive path reads it without).
    volatile LONG ExclusiveOpenCount;
    BOOLEAN PortIsOpen;
    PWSTR PortNameString;
    LONG ComNumber;
    RequestQueue* Queues[QUEUE_COUNT];
    WMILIB_CONTEXT WmiLibContext;
    KSPIN_LOCK PortLock;
    UNICODE_STRING InterfaceName;
    UNICODE_STRING DeviceName;       // buffer from add device until removal
    UNICODE_STRING SymbolicLinkName; // the link publication created; withdrawal deletes it

    // Settings set and read by the control codes.
    ULONG BaudRate;
    SERIAL_CHARS SerialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    UCHAR DataMask;
    UCHAR LsrMstEscape;
    SERIALPERF_STATS Stats;

    // Write. PortLock guards the fields but the queue.
    KTIMER WriteTotalTimer;
    RequestQueue WriteQueue;
    ULONG WriteRefs;
    KDPC WriteCompleteDpc;
    KDPC WriteTimeoutDpc;
    PUCHAR WriteNextChar;
    ULONG WriteLength;
    ULONG TxQueuedCount;

    // Immediate character and Xoff counter. PortLock.
    PIRP ImmediateIrp;
    ULONG ImmediateRefs;
    KTIMER ImmediateTimer;
    KDPC ImmediateCompleteDpc;
    KDPC ImmediateTimeoutDpc;
    UCHAR ImmediateChar;
    BOOLEAN SendXonPending;
    BOOLEAN SendXoffPending;
    // An Xoff of the port's went to the transmitter and no Xon since.
    BOOLEAN XoffSent;
    PIRP XoffIrp;
    ULONG XoffRefs;
    KTIMER XoffTimer;
    KDPC XoffTimeoutDpc;
    KDPC XoffCompleteDpc;
    ULONG XoffCountdown;

    // Read and input buffer. PortLock guards the fields but the queue.
    RequestQueue ReadQueue;
    ULONG ReadRefs;
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KDPC ReadCompleteDpc;
    KDPC ReadTimeoutDpc;
    KDPC ReadIntervalDpc;
    LONGLONG LastReadTime;
    LONGLONG ReadIntervalTime;
    LONGLONG IntervalCutOver;
    LONGLONG* IntervalPollPeriod;
    LONGLONG LongIntervalPeriod;
    LONGLONG ShortIntervalPeriod;
    // The input ring and the receive target: written only by serial/input_ring.
    ULONG InputBufferSize;
    ULONG InputFullMark;
    PUCHAR InputBuffer;
    PUCHAR IsrTargetBase;
    PUCHAR IsrTargetLast;
    ULONG InputCount;
    PUCHAR InputFirstChar;
    PUCHAR IsrNextSlot;
    ULONG ReadNeeded;
    LONG ReadLastCount;
    ULONG CharsReadByIsr;
    // The current read ends with the first characters that arrive; and the receive path has
    // queued ReadCompleteDpc for it, which then holds the receive path's reference.
    BOOLEAN ReadReturnWhenAny;
    BOOLEAN ReadCompletionQueued;

    // Errors and waits. PortLock guards the fields but the queue.
    KDPC SerialErrorDpc;
    ULONG CommErrors;
    RequestQueue MaskQueue;
    ULONG EventHistory;
    ULONG WaitMask;
    PIRP WaitIrp;
    ULONG WaitRefs;
    PULONG WaitResultSlot;
    KDPC WaitCompleteDpc;

    // Line holds. PortLock.
    ULONG TxHoldReasons;
    ULONG RxHoldReasons;

    // Emulated UART and transmitter state. PortLock (the UART's buffers: see EmulatedUart).
    EmulatedUart Uart;
    BOOLEAN ThrEmpty;
    BOOLEAN ImmediatePending;
    UCHAR SavedLcr;
    RequestQueue PurgeQueue;

    // Peer link.
    PCALLBACK_OBJECT SendCallbackObject;
    PCALLBACK_OBJECT ReceiveCallbackObject;
    PVOID ReceiveRegistration;
    // Receive notifications in progress, plus one for the registration; teardown drops that
    // one and waits on ReceiveIdle for the rest, and once it is 0 no notification enters.
    // Interlocked only.
    volatile LONG ReceiveBusy;
    KEVENT ReceiveIdle;
    KSPIN_LOCK TransmitLock;
    KSPIN_LOCK ReceiveLock;
    KTIMER SendTimer;
    KDPC SendTimerDpc;
    BOOLEAN SendTimerRunning;
    ULONG SendPeriod;
};

inline PortDeviceRecord* QuarvexPortFromDevice(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PortDeviceRecord*>(DeviceObject->DeviceExtension);
}

// Stores the defaults of a freshly created, zero-filled record: settings, interval periods,
// the outstanding-I/O count and its event. Queues, the gate, timers and DPCs are set up by
// add device.
// IRQL: PASSIVE_LEVEL.
VOID QuarvexPortSetDefaults(PortDeviceRecord* Port, PDEVICE_OBJECT DeviceObject,
                            PDEVICE_OBJECT PhysicalDeviceObject);

// ---- Outstanding-I/O count ----------------------------------------------------------------
// Counted: the create, Plug and Play, power and system-control dispatchers.

// Counts a dispatcher in; FALSE when the device is removed (the count is already restored and
// the caller must refuse the request).
// IRQL: <= DISPATCH_LEVEL.  Locks: none.
BOOLEAN QuarvexIoIncrement(PortDeviceRecord* Port);

// Counts a dispatcher out; the last one (after removal dropped the device's own reference)
// signals RemoveEvent.
// IRQL: <= DISPATCH_LEVEL.  Locks: none.
VOID QuarvexIoDecrement(PortDeviceRecord* Port);

// Marks the device removed, drops its own reference and waits until every counted dispatcher
// has left. Removal calls it once, after counting itself out.
// IRQL: PASSIVE_LEVEL.  Locks: must not hold any.
VOID QuarvexIoDecrementAndWait(PortDeviceRecord* Port);

// Stores Status and completes Irp, with no priority boost as every completion of the port.
// IRQL: <= DISPATCH_LEVEL.  Locks: must not hold PortLock or a queue lock.
inline VOID QuarvexCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

// ---- Emulated UART -----------------------------------------------------------------------
// None of these traces. Register and flag accesses need PortLock held by the caller, except
// where a declaration says otherwise.

// Zero-fills the UART and prepares its interrupt DPC, once, when the port's device is created:
// a DPC is never initialised again while it may be queued.
// IRQL: PASSIVE_LEVEL.
VOID QuarvexUartPrepare(EmulatedUart* Uart, PortDeviceRecord* Owner,
                        PKDEFERRED_ROUTINE InterruptService);

// Allocates the two buffers at a start. The registers keep what the last stop left (zero
// before the first start), so a handle open across a stop keeps its lines; IER is 0 until an
// open or a resume enables the sources.
// IRQL: PASSIVE_LEVEL.  Returns STATUS_INSUFFICIENT_RESOURCES with nothing allocated.
[[nodiscard]] NTSTATUS QuarvexUartInitialize(EmulatedUart* Uart);

// Disables the interrupt sources and returns once no interrupt DPC is queued or running.
// IRQL: PASSIVE_LEVEL (it waits for a DPC running elsewhere).
VOID QuarvexUartSilence(EmulatedUart* Uart);

// Silences the UART, then frees the buffers once no interrupt DPC is queued or
// running, and clears the counts, a held baud block and the pending flags with them (the
// receive path must be stopped first and the transmit buffer handed on), so that nothing
// claims data or raises an interrupt without a buffer; the other registers and the DPC stay.
// IRQL: PASSIVE_LEVEL (it waits for a DPC running elsewhere).
VOID QuarvexUartFree(EmulatedUart* Uart);

// Queues the interrupt DPC when an enabled condition is pending. Takes no lock.
VOID QuarvexUartUpdateInterrupt(EmulatedUart* Uart);

// One byte into the transmitter; dropped when the buffer is full. Returns whether it was
// stored (the transmit path must know, since another writer may fill the buffer meanwhile).
// Only a stored byte raises transmit-empty again.
// IRQL: DISPATCH_LEVEL.  Locks: takes TransmitLock.
BOOLEAN QuarvexUartWriteThr(EmulatedUart* Uart, UCHAR Byte);

// A block into the transmitter, all or nothing: stored only when the count stays below 128,
// and only behind a held baud block (which it places first). Returns whether it was stored;
// only a stored block raises transmit-empty again.
// IRQL: DISPATCH_LEVEL.  Locks: takes TransmitLock.
BOOLEAN QuarvexUartWriteThrBlock(EmulatedUart* Uart, const UCHAR* Bytes, ULONG Length);

// The baud block into the transmitter. One that does not fit is held and goes in ahead of the
// next block of write data, or after the next send; a later one replaces one still held.
// IRQL: DISPATCH_LEVEL.  Locks: takes TransmitLock.
VOID QuarvexUartWriteBaudBlock(EmulatedUart* Uart, const UCHAR* Block);

// Puts a held baud block into the transmitter if it fits now.
// IRQL: DISPATCH_LEVEL.  Locks: TransmitLock held.
VOID QuarvexUartPlaceHeldBlockLocked(EmulatedUart* Uart);

// Free bytes in the transmit buffer (a block may use all but one of them), less the room a
// held baud block needs.
// IRQL: DISPATCH_LEVEL.  Locks: takes TransmitLock.
ULONG QuarvexUartTxRoom(EmulatedUart* Uart);

// The oldest received byte, or 0 when none is held.
// IRQL: DISPATCH_LEVEL.  Locks: takes ReceiveLock.
UCHAR QuarvexUartReadRbr(EmulatedUart* Uart);

// Up to Capacity of the oldest received bytes, in order, into Run: what that many RBR reads
// return when no block arrives between them. None (0) when nothing is held or line errors are
// recorded: the LSR read after the next single byte reports those.
// IRQL: DISPATCH_LEVEL.  Locks: takes ReceiveLock.
ULONG QuarvexUartReadRbrRun(EmulatedUart* Uart, PUCHAR Run, ULONG Capacity);

// Kicks the transmitter: marks THR empty and raises the interrupt.
VOID QuarvexUartSignalThre(EmulatedUart* Uart);

UCHAR QuarvexUartReadIir(EmulatedUart* Uart);

// Line status; reports and clears the recorded line errors.
// IRQL: DISPATCH_LEVEL.  Locks: takes ReceiveLock.
UCHAR QuarvexUartReadLsr(EmulatedUart* Uart);

UCHAR QuarvexUartReadMsr(EmulatedUart* Uart);
UCHAR QuarvexUartReadMcr(EmulatedUart* Uart);
// The modem outputs, looped back as by a loopback plug: RTS to CTS, DTR to DSR and DCD, each
// change with its delta bit and a modem-status interrupt.
VOID QuarvexUartWriteMcr(EmulatedUart* Uart, UCHAR Value);
UCHAR QuarvexUartReadLcr(EmulatedUart* Uart);
VOID QuarvexUartWriteLcr(EmulatedUart* Uart, UCHAR Value);
VOID QuarvexUartWriteIer(EmulatedUart* Uart, UCHAR Value);
