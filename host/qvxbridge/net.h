// The bridge's sockets, in types of neither socket world: Winsock on Windows (net_winsock.cpp),
// POSIX sockets on Linux (net_posix.cpp). Every socket is non-blocking; readiness is reported
// by setting a Win32 event, so a loop waits for the network and for the peer driver's
// overlapped requests with the same WaitForMultipleObjects.
//
// Threads: a socket is used by one thread (its port's loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qvx {
class AllowList;
}

namespace qvx::bridge {

// Starts and stops the socket library (Winsock needs it before any socket call).
bool NetStartup(std::string* error);
void NetCleanup();

enum class NetResult { Done, WouldBlock, Closed, Failed };

class NetSocket
{
  public:
    NetSocket();
    ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Starts a connection to host:port (the first address the name resolves to); the socket
    // reports it through Arm(write) and ConnectResult. FALSE and a message when it cannot
    // even start.
    bool Connect(const std::string& host, uint16_t port, std::string* error);
    // 1: connected; 0: not yet; -1: failed, `error` says why.
    int ConnectResult(std::string* error);
    // Listens on host:port (one caller queued at most).
    bool Listen(const std::string& host, uint16_t port, std::string* error);
    // Takes a waiting caller into `client`: FALSE when none waits. A caller the allow list does
    // not name is closed at once and `refused` set. `who` gets the caller's address.
    bool Accept(const AllowList& allow, NetSocket* client, std::string* who, bool* refused);

    NetResult Receive(uint8_t* buffer, size_t size, size_t* got, std::string* error);
    NetResult Send(const uint8_t* data, size_t size, size_t* sent, std::string* error);

    // Resets `event` (a Win32 event HANDLE), then sets it once the socket can be read (data,
    // a caller, the end of the stream) if `read`, or written (or its connection is made or
    // failed) if `write`. Called again before each wait; neither: nothing is watched.
    void Arm(void* event, bool read, bool write);

    bool IsOpen() const;
    void Close();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace qvx::bridge
