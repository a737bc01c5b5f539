// Bridges from a port to a byte stream outside the machine: a pseudo-terminal, a TCP
// connection (client or server) or an RFC 2217 server.
//
// Threads: one I/O thread per bridge owns the descriptor. It never touches the port itself:
// bytes for the port go into the endpoint's paced queue (delivered by its DPC at
// DISPATCH_LEVEL), and bytes from the port arrive in the hand-over, which only copies them into
// the bridge's bounded buffer and wakes the thread.
#pragma once

#include "host/peers/peer_description.h"
#include "host/peers/peer_factory.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace qvx {

// The far side as a descriptor, for the bridge's I/O thread.
class Transport
{
  public:
    virtual ~Transport() = default;
    virtual std::string Describe() const = 0;
    // Waits for the far side (returns early when `wake` becomes readable): the data
    // descriptor, or -1 with the reason in `why`.
    virtual int Acquire(int wake, std::string* why) = 0;
    // The far side went away (or the bridge stops).
    virtual void Release(int fd) = 0;
    // Descriptors watched for input while connected (a listener, refused callers); Extra
    // handles any of them becoming readable.
    virtual void ExtraDescriptors(std::vector<int>*) const {}
    virtual void Extra() {}
    // Bytes to send once connected.
    virtual void Greet(std::string*) {}
    // Far side to port: data for the port, replies for the far side.
    virtual void Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data,
                        std::string*)
    {
        data->insert(data->end(), bytes, bytes + length);
    }
    // Port to far side.
    virtual void Encode(const uint8_t* bytes, size_t length, std::string* wire)
    {
        wire->append(reinterpret_cast<const char*>(bytes), length);
    }
    // The port announced a rate (never 0 here). `fd` is the data descriptor or -1.
    virtual void BaudRate(uint32_t, int, std::string*) {}
    virtual uint64_t Discarded() const { return 0; }
    // Of the `written` bytes sent on `fd` since Acquire, how many the far side has not taken
    // yet (not acknowledged by its TCP, or not read from the terminal).
    virtual uint64_t Unconfirmed(int, uint64_t) const { return 0; }

    // The bridge is going: a wait in Acquire ends at the next wake.
    void Stop() { stopping_ = true; }

  protected:
    // Waits up to `ms` (-1: for ever) for `fd` to be ready for `events`; a wake that is not a
    // stop is taken and the wait goes on. What poll reported for `fd` (0: none).
    short WaitFor(int fd, short events, int wake, int ms);
    std::atomic<bool> stopping_{false};
};

// The transport of a description (pty, tcp-client, tcp-server, rfc2217); NULL with a message.
std::unique_ptr<Transport> CreateTransport(const std::u16string& port, const PeerConfig& config,
                                           std::string* error);

// Whether the transport of a description could be created now (an address that resolves, a
// listening address that is free, a terminal link that can be made), without creating it.
bool ProbeTransport(const std::u16string& port, const PeerConfig& config, std::string* error);

// A bridge between the port and the transport of `config`; NULL with a message.
std::unique_ptr<Peer> CreateStreamBridge(const std::u16string& port, const PeerConfig& config,
                                         std::string* error);

} // namespace qvx
