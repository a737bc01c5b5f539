#include "host/peers/peer_endpoint.h"

#include "abi/baud_block.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qvx {

PCALLBACK_OBJECT OpenPeerCallbackObject(const std::u16string& name)
{
    std::u16string copy = name;
    UNICODE_STRING text;
    text.Buffer = copy.data();
    text.Length = static_cast<USHORT>(copy.size() * sizeof(char16_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL,
                               NULL);
    PCALLBACK_OBJECT object = nullptr;
    const NTSTATUS status = ExCreateCallback(&object, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "peer: cannot open callback object (status %08x)\n",
                static_cast<unsigned>(status));
        return nullptr;
    }
    return object;
}

size_t ByteFifo::Take(uint8_t* out, size_t count)
{
    count = std::min(count, Size());
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(head_), count, out);
    head_ += count;
    if (Empty()) {
        std::vector<uint8_t>().swap(bytes_);
        head_ = 0;
    } else if (head_ >= bytes_.size() / 2) {
        // Taken bytes go once they are half the storage, so moving the rest costs no more
        // than taking them did.
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    return count;
}

PeerEndpoint::PeerEndpoint(const std::u16string& portName, PeerObserver* observer)
    : portName_(portName), observer_(observer)
{
    receiveObject_ = OpenPeerCallbackObject(u"\\Callback\\LyntraRecv" + portName);
    sendObject_ = OpenPeerCallbackObject(u"\\Callback\\LyntraSend" + portName);
    if (sendObject_ != nullptr) {
        sendRegistration_ = ExRegisterCallback(sendObject_, SendCallback, this);
    }
    KeInitializeTimer(&paceTimer_);
    KeInitializeDpc(&paceDpc_, PaceDpc, this);
    // Deliveries run on one processor, where the port's interrupt DPC that each one queues
    // runs before the delivery after next: on a loaded host, deliveries on another processor
    // could otherwise overrun the port's receive buffer while its processor thread waits.
    KeSetTargetProcessorDpc(&paceDpc_, 0);
}

PeerEndpoint::~PeerEndpoint()
{
    Detach();
    if (sendObject_ != nullptr) {
        ObDereferenceObject(sendObject_);
    }
    if (receiveObject_ != nullptr) {
        ObDereferenceObject(receiveObject_);
    }
}

void PeerEndpoint::Detach()
{
    StopPacing();
    if (sendRegistration_ != nullptr) {
        // Waits for a hand-over in progress on another processor.
        ExUnregisterCallback(sendRegistration_);
        sendRegistration_ = nullptr;
    }
}

void PeerEndpoint::NotifyPort(const uint8_t* bytes, size_t length)
{
    // The port's receive routine takes its lock with the DPC-level acquire.
    DispatchLevelScope dispatch;
    ULONG count = static_cast<ULONG>(length);
    ExNotifyCallback(receiveObject_, const_cast<uint8_t*>(bytes), &count);
}

void PeerEndpoint::Deliver(const std::vector<uint8_t>& bytes)
{
    for (size_t offset = 0; offset < bytes.size(); offset += MAX_BLOCK) {
        const size_t length = std::min(MAX_BLOCK, bytes.size() - offset);
        NotifyPort(bytes.data() + offset, length);
    }
}

void PeerEndpoint::Deliver(const std::string& text)
{
    Deliver(std::vector<uint8_t>(text.begin(), text.end()));
}

void PeerEndpoint::Queue(const std::vector<uint8_t>& bytes)
{
    bool kick = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        queued_.Append(bytes.data(), bytes.size());
        kick = !queued_.Empty() && ArmLocked();
    }
    Kick(kick);
}

bool PeerEndpoint::ArmLocked()
{
    if (!pacing_ || armed_) {
        return false;
    }
    armed_ = true;
    // A line that was idle starts with one period's credit, as if the timer had run on.
    lastPaced_ = -1;
    LARGE_INTEGER due;
    due.QuadPart = -periodTicks_;
    KeSetTimerEx(&paceTimer_, due, static_cast<LONG>(periodTicks_ / 10000), &paceDpc_);
    return true;
}

void PeerEndpoint::Kick(bool kick)
{
    // The first delivery after an idle spell goes at once, in a DPC of its own: the caller
    // may hold the sending port's transmit lock, so the receiving port is not called from
    // here. Outside lock_: on the simulated machine the DPC may run inside this call.
    if (kick) {
        KeInsertQueueDpc(&paceDpc_, nullptr, nullptr);
    }
}

size_t PeerEndpoint::QueuedBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queued_.Size();
}

void PeerEndpoint::StartPacing(ULONG periodMs, size_t bytesPerPeriod)
{
    bool kick = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        bytesPerPeriod_ = bytesPerPeriod;
        periodTicks_ = static_cast<LONGLONG>(periodMs) * 10000;
        lastPaced_ = -1;
        pacing_ = true;
        kick = (!queued_.Empty() || !urgent_.Empty()) && ArmLocked();
    }
    Kick(kick);
}

void PeerEndpoint::StopPacing()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!pacing_) {
            return;
        }
        pacing_ = false;
        armed_ = false;
    }
    KeCancelTimer(&paceTimer_);
    KeRemoveQueueDpc(&paceDpc_);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        KeFlushQueuedDpcs();
    }
}

VOID NTAPI PeerEndpoint::PaceDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<PeerEndpoint*>(context)->DeliverPaced();
}

void PeerEndpoint::DeliverPaced()
{
    // The pacing DPC may be queued again while it still runs on another processor; a second
    // run taking the next block could overtake the first, so it leaves this period to it.
    std::unique_lock<std::mutex> delivering(deliveryLock_, std::try_to_lock);
    if (!delivering.owns_lock()) {
        return;
    }
    uint8_t block[MAX_BLOCK];
    size_t budget;
    std::function<void(size_t)> delivered;
    uint8_t urgentBlock[MAX_BLOCK];
    size_t urgent = 0;
    size_t left = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        budget = bytesPerPeriod_;
        delivered = onDelivered_;
        urgent = urgent_.Take(urgentBlock, MAX_BLOCK);
        left = queued_.Size();
        if (lineRate_ != 0) {
            // Credit by elapsed time, not by ticks: a real-time timer may fire late.
            const LONGLONG now = Machine::Current().Now();
            const LONGLONG elapsed = lastPaced_ < 0 ? periodTicks_ : now - lastPaced_;
            lastPaced_ = now;
            credit_ += elapsed * static_cast<LONGLONG>(lineRate_ / 10) / 10000;
            if (queued_.Empty()) {
                // An idle line banks no more than one period's worth.
                credit_ = std::min(
                    credit_, periodTicks_ * static_cast<LONGLONG>(lineRate_ / 10) / 10000 + 999);
            }
            budget = std::min(budget, static_cast<size_t>(std::max<LONGLONG>(credit_, 0) / 1000));
        }
    }
    if (urgent > 0) {
        ULONG count = static_cast<ULONG>(urgent);
        ExNotifyCallback(receiveObject_, urgentBlock, &count);
    }
    while (budget > 0) {
        size_t length = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            left = queued_.Size();
            if (paused_ || queued_.Empty()) {
                break;
            }
            length = queued_.Take(block, std::min(MAX_BLOCK, budget));
            left = queued_.Size();
            credit_ -= static_cast<LONGLONG>(length) * 1000;
        }
        ULONG count = static_cast<ULONG>(length);
        ExNotifyCallback(receiveObject_, block, &count);
        budget -= length;
    }
    {
        // Disarmed under the lock that Queue arms under, so bytes queued meanwhile either
        // were seen here or arm the timer again after this.
        std::lock_guard<std::mutex> guard(lock_);
        if (armed_ && queued_.Empty() && urgent_.Empty()) {
            armed_ = false;
            KeCancelTimer(&paceTimer_);
        }
    }
    if (delivered) {
        delivered(left);
    }
}

void PeerEndpoint::QueueUrgent(uint8_t byte)
{
    bool kick = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        urgent_.Push(byte);
        kick = ArmLocked();
    }
    Kick(kick);
}

void PeerEndpoint::SetLineRate(ULONG bitsPerSecond)
{
    std::lock_guard<std::mutex> guard(lock_);
    lineRate_ = bitsPerSecond;
}

void PeerEndpoint::SetOnDelivered(std::function<void(size_t)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    onDelivered_ = std::move(handler);
}

void PeerEndpoint::HonourFlowControl(bool on, uint8_t xonChar, uint8_t xoffChar)
{
    std::lock_guard<std::mutex> guard(lock_);
    honourFlow_ = on;
    xonChar_ = xonChar;
    xoffChar_ = xoffChar;
    if (!on) {
        paused_ = false;
    }
}

bool PeerEndpoint::Paused() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return paused_;
}

VOID NTAPI PeerEndpoint::SendCallback(PVOID context, PVOID argument1, PVOID argument2)
{
    const auto* bytes = static_cast<const uint8_t*>(argument1);
    const ULONG length = *static_cast<const ULONG*>(argument2);
    static_cast<PeerEndpoint*>(context)->OnTransmit(bytes, length);
}

void PeerEndpoint::OnTransmit(const uint8_t* bytes, size_t length)
{
    std::function<void(const uint8_t*, size_t)> handler;
    std::function<void(const uint8_t*, size_t)> dataHandler;
    std::function<void(ULONG)> baudHandler;
    std::vector<ULONG> announced;
    // The data is the block less its BAUD blocks: copied only when the block carries one.
    std::vector<uint8_t> data;
    size_t dataFrom = 0;
    std::vector<uint8_t> kept; // for the observer
    {
        std::lock_guard<std::mutex> guard(lock_);
        dataHandler = onData_;
        if (observer_ != nullptr) {
            observer_->OnBlock(bytes, length);
        }
        // Without flow control or an observer, only a BAUD block's first byte needs a look.
        const bool onlyBaud = !honourFlow_ && observer_ == nullptr;
        const auto baudFirst = static_cast<uint8_t>(abi::BAUD_TAG & 0xFF);
        for (size_t i = 0; i < length; ++i) {
            if (onlyBaud) {
                const void* next = std::memchr(bytes + i, baudFirst, length - i);
                if (next == nullptr) {
                    break;
                }
                i = static_cast<size_t>(static_cast<const uint8_t*>(next) - bytes);
            }
            // A BAUD block is written whole into one transmit block, so it never straddles two.
            const uint32_t rate = abi::BaudBlockRate(bytes + i, length - i);
            if (rate != 0) {
                if (observer_ != nullptr) {
                    observer_->OnBaudRate(rate);
                }
                announced.push_back(rate);
                data.insert(data.end(), bytes + dataFrom, bytes + i);
                dataFrom = i + abi::BAUD_BLOCK_BYTES;
                i += abi::BAUD_BLOCK_BYTES - 1;
                continue;
            }
            const uint8_t byte = bytes[i];
            if (honourFlow_ && byte == xoffChar_) {
                paused_ = true;
                continue;
            }
            if (honourFlow_ && byte == xonChar_) {
                paused_ = false;
                continue;
            }
            if (observer_ != nullptr) {
                kept.push_back(byte);
            }
        }
        if (!kept.empty()) {
            observer_->OnReceived(kept.data(), kept.size());
        }
        handler = onTransmit_;
        baudHandler = onBaudRate_;
    }
    if (baudHandler) {
        for (ULONG rate : announced) {
            baudHandler(rate);
        }
    }
    if (handler) {
        handler(bytes, length);
    }
    if (!dataHandler) {
        return;
    }
    if (announced.empty()) {
        if (length > 0) {
            dataHandler(bytes, length);
        }
        return;
    }
    data.insert(data.end(), bytes + dataFrom, bytes + length);
    if (!data.empty()) {
        dataHandler(data.data(), data.size());
    }
}

void PeerEndpoint::SetOnData(std::function<void(const uint8_t*, size_t)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    onData_ = std::move(handler);
}

void PeerEndpoint::SetOnBaudRate(std::function<void(ULONG)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    onBaudRate_ = std::move(handler);
}

void PeerEndpoint::SetOnTransmit(std::function<void(const uint8_t*, size_t)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    onTransmit_ = std::move(handler);
}

} // namespace qvx
