#include "host/peers/peer_factory.h"

#include "host/peers/peer_endpoint.h"

#include <map>
#include <mutex>

namespace qvx {

namespace {

// Delivery to a port runs from the endpoint's pacing timer, never inside the other port's
// hand-over: every millisecond, as much as has arrived.
constexpr ULONG DELIVERY_PERIOD_MS = 1;
constexpr size_t DELIVERY_BUDGET = size_t{64} * 1024;

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Description
{
    std::string Kind;
    std::string Argument;
};

Description Split(const std::string& description)
{
    const size_t colon = description.find(':');
    if (colon == std::string::npos) {
        return {description, std::string()};
    }
    return {description.substr(0, colon), description.substr(colon + 1)};
}

class Counters
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

class NonePeer final : public Peer
{
  public:
    explicit NonePeer(const std::u16string& port) : port_(port), endpoint_(port)
    {
        endpoint_.SetRecording(false);
        endpoint_.SetOnData(
            [this](const uint8_t*, size_t length) { counters_.Add(&PeerStats::FromPort, length); });
    }
    ~NonePeer() override { endpoint_.Detach(); }
    std::string Describe() const override { return "none " + Narrow(port_); }
    PeerStats Stats() const override { return counters_.Get(); }

  private:
    std::u16string port_;
    PeerEndpoint endpoint_;
    Counters counters_;
};

// Both ends of a cable; for loopback the two ends are one endpoint.
class CablePeer final : public Peer
{
  public:
    CablePeer(const std::u16string& a, const std::u16string& b)
        : a_(a), b_(b), first_(std::make_unique<PeerEndpoint>(a))
    {
        if (a != b) {
            second_ = std::make_unique<PeerEndpoint>(b);
        }
        PeerEndpoint* second = second_ ? second_.get() : first_.get();
        Connect(first_.get(), second);
        if (second_) {
            Connect(second, first_.get());
        }
    }
    ~CablePeer() override
    {
        // Each end's handler feeds the other end: both stop before either goes.
        first_->Detach();
        if (second_) {
            second_->Detach();
        }
    }
    std::string Describe() const override
    {
        return second_ ? "pair " + Narrow(a_) + " <-> " + Narrow(b_) : "loopback " + Narrow(a_);
    }
    PeerStats Stats() const override { return counters_.Get(); }

  private:
    void Connect(PeerEndpoint* from, PeerEndpoint* to)
    {
        from->SetRecording(false);
        from->SetOnData([this, to](const uint8_t* bytes, size_t length) {
            to->Queue(std::vector<uint8_t>(bytes, bytes + length));
            counters_.Add(&PeerStats::FromPort, length);
            counters_.Add(&PeerStats::ToPort, length);
        });
        // The cable consumes the rate: the other end only sees the data.
        from->SetOnBaudRate([this](ULONG rate) { counters_.SetBaudRate(rate); });
        to->StartPacing(DELIVERY_PERIOD_MS, DELIVERY_BUDGET);
    }

    std::u16string a_;
    std::u16string b_;
    Counters counters_;
    std::unique_ptr<PeerEndpoint> first_;
    std::unique_ptr<PeerEndpoint> second_;
};

} // namespace

bool CheckPeerDescription(const std::string& description, std::string* error)
{
    const Description d = Split(description);
    if (d.Kind == "none" || d.Kind == "loopback") {
        if (!d.Argument.empty()) {
            *error = "peer \"" + d.Kind + "\" takes no argument";
            return false;
        }
        return true;
    }
    if (d.Kind == "pair") {
        if (d.Argument.empty()) {
            *error = "peer \"pair\" needs the other port, as pair:COM6";
            return false;
        }
        return true;
    }
    *error = "unknown peer kind \"" + d.Kind + "\" (known: none, loopback, pair:<port>)";
    return false;
}

bool CreatePeers(const std::vector<PeerRequest>& requests,
                 std::vector<std::unique_ptr<Peer>>* peers, std::string* error)
{
    std::map<std::u16string, std::string> byPort;
    for (const PeerRequest& request : requests) {
        if (!CheckPeerDescription(request.Description, error)) {
            *error = Narrow(request.PortName) + ": " + *error;
            return false;
        }
        byPort[request.PortName] = request.Description;
    }
    std::vector<std::unique_ptr<Peer>> built;
    std::map<std::u16string, bool> paired;
    for (const PeerRequest& request : requests) {
        const Description d = Split(request.Description);
        if (d.Kind == "none") {
            built.push_back(std::make_unique<NonePeer>(request.PortName));
        } else if (d.Kind == "loopback") {
            built.push_back(std::make_unique<CablePeer>(request.PortName, request.PortName));
        } else if (d.Kind == "pair" && !paired[request.PortName]) {
            const std::u16string other = Widen(d.Argument);
            auto it = byPort.find(other);
            if (other == request.PortName || it == byPort.end() ||
                it->second != "pair:" + Narrow(request.PortName)) {
                *error = Narrow(request.PortName) + ": its pair " + d.Argument +
                         " must exist and name it back (pair:" + Narrow(request.PortName) + ")";
                return false;
            }
            paired[request.PortName] = true;
            paired[other] = true;
            built.push_back(std::make_unique<CablePeer>(request.PortName, other));
        }
    }
    for (auto& peer : built) {
        peers->push_back(std::move(peer));
    }
    return true;
}

} // namespace qvx
