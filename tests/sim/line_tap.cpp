#include "sim/line_tap.h"

#include "host/peers/peer_endpoint.h"

namespace qvx {

LineTap::LineTap(const std::u16string& portName, Handler sent, Handler delivered)
    : sent_(std::move(sent)), delivered_(std::move(delivered))
{
    sendObject_ = OpenPeerCallbackObject(u"\\Callback\\LyntraSend" + portName);
    receiveObject_ = OpenPeerCallbackObject(u"\\Callback\\LyntraRecv" + portName);
    if (sendObject_ != nullptr) {
        sendRegistration_ = ExRegisterCallback(sendObject_, OnSent, this);
    }
    if (receiveObject_ != nullptr) {
        receiveRegistration_ = ExRegisterCallback(receiveObject_, OnDelivered, this);
    }
}

LineTap::~LineTap()
{
    if (sendRegistration_ != nullptr) {
        ExUnregisterCallback(sendRegistration_);
    }
    if (receiveRegistration_ != nullptr) {
        ExUnregisterCallback(receiveRegistration_);
    }
    if (sendObject_ != nullptr) {
        ObDereferenceObject(sendObject_);
    }
    if (receiveObject_ != nullptr) {
        ObDereferenceObject(receiveObject_);
    }
}

VOID NTAPI LineTap::OnSent(PVOID context, PVOID argument1, PVOID argument2)
{
    static_cast<LineTap*>(context)->sent_(static_cast<const UCHAR*>(argument1),
                                          *static_cast<const ULONG*>(argument2));
}

VOID NTAPI LineTap::OnDelivered(PVOID context, PVOID argument1, PVOID argument2)
{
    static_cast<LineTap*>(context)->delivered_(static_cast<const UCHAR*>(argument1),
                                               *static_cast<const ULONG*>(argument2));
}

} // namespace qvx
