// The service's cost: an IOCTL_SERIAL_GET_BAUD_RATE round trip from another process, beside
// the same call in the service's own process; and a pair used from two processes, as bytes
// per send tick beside the same pair used from two threads of one process. Real-time machine,
// "ComPeriod" 1 ms: a port hands over at most 127 bytes per tick.
//   quarvex_service_bench [ROUND_TRIPS] [KIB]

#include "host/service/service.h"
#include "host/system.h"
#include "host/win32/bridge.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD GET_BAUD_RATE = 0x1B0050;
constexpr double BYTES_PER_TICK = 127.0;

// What a measuring process reports back through shared memory.
struct Shared
{
    double Median = 0; // round trip, microseconds
    double P99 = 0;
    double TicksMs = 0; // first to last byte read, milliseconds
    size_t Bytes = 0;
};

HANDLE Open(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

void RoundTrips(const char* name, int count, Shared* out)
{
    HANDLE port = Open(name);
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        ULONG rate = 0;
        DWORD returned = 0;
        const Clock::time_point start = Clock::now();
        DeviceIoControl(port, GET_BAUD_RATE, NULL, 0, &rate, sizeof(rate), &returned, NULL);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    CloseHandle(port);
    std::sort(samples.begin(), samples.end());
    out->Median = samples[samples.size() / 2];
    out->P99 = samples[samples.size() * 99 / 100];
}

void Writer(const char* name, size_t bytes)
{
    HANDLE port = Open(name);
    const std::string chunk(65536, 'w');
    for (size_t at = 0; at < bytes; at += chunk.size()) {
        DWORD written = 0;
        WriteFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &written, NULL);
    }
    CloseHandle(port);
}

void Reader(const char* name, size_t bytes, Shared* out)
{
    HANDLE port = Open(name);
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    SetCommTimeouts(port, &timeouts);
    std::vector<char> buffer(8192);
    size_t got = 0;
    Clock::time_point first;
    while (got < bytes) {
        DWORD read = 0;
        if (!ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &read, NULL) ||
            read == 0) {
            break;
        }
        if (got == 0) {
            first = Clock::now();
        }
        got += read;
    }
    out->TicksMs = std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    out->Bytes = got;
    CloseHandle(port);
}

// Runs `body` in a process of its own that uses the service.
pid_t Spawn(const std::string& socket, void (*body)(Shared*, size_t), Shared* out, size_t arg)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::string error;
        if (!qvx::win32::UseService(socket, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            _exit(1);
        }
        body(out, arg);
        qvx::win32::StopUsingService();
        _exit(0);
    }
    return pid;
}

void Reap(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
}

double PerTick(const Shared& result)
{
    // The first block read arrived at a tick; each later tick carries the rest.
    return result.TicksMs > 0
               ? (static_cast<double>(result.Bytes) - BYTES_PER_TICK) / result.TicksMs
               : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int trips = argc > 1 ? std::atoi(argv[1]) : 5000;
    const size_t bytes = (argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 256) * 1024;
    auto* shared = static_cast<Shared*>(mmap(nullptr, 4 * sizeof(Shared), PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    char folder[] = "/tmp/qvx-bench-XXXXXX";
    if (shared == MAP_FAILED || mkdtemp(folder) == nullptr) {
        return 1;
    }
    qvx::SystemOptions options;
    // The built-in configuration: COM5 and COM6 as a pair, "ComPeriod" 1 ms.
    std::string error;
    std::unique_ptr<qvx::System> system = qvx::System::Boot(options, &error);
    qvx::service::ServiceOptions serviceOptions;
    serviceOptions.SocketPath = std::string(folder) + "/quarvex.sock";
    std::unique_ptr<qvx::service::Service> service =
        system != nullptr ? qvx::service::Service::Start(serviceOptions, &error) : nullptr;
    if (service == nullptr) {
        std::fprintf(stderr, "quarvex_service_bench: %s\n", error.c_str());
        return 1;
    }
    const std::string& socket = serviceOptions.SocketPath;

    RoundTrips("COM5", trips, &shared[0]);
    Reap(Spawn(
        socket, [](Shared* out, size_t count) { RoundTrips("COM5", static_cast<int>(count), out); },
        &shared[1], static_cast<size_t>(trips)));
    std::printf("GET_BAUD_RATE round trip, %d calls: in the service's process median %.2f us "
                "(p99 %.2f); from another process median %.2f us (p99 %.2f)\n",
                trips, shared[0].Median, shared[0].P99, shared[1].Median, shared[1].P99);

    std::thread localReader([&] { Reader("COM6", bytes, &shared[2]); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Writer("COM5", bytes);
    localReader.join();
    const pid_t reader = Spawn(
        socket, [](Shared* out, size_t count) { Reader("COM6", count, out); }, &shared[3], bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const pid_t writer = Spawn(
        socket, [](Shared*, size_t count) { Writer("COM5", count); }, nullptr, bytes);
    Reap(writer);
    Reap(reader);
    const double local = PerTick(shared[2]);
    const double remote = PerTick(shared[3]);
    std::printf("pair COM5 -> COM6, %zu KiB, bytes per 1 ms send tick: one process %.1f "
                "(%.1f %% of 127), two processes through the service %.1f (%.1f %%); "
                "ratio %.3f\n",
                bytes / 1024, local, 100 * local / BYTES_PER_TICK, remote,
                100 * remote / BYTES_PER_TICK, local > 0 ? remote / local : 0);
    service->Stop();
    const std::string report = system->Shutdown();
    rmdir(folder);
    if (!report.empty() || shared[3].Bytes != bytes || shared[2].Bytes != bytes) {
        std::fprintf(stderr, "quarvex_service_bench: incomplete: %s\n", report.c_str());
        return 1;
    }
    return 0;
}
