#include "host/peers/peer_factory.h"

#include "host/peers/peer_endpoint.h"
#include "host/peers/peer_link.h"
#include "host/peers/stream_bridge.h"

#include <map>
#include <mutex>

namespace qvx {

namespace {

// Delivery to a port runs from the endpoint's pacing timer, never inside the other port's
// hand-over: every millisecond, as much as has arrived.
constexpr ULONG DELIVERY_PERIOD_MS = 1;
constexpr size_t DELIVERY_BUDGET = size_t{64} * 1024;
// What a line carries before the port announces its rate.
constexpr ULONG DEFAULT_LINE_RATE = 9600;

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

class NonePeer final : public Peer
{
  public:
    explicit NonePeer(const std::u16string& port) : port_(port), endpoint_(port)
    {
        endpoint_.SetOnData(
            [this](const uint8_t*, size_t length) { counters_.Add(&PeerStats::FromPort, length); });
    }
    ~NonePeer() override { endpoint_.Detach(); }
    std::string Describe() const override { return "none " + Narrow(port_); }
    PeerStats Stats() const override { return counters_.Get(); }
    bool Serves(const std::u16string& port) const override { return port == port_; }

  private:
    std::u16string port_;
    PeerEndpoint endpoint_;
    PeerCounters counters_;
};

// Both ends of a cable; for loopback the two ends are one endpoint.
class CablePeer final : public Peer
{
  public:
    CablePeer(const std::u16string& a, const std::u16string& b, const PeerConfig& config)
        : a_(a), b_(b), config_(config), first_(std::make_unique<PeerEndpoint>(a))
    {
        if (a != b) {
            second_ = std::make_unique<PeerEndpoint>(b);
        }
        PeerEndpoint* second = second_ ? second_.get() : first_.get();
        gates_[0] = std::make_unique<OutboundGate>(first_.get(), config_, &counters_);
        Connect(first_.get(), second, gates_[0].get());
        if (second_) {
            gates_[1] = std::make_unique<OutboundGate>(second, config_, &counters_);
            Connect(second, first_.get(), gates_[1].get());
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
        const std::string speed = config_.LineSpeed ? " (line speed)" : "";
        return (second_ ? "pair " + Narrow(a_) + " <-> " + Narrow(b_) : "loopback " + Narrow(a_)) +
               speed;
    }
    PeerStats Stats() const override { return counters_.Get(); }
    bool Serves(const std::u16string& port) const override { return port == a_ || port == b_; }

  private:
    // `gate` bounds what waits for `to` and throttles `from`.
    void Connect(PeerEndpoint* from, PeerEndpoint* to, OutboundGate* gate)
    {
        from->SetOnData([this, to, gate](const uint8_t* bytes, size_t length) {
            const size_t taken = gate->Admit(to->QueuedBytes(), length);
            // Counted first: the delivery may reach the port before Queue returns.
            counters_.Add(&PeerStats::FromPort, length);
            counters_.Add(&PeerStats::ToPort, taken);
            to->Queue(std::vector<uint8_t>(bytes, bytes + taken));
        });
        to->SetOnDelivered([gate](size_t left) { gate->Level(left); });
        if (config_.LineSpeed) {
            // The sender's rate sets the pace of its bytes on the wire.
            to->SetLineRate(DEFAULT_LINE_RATE);
        }
        // The cable consumes the rate: the other end only sees the data.
        from->SetOnBaudRate([this, to](ULONG rate) {
            counters_.SetBaudRate(rate);
            if (config_.LineSpeed && rate != 0) {
                to->SetLineRate(rate);
            }
        });
        to->StartPacing(DELIVERY_PERIOD_MS, DELIVERY_BUDGET);
    }

    std::u16string a_;
    std::u16string b_;
    PeerConfig config_;
    PeerCounters counters_;
    std::unique_ptr<PeerEndpoint> first_;
    std::unique_ptr<PeerEndpoint> second_;
    std::unique_ptr<OutboundGate> gates_[2];
};

// Whether the pair of `port` is complete: its other end names it back with the same options.
bool PairComplete(const std::u16string& port, const PeerConfig& config,
                  const std::map<std::u16string, PeerConfig>& byPort, std::string* error)
{
    const std::u16string other = Widen(config.PairPort);
    auto it = byPort.find(other);
    if (other == port || it == byPort.end() || it->second.Kind != PeerKind::Pair ||
        it->second.PairPort != Narrow(port)) {
        *error = Narrow(port) + ": its pair " + config.PairPort +
                 " must exist and name it back (pair:" + Narrow(port) + ")";
        return false;
    }
    if (it->second.LineSpeed != config.LineSpeed || it->second.XonXoff != config.XonXoff ||
        it->second.Buffer != config.Buffer) {
        *error = Narrow(port) + ": the two ends of pair " + Narrow(port) + " <-> " +
                 config.PairPort + " must have the same options";
        return false;
    }
    return true;
}

// Port names compare as the object namespace compares them: without regard to case.
std::u16string Key(const std::u16string& port)
{
    std::u16string key = port;
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

bool ParseAll(const std::vector<PeerRequest>& requests,
              std::map<std::u16string, PeerConfig>* byPort, std::vector<std::string>* problems)
{
    bool ok = true;
    for (const PeerRequest& request : requests) {
        PeerConfig config;
        std::string error;
        if (!ParsePeerDescription(request.Description, &config, &error)) {
            problems->push_back(Narrow(request.PortName) + ": " + error);
            ok = false;
            continue;
        }
        if (config.Kind == PeerKind::Pair) {
            config.PairPort = Narrow(Key(Widen(config.PairPort)));
        }
        (*byPort)[Key(request.PortName)] = config;
        problems->push_back(std::string());
    }
    return ok;
}

} // namespace

bool CheckPeerDescription(const std::string& description, std::string* error)
{
    PeerConfig config;
    return ParsePeerDescription(description, &config, error);
}

std::vector<std::string> CheckPeers(const std::vector<PeerRequest>& requests)
{
    std::map<std::u16string, PeerConfig> byPort;
    std::vector<std::string> problems;
    ParseAll(requests, &byPort, &problems);
    for (size_t i = 0; i < requests.size(); ++i) {
        auto it = byPort.find(Key(requests[i].PortName));
        if (!problems[i].empty() || it == byPort.end()) {
            continue;
        }
        std::string error;
        const bool ok = it->second.Kind == PeerKind::Pair
                            ? PairComplete(Key(requests[i].PortName), it->second, byPort, &error)
                            : ProbeTransport(requests[i].PortName, it->second, &error);
        if (!ok) {
            problems[i] = it->second.Kind == PeerKind::Pair
                              ? error
                              : Narrow(requests[i].PortName) + ": " + error;
        }
    }
    return problems;
}

bool CreatePeers(const std::vector<PeerRequest>& requests,
                 std::vector<std::unique_ptr<Peer>>* peers, std::string* error)
{
    std::map<std::u16string, PeerConfig> byPort;
    std::vector<std::string> problems;
    if (!ParseAll(requests, &byPort, &problems)) {
        for (const std::string& problem : problems) {
            if (!problem.empty()) {
                *error = problem;
            }
        }
        return false;
    }
    std::vector<std::unique_ptr<Peer>> built;
    std::map<std::u16string, bool> paired;
    for (const PeerRequest& request : requests) {
        const std::u16string port = Key(request.PortName);
        const PeerConfig& config = byPort[port];
        switch (config.Kind) {
        case PeerKind::None:
            built.push_back(std::make_unique<NonePeer>(request.PortName));
            break;
        case PeerKind::Loopback:
            built.push_back(
                std::make_unique<CablePeer>(request.PortName, request.PortName, config));
            break;
        case PeerKind::Pair: {
            if (paired[port]) {
                break;
            }
            if (!PairComplete(port, config, byPort, error)) {
                return false;
            }
            const std::u16string other = Widen(config.PairPort);
            paired[port] = true;
            paired[other] = true;
            // The other end by the name its own request gives it.
            std::u16string otherName = other;
            for (const PeerRequest& candidate : requests) {
                if (Key(candidate.PortName) == other) {
                    otherName = candidate.PortName;
                }
            }
            built.push_back(std::make_unique<CablePeer>(request.PortName, otherName, config));
            break;
        }
        default: {
            std::unique_ptr<Peer> bridge = CreateStreamBridge(request.PortName, config, error);
            if (!bridge) {
                *error = Narrow(request.PortName) + ": " + *error;
                return false;
            }
            built.push_back(std::move(bridge));
            break;
        }
        }
    }
    for (auto& peer : built) {
        peers->push_back(std::move(peer));
    }
    return true;
}

} // namespace qvx
