#include "host/serve/rfc2217_server.h"

#include "host/mutex.h"
#include "host/peers/allow_list.h"
#include "host/serve/rfc2217_session.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvx {
namespace {

// The accept loop looks at the stop flag and reaps a finished session this often.
constexpr int ACCEPT_POLL_MS = 100;
// How long a new client waits for the previous one's session to close the port.
constexpr int CLOSING_WAIT_MS = 2000;
// Where a server with no address listens.
const char* const DEFAULT_HOST = "127.0.0.1";

std::string NumericName(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    const bool v6 = address->sa_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + service;
}

// [ADDR:]PORT, ADDR possibly an IPv6 address in brackets; FALSE with a message when malformed.
bool SplitAddress(const std::string& text, std::string* host, std::string* port, std::string* error)
{
    const size_t colon = text.rfind(':');
    *host = colon == std::string::npos ? "" : text.substr(0, colon);
    *port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    bool digits = !port->empty() && port->size() <= 5;
    for (char c : *port) {
        digits = digits && c >= '0' && c <= '9';
    }
    if (!digits || std::stoul(*port) > 65535) {
        *error = "bad address '" + text + "': expected [ADDR:]PORT with PORT 0 to 65535";
        return false;
    }
    if (colon != std::string::npos && host->empty()) {
        *error = "bad address '" + text + "': empty ADDR before the port";
        return false;
    }
    return true;
}

} // namespace

struct Rfc2217Server::Impl
{
    std::string PortName;
    std::string Address;
    int ListenSocket = -1; // Start and Stop only
    std::atomic<uint16_t> BoundPort{0};
    std::atomic<bool> Stopping{false};
    std::thread Acceptor;
    ServeCounters Counters;
    std::atomic<uint64_t> Refused{0};
    std::atomic<uint64_t> Served{0};
    std::function<void(const std::string&)> Notice; // set before Start
    AllowList Allowed;                              // set before Start
    OrderlyClose Closing;                           // the accept thread's

    mutable Mutex Lock;
    std::string Listening QVX_GUARDED_BY(Lock); // ADDR:PORT as bound, empty when not listening
    std::unique_ptr<Rfc2217Session> Session QVX_GUARDED_BY(Lock);
    std::string SessionPeer; // the accept thread's: the client of Session

    // The accept thread alone replaces Session (Stop does only once that thread has ended),
    // so that thread reads it without the lock.
    Rfc2217Session* OwnSession() QVX_NOT_CHECKED { return Session.get(); }
    void AcceptLoop();
    void ReapFinished();
    // Tells the client `line` (after the port's name) and closes its connection in order.
    void Refuse(int socket, const std::string& client, const std::string& why,
                const std::string& line);
    void Tell(const std::string& message)
    {
        if (Notice) {
            Notice(PortName + ": " + message);
        }
    }
};

Rfc2217Server::Rfc2217Server(std::string portName, std::string address)
    : impl_(std::make_unique<Impl>())
{
    // \\.\COM5 and COM5 name the same port.
    if (portName.rfind("\\\\.\\", 0) == 0) {
        portName = portName.substr(4);
    }
    impl_->PortName = std::move(portName);
    impl_->Address = std::move(address);
}

Rfc2217Server::~Rfc2217Server()
{
    Stop();
}

void Rfc2217Server::SetNotice(std::function<void(const std::string&)> notice)
{
    impl_->Notice = std::move(notice);
}

bool Rfc2217Server::Allow(const std::string& entries, std::string* error)
{
    return impl_->Allowed.Add(entries, error);
}

bool Rfc2217Server::Start(std::string* error)
{
    Impl& impl = *impl_;
    if (impl.ListenSocket >= 0) {
        *error = "already serving " + impl.PortName;
        return false;
    }
    std::string host;
    std::string port;
    if (!SplitAddress(impl.Address, &host, &port, error)) {
        return false;
    }
    if (host.empty()) {
        host = DEFAULT_HOST;
    }
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        *error = "bad address '" + impl.Address + "': cannot resolve " + host + ": " +
                 gai_strerror(resolved);
        return false;
    }
    std::string failure;
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const int fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC,
                                candidate->ai_protocol);
        if (fd < 0) {
            failure = std::system_category().message(errno);
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (::bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
            failure = std::system_category().message(errno);
            ::close(fd);
            continue;
        }
        sockaddr_storage bound = {};
        socklen_t length = sizeof(bound);
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        {
            MutexLock guard(impl.Lock);
            impl.Listening = NumericName(reinterpret_cast<sockaddr*>(&bound), length);
        }
        impl.BoundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        impl.ListenSocket = fd;
        break;
    }
    freeaddrinfo(found);
    if (impl.ListenSocket < 0) {
        *error = "cannot listen on " + impl.Address + ": " + failure;
        return false;
    }
    if (IsEveryInterface(host)) {
        std::string listening;
        {
            MutexLock guard(impl.Lock);
            listening = impl.Listening;
        }
        impl.Tell(EveryInterfaceWarning("RFC 2217 on " + listening));
    }
    impl.Stopping = false;
    impl.Acceptor = std::thread([&impl] { impl.AcceptLoop(); });
    return true;
}

uint16_t Rfc2217Server::Port() const
{
    return impl_->BoundPort;
}

void Rfc2217Server::Stop()
{
    Impl& impl = *impl_;
    impl.Stopping = true;
    if (impl.Acceptor.joinable()) {
        impl.Acceptor.join();
    }
    if (impl.ListenSocket >= 0) {
        ::close(impl.ListenSocket);
        impl.ListenSocket = -1;
    }
    std::unique_ptr<Rfc2217Session> session;
    {
        MutexLock guard(impl.Lock);
        impl.Listening.clear();
        session = std::move(impl.Session);
    }
    session.reset(); // stops the connection and waits for its threads
}

std::string Rfc2217Server::Status() const
{
    const Impl& impl = *impl_;
    std::string client = "no client";
    std::string listening;
    {
        MutexLock guard(impl.Lock);
        if (impl.Session && !impl.Session->Finished()) {
            client = "client " + impl.Session->Peer();
        }
        listening = impl.Listening.empty() ? "nothing (stopped)" : impl.Listening;
    }
    std::string line = impl.PortName + " over RFC 2217 on " + listening + ": " + client + ", " +
                       std::to_string(impl.Counters.ToPort.load()) + " bytes to the port, " +
                       std::to_string(impl.Counters.FromPort.load()) + " from the port, " +
                       std::to_string(impl.Served.load()) + " clients, " +
                       std::to_string(impl.Refused.load()) + " refused";
    if (impl.Counters.Dropped != 0) {
        line += ", " + std::to_string(impl.Counters.Dropped.load()) + " bytes not written";
    }
    return line;
}

// Session is replaced by this thread alone (and by Stop once this thread has ended), so it
// reads it without the lock (OwnSession); Status reads it under the lock.
void Rfc2217Server::Impl::AcceptLoop()
{
    while (!Stopping) {
        std::vector<int> closing;
        Closing.Descriptors(&closing);
        std::vector<pollfd> waiting = {{ListenSocket, POLLIN, 0}};
        for (const int fd : closing) {
            waiting.push_back({fd, POLLIN, 0});
        }
        const int ready = ::poll(waiting.data(), waiting.size(), ACCEPT_POLL_MS);
        Closing.Service();
        ReapFinished();
        if (ready <= 0 || Stopping || (waiting[0].revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_storage peer = {};
        socklen_t length = sizeof(peer);
        const int client =
            ::accept4(ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            continue; // the client gave up before we took it, or out of descriptors for now
        }
        const std::string name = NumericName(reinterpret_cast<sockaddr*>(&peer), length);
        if (!Allowed.Admits(reinterpret_cast<sockaddr*>(&peer))) {
            Refuse(client, name, "the allow list does not name it",
                   " is not served to this address");
            continue;
        }
        // A client that reconnects at once finds its old session still closing the port, or
        // not yet aware that its client has gone: it waits for that instead of being refused.
        for (int waited = 0; OwnSession() != nullptr &&
                             (OwnSession()->Stopping() || OwnSession()->ClientClosed()) &&
                             !OwnSession()->Finished() && waited < CLOSING_WAIT_MS;
             waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ReapFinished();
        if (OwnSession() != nullptr) {
            Refuse(client, name, "the port is in use by " + SessionPeer,
                   " is in use by another client");
            continue;
        }
        ++Served;
        Tell("client " + name + " connected");
        auto session = std::make_unique<Rfc2217Session>(PortName, client, name, &Counters);
        session->Start();
        MutexLock guard(Lock);
        Session = std::move(session);
        SessionPeer = name;
    }
}

void Rfc2217Server::Impl::ReapFinished()
{
    std::unique_ptr<Rfc2217Session> finished;
    {
        MutexLock guard(Lock);
        if (Session && Session->Finished()) {
            finished = std::move(Session);
        }
    }
    if (finished) {
        Tell("client " + SessionPeer + " left");
    }
    // Destroyed here, outside the lock: it joins the session's thread.
}

void Rfc2217Server::Impl::Refuse(int socket, const std::string& client, const std::string& why,
                                 const std::string& line)
{
    ++Refused;
    Tell("refused client " + client + ": " + why);
    Closing.Add(socket, PortName + line + "\r\n");
}

} // namespace qvx
