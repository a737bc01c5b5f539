#include "host/peers/peer_description.h"

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
        *error = "bad TCP port \"" + text + "\" (1 to 65535)";
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

// "host:port" (or "port" alone when `hostOptional`).
bool ParseAddress(const std::string& text, bool hostOptional, PeerConfig* config,
                  std::string* error)
{
    const size_t colon = text.rfind(':');
    std::string host;
    std::string port = text;
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    } else if (!hostOptional) {
        *error = "needs host:port, got \"" + text + "\"";
        return false;
    }
    if (colon != std::string::npos && !ValidHost(host)) {
        *error = "bad host name \"" + host + "\"";
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
            *error = "bad buffer size \"" + value + "\" (1024 to 1073741824 bytes)";
            return false;
        }
        config->Buffer = static_cast<size_t>(number);
        return true;
    }
    if (name == "retry" && hasValue && dials) {
        if (!ParseNumber(value, 60000, &number) || number < 10) {
            *error = "bad retry interval \"" + value + "\" (10 to 60000 ms)";
            return false;
        }
        config->RetryMs = static_cast<uint32_t>(number);
        return true;
    }
    *error = "unknown or misplaced option \"" + option + "\"";
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
    {"pty", PeerKind::Pty, true},
    {"tcp-client", PeerKind::TcpClient, true},
    {"tcp-server", PeerKind::TcpServer, true},
    {"rfc2217", PeerKind::Rfc2217, true},
};

const char* const KNOWN =
    "known: none, loopback, pair:<port>, pty:<path>, tcp-client:<host>:<port>, "
    "tcp-server:[<address>:]<port>, rfc2217:<host>:<port>";

} // namespace

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
        *error = "unknown peer kind \"" + kind + "\" (" + KNOWN + ")";
        return false;
    }
    config->Kind = found->Kind;
    if (!found->NeedsArgument && colon != std::string::npos) {
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
        break;
    case PeerKind::Pty:
        config->Path = argument;
        ok = argument[0] == '/' && argument.back() != '/';
        why = "needs an absolute path for the link, got \"" + argument + "\"";
        break;
    case PeerKind::TcpClient:
    case PeerKind::Rfc2217:
        ok = ParseAddress(argument, false, config, &why);
        break;
    case PeerKind::TcpServer:
        ok = ParseAddress(argument, true, config, &why);
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

} // namespace qvx
