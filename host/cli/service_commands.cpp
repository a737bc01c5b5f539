// The service side of the tool: `run` sharing its machine over a socket, `status` asking a
// running service, and the choice of the port commands between a service and a machine of
// their own.

#include "host/cli/commands.h"

#include "host/service/client.h"
#include "host/win32/bridge.h"

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

std::string ClientSocket(const CommonOptions& options)
{
    if (!options.Socket.empty()) {
        return options.Socket;
    }
    const char* environment = std::getenv("QUARVEX_SOCKET"); // NOLINT(concurrency-mt-unsafe)
    return environment != nullptr ? environment : "";
}

namespace {

// The ports of the service at `path` (through `client`, connected when NULL); FALSE and why
// when it cannot tell.
bool QueryPorts(const std::string& path, std::vector<service::PortState>* ports, std::string* error,
                std::shared_ptr<service::Client>* connection = nullptr)
{
    std::shared_ptr<service::Client> client =
        connection != nullptr && *connection != nullptr && (*connection)->Alive()
            ? *connection
            : service::Client::Connect(path, error);
    std::vector<uint8_t> reply;
    if (client == nullptr) {
        return false;
    }
    if (connection != nullptr) {
        *connection = client;
    }
    if (!client->Call(service::Type::QueryStatus, {}, &reply)) {
        *error = client->LostReason();
        return false;
    }
    service::Reader reader(reply);
    if (!service::DecodePorts(reader, ports)) {
        *error = "the service at " + path + " sent a malformed status";
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<PortHost> PortHost::Open(const CommonOptions& options)
{
    std::unique_ptr<PortHost> host(new PortHost());
    host->socket_ = ClientSocket(options);
    if (host->socket_.empty()) {
        host->system_ = BootFromOptions(options, SystemMode::RealTime);
        return host->system_ != nullptr ? std::move(host) : nullptr;
    }
    std::string error;
    if (!win32::UseService(host->socket_, &error)) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
        return nullptr;
    }
    std::fprintf(stderr, "quarvex: using the service at %s\n", host->socket_.c_str());
    return host;
}

PortHost::~PortHost()
{
    (void)Finish(true);
}

bool PortHost::PortPeer(const std::string& portName, std::string* description,
                        PeerStats* stats) const
{
    if (system_ != nullptr) {
        return system_->PortPeer(portName, description, stats);
    }
    std::vector<service::PortState> ports;
    std::string error;
    if (!QueryPorts(socket_, &ports, &error, &status_)) {
        return false;
    }
    for (const service::PortState& port : ports) {
        if (port.PortName == portName && !port.Peer.empty()) {
            *description = port.Peer;
            stats->ToPort = port.PeerToPort;
            stats->FromPort = port.PeerFromPort;
            stats->Dropped = port.PeerDropped;
            stats->Waiting = port.PeerWaiting;
            return true;
        }
    }
    return false;
}

int PortHost::Finish(bool quiet)
{
    if (system_ != nullptr) {
        std::unique_ptr<System> system = std::move(system_);
        return FinishSystem(*system, quiet);
    }
    if (!socket_.empty()) {
        socket_.clear();
        status_ = nullptr;
        win32::StopUsingService();
    }
    return EXIT_OK;
}

int RunStatus(const CommonOptions& options, bool list)
{
    std::string path = ClientSocket(options);
    path = path.empty() ? service::DefaultSocketPath() : path;
    if (path.empty()) {
        std::fprintf(stderr, "quarvex: no service socket: give --socket PATH or set "
                             "QUARVEX_SOCKET\n");
        return EXIT_FAILED;
    }
    std::vector<service::PortState> ports;
    std::string error;
    if (!QueryPorts(path, &ports, &error)) {
        std::fprintf(stderr, "quarvex: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    if (list) {
        std::fprintf(stderr, "quarvex: using the service at %s\n", path.c_str());
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
