// The peers a configuration can attach to a port, by description:
//   none                  nothing at the far end (bytes the port sends are dropped)
//   loopback              what the port transmits comes back to it
//   pair:<port>           a null-modem cable to another port (whose peer is pair:<this port>)
// Each peer is built on PeerEndpoint and detaches when destroyed (PASSIVE_LEVEL).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

struct PeerStats
{
    uint64_t ToPort = 0;       // bytes handed to the port
    uint64_t FromPort = 0;     // data bytes the port transmitted
    uint64_t Dropped = 0;      // bytes that had to be dropped (counted, never silent)
    uint32_t LastBaudRate = 0; // the rate a port last announced to this peer (0: none yet)
};

class Peer
{
  public:
    virtual ~Peer() = default;
    // One line for a listing, for example "pair COM5 <-> COM6".
    virtual std::string Describe() const = 0;
    virtual PeerStats Stats() const = 0;
};

// A port and the description of its peer.
struct PeerRequest
{
    std::u16string PortName;
    std::string Description;
};

// Checks a description alone (kind and argument syntax); a message for the user on failure.
bool CheckPeerDescription(const std::string& description, std::string* error);

// Builds the peers of a set of ports; a pair is built once, from the two requests that name
// each other. On failure nothing is attached and `error` says why.
bool CreatePeers(const std::vector<PeerRequest>& requests,
                 std::vector<std::unique_ptr<Peer>>* peers, std::string* error);

} // namespace qvx
