// The bridge's sockets on Linux: POSIX sockets, and a watcher thread per socket that sets the
// loop's Win32 event when what the loop waits for is ready (poll has no event to hand over).
#include "host/qvxbridge/net.h"

#include "host/peers/allow_list.h"
#include "host/peers/peer_description.h"
#include "host/peers/peer_factory.h"
#include "host/peers/resolve.h"

#include <windows.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace qvx::bridge {

struct NetSocket::Impl
{
    int Fd = -1;
    int Wake = -1; // eventfd: tells the watcher that the interest changed
    std::thread Watcher;
    std::mutex Lock;
    std::condition_variable Changed;
    // Under Lock: what the loop waits for, and on which event.
    HANDLE Event = nullptr;
    short Interest = 0;
    uint64_t Generation = 0;
    bool Quit = false;

    void Watch();
    void Poke() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(Wake, &one, sizeof(one));
    }
};

void NetSocket::Impl::Watch()
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Changed.wait(guard, [&] { return Quit || Interest != 0; });
        if (Quit) {
            return;
        }
        const uint64_t generation = Generation;
        pollfd fds[2] = {{Fd, Interest, 0}, {Wake, POLLIN, 0}};
        guard.unlock();
        poll(fds, 2, -1);
        if ((fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = read(Wake, &count, sizeof(count));
        }
        guard.lock();
        // An interest changed meanwhile is polled afresh; the old one's readiness is stale.
        if (generation == Generation && fds[0].revents != 0) {
            Interest = 0;
            SetEvent(Event);
        }
    }
}

namespace {

std::string ErrorText(int error)
{
    return std::generic_category().message(error);
}

} // namespace

bool NetStartup(std::string*)
{
    return true;
}

void NetCleanup() {}

NetSocket::NetSocket() : impl_(std::make_unique<Impl>()) {}

NetSocket::~NetSocket()
{
    Close();
}

namespace {

void Tune(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
}

} // namespace

bool NetSocket::Connect(const std::string& host, uint16_t port, std::string* error)
{
    Close();
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!Resolve(host, port, false, &address, &length, error)) {
        return false;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "socket: " + ErrorText(errno);
        return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        errno != EINPROGRESS) {
        *error = "cannot connect to " + AddressText(host, port) + ": " + ErrorText(errno);
        close(fd);
        return false;
    }
    Tune(fd);
    impl_->Fd = fd;
    impl_->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->Watcher = std::thread([impl = impl_.get()] { impl->Watch(); });
    return true;
}

int NetSocket::ConnectResult(std::string* error)
{
    pollfd fd = {impl_->Fd, POLLOUT, 0};
    if (poll(&fd, 1, 0) != 1) {
        return 0;
    }
    int failure = 0;
    socklen_t size = sizeof(failure);
    getsockopt(impl_->Fd, SOL_SOCKET, SO_ERROR, &failure, &size);
    if (failure != 0) {
        *error = ErrorText(failure);
        return -1;
    }
    return 1;
}

bool NetSocket::Listen(const std::string& host, uint16_t port, std::string* error)
{
    Close();
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!Resolve(host, port, true, &address, &length, error)) {
        return false;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(fd, 1) != 0) {
        *error = "cannot listen on " + AddressText(host, port) + ": " + ErrorText(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    impl_->Fd = fd;
    impl_->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->Watcher = std::thread([impl = impl_.get()] { impl->Watch(); });
    return true;
}

bool NetSocket::Accept(const AllowList& allow, NetSocket* client, std::string* who, bool* refused)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    const int fd = accept4(impl_->Fd, reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    *who = SocketAddressText(reinterpret_cast<const sockaddr*>(&address));
    *refused = !allow.Admits(reinterpret_cast<const sockaddr*>(&address));
    if (*refused) {
        close(fd);
        return true;
    }
    client->Close();
    Tune(fd);
    client->impl_->Fd = fd;
    client->impl_->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    client->impl_->Watcher = std::thread([impl = client->impl_.get()] { impl->Watch(); });
    return true;
}

NetResult NetSocket::Receive(uint8_t* buffer, size_t size, size_t* got, std::string* error)
{
    const ssize_t count = recv(impl_->Fd, buffer, size, 0);
    if (count > 0) {
        *got = static_cast<size_t>(count);
        return NetResult::Done;
    }
    if (count == 0) {
        return NetResult::Closed;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return NetResult::WouldBlock;
    }
    *error = ErrorText(errno);
    return NetResult::Failed;
}

NetResult NetSocket::Send(const uint8_t* data, size_t size, size_t* sent, std::string* error)
{
    const ssize_t count = send(impl_->Fd, data, size, MSG_NOSIGNAL);
    if (count >= 0) {
        *sent = static_cast<size_t>(count);
        return NetResult::Done;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return NetResult::WouldBlock;
    }
    *error = ErrorText(errno);
    return NetResult::Failed;
}

void NetSocket::Arm(void* event, bool read, bool write)
{
    {
        std::lock_guard<std::mutex> guard(impl_->Lock);
        ResetEvent(event);
        impl_->Event = event;
        impl_->Interest = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
        ++impl_->Generation;
    }
    impl_->Changed.notify_all();
    impl_->Poke();
}

bool NetSocket::IsOpen() const
{
    return impl_->Fd >= 0;
}

void NetSocket::Close()
{
    if (impl_->Watcher.joinable()) {
        {
            std::lock_guard<std::mutex> guard(impl_->Lock);
            impl_->Quit = true;
        }
        impl_->Changed.notify_all();
        impl_->Poke();
        impl_->Watcher.join();
    }
    if (impl_->Fd >= 0) {
        close(impl_->Fd);
    }
    if (impl_->Wake >= 0) {
        close(impl_->Wake);
    }
    impl_ = std::make_unique<Impl>();
}

} // namespace qvx::bridge
