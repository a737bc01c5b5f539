#include "host/peers/peer_description.h"

#include "host/peers/allow_list.h"
#include "host/peers/peer_factory.h"

#include <vector>

namespace qvx {

namespace {

std::vector<std::string> SplitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

// A decimal number without sign or spaces, at most `maximum`.
bool ParseNumber(const std::string& text, uint64_t maximum, uint64_t* value)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    if (result > maximum) {
        return false;
    }
    *value = result;
    return true;
}

bool ParseTcpPort(const std::string& text, uint16_t* port, std::string* error)
{
    uint64_t value = 0;
    if (!ParseNumber(text, 65535, &value) || value == 0) {
        *error = "bad TCP port \"" + MessageText(text) + "\" (1 to 65535)";
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool ValidHost(const std::string& host)
{
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "host:port" (or "port" alone when `defaultHost` is not empty); an IPv6 host in brackets.
bool ParseAddress(const std::string& text, const std::string& defaultHost, PeerConfig* config,
                  std::string* error)
{
    const size_t colon = text.rfind(':');
    std::string host;
    std::string port = text;
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else if (defaultHost.empty()) {
        *error = "needs host:port, got \"" + MessageText(text) + "\"";
        return false;
    } else {
        host = defaultHost;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        uint8_t ignored[16];
        if (!ParseInetAddress(AF_INET6, host, ignored)) {
            *error = "bad IPv6 address \"" + MessageText(host) + "\"";
            return false;
        }
    } else if (!ValidHost(host)) {
        *error = "bad host name \"" + MessageText(host) + "\"" +
                 (host.find(':') != std::string::npos ? " (an IPv6 address goes in brackets)" : "");
        return false;
    }
    if (!ParseTcpPort(port, &config->TcpPort, error)) {
        return false;
    }
    config->Host = host;
    return true;
}

bool ParseOption(const std::string& option, PeerConfig* config, std::string* error)
{
    const bool cable = config->Kind == PeerKind::Loopback || config->Kind == PeerKind::Pair;
    const bool dials = config->Kind == PeerKind::TcpClient || config->Kind == PeerKind::Rfc2217;
    const size_t equals = option.find('=');
    const std::string name = option.substr(0, equals);
    const std::string value =
        equals == std::string::npos ? std::string() : option.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    uint64_t number = 0;
    if (name == "line-speed" && !hasValue && cable) {
        config->LineSpeed = true;
        return true;
    }
    if (name == "xonxoff" && !hasValue) {
        config->XonXoff = true;
        return true;
    }
    if (name == "buffer" && hasValue) {
        if (!ParseNumber(value, MAX_PEER_BUFFER, &number) || number < MIN_PEER_BUFFER) {
            *error = "bad buffer size \"" + MessageText(value) + "\" (1024 to 1073741824 bytes)";
            return false;
        }
        config->Buffer = static_cast<size_t>(number);
        return true;
    }
    if (name == "allow" && hasValue && config->Kind == PeerKind::TcpServer) {
        AllowList check;
        if (!check.Add(value, error)) {
            return false;
        }
        config->Allow.push_back(value);
        return true;
    }
    if (name == "retry" && hasValue && dials) {
        if (!ParseNumber(value, 60000, &number) || number < 10) {
            *error = "bad retry interval \"" + MessageText(value) + "\" (10 to 60000 ms)";
            return false;
        }
        config->RetryMs = static_cast<uint32_t>(number);
        return true;
    }
    *error = "unknown or misplaced option \"" + MessageText(option) + "\"";
    return false;
}

struct KindName
{
    const char* Name;
    PeerKind Kind;
    bool NeedsArgument;
};

constexpr KindName KINDS[] = {
    {"none", PeerKind::None, false},
    {"loopback", PeerKind::Loopback, false},
    {"pair", PeerKind::Pair, true},
    {"pty", PeerKind::Pty, false},
    {"tcp-client", PeerKind::TcpClient, true},
    {"tcp-server", PeerKind::TcpServer, true},
    {"rfc2217", PeerKind::Rfc2217, true},
};

const char* const KNOWN =
    "known: none, loopback, pair:<port>, pty[:<path>], tcp-client:<host>:<port>, "
    "tcp-server:[<address>:]<port>, rfc2217:<host>:<port>";

} // namespace

std::string AddressText(const std::string& host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParsePeerDescription(const std::string& text, PeerConfig* config, std::string* error)
{
    *config = PeerConfig();
    config->Text = text;
    std::vector<std::string> parts = SplitOn(text, ',');
    const std::string head = parts[0];
    const size_t colon = head.find(':');
    const std::string kind = head.substr(0, colon);
    const std::string argument =
        colon == std::string::npos ? std::string() : head.substr(colon + 1);
    const KindName* found = nullptr;
    for (const KindName& entry : KINDS) {
        if (kind == entry.Name) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        *error = "unknown peer kind \"" + MessageText(kind) + "\" (" + KNOWN + ")";
        return false;
    }
    config->Kind = found->Kind;
    if (!found->NeedsArgument && colon != std::string::npos && found->Kind != PeerKind::Pty) {
        *error = "peer \"" + kind + "\" takes no argument";
        return false;
    }
    if (found->NeedsArgument && argument.empty()) {
        *error = "peer \"" + kind + "\" needs an argument (" + KNOWN + ")";
        return false;
    }
    std::string why;
    bool ok = true;
    switch (config->Kind) {
    case PeerKind::Pair:
        config->PairPort = argument;
        ok = IsPortName(argument);
        why = "\"" + MessageText(argument) + "\" is not a port name (" + PORT_NAME_RULE + ")";
        break;
    case PeerKind::Pty:
        // A bare name goes into the folder for links; anything else is an absolute path.
        config->Path = argument;
        ok = colon == std::string::npos ||
             (!argument.empty() && argument.back() != '/' && argument != "." && argument != ".." &&
              (argument[0] == '/' || argument.find('/') == std::string::npos));
        why = "needs an absolute path or a bare name for the link, got \"" + MessageText(argument) +
              "\"";
        break;
    case PeerKind::TcpClient:
    case PeerKind::Rfc2217:
        ok = ParseAddress(argument, std::string(), config, &why);
        break;
    case PeerKind::TcpServer:
        ok = ParseAddress(argument, "127.0.0.1", config, &why);
        break;
    default:
        break;
    }
    if (!ok) {
        *error = "peer \"" + kind + "\": " + why;
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        if (!ParseOption(parts[i], config, &why)) {
            *error = "peer \"";
            *error += kind;
            *error += "\": ";
            *error += why;
            return false;
        }
    }
    if (config->Kind == PeerKind::None && parts.size() > 1) {
        *error = "peer \"none\" takes no options";
        return false;
    }
    return true;
}

bool IsPortName(const std::string& name)
{
    if (name.size() < 4 || name.size() > 7 || (name[0] != 'C' && name[0] != 'c') ||
        (name[1] != 'O' && name[1] != 'o') || (name[2] != 'M' && name[2] != 'm') ||
        name[3] == '0' || name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return false;
    }
    return std::stoul(name.substr(3)) <= 4096;
}

std::string MessageText(const std::string& text)
{
    constexpr size_t LONGEST = 64;
    constexpr size_t SHOWN = 40;
    std::string shown = text.size() > LONGEST ? text.substr(0, SHOWN) : text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    if (text.size() > LONGEST) {
        shown += "... (" + std::to_string(text.size()) + " characters)";
    }
    return shown;
}

} // namespace qvx
