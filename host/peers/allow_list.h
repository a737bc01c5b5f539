// Which network clients a listening peer or server accepts: address/prefix entries, IPv4 or
// IPv6 (an IPv4 client seen on an IPv6 socket is matched as IPv4). Empty admits everyone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace qvx {

class AllowList
{
  public:
    // Adds "ADDRESS[/PREFIX]" entries separated by commas; FALSE with a message naming the bad
    // entry.
    bool Add(const std::string& entries, std::string* error);
    bool Empty() const { return entries_.empty(); }
    bool Admits(const sockaddr* address) const;

  private:
    struct Entry
    {
        bool V6 = false;
        uint8_t Bytes[16] = {};
        unsigned Prefix = 0;
    };
    std::vector<Entry> entries_;
};

// An IPv4 (AF_INET, 4 bytes) or IPv6 (AF_INET6, 16 bytes) address in text to its bytes;
// FALSE when `text` is not one.
bool ParseInetAddress(int family, const std::string& text, void* bytes);

// Refused connections, closed in order: our side is shut at once and the socket closed when
// the client has closed its side (or after a while), so the client reads the end of the
// stream instead of a reset. Not thread-safe: the listener's thread owns it.
class OrderlyClose
{
  public:
    OrderlyClose() = default;
    ~OrderlyClose();
    OrderlyClose(const OrderlyClose&) = delete;
    OrderlyClose& operator=(const OrderlyClose&) = delete;

    // Sends `text` (may be empty) and our end of the stream on `fd`, which it then owns.
    void Add(int fd, const std::string& text);
    // The sockets to watch for input; Service when one has some.
    void Descriptors(std::vector<int>* fds) const;
    // Reads what the clients sent and closes the sockets whose clients have closed, or that
    // waited too long.
    void Service();

  private:
    struct Entry
    {
        int Fd;
        std::chrono::steady_clock::time_point Since;
    };
    std::vector<Entry> entries_;
};

// A socket address as messages show it: 127.0.0.1:5000, [::1]:5000.
std::string SocketAddressText(const sockaddr* address);

// Whether a listening address means every interface (0.0.0.0, ::, or [::]).
bool IsEveryInterface(const std::string& host);

// The warning printed for a listener on every interface.
std::string EveryInterfaceWarning(const std::string& what);

} // namespace qvx
