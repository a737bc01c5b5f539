#include "ledger.h"

#include "abi/baud_block.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace qvx {

void Runs::Add(size_t first, size_t last)
{
    if (first >= last) {
        return;
    }
    (void)Remove(first, last);
    count_ += last - first;
    // Merge with a run that ends where this one starts, and one that starts where it ends.
    auto next = runs_.find(last);
    if (next != runs_.end()) {
        last = next->second;
        runs_.erase(next);
    }
    auto it = runs_.lower_bound(first);
    if (it != runs_.begin() && std::prev(it)->second == first) {
        std::prev(it)->second = last;
        return;
    }
    runs_[first] = last;
}

size_t Runs::Remove(size_t first, size_t last)
{
    size_t removed = 0;
    auto it = runs_.lower_bound(first);
    if (it != runs_.begin() && std::prev(it)->second > first) {
        --it;
    }
    while (it != runs_.end() && it->first < last) {
        const size_t runFirst = it->first;
        const size_t runLast = it->second;
        it = runs_.erase(it);
        removed += std::min(runLast, last) - std::max(runFirst, first);
        if (runFirst < first) {
            runs_[runFirst] = first;
        }
        if (runLast > last) {
            it = runs_.emplace(last, runLast).first;
            break;
        }
    }
    count_ -= removed;
    return removed;
}

bool Runs::Contains(size_t at) const
{
    return NextFrom(at) == at;
}

size_t Runs::NextFrom(size_t from) const
{
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin() && std::prev(it)->second > from) {
        return from;
    }
    return it == runs_.end() ? SIZE_MAX : it->first;
}

size_t Stream::Append(const std::vector<UCHAR>& bytes, bool lossable)
{
    const size_t first = bytes_.size();
    for (UCHAR b : bytes) {
        where_[b].push_back(bytes_.size());
        bytes_.push_back(b);
    }
    if (!lossable) {
        kept_.Add(first, bytes_.size());
    }
    return first;
}

size_t Stream::MarkLossable(size_t first, size_t last)
{
    return kept_.Remove(first, last);
}

size_t Stream::MarkNeverSent(size_t first, size_t last)
{
    never_.Add(first, last);
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
        text += kept_.Contains(i) ? char(bytes_[i]) : '_';
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
        while (it != where.end() && *it < stop && never_.Contains(*it)) {
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
    return std::min(kept_.NextFrom(from), Size());
}

void TransmitTally::Add(const UCHAR* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const UCHAR b = bytes[i];
        const ULONG rate = abi::BaudBlockRate(bytes + i, length - i);
        if (rate != 0) {
            Rates.push_back(rate);
            i += abi::BAUD_BLOCK_BYTES - 1;
        } else if (b >= DATA_LOW && b <= DATA_HIGH) {
            Data.push_back(b);
        } else if (b >= IMMEDIATE_LOW && b <= IMMEDIATE_HIGH) {
            ++Immediates;
        } else if (b == COUNTER_CHAR) {
            ++CounterChars;
        } else if (b == XON || b == XOFF || b == OTHER_XON || b == OTHER_XOFF) {
            LastFlow = b;
            Xoffs += IsXoff(b) ? 1 : 0;
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
