// qvxbridge: the far side of quarvexpeer.sys's user ports on the network. It attaches each
// port through the driver's control device (\\.\QuarvexPeer) and connects it to
// tcp-client:<host>:<port>, tcp-server:[<address>:]<port> or rfc2217:<host>:<port>, with the
// options of the Linux peers (host/peers/peer_factory.h): retry=, allow=, buffer=, xonxoff.
// The port's network target comes from the command line (COM5=tcp-client:10.0.0.2:7000):
// the driver's status list tells a port's kind, not its address.
//
// One thread runs every port's loop: it waits on each port's read and write completions and
// socket readiness at once, and on the stop event. Nothing is lost silently: bytes the driver
// dropped (its DROPPED records), bytes in flight on a lost connection and bytes still held
// at stop are counted and told through the notice function.
//
// No Win32, socket or kernel type appears here: tests include it beside kernel headers.
#pragma once

#include "host/peers/peer_description.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx::bridge {

// One port and what its far side is.
struct PortLink
{
    std::string Port; // COM5
    PeerConfig Config;
    bool BufferGiven = false; // buffer= was given: the driver holds that much for the port
};

// "COM5=tcp-client:host:port[,option]..." (only the network kinds); FALSE with a message.
bool ParsePortLink(const std::string& text, PortLink* link, std::string* error);

// What crossed a port's bridge, counted by the bridge.
struct PortCounters
{
    uint64_t ToPort = 0;      // bytes the driver took for the port
    uint64_t FromPort = 0;    // data bytes read from the port
    uint64_t Dropped = 0;     // bytes of the port the driver reported dropped
    uint64_t Undelivered = 0; // bytes the bridge held or sent and could not deliver
    uint64_t Connections = 0; // connections made
    uint32_t LastBaud = 0;    // the rate the port last announced
};

class Bridge
{
  public:
    using Notice = std::function<void(const std::string&)>;
    // `notice` gets one line per event (connections, drops, errors); any thread may not call
    // it concurrently: it is called from the thread running Run or Start.
    Bridge(std::vector<PortLink> links, Notice notice);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Opens the control device and attaches every port, and listens for tcp-server ports.
    // FALSE with a message (and nothing attached) when one of them fails.
    bool Start(std::string* error);
    // Moves bytes until Stop; then cancels, counts and detaches. After Start.
    void Run();
    // Makes Run return; any thread, any time (before Run too).
    void Stop();
    // The ports' counters, in the order of the links; after Run has returned.
    std::vector<PortCounters> Counters() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The program: console run, --install, --uninstall, --service (how the service manager starts
// it). `out` gets what the program prints. Returns the exit code.
int BridgeMain(const std::vector<std::string>& arguments, const Bridge::Notice& out);
// Stops a console run of BridgeMain (the console's Ctrl+C handler calls it).
void StopBridgeMain();

// The name the bridge is installed under as a Windows service.
constexpr const char* SERVICE_NAME = "QvxBridge";

} // namespace qvx::bridge
