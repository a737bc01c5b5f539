// quarvex send and recv: a Windows-style program on one port of a running system, whose
// far side is a bridge.

#include "host/cli/commands.h"

#include <windows.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qvx::cli {

namespace {

constexpr DWORD CHUNK = 16384;

} // namespace

std::string Win32ErrorText(uint32_t error)
{
    const char* meaning = error == ERROR_ACCESS_DENIED       ? "the port is in use"
                          : error == ERROR_FILE_NOT_FOUND    ? "no such port"
                          : error == ERROR_INVALID_PARAMETER ? "a setting the port refuses"
                          : error == ERROR_NOT_ENOUGH_MEMORY ? "out of memory"
                          : error == ERROR_OPERATION_ABORTED ? "the request was cancelled"
                                                             : "an error the tool cannot name";
    return std::string(meaning) + " (Win32 error " + std::to_string(error) + ")";
}

namespace {

HANDLE OpenPort(const std::string& port, DWORD flags)
{
    HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, flags, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "quarvex: cannot open %s: %s\n", port.c_str(),
                     Win32ErrorText(GetLastError()).c_str());
    }
    return handle;
}

// Progress on a terminal: a bar with bytes, rate and time left; plain lines otherwise.
class Progress
{
  public:
    // `what` says what the count is ("taken by the far side").
    Progress(const char* verb, uint64_t total, const char* what = "")
        : verb_(verb), what_(what), total_(total), tty_(isatty(STDOUT_FILENO) != 0),
          start_(std::chrono::steady_clock::now()), last_(start_)
    {
    }

    void Update(uint64_t done, bool final = false)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - last_ < std::chrono::milliseconds(tty_ ? 200 : 1000)) {
            return;
        }
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
        char line[160];
        if (total_ > 0) {
            const double fraction = static_cast<double>(done) / static_cast<double>(total_);
            const double left =
                rate > 0 && done < total_ ? static_cast<double>(total_ - done) / rate : 0.0;
            const int filled = static_cast<int>(fraction * 30);
            std::snprintf(line, sizeof(line),
                          "%s [%-30s] %3.0f%% %llu/%llu bytes %s, %.1f KB/s, %.0f s left", verb_,
                          std::string(static_cast<size_t>(filled), '#').c_str(), fraction * 100,
                          static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total_), what_, rate / 1000, left);
        } else {
            std::snprintf(line, sizeof(line), "%s %llu bytes, %.1f KB/s, %.1f s", verb_,
                          static_cast<unsigned long long>(done), rate / 1000, seconds);
        }
        if (tty_) {
            std::printf("\r%s%s", line, final ? "\n" : "");
        } else {
            std::printf("%s\n", line);
        }
        std::fflush(stdout);
    }

  private:
    const char* verb_;
    const char* what_;
    uint64_t total_;
    bool tty_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

} // namespace

bool ConfigurePort(uintptr_t handle, const LineOptions& line, std::string* error)
{
    HANDLE port = reinterpret_cast<HANDLE>(handle);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        *error = "GetCommState failed: " + Win32ErrorText(GetLastError());
        return false;
    }
    dcb.BaudRate = line.Baud;
    dcb.ByteSize = line.ByteSize;
    dcb.Parity = line.Parity == 'E'   ? EVENPARITY
                 : line.Parity == 'O' ? ODDPARITY
                 : line.Parity == 'M' ? MARKPARITY
                 : line.Parity == 'S' ? SPACEPARITY
                                      : NOPARITY;
    dcb.StopBits = line.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = line.Flow == "rtscts";
    dcb.fRtsControl = line.Flow == "rtscts" ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = line.Flow == "xonxoff";
    dcb.fInX = line.Flow == "xonxoff";
    if (!SetCommState(port, &dcb)) {
        *error = "the port refused these line settings: " + Win32ErrorText(GetLastError());
        return false;
    }
    // Reads return what has come within 100 ms; writes have no time limit.
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    if (!SetCommTimeouts(port, &timeouts) || !SetupComm(port, 65536, 4096)) {
        *error = "the port refused its timeouts or buffer size";
        return false;
    }
    return true;
}

namespace {

// The port opened and set up for send and recv; INVALID_HANDLE_VALUE after a message.
HANDLE OpenConfigured(const std::string& port, const LineOptions& line, DWORD flags = 0)
{
    HANDLE handle = OpenPort(port, flags);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    std::string error;
    if (!ConfigurePort(reinterpret_cast<uintptr_t>(handle), line, &error)) {
        std::fprintf(stderr, "quarvex: %s: %s\n", port.c_str(), error.c_str());
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// What the port's bridge has done with the bytes sent since `base`.
struct Handed
{
    uint64_t Moved = 0;   // taken from the port
    uint64_t Waiting = 0; // held for the far side
    uint64_t Dropped = 0;
    std::string Peer; // its description and state
};

Handed Look(const PortHost& system, const std::string& port, const PeerStats& base)
{
    Handed handed;
    PeerStats stats;
    if (system.PortPeer(port, &handed.Peer, &stats)) {
        handed.Moved = stats.FromPort - base.FromPort;
        handed.Waiting = stats.Waiting;
        handed.Dropped = stats.Dropped - base.Dropped;
    }
    return handed;
}

uint64_t Delivered(const Handed& handed, uint64_t sent)
{
    const uint64_t lost = handed.Waiting + handed.Dropped;
    return std::min(sent, handed.Moved > lost ? handed.Moved - lost : 0);
}

int SendFailed(const std::string& port, uint64_t total, uint64_t delivered, const Handed& handed,
               uint64_t inPort, const std::string& why)
{
    std::string detail;
    if (handed.Dropped != 0) {
        detail += ", " + std::to_string(handed.Dropped) + " dropped";
    }
    if (handed.Waiting + inPort != 0) {
        detail += ", " + std::to_string(handed.Waiting + inPort) + " still waiting";
    }
    std::fprintf(
        stderr, "quarvex: send %s: %llu of %llu bytes reached the far side%s; %s. Bridge: %s\n",
        port.c_str(), static_cast<unsigned long long>(delivered),
        static_cast<unsigned long long>(total), detail.c_str(), why.c_str(), handed.Peer.c_str());
    return EXIT_FAILED;
}

// Whether anything moves between the port and the far side: a stall is a timeout without
// any change in what the port holds, what the bridge took and what waits in it.
class StallWatch
{
  public:
    StallWatch(const PortHost& system, const std::string& port, HANDLE handle, uint32_t seconds)
        : system_(system), port_(port), handle_(handle), seconds_(seconds),
          last_(std::chrono::steady_clock::now())
    {
        (void)system_.PortPeer(port_, &ignored_, &base_);
    }

    Handed Look() const { return qvx::cli::Look(system_, port_, base_); }

    // "" while things move and no stop was asked for; else why the transfer ends.
    std::string Check(Handed* handed, DWORD* inPort)
    {
        COMSTAT status = {};
        DWORD errors = 0;
        (void)ClearCommError(handle_, &errors, &status);
        *handed = Look();
        *inPort = status.cbOutQue;
        const uint64_t mark = handed->Moved * 3 + handed->Waiting * 5 + status.cbOutQue;
        const auto now = std::chrono::steady_clock::now();
        if (mark != mark_) {
            mark_ = mark;
            last_ = now;
        } else if (now - last_ >= std::chrono::seconds(seconds_)) {
            return "nothing moved for " + std::to_string(seconds_) + " s";
        }
        return StopSignal() != 0 ? SignalName(StopSignal()) : "";
    }

  private:
    const PortHost& system_;
    std::string port_;
    HANDLE handle_;
    uint32_t seconds_;
    PeerStats base_;
    std::string ignored_;
    uint64_t mark_ = ~uint64_t{0};
    std::chrono::steady_clock::time_point last_;
};

} // namespace

int RunSend(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line, uint32_t timeoutSeconds)
{
    std::ifstream input(file, std::ios::binary);
    if (!input) {
        std::fprintf(stderr, "quarvex: cannot read %s\n", MessageText(file).c_str());
        return EXIT_FAILED;
    }
    input.seekg(0, std::ios::end);
    const uint64_t total = static_cast<uint64_t>(input.tellg());
    input.seekg(0);
    std::unique_ptr<PortHost> system = PortHost::Open(options);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = OpenConfigured(port, line, FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)system->Finish(true);
        return EXIT_FAILED;
    }
    StallWatch watch(*system, port, handle, timeoutSeconds);
    Progress progress("send", total, "taken by the far side");
    std::vector<char> buffer(CHUNK);
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    uint64_t sent = 0;
    Handed handed;
    DWORD inPort = 0;
    std::string why;
    while (why.empty() && sent < total) {
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const DWORD length = static_cast<DWORD>(input.gcount());
        if (length == 0) {
            why = "the file ended early";
            break;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD written = 0;
        if (!WriteFile(handle, buffer.data(), length, NULL, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            why = "the port refused the write";
            break;
        }
        while (WaitForSingleObject(done, 100) != WAIT_OBJECT_0 && why.empty()) {
            why = watch.Check(&handed, &inPort);
            progress.Update(Delivered(handed, sent));
        }
        if (!why.empty()) {
            CancelIo(handle);
        }
        (void)GetOverlappedResult(handle, &overlapped, &written, TRUE);
        sent += written;
        why = why.empty() ? watch.Check(&handed, &inPort) : why;
        progress.Update(Delivered(handed, sent));
    }
    CloseHandle(done);
    // The last bytes leave the port at its next send ticks, then the bridge hands them on:
    // done when the far side has taken them all.
    while (why.empty()) {
        why = watch.Check(&handed, &inPort);
        if (handed.Moved >= sent && handed.Waiting == 0 && inPort == 0) {
            why.clear();
            break;
        }
        progress.Update(Delivered(handed, sent));
        Sleep(20);
    }
    handed = watch.Look();
    const uint64_t delivered = Delivered(handed, sent);
    progress.Update(delivered, true);
    const uint64_t unsent = (total - sent) + (sent > handed.Moved ? sent - handed.Moved : 0);
    CloseHandle(handle);
    if (why.empty() && (delivered != total || handed.Dropped != 0)) {
        why = "the bridge dropped bytes";
    }
    if (!why.empty()) {
        (void)system->Finish(true);
        return SendFailed(port, total, delivered, handed, unsent, why);
    }
    return system->Finish(true);
}

int RunRecv(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line, uint32_t idleSeconds)
{
    std::ofstream output(file, std::ios::binary | std::ios::trunc);
    if (!output) {
        std::fprintf(stderr, "quarvex: cannot write %s\n", MessageText(file).c_str());
        return EXIT_FAILED;
    }
    std::unique_ptr<PortHost> system = PortHost::Open(options);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = OpenConfigured(port, line);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)system->Finish(true);
        return EXIT_FAILED;
    }
    std::printf("recv: %s ready, waiting for data\n", port.c_str());
    std::fflush(stdout);
    Progress progress("recv", 0);
    std::vector<char> buffer(CHUNK);
    uint64_t received = 0;
    auto lastData = std::chrono::steady_clock::now();
    bool ok = true;
    bool lost = false;
    while (ok && StopSignal() == 0) {
        DWORD count = 0;
        ok = ReadFile(handle, buffer.data(), CHUNK, &count, NULL) != FALSE;
        COMSTAT status = {};
        DWORD errors = 0;
        if (ClearCommError(handle, &errors, &status) && (errors & (CE_OVERRUN | CE_RXOVER)) != 0) {
            lost = true;
        }
        if (count > 0) {
            // On its way to the file at once: what an interrupted run received is there.
            output.write(buffer.data(), count);
            output.flush();
            received += count;
            lastData = std::chrono::steady_clock::now();
            progress.Update(received);
        } else if (received > 0 && std::chrono::steady_clock::now() - lastData >=
                                       std::chrono::seconds(idleSeconds)) {
            break;
        }
    }
    progress.Update(received, true);
    CloseHandle(handle);
    output.close();
    const int finished = system->Finish(true);
    const std::string shown = MessageText(file);
    if (StopSignal() != 0) {
        std::fprintf(stderr, "quarvex: recv %s: %s after %llu bytes; %s holds only those\n",
                     port.c_str(), SignalName(StopSignal()),
                     static_cast<unsigned long long>(received), shown.c_str());
        return EXIT_FAILED;
    }
    if (lost) {
        std::fprintf(stderr,
                     "quarvex: recv %s: bytes were lost on the port (its receive buffer "
                     "overran); %s is incomplete\n",
                     port.c_str(), shown.c_str());
        return EXIT_FAILED;
    }
    if (!ok || !output) {
        std::fprintf(stderr, "quarvex: receiving on %s failed\n", port.c_str());
        return EXIT_FAILED;
    }
    return finished;
}

} // namespace qvx::cli
