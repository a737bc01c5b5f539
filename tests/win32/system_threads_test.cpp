// Sixteen threads of a Windows program on eight ports (four null-modem pairs) of a real-time
// system: each port writes a stream to its partner and reads its partner's, with random sizes,
// random waits and random cancels. Every byte arrives in order, or was reported as written
// nowhere (a cancelled write's remainder) or taken by a cancelled read.
// ctest-labels: host threads stress

#include "host/system.h"
#include "support/seeds.h"
#include "support/watchdog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace qvx {
namespace {

constexpr int PAIRS = 4;
constexpr size_t STREAM_BYTES = size_t{1} << 20;

// Byte `position` of the stream port `from` sends: letters only, so the flow characters that
// protect the receiving rings never appear in the data.
char StreamByte(int from, size_t position)
{
    const size_t mixed = (position * 2654435761u + static_cast<size_t>(from) * 40503u) >> 7;
    return static_cast<char>('A' + mixed % 52 + (mixed % 52 >= 26 ? 6 : 0));
}

std::string Configuration()
{
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                       "\"ComPeriod\"=dword:00000001\n\n";
    for (int port = 0; port < 2 * PAIRS; ++port) {
        const int partner = port ^ 1;
        char section[256];
        std::snprintf(section, sizeof(section),
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\%04d\\"
                      "Device Parameters]\n\"PortName\"=\"COM%d\"\n\"Peer\"=\"pair:COM%d\"\n\n",
                      port, 10 + port, 10 + partner);
        text += section;
    }
    return text;
}

struct Outcome
{
    std::atomic<size_t> Written{0};
    std::atomic<size_t> Delivered{0};
    std::atomic<size_t> ReadCancelled{0};
    std::string Error;
};

// Waits for an overlapped request, cancelling it first when the dice say so; the count it
// reports (also for a cancelled one).
DWORD Finish(HANDLE port, OVERLAPPED* overlapped, std::mt19937& random, int cancelOneIn)
{
    if (random() % 4 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    if (static_cast<int>(random() % static_cast<unsigned>(cancelOneIn)) == 0) {
        (void)CancelIoEx(port, overlapped);
    }
    DWORD count = 0;
    (void)GetOverlappedResult(port, overlapped, &count, TRUE);
    return count;
}

void Writer(HANDLE port, int self, unsigned seed, Outcome* outcome)
{
    std::mt19937 random(seed);
    std::vector<char> chunk;
    size_t position = 0;
    while (position < STREAM_BYTES) {
        const size_t length = std::min<size_t>(1 + random() % 8192, STREAM_BYTES - position);
        chunk.resize(length);
        for (size_t i = 0; i < length; ++i) {
            chunk[i] = StreamByte(self, position + i);
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (!WriteFile(port, chunk.data(), static_cast<DWORD>(length), NULL, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            outcome->Error = "WriteFile failed with " + std::to_string(GetLastError());
            CloseHandle(overlapped.hEvent);
            return;
        }
        // What a cancelled write did not hand over was never sent: the stream goes on from
        // the first byte that was not.
        position += Finish(port, &overlapped, random, 16);
        CloseHandle(overlapped.hEvent);
        outcome->Written = position;
    }
}

void Reader(HANDLE port, int partner, unsigned seed, Outcome* outcome)
{
    std::mt19937 random(seed);
    std::vector<char> buffer(16384);
    size_t position = 0;
    while (position < STREAM_BYTES) {
        const DWORD length = 1 + random() % static_cast<DWORD>(buffer.size());
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (!ReadFile(port, buffer.data(), length, NULL, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            outcome->Error = "ReadFile failed with " + std::to_string(GetLastError());
            CloseHandle(overlapped.hEvent);
            return;
        }
        const DWORD count = Finish(port, &overlapped, random, 24);
        const bool cancelled = overlapped.Internal == 0xC0000120; // STATUS_CANCELLED
        CloseHandle(overlapped.hEvent);
        if (cancelled) {
            // Taken from the ring by the read, reported, and not copied back (an error status).
            outcome->ReadCancelled += count;
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (buffer[i] != StreamByte(partner, position + i)) {
                    // With the port's errors: an overrun says where the byte was lost.
                    DWORD errors = 0;
                    (void)ClearCommError(port, &errors, NULL);
                    outcome->Error = "byte " + std::to_string(position + i) +
                                     " out of order, port errors " + std::to_string(errors);
                    return;
                }
            }
            outcome->Delivered += count;
        }
        position += count;
    }
}

TEST(SystemThreadsTest, FourPairsExchangeAMebibyteEachWayUnderRandomCancels)
{
    const unsigned seed = ScenarioSeed(20261208u);
    Watchdog watchdog("SystemThreadsTest (QVX_SEED=" + std::to_string(seed) + ")",
                      std::chrono::seconds(240));
    SystemOptions options;
    options.Verify = true; // the verifier runs in every test
    options.Configuration = Configuration();
    options.ConfigurationName = "pairs.reg";
    std::string error;
    std::unique_ptr<System> system = System::Boot(options, &error);
    ASSERT_NE(system, nullptr) << error;

    std::vector<HANDLE> ports;
    for (int port = 0; port < 2 * PAIRS; ++port) {
        const std::string name = "\\\\.\\COM" + std::to_string(10 + port);
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << name;
        ASSERT_TRUE(SetupComm(handle, 65536, 4096));
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(handle, &dcb));
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        // Both directions of each cable protected by Xon/Xoff: no ring overflows while a
        // reader is slow.
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.XonLim = 4096;
        dcb.XoffLim = 16384;
        ASSERT_TRUE(SetCommState(handle, &dcb));
        // Reads return what has come after a random few milliseconds at most.
        COMMTIMEOUTS timeouts = {0, 0, 1 + static_cast<DWORD>(port), 0, 0};
        ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
        ports.push_back(handle);
    }

    std::vector<Outcome> writers(2 * PAIRS);
    std::vector<Outcome> readers(2 * PAIRS);
    std::vector<std::thread> threads;
    for (int port = 0; port < 2 * PAIRS; ++port) {
        threads.emplace_back(Writer, ports[port], port, seed + 2 * port, &writers[port]);
        threads.emplace_back(Reader, ports[port], port ^ 1, seed + 2 * port + 1, &readers[port]);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int port = 0; port < 2 * PAIRS; ++port) {
        SCOPED_TRACE("COM" + std::to_string(10 + port) + ", QVX_SEED=" + std::to_string(seed));
        EXPECT_EQ(writers[port].Error, "");
        EXPECT_EQ(readers[port].Error, "");
        EXPECT_EQ(writers[port].Written.load(), STREAM_BYTES);
        EXPECT_EQ(readers[port].Delivered + readers[port].ReadCancelled, STREAM_BYTES);
        EXPECT_GT(readers[port].Delivered.load(), STREAM_BYTES / 2);
    }
    for (HANDLE handle : ports) {
        EXPECT_TRUE(CloseHandle(handle));
    }
    EXPECT_EQ(system->Shutdown(), "");
}

} // namespace
} // namespace qvx
