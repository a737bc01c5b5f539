// The far side of one port: attached through the port's two callback objects by name.
//
// The endpoint creates or opens "\Callback\LyntraRecv<port>" and "\Callback\LyntraSend<port>"
// (the driver may start before or after it), copies every block the port transmits, picks out
// the 8-byte BAUD block, and delivers bytes to the port by notifying the receive object at
// DISPATCH_LEVEL in blocks of at most 44 bytes. It can honour the port's software flow
// control: after it sees the port send its Xoff character it pauses paced delivery until it
// sees the Xon character. Every other peer (loopback, null-modem, TCP, pseudo-terminal) is
// built on it.
#pragma once

#include "abi/serial_abi.h"
#include "platform/machine/machine.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qvx {

// Creates or opens the permanent callback object `name` (referenced); NULL on failure, with a
// message. PASSIVE_LEVEL.
PCALLBACK_OBJECT OpenPeerCallbackObject(const std::u16string& name);

// Bytes waiting for the port, oldest first. Nothing is allocated while it is empty (every
// open port's endpoint has two, mostly empty), and the storage goes once it drains.
class ByteFifo
{
  public:
    bool Empty() const { return head_ == bytes_.size(); }
    size_t Size() const { return bytes_.size() - head_; }
    void Append(const uint8_t* data, size_t count)
    {
        bytes_.insert(bytes_.end(), data, data + count);
    }
    void Push(uint8_t byte) { bytes_.push_back(byte); }
    // Moves up to `count` of the oldest bytes to `out`; returns how many it moved.
    size_t Take(uint8_t* out, size_t count);

  private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0; // bytes before it were taken
};

// What a watcher (a test) sees of the traffic from the port. Called at DISPATCH_LEVEL inside
// the port's hand-over, under the endpoint's lock: it must only copy, never call the endpoint.
class PeerObserver
{
  public:
    virtual ~PeerObserver() = default;
    // Each block as the port handed it over.
    virtual void OnBlock(const uint8_t* bytes, size_t length) = 0;
    // A rate a baud block announced.
    virtual void OnBaudRate(ULONG rate) = 0;
    // The data bytes of a block as the far side takes them in: baud blocks are taken out, and
    // the flow characters too while flow control is honoured.
    virtual void OnReceived(const uint8_t* bytes, size_t length) = 0;
};

class PeerEndpoint
{
  public:
    static constexpr size_t MAX_BLOCK = 44;

    // Attaches to the port named `portName` (for example u"COM5"), with `observer` (if any)
    // watching from the first hand-over on; it must outlive the endpoint. PASSIVE_LEVEL.
    explicit PeerEndpoint(const std::u16string& portName, PeerObserver* observer = nullptr);
    ~PeerEndpoint();
    PeerEndpoint(const PeerEndpoint&) = delete;
    PeerEndpoint& operator=(const PeerEndpoint&) = delete;

    const std::u16string& PortName() const { return portName_; }
    // Stops listening to the port and delivering to it; no handler runs after it returns.
    // The destructor does it too. PASSIVE_LEVEL.
    void Detach();

    // --- Towards the port ---------------------------------------------------------------
    // Delivers `bytes` now, in blocks of at most 44, at DISPATCH_LEVEL, ignoring flow
    // control. Between blocks the IRQL drops so the port's interrupt service can run.
    void Deliver(const std::vector<uint8_t>& bytes);
    void Deliver(const std::string& text);

    // Queues bytes for paced delivery: every `periodMs` the endpoint's timer delivers up to
    // `bytesPerPeriod` of them (in 44-byte blocks), unless flow control paused it.
    void Queue(const std::vector<uint8_t>& bytes);
    void StartPacing(ULONG periodMs, size_t bytesPerPeriod);
    void StopPacing();
    size_t QueuedBytes() const;
    // A byte delivered at the next pacing tick ahead of everything queued, even while paused
    // (the far side's own Xoff and Xon to the port). Any thread, any IRQL; the only way to
    // reach the port from inside a hand-over.
    void QueueUrgent(uint8_t byte);
    // Paces delivery like a line at `bitsPerSecond` (10 bits per byte) within the budget of
    // each period; 0 delivers the whole budget at once.
    void SetLineRate(ULONG bitsPerSecond);
    // Called after each paced delivery with the bytes still queued, at DISPATCH_LEVEL from the
    // pacing DPC.
    void SetOnDelivered(std::function<void(size_t)> handler);

    // --- Software flow control ----------------------------------------------------------
    void HonourFlowControl(bool on, uint8_t xonChar = abi::DEFAULT_XON_CHAR,
                           uint8_t xoffChar = abi::DEFAULT_XOFF_CHAR);
    bool Paused() const;

    // --- From the port ------------------------------------------------------------------
    // Called with each newly announced rate, at DISPATCH_LEVEL inside the hand-over (an RFC 2217
    // bridge turns it into a baud-rate command).
    void SetOnBaudRate(std::function<void(ULONG)> handler);
    // Called for each transmitted block, at DISPATCH_LEVEL, inside the port's hand-over: it
    // must copy what it needs and must not write to the port from there.
    void SetOnTransmit(std::function<void(const uint8_t*, size_t)> handler);
    // Called with the data bytes of each transmitted block (BAUD blocks taken out, flow
    // characters kept: they are the far side's business), under the same rules.
    void SetOnData(std::function<void(const uint8_t*, size_t)> handler);

  private:
    static VOID NTAPI SendCallback(PVOID context, PVOID argument1, PVOID argument2);
    static VOID NTAPI PaceDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    void OnTransmit(const uint8_t* bytes, size_t length);
    void NotifyPort(const uint8_t* bytes, size_t length);
    void DeliverPaced();

    std::u16string portName_;
    PCALLBACK_OBJECT receiveObject_ = nullptr;
    PCALLBACK_OBJECT sendObject_ = nullptr;
    PVOID sendRegistration_ = nullptr;

    mutable std::mutex lock_;
    std::mutex deliveryLock_; // one paced delivery at a time, so blocks keep their order
    ByteFifo queued_;
    ByteFifo urgent_;
    ULONG lineRate_ = 0;
    LONGLONG credit_ = 0; // thousandths of a byte the line may still carry
    LONGLONG lastPaced_ = -1;
    LONGLONG periodTicks_ = 0;
    std::function<void(size_t)> onDelivered_;
    bool honourFlow_ = false;
    bool paused_ = false;
    uint8_t xonChar_ = abi::DEFAULT_XON_CHAR;
    uint8_t xoffChar_ = abi::DEFAULT_XOFF_CHAR;
    size_t bytesPerPeriod_ = 0;
    std::function<void(const uint8_t*, size_t)> onTransmit_;
    std::function<void(ULONG)> onBaudRate_;
    std::function<void(const uint8_t*, size_t)> onData_;
    PeerObserver* const observer_;

    // Arms the pacing timer if pacing is on and it is not armed; TRUE when it did, and the
    // caller then kicks off the first delivery. Locks: lock_ held.
    bool ArmLocked();
    // Queues the delivery DPC now when `kick`. Locks: lock_ not held.
    void Kick(bool kick);

    KTIMER paceTimer_;
    KDPC paceDpc_;
    bool pacing_ = false;
    // The timer runs only while something waits for delivery: idle ports cost no ticks.
    bool armed_ = false;
};

} // namespace qvx
