// The fault switchboard: lets a test make the n-th call of a platform routine fail, so that
// the driver's failure paths can be driven.
#pragma once

#include <ntddk.h>

#include <map>

namespace qvx {

// Not thread-safe by itself: the component that owns it consults it under its own lock.
template <class Fault> class FaultSwitchboard
{
  public:
    // The nth call from now (1 = the next one) of `fault` fails with `status`.
    void Inject(Fault fault, ULONG nth, NTSTATUS status) { entries_[fault] = Entry{nth, status}; }
    void Clear() { entries_.clear(); }
    // TRUE, with the status to fail with, when this call is the one chosen to fail.
    bool Consume(Fault fault, NTSTATUS* status)
    {
        auto it = entries_.find(fault);
        if (it == entries_.end() || it->second.Countdown == 0 || --it->second.Countdown != 0) {
            return false;
        }
        *status = it->second.Status;
        entries_.erase(it);
        return true;
    }

  private:
    struct Entry
    {
        ULONG Countdown;
        NTSTATUS Status;
    };
    std::map<Fault, Entry> entries_;
};

} // namespace qvx
