// The descriptors behind the bridges: a pseudo-terminal with a stable link, TCP as client or
// server, and RFC 2217 over a TCP client.
#include "host/peers/allow_list.h"
#include "host/peers/peer_link.h"
#include "host/peers/pty_link.h"
#include "host/peers/resolve.h"
#include "host/peers/stream_bridge.h"
#include "host/peers/telnet_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace qvx {

namespace {

std::string Errno(const std::string& what)
{
    return what + ": " + ErrorText(errno);
}

struct SpeedName
{
    uint32_t Rate;
    speed_t Speed;
};

constexpr SpeedName SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

class PtyTransport final : public Transport
{
  public:
    PtyTransport(const std::u16string& port, std::string path) : port_(port), path_(std::move(path))
    {
    }
    ~PtyTransport() override
    {
        link_.Remove();
        if (slave_ >= 0) {
            close(slave_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    bool Open(std::string* error)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof(name)) != 0) {
            *error = Errno("cannot create a pseudo-terminal");
            return false;
        }
        slaveName_ = name;
        // The bridge holds the terminal open itself, so that a tool closing it does not hang
        // up the master, and sets it raw before any tool sees it.
        slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings;
        if (slave_ < 0 || tcgetattr(slave_, &settings) != 0) {
            *error = Errno("cannot open " + slaveName_);
            return false;
        }
        cfmakeraw(&settings);
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        if (tcsetattr(slave_, TCSANOW, &settings) != 0) {
            *error = Errno("cannot set up " + slaveName_);
            return false;
        }
        return link_.Make(path_, slaveName_, error);
    }

    // Written to the terminal and not read from it yet by the tool on it.
    uint64_t Unconfirmed(int, uint64_t) const override
    {
        int waiting = 0;
        return ioctl(slave_, FIONREAD, &waiting) == 0 && waiting > 0
                   ? static_cast<uint64_t>(waiting)
                   : 0;
    }

    std::string Describe() const override { return "pty " + path_ + " -> " + slaveName_; }

    int Acquire(int wake, std::string*) override
    {
        if (released_) {
            // The master failed: wait a little rather than spin on it.
            WaitFor(-1, 0, wake, 100);
        }
        released_ = false;
        return master_;
    }
    void Release(int) override { released_ = true; }

    void BaudRate(uint32_t rate, int, std::string*) override
    {
        // What the master sets is what the tool on the terminal reads back.
        for (const SpeedName& entry : SPEEDS) {
            if (entry.Rate == rate) {
                termios settings;
                if (tcgetattr(master_, &settings) == 0) {
                    cfsetispeed(&settings, entry.Speed);
                    cfsetospeed(&settings, entry.Speed);
                    tcsetattr(master_, TCSANOW, &settings);
                }
                return;
            }
        }
        PeerTrace(port_, "no terminal speed for " + std::to_string(rate) + " baud, kept the old");
    }

  private:
    std::u16string port_;
    std::string path_;
    std::string slaveName_;
    PtyLink link_;
    int master_ = -1;
    int slave_ = -1;
    bool released_ = false;
};

void TuneSocket(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // A far side that vanishes without closing is noticed within a minute, not never.
    const int idle = 10;
    const int interval = 5;
    const int probes = 4;
    const unsigned unacknowledgedMs = 60000;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof(unacknowledgedMs));
}

// Of `written` bytes sent on a TCP socket, those its far side has not acknowledged; the count
// survives a reset, which empties the socket's queue.
uint64_t TcpUnacknowledged(int fd, uint64_t written)
{
    tcp_info info = {};
    socklen_t size = sizeof(info);
    if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof(info.tcpi_bytes_acked)) {
        return 0;
    }
    return written > info.tcpi_bytes_acked ? written - info.tcpi_bytes_acked : 0;
}

class TcpClientTransport : public Transport
{
  public:
    explicit TcpClientTransport(const PeerConfig& config)
        : where_(AddressText(config.Host, config.TcpPort)), retryMs_(config.RetryMs)
    {
    }

    bool Open(const PeerConfig& config, std::string* error)
    {
        return Resolve(config.Host, config.TcpPort, false, &address_, &length_, error);
    }

    std::string Describe() const override { return "tcp-client " + where_; }

    int Acquire(int wake, std::string* why) override
    {
        if (failed_) {
            WaitFor(-1, 0, wake, static_cast<int>(retryMs_));
        }
        failed_ = true;
        const int fd = socket(address_.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *why = Errno("socket");
            return -1;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address_), length_) != 0 &&
            errno != EINPROGRESS) {
            *why = Errno("cannot connect to " + where_);
            close(fd);
            return -1;
        }
        int error = stopping_ ? ECANCELED : ETIMEDOUT;
        if (WaitFor(fd, POLLOUT, wake, CONNECT_TIMEOUT_MS) != 0) {
            socklen_t size = sizeof(error);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
        if (error != 0) {
            *why = "cannot connect to " + where_ + ": " + ErrorText(error);
            close(fd);
            return -1;
        }
        failed_ = false;
        TuneSocket(fd);
        return fd;
    }

    void Release(int fd) override
    {
        close(fd);
        // A connection that ended is tried again after the pause, not at once.
        failed_ = true;
    }

    uint64_t Unconfirmed(int fd, uint64_t written) const override
    {
        return TcpUnacknowledged(fd, written);
    }

  private:
    static constexpr int CONNECT_TIMEOUT_MS = 2000;
    std::string where_;
    uint32_t retryMs_;
    sockaddr_storage address_ = {};
    socklen_t length_ = 0;
    bool failed_ = false;
};

class Rfc2217Transport final : public TcpClientTransport
{
  public:
    using TcpClientTransport::TcpClientTransport;
    std::string Describe() const override
    {
        return "rfc2217 " + TcpClientTransport::Describe().substr(sizeof("tcp-client"));
    }
    void Greet(std::string* wire) override { telnet_.Start(wire); }
    void Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data,
                std::string* wire) override
    {
        telnet_.Decode(bytes, length, data, wire);
        discarded_ = telnet_.Discarded() + before_;
    }
    void Encode(const uint8_t* bytes, size_t length, std::string* wire) override
    {
        TelnetClient::Escape(bytes, length, wire);
    }
    void BaudRate(uint32_t rate, int, std::string* wire) override
    {
        telnet_.SetBaudRate(rate, wire);
    }
    void Release(int fd) override
    {
        before_ = discarded_;
        TcpClientTransport::Release(fd);
    }
    uint64_t Discarded() const override { return discarded_; }

  private:
    TelnetClient telnet_;
    uint64_t before_ = 0;
    uint64_t discarded_ = 0;
};

class TcpServerTransport final : public Transport
{
  public:
    TcpServerTransport(const std::u16string& port, const PeerConfig& config)
        : port_(port), where_(AddressText(config.Host, config.TcpPort))
    {
    }
    ~TcpServerTransport() override
    {
        if (listener_ >= 0) {
            close(listener_);
        }
    }

    bool Open(const PeerConfig& config, std::string* error)
    {
        for (const std::string& entries : config.Allow) {
            if (!allow_.Add(entries, error)) {
                return false;
            }
        }
        sockaddr_storage address = {};
        socklen_t length = 0;
        if (!Resolve(config.Host, config.TcpPort, true, &address, &length, error)) {
            return false;
        }
        listener_ = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (listener_ < 0 ||
            setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
            bind(listener_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            listen(listener_, 4) != 0) {
            *error = Errno("cannot listen on " + where_);
            return false;
        }
        if (IsEveryInterface(config.Host)) {
            PeerTrace(port_, EveryInterfaceWarning(Describe()));
        }
        return true;
    }

    std::string Describe() const override { return "tcp-server " + where_; }

    int Acquire(int wake, std::string* why) override
    {
        WaitFor(listener_, POLLIN, wake, -1);
        for (;;) {
            sockaddr_storage caller = {};
            socklen_t length = sizeof(caller);
            const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&caller), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                *why = "listening";
                return -1;
            }
            if (Admitted(fd, caller)) {
                TuneSocket(fd);
                return fd;
            }
        }
    }
    void Release(int fd) override { close(fd); }
    uint64_t Unconfirmed(int fd, uint64_t written) const override
    {
        return TcpUnacknowledged(fd, written);
    }

    // One connection at a time: a second caller is shown the end of the stream at once.
    void ExtraDescriptors(std::vector<int>* fds) const override
    {
        fds->push_back(listener_);
        closing_.Descriptors(fds);
    }
    void Extra() override
    {
        sockaddr_storage caller = {};
        socklen_t length = sizeof(caller);
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&caller), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 && Admitted(fd, caller)) {
            closing_.Add(fd, std::string());
            PeerTrace(port_, Describe() + ": refused a second connection");
        }
        closing_.Service();
    }

  private:
    // Whether a caller may connect; one that may not is told so by the end of the stream.
    bool Admitted(int fd, const sockaddr_storage& caller)
    {
        if (allow_.Admits(reinterpret_cast<const sockaddr*>(&caller))) {
            return true;
        }
        closing_.Add(fd, std::string());
        PeerTrace(port_, Describe() + ": refused " +
                             SocketAddressText(reinterpret_cast<const sockaddr*>(&caller)) +
                             ", which the allow list does not name");
        return false;
    }

    std::u16string port_;
    std::string where_;
    AllowList allow_;
    mutable OrderlyClose closing_;
    int listener_ = -1;
};

} // namespace

bool Resolve(const std::string& host, uint16_t port, bool passive, sockaddr_storage* address,
             socklen_t* length, std::string* error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                               &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = "cannot resolve \"" + MessageText(host) + "\": " + gai_strerror(rc);
        return false;
    }
    memcpy(address, found->ai_addr, found->ai_addrlen);
    *length = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

short Transport::WaitFor(int fd, short events, int wake, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = -1;
        if (ms >= 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) {
                return 0;
            }
            left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1);
        }
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
        if (poll(fds, fd >= 0 ? 2 : 1, left) < 0 && errno != EINTR) {
            return 0;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            // Data from the port woke the bridge; it waits in the bridge's buffer.
            uint64_t value;
            [[maybe_unused]] const ssize_t got = read(wake, &value, sizeof(value));
            if (stopping_) {
                return 0;
            }
        }
        if (fds[1].revents != 0) {
            return fds[1].revents;
        }
    }
}

std::unique_ptr<Transport> CreateTransport(const std::u16string& port, const PeerConfig& config,
                                           std::string* error)
{
    switch (config.Kind) {
    case PeerKind::Pty: {
        std::string path;
        if (!PtyLink::Resolve(config.Path, std::string(port.begin(), port.end()), &path, error)) {
            return nullptr;
        }
        auto pty = std::make_unique<PtyTransport>(port, path);
        return pty->Open(error) ? std::move(pty) : nullptr;
    }
    case PeerKind::TcpClient: {
        auto client = std::make_unique<TcpClientTransport>(config);
        return client->Open(config, error) ? std::move(client) : nullptr;
    }
    case PeerKind::Rfc2217: {
        auto client = std::make_unique<Rfc2217Transport>(config);
        return client->Open(config, error) ? std::move(client) : nullptr;
    }
    case PeerKind::TcpServer: {
        auto server = std::make_unique<TcpServerTransport>(port, config);
        return server->Open(config, error) ? std::move(server) : nullptr;
    }
    default:
        *error = "not a bridge: \"" + config.Text + "\"";
        return nullptr;
    }
}

bool ProbeTransport(const std::u16string& port, const PeerConfig& config, std::string* error)
{
    sockaddr_storage address = {};
    socklen_t length = 0;
    switch (config.Kind) {
    case PeerKind::Pty: {
        std::string path;
        return PtyLink::Resolve(config.Path, std::string(port.begin(), port.end()), &path, error) &&
               PtyLink::Probe(path, error);
    }
    case PeerKind::TcpClient:
    case PeerKind::Rfc2217:
        return Resolve(config.Host, config.TcpPort, false, &address, &length, error);
    case PeerKind::TcpServer: {
        if (!Resolve(config.Host, config.TcpPort, true, &address, &length, error)) {
            return false;
        }
        const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        const bool free = fd >= 0 &&
                          setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
                          bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
        if (!free) {
            *error = Errno("cannot listen on " + AddressText(config.Host, config.TcpPort));
        }
        if (fd >= 0) {
            close(fd);
        }
        return free;
    }
    default:
        return true;
    }
}

} // namespace qvx
