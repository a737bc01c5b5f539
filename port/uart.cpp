// The emulated 16550: register semantics, the two byte stores and the interrupt rule.

#include <ntddk.h>

#include "port/kcompat.h"
#include "port/port.h"
#include "port/spin_lock.h"

namespace {

// A stored byte leaves the holding register empty again at once. A refused one raises
// nothing: a transmit-empty interrupt for a buffer that is still full would bring the
// interrupt service straight back to the same refusal, forever, at DISPATCH_LEVEL. The send
// tick kicks the transmitter once it has emptied the buffer.
VOID SignalStored(EmulatedUart* Uart, BOOLEAN Stored)
{
    if (Stored) {
        QuarvexStoreShared(&Uart->ThrePending, TRUE);
        QuarvexUartUpdateInterrupt(Uart);
    }
}

} // namespace

VOID QuarvexUartPrepare(EmulatedUart* Uart, PortDeviceRecord* Owner,
                        PKDEFERRED_ROUTINE InterruptService)
{
    RtlZeroMemory(Uart, sizeof(*Uart));
    Uart->Owner = Owner;
    KeInitializeDpc(&Uart->InterruptDpc, InterruptService, Owner);
    // The interrupt line goes to processor 0, where the peers deliver, so the interrupt that a
    // delivery queues runs before the delivery after next. Queued on another processor (by a
    // write or a read there), it would leave the receive buffer undrained while that processor
    // is busy, and the deliveries that follow would overrun it.
    KeSetTargetProcessorDpc(&Uart->InterruptDpc, 0);
}

NTSTATUS QuarvexUartInitialize(EmulatedUart* Uart)
{
    // The registers keep what the last stop left: a handle open across the stop finds its
    // lines as they were.
    Uart->RxBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, UART_RX_CAPACITY, QUARVEX_POOL_TAG));
    if (Uart->RxBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Uart->TxBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, UART_TX_CAPACITY, QUARVEX_POOL_TAG));
    if (Uart->TxBuffer == NULL) {
        ExFreePoolWithTag(Uart->RxBuffer, QUARVEX_POOL_TAG);
        Uart->RxBuffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

VOID QuarvexUartSilence(EmulatedUart* Uart)
{
    // No source may raise the interrupt any more; a queued one is taken back, and one already
    // running on another processor has finished when this returns.
    QuarvexStoreShared(&Uart->Ier, 0);
    (void)KeRemoveQueueDpc(&Uart->InterruptDpc);
    KeFlushQueuedDpcs();
}

VOID QuarvexUartFree(EmulatedUart* Uart)
{
    // The interrupt service of a UART without buffers must never run.
    QuarvexUartSilence(Uart);
    if (Uart->RxBuffer != NULL) {
        ExFreePoolWithTag(Uart->RxBuffer, QUARVEX_POOL_TAG);
        Uart->RxBuffer = NULL;
    }
    if (Uart->TxBuffer != NULL) {
        ExFreePoolWithTag(Uart->TxBuffer, QUARVEX_POOL_TAG);
        Uart->TxBuffer = NULL;
    }
    // Held bytes or a pending flag without a buffer would keep an interrupt service that
    // still ran reading "data pending" forever.
    QuarvexStoreShared(&Uart->RxCount, 0);
    Uart->RxHead = 0;
    Uart->TxCount = 0;
    Uart->BaudBlockHeld = FALSE;
    QuarvexStoreShared(&Uart->LsrErrors, 0);
    QuarvexStoreShared(&Uart->RxDataPending, FALSE);
    QuarvexStoreShared(&Uart->ThrePending, FALSE);
    QuarvexStoreShared(&Uart->LineStatusPending, FALSE);
    QuarvexStoreShared(&Uart->ModemStatusPending, FALSE);
}

VOID QuarvexUartUpdateInterrupt(EmulatedUart* Uart)
{
    // Called from the receive callback too, which does not hold PortLock.
    const UCHAR ier = QuarvexLoadShared(&Uart->Ier);
    const bool raise = (QuarvexLoadShared(&Uart->RxDataPending) && (ier & UART_IER_RDA) != 0) ||
                       (QuarvexLoadShared(&Uart->ThrePending) && (ier & UART_IER_THRE) != 0) ||
                       (QuarvexLoadShared(&Uart->LineStatusPending) && (ier & UART_IER_RLS) != 0) ||
                       (QuarvexLoadShared(&Uart->ModemStatusPending) && (ier & UART_IER_MS) != 0);
    if (raise) {
        (void)KeInsertQueueDpc(&Uart->InterruptDpc, NULL, NULL);
    }
}

BOOLEAN QuarvexUartWriteThr(EmulatedUart* Uart, UCHAR Byte)
{
    BOOLEAN stored = FALSE;
    {
        DpcSpinLockGuard guard(&Uart->Owner->TransmitLock);
        QuarvexUartPlaceHeldBlockLocked(Uart);
        if (Uart->TxBuffer != NULL && Uart->TxCount < UART_TX_CAPACITY) {
            Uart->TxBuffer[Uart->TxCount++] = Byte;
            stored = TRUE;
        }
    }
    SignalStored(Uart, stored);
    return stored;
}

namespace {

bool BlockFitsLocked(const EmulatedUart* Uart, ULONG Length)
{
    // All or nothing, and a block never fills the last slot.
    return Uart->TxBuffer != NULL && Length < UART_TX_CAPACITY &&
           Uart->TxCount + Length < UART_TX_CAPACITY;
}

} // namespace

VOID QuarvexUartPlaceHeldBlockLocked(EmulatedUart* Uart)
{
    if (Uart->BaudBlockHeld && BlockFitsLocked(Uart, UART_BAUD_BLOCK_SIZE)) {
        RtlCopyMemory(Uart->TxBuffer + Uart->TxCount, Uart->HeldBaudBlock, UART_BAUD_BLOCK_SIZE);
        Uart->TxCount += UART_BAUD_BLOCK_SIZE;
        Uart->BaudBlockHeld = FALSE;
    }
}

VOID QuarvexUartWriteBaudBlock(EmulatedUart* Uart, const UCHAR* Block)
{
    QuarvexStoreShared(&Uart->ThrePending, TRUE);
    {
        DpcSpinLockGuard guard(&Uart->Owner->TransmitLock);
        // A held block is older than this one: the peer only needs the rate now in force.
        RtlCopyMemory(Uart->HeldBaudBlock, Block, UART_BAUD_BLOCK_SIZE);
        Uart->BaudBlockHeld = TRUE;
        QuarvexUartPlaceHeldBlockLocked(Uart);
    }
    QuarvexUartUpdateInterrupt(Uart);
}

BOOLEAN QuarvexUartWriteThrBlock(EmulatedUart* Uart, const UCHAR* Bytes, ULONG Length)
{
    BOOLEAN stored = FALSE;
    {
        DpcSpinLockGuard guard(&Uart->Owner->TransmitLock);
        QuarvexUartPlaceHeldBlockLocked(Uart);
        if (!Uart->BaudBlockHeld && BlockFitsLocked(Uart, Length)) {
            RtlCopyMemory(Uart->TxBuffer + Uart->TxCount, Bytes, Length);
            Uart->TxCount += Length;
            stored = TRUE;
        }
    }
    SignalStored(Uart, stored);
    return stored;
}

ULONG QuarvexUartTxRoom(EmulatedUart* Uart)
{
    DpcSpinLockGuard guard(&Uart->Owner->TransmitLock);
    if (Uart->TxBuffer == NULL) {
        return 0;
    }
    const ULONG held = Uart->BaudBlockHeld ? UART_BAUD_BLOCK_SIZE : 0;
    const ULONG room = UART_TX_CAPACITY - Uart->TxCount;
    return room > held ? room - held : 0;
}

UCHAR QuarvexUartReadRbr(EmulatedUart* Uart)
{
    DpcSpinLockGuard guard(&Uart->Owner->ReceiveLock);
    UCHAR byte = 0;
    ULONG count = Uart->RxCount;
    if (count > 0 && Uart->RxBuffer != NULL) {
        // The ring's head moves on: no byte behind it moves.
        byte = Uart->RxBuffer[Uart->RxHead];
        --count;
        Uart->RxHead = count == 0 ? 0 : (Uart->RxHead + 1) % UART_RX_CAPACITY;
        QuarvexStoreShared(&Uart->RxCount, count);
    }
    if (count == 0) {
        QuarvexStoreShared(&Uart->RxDataPending, FALSE);
    }
    return byte;
}

ULONG QuarvexUartReadRbrRun(EmulatedUart* Uart, PUCHAR Run, ULONG Capacity)
{
    DpcSpinLockGuard guard(&Uart->Owner->ReceiveLock);
    const ULONG held = Uart->RxCount;
    if (held == 0 || Uart->RxBuffer == NULL || Uart->LsrErrors != 0) {
        return 0;
    }
    const ULONG taken = held < Capacity ? held : Capacity;
    const ULONG first =
        taken < UART_RX_CAPACITY - Uart->RxHead ? taken : UART_RX_CAPACITY - Uart->RxHead;
    RtlCopyMemory(Run, Uart->RxBuffer + Uart->RxHead, first);
    RtlCopyMemory(Run + first, Uart->RxBuffer, taken - first);
    const ULONG left = held - taken;
    Uart->RxHead = left == 0 ? 0 : (Uart->RxHead + taken) % UART_RX_CAPACITY;
    QuarvexStoreShared(&Uart->RxCount, left);
    if (left == 0) {
        QuarvexStoreShared(&Uart->RxDataPending, FALSE);
    }
    return taken;
}

VOID QuarvexUartSignalThre(EmulatedUart* Uart)
{
    QuarvexStoreShared(&Uart->ThrePending, TRUE);
    QuarvexUartUpdateInterrupt(Uart);
}

UCHAR QuarvexUartReadIir(EmulatedUart* Uart)
{
    if (QuarvexLoadShared(&Uart->LineStatusPending)) {
        return UART_IIR_RLS;
    }
    if (QuarvexLoadShared(&Uart->RxDataPending)) {
        return UART_IIR_RDA;
    }
    if (QuarvexLoadShared(&Uart->ThrePending)) {
        QuarvexStoreShared(&Uart->ThrePending, FALSE);
        return UART_IIR_THRE;
    }
    if (QuarvexLoadShared(&Uart->ModemStatusPending)) {
        return UART_IIR_MODEM_STATUS;
    }
    return UART_IIR_NO_INTERRUPT;
}

UCHAR QuarvexUartReadLsr(EmulatedUart* Uart)
{
    // Read once per received byte: the lock is taken only to report recorded errors, which
    // the read reports once and whose interrupt it ends.
    UCHAR errors = 0;
    if (QuarvexLoadShared(&Uart->LsrErrors) != 0) {
        DpcSpinLockGuard guard(&Uart->Owner->ReceiveLock);
        errors = Uart->LsrErrors;
        QuarvexStoreShared(&Uart->LsrErrors, 0);
        QuarvexStoreShared(&Uart->LineStatusPending, FALSE);
    }
    UCHAR lsr = static_cast<UCHAR>(UART_LSR_THRE | UART_LSR_TEMT | errors);
    if (QuarvexLoadShared(&Uart->RxCount) > 0) {
        lsr |= UART_LSR_DATA_READY;
    }
    return lsr;
}

UCHAR QuarvexUartReadMsr(EmulatedUart* Uart)
{
    const UCHAR msr = Uart->Msr;
    Uart->Msr = static_cast<UCHAR>(msr & 0xF0);
    QuarvexStoreShared(&Uart->ModemStatusPending, FALSE);
    return msr;
}

UCHAR QuarvexUartReadMcr(EmulatedUart* Uart)
{
    return Uart->Mcr;
}

namespace {

// A looped-back output: the input follows it, with its delta bit on every change.
VOID LoopLine(EmulatedUart* Uart, bool Raised, UCHAR Input, UCHAR Delta)
{
    const bool high = (Uart->Msr & Input) != 0;
    if (Raised != high) {
        Uart->Msr = static_cast<UCHAR>((Uart->Msr ^ Input) | Delta);
        QuarvexStoreShared(&Uart->ModemStatusPending, TRUE);
    }
}

} // namespace

VOID QuarvexUartWriteMcr(EmulatedUart* Uart, UCHAR Value)
{
    // As with a loopback plug: RTS drives CTS, DTR drives DSR and DCD. The ring indicator
    // stays off.
    LoopLine(Uart, (Value & UART_MCR_RTS) != 0, UART_MSR_CTS, UART_MSR_DCTS);
    LoopLine(Uart, (Value & UART_MCR_DTR) != 0, UART_MSR_DSR, UART_MSR_DDSR);
    LoopLine(Uart, (Value & UART_MCR_DTR) != 0, UART_MSR_DCD, UART_MSR_DDCD);
    Uart->Mcr = Value;
    QuarvexUartUpdateInterrupt(Uart);
}

UCHAR QuarvexUartReadLcr(EmulatedUart* Uart)
{
    return Uart->Lcr;
}

VOID QuarvexUartWriteLcr(EmulatedUart* Uart, UCHAR Value)
{
    Uart->Lcr = Value;
}

VOID QuarvexUartWriteIer(EmulatedUart* Uart, UCHAR Value)
{
    QuarvexStoreShared(&Uart->Ier, Value);
    QuarvexUartUpdateInterrupt(Uart);
}
