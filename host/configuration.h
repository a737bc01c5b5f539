// The .reg configuration as the host reads it before the registry loader sees it: decoded to
// UTF-8, bounded in size and in ports, and checked for what the loader cannot know (the value
// names the driver and the peers read, one key per port instance, port names, peers).
// Internal to host/.
#pragma once

#include <string>
#include <vector>

namespace qvx {

// A port as the configuration describes it, with the lines to name in messages.
struct ConfiguredPort
{
    std::string Instance; // the key below Enum\Root\PORTS
    int SectionLine = 0;
    std::string PortName;
    std::string Peer;
    int PeerLine = 0;
};

constexpr size_t MAX_CONFIGURATION_BYTES = size_t{1} << 20;
constexpr size_t MAX_CONFIGURED_PORTS = 256;

// The text of a configuration as the registry editor may save it (UTF-16 LE with its
// byte-order mark, UTF-8 with or without one; CRLF or LF) as UTF-8. FALSE with a message
// naming `name` when it is none of these or larger than MAX_CONFIGURATION_BYTES.
bool DecodeConfiguration(const std::string& raw, const std::string& name, std::string* text,
                         std::string* error);

// The ports of a decoded configuration, in the order of their keys. FALSE with a message
// naming `name` and the line for the first mistake.
bool ScanConfiguration(const std::string& text, const std::string& name,
                       std::vector<ConfiguredPort>* ports, std::string* error);

// "name:line: message", or "message" alone when there is no name.
std::string AtLine(const std::string& name, int line, const std::string& message);

} // namespace qvx
