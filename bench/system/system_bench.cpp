// End-to-end figures of the whole system, beside a socat pseudo-terminal pair measured in the
// same run: throughput and CPU cost per byte from WriteFile on COM5 to ReadFile on COM6,
// one-byte latency, and the cost of many idle open ports. Prints a table.
//
//   build/default/bench/quarvex_system_bench [--quick | --idle | --latency | --memory | --cpu]
// The throughput and CPU figures run on the production machine (the verifier off), as
// `quarvex run` does; one row repeats the CPU per byte with the verifier on.

#include "host/system.h"

#include <windows.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Configuration(int pairs, int comPeriod)
{
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                       "\"ComPeriod\"=dword:" +
                       std::to_string(comPeriod) + "\n\n";
    for (int port = 0; port < 2 * pairs; ++port) {
        char section[256];
        std::snprintf(section, sizeof(section),
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\%04d\\"
                      "Device Parameters]\n\"PortName\"=\"COM%d\"\n\"Peer\"=\"pair:COM%d\"\n\n",
                      port, 10 + port, 10 + (port ^ 1));
        text += section;
    }
    return text;
}

std::unique_ptr<qvx::System> Boot(qvx::SystemMode mode, int pairs, int comPeriod,
                                  bool verify = false)
{
    qvx::SystemOptions options;
    options.Mode = mode;
    options.Verify = verify;
    options.Configuration = Configuration(pairs, comPeriod);
    std::string error;
    std::unique_ptr<qvx::System> system = qvx::System::Boot(options, &error);
    if (system == nullptr) {
        std::fprintf(stderr, "boot failed: %s\n", error.c_str());
        std::exit(1);
    }
    return system;
}

HANDLE Open(int number, DWORD readConstant, DWORD inputBuffer = 1 << 20)
{
    const std::string name = "\\\\.\\COM" + std::to_string(number);
    HANDLE port =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", name.c_str());
        std::exit(1);
    }
    SetupComm(port, inputBuffer, 4096);
    COMMTIMEOUTS timeouts = {0, 0, readConstant, 0, 0};
    SetCommTimeouts(port, &timeouts);
    return port;
}

struct Throughput
{
    double MegabytesPerSecond = 0;
    double NanosecondsPerByte = 0; // process CPU
};

// 64 KiB writes on one end, 64 KiB reads on the other; `total` bytes. `verify`: the machine
// runs the verifier, as the tests do; else it is the production machine.
Throughput MeasureQuarvex(qvx::SystemMode mode, size_t total, bool verify = false)
{
    std::unique_ptr<qvx::System> system = Boot(mode, 1, 1, verify);
    HANDLE a = Open(10, 50);
    HANDLE b = Open(11, 50);
    std::vector<char> chunk(65536, 'q');
    std::vector<char> buffer(65536);
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    size_t received = 0;
    if (mode == qvx::SystemMode::RealTime) {
        std::thread writer([&] {
            for (size_t sent = 0; sent < total; sent += chunk.size()) {
                DWORD count = 0;
                WriteFile(a, chunk.data(), static_cast<DWORD>(chunk.size()), &count, NULL);
            }
        });
        while (received < total) {
            DWORD count = 0;
            ReadFile(b, buffer.data(), static_cast<DWORD>(buffer.size()), &count, NULL);
            received += count;
        }
        writer.join();
    } else {
        // One thread: each write is taken whole by the 1 MiB ring before the read.
        for (size_t sent = 0; sent < total; sent += chunk.size()) {
            DWORD count = 0;
            WriteFile(a, chunk.data(), static_cast<DWORD>(chunk.size()), &count, NULL);
            while (count > 0) {
                DWORD got = 0;
                ReadFile(b, buffer.data(), static_cast<DWORD>(buffer.size()), &got, NULL);
                received += got;
                count = got == 0 ? 0 : count - std::min<DWORD>(count, got);
            }
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    CloseHandle(a);
    CloseHandle(b);
    (void)system->Shutdown();
    return {static_cast<double>(received) / wall / 1e6, cpu * 1e9 / static_cast<double>(received)};
}

// One byte from WriteFile on COM10 to ReadFile returning on COM11; percentiles in ms.
std::pair<double, double> MeasureQuarvexLatency(int samples)
{
    std::unique_ptr<qvx::System> system = Boot(qvx::SystemMode::RealTime, 1, 1);
    HANDLE a = Open(10, 0);
    HANDLE b = Open(11, 0);
    // A read returns as soon as one byte is there.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    SetCommTimeouts(b, &timeouts);
    std::vector<double> times;
    char byte = 'x';
    for (int i = 0; i < samples; ++i) {
        DWORD count = 0;
        const auto start = Clock::now();
        WriteFile(a, &byte, 1, &count, NULL);
        ReadFile(b, &byte, 1, &count, NULL);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    CloseHandle(a);
    CloseHandle(b);
    (void)system->Shutdown();
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 99 / 100]};
}

// 128 pairs open and idle for `seconds`: CPU use of the process, in % of one core.
double MeasureIdle(int pairs, int seconds, int comPeriod)
{
    std::unique_ptr<qvx::System> system = Boot(qvx::SystemMode::RealTime, pairs, comPeriod);
    std::vector<HANDLE> ports;
    for (int port = 0; port < 2 * pairs; ++port) {
        ports.push_back(Open(10 + port, 0, 4096));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu0 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - cpu0;
    for (HANDLE port : ports) {
        CloseHandle(port);
    }
    (void)system->Shutdown();
    return cpu * 100.0 / seconds;
}

// Heap bytes in use (allocated, touched or not: a ring nobody wrote to is not resident yet).
double HeapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Heap in use with `pairs` pairs booted and open, each port with a 4 KiB input ring.
double HeapWithPortsOpen(int pairs)
{
    const double before = HeapBytes();
    std::unique_ptr<qvx::System> system = Boot(qvx::SystemMode::Simulated, pairs, 20);
    std::vector<HANDLE> ports;
    for (int port = 0; port < 2 * pairs; ++port) {
        ports.push_back(Open(10 + port, 0, 4096));
    }
    const double after = HeapBytes();
    for (HANDLE port : ports) {
        CloseHandle(port);
    }
    (void)system->Shutdown();
    return after - before;
}

// What one more open port costs beyond its ring (driver, platform, Win32 handle and peer
// together): the slope between 16 and `pairs` pairs, so the machine's fixed cost (its request
// quarantine, trace buffers, the driver's globals) is not spread over the ports.
double MeasureMemoryPerPort(int pairs)
{
    const double few = HeapWithPortsOpen(16);
    const double many = HeapWithPortsOpen(pairs);
    return (many - few) / (2.0 * (pairs - 16)) - 4096;
}

// GetCommState and SetCommState through the Win32 layer on the simulated machine: median
// microseconds per call over batches of 1000.
std::pair<double, double> MeasureControlRoundTrip(int batches)
{
    std::unique_ptr<qvx::System> system = Boot(qvx::SystemMode::Simulated, 1, 20);
    HANDLE port = Open(10, 0);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    std::vector<double> gets;
    std::vector<double> sets;
    for (int batch = 0; batch < batches; ++batch) {
        auto start = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            GetCommState(port, &dcb);
        }
        gets.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                       1000);
        start = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            dcb.BaudRate = (i & 1) != 0 ? 115200 : 57600;
            SetCommState(port, &dcb);
            if ((i & 7) == 7) {
                // Lets the send ticks take the baud blocks, as time would.
                system->AdvanceMs(20);
            }
        }
        sets.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                       1000);
    }
    CloseHandle(port);
    (void)system->Shutdown();
    std::sort(gets.begin(), gets.end());
    std::sort(sets.begin(), sets.end());
    return {gets[gets.size() / 2], sets[sets.size() / 2]};
}

// ---- The reference: a socat pseudo-terminal pair --------------------------------------

struct SocatPair
{
    pid_t Pid = -1;
    int A = -1;
    int B = -1;
};

int OpenRaw(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios settings = {};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

bool StartSocat(SocatPair* pair)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return false;
    }
    pair->Pid = fork();
    if (pair->Pid == 0) {
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        execlp("socat", "socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::vector<std::string> paths;
    std::string line;
    char c;
    while (paths.size() < 2 && read(pipeFds[0], &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        const size_t at = line.find("PTY is ");
        if (at != std::string::npos) {
            paths.push_back(line.substr(at + 7));
        }
        line.clear();
    }
    close(pipeFds[0]);
    if (paths.size() < 2) {
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pair->A = OpenRaw(paths[0]);
    pair->B = OpenRaw(paths[1]);
    return pair->A >= 0 && pair->B >= 0;
}

void StopSocat(SocatPair* pair)
{
    if (pair->A >= 0) {
        close(pair->A);
    }
    if (pair->B >= 0) {
        close(pair->B);
    }
    if (pair->Pid > 0) {
        kill(pair->Pid, SIGTERM);
        waitpid(pair->Pid, nullptr, 0);
    }
}

// CPU seconds a child process has used so far (user and system, from /proc).
double ChildCpuSeconds(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr) {
        return 0;
    }
    char text[1024] = {};
    const size_t length = std::fread(text, 1, sizeof(text) - 1, stat);
    std::fclose(stat);
    text[length] = 0;
    // Fields 14 and 15 (utime, stime) follow the command name's closing parenthesis.
    const char* rest = std::strrchr(text, ')');
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) != 2) {
        return 0;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Throughput, and the CPU per byte of socat and of the reading and writing process together.
Throughput MeasureSocat(size_t total)
{
    SocatPair pair;
    if (!StartSocat(&pair)) {
        StopSocat(&pair);
        return {-1, -1};
    }
    std::vector<char> chunk(65536, 's');
    const double cpu0 = CpuSeconds() + ChildCpuSeconds(pair.Pid);
    const auto start = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total;) {
            const ssize_t n = write(pair.A, chunk.data(), chunk.size());
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
        }
    });
    std::vector<char> buffer(65536);
    size_t received = 0;
    while (received < total) {
        const ssize_t n = read(pair.B, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        received += static_cast<size_t>(n);
    }
    writer.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() + ChildCpuSeconds(pair.Pid) - cpu0;
    StopSocat(&pair);
    return {static_cast<double>(received) / wall / 1e6,
            cpu * 1e9 / static_cast<double>(std::max<size_t>(received, 1))};
}

std::pair<double, double> MeasureSocatLatency(int samples)
{
    SocatPair pair;
    if (!StartSocat(&pair)) {
        StopSocat(&pair);
        return {-1, -1};
    }
    std::vector<double> times;
    char byte = 'x';
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        if (write(pair.A, &byte, 1) != 1 || read(pair.B, &byte, 1) != 1) {
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    StopSocat(&pair);
    if (times.empty()) {
        return {-1, -1};
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 99 / 100]};
}

std::string Figure(double value, int decimals)
{
    if (value < 0) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (argc > 1 && std::strcmp(argv[1], "--idle") == 0) {
        // The idle measure alone, for a profiler.
        std::printf("256 ports open and idle: %.1f %% of a core (\"ComPeriod\" 20), %.1f %% (1)\n",
                    MeasureIdle(128, 10, 20), MeasureIdle(128, 10, 1));
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--cpu") == 0) {
        // Production, verifier on and socat in one run, so that the load is shared alike;
        // QVX_BENCH_ONLY=production or verify measures one alone, for a profiler.
        const char* only = std::getenv("QVX_BENCH_ONLY");
        const std::string which = only != nullptr ? only : "";
        const size_t bytes = size_t{16} << 20;
        const double production =
            which.empty() || which == "production"
                ? MeasureQuarvex(qvx::SystemMode::Simulated, bytes).NanosecondsPerByte
                : -1;
        const double verified =
            which.empty() || which == "verify"
                ? MeasureQuarvex(qvx::SystemMode::Simulated, bytes, true).NanosecondsPerByte
                : -1;
        const double socat = which.empty() ? MeasureSocat(bytes).NanosecondsPerByte : -1;
        std::printf("CPU per byte on the simulated machine: production %s ns, verifier on %s ns; "
                    "socat pty pair %s ns\n",
                    Figure(production, 1).c_str(), Figure(verified, 1).c_str(),
                    Figure(socat, 1).c_str());
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--latency") == 0) {
        const auto latency = MeasureQuarvexLatency(10000);
        std::printf("one byte WriteFile -> ReadFile (\"ComPeriod\" 1): p50 %.3f ms, p99 %.3f ms\n",
                    latency.first, latency.second);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0) {
        std::printf("256 ports open: %.1f KiB per port beyond the input ring\n",
                    MeasureMemoryPerPort(128) / 1024);
        return 0;
    }
    const size_t total = quick ? (size_t{4} << 20) : (size_t{16} << 20);
    const int samples = quick ? 1000 : 10000;

    const Throughput simulated = MeasureQuarvex(qvx::SystemMode::Simulated, total);
    const Throughput verified = MeasureQuarvex(qvx::SystemMode::Simulated, total, true);
    const Throughput realTime = MeasureQuarvex(qvx::SystemMode::RealTime, total / 8);
    const Throughput socatRun = MeasureSocat(total);
    const double socat = socatRun.MegabytesPerSecond;
    const auto latency = MeasureQuarvexLatency(samples);
    const auto socatLatency = MeasureSocatLatency(samples);
    const double idle = MeasureIdle(128, quick ? 3 : 10, 20);
    const double idleFast = MeasureIdle(128, quick ? 3 : 10, 1);
    const double memory = MeasureMemoryPerPort(128);
    const auto control = MeasureControlRoundTrip(quick ? 5 : 25);

    std::printf("| Measure | Quarvex | socat pty pair | ratio |\n|---|---|---|---|\n");
    std::printf(
        "| CPU per byte, COM10 -> COM11, 64 KiB writes (simulated production machine) | %s ns/B "
        "(%s MB/s per core) | %s ns/B (%s MB/s per core) | %s |\n",
        Figure(simulated.NanosecondsPerByte, 1).c_str(),
        Figure(1e3 / simulated.NanosecondsPerByte, 0).c_str(),
        Figure(socatRun.NanosecondsPerByte, 1).c_str(),
        socatRun.NanosecondsPerByte > 0 ? Figure(1e3 / socatRun.NanosecondsPerByte, 0).c_str()
                                        : "n/a",
        socatRun.NanosecondsPerByte > 0
            ? Figure(socatRun.NanosecondsPerByte / simulated.NanosecondsPerByte, 2).c_str()
            : "n/a");
    std::printf(
        "| the same, verifier on (as the tests run) | %s ns/B (%s MB/s per core) | | %s |\n",
        Figure(verified.NanosecondsPerByte, 1).c_str(),
        Figure(1e3 / verified.NanosecondsPerByte, 0).c_str(),
        socatRun.NanosecondsPerByte > 0
            ? Figure(socatRun.NanosecondsPerByte / verified.NanosecondsPerByte, 2).c_str()
            : "n/a");
    std::printf("| throughput, 64 KiB writes and reads | %s MB/s (real time, \"ComPeriod\" 1) | "
                "%s MB/s | %s |\n",
                Figure(realTime.MegabytesPerSecond, 2).c_str(), Figure(socat, 1).c_str(),
                socat > 0 ? Figure(realTime.MegabytesPerSecond / socat, 3).c_str() : "n/a");
    std::printf("| one byte WriteFile -> ReadFile, p50 / p99 | %s / %s ms | %s / %s ms | |\n",
                Figure(latency.first, 3).c_str(), Figure(latency.second, 3).c_str(),
                Figure(socatLatency.first, 3).c_str(), Figure(socatLatency.second, 3).c_str());
    std::printf("| 256 ports open and idle, CPU of the process | %s %% of a core (\"ComPeriod\" "
                "20), %s %% (1) | | |\n",
                Figure(idle, 1).c_str(), Figure(idleFast, 1).c_str());
    std::printf("| 256 ports open, memory per port beyond its 4 KiB input ring | %s KiB | | |\n",
                Figure(memory / 1024, 1).c_str());
    std::printf("| GetCommState / SetCommState through the Win32 layer (simulated machine) | "
                "%s / %s us | | |\n",
                Figure(control.first, 2).c_str(), Figure(control.second, 2).c_str());
    return 0;
}
