// Open and queue-size change under pool failure: every allocation those paths make is failed
// in turn; the request fails with STATUS_INSUFFICIENT_RESOURCES, leaves no pool and no state
// behind, and the port works afterwards.
// ctest-labels: pnp

#include "serial/input_ring.h"
#include "support/frame_fixture.h"

#include <ntddser.h>

#include "port/kcompat.h"
#include "serial/transfer.h"
#include "support/recording_peer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qvx {
namespace {

class AllocSweepTest : public FrameTest
{
  protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_EQ(Plug(u"COM5", &pdo_), STATUS_SUCCESS);
        port_ = PortOf(pdo_);
        peer_ = std::make_unique<RecordingPeer>(u"COM5");
    }
    void TearDown() override
    {
        peer_.reset();
        FrameTest::TearDown();
    }

    IoResult SetQueueSize(FileHandle handle, ULONG inSize)
    {
        SERIAL_QUEUE_SIZE size = {inSize, 0};
        const auto* bytes = reinterpret_cast<const UCHAR*>(&size);
        return Io().DeviceIoControl(handle, IOCTL_SERIAL_SET_QUEUE_SIZE,
                                    std::vector<UCHAR>(bytes, bytes + sizeof(size)), 0);
    }
    // Reads what the ring holds without waiting.
    IoResult ReadHeld(FileHandle handle, ULONG length)
    {
        SERIAL_TIMEOUTS timeouts = {MAXULONG, 0, 0, 0, 0};
        const auto* bytes = reinterpret_cast<const UCHAR*>(&timeouts);
        EXPECT_EQ(Io().DeviceIoControl(handle, IOCTL_SERIAL_SET_TIMEOUTS,
                                       std::vector<UCHAR>(bytes, bytes + sizeof(timeouts)), 0)
                      .Status,
                  STATUS_SUCCESS);
        return Io().Read(handle, length);
    }
    // Bytes go both ways through `handle`.
    void ExpectDataPasses(FileHandle handle)
    {
        peer_->TakeReceived();
        EXPECT_EQ(Io().Write(handle, {'a', 'b', 'c'}).Status, STATUS_SUCCESS);
        Sim().AdvanceMs(40);
        EXPECT_EQ(peer_->TakeReceived(), (std::vector<uint8_t>{'a', 'b', 'c'}));
        peer_->Deliver(std::string("xyz"));
        const IoResult read = ReadHeld(handle, 8);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(read.Data, (std::vector<UCHAR>{'x', 'y', 'z'}));
    }
    // The port is closed and holds nothing an open would have left.
    void ExpectClosedAndClean(size_t blocksBefore)
    {
        EXPECT_EQ(port_->ExclusiveOpenCount, 0);
        EXPECT_FALSE(port_->PortIsOpen);
        EXPECT_EQ(port_->InputBuffer, nullptr);
        EXPECT_EQ(port_->InputBufferSize, 0u);
        EXPECT_FALSE(port_->SendTimerRunning);
        EXPECT_EQ(port_->OutstandingIo, 1);
        EXPECT_EQ(Sim().OutstandingBlocks(), blocksBefore) << Sim().PoolReport();
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PortDeviceRecord* port_ = nullptr;
    std::unique_ptr<RecordingPeer> peer_;
};

// The n-th allocation of an open fails, for every n until an open makes fewer than n: the
// create fails with STATUS_INSUFFICIENT_RESOURCES, the port stays closed with nothing
// allocated, and the next open works. Failing the driver's tag alone does the same.
TEST_F(AllocSweepTest, EachOpenAllocationFailureIsReportedAndUndone)
{
    const size_t blocks = Sim().OutstandingBlocks();
    auto failedOpenIsClean = [&](const char* what) {
        SCOPED_TRACE(what);
        TraceCapture trace(Sim());
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(Io().Open(u"\\\\.\\COM5", 0, &status), INVALID_FILE_HANDLE);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(trace.Contains("QuarvexCreateDispatch$$--")) << trace.Dump();
        EXPECT_TRUE(trace.Contains("STATUS c000009a")) << trace.Dump();
    };
    for (ULONG n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        ASSERT_LT(n, 50u) << "the sweep does not end";
        const ULONG before = Sim().AllocationCount();
        Sim().FailNthAllocation(n);
        NTSTATUS status = STATUS_SUCCESS;
        FileHandle handle = Io().Open(u"\\\\.\\COM5", 0, &status);
        const bool injected = Sim().AllocationCount() - before >= n;
        Sim().FailNthAllocation(0);
        if (injected) {
            EXPECT_EQ(handle, INVALID_FILE_HANDLE);
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            ExpectClosedAndClean(blocks);
            handle = Open(u"COM5");
        }
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        ExpectDataPasses(handle);
        Close(handle);
        ExpectClosedAndClean(blocks);
        if (!injected || HasFailure()) {
            break;
        }
    }

    Sim().FailAllocationsWithTag(QUARVEX_POOL_TAG);
    failedOpenIsClean("driver tag");
    Sim().FailAllocationsWithTag(0);
    ExpectClosedAndClean(blocks);
    const FileHandle handle = Open(u"COM5");
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    ExpectDataPasses(handle);
}

// The n-th allocation of a queue-size change fails, for every n until a change makes fewer
// than n: the change fails with STATUS_INSUFFICIENT_RESOURCES, the ring keeps its size and
// the bytes it held, no larger ring stays allocated, and the next change succeeds with the
// bytes moved into the new ring. Failing the quota tag alone does the same.
TEST_F(AllocSweepTest, EachQueueSizeAllocationFailureIsReportedAndUndone)
{
    const size_t blocks = Sim().OutstandingBlocks();
    const std::string held = "held bytes";
    const std::vector<UCHAR> heldBytes(held.begin(), held.end());
    // A failed change on a port holding `held`; the ring is as before.
    auto expectRefusedChange = [&](FileHandle handle, ULONG inSize) {
        TraceCapture trace(Sim());
        EXPECT_EQ(SetQueueSize(handle, inSize).Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(trace.Contains("no input buffer of " + std::to_string(inSize) + " bytes"))
            << trace.Dump();
        EXPECT_EQ(port_->InputBufferSize, 4096u);
        EXPECT_EQ(port_->InputCount, held.size());
        EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 0u) << Sim().PoolReport();
        EXPECT_EQ(port_->HandFlow.XoffLimit, 512);
        EXPECT_EQ(port_->HandFlow.XonLimit, 2048);
    };
    // The change succeeds, the held bytes come out of the new ring, data passes.
    auto expectWorkingChange = [&](FileHandle handle, ULONG inSize) {
        EXPECT_EQ(SetQueueSize(handle, inSize).Status, STATUS_SUCCESS);
        EXPECT_EQ(port_->InputBufferSize, inSize);
        EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 1u) << Sim().PoolReport();
        EXPECT_EQ(port_->HandFlow.XoffLimit, static_cast<LONG>(inSize / 8));
        const IoResult read = ReadHeld(handle, 64);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(read.Data, heldBytes);
        ExpectDataPasses(handle);
    };
    auto openHolding = [&] {
        const FileHandle handle = Open(u"COM5");
        EXPECT_NE(handle, INVALID_FILE_HANDLE);
        peer_->Deliver(held);
        Sim().AdvanceMs(5);
        EXPECT_EQ(port_->InputCount, held.size());
        return handle;
    };

    for (ULONG n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        ASSERT_LT(n, 50u) << "the sweep does not end";
        const FileHandle handle = openHolding();
        ASSERT_NE(handle, INVALID_FILE_HANDLE);
        const ULONG before = Sim().AllocationCount();
        Sim().FailNthAllocation(n);
        const ULONG inSize = 8192 + 1024 * n;
        const IoResult result = SetQueueSize(handle, inSize);
        const bool injected = Sim().AllocationCount() - before >= n;
        Sim().FailNthAllocation(0);
        if (injected) {
            EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(port_->InputBufferSize, 4096u);
            EXPECT_EQ(port_->InputCount, held.size());
            EXPECT_EQ(port_->HandFlow.XoffLimit, 512);
            EXPECT_EQ(Sim().OutstandingBlocks(QUARVEX_INPUT_POOL_TAG), 0u) << Sim().PoolReport();
            expectWorkingChange(handle, inSize);
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
        }
        Close(handle);
        ExpectClosedAndClean(blocks);
        if (!injected || HasFailure()) {
            break;
        }
    }

    const FileHandle handle = openHolding();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    Sim().FailAllocationsWithTag(QUARVEX_INPUT_POOL_TAG);
    expectRefusedChange(handle, 16384);
    Sim().FailAllocationsWithTag(0);
    expectWorkingChange(handle, 16384);
    Close(handle);
    ExpectClosedAndClean(blocks);
}

} // namespace
} // namespace qvx
