// A peer description, parsed: the text a configuration names per port (see peer_factory.h for
// the syntax).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

enum class PeerKind { None, Loopback, Pair, Pty, TcpClient, TcpServer, Rfc2217 };

struct PeerConfig
{
    PeerKind Kind = PeerKind::None;
    std::string Text;     // the description as written
    std::string PairPort; // pair: the other port
    std::string Path;     // pty: where the symbolic link goes, as written (empty: the port's name)
    std::string Host;     // tcp-client, rfc2217: where to connect; tcp-server: address to bind
                          // (127.0.0.1 unless given); an IPv6 address without its brackets
    uint16_t TcpPort = 0;
    bool LineSpeed = false;   // loopback, pair: deliver at the announced rate
    bool XonXoff = false;     // the port's transmitter obeys Xoff: throttle it instead of dropping
    size_t Buffer = 1u << 20; // bytes held for the far side before dropping
    uint32_t RetryMs = 500;   // tcp-client, rfc2217: pause between connection attempts
    std::vector<std::string> Allow; // tcp-server: ADDRESS/PREFIX of the callers it accepts
};

// "host:port" of a config as messages show it ([::1]:7000 for IPv6).
std::string AddressText(const std::string& host, uint16_t port);

constexpr size_t MIN_PEER_BUFFER = 1024;
constexpr size_t MAX_PEER_BUFFER = size_t{1} << 30;

// Parses `text`; on failure a message for the user in `error`.
bool ParsePeerDescription(const std::string& text, PeerConfig* config, std::string* error);

} // namespace qvx
