// The service side of the tool: `run` sharing its machine over a socket, `status` asking a
// running service, and the choice of the port commands between a service and a machine of
// their own.

#include "host/cli/commands.h"

#include "host/service/client.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace qvx::cli {

std::unique_ptr<service::Service> StartService(const CommonOptions& options, System& system,
                                               const std::string& socketPath)
{
    service::ServiceOptions serviceOptions;
    serviceOptions.SocketPath = socketPath;
    const bool quiet = options.Quiet;
    serviceOptions.Notice = [quiet](const std::string& line) {
        // Dropped clients are always told; arrivals and departures unless --quiet.
        if (!quiet || line.find(" dropped: ") != std::string::npos) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    };
    serviceOptions.Ports = [&system] {
        std::vector<service::PortState> ports;
        for (const SystemPort& port : system.Ports()) {
            service::PortState state;
            state.PortName = port.PortName;
            state.DeviceName = port.DeviceName;
            PeerStats stats;
            if (system.PortPeer(port.PortName, &state.Peer, &stats)) {
                state.PeerToPort = stats.ToPort;
                state.PeerFromPort = stats.FromPort;
                state.PeerDropped = stats.Dropped;
                state.PeerWaiting = stats.Waiting;
            }
            ports.push_back(std::move(state));
        }
        return ports;
    };
    std::string error;
    std::unique_ptr<service::Service> running = service::Service::Start(serviceOptions, &error);
    if (running == nullptr) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
    }
    return running;
}

std::string ServiceSocketFor(const std::string& socketOption)
{
    if (!socketOption.empty()) {
        return socketOption;
    }
    const char* environment = std::getenv("QUARVEX_SOCKET");
    if (environment != nullptr && environment[0] != '\0') {
        return environment;
    }
    return service::DefaultSocketPath();
}

int RunStatus(const std::string& socketOption)
{
    const std::string path = ServiceSocketFor(socketOption);
    if (path.empty()) {
        std::fprintf(stderr, "quarvex: no service socket: give --socket PATH or set "
                             "QUARVEX_SOCKET\n");
        return EXIT_FAILED;
    }
    std::string error;
    std::shared_ptr<service::Client> client = service::Client::Connect(path, &error);
    std::vector<uint8_t> reply;
    if (client == nullptr || !client->Call(service::Type::QueryStatus, {}, &reply)) {
        std::fprintf(stderr, "quarvex: %s\n",
                     client == nullptr ? error.c_str() : client->LostReason().c_str());
        return EXIT_FAILED;
    }
    service::Reader reader(reply);
    std::vector<service::PortState> ports;
    if (!service::DecodePorts(reader, &ports)) {
        std::fprintf(stderr, "quarvex: the service at %s sent a malformed status\n", path.c_str());
        return EXIT_FAILED;
    }
    std::printf("service %s: %zu port(s)\n", path.c_str(), ports.size());
    for (const service::PortState& port : ports) {
        const std::string user = port.Open ? "open by pid " + std::to_string(port.Pid) + " uid " +
                                                 std::to_string(port.Uid)
                                           : std::string("closed");
        std::printf("%-8s %-26s %s; peer %s: %llu bytes to the port, %llu from it, %llu dropped",
                    port.PortName.c_str(), port.DeviceName.c_str(), user.c_str(),
                    port.Peer.empty() ? "none" : port.Peer.c_str(),
                    static_cast<unsigned long long>(port.PeerToPort),
                    static_cast<unsigned long long>(port.PeerFromPort),
                    static_cast<unsigned long long>(port.PeerDropped));
        if (port.Open) {
            std::printf("; since opened %llu received, %llu sent, %llu error(s)",
                        static_cast<unsigned long long>(port.Received),
                        static_cast<unsigned long long>(port.Transmitted),
                        static_cast<unsigned long long>(port.Errors));
        }
        std::printf("\n");
    }
    return EXIT_OK;
}

} // namespace qvx::cli
