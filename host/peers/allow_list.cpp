#include "host/peers/allow_list.h"

#include "host/peers/peer_factory.h"

#include <cstring>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace qvx {

bool ParseInetAddress(int family, const std::string& text, void* bytes)
{
#ifdef _WIN32
    // inet_pton arrived with Vista; this parser is in every ws2_32 (after WSAStartup). It
    // also takes a port, brackets and a scope, which inet_pton refuses.
    if (text.find_first_of(family == AF_INET ? ":[]%" : "[]%") != std::string::npos) {
        return false;
    }
    sockaddr_storage address{};
    int length = sizeof(address);
    std::string copy = text;
    if (WSAStringToAddressA(copy.data(), family, nullptr, reinterpret_cast<sockaddr*>(&address),
                            &length) != 0) {
        return false;
    }
    if (family == AF_INET) {
        memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
    } else {
        memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16);
    }
    return true;
#else
    return inet_pton(family, text.c_str(), bytes) == 1;
#endif
}

bool AllowList::Add(const std::string& entries, std::string* error)
{
    size_t start = 0;
    while (start <= entries.size()) {
        const size_t comma = std::min(entries.find(',', start), entries.size());
        const std::string text = entries.substr(start, comma - start);
        start = comma + 1;
        const size_t slash = text.find('/');
        std::string address = text.substr(0, slash);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        Entry entry;
        if (ParseInetAddress(AF_INET, address, entry.Bytes)) {
            entry.Prefix = 32;
        } else if (ParseInetAddress(AF_INET6, address, entry.Bytes)) {
            entry.V6 = true;
            entry.Prefix = 128;
        } else {
            *error = "bad address in allow list: \"" + MessageText(text) +
                     "\" (ADDRESS/PREFIX, for example 192.168.1.0/24)";
            return false;
        }
        if (slash != std::string::npos) {
            const std::string prefix = text.substr(slash + 1);
            const unsigned most = entry.Prefix;
            if (prefix.empty() || prefix.size() > 3 ||
                prefix.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(prefix) > most) {
                *error = "bad prefix in allow list: \"" + MessageText(text) + "\" (0 to " +
                         std::to_string(most) + ")";
                return false;
            }
            entry.Prefix = static_cast<unsigned>(std::stoul(prefix));
        }
        entries_.push_back(entry);
    }
    return true;
}

bool AllowList::Admits(const sockaddr* address) const
{
    if (entries_.empty()) {
        return true;
    }
    bool v6 = false;
    uint8_t bytes[16] = {};
    if (address->sa_family == AF_INET) {
        memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            memcpy(bytes, in6->sin6_addr.s6_addr + 12, 4);
        } else {
            v6 = true;
            memcpy(bytes, in6->sin6_addr.s6_addr, 16);
        }
    } else {
        return false;
    }
    for (const Entry& entry : entries_) {
        if (entry.V6 != v6) {
            continue;
        }
        const unsigned whole = entry.Prefix / 8;
        const unsigned rest = entry.Prefix % 8;
        bool match = memcmp(bytes, entry.Bytes, whole) == 0;
        if (match && rest != 0) {
            const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
            match = (bytes[whole] & mask) == (entry.Bytes[whole] & mask);
        }
        if (match) {
            return true;
        }
    }
    return false;
}

std::string SocketAddressText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    const bool v4 = address->sa_family == AF_INET;
    const socklen_t length = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (v4 || address->sa_family == AF_INET6) {
        // getnameinfo formats both families on every system (inet_ntop is Vista's on Windows).
        getnameinfo(address, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST);
        port = ntohs(v4 ? reinterpret_cast<const sockaddr_in*>(address)->sin_port
                        : reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    }
    if (v4) {
        return std::string(host) + ":" + std::to_string(port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

bool IsEveryInterface(const std::string& host)
{
    return host == "0.0.0.0" || host == "::" || host == "[::]";
}

std::string EveryInterfaceWarning(const std::string& what)
{
    return "warning: " + what +
           " listens on every interface: anyone who can reach it can drive the serial line "
           "(--allow or allow= limits who may connect)";
}

} // namespace qvx
