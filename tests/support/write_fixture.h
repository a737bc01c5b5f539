// An opened port for the output side: writes, flushes, the immediate character, the Xoff
// counter and purge. At teardown nothing of the output side may be left: no current write-queue
// request, no reference, no armed timer, an output count of 0.
#pragma once

#include "port_fixture.h"

#include "serial/transfer.h"

#include <ntddser.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qvx {

class WritePathTest : public OpenPortTest
{
  protected:
    void TearDown() override
    {
        Sim().HoldDpcs(false);
        if (Port() != nullptr && Handle != INVALID_FILE_HANDLE) {
            Sim().DrainDpcs();
            EXPECT_EQ(Port()->WriteRefs, 0u);
            EXPECT_EQ(Port()->WriteLength, 0u);
            EXPECT_EQ(Port()->WriteQueue.CurrentIrp, nullptr);
            EXPECT_EQ(Port()->TxQueuedCount, 0u);
            EXPECT_EQ(Port()->ImmediateIrp, nullptr);
            EXPECT_EQ(Port()->ImmediateRefs, 0u);
            EXPECT_FALSE(Port()->ImmediatePending);
            EXPECT_EQ(Port()->XoffIrp, nullptr);
            EXPECT_EQ(Port()->XoffRefs, 0u);
            EXPECT_EQ(Port()->XoffCountdown, 0u);
            EXPECT_FALSE(Port()->WriteTotalTimer.Header.Inserted);
            EXPECT_FALSE(Port()->ImmediateTimer.Header.Inserted);
            EXPECT_FALSE(Port()->XoffTimer.Header.Inserted);
            EXPECT_EQ(Io().OutstandingIrps(Device()), 0u);
        }
        OpenPortTest::TearDown();
    }

    void SetWriteTimeouts(ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS timeouts = {0, 0, 0, multiplier, constant};
        ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)).Status,
                  STATUS_SUCCESS);
    }

    // CTS handshake with RTS under the application's control; RTS is looped back to CTS.
    void UseCtsHandshake()
    {
        SetHandFlow(Handle, SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048,
                    512);
    }
    void DropCts() { ASSERT_EQ(Control(Handle, IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS); }
    void RaiseCts() { ASSERT_EQ(Control(Handle, IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS); }

    ULONG OutAmount()
    {
        IoResult result =
            Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        EXPECT_EQ(result.Data.size(), sizeof(SERIAL_STATUS));
        SERIAL_STATUS status = {};
        memcpy(&status, result.Data.data(), sizeof(status));
        return status.AmountInOutQueue;
    }
    ULONG InAmount()
    {
        IoResult result =
            Control(Handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        SERIAL_STATUS status = {};
        memcpy(&status, result.Data.data(), sizeof(status));
        return status.AmountInInQueue;
    }

    IoRequestPtr Immediate(UCHAR ch)
    {
        return Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_IMMEDIATE_CHAR,
                                         std::vector<UCHAR>{ch}, 0);
    }

    IoRequestPtr XoffCounter(ULONG timeout, LONG counter, UCHAR xoffChar = 0x13)
    {
        SERIAL_XOFF_COUNTER request = {timeout, counter, xoffChar};
        const auto* bytes = reinterpret_cast<const UCHAR*>(&request);
        return Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_XOFF_COUNTER,
                                         std::vector<UCHAR>(bytes, bytes + sizeof(request)), 0);
    }

    IoRequestPtr PurgeAsync(ULONG mask)
    {
        const auto* bytes = reinterpret_cast<const UCHAR*>(&mask);
        return Io().DeviceIoControlAsync(Handle, IOCTL_SERIAL_PURGE,
                                         std::vector<UCHAR>(bytes, bytes + sizeof(mask)), 0);
    }

    // Distinct printable bytes, so that a misplaced or repeated piece shows.
    static std::vector<UCHAR> Pattern(size_t count, size_t from = 0)
    {
        std::vector<UCHAR> bytes;
        for (size_t i = from; i < from + count; ++i) {
            bytes.push_back(static_cast<UCHAR>('0' + i % 71));
        }
        return bytes;
    }

    static std::vector<UCHAR> Prefix(const std::vector<UCHAR>& bytes, size_t count)
    {
        return std::vector<UCHAR>(bytes.begin(), bytes.begin() + static_cast<long>(count));
    }

    // Steps the clock until the request is done; the milliseconds since `fromMs`, or -1 when
    // it is still pending `limitMs` after it.
    LONGLONG MsUntilDone(const IoRequestPtr& request, LONGLONG fromMs, LONGLONG limitMs)
    {
        while (!request->Done()) {
            if (Sim().NowMs() - fromMs >= limitMs) {
                return -1;
            }
            Sim().AdvanceMs(1);
        }
        return Sim().NowMs() - fromMs;
    }
};

} // namespace qvx
