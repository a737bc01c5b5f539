// The peer callback channel: two named callback objects per port, the receive callback and
// the paced send timer.

#include <ntddk.h>

#include "peer/peer.h"
#include "port/kcompat.h"
#include "port/spin_lock.h"
#include "serial/interrupt.h"
#include "trace/trace.h"

namespace {

const WCHAR* const RECEIVE_BASE_NAME = QUARVEX_WSTR("\\Callback\\LyntraRecv");
const WCHAR* const SEND_BASE_NAME = QUARVEX_WSTR("\\Callback\\LyntraSend");
constexpr ULONG RECEIVE_TEXT_BYTES = 20;

ULONG WideLength(PCWSTR Text)
{
    ULONG length = 0;
    while (Text != NULL && Text[length] != 0) {
        ++length;
    }
    return length;
}

VOID FreePortName(PortDeviceRecord* Port)
{
    if (Port->PortNameString != NULL) {
        ExFreePoolWithTag(Port->PortNameString, QUARVEX_POOL_TAG);
        Port->PortNameString = NULL;
    }
}

VOID FreeName(UNICODE_STRING* Name)
{
    if (Name->Buffer != NULL) {
        ExFreePoolWithTag(Name->Buffer, QUARVEX_POOL_TAG);
        Name->Buffer = NULL;
    }
}

// Builds Base followed by the whole port name. The buffer is sized for the name, so every
// port gets objects of its own, however long its name.
[[nodiscard]] NTSTATUS BuildCallbackName(UNICODE_STRING* Name, PCWSTR Base, PCWSTR PortName)
{
    const ULONG characters = WideLength(Base) + WideLength(PortName) + 1;
    if (characters * sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT bytes = static_cast<USHORT>(characters * sizeof(WCHAR));
    Name->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, QUARVEX_POOL_TAG));
    if (Name->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Name->Buffer, bytes);
    Name->Length = 0;
    Name->MaximumLength = bytes;
    (void)RtlAppendUnicodeToString(Name, Base);
    (void)RtlAppendUnicodeToString(Name, PortName);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS OpenCallbackObject(PCALLBACK_OBJECT* Object, UNICODE_STRING* Name)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    return ExCreateCallback(Object, &attributes, TRUE, TRUE);
}

NTSTATUS FailInitialize(PortDeviceRecord* Port, UNICODE_STRING* SendName,
                        UNICODE_STRING* ReceiveName, NTSTATUS Status)
{
    QuarvexTrace(TRACE_INIT, 1, "QuarvexInitializeCallbacks--. STATUS %x", Status);
    FreeName(SendName);
    FreeName(ReceiveName);
    FreePortName(Port);
    return Status;
}

// Hands the transmit buffer to the peer and empties it.
// Locks: TransmitLock held.
VOID SendBuffered(PortDeviceRecord* Port) QUARVEX_REQUIRES(Port->TransmitLock)
{
    EmulatedUart* uart = &Port->Uart;
    QuarvexTrace(TRACE_OPEN_CLOSE, 3, "SendTimerDpcRoutineSend %d Bytes", uart->TxCount);
    if (uart->TxCount >= 8) {
        ULONG tag;
        ULONG rate;
        RtlCopyMemory(&tag, uart->TxBuffer, sizeof(tag));
        RtlCopyMemory(&rate, uart->TxBuffer + 4, sizeof(rate));
        if (tag == PEER_BAUD_TAG) {
            QuarvexTrace(TRACE_OPEN_CLOSE, 3, "SendTimerDpcRoutineSend Baud %d", rate);
        }
    }
    if (Port->SendCallbackObject != NULL) {
        ExNotifyCallback(Port->SendCallbackObject, uart->TxBuffer, &uart->TxCount);
    }
    uart->TxCount = 0;
}

} // namespace

LONG QuarvexPortNumberFromName(PCWSTR Name)
{
    if (Name == NULL) {
        return 0;
    }
    const char prefix[] = "COM";
    for (int i = 0; i < 3; ++i) {
        const WCHAR c = Name[i];
        if (c != static_cast<WCHAR>(prefix[i]) && c != static_cast<WCHAR>(prefix[i] + 32)) {
            return 0;
        }
    }
    LONG value = 0;
    for (PCWSTR p = Name + 3; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 255) {
            return 0;
        }
    }
    return value;
}

NTSTATUS QuarvexInitializeCallbacks(PortDeviceRecord* Port)
{
    Port->ComNumber = QuarvexPortNumberFromName(Port->PortNameString);

    UNICODE_STRING sendName = {0, 0, NULL};
    UNICODE_STRING receiveName = {0, 0, NULL};
    NTSTATUS status = BuildCallbackName(&sendName, SEND_BASE_NAME, Port->PortNameString);
    if (!NT_SUCCESS(status)) {
        return FailInitialize(Port, &sendName, &receiveName, status);
    }
    status = BuildCallbackName(&receiveName, RECEIVE_BASE_NAME, Port->PortNameString);
    if (!NT_SUCCESS(status)) {
        return FailInitialize(Port, &sendName, &receiveName, status);
    }

    status = OpenCallbackObject(&Port->ReceiveCallbackObject, &receiveName);
    if (!NT_SUCCESS(status)) {
        Port->ReceiveCallbackObject = NULL;
        return FailInitialize(Port, &sendName, &receiveName, status);
    }
    KeInitializeEvent(&Port->ReceiveIdle, NotificationEvent, FALSE);
    InterlockedExchange(&Port->ReceiveBusy, 1);
    Port->ReceiveRegistration =
        ExRegisterCallback(Port->ReceiveCallbackObject, QuarvexReceiveData, Port);
    if (Port->ReceiveRegistration == NULL) {
        // The receive object stays referenced; QuarvexFreeCallbacks releases it.
        return FailInitialize(Port, &sendName, &receiveName, STATUS_INSUFFICIENT_RESOURCES);
    }
    status = OpenCallbackObject(&Port->SendCallbackObject, &sendName);
    if (!NT_SUCCESS(status)) {
        Port->SendCallbackObject = NULL;
        ExUnregisterCallback(Port->ReceiveRegistration);
        Port->ReceiveRegistration = NULL;
        return FailInitialize(Port, &sendName, &receiveName, status);
    }

    // The callback objects keep their own copies of the names.
    FreeName(&sendName);
    FreeName(&receiveName);
    FreePortName(Port);

    Port->SendPeriod = DEFAULT_SEND_PERIOD_MS;
    return status;
}

VOID QuarvexPrepareCallbacks(PortDeviceRecord* Port)
{
    KeInitializeSpinLock(&Port->TransmitLock);
    KeInitializeSpinLock(&Port->ReceiveLock);
    KeInitializeTimer(&Port->SendTimer);
    KeInitializeDpc(&Port->SendTimerDpc, SendTimerDpcRoutine, Port);
}

VOID QuarvexSendRemaining(PortDeviceRecord* Port)
{
    EmulatedUart* uart = &Port->Uart;
    const KIRQL old = KfAcquireSpinLock(&Port->TransmitLock);
    // A held baud block follows what is in the buffer, as the next ticks would send it.
    for (int pass = 0; pass < 2 && uart->TxBuffer != NULL; ++pass) {
        if (uart->TxCount != 0) {
            SendBuffered(Port);
        }
        QuarvexUartPlaceHeldBlockLocked(uart);
    }
    KfReleaseSpinLock(&Port->TransmitLock, old);
}

VOID QuarvexFreeCallbacks(PortDeviceRecord* Port)
{
    if (Port->SendTimerRunning) {
        (void)KeCancelTimer(&Port->SendTimer);
        Port->SendTimerRunning = FALSE;
    }
    if (Port->ReceiveRegistration != NULL) {
        // Not relying on the unregistration to wait for a notification in progress: the
        // busy count shuts new ones out and is waited down to 0 before the UART goes.
        if (InterlockedDecrement(&Port->ReceiveBusy) != 0) {
            (void)KeWaitForSingleObject(&Port->ReceiveIdle, Executive, KernelMode, FALSE, NULL);
        }
        ExUnregisterCallback(Port->ReceiveRegistration);
        Port->ReceiveRegistration = NULL;
    }
    // A cancelled periodic timer may still have its DPC queued or running on another
    // processor; it must be gone before the send object and the UART buffers are.
    if (Port->SendTimerDpc.DeferredRoutine != NULL) {
        (void)KeRemoveQueueDpc(&Port->SendTimerDpc);
        KeFlushQueuedDpcs();
    }
    // Written means sent: what the last ticks did not take still reaches the peer.
    QuarvexSendRemaining(Port);
    if (Port->ReceiveCallbackObject != NULL) {
        ObDereferenceObject(Port->ReceiveCallbackObject);
        Port->ReceiveCallbackObject = NULL;
    }
    if (Port->SendCallbackObject != NULL) {
        ObDereferenceObject(Port->SendCallbackObject);
        Port->SendCallbackObject = NULL;
    }
}

namespace {

bool EnterReceive(PortDeviceRecord* Port)
{
    LONG busy = InterlockedCompareExchange(&Port->ReceiveBusy, 0, 0);
    while (busy != 0) {
        const LONG seen = InterlockedCompareExchange(&Port->ReceiveBusy, busy + 1, busy);
        if (seen == busy) {
            return true;
        }
        busy = seen;
    }
    return false;
}

VOID StoreReceived(PortDeviceRecord* port, const UCHAR* bytes, ULONG length)
{
    // Read without PortLock: a block racing with close may still be stored, and the
    // interrupt service of the closed port drains it.
    if (!QuarvexLoadShared(&port->PortIsOpen)) {
        return;
    }

    if (QuarvexTraceOn(TRACE_INIT, 4)) {
        // The bytes in hex are written only for a message that passes.
        char text[RECEIVE_TEXT_BYTES * 3 + 1];
        const char digits[] = "0123456789ABCDEF";
        ULONG used = 0;
        for (ULONG i = 0; i < length && i < RECEIVE_TEXT_BYTES; ++i) {
            text[used++] = digits[bytes[i] >> 4];
            text[used++] = digits[bytes[i] & 0x0F];
            text[used++] = ' ';
        }
        text[used] = 0;
        QuarvexTrace(TRACE_INIT, 4, "QuarvexReceiveData COM%d Receive %u Bytes (%s)",
                     port->ComNumber, length, text);
    }

    EmulatedUart* uart = &port->Uart;
    if (length > PEER_MAX_RECEIVE_BLOCK) {
        // Dropped whole, as the wire contract says, but not silently: the interrupt service
        // reports it as an overrun (error, counter, event, error abort).
        QuarvexTrace(TRACE_INIT, 2, "QuarvexReceiveData COM%d Dropped %u Bytes (block too long)",
                     port->ComNumber, length);
        DpcSpinLockGuard guard(&port->ReceiveLock);
        if (uart->RxBuffer != NULL) {
            QuarvexStoreShared(&uart->LsrErrors,
                               static_cast<UCHAR>(uart->LsrErrors | UART_LSR_OVERRUN));
            QuarvexStoreShared(&uart->LineStatusPending, TRUE);
        }
    } else {
        DpcSpinLockGuard guard(&port->ReceiveLock);
        if (length >= 1 && uart->RxBuffer != NULL) {
            ULONG stored = UART_RX_CAPACITY - uart->RxCount;
            if (stored > length) {
                stored = length;
            }
            // After the ring's last byte, wrapping to its start.
            const ULONG tail = (uart->RxHead + uart->RxCount) % UART_RX_CAPACITY;
            const ULONG first = stored < UART_RX_CAPACITY - tail ? stored : UART_RX_CAPACITY - tail;
            RtlCopyMemory(uart->RxBuffer + tail, bytes, first);
            RtlCopyMemory(uart->RxBuffer, bytes + first, stored - first);
            QuarvexStoreShared(&uart->RxCount, uart->RxCount + stored);
            QuarvexStoreShared(&uart->RxDataPending, TRUE);
            if (stored < length) {
                // What the receive buffer could not take is an overrun, as on a real 16550.
                QuarvexStoreShared(&uart->LsrErrors,
                                   static_cast<UCHAR>(uart->LsrErrors | UART_LSR_OVERRUN));
                QuarvexStoreShared(&uart->LineStatusPending, TRUE);
            }
        }
    }
    QuarvexUartUpdateInterrupt(uart);
}

} // namespace

VOID NTAPI QuarvexReceiveData(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    auto* port = static_cast<PortDeviceRecord*>(CallbackContext);
    if (!EnterReceive(port)) {
        return; // torn down
    }
    StoreReceived(port, static_cast<const UCHAR*>(Argument1),
                  *static_cast<const ULONG*>(Argument2));
    if (InterlockedDecrement(&port->ReceiveBusy) == 0) {
        (void)KeSetEvent(&port->ReceiveIdle, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI SendTimerDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* port = static_cast<PortDeviceRecord*>(DeferredContext);
    EmulatedUart* uart = &port->Uart;
    {
        DpcSpinLockGuard guard(&port->TransmitLock);
        if (uart->TxCount != 0 && uart->TxBuffer != NULL) {
            SendBuffered(port);
        }
        // A baud block held back by a full buffer goes first into the room just made.
        QuarvexUartPlaceHeldBlockLocked(uart);
    }
    // The buffer has room again, or a kick was lost to a hold or a full buffer: whatever
    // waits goes on. Also when nothing was sent, so a pending flow character, immediate
    // character or write goes out by the next tick at the latest.
    DpcSpinLockGuard guard(&port->PortLock);
    QuarvexKickIfWaiting(port);
}
