// A peer description, parsed: the text a configuration names per port (see peer_factory.h for
// the syntax).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvx {

enum class PeerKind { None, Loopback, Pair, Pty, TcpClient, TcpServer, Rfc2217 };

struct PeerConfig
{
    PeerKind Kind = PeerKind::None;
    std::string Text;     // the description as written
    std::string PairPort; // pair: the other port
    std::string Path;     // pty: where the symbolic link goes
    std::string Host;     // tcp-client, rfc2217: where to connect; tcp-server: address to bind
    uint16_t TcpPort = 0;
    bool LineSpeed = false;   // loopback, pair: deliver at the announced rate
    bool XonXoff = false;     // the port's transmitter obeys Xoff: throttle it instead of dropping
    size_t Buffer = 1u << 20; // bytes held for the far side before dropping
    uint32_t RetryMs = 500;   // tcp-client, rfc2217: pause between connection attempts
};

constexpr size_t MIN_PEER_BUFFER = 1024;
constexpr size_t MAX_PEER_BUFFER = size_t{1} << 30;

// Parses `text`; on failure a message for the user in `error`.
bool ParsePeerDescription(const std::string& text, PeerConfig* config, std::string* error);

} // namespace qvx
