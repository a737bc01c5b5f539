// What the far side of a port received, kept for a test to look at: a recorder the test
// attaches to a peer endpoint, and an endpoint that carries one from its first hand-over on.
#pragma once

#include "host/peers/peer_endpoint.h"

#include <mutex>
#include <string>
#include <vector>

namespace qvx {

class PeerRecorder : public PeerObserver
{
  public:
    // Every data byte the port transmitted, in order; baud blocks are taken out, and the flow
    // characters too while the endpoint honours flow control.
    std::vector<uint8_t> Received() const;
    std::vector<uint8_t> TakeReceived();
    // The raw blocks as handed over, one per send tick, with the simulated time of each.
    struct Block
    {
        LONGLONG TimeMs;
        std::vector<uint8_t> Bytes;
    };
    std::vector<Block> Blocks() const;
    // Baud rates announced by baud blocks, in order.
    std::vector<ULONG> BaudRates() const;

    void OnBlock(const uint8_t* bytes, size_t length) override;
    void OnBaudRate(ULONG rate) override;
    void OnReceived(const uint8_t* bytes, size_t length) override;

  private:
    mutable std::mutex lock_;
    std::vector<uint8_t> received_;
    std::vector<Block> blocks_;
    std::vector<ULONG> baudRates_;
};

// The recorder is built first and goes last, so no hand-over can reach it half made or gone.
class RecordingPeer : public PeerRecorder, public PeerEndpoint
{
  public:
    explicit RecordingPeer(const std::u16string& portName)
        : PeerEndpoint(portName, static_cast<PeerRecorder*>(this))
    {
    }
};

} // namespace qvx
