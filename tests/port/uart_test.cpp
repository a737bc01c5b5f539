// The emulated UART's register semantics and the port record's defaults.

#include "support/port_fixture.h"

#include "driver/kcompat.h"
#include "serial/transfer.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

class UartTest : public PortTest
{
  protected:
    EmulatedUart* Uart() { return &Port()->Uart; }
};

// A fresh record carries the settings an application finds before it changes anything.
TEST_F(UartTest, FreshRecordHasDefaultSettingsAndNoInputBuffer)
{
    PortDeviceRecord* port = Port();
    EXPECT_EQ(port->BaudRate, 1200u);
    EXPECT_EQ(port->SerialChars.XonChar, 0x11);
    EXPECT_EQ(port->SerialChars.XoffChar, 0x13);
    EXPECT_EQ(port->HandFlow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
    EXPECT_EQ(port->HandFlow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
    EXPECT_EQ(port->SavedLcr, 0x1A); // 7 data bits, even parity, 1 stop bit
    EXPECT_EQ(port->DataMask, 0x7F);
    EXPECT_EQ(port->Timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(port->Timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(port->InputBufferSize, 0u);
    EXPECT_EQ(port->InputBuffer, nullptr);
    EXPECT_EQ(port->Queues[0], &port->WriteQueue);
    EXPECT_EQ(port->Queues[1], &port->MaskQueue);
    EXPECT_EQ(port->Queues[2], &port->ReadQueue);
    EXPECT_EQ(port->Queues[3], &port->PurgeQueue);

    FileHandle handle = OpenPort();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    EXPECT_EQ(port->InputBufferSize, 4096u);
    ClosePort(handle);
    EXPECT_EQ(port->InputBufferSize, 0u);
    EXPECT_EQ(port->InputBuffer, nullptr);
}

// The IIR reports the highest-priority pending condition; only the THRE report consumes it.
TEST_F(UartTest, IirReportsConditionsInPriorityOrder)
{
    UnderPortLock([&] {
        EmulatedUart* uart = Uart();
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_NO_INTERRUPT);
        uart->RxDataPending = TRUE;
        uart->ThrePending = TRUE;
        uart->ModemStatusPending = TRUE;
        // Reported although IER is 0: the read does not consult the enables.
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_RDA);
        EXPECT_TRUE(uart->ThrePending);
        EXPECT_EQ(QuarvexUartReadRbr(uart), 0); // empty buffer: 0, and data no longer pending
        EXPECT_FALSE(uart->RxDataPending);
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_THRE);
        EXPECT_FALSE(uart->ThrePending);
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_MODEM_STATUS);
        (void)QuarvexUartReadMsr(uart);
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_NO_INTERRUPT);
    });
    EXPECT_FALSE(Sim().IsDpcQueued(&Uart()->InterruptDpc));
}

// Enabling an interrupt whose condition is already pending raises it at once.
TEST_F(UartTest, IerEnableRaisesPendingCondition)
{
    Sim().HoldDpcs(true);
    UnderPortLock([&] {
        Uart()->RxDataPending = TRUE;
        QuarvexUartUpdateInterrupt(Uart());
        EXPECT_FALSE(Sim().IsDpcQueued(&Uart()->InterruptDpc));
        QuarvexUartWriteIer(Uart(), 0x0F);
        EXPECT_TRUE(Sim().IsDpcQueued(&Uart()->InterruptDpc));
        Uart()->RxDataPending = FALSE;
        Uart()->Ier = 0;
    });
    Sim().HoldDpcs(false); // the service runs on a closed port and only drains
}

// Single bytes may fill the 128th slot; a block never does, and is stored all or nothing.
// Only what was stored raises transmit-empty: a refusal that raised it would bring the
// interrupt service straight back to the same refusal.
TEST_F(UartTest, TransmitBufferBoundaryForBytesAndBlocks)
{
    UCHAR block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UnderPortLock([&] {
        EmulatedUart* uart = Uart();
        uart->TxCount = 127;
        uart->ThrePending = FALSE;
        EXPECT_TRUE(QuarvexUartWriteThr(uart, 0xAA));
        EXPECT_EQ(uart->TxCount, 128u);
        EXPECT_EQ(uart->TxBuffer[127], 0xAA);
        EXPECT_TRUE(uart->ThrePending);
        uart->ThrePending = FALSE;
        EXPECT_FALSE(QuarvexUartWriteThr(uart, 0xBB));
        EXPECT_EQ(uart->TxCount, 128u);
        EXPECT_FALSE(uart->ThrePending);

        uart->TxCount = 120;
        uart->ThrePending = FALSE;
        EXPECT_FALSE(QuarvexUartWriteThrBlock(uart, block, 8));
        EXPECT_EQ(uart->TxCount, 120u);
        EXPECT_FALSE(uart->ThrePending);
        EXPECT_TRUE(QuarvexUartWriteThrBlock(uart, block, 7));
        EXPECT_TRUE(uart->ThrePending);
        EXPECT_EQ(uart->TxCount, 127u);
        EXPECT_EQ(uart->TxBuffer[126], 7);
        EXPECT_EQ(QuarvexUartTxRoom(uart), 1u);
        uart->TxCount = 0;
        uart->ThrePending = FALSE;
    });
}

// RTS is looped back to CTS, and DTR to DSR and DCD, each with its delta bit and a
// modem-status interrupt; the ring indicator never rises.
TEST_F(UartTest, ModemOutputsLoopToInputsWithDeltasAndModemStatusInterrupt)
{
    UnderPortLock([&] {
        EmulatedUart* uart = Uart();
        QuarvexUartWriteMcr(uart, UART_MCR_RTS);
        EXPECT_EQ(uart->Msr, 0x11);
        EXPECT_TRUE(uart->ModemStatusPending);
        EXPECT_EQ(QuarvexUartReadMsr(uart), 0x11);
        EXPECT_EQ(uart->Msr, 0x10);
        EXPECT_FALSE(uart->ModemStatusPending);
        QuarvexUartWriteMcr(uart, UART_MCR_RTS); // same state again: nothing changes
        EXPECT_EQ(uart->Msr, 0x10);
        EXPECT_FALSE(uart->ModemStatusPending);
        QuarvexUartWriteMcr(uart, 0x00);
        EXPECT_EQ(uart->Msr, 0x01);
        EXPECT_TRUE(uart->ModemStatusPending);
        (void)QuarvexUartReadMsr(uart);
        QuarvexUartWriteMcr(uart, UART_MCR_DTR);
        EXPECT_EQ(uart->Msr, 0xAA); // DCD, DSR, delta DCD, delta DSR
        EXPECT_TRUE(uart->ModemStatusPending);
        EXPECT_EQ(QuarvexUartReadMsr(uart), 0xAA);
        EXPECT_EQ(QuarvexUartReadMcr(uart), UART_MCR_DTR);
        QuarvexUartWriteMcr(uart, UART_MCR_DTR | UART_MCR_RTS);
        EXPECT_EQ(QuarvexUartReadMsr(uart), 0xB1);
        QuarvexUartWriteMcr(uart, UART_MCR_RTS);
        EXPECT_EQ(QuarvexUartReadMsr(uart), 0x1A);
        EXPECT_FALSE(uart->ModemStatusPending);
    });
}

// LSR: data ready follows the receive count; a recorded overrun is reported exactly once.
TEST_F(UartTest, LineStatusReportsDataReadyAndOverrunOnce)
{
    UnderPortLock([&] {
        EmulatedUart* uart = Uart();
        QuarvexUartWriteLcr(uart, 0x1B);
        QuarvexUartWriteMcr(uart, 0x03);
        EXPECT_EQ(QuarvexUartReadLsr(uart), 0x60);
        uart->RxBuffer[0] = 'x';
        uart->RxCount = 1;
        EXPECT_EQ(QuarvexUartReadLsr(uart), 0x61);
        uart->LsrErrors = UART_LSR_OVERRUN;
        uart->LineStatusPending = TRUE;
        EXPECT_EQ(QuarvexUartReadIir(uart), UART_IIR_RLS);
        EXPECT_EQ(QuarvexUartReadLsr(uart), 0x63);
        EXPECT_FALSE(uart->LineStatusPending);
        EXPECT_EQ(QuarvexUartReadLsr(uart), 0x61);
        EXPECT_EQ(QuarvexUartReadRbr(uart), 'x');
        EXPECT_EQ(QuarvexUartReadLcr(uart), 0x1B);
        (void)QuarvexUartReadMsr(uart);
    });
}

// A failed allocation in initialisation leaves nothing allocated.
TEST_F(UartTest, InitializeFailureLeavesNothingAllocated)
{
    EmulatedUart spare;
    QuarvexUartPrepare(&spare, Port(), nullptr);
    const size_t before = Sim().OutstandingBlocks(QUARVEX_POOL_TAG);
    for (ULONG nth = 1; nth <= 2; ++nth) {
        Sim().FailNthAllocation(nth);
        EXPECT_EQ(QuarvexUartInitialize(&spare), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(spare.RxBuffer, nullptr);
        EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_POOL_TAG), before);
    }
    Sim().FailNthAllocation(0);
}

} // namespace
} // namespace qvx
