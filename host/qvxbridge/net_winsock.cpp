// The bridge's sockets on Windows: Winsock, its readiness handed to the loop's event by
// WSAEventSelect. Only calls every ws2_32 since Windows XP exports.
#include "host/qvxbridge/net.h"

#include "host/peers/allow_list.h"
#include "host/peers/peer_description.h"
#include "host/peers/peer_factory.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

namespace qvx::bridge {

struct NetSocket::Impl
{
    SOCKET Socket = INVALID_SOCKET;
};

namespace {

std::string ErrorText(int error)
{
    char text[256] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

bool Resolve(const std::string& host, uint16_t port, bool passive, sockaddr_storage* address,
             int* length, std::string* error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = "cannot resolve \"" + MessageText(host) + "\": " + ErrorText(rc);
        return false;
    }
    memcpy(address, found->ai_addr, found->ai_addrlen);
    *length = static_cast<int>(found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

SOCKET NewSocket(int family)
{
    const SOCKET socket = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (socket != INVALID_SOCKET) {
        u_long on = 1;
        ioctlsocket(socket, FIONBIO, &on);
        // Not inherited by programs the bridge might start.
        SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    return socket;
}

void Tune(SOCKET socket)
{
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on));
}

} // namespace

bool NetStartup(std::string* error)
{
    WSADATA data;
    const int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        *error = "cannot start Winsock: " + ErrorText(rc);
        return false;
    }
    return true;
}

void NetCleanup()
{
    WSACleanup();
}

NetSocket::NetSocket() : impl_(std::make_unique<Impl>()) {}

NetSocket::~NetSocket()
{
    Close();
}

bool NetSocket::Connect(const std::string& host, uint16_t port, std::string* error)
{
    Close();
    sockaddr_storage address{};
    int length = 0;
    if (!Resolve(host, port, false, &address, &length, error)) {
        return false;
    }
    const SOCKET socket = NewSocket(address.ss_family);
    if (socket == INVALID_SOCKET) {
        *error = "socket: " + ErrorText(WSAGetLastError());
        return false;
    }
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *error =
            "cannot connect to " + AddressText(host, port) + ": " + ErrorText(WSAGetLastError());
        closesocket(socket);
        return false;
    }
    Tune(socket);
    impl_->Socket = socket;
    return true;
}

int NetSocket::ConnectResult(std::string* error)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(impl_->Socket, &writable);
    FD_SET(impl_->Socket, &failed);
    timeval now = {0, 0};
    if (select(0, nullptr, &writable, &failed, &now) <= 0) {
        return 0;
    }
    if (FD_ISSET(impl_->Socket, &failed)) {
        int failure = 0;
        int size = sizeof(failure);
        getsockopt(impl_->Socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size);
        *error = ErrorText(failure);
        return -1;
    }
    return 1;
}

bool NetSocket::Listen(const std::string& host, uint16_t port, std::string* error)
{
    Close();
    sockaddr_storage address{};
    int length = 0;
    if (!Resolve(host, port, true, &address, &length, error)) {
        return false;
    }
    const SOCKET socket = NewSocket(address.ss_family);
    // Windows lets a second program bind a port in use with SO_REUSEADDR; this one may not.
    const BOOL on = TRUE;
    if (socket == INVALID_SOCKET ||
        setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof(on)) != 0 ||
        bind(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(socket, 1) != 0) {
        *error =
            "cannot listen on " + AddressText(host, port) + ": " + ErrorText(WSAGetLastError());
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
        return false;
    }
    impl_->Socket = socket;
    return true;
}

bool NetSocket::Accept(const AllowList& allow, NetSocket* client, std::string* who, bool* refused)
{
    sockaddr_storage address{};
    int length = sizeof(address);
    const SOCKET socket = accept(impl_->Socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (socket == INVALID_SOCKET) {
        return false;
    }
    *who = SocketAddressText(reinterpret_cast<const sockaddr*>(&address));
    *refused = !allow.Admits(reinterpret_cast<const sockaddr*>(&address));
    if (*refused) {
        closesocket(socket);
        return true;
    }
    client->Close();
    // An accepted socket inherits the listener's event selection: undone, then non-blocking.
    WSAEventSelect(socket, nullptr, 0);
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
    Tune(socket);
    client->impl_->Socket = socket;
    return true;
}

NetResult NetSocket::Receive(uint8_t* buffer, size_t size, size_t* got, std::string* error)
{
    const int count = recv(impl_->Socket, reinterpret_cast<char*>(buffer),
                           static_cast<int>(size > 0x10000 ? 0x10000 : size), 0);
    if (count > 0) {
        *got = static_cast<size_t>(count);
        return NetResult::Done;
    }
    if (count == 0) {
        return NetResult::Closed;
    }
    const int failure = WSAGetLastError();
    if (failure == WSAEWOULDBLOCK) {
        return NetResult::WouldBlock;
    }
    *error = ErrorText(failure);
    return NetResult::Failed;
}

NetResult NetSocket::Send(const uint8_t* data, size_t size, size_t* sent, std::string* error)
{
    const int count = send(impl_->Socket, reinterpret_cast<const char*>(data),
                           static_cast<int>(size > 0x10000 ? 0x10000 : size), 0);
    if (count >= 0) {
        *sent = static_cast<size_t>(count);
        return NetResult::Done;
    }
    const int failure = WSAGetLastError();
    if (failure == WSAEWOULDBLOCK) {
        return NetResult::WouldBlock;
    }
    *error = ErrorText(failure);
    return NetResult::Failed;
}

void NetSocket::Arm(void* event, bool read, bool write)
{
    ResetEvent(event);
    // A condition that holds already is recorded again by WSAEventSelect, so nothing slips
    // between the last call that met WSAEWOULDBLOCK and this one. The end of the stream is
    // watched only with reading, or a closed socket would wake the loop for ever while it
    // may not read.
    const long events =
        (read ? FD_READ | FD_ACCEPT | FD_CLOSE : 0) | (write ? FD_WRITE | FD_CONNECT : 0);
    WSAEventSelect(impl_->Socket, static_cast<HANDLE>(event), events);
}

bool NetSocket::IsOpen() const
{
    return impl_->Socket != INVALID_SOCKET;
}

void NetSocket::Close()
{
    if (impl_->Socket != INVALID_SOCKET) {
        closesocket(impl_->Socket);
        impl_->Socket = INVALID_SOCKET;
    }
}

} // namespace qvx::bridge
