#include "host/peers/peer_link.h"

#include <algorithm>

namespace qvx {

namespace {

// Peers trace under the general component, at the level of failures worth a look.
constexpr ULONG PEER_TRACE_COMPONENT = 0x001;
constexpr ULONG PEER_TRACE_LEVEL = 2;

std::mutex g_noticeLock;
std::function<void(const std::string&)>& Notice()
{
    static auto* notice = new std::function<void(const std::string&)>();
    return *notice;
}

} // namespace

void SetPeerNotice(std::function<void(const std::string&)> notice)
{
    std::lock_guard<std::mutex> guard(g_noticeLock);
    Notice() = std::move(notice);
}

void PeerTrace(const std::u16string& port, const std::string& text)
{
    const std::string line = "peer " + std::string(port.begin(), port.end()) + ": " + text;
    {
        std::lock_guard<std::mutex> guard(g_noticeLock);
        if (Notice()) {
            Notice()(line);
        }
    }
    Machine* machine = Machine::TryCurrent();
    if (machine != nullptr) {
        machine->EmitTrace(PEER_TRACE_COMPONENT, PEER_TRACE_LEVEL, line.c_str());
    }
}

OutboundGate::OutboundGate(PeerEndpoint* port, const PeerConfig& config, PeerCounters* counters)
    : port_(port), bound_(config.Buffer), xonXoff_(config.XonXoff), counters_(counters)
{
}

size_t OutboundGate::Admit(size_t held, size_t length)
{
    const size_t room = held >= bound_ ? 0 : bound_ - held;
    const size_t taken = std::min(room, length);
    bool startedDropping = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (xonXoff_ && !xoffSent_ && held + taken >= bound_ / 2) {
            xoffSent_ = true;
            port_->QueueUrgent(abi::DEFAULT_XOFF_CHAR);
        }
        if (taken < length && !dropping_) {
            startedDropping = true;
        }
        dropping_ = taken < length;
    }
    if (taken < length) {
        counters_->Add(&PeerStats::Dropped, length - taken);
    }
    if (startedDropping) {
        PeerTrace(port_->PortName(), "far side buffer full (" + std::to_string(bound_) +
                                         " bytes), dropping what the port sends");
    }
    return taken;
}

void OutboundGate::Level(size_t held)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (xoffSent_ && held <= bound_ / 4) {
        xoffSent_ = false;
        port_->QueueUrgent(abi::DEFAULT_XON_CHAR);
    }
}

} // namespace qvx
