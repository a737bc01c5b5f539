// quarvex term, send and recv: a Windows-style program on one port of a running system.

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

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int)
{
    g_interrupted = true;
}

HANDLE OpenPort(const std::string& port)
{
    HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "quarvex: cannot open %s: %s\n", port.c_str(),
                     error == ERROR_ACCESS_DENIED    ? "the port is in use"
                     : error == ERROR_FILE_NOT_FOUND ? "no such port"
                                                     : ("error " + std::to_string(error)).c_str());
    }
    return handle;
}

// Progress on a terminal: a bar with bytes, rate and time left; plain lines otherwise.
class Progress
{
  public:
    Progress(const char* verb, uint64_t total)
        : verb_(verb), total_(total), tty_(isatty(STDOUT_FILENO) != 0),
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
            const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0.0;
            const int filled = static_cast<int>(fraction * 30);
            std::snprintf(line, sizeof(line),
                          "%s [%-30s] %3.0f%% %llu/%llu bytes, %.1f KB/s, %.0f s left", verb_,
                          std::string(static_cast<size_t>(filled), '#').c_str(), fraction * 100,
                          static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total_), rate / 1000, left);
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
        *error = "GetCommState failed with " + std::to_string(GetLastError());
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
        *error =
            "the port refused these line settings (error " + std::to_string(GetLastError()) + ")";
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
HANDLE OpenConfigured(const std::string& port, const LineOptions& line)
{
    HANDLE handle = OpenPort(port);
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

} // namespace

int RunSend(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line)
{
    std::ifstream input(file, std::ios::binary);
    if (!input) {
        std::fprintf(stderr, "quarvex: cannot read %s\n", file.c_str());
        return EXIT_FAILED;
    }
    input.seekg(0, std::ios::end);
    const uint64_t total = static_cast<uint64_t>(input.tellg());
    input.seekg(0);
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = OpenConfigured(port, line);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    std::signal(SIGINT, OnInterrupt);
    Progress progress("send", total);
    std::vector<char> buffer(CHUNK);
    uint64_t sent = 0;
    bool ok = true;
    while (ok && sent < total && !g_interrupted) {
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const DWORD length = static_cast<DWORD>(input.gcount());
        DWORD written = 0;
        ok = length > 0 && WriteFile(handle, buffer.data(), length, &written, NULL) &&
             written == length;
        sent += written;
        progress.Update(sent);
    }
    // The last bytes leave at the next send ticks: wait until the output queue is empty.
    COMSTAT status = {};
    DWORD errors = 0;
    for (int i = 0;
         ok && i < 500 && ClearCommError(handle, &errors, &status) && status.cbOutQue > 0; ++i) {
        Sleep(10);
    }
    Sleep(200); // and until the peer has passed them on
    progress.Update(sent, true);
    CloseHandle(handle);
    const int finished = FinishSystem(*system, true);
    if (!ok || sent != total) {
        std::fprintf(stderr, "quarvex: send stopped after %llu of %llu bytes\n",
                     static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total));
        return EXIT_FAILED;
    }
    return finished;
}

int RunRecv(const CommonOptions& options, const std::string& port, const std::string& file,
            const LineOptions& line, uint32_t idleSeconds)
{
    std::ofstream output(file, std::ios::binary | std::ios::trunc);
    if (!output) {
        std::fprintf(stderr, "quarvex: cannot write %s\n", file.c_str());
        return EXIT_FAILED;
    }
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = OpenConfigured(port, line);
    if (handle == INVALID_HANDLE_VALUE) {
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    std::printf("recv: %s ready, waiting for data\n", port.c_str());
    std::fflush(stdout);
    std::signal(SIGINT, OnInterrupt);
    Progress progress("recv", 0);
    std::vector<char> buffer(CHUNK);
    uint64_t received = 0;
    auto lastData = std::chrono::steady_clock::now();
    bool ok = true;
    while (ok && !g_interrupted) {
        DWORD count = 0;
        ok = ReadFile(handle, buffer.data(), CHUNK, &count, NULL) != FALSE;
        if (count > 0) {
            output.write(buffer.data(), count);
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
    const int finished = FinishSystem(*system, true);
    if (!ok || !output) {
        std::fprintf(stderr, "quarvex: receiving on %s failed\n", port.c_str());
        return EXIT_FAILED;
    }
    return finished;
}

int RunTerm(const CommonOptions& options, const std::string& port, const LineOptions& line)
{
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    std::string error;
    if (handle == INVALID_HANDLE_VALUE ||
        !ConfigurePort(reinterpret_cast<uintptr_t>(handle), line, &error)) {
        std::fprintf(stderr, "quarvex: %s: %s\n", port.c_str(),
                     error.empty() ? "cannot open the port" : error.c_str());
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    std::fprintf(stderr, "quarvex term: %s at %u; end of input or Ctrl-C quits\n", port.c_str(),
                 line.Baud);
    std::signal(SIGINT, OnInterrupt);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<char> buffer(4096);
        while (!done && !g_interrupted) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
            DWORD count = 0;
            if (ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), NULL,
                         &overlapped) ||
                GetLastError() == ERROR_IO_PENDING) {
                (void)GetOverlappedResult(handle, &overlapped, &count, TRUE);
            }
            CloseHandle(overlapped.hEvent);
            if (count > 0) {
                (void)!write(STDOUT_FILENO, buffer.data(), count);
            }
        }
    });
    char buffer[4096];
    for (;;) {
        const ssize_t length = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (length <= 0 || g_interrupted) {
            break;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        DWORD count = 0;
        if (WriteFile(handle, buffer, static_cast<DWORD>(length), NULL, &overlapped) ||
            GetLastError() == ERROR_IO_PENDING) {
            (void)GetOverlappedResult(handle, &overlapped, &count, TRUE);
        }
        CloseHandle(overlapped.hEvent);
    }
    Sleep(200); // what was typed last leaves before the port closes
    done = true;
    reader.join();
    CloseHandle(handle);
    return FinishSystem(*system, true);
}

} // namespace qvx::cli
