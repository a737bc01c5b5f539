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

std::atomic<bool> g_serveStatus{false};

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

// The port in the configuration, with something at its far side; else a message.
bool ServedPortCheck(const CommonOptions& options, const std::string& port)
{
    std::vector<SystemPort> ports;
    if (!InspectFromOptions(options, &ports)) {
        return false;
    }
    const SystemPort* found = nullptr;
    for (const SystemPort& configured : ports) {
        found = Upper(configured.PortName) == port ? &configured : found;
    }
    if (found == nullptr) {
        std::fprintf(stderr, "quarvex: unknown port %s\n", port.c_str());
        return false;
    }
    const std::string problem =
        found->Problem.empty() ? FarSideProblem("serve", *found) : found->Problem;
    if (!problem.empty()) {
        std::fprintf(stderr, "quarvex: %s\n", problem.c_str());
        return false;
    }
    return true;
}

} // namespace

int RunServe(const CommonOptions& options, const std::vector<std::string>& positional,
             const std::map<std::string, std::string>& named)
{
    const auto address = named.find("--rfc2217");
    if (positional.size() != 1 || address == named.end()) {
        std::fprintf(stderr, "quarvex: serve needs a port and an address, as serve COM5 "
                             "--rfc2217 2217 (quarvex --help for usage)\n");
        return EXIT_USAGE;
    }
    const std::string port = Upper(positional[0]);
    Rfc2217Server server(port, address->second);
    std::string error;
    const auto allow = named.find("--allow");
    if (allow != named.end() && !server.Allow(allow->second, &error)) {
        std::fprintf(stderr, "quarvex: --allow: %s (quarvex --help for usage)\n", error.c_str());
        return EXIT_USAGE;
    }
    if (ClientSocket(options).empty() && !ServedPortCheck(options, port)) {
        return EXIT_FAILED;
    }
    std::unique_ptr<PortHost> system = PortHost::Open(options);
    if (system == nullptr) {
        return EXIT_FAILED;
    }
    if (!options.Quiet) {
        server.SetNotice(
            [](const std::string& line) { std::fprintf(stderr, "quarvex: %s\n", line.c_str()); });
    }
    if (!server.Start(&error)) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
        (void)system->Finish(true);
        return EXIT_FAILED;
    }
    std::printf("%s\n", server.Status().c_str());
    std::printf("quarvex: Ctrl-C stops, SIGUSR1 prints the status\n");
    std::fflush(stdout);
    std::signal(SIGUSR1, OnServeStatus);
    while (StopSignal() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_serveStatus.exchange(false)) {
            std::printf("status: %s\n", server.Status().c_str());
            std::fflush(stdout);
        }
    }
    server.Stop();
    std::printf("quarvex: stopping (%s)\n", SignalName(StopSignal()));
    return system->Finish();
}

} // namespace qvx::cli
