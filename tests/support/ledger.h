// The byte ledgers of the seeded scenarios (the whole system's and the data path's).
//
// A scenario's bytes are printable data; every other byte a port sends has a range of its own,
// so that one pass over what a port hands to its peer tells them apart: immediate characters,
// the Xoff counters' character, flow characters of either convention, and baud blocks (the tag
// "DUAB", then a rate of 1 to 16,000,000, whose last byte is 0: no other byte the port sends is
// 0, so data can never look like a block).
//
// Stream: one direction of traffic as the far port's reader must see it (written bytes in order,
// some of them lossable for a reason). Wire: what one port's transmitter handed to its peer,
// which must be its written bytes in order without the bytes its failed writes never handed
// over, whatever happens at the far end.
#pragma once

#include <ntddk.h>

#include "abi/serial_abi.h"

#include <array>
#include <map>
#include <string>
#include <vector>

namespace qvx {

constexpr UCHAR DATA_LOW = 0x20;
constexpr UCHAR DATA_HIGH = 0x7E;
constexpr UCHAR IMMEDIATE_LOW = 0x01;
constexpr UCHAR IMMEDIATE_HIGH = 0x04;
constexpr UCHAR COUNTER_CHAR = 0x07;
constexpr UCHAR XON = abi::DEFAULT_XON_CHAR;
constexpr UCHAR XOFF = abi::DEFAULT_XOFF_CHAR;
constexpr UCHAR OTHER_XON = 0x05;
constexpr UCHAR OTHER_XOFF = 0x06;

// Positions as disjoint runs: a run per write, not a node per byte.
class Runs
{
  public:
    void Add(size_t first, size_t last);
    // Removes what of [first, last) is present; returns how many positions that was.
    size_t Remove(size_t first, size_t last);
    bool Contains(size_t at) const;
    // The first position at or after `from`; SIZE_MAX when none.
    size_t NextFrom(size_t from) const;
    size_t Count() const { return count_; }

  private:
    std::map<size_t, size_t> runs_; // first -> last (exclusive)
    size_t count_ = 0;
};

// One direction of traffic and what the reader may still see of it. The read check runs as a
// small automaton over candidate stream positions (one per run of lossable bytes), so it is
// exact however the lost bytes looked.
class Stream
{
  public:
    // Appends bytes written now; returns the first position.
    size_t Append(const std::vector<UCHAR>& bytes, bool lossable);
    // Bytes from `first` up to `last` may be lost.
    size_t MarkLossable(size_t first, size_t last);
    // Bytes from `first` up to `last` never left the writer: they are lost and must never be read.
    size_t MarkNeverSent(size_t first, size_t last);
    // Everything not read yet may be lost.
    size_t MarkInFlight();

    size_t Size() const { return bytes_.size(); }
    size_t Lossable() const { return Size() - kept_.Count(); }
    UCHAR At(size_t at) const { return bytes_[at]; }
    bool NeverSent(size_t at) const { return never_.Contains(at); }
    // The stream with lost bytes as '_', 100 to a line, for messages.
    std::string Text() const;
    size_t ReadCount() const { return read_; }

    // Feeds one byte the reader got; FALSE when it cannot be the next byte of the stream.
    bool Read(UCHAR b);
    // Every byte not lossable was read.
    bool Complete() const;
    // The first byte the reader still owes, for messages.
    size_t Owed() const;

  private:
    size_t NextKept(size_t from) const;

    std::vector<UCHAR> bytes_;
    std::array<std::vector<size_t>, 256> where_;
    Runs kept_;                        // positions that must be read
    Runs never_;                       // positions that must not be read
    std::vector<size_t> states_ = {0}; // where the next byte read may come from
    size_t read_ = 0;
};

// A piece of what a port sent, sorted.
struct TransmitTally
{
    std::vector<UCHAR> Data;
    size_t Immediates = 0;
    size_t CounterChars = 0;
    UCHAR LastFlow = 0; // the last Xon or Xoff of either convention; 0 when none
    size_t Xoffs = 0;
    std::vector<ULONG> Rates;

    void Add(const UCHAR* bytes, size_t length);
};

inline bool IsXoff(UCHAR flow)
{
    return flow == XOFF || flow == OTHER_XOFF;
}

// What one port handed to its peer since the scenario began. Fed from the port's send
// callback at DISPATCH_LEVEL; checked at passive level.
class Wire
{
  public:
    void Feed(const UCHAR* bytes, size_t length);
    // The data since the last check must continue `stream`: each byte the next one not marked
    // never-sent. FALSE with a message when it does not.
    bool Verify(const Stream& stream, std::string* error);

    size_t Data() const { return data_; }
    size_t Immediates() const { return tally_.Immediates; }
    size_t CounterChars() const { return tally_.CounterChars; }
    UCHAR LastFlow() const { return tally_.LastFlow; }
    size_t Xoffs() const { return tally_.Xoffs; }

  private:
    TransmitTally tally_; // Data: not checked yet
    size_t data_ = 0;
    size_t cursor_ = 0; // stream position of the next data byte
};

} // namespace qvx
