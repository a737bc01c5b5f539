// The kernel side of a System: its machine, the driver host and the peers, for the tool and
// the tests that reach below the Win32 layer.
#pragma once

#include "host/driver_host.h"
#include "host/kernel_peer_host.h"
#include "host/peers/peer_factory.h"
#include "host/system.h"
#include "platform/machine/machine.h"

#include <memory>
#include <vector>

namespace qvx {

struct System::Internal
{
    std::unique_ptr<Machine> TheMachine;
    std::unique_ptr<DriverHost> Host;
    std::vector<SystemPort> Ports;
    std::vector<PDEVICE_OBJECT> Pdos; // one per port, same order
    std::vector<std::unique_ptr<Peer>> Peers;
    std::unique_ptr<KernelPeerHost> KernelPeer;
    bool Down = false;
    bool TraceSet = false;  // the driver's trace filter is ours until shutdown
    bool NoticeSet = false; // the peers' notices are ours until shutdown
    ULONG SavedTraceComponents = 0;
    ULONG SavedTraceLevel = 0;
};

} // namespace qvx
