// quarvex demo: the whole system at work. A Windows-style program on each end of the
// default null-modem pair sets the line, watches comm events, moves a mebibyte each way and
// checks it byte for byte, changes the rate, purges, closes and reopens; then the verifier's
// and the pool's report.

#include "host/cli/commands.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace qvx::cli {
namespace {

constexpr size_t TRANSFER_BYTES = size_t{1} << 20;

class Transcript
{
  public:
    bool Check(bool ok, const std::string& what)
    {
        std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
        std::fflush(stdout);
        failures_ += ok ? 0 : 1;
        return ok;
    }
    int Failures() const { return failures_; }

  private:
    int failures_ = 0;
};

uint8_t PatternByte(unsigned stream, size_t position)
{
    return static_cast<uint8_t>((position * 131 + size_t{stream} * 17 + (position >> 9)) & 0xFF);
}

HANDLE OpenOverlapped(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
}

// One overlapped transfer waited for; the byte count, or -1 on failure.
long long Transfer(HANDLE port, bool write, void* buffer, DWORD length)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    const BOOL started = write ? WriteFile(port, buffer, length, NULL, &overlapped)
                               : ReadFile(port, buffer, length, NULL, &overlapped);
    DWORD count = 0;
    BOOL ok = FALSE;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port, &overlapped, &count, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return ok ? static_cast<long long>(count) : -1;
}

bool SetLine(HANDLE port, DWORD baud)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    return SetCommState(port, &dcb) != FALSE;
}

struct StreamResult
{
    std::atomic<size_t> Moved{0};
    std::atomic<bool> Ok{true};
};

void WriteStream(HANDLE port, unsigned stream, StreamResult* result)
{
    std::vector<uint8_t> chunk(16384);
    size_t position = 0;
    while (position < TRANSFER_BYTES) {
        const size_t length = std::min(chunk.size(), TRANSFER_BYTES - position);
        for (size_t i = 0; i < length; ++i) {
            chunk[i] = PatternByte(stream, position + i);
        }
        const long long written = Transfer(port, true, chunk.data(), static_cast<DWORD>(length));
        if (written <= 0) {
            result->Ok = false;
            return;
        }
        position += static_cast<size_t>(written);
        result->Moved = position;
    }
}

void ReadStream(HANDLE port, unsigned stream, StreamResult* result)
{
    std::vector<uint8_t> buffer(16384);
    size_t position = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (position < TRANSFER_BYTES && std::chrono::steady_clock::now() < deadline) {
        const long long count =
            Transfer(port, false, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (count < 0) {
            result->Ok = false;
            return;
        }
        for (long long i = 0; i < count; ++i) {
            if (buffer[static_cast<size_t>(i)] != PatternByte(stream, position + i)) {
                result->Ok = false;
                return;
            }
        }
        position += static_cast<size_t>(count);
        result->Moved = position;
    }
    result->Ok = result->Ok && position == TRANSFER_BYTES;
}

} // namespace

int RunDemo(const CommonOptions& options)
{
    std::printf("quarvex demo: the driver loaded as Windows loads it, two ports, a Windows "
                "program on each end\n");
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    if (system->Ports().size() < 2) {
        std::fprintf(stderr, "quarvex demo: the configuration needs two ports joined by a pair\n");
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    const std::string nameA = system->Ports()[0].PortName;
    const std::string nameB = system->Ports()[1].PortName;
    for (const SystemPort& port : system->Ports()) {
        std::printf("  %s is %s, peer %s\n", port.PortName.c_str(), port.DeviceName.c_str(),
                    port.Peer.c_str());
    }
    Transcript transcript;
    HANDLE a = OpenOverlapped(("\\\\.\\" + nameA).c_str());
    HANDLE b = OpenOverlapped(("\\\\.\\" + nameB).c_str());
    if (!transcript.Check(a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE,
                          "CreateFile " + nameA + " and " + nameB)) {
        (void)FinishSystem(*system);
        return EXIT_FAILED;
    }
    transcript.Check(SetupComm(a, 65536, 4096) && SetupComm(b, 65536, 4096),
                     "SetupComm: 64 KiB input buffers");
    DCB check = {};
    check.DCBlength = sizeof(check);
    transcript.Check(SetLine(a, CBR_115200) && SetLine(b, CBR_115200) && GetCommState(a, &check) &&
                         check.BaudRate == CBR_115200 && check.fOutxCtsFlow &&
                         check.fRtsControl == RTS_CONTROL_HANDSHAKE,
                     "SetCommState: 115200 8N1 with RTS/CTS on both ends, read back");
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    transcript.Check(SetCommTimeouts(a, &timeouts) && SetCommTimeouts(b, &timeouts),
                     "SetCommTimeouts: reads return what came within 100 ms");

    // The comm-event loop on the second port counts EV_RXCHAR while the data flows.
    std::atomic<unsigned> rxEvents{0};
    std::atomic<bool> waiterOk{true};
    transcript.Check(SetCommMask(b, EV_RXCHAR) != FALSE, "SetCommMask(EV_RXCHAR) on " + nameB);
    std::thread waiter([&] {
        for (;;) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
            DWORD mask = 0;
            DWORD ignored = 0;
            if (!WaitCommEvent(b, &mask, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
                waiterOk = false;
                CloseHandle(overlapped.hEvent);
                return;
            }
            const BOOL ok = GetOverlappedResult(b, &overlapped, &ignored, TRUE);
            CloseHandle(overlapped.hEvent);
            if (!ok || mask == 0) {
                return; // the mask was changed: the loop is over
            }
            if ((mask & EV_RXCHAR) != 0) {
                ++rxEvents;
            }
        }
    });

    StreamResult aToB;
    StreamResult bToA;
    StreamResult readB;
    StreamResult readA;
    const auto start = std::chrono::steady_clock::now();
    {
        std::thread writerA(WriteStream, a, 1u, &aToB);
        std::thread writerB(WriteStream, b, 2u, &bToA);
        std::thread readerB(ReadStream, b, 1u, &readB);
        std::thread readerA(ReadStream, a, 2u, &readA);
        writerA.join();
        writerB.join();
        readerB.join();
        readerA.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    transcript.Check(aToB.Ok && readB.Ok && readB.Moved == TRANSFER_BYTES,
                     "1 MiB " + nameA + " -> " + nameB + ", checked byte for byte");
    transcript.Check(bToA.Ok && readA.Ok && readA.Moved == TRANSFER_BYTES,
                     "1 MiB " + nameB + " -> " + nameA + ", checked byte for byte");
    char rate[128];
    std::snprintf(rate, sizeof(rate), "throughput: 2 MiB in %.2f s, %.0f KB/s both ways together",
                  seconds, 2.0 * TRANSFER_BYTES / seconds / 1000.0);
    std::printf("  %s\n", rate);

    // A rate change travels to the peer as a baud block, which the cable consumes.
    transcript.Check(SetLine(a, 57600) != FALSE, "SetCommState: " + nameA + " to 57600");
    Sleep(100);
    bool seen = false;
    for (const PeerStats& stats : system->PeerCounters()) {
        seen = seen || stats.LastBaudRate == 57600;
    }
    transcript.Check(seen, "the peer saw the rate 57600");

    // Bytes nobody reads, then a purge of the receiving end.
    std::vector<uint8_t> filler(4000, 'p');
    transcript.Check(Transfer(a, true, filler.data(), static_cast<DWORD>(filler.size())) == 4000,
                     "4000 bytes written to " + nameB + " and left unread");
    COMSTAT status = {};
    DWORD errors = 0;
    for (int i = 0; i < 50 && status.cbInQue < 4000; ++i) {
        Sleep(10);
        (void)ClearCommError(b, &errors, &status);
    }
    const DWORD before = status.cbInQue;
    transcript.Check(
        PurgeComm(b, PURGE_RXCLEAR | PURGE_TXCLEAR) && ClearCommError(b, &errors, &status) &&
            status.cbInQue == 0 && before == 4000,
        "PurgeComm on " + nameB + ": " + std::to_string(before) + " bytes held, none after");

    // Close and reopen, and the line still carries.
    transcript.Check(CloseHandle(a) != FALSE, "CloseHandle " + nameA);
    a = OpenOverlapped(("\\\\.\\" + nameA).c_str());
    transcript.Check(a != INVALID_HANDLE_VALUE && SetLine(a, CBR_115200) &&
                         SetCommTimeouts(a, &timeouts),
                     "reopened " + nameA);
    char hello[] = "hello again";
    char answer[32] = {};
    const bool again = Transfer(a, true, hello, 11) == 11 &&
                       Transfer(b, false, answer, sizeof(answer)) == 11 &&
                       std::string(answer, 11) == hello;
    transcript.Check(again, "\"hello again\" from the reopened " + nameA + " reached " + nameB);

    // Changing the mask ends the pending wait with no event.
    transcript.Check(SetCommMask(b, 0) != FALSE, "SetCommMask(0) ends the event loop");
    waiter.join();
    transcript.Check(waiterOk && rxEvents > 0, "WaitCommEvent loop saw EV_RXCHAR " +
                                                   std::to_string(rxEvents.load()) + " times");
    CloseHandle(a);
    CloseHandle(b);

    const int finished = FinishSystem(*system);
    const int failures = transcript.Failures() + (finished == EXIT_OK ? 0 : 1);
    std::printf("quarvex demo: %s\n", failures == 0 ? "every check held" : "FAILED");
    return failures == 0 ? EXIT_OK : EXIT_FAILED;
}

} // namespace qvx::cli
