// What every peer shares: its counters, and the gate on bytes the port hands over faster than
// the far side takes them.
#pragma once

#include "host/peers/peer_description.h"
#include "host/peers/peer_endpoint.h"
#include "host/peers/peer_factory.h"

#include <mutex>
#include <string>
#include <system_error>

namespace qvx {

class PeerCounters
{
  public:
    void Add(uint64_t PeerStats::*field, uint64_t count)
    {
        std::lock_guard<std::mutex> guard(lock_);
        stats_.*field += count;
    }
    void SetBaudRate(uint32_t rate)
    {
        std::lock_guard<std::mutex> guard(lock_);
        stats_.LastBaudRate = rate;
    }
    PeerStats Get() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return stats_;
    }

  private:
    mutable std::mutex lock_;
    PeerStats stats_;
};

// The text of an errno value; safe on any thread, unlike strerror.
inline std::string ErrorText(int error)
{
    return std::generic_category().message(error);
}

// One trace line from a peer ("peer COM5: ..."), through the machine's trace sink.
void PeerTrace(const std::u16string& port, const std::string& text);

// Bounds what is held for the far side. A port whose transmitter obeys Xoff is sent Xoff when
// half the bound is held and Xon when it is back under a quarter; what still does not fit is
// dropped, counted and traced (once per run of drops). Safe inside the port's hand-over.
class OutboundGate
{
  public:
    OutboundGate(PeerEndpoint* port, const PeerConfig& config, PeerCounters* counters);
    // How many of `length` new bytes fit when `held` are waiting; the rest count as dropped.
    size_t Admit(size_t held, size_t length);
    // The far side took some: `held` are left.
    void Level(size_t held);

  private:
    PeerEndpoint* port_;
    size_t bound_;
    bool xonXoff_;
    PeerCounters* counters_;
    std::mutex lock_;
    bool xoffSent_ = false;
    bool dropping_ = false;
};

} // namespace qvx
