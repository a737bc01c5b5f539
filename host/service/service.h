// The service: this process's machine shared with other processes over a Unix stream socket
// (host/service/protocol.h). Each client connection has a reader thread, which checks every
// message and issues the client's calls through the Win32 layer's seam (host/win32/bridge.h),
// and a writer thread, which sends replies and completions from the connection's queue.
// Completions reach the queue through each request's completion callback: no thread waits on
// a request.
//
// Rules: handles belong to the connection that opened them; a connection that ends, however
// it ends, has its handles closed (cleanup cancels what they had outstanding). A client that
// breaks the protocol is dropped with a notice; so is one whose queue of unread replies
// passes its cap. The others are served meanwhile.
//
// Threads: Start and Stop from one thread; the machine must run in this process throughout.
#pragma once

#include "host/service/protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx::service {

// The socket `quarvex run` listens on when not told: $XDG_RUNTIME_DIR/quarvex.sock, else
// /run/quarvex/quarvex.sock for root; empty when neither applies.
std::string DefaultSocketPath();

struct ServiceOptions
{
    std::string SocketPath;
    // Clients at once; per client: open handles, outstanding requests and their bytes (more is
    // refused with STATUS_INSUFFICIENT_RESOURCES), and replies queued and not yet read (more drops
    // it).
    size_t MaxClients = 256; // connections beyond are told and closed
    size_t MaxHandles = 64;
    size_t MaxOutstanding = 1024;
    size_t MaxOutstandingBytes = size_t{64} << 20;
    size_t SendQueueLimit = size_t{8} << 20;
    // Connections, departures and dropped clients, one line each.
    std::function<void(const std::string&)> Notice;
    // The ports with their peers and the peers' counters (PortName, DeviceName, Peer and the
    // Peer* fields); when unset, every COMn link of the machine, without peers.
    std::function<std::vector<PortState>()> Ports;
};

class Service
{
  public:
    // Creates the socket's folder (0700) if it is missing, replaces a socket no service
    // answers on, and listens (mode 0660). NULL and a message when another service holds the
    // path or the socket cannot be made.
    static std::unique_ptr<Service> Start(const ServiceOptions& options, std::string* error);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Stops listening, closes every client's handles (their outstanding requests complete as
    // cancelled and are told), hangs up on each and removes the socket.
    void Stop();

    const std::string& SocketPath() const;
    size_t ClientCount() const;
    // Each port: its peer and counters, who has it open.
    std::vector<PortState> Ports() const;

    struct State;

  private:
    Service();
    std::unique_ptr<State> state_;
};

} // namespace qvx::service
