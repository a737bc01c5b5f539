// A listener on a port's line beside its peer: registered on the port's two callback objects,
// it sees every block the port hands its peer and every block delivered to the port, whoever
// sends it. The handlers run at DISPATCH_LEVEL inside the hand-over or the delivery: they copy
// what they need and touch nothing else.
#pragma once

#include <ntddk.h>

#include <functional>
#include <string>

namespace qvx {

class LineTap
{
  public:
    using Handler = std::function<void(const UCHAR* bytes, size_t length)>;

    // PASSIVE_LEVEL.
    LineTap(const std::u16string& portName, Handler sent, Handler delivered);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

  private:
    static VOID NTAPI OnSent(PVOID context, PVOID argument1, PVOID argument2);
    static VOID NTAPI OnDelivered(PVOID context, PVOID argument1, PVOID argument2);

    Handler sent_;
    Handler delivered_;
    PCALLBACK_OBJECT sendObject_ = nullptr;
    PCALLBACK_OBJECT receiveObject_ = nullptr;
    PVOID sendRegistration_ = nullptr;
    PVOID receiveRegistration_ = nullptr;
};

} // namespace qvx
