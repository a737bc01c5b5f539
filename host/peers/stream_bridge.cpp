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
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
// While the far side has not taken what was sent, how often to look again.
constexpr int CONFIRM_POLL_MS = 20;

class StreamBridge final : public Peer
{
  public:
    StreamBridge(const std::u16string& port, const PeerConfig& config,
                 std::unique_ptr<Transport> transport, int wake)
        : port_(port), config_(config), transport_(std::move(transport)), wake_(wake),
          endpoint_(port), gate_(&endpoint_, config, &counters_)
    {
        endpoint_.SetLineRate(DEFAULT_LINE_RATE);
        if (config_.XonXoff) {
            endpoint_.HonourFlowControl(true);
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
        const uint64_t unsent = Stats().Waiting;
        if (unsent != 0) {
            PeerTrace(port_, std::to_string(unsent) +
                                 " bytes from the port had not reached the far side when the "
                                 "bridge stopped (" +
                                 state_ + ")");
        }
        if (fd_ >= 0) {
            transport_->Release(fd_);
        }
        close(wake_);
    }

    bool Serves(const std::u16string& port) const override { return port == port_; }

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
        std::lock_guard<std::mutex> guard(lock_);
        stats.Waiting = outbound_.size() + wireSize_ + unconfirmed_;
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
                if (!config_.XonXoff ||
                    (byte != abi::DEFAULT_XON_CHAR && byte != abi::DEFAULT_XOFF_CHAR)) {
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
        // Taken from the port and encoded, or sent and never taken: the far side is gone
        // before it got them.
        const uint64_t lost = wire_.size() + transport_->Unconfirmed(fd_, written_);
        transport_->Release(fd_);
        fd_ = -1;
        {
            std::lock_guard<std::mutex> guard(lock_);
            wire_.clear();
            wireSize_ = 0;
            unconfirmed_ = 0;
        }
        if (lost != 0) {
            counters_.Add(&PeerStats::Dropped, lost);
            PeerTrace(port_, std::to_string(lost) + " bytes not sent: the far side went away");
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
        written_ = 0;
        counters_.Add(&PeerStats::Connections, 1);
        SetState("connected");
        std::lock_guard<std::mutex> guard(lock_);
        transport_->Greet(&wire_);
        if (rate_ != 0) {
            transport_->BaudRate(rate_, fd_, &wire_);
        }
        wireSize_ = wire_.size();
    }

    void Refill()
    {
        size_t left = 0;
        {
            // Moved and counted under the lock, so Stats never sees bytes in neither place.
            std::lock_guard<std::mutex> guard(lock_);
            if (pendingRate_ != 0) {
                rate_ = pendingRate_;
                pendingRate_ = 0;
                transport_->BaudRate(rate_, fd_, &wire_);
            }
            if (wire_.size() < WIRE_CHUNK) {
                const size_t n = std::min(WIRE_CHUNK, outbound_.size());
                std::vector<uint8_t> chunk(outbound_.begin(),
                                           outbound_.begin() + static_cast<long>(n));
                outbound_.erase(outbound_.begin(), outbound_.begin() + static_cast<long>(n));
                transport_->Encode(chunk.data(), chunk.size(), &wire_);
            }
            left = outbound_.size();
            wireSize_ = wire_.size();
        }
        gate_.Level(left);
    }

    // What the far side has not taken of what was sent; the I/O thread's, published for Stats.
    void Confirm()
    {
        const uint64_t unconfirmed = transport_->Unconfirmed(fd_, written_);
        std::lock_guard<std::mutex> guard(lock_);
        unconfirmed_ = unconfirmed;
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
        // A socket must not raise SIGPIPE in the process that embeds the bridge.
        ssize_t n = socket_ ? send(fd_, wire_.data(), wire_.size(), MSG_NOSIGNAL) : -1;
        if (n < 0 && (!socket_ || errno == ENOTSOCK)) {
            socket_ = false;
            n = write(fd_, wire_.data(), wire_.size());
        }
        if (n > 0) {
            written_ += static_cast<uint64_t>(n);
            const uint64_t unconfirmed = transport_->Unconfirmed(fd_, written_);
            std::lock_guard<std::mutex> guard(lock_);
            wire_.erase(0, static_cast<size_t>(n));
            wireSize_ = wire_.size();
            unconfirmed_ = unconfirmed;
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
            std::vector<int> extra;
            transport_->ExtraDescriptors(&extra);
            std::vector<pollfd> fds = {
                {fd_, static_cast<short>((canTake ? POLLIN : 0) | (wire_.empty() ? 0 : POLLOUT)),
                 0},
                {wake_, POLLIN, 0}};
            for (const int fd : extra) {
                fds.push_back({fd, POLLIN, 0});
            }
            // While the far side has not taken everything sent, look again now and then: its
            // acknowledgements wake nobody.
            int timeout = canTake ? -1 : THROTTLE_POLL_MS;
            if (unconfirmed_ != 0 && timeout < 0) {
                timeout = CONFIRM_POLL_MS;
            }
            if (poll(fds.data(), fds.size(), timeout) < 0) {
                continue;
            }
            if (unconfirmed_ != 0) {
                Confirm();
            }
            if ((fds[1].revents & POLLIN) != 0) {
                uint64_t value;
                [[maybe_unused]] const ssize_t got = read(wake_, &value, sizeof(value));
            }
            bool extraReady = false;
            for (size_t i = 2; i < fds.size(); ++i) {
                extraReady = extraReady || fds[i].revents != 0;
            }
            if (extraReady) {
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
    // Written by the I/O thread under the lock, read by Stats: wire_'s size and what the far
    // side has not taken of what was sent.
    size_t wireSize_ = 0;
    uint64_t unconfirmed_ = 0;
    // The I/O thread's own; changed under the lock, so Stats sees it whole.
    std::string wire_; // encoded, for the far side
    uint32_t rate_ = 0;

    // The I/O thread's own.
    std::atomic<bool> stopping_{false};
    int fd_ = -1;
    uint64_t written_ = 0; // on this connection
    bool socket_ = true;   // until a send says the descriptor is not one
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
