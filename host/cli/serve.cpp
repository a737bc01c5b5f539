// quarvex serve: a port's application side over RFC 2217.

#include "host/cli/commands.h"
#include "host/serve/rfc2217_server.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace qvx::cli {

namespace {

std::atomic<bool> g_stopServing{false};
std::atomic<bool> g_serveStatus{false};

void OnStopServing(int)
{
    g_stopServing = true;
}

void OnServeStatus(int)
{
    g_serveStatus = true;
}

std::string Upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

int RunServe(const CommonOptions& options, const std::vector<std::string>& positional,
             const std::map<std::string, std::string>& named)
{
    const auto address = named.find("--rfc2217");
    if (positional.size() != 1 || address == named.end()) {
        std::fprintf(stderr, "quarvex: serve needs a port and an address, as serve COM5 "
                             "--rfc2217 127.0.0.1:2217 (quarvex --help for usage)\n");
        return EXIT_USAGE;
    }
    const std::string port = Upper(positional[0]);
    std::unique_ptr<System> system = BootFromOptions(options, SystemMode::RealTime);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    bool known = false;
    for (const SystemPort& configured : system->Ports()) {
        known = known || Upper(configured.PortName) == port;
    }
    if (!known) {
        std::fprintf(stderr, "quarvex: unknown port %s\n", port.c_str());
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    Rfc2217Server server(port, address->second);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
        (void)FinishSystem(*system, true);
        return EXIT_FAILED;
    }
    std::printf("%s\n", server.Status().c_str());
    std::printf("quarvex: Ctrl-C stops, SIGUSR1 prints the status\n");
    std::fflush(stdout);
    std::signal(SIGINT, OnStopServing);
    std::signal(SIGTERM, OnStopServing);
    std::signal(SIGUSR1, OnServeStatus);
    while (!g_stopServing) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_serveStatus.exchange(false)) {
            std::printf("status: %s\n", server.Status().c_str());
            std::fflush(stdout);
        }
    }
    server.Stop();
    std::printf("quarvex: stopping\n");
    return FinishSystem(*system);
}

} // namespace qvx::cli
