// quarvex demo: the whole system at work. A Windows-style program on each end of the
// default null-modem pair sets the line, watches comm events, moves data each way and checks
// it byte for byte, shows Xon/Xoff crossing the pair, changes the rate, purges, closes and
// reopens; then the verifier's and the pool's report.
//
// A port hands its peer at most 127 bytes per send period, so every amount and every wait
// here follows the period in force: the demo ends within a minute at any period.

#include "host/cli/commands.h"

#include <windows.h>

#include "abi/serial_abi.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace qvx::cli {
namespace {

constexpr size_t MOST_TRANSFER_BYTES = size_t{1} << 20;
constexpr size_t BYTES_PER_PERIOD = 127;
// The main transfer takes about this long at any period.
constexpr size_t TRANSFER_SECONDS = 9;
constexpr BYTE XON = abi::DEFAULT_XON_CHAR;
constexpr BYTE XOFF = abi::DEFAULT_XOFF_CHAR;
constexpr DWORD RING_BYTES = 65536;

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

// The data never holds the flow-control characters: with Xon/Xoff on, the ports act on them.
uint8_t PatternByte(unsigned stream, size_t position)
{
    const auto byte =
        static_cast<uint8_t>((position * 131 + size_t{stream} * 17 + (position >> 9)) & 0xFF);
    return byte == XON || byte == XOFF ? static_cast<uint8_t>(byte ^ 0x40) : byte;
}

HANDLE OpenOverlapped(const std::string& port)
{
    return CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
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

// 8N1 with Xon/Xoff both ways; Xoff goes out when `xoffAt` bytes wait unread in a ring of
// RING_BYTES (0: the marks in force, the driver's own for the ring unless changed).
bool SetLine(HANDLE port, DWORD baud, DWORD xoffAt = 0)
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
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.XonChar = static_cast<char>(XON);
    dcb.XoffChar = static_cast<char>(XOFF);
    if (xoffAt != 0) {
        dcb.XoffLim = static_cast<WORD>(RING_BYTES - xoffAt);
        dcb.XonLim = static_cast<WORD>(xoffAt / 4);
    }
    return SetCommState(port, &dcb) != FALSE;
}

struct StreamResult
{
    std::atomic<size_t> Moved{0};
    std::atomic<bool> Ok{true};
    std::atomic<bool> Done{false};
};

void WriteStream(HANDLE port, unsigned stream, size_t total, StreamResult* result)
{
    std::vector<uint8_t> chunk(16384);
    size_t position = 0;
    while (position < total) {
        const size_t length = std::min(chunk.size(), total - position);
        for (size_t i = 0; i < length; ++i) {
            chunk[i] = PatternByte(stream, position + i);
        }
        const long long written = Transfer(port, true, chunk.data(), static_cast<DWORD>(length));
        if (written <= 0) {
            result->Ok = false;
            break;
        }
        position += static_cast<size_t>(written);
        result->Moved = position;
    }
    result->Done = true;
}

void ReadStream(HANDLE port, unsigned stream, size_t total,
                std::chrono::steady_clock::time_point deadline, StreamResult* result)
{
    std::vector<uint8_t> buffer(16384);
    size_t position = 0;
    while (position < total && std::chrono::steady_clock::now() < deadline) {
        const DWORD want = static_cast<DWORD>(std::min(buffer.size(), total - position));
        const long long count = Transfer(port, false, buffer.data(), want);
        bool same = count >= 0;
        for (long long i = 0; same && i < count; ++i) {
            same = buffer[static_cast<size_t>(i)] == PatternByte(stream, position + i);
        }
        if (!same) {
            result->Ok = false;
            break;
        }
        position += static_cast<size_t>(count);
        result->Moved = position;
    }
    result->Ok = result->Ok && position == total;
    result->Done = true;
}

// Waits until `condition` holds or `ms` pass; whether it held.
template <typename Condition> bool WaitFor(Condition condition, uint64_t ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

COMSTAT Status(HANDLE port, DWORD* errors)
{
    COMSTAT status = {};
    *errors = 0;
    (void)ClearCommError(port, errors, &status);
    return status;
}

std::string Count(size_t bytes)
{
    return bytes == MOST_TRANSFER_BYTES ? "1 MiB" : std::to_string(bytes) + " bytes";
}

// Both directions at once, with a progress line every second; readers give up at a deadline
// and then take the writers' requests back, so nothing waits for ever.
void TransferBothWays(HANDLE a, HANDLE b, size_t total, uint64_t expectMs, StreamResult* aToB,
                      StreamResult* bToA, StreamResult* readB, StreamResult* readA)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(expectMs * 3 + 10000);
    std::thread writerA(WriteStream, a, 1u, total, aToB);
    std::thread writerB(WriteStream, b, 2u, total, bToA);
    std::thread readerB(ReadStream, b, 1u, total, deadline, readB);
    std::thread readerA(ReadStream, a, 2u, total, deadline, readA);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!readB->Done || !readA->Done) {
        Sleep(20);
        if (std::chrono::steady_clock::now() >= next) {
            next += std::chrono::seconds(1);
            const size_t moved = std::min(readB->Moved.load(), readA->Moved.load());
            std::printf("  ... %zu of %zu bytes each way (%zu %%)\n", moved, total,
                        moved * 100 / total);
            std::fflush(stdout);
        }
    }
    readerB.join();
    readerA.join();
    if (!aToB->Done) {
        PurgeComm(a, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    if (!bToA->Done) {
        PurgeComm(b, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    writerA.join();
    writerB.join();
}

// Where the second port sends Xoff: soon enough that holding it takes a moment at any period.
DWORD XoffAt(uint32_t periodMs)
{
    return static_cast<DWORD>(std::clamp<size_t>(BYTES_PER_PERIOD * 1000 / periodMs / 2, 64, 2048));
}

// The second port's reader stops; once its Xoff has crossed the pair and holds the first
// port's transmitter, it reads again and everything arrives, nothing lost.
void ShowXoffCrossing(Transcript* transcript, HANDLE a, HANDLE b, const std::string& nameA,
                      const std::string& nameB, uint32_t periodMs)
{
    const size_t total = size_t{2} * XoffAt(periodMs) + 4 * BYTES_PER_PERIOD;
    const uint64_t allowMs = uint64_t{periodMs} * 10 + 5000;
    StreamResult written;
    std::thread writer(WriteStream, a, 3u, total, &written);
    DWORD errors = 0;
    COMSTAT held = {};
    const bool stopped = WaitFor(
        [&] {
            held = Status(a, &errors);
            return held.fXoffHold != 0;
        },
        allowMs);
    const COMSTAT waiting = Status(b, &errors);
    transcript->Check(stopped, nameB + "'s reader paused: " + std::to_string(waiting.cbInQue) +
                                   " bytes wait in " + nameB + ", whose Xoff holds " + nameA +
                                   "'s transmitter with " + std::to_string(held.cbOutQue) +
                                   " bytes still to send");
    StreamResult read;
    ReadStream(b, 3u, total, std::chrono::steady_clock::now() + std::chrono::milliseconds(allowMs),
               &read);
    if (!written.Done) {
        PurgeComm(a, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    writer.join();
    const COMSTAT after = Status(b, &errors);
    const bool lost = (errors & (CE_RXOVER | CE_OVERRUN)) != 0;
    // The last Xon may still be on its way.
    const bool released = WaitFor([&] { return Status(a, &errors).fXoffHold == 0; }, allowMs);
    transcript->Check(read.Ok && written.Ok && after.cbInQue == 0 && !lost && released,
                      nameB + " read again: its Xon released " + nameA + ", all " +
                          std::to_string(total) + " bytes arrived in order, none lost");
}

} // namespace

int RunDemo(const CommonOptions& options, bool kernelPeer)
{
    std::printf("quarvex demo: the driver loaded as Windows loads it, two ports, a Windows "
                "program on each end\n");
    if (kernelPeer) {
        std::printf("  the pair runs through quarvexpeer.sys, started from its entry beside the "
                    "driver\n");
    }
    CommonOptions chosen = options;
    chosen.KernelPeer = kernelPeer;
    std::unique_ptr<System> system = BootFromOptions(chosen, SystemMode::RealTime);
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
    const uint32_t periodMs = system->ComPeriodMs();
    const size_t perSecond = BYTES_PER_PERIOD * 1000 / periodMs;
    const size_t total = std::min(MOST_TRANSFER_BYTES, perSecond * TRANSFER_SECONDS);
    // A few periods for anything that crosses the pair, and slack for a busy host.
    const uint64_t crossingMs = uint64_t{periodMs} * 4 + 2000;
    for (const SystemPort& port : system->Ports()) {
        std::printf("  %s is %s, peer %s\n", port.PortName.c_str(), port.DeviceName.c_str(),
                    port.Peer.c_str());
    }
    std::printf("  send period %u ms: a port passes at most %zu bytes a second\n", periodMs,
                perSecond);
    std::printf("  (modem lines loop inside each port; only bytes, Xon/Xoff and the rate cross "
                "the pair)\n");
    Transcript transcript;
    HANDLE a = OpenOverlapped(nameA);
    HANDLE b = OpenOverlapped(nameB);
    if (!transcript.Check(a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE,
                          "CreateFile " + nameA + " and " + nameB)) {
        (void)FinishSystem(*system);
        return EXIT_FAILED;
    }
    transcript.Check(SetupComm(a, RING_BYTES, 4096) && SetupComm(b, RING_BYTES, 4096),
                     "SetupComm: 64 KiB input buffers");
    DCB check = {};
    check.DCBlength = sizeof(check);
    const DWORD xoffAt = XoffAt(periodMs);
    transcript.Check(SetLine(a, CBR_115200) && SetLine(b, CBR_115200, xoffAt) &&
                         GetCommState(b, &check) && check.BaudRate == CBR_115200 && check.fOutX &&
                         check.fInX && !check.fOutxCtsFlow && check.XoffLim == RING_BYTES - xoffAt,
                     "SetCommState: 115200 8N1 with Xon/Xoff on both ends, read back; " + nameB +
                         " sends Xoff once " + std::to_string(xoffAt) + " bytes wait unread");
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
    TransferBothWays(a, b, total, total * 1000 / perSecond, &aToB, &bToA, &readB, &readA);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    transcript.Check(aToB.Ok && readB.Ok && readB.Moved == total,
                     Count(total) + " " + nameA + " -> " + nameB + ", checked byte for byte");
    transcript.Check(bToA.Ok && readA.Ok && readA.Moved == total,
                     Count(total) + " " + nameB + " -> " + nameA + ", checked byte for byte");
    char rate[128];
    std::snprintf(rate, sizeof(rate), "throughput: %zu bytes in %.2f s, %.1f KB/s both ways",
                  2 * total, seconds, 2.0 * static_cast<double>(total) / seconds / 1000.0);
    std::printf("  %s\n", rate);

    ShowXoffCrossing(&transcript, a, b, nameA, nameB, periodMs);

    // A rate change travels to the peer as a baud block, which the cable consumes.
    transcript.Check(SetLine(a, 57600) != FALSE, "SetCommState: " + nameA + " to 57600");
    const bool seen = WaitFor(
        [&] {
            for (const PeerStats& stats : system->PeerCounters()) {
                if (stats.LastBaudRate == 57600) {
                    return true;
                }
            }
            return false;
        },
        crossingMs);
    transcript.Check(seen, "the peer saw the rate 57600");

    // Bytes nobody reads, then a purge of the receiving end.
    // Fewer than make the receiver send Xoff.
    const DWORD fill = xoffAt / 2;
    std::vector<uint8_t> filler(fill, 'p');
    transcript.Check(Transfer(a, true, filler.data(), fill) == fill,
                     std::to_string(fill) + " bytes written to " + nameB + " and left unread");
    DWORD errors = 0;
    (void)WaitFor([&] { return Status(b, &errors).cbInQue >= fill; }, crossingMs);
    const DWORD before = Status(b, &errors).cbInQue;
    transcript.Check(PurgeComm(b, PURGE_RXCLEAR | PURGE_TXCLEAR) &&
                         Status(b, &errors).cbInQue == 0 && before == fill,
                     "PurgeComm on " + nameB + ": " + std::to_string(before) +
                         " bytes held, none after");

    // Close and reopen, and the line still carries.
    transcript.Check(CloseHandle(a) != FALSE, "CloseHandle " + nameA);
    a = OpenOverlapped(nameA);
    transcript.Check(a != INVALID_HANDLE_VALUE && SetLine(a, CBR_115200) &&
                         SetCommTimeouts(a, &timeouts),
                     "reopened " + nameA);
    char hello[] = "hello again";
    std::string answer;
    const bool sent = Transfer(a, true, hello, 11) == 11;
    (void)WaitFor(
        [&] {
            char piece[32];
            const long long got = Transfer(b, false, piece, sizeof(piece));
            answer.append(piece, static_cast<size_t>(std::max(got, 0LL)));
            return answer.size() >= 11 || got < 0;
        },
        crossingMs);
    transcript.Check(sent && answer == hello,
                     "\"hello again\" from the reopened " + nameA + " reached " + nameB);

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
