// quarvex term: the user's terminal on one port. On a terminal it runs raw, as serial
// terminal programs do, with an escape key; on a pipe it passes bytes through.

#include "host/cli/commands.h"

#include <windows.h>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace qvx::cli {

namespace {

constexpr char ESCAPE = 0x01;     // Ctrl-A
constexpr char LEAVE = 0x18;      // Ctrl-X
constexpr char SEND_BREAK = 0x02; // Ctrl-B
constexpr DWORD BREAK_MS = 250;
constexpr int INPUT_POLL_MS = 100; // how often a wait for a key looks for a stop

// The terminal's settings while term runs, restored however it ends.
class RawTerminal
{
  public:
    RawTerminal()
    {
        if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) {
            return;
        }
        termios raw = saved_;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
    }
    ~RawTerminal()
    {
        if (active_) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        }
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool Active() const { return active_; }

  private:
    termios saved_ = {};
    bool active_ = false;
};

bool Transfer(HANDLE port, bool write, void* buffer, DWORD length, DWORD* count)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    *count = 0;
    const BOOL started = write ? WriteFile(port, buffer, length, NULL, &overlapped)
                               : ReadFile(port, buffer, length, NULL, &overlapped);
    BOOL ok = FALSE;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port, &overlapped, count, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return ok != FALSE;
}

void Show(const std::string& text)
{
    (void)!write(STDERR_FILENO, text.data(), text.size());
}

// What the port sent, translated for the screen.
std::string ForScreen(const char* bytes, DWORD count, const TermMap& map)
{
    std::string shown;
    for (DWORD i = 0; i < count; ++i) {
        const char c = bytes[i];
        if ((c == '\n' && map.ShowLfAsCrLf) || (c == '\r' && map.ShowCrAsCrLf)) {
            shown += "\r\n";
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace

int RunTerm(const CommonOptions& options, const std::string& port, const LineOptions& line,
            const TermMap& map)
{
    std::unique_ptr<PortHost> system = PortHost::Open(options);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    std::string error =
        handle == INVALID_HANDLE_VALUE ? "cannot open it: " + Win32ErrorText(GetLastError()) : "";
    if (handle == INVALID_HANDLE_VALUE ||
        !ConfigurePort(reinterpret_cast<uintptr_t>(handle), line, &error)) {
        std::fprintf(stderr, "quarvex: %s: %s\n", port.c_str(), error.c_str());
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
        (void)system->Finish(true);
        return EXIT_FAILED;
    }
    int result;
    {
        RawTerminal terminal;
        const bool raw = terminal.Active();
        Show("quarvex term: " + port + " at " + std::to_string(line.Baud) +
             (raw ? "; Ctrl-A Ctrl-X leaves, Ctrl-A Ctrl-B sends a break\r\n"
                  : "; end of input or Ctrl-C quits\n"));
        std::atomic<bool> done{false};
        std::thread reader([&] {
            std::vector<char> buffer(4096);
            while (!done) {
                DWORD count = 0;
                // Reads return within 100 ms (ConfigurePort), so the reader sees `done`.
                (void)Transfer(handle, false, buffer.data(), static_cast<DWORD>(buffer.size()),
                               &count);
                const std::string shown = ForScreen(buffer.data(), count, map);
                (void)!write(STDOUT_FILENO, shown.data(), shown.size());
            }
        });
        bool escaped = false;
        bool leave = false;
        char buffer[4096];
        while (!leave && StopSignal() == 0) {
            pollfd input = {STDIN_FILENO, POLLIN, 0};
            if (poll(&input, 1, INPUT_POLL_MS) <= 0) {
                continue;
            }
            const ssize_t length = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (length <= 0) {
                leave = length == 0 || errno != EINTR;
                continue;
            }
            std::string out;
            for (ssize_t i = 0; i < length && raw && !leave; ++i) {
                const char c = buffer[i];
                if (escaped) {
                    escaped = false;
                    if (c == LEAVE) {
                        leave = true;
                    } else if (c == SEND_BREAK) {
                        DWORD count = 0;
                        (void)Transfer(handle, true, out.data(), static_cast<DWORD>(out.size()),
                                       &count);
                        out.clear();
                        SetCommBreak(handle);
                        Sleep(BREAK_MS);
                        ClearCommBreak(handle);
                        Show("\r\n[quarvex term: break sent]\r\n");
                    } else if (c == ESCAPE) {
                        out += ESCAPE;
                    }
                } else if (c == ESCAPE) {
                    escaped = true;
                } else if (c == '\r') {
                    out += map.Enter;
                } else {
                    out += c;
                }
            }
            if (!raw) {
                out.assign(buffer, static_cast<size_t>(length));
            }
            DWORD count = 0;
            if (!out.empty()) {
                (void)Transfer(handle, true, out.data(), static_cast<DWORD>(out.size()), &count);
            }
        }
        Sleep(200); // what was typed last leaves before the port closes
        done = true;
        reader.join();
        CloseHandle(handle);
        result = system->Finish(true);
        if (raw) {
            Show("\r\n");
        }
    }
    return result;
}

} // namespace qvx::cli
