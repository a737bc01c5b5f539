#include "host/peers/stream_bridge.h"

#include "host/peers/peer_endpoint.h"
#include "host/peers/peer_link.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace qvx {

namespace {

// Delivery to the port: every millisecond, at most this much, paced at the announced rate.
constexpr ULONG DELIVERY_PERIOD_MS = 1;
constexpr size_t DELIVERY_BUDGET = 2048;
constexpr ULONG DEFAULT_LINE_RATE = 9600;
// The source is not read while this much still waits for the port.
constexpr size_t INBOUND_LIMIT = 4096;
// How much of the buffer is encoded for the far side at once.
constexpr size_t WIRE_CHUNK = size_t{64} * 1024;
// While reading is held back, how often to look whether the port took some.
constexpr int THROTTLE_POLL_MS = 2;

class StreamBridge final : public Peer
{
  public:
    StreamBridge(const std::u16string& port, const PeerConfig& config,
                 std::unique_ptr<Transport> transport, int wake)
        : port_(port), config_(config), transport_(std::move(transport)), wake_(wake),
          endpoint_(port), gate_(&endpoint_, config, &counters_)
    {
        endpoint_.SetRecording(false);
        endpoint_.SetLineRate(DEFAULT_LINE_RATE);
        if (config_.XonXoff) {
            endpoint_.HonourFlowControl(true, XON_CHAR, XOFF_CHAR);
        }
        endpoint_.SetOnData(
            [this](const uint8_t* bytes, size_t length) { FromPort(bytes, length); });
        endpoint_.SetOnBaudRate([this](ULONG rate) { BaudFromPort(rate); });
        endpoint_.StartPacing(DELIVERY_PERIOD_MS, DELIVERY_BUDGET);
        thread_ = std::thread([this] { Run(); });
    }

    ~StreamBridge() override
    {
        // No hand-over after this; then the thread may go.
        endpoint_.Detach();
        stopping_ = true;
        transport_->Stop();
        Wake();
        thread_.join();
        if (fd_ >= 0) {
            transport_->Release(fd_);
        }
        close(wake_);
    }

    std::string Describe() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return transport_->Describe() + " <-> " + std::string(port_.begin(), port_.end()) + " (" +
               state_ + ")";
    }

    PeerStats Stats() const override
    {
        PeerStats stats = counters_.Get();
        stats.Discarded = discarded_.load();
        return stats;
    }

  private:
    // In the hand-over, at DISPATCH_LEVEL: copy and wake, nothing more.
    void FromPort(const uint8_t* bytes, size_t length)
    {
        uint8_t kept[128];
        size_t offset = 0;
        while (offset < length) {
            size_t count = 0;
            for (; offset < length && count < sizeof(kept); ++offset) {
                // With Xon/Xoff the flow characters belong to the line, not to the far side.
                const uint8_t byte = bytes[offset];
                if (!config_.XonXoff || (byte != XON_CHAR && byte != XOFF_CHAR)) {
                    kept[count++] = byte;
                }
            }
            std::lock_guard<std::mutex> guard(lock_);
            const size_t fits = gate_.Admit(outbound_.size(), count);
            outbound_.insert(outbound_.end(), kept, kept + fits);
        }
        counters_.Add(&PeerStats::FromPort, length);
        Wake();
    }

    void BaudFromPort(ULONG rate)
    {
        if (rate == 0) {
            return;
        }
        endpoint_.SetLineRate(rate);
        {
            std::lock_guard<std::mutex> guard(lock_);
            pendingRate_ = rate;
        }
        Wake();
    }

    void Wake()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof(one));
    }

    void SetState(const std::string& state)
    {
        bool changed;
        {
            std::lock_guard<std::mutex> guard(lock_);
            changed = state_ != state;
            state_ = state;
        }
        if (changed) {
            PeerTrace(port_, transport_->Describe() + ": " + state);
        }
    }

    void Disconnect(const std::string& why)
    {
        transport_->Release(fd_);
        fd_ = -1;
        if (!wire_.empty()) {
            // Already taken from the port and encoded: the far side is gone before it got them.
            counters_.Add(&PeerStats::Dropped, wire_.size());
            PeerTrace(port_,
                      std::to_string(wire_.size()) + " bytes not sent: the far side went away");
            wire_.clear();
        }
        SetState(why);
    }

    void Connect()
    {
        std::string why;
        const int fd = transport_->Acquire(wake_, &why);
        if (fd < 0) {
            if (!stopping_) {
                SetState(why);
            }
            return;
        }
        fd_ = fd;
        counters_.Add(&PeerStats::Connections, 1);
        SetState("connected");
        transport_->Greet(&wire_);
        if (rate_ != 0) {
            transport_->BaudRate(rate_, fd_, &wire_);
        }
    }

    void Refill()
    {
        uint32_t rate = 0;
        std::vector<uint8_t> chunk;
        size_t left = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            std::swap(rate, pendingRate_);
            if (wire_.size() < WIRE_CHUNK) {
                const size_t n = std::min(WIRE_CHUNK, outbound_.size());
                chunk.assign(outbound_.begin(), outbound_.begin() + static_cast<long>(n));
                outbound_.erase(outbound_.begin(), outbound_.begin() + static_cast<long>(n));
            }
            left = outbound_.size();
        }
        if (rate != 0) {
            rate_ = rate;
            transport_->BaudRate(rate, fd_, &wire_);
        }
        transport_->Encode(chunk.data(), chunk.size(), &wire_);
        gate_.Level(left);
    }

    void ReadSource()
    {
        uint8_t buffer[4096];
        const ssize_t n = read(fd_, buffer, sizeof(buffer));
        if (n > 0) {
            std::vector<uint8_t> data;
            transport_->Decode(buffer, static_cast<size_t>(n), &data, &wire_);
            discarded_ = transport_->Discarded();
            if (!data.empty()) {
                // Counted first: the delivery may reach the port before Queue returns.
                counters_.Add(&PeerStats::ToPort, data.size());
                endpoint_.Queue(data);
            }
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        Disconnect(n == 0 ? "closed by the far side" : std::string("read: ") + ErrorText(errno));
    }

    void WriteSink()
    {
        const ssize_t n = write(fd_, wire_.data(), wire_.size());
        if (n > 0) {
            wire_.erase(0, static_cast<size_t>(n));
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        Disconnect(std::string("write: ") + ErrorText(errno));
    }

    void Run()
    {
        while (!stopping_) {
            if (fd_ < 0) {
                Connect();
                continue;
            }
            Refill();
            // While the port cannot take more, the source waits in its own buffers.
            const bool canTake = endpoint_.QueuedBytes() < INBOUND_LIMIT && !endpoint_.Paused();
            pollfd fds[3] = {
                {fd_, static_cast<short>((canTake ? POLLIN : 0) | (wire_.empty() ? 0 : POLLOUT)),
                 0},
                {wake_, POLLIN, 0},
                {transport_->ExtraDescriptor(), POLLIN, 0}};
            const nfds_t count = fds[2].fd >= 0 ? 3 : 2;
            if (poll(fds, count, canTake ? -1 : THROTTLE_POLL_MS) < 0) {
                continue;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                uint64_t value;
                [[maybe_unused]] const ssize_t got = read(wake_, &value, sizeof(value));
            }
            if (count == 3 && (fds[2].revents & POLLIN) != 0) {
                transport_->Extra();
            }
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                ReadSource();
            }
            if (fd_ >= 0 && (fds[0].revents & POLLOUT) != 0) {
                WriteSink();
            }
        }
    }

    std::u16string port_;
    PeerConfig config_;
    std::unique_ptr<Transport> transport_;
    int wake_;
    PeerCounters counters_;
    PeerEndpoint endpoint_;
    OutboundGate gate_;
    std::atomic<uint64_t> discarded_{0};

    mutable std::mutex lock_;
    std::deque<uint8_t> outbound_; // from the port, for the far side (bounded by the gate)
    uint32_t pendingRate_ = 0;
    std::string state_ = "starting";

    // The I/O thread's own.
    std::atomic<bool> stopping_{false};
    int fd_ = -1;
    std::string wire_; // encoded, for the far side
    uint32_t rate_ = 0;
    std::thread thread_;
};

} // namespace

std::unique_ptr<Peer> CreateStreamBridge(const std::u16string& port, const PeerConfig& config,
                                         std::string* error)
{
    std::unique_ptr<Transport> transport = CreateTransport(port, config, error);
    if (!transport) {
        return nullptr;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        *error = std::string("eventfd: ") + ErrorText(errno);
        return nullptr;
    }
    return std::make_unique<StreamBridge>(port, config, std::move(transport), wake);
}

} // namespace qvx
