// Windows programs with several threads on COM5, on the real-time machine: a blocking read
// released by another thread's CancelIoEx, a comm-event waiter woken by arriving data while
// another thread writes, and last errors kept per thread.
// ctest-labels: host threads stress

#include "support/win32_port.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace qvx::win32test {
namespace {

class Win32Threads : public Win32PortTest
{
  protected:
    Win32Threads() { RealTime = true; }
};

TEST_F(Win32Threads, CancelIoExReleasesABlockingReadOfAnotherThread)
{
    HANDLE port =
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS none = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &none));

    std::atomic<bool> started{false};
    BOOL result = TRUE;
    DWORD error = 0, count = 99;
    std::thread reader([&] {
        char buffer[16];
        started = true;
        result = ReadFile(port, buffer, sizeof(buffer), &count, NULL);
        error = GetLastError();
    });
    while (!started) {
        std::this_thread::yield();
    }
    // The read may not be issued yet: cancel until it has been.
    while (!CancelIoEx(port, NULL)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
        Sleep(1);
    }
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Threads, WaiterWakesOnDataWhileAnotherThreadWrites)
{
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

    HANDLE armed = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    BOOL waited = FALSE;
    std::thread waiter([&] {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD transferred = 0;
        if (!WaitCommEvent(port, &events, &ov) && GetLastError() == ERROR_IO_PENDING) {
            SetEvent(armed);
            if (WaitForSingleObject(ov.hEvent, INFINITE) == WAIT_OBJECT_0) {
                waited = GetOverlappedResult(port, &ov, &transferred, FALSE);
            }
        } else {
            SetEvent(armed);
            waited = TRUE;
        }
        CloseHandle(ov.hEvent);
    });
    std::thread writer([&] {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD written = 0;
        if (!WriteFile(port, "ping", 4, &written, &ov)) {
            GetOverlappedResult(port, &ov, &written, TRUE);
        }
        CloseHandle(ov.hEvent);
    });
    ASSERT_EQ(WaitForSingleObject(armed, INFINITE), WAIT_OBJECT_0);
    PeerSend("pong");
    waiter.join();
    writer.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    std::string received;
    for (int i = 0; i < 200 && received.size() < 4; ++i) {
        received += PeerReceived();
    }
    EXPECT_EQ(received, "ping");
    CloseHandle(armed);
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Threads, LastErrorsStayWithTheirThreads)
{
    std::atomic<int> mismatches{0};
    std::thread threads[4];
    for (int t = 0; t < 4; ++t) {
        threads[t] = std::thread([t, &mismatches] {
            for (int i = 0; i < 200; ++i) {
                // Failing calls of different kinds, each leaving its own error.
                const char* name = t % 2 == 0 ? "\\\\.\\COM9" : "COM10";
                if (CreateFileA(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) !=
                    INVALID_HANDLE_VALUE) {
                    ++mismatches;
                }
                const DWORD expected = ERROR_FILE_NOT_FOUND;
                if (GetLastError() != expected) {
                    ++mismatches;
                }
                SetLastError(1000 + t);
                std::this_thread::yield();
                if (GetLastError() != static_cast<DWORD>(1000 + t)) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
} // namespace qvx::win32test
