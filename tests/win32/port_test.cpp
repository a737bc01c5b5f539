// Windows serial programs, unchanged, against COM5 on the simulated machine: opening and
// closing, blocking and overlapped transfers with time-outs, comm events, cancellation and
// port enumeration.
// ctest-labels: host

#include "host/win32/bridge.h"
#include "support/win32_port.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qvx::win32test {
namespace {

class Win32Port : public Win32PortTest
{
  protected:
    static HANDLE OpenCom5(DWORD flags = 0)
    {
        return CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           flags, NULL);
    }

    static void Timeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant)
    {
        COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }
};

TEST_F(Win32Port, OpenNamesAndRefusals)
{
    HANDLE port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    // One handle at a time, as Windows COM ports are.
    SetLastError(0);
    EXPECT_EQ(
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Bare COM1..COM9 are device names, case-insensitive; so is \\.\ with a wide name.
    for (const char* name : {"COM5", "com5", "COM5:"}) {
        port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        ASSERT_TRUE(CloseHandle(port));
    }
    port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));

    // Absent ports; bare COM10 is a relative file name, not a device.
    for (const char* name : {"\\\\.\\COM6", "COM6", "COM10", "\\\\.\\COM50"}) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_EQ(OpenFileHandles(), 0u);
}

TEST_F(Win32Port, BlockingReadReturnsShortCountWhenTotalTimeoutEnds)
{
    HANDLE port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Timeouts(port, 0, 0, 200);

    PeerSend("hello");
    char buffer[16] = {};
    DWORD read = 99;
    const DWORD started = GetTickCount();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, NULL));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(std::string(buffer, read), "hello");
    EXPECT_EQ(GetTickCount() - started, 200u); // simulated time: exact

    // Return at once with what is there: MAXDWORD interval, zero totals.
    Timeouts(port, MAXDWORD, 0, 0);
    ASSERT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, NULL));
    EXPECT_EQ(read, 0u);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "abc", 3, &written, NULL));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(FlushFileBuffers(port));
    EXPECT_EQ(PeerReceived(), "abc");
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, OverlappedReadCompletesThroughEventAndResult)
{
    HANDLE port = OpenCom5(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Timeouts(port, 0, 0, 0); // no time-out: wait for the whole count

    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    char buffer[4] = {};
    DWORD read = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), &read, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &read, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), WAIT_TIMEOUT);

    PeerSend("wxyz");
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &read, FALSE));
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::string(buffer, 4), "wxyz");

    // A write on the same handle, waited for with GetOverlappedResult(bWait).
    OVERLAPPED wov = {};
    DWORD written = 0;
    if (!WriteFile(port, "12345", 5, &written, &wov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(port, &wov, &written, TRUE));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(PeerReceived(), "12345");

    // Reads need an OVERLAPPED on an overlapped handle.
    EXPECT_FALSE(ReadFile(port, buffer, 1, &read, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(CloseHandle(ov.hEvent));
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, WaitCommEventReportsReceivedCharacters)
{
    HANDLE port = OpenCom5(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0xFFFF;
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // A second wait while one is pending is refused by the driver.
    OVERLAPPED second = {};
    DWORD secondEvents = 0;
    EXPECT_FALSE(WaitCommEvent(port, &secondEvents, &second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    PeerSend("x");
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &transferred, FALSE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

    // Changing the mask ends a pending wait with no event.
    ASSERT_FALSE(WaitCommEvent(port, &events, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &transferred, TRUE));
    EXPECT_EQ(events, 0u);
    ASSERT_TRUE(CloseHandle(ov.hEvent));
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, CancelIoExEndsOnlyTheNamedRead)
{
    HANDLE port = OpenCom5(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

    OVERLAPPED readOv = {}, waitOv = {};
    readOv.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    waitOv.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    char buffer[8];
    DWORD count = 0, events = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), &count, &readOv));
    ASSERT_FALSE(WaitCommEvent(port, &events, &waitOv));

    ASSERT_TRUE(CancelIoEx(port, &readOv));
    ASSERT_EQ(WaitForSingleObject(readOv.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port, &readOv, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WaitForSingleObject(waitOv.hEvent, 0), WAIT_TIMEOUT);

    // Nothing left to cancel under that OVERLAPPED.
    EXPECT_FALSE(CancelIoEx(port, &readOv));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    ASSERT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &waitOv, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(readOv.hEvent);
    CloseHandle(waitOv.hEvent);
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, CloseHandleCompletesPendingIoAndFreesThePort)
{
    HANDLE port = OpenCom5(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Timeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED reads[2] = {}, wait = {};
    HANDLE events[3];
    for (int i = 0; i < 3; ++i) {
        events[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    reads[0].hEvent = events[0];
    reads[1].hEvent = events[1];
    wait.hEvent = events[2];
    char buffers[2][4];
    DWORD mask = 0;
    ASSERT_FALSE(ReadFile(port, buffers[0], 4, NULL, &reads[0]));
    ASSERT_FALSE(ReadFile(port, buffers[1], 4, NULL, &reads[1]));
    ASSERT_FALSE(WaitCommEvent(port, &mask, &wait));
    EXPECT_GT(OutstandingRequests(), 0u);

    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 1000), WAIT_OBJECT_0);
    for (const OVERLAPPED* ov : {&reads[0], &reads[1], &wait}) {
        EXPECT_EQ(static_cast<DWORD>(ov->Internal), 0xC0000120u); // STATUS_CANCELLED
    }
    EXPECT_EQ(OutstandingRequests(), 0u);

    port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(port));
    for (HANDLE event : events) {
        CloseHandle(event);
    }
}

TEST_F(Win32Port, EventsAndWaits)
{
    HANDLE manual = CreateEventA(NULL, TRUE, TRUE, NULL);
    HANDLE automatic = CreateEventW(NULL, FALSE, FALSE, NULL);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0); // stays set
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    HANDLE both[2] = {manual, automatic};
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT); // auto-reset consumed it
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0); // a failed wait-all took none

    const DWORD before = GetTickCount();
    Sleep(250);
    EXPECT_EQ(GetTickCount() - before, 250u);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST_F(Win32Port, LastErrorBelongsToEachThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1234;
    std::thread other([&] {
        seen = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Win32Port, LinesAndBreakThroughTheStandIn)
{
    HANDLE port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(EscapeCommFunction(port, SETRTS));
    EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(EscapeCommFunction(port, 42));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    DWORD errors = 0xFFFF;
    COMSTAT stat = {};
    PeerSend("abc");
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
    ASSERT_TRUE(ClearCommError(port, NULL, NULL));
    EXPECT_TRUE(SetupComm(port, 4096, 4096));
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, ClearCommErrorReportsInputOverrun)
{
    HANDLE port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // The input ring holds 4096 bytes; the rest is lost and reported once.
    PeerSend(std::string(5000, 'o'));
    DWORD errors = 0;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(stat.cbInQue, 4096u);
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, RefusedSetCommStateSendsNothing)
{
    HANDLE port = OpenCom5();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x11;
    const size_t before = PeerBaudRates().size();
    const uint64_t requests = win32::RequestsSent();
    for (const BYTE byteSize : {8, 4, 9}) {
        dcb.ByteSize = byteSize;
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        dcb.XoffChar = 0x13; // only the first case has equal XON and XOFF
    }
    dcb.ByteSize = 5;
    dcb.StopBits = TWOSTOPBITS;
    EXPECT_FALSE(SetCommState(port, &dcb));
    dcb.ByteSize = 7;
    dcb.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(win32::RequestsSent(), requests);
    EXPECT_EQ(PeerBaudRates().size(), before);
    EXPECT_EQ(OutstandingRequests(), 0u);
    ASSERT_TRUE(CloseHandle(port));
}

TEST_F(Win32Port, SerialCommListsThePort)
{
    // What the driver's start will publish; the stand-in port does not.
    SetRegString("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\QuarvexDevice0",
                 "COM5");

    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    std::vector<std::string> ports;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof(name);
        BYTE data[256];
        DWORD dataSize = sizeof(data);
        DWORD type = 0;
        const LSTATUS status =
            RegEnumValueA(key, index, name, &nameLength, NULL, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(std::string(name, nameLength), "\\Device\\QuarvexDevice0");
        ports.emplace_back(reinterpret_cast<char*>(data));
    }
    EXPECT_EQ(ports, std::vector<std::string>{"COM5"});

    // Wide calls, a buffer too small, a query by name.
    WCHAR wideName[64];
    DWORD wideLength = 64;
    BYTE wideData[64];
    DWORD wideSize = sizeof(wideData);
    ASSERT_EQ(RegEnumValueW(key, 0, wideName, &wideLength, NULL, NULL, wideData, &wideSize),
              ERROR_SUCCESS);
    EXPECT_EQ(wideSize, 10u); // "COM5" and its NUL in UTF-16
    EXPECT_EQ(std::memcmp(wideData, u"COM5", 10), 0);
    char tiny[4];
    DWORD tinyLength = sizeof(tiny);
    EXPECT_EQ(RegEnumValueA(key, 0, tiny, &tinyLength, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    char value[16];
    DWORD valueSize = sizeof(value);
    ASSERT_EQ(RegQueryValueExA(key, "\\device\\quarvexdevice0", NULL, NULL,
                               reinterpret_cast<BYTE*>(value), &valueSize),
              ERROR_SUCCESS);
    EXPECT_STREQ(value, "COM5");
    EXPECT_EQ(RegQueryValueExA(key, "absent", NULL, NULL, NULL, NULL), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\NOPE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Port, QueryDosDeviceNamesThePort)
{
    char target[256];
    ASSERT_GT(QueryDosDeviceA("COM5", target, sizeof(target)), 0u);
    EXPECT_STREQ(target, "\\Device\\QuarvexDevice0");

    char all[4096];
    const DWORD length = QueryDosDeviceA(NULL, all, sizeof(all));
    ASSERT_GT(length, 0u);
    std::vector<std::string> names;
    for (const char* p = all; *p != '\0'; p += std::strlen(p) + 1) {
        names.emplace_back(p);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "COM5"), names.end());

    EXPECT_EQ(QueryDosDeviceA("COM5", target, 3), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(QueryDosDeviceA("COM9", target, sizeof(target)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace qvx::win32test
