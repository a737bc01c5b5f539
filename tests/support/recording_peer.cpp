#include "recording_peer.h"

namespace qvx {

std::vector<uint8_t> PeerRecorder::Received() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

std::vector<uint8_t> PeerRecorder::TakeReceived()
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint8_t> taken;
    taken.swap(received_);
    return taken;
}

std::vector<PeerRecorder::Block> PeerRecorder::Blocks() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_;
}

std::vector<ULONG> PeerRecorder::BaudRates() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return baudRates_;
}

void PeerRecorder::OnBlock(const uint8_t* bytes, size_t length)
{
    Machine* machine = Machine::TryCurrent();
    std::lock_guard<std::mutex> guard(lock_);
    blocks_.push_back(
        {machine != nullptr ? machine->NowMs() : 0, std::vector<uint8_t>(bytes, bytes + length)});
}

void PeerRecorder::OnBaudRate(ULONG rate)
{
    std::lock_guard<std::mutex> guard(lock_);
    baudRates_.push_back(rate);
}

void PeerRecorder::OnReceived(const uint8_t* bytes, size_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    received_.insert(received_.end(), bytes, bytes + length);
}

} // namespace qvx
