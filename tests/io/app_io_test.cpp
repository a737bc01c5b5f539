// The application side of I/O: names, file objects, buffered transfers and their end,
// overlapped requests, cancel and the order of cleanup and close.

#include "support/io_test_driver.h"

#include <cstring>

namespace qvx {
namespace {

std::vector<UCHAR> Bytes(const char* text)
{
    return std::vector<UCHAR>(text, text + strlen(text));
}

std::vector<UCHAR> CompleteWith(NTSTATUS status, ULONG information)
{
    std::vector<UCHAR> input(8);
    memcpy(input.data(), &status, 4);
    memcpy(input.data() + 4, &information, 4);
    return input;
}

using AppIoTest = IoDriverTest;

// \\.\COM5 leads through the symbolic link to the function device; every open gets its own
// file object; names that lead nowhere and stale handles fail without reaching the driver.
TEST_F(AppIoTest, Com5OpensThroughItsLinkWithOneFileObjectPerHandle)
{
    const FileHandle first = OpenCom5();
    const FileHandle second = OpenCom5();
    ASSERT_NE(first, INVALID_FILE_HANDLE);
    ASSERT_NE(second, INVALID_FILE_HANDLE);
    PFILE_OBJECT file = Io().FileObjectOf(first);
    EXPECT_NE(file, Io().FileObjectOf(second));
    EXPECT_EQ(file->DeviceObject, Fdo());
    EXPECT_EQ(TestDriverEvents().Creates, 2);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Io().Open(u"\\\\.\\COM9", 0, &status), INVALID_FILE_HANDLE);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);

    ForgetHandle(second);
    EXPECT_EQ(Io().Close(second), STATUS_SUCCESS);
    EXPECT_EQ(TestDriverEvents().Cleanups, 1);
    EXPECT_EQ(TestDriverEvents().Closes, 1);
    EXPECT_EQ(Io().Close(second), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Io().Read(second, 1).Status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(TestDriverEvents().Creates, 2);
}

// Writes reach the driver's system buffer; output is copied back for success, informational
// and warning statuses (Information bytes at most), never for errors.
TEST_F(AppIoTest, BufferedOutputIsCopiedBackUnlessTheStatusIsAnError)
{
    const FileHandle handle = OpenCom5();
    IoResult result = Io().Write(handle, Bytes("hello"));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 5u);
    ASSERT_EQ(TestDriverEvents().Writes.size(), 1u);
    EXPECT_EQ(TestDriverEvents().Writes[0], Bytes("hello"));
    EXPECT_EQ(Io().Flush(handle).Status, STATUS_SUCCESS);

    result = Io().DeviceIoControl(handle, IOCTL_TEST_ECHO, Bytes("abcdef"), 4);
    EXPECT_EQ(result.Data, Bytes("abcd"));

    result = Io().DeviceIoControl(handle, IOCTL_TEST_COMPLETE_WITH,
                                  CompleteWith(STATUS_BUFFER_OVERFLOW, 3), 10);
    EXPECT_EQ(result.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.Data, std::vector<UCHAR>(3, 0x5A));
    result =
        Io().DeviceIoControl(handle, IOCTL_TEST_COMPLETE_WITH, CompleteWith(STATUS_TIMEOUT, 2), 10);
    EXPECT_EQ(result.Data.size(), 2u);
    // Not even the bytes a cancelled request counts in Information.
    result = Io().DeviceIoControl(handle, IOCTL_TEST_COMPLETE_WITH,
                                  CompleteWith(STATUS_CANCELLED, 2), 10);
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_EQ(result.Information, 2u);
    EXPECT_TRUE(result.Data.empty());

    result = Io().DeviceIoControl(handle, IOCTL_TEST_NEITHER_ECHO, Bytes("xyz"), 8);
    EXPECT_EQ(result.Data, Bytes("xyz"));
}

// A synchronous read waits while the machine runs to the driver's timer; an overlapped one
// returns at once and completes later from the timer DPC; another is cancelled by CancelIo.
TEST_F(AppIoTest, OverlappedReadCompletesLaterAndAnotherIsCancelled)
{
    TestDriverSettings().ReadDelayMs = 5;
    const FileHandle handle = OpenCom5();
    const LONGLONG start = Sim().NowMs();
    EXPECT_EQ(Io().Read(handle, 4).Data, Bytes("abcd"));
    EXPECT_EQ(Sim().NowMs() - start, 5);

    IoRequestPtr later = Io().ReadAsync(handle, 3);
    EXPECT_EQ(later->DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(later->Done());
    Sim().AdvanceMs(4);
    EXPECT_FALSE(later->Done());
    Sim().AdvanceMs(1);
    ASSERT_TRUE(later->Done());
    EXPECT_EQ(later->Result().Data, Bytes("abc"));

    IoRequestPtr cancelled = Io().ReadAsync(handle, 3);
    EXPECT_EQ(Io().CancelIo(handle), STATUS_SUCCESS);
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Result().Information, 0u);
    Sim().AdvanceMs(5); // The re-armed timer finds nothing left to complete.
}

// Cleanup comes at close; close itself waits until the last request of the file object has
// completed, then arrives at PASSIVE_LEVEL.
TEST_F(AppIoTest, CloseFollowsTheLastOutstandingRequest)
{
    TestDriverSettings().CleanupLeavesReads = true;
    const FileHandle handle = OpenCom5();
    IoRequestPtr read = Io().ReadAsync(handle, 2);
    ForgetHandle(handle);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(TestDriverEvents().Cleanups, 1);
    EXPECT_EQ(TestDriverEvents().Closes, 0);
    EXPECT_EQ(Io().PendingCloseCount(), 1u);

    EXPECT_EQ(CompleteTestReads(), 1u);
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(Io().QueuedWorkCount(), 1u);
    Io().RunPassiveWork();
    EXPECT_EQ(TestDriverEvents().Closes, 1);
    EXPECT_EQ(Io().PendingCloseCount(), 0u);
}

class RealTimeAppIoTest : public IoDriverTest
{
  protected:
    RealTimeAppIoTest() { Options.Mode = MachineMode::RealTime; }
};

// In real time the same calls block until the processor and clock threads complete them; the
// deferred close runs on the I/O manager's worker thread.
TEST_F(RealTimeAppIoTest, BlockingCallsCompleteOnOtherThreads)
{
    TestDriverSettings().ReadDelayMs = 2;
    TestDriverSettings().CleanupLeavesReads = true;
    const FileHandle handle = OpenCom5();
    ASSERT_NE(handle, INVALID_FILE_HANDLE);
    EXPECT_EQ(Io().Read(handle, 3).Data, Bytes("abc"));
    IoRequestPtr read = Io().ReadAsync(handle, 1);
    ForgetHandle(handle);
    EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait().Status, STATUS_SUCCESS);
    Io().RunPassiveWork();
    EXPECT_EQ(TestDriverEvents().Closes, 1);
}

} // namespace
} // namespace qvx
