// Soak: a long stream through a pair on the real-time machine with Xon/Xoff flow control on
// both ports and a reader that stalls now and then, so the flow control works the whole way.
// Every byte is checked; the run fails on the first lost, doubled or changed byte, on a stall
// longer than a minute, and on a verifier report or leak at shutdown.
//
//   build/asan/bench/quarvex_soak [MiB]      (scripts/soak.sh builds it under AddressSanitizer)

#include "host/system.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char CONFIGURATION[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
    "\"ComPeriod\"=dword:1\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device "
    "Parameters]\n\"PortName\"=\"COM5\"\n\"Peer\"=\"pair:COM6,xonxoff\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0001\\Device "
    "Parameters]\n\"PortName\"=\"COM6\"\n\"Peer\"=\"pair:COM5,xonxoff\"\n";

// Data bytes never take the flow-control values, which the ports take for themselves.
uint8_t PatternByte(uint64_t index)
{
    const auto value = static_cast<uint8_t>((index * 131 + (index >> 11)) % 251);
    return value == 0x11 || value == 0x13 ? static_cast<uint8_t>(value + 100) : value;
}

HANDLE OpenWithXonXoff(const char* name)
{
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "soak: cannot open %s (error %lu)\n", name,
                     static_cast<unsigned long>(GetLastError()));
        std::exit(1);
    }
    // A small input ring, so that a stalled reader soon makes the port send Xoff.
    SetupComm(port, 4096, 4096);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = 4000000;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 1024;
    dcb.XoffLim = 1024;
    if (!SetCommState(port, &dcb)) {
        std::fprintf(stderr, "soak: SetCommState on %s failed (error %lu)\n", name,
                     static_cast<unsigned long>(GetLastError()));
        std::exit(1);
    }
    COMMTIMEOUTS timeouts = {0, 0, 200, 0, 0};
    SetCommTimeouts(port, &timeouts);
    return port;
}

} // namespace

int main(int argc, char** argv)
{
    const uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    if (mebibytes == 0) {
        std::fprintf(stderr, "usage: quarvex_soak [MiB]  (a positive number, default 1024)\n");
        return 2;
    }
    const uint64_t total = mebibytes << 20;

    qvx::SystemOptions options;
    options.Mode = qvx::SystemMode::RealTime;
    options.Configuration = CONFIGURATION;
    std::string error;
    std::unique_ptr<qvx::System> system = qvx::System::Boot(options, &error);
    if (system == nullptr) {
        std::fprintf(stderr, "soak: boot failed: %s\n", error.c_str());
        return 1;
    }
    HANDLE sender = OpenWithXonXoff("\\\\.\\COM5");
    HANDLE receiver = OpenWithXonXoff("\\\\.\\COM6");

    std::atomic<bool> failed{false};
    std::thread writer([&] {
        std::vector<uint8_t> chunk(65536);
        for (uint64_t sent = 0; sent < total && !failed;) {
            const size_t length =
                static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - sent));
            for (size_t i = 0; i < length; ++i) {
                chunk[i] = PatternByte(sent + i);
            }
            DWORD count = 0;
            if (!WriteFile(sender, chunk.data(), static_cast<DWORD>(length), &count, NULL) ||
                count != length) {
                std::fprintf(stderr, "soak: write at byte %llu failed (wrote %lu, error %lu)\n",
                             static_cast<unsigned long long>(sent),
                             static_cast<unsigned long>(count),
                             static_cast<unsigned long>(GetLastError()));
                failed = true;
                return;
            }
            sent += length;
        }
    });

    // A port hands the far side at most one transmit buffer (127 bytes) per send tick, so
    // with a 1 ms tick the stream runs at about 127 KB/s whatever the baud rate.
    std::printf("soak: %llu MiB, about %.1f minutes at 127 bytes per 1 ms tick\n",
                static_cast<unsigned long long>(mebibytes),
                static_cast<double>(total) / 127000.0 / 60.0);
    std::fflush(stdout);
    const auto start = Clock::now();
    auto lastProgress = start;
    uint64_t received = 0;
    uint64_t stalls = 0;
    uint64_t nextReport = 8ull << 20;
    std::vector<uint8_t> buffer(65536);
    while (received < total && !failed) {
        DWORD count = 0;
        // Short reads, and every so often a pause longer than the ring takes to fill.
        const DWORD want = static_cast<DWORD>(1 + (received * 7919) % buffer.size());
        if (!ReadFile(receiver, buffer.data(), want, &count, NULL)) {
            std::fprintf(stderr, "soak: read failed (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            failed = true;
            break;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (buffer[i] != PatternByte(received + i)) {
                std::fprintf(stderr, "soak: byte %llu is %u, expected %u\n",
                             static_cast<unsigned long long>(received + i), buffer[i],
                             PatternByte(received + i));
                failed = true;
                break;
            }
        }
        received += count;
        const auto now = Clock::now();

        if (count > 0) {
            lastProgress = now;
        } else if (now - lastProgress > std::chrono::seconds(60)) {
            std::fprintf(stderr, "soak: nothing arrived for a minute at byte %llu\n",
                         static_cast<unsigned long long>(received));
            failed = true;
            break;
        }
        // Every 128 KiB the reader stops for longer than the 4 KiB ring takes to fill (about
        // 32 ms), so the receiving port sends Xoff and the sender holds until the Xon.
        if (received / (128 * 1024) != (received - count) / (128 * 1024)) {
            ++stalls;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        if (received >= nextReport) {
            std::printf("soak: %llu MiB\n", static_cast<unsigned long long>(received >> 20));
            std::fflush(stdout);
            nextReport += 8ull << 20;
        }
    }
    if (failed) {
        // The writer may wait on a port nobody reads: closing the handles ends its write.
        PurgeComm(sender, PURGE_TXABORT);
    }
    writer.join();
    COMSTAT status = {};
    DWORD errors = 0;
    ClearCommError(receiver, &errors, &status);
    CloseHandle(sender);
    CloseHandle(receiver);
    uint64_t dropped = 0;
    for (const qvx::PeerStats& stats : system->PeerCounters()) {
        dropped += stats.Dropped;
    }
    const std::string report = system->Shutdown();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("soak: %llu of %llu bytes in %.1f s (%.1f MB/s), %llu reader pauses, "
                "port errors 0x%lx, peer dropped %llu\n",
                static_cast<unsigned long long>(received), static_cast<unsigned long long>(total),
                seconds, static_cast<double>(received) / seconds / 1e6,
                static_cast<unsigned long long>(stalls), static_cast<unsigned long>(errors),
                static_cast<unsigned long long>(dropped));
    if (!report.empty()) {
        std::printf("soak: shutdown report:\n%s\n", report.c_str());
    }
    const bool ok = !failed && received == total && errors == 0 && dropped == 0 && report.empty();
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
