// The peers a configuration can attach to a port, by description "<kind>[:<where>][,<option>]...":
//   none                         nothing at the far end (bytes the port sends are counted, gone)
//   loopback                     what the port transmits comes back to it
//   pair:<port>                  a null-modem cable to another port (whose peer is pair:<this>)
//   pty[:<name>|:<path>]         a Linux pseudo-terminal, linked at <path>, or at <name> (the
//                                port's name when none) in the folder for links: the
//                                folder quarvex in $XDG_RUNTIME_DIR, else a private
//                                /tmp/quarvex-<uid>
//   tcp-client:<host>:<port>     a raw TCP connection, made again when it drops
//   tcp-server:[<address>:]<port> raw TCP, one connection at a time, on 127.0.0.1 unless an
//                                address is given (0.0.0.0 or [::] for every interface)
//   rfc2217:<host>:<port>        a network serial server (telnet COM-PORT-OPTION); each baud
//                                rate the port announces becomes SET-BAUDRATE
// An IPv6 address goes in brackets: [::1]:7000.
// Options:
//   line-speed     loopback, pair: deliver at the rate the sending port announced, 10 bits per
//                  byte (9600 until it announces one); bridges always pace so
//   xonxoff        the port's transmitter obeys Xoff: it is sent Xoff when half the far
//                  side's buffer is held and Xon under a quarter; a bridge also pauses on the
//                  port's own Xoff and keeps the flow characters off the far side (a cable
//                  carries them to the other port, as a null-modem does)
//   buffer=<n>     bytes held for the far side, 1024 to 1073741824 (default 1048576); what
//                  does not fit is dropped and counted in Stats().Dropped and the trace
//   retry=<ms>     tcp-client, rfc2217: pause between connection attempts (default 500)
//   allow=<address>/<prefix>  tcp-server: accept callers from these addresses only (may be
//                  given more than once)
// While the port cannot take more (its Xoff, or a full delivery queue) a bridge stops reading
// its terminal or socket. Each peer is built on PeerEndpoint and detaches when destroyed
// (PASSIVE_LEVEL).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

struct PeerStats
{
    uint64_t ToPort = 0;       // bytes handed to the port
    uint64_t FromPort = 0;     // data bytes the port transmitted
    uint64_t Dropped = 0;      // bytes that had to be dropped (counted, never silent)
    uint64_t Connections = 0;  // connections made (bridges)
    uint64_t Discarded = 0;    // protocol bytes from the network that made no sense (ignored)
    uint32_t LastBaudRate = 0; // the rate a port last announced to this peer (0: none yet)
    // Bytes from the port held for the far side that it has not taken yet (bridges: still
    // buffered, or sent and not yet acknowledged by the far side's TCP or read from the
    // terminal).
    uint64_t Waiting = 0;
};

class Peer
{
  public:
    virtual ~Peer() = default;
    // One line for a listing, for example "pair COM5 <-> COM6".
    virtual std::string Describe() const = 0;
    virtual PeerStats Stats() const = 0;
    // Whether `port` is one of the ports this peer is the far side of.
    virtual bool Serves(const std::u16string& port) const = 0;
};

// A port and the description of its peer.
struct PeerRequest
{
    std::u16string PortName;
    std::string Description;
};

// Checks a description alone (kind and argument syntax); a message for the user on failure.
bool CheckPeerDescription(const std::string& description, std::string* error);

// What a set of ports' peers need beyond their syntax, checked without attaching them: a pair's
// other end names it back with the same options, a bridge's address resolves, a listening
// address is free, a terminal link can be made. One entry per request, empty when it is fine.
std::vector<std::string> CheckPeers(const std::vector<PeerRequest>& requests);

// Where peers' messages about their connections go besides the machine's trace (the tool
// prints them on standard error); an empty function sends them nowhere else. Any thread.
void SetPeerNotice(std::function<void(const std::string&)> notice);

// A port name as the configuration, the peers and the tool accept it: COM1 to COM4096, in any
// case, without leading zeros.
bool IsPortName(const std::string& name);
constexpr const char* PORT_NAME_RULE = "COM1 to COM4096";

// User text as a message quotes it: control characters shown as '?', and a long text cut to
// its start and its length.
std::string MessageText(const std::string& text);

// Builds the peers of a set of ports; a pair is built once, from the two requests that name
// each other. On failure nothing is attached and `error` says why.
bool CreatePeers(const std::vector<PeerRequest>& requests,
                 std::vector<std::unique_ptr<Peer>>* peers, std::string* error);

} // namespace qvx
