// The block a port puts into its transmit stream to announce a baud rate: the tag, then the
// rate, both 32-bit little-endian, written whole into one hand-over. Application data may hold
// the same bytes, so a peer takes a block as a rate only within the plausible range, and as
// data otherwise. The drivers (peer/peer.h, kpeer/peer_core.h) keep copies of their own, as
// they include only WDK headers; their tests hold them equal to these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvx::abi {

constexpr uint32_t BAUD_TAG = 0x42415544; // "DUAB" on the wire
constexpr size_t BAUD_BLOCK_BYTES = 8;
constexpr uint32_t BAUD_RATE_MIN = 1;
constexpr uint32_t BAUD_RATE_MAX = 16000000;

// The rate of a baud block at the start of `bytes`, or 0 when they hold none.
inline uint32_t BaudBlockRate(const uint8_t* bytes, size_t length)
{
    if (length < BAUD_BLOCK_BYTES) {
        return 0;
    }
    uint32_t tag = 0;
    uint32_t rate = 0;
    std::memcpy(&tag, bytes, sizeof(tag));
    std::memcpy(&rate, bytes + sizeof(tag), sizeof(rate));
    return tag == BAUD_TAG && rate >= BAUD_RATE_MIN && rate <= BAUD_RATE_MAX ? rate : 0;
}

} // namespace qvx::abi
