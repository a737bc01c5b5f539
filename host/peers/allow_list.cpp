#include "host/peers/allow_list.h"

#include "host/peers/peer_factory.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

namespace qvx {

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
        if (inet_pton(AF_INET, address.c_str(), entry.Bytes) == 1) {
            entry.Prefix = 32;
        } else if (inet_pton(AF_INET6, address.c_str(), entry.Bytes) == 1) {
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

namespace {

// How long a refused client may take to close its side, and how many may wait at once.
constexpr auto CLOSING_WAIT = std::chrono::seconds(2);
constexpr size_t MOST_CLOSING = 16;

} // namespace

OrderlyClose::~OrderlyClose()
{
    for (const Entry& entry : entries_) {
        close(entry.Fd);
    }
}

void OrderlyClose::Add(int fd, const std::string& text)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (!text.empty()) {
        [[maybe_unused]] const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    shutdown(fd, SHUT_WR);
    if (entries_.size() >= MOST_CLOSING) {
        close(entries_.front().Fd);
        entries_.erase(entries_.begin());
    }
    entries_.push_back({fd, std::chrono::steady_clock::now()});
}

void OrderlyClose::Descriptors(std::vector<int>* fds) const
{
    for (const Entry& entry : entries_) {
        fds->push_back(entry.Fd);
    }
}

void OrderlyClose::Service()
{
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < entries_.size();) {
        char scratch[4096];
        ssize_t got;
        while ((got = recv(entries_[i].Fd, scratch, sizeof(scratch), 0)) > 0) {
        }
        const bool waiting = got < 0 && (errno == EAGAIN || errno == EINTR);
        if (waiting && now - entries_[i].Since < CLOSING_WAIT) {
            ++i;
            continue;
        }
        close(entries_[i].Fd);
        entries_.erase(entries_.begin() + static_cast<long>(i));
    }
}

std::string SocketAddressText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
        port = ntohs(in6->sin6_port);
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
