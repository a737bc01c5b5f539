#include "sim/ledger.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qvx {

namespace {

constexpr UCHAR BAUD_TAG[] = {'D', 'U', 'A', 'B'};
constexpr size_t BAUD_BLOCK_SIZE = 8;

// A baud block starts at `bytes`: the tag and a rate a peer takes for one.
bool IsBaudBlock(const UCHAR* bytes, size_t length, ULONG* rate)
{
    if (length < BAUD_BLOCK_SIZE || std::memcmp(bytes, BAUD_TAG, sizeof(BAUD_TAG)) != 0) {
        return false;
    }
    std::memcpy(rate, bytes + sizeof(BAUD_TAG), sizeof(*rate));
    return *rate >= 1 && *rate <= MAX_PLAUSIBLE_RATE;
}

} // namespace

size_t Stream::Append(const std::vector<UCHAR>& bytes, bool lossable)
{
    const size_t first = bytes_.size();
    for (UCHAR b : bytes) {
        const size_t at = bytes_.size();
        bytes_.push_back(b);
        where_[b].push_back(at);
        if (!lossable) {
            kept_.insert(at);
        }
    }
    return first;
}

size_t Stream::MarkLossable(size_t first, size_t last)
{
    const size_t before = kept_.size();
    kept_.erase(kept_.lower_bound(first), kept_.lower_bound(last));
    return before - kept_.size();
}

size_t Stream::MarkNeverSent(size_t first, size_t last)
{
    for (size_t at = first; at < last; ++at) {
        never_.insert(at);
    }
    return MarkLossable(first, last);
}

size_t Stream::MarkInFlight()
{
    return MarkLossable(*std::min_element(states_.begin(), states_.end()), Size());
}

std::string Stream::Text() const
{
    std::string text;
    for (size_t i = 0; i < Size(); ++i) {
        if (i % 100 == 0) {
            text += "\n" + std::to_string(i) + ": ";
        }
        text += kept_.count(i) != 0 ? char(bytes_[i]) : '_';
    }
    return text;
}

bool Stream::Read(UCHAR b)
{
    std::vector<size_t> next;
    for (size_t state : states_) {
        const size_t stop = NextKept(state);
        const auto& where = where_[b];
        auto it = std::lower_bound(where.begin(), where.end(), state);
        while (it != where.end() && *it < stop && never_.count(*it) != 0) {
            ++it;
        }
        if (it != where.end() && *it < stop) {
            next.push_back(*it + 1);
        }
        if (stop < Size() && bytes_[stop] == b) {
            next.push_back(stop + 1);
        }
    }
    if (next.empty()) {
        return false;
    }
    ++read_;
    // Of candidates before the same kept byte, the first one can reach all the others do.
    std::sort(next.begin(), next.end());
    states_.clear();
    size_t lastStop = SIZE_MAX;
    for (size_t state : next) {
        const size_t stop = NextKept(state);
        if (stop != lastStop) {
            states_.push_back(state);
            lastStop = stop;
        }
    }
    return true;
}

bool Stream::Complete() const
{
    for (size_t state : states_) {
        if (NextKept(state) == Size()) {
            return true;
        }
    }
    return false;
}

size_t Stream::Owed() const
{
    return NextKept(*std::min_element(states_.begin(), states_.end()));
}

size_t Stream::NextKept(size_t from) const
{
    auto it = kept_.lower_bound(from);
    return it == kept_.end() ? Size() : *it;
}

void TransmitTally::Add(const UCHAR* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const UCHAR b = bytes[i];
        ULONG rate = 0;
        if (IsBaudBlock(bytes + i, length - i, &rate)) {
            Rates.push_back(rate);
            i += BAUD_BLOCK_SIZE - 1;
        } else if (b >= DATA_LOW && b <= DATA_HIGH) {
            Data.push_back(b);
        } else if (b >= IMMEDIATE_LOW && b <= IMMEDIATE_HIGH) {
            ++Immediates;
        } else if (b == COUNTER_CHAR) {
            ++CounterChars;
        } else if (b == XON || b == XOFF || b == OTHER_XON || b == OTHER_XOFF) {
            LastFlow = b;
        }
    }
}

void Wire::Feed(const UCHAR* bytes, size_t length)
{
    const size_t before = tally_.Data.size();
    tally_.Add(bytes, length);
    data_ += tally_.Data.size() - before;
}

bool Wire::Verify(const Stream& stream, std::string* error)
{
    for (size_t i = 0; i < tally_.Data.size(); ++i) {
        while (cursor_ < stream.Size() && stream.NeverSent(cursor_)) {
            ++cursor_;
        }
        const UCHAR b = tally_.Data[i];
        if (cursor_ >= stream.Size() || stream.At(cursor_) != b) {
            char text[160];
            std::snprintf(text, sizeof(text),
                          "the port handed its peer byte 0x%02x where stream position %zu of %zu "
                          "was due (%zu data bytes handed before it)",
                          b, cursor_, stream.Size(), data_ - tally_.Data.size() + i);
            *error = text;
            tally_.Data.clear();
            return false;
        }
        ++cursor_;
    }
    tally_.Data.clear();
    return true;
}

} // namespace qvx
