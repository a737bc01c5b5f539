// quarvexpeer.sys loaded into a machine the way Windows starts it: its service key written as
// the installation script writes it (a kernel driver started by the system), DriverEntry
// called by the I/O manager, DriverUnload when the service stops. Its status list is read
// through its control device, as a program reads it.
//
// Threads: one thread at a time calls a KernelPeerHost.
#pragma once

#include "kpeer/qvxpeer_control.h"
#include "platform/machine/machine.h"

#include <optional>
#include <string>
#include <vector>

namespace qvx {

class KernelPeerHost
{
  public:
    explicit KernelPeerHost(Machine& machine) : machine_(machine) {}
    // Stops the driver if it still runs.
    ~KernelPeerHost();
    KernelPeerHost(const KernelPeerHost&) = delete;
    KernelPeerHost& operator=(const KernelPeerHost&) = delete;

    // Writes the service key and starts the driver; loading twice is refused.
    NTSTATUS Load();
    // Stops the driver (refused while a handle to its control device is open).
    NTSTATUS Unload();
    bool Loaded() const { return driver_ != nullptr; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // IOCTL_QVXPEER_LIST: every port the driver knows, in its order.
    NTSTATUS List(std::vector<QvxPeerPortStatus>* ports) const;
    // The record of one port, if the driver knows it.
    std::optional<QvxPeerPortStatus> Port(const std::u16string& name) const;

  private:
    Machine& machine_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// A record's name as UTF-16.
std::u16string PeerRecordName(const unsigned short* name);

} // namespace qvx
