// The I/O side of a machine: the object namespace, the registry, the I/O manager (drivers,
// devices, requests, files, work items) and the Plug and Play manager with its root bus and
// filter drivers. Their kernel-facing routines (Io*, Iof*, Po*, Ob*, Ex*Callback, Zw*, Rtl*
// registry helpers, Wmi*) and their own classes are private to this folder; the machine
// builds the side and answers the application face (platform/machine/machine.h) from it.
#pragma once

#include "platform/machine/machine.h"

#include <memory>
#include <string>

namespace qvx {

class IoManagerImpl;
class NotificationsImpl;
class ObjectNamespaceImpl;
class PnpManagerImpl;
class RegistryImpl;

class IoSide
{
  public:
    // Builds the components in order: the namespace, the registry, the I/O manager, the PnP
    // manager. The executive and the verifier exist already.
    IoSide();
    // Tears them down in reverse; requests never completed are reported.
    ~IoSide();
    IoSide(const IoSide&) = delete;
    IoSide& operator=(const IoSide&) = delete;

    // The machine's I/O side; aborts when no machine exists.
    static IoSide& Current();

    IoManager& Io();
    Registry& Reg();
    ObjectNamespace& Names();
    PnpManager& Pnp();
    // "(extension of device <p> + offset)" for an address inside a live device extension;
    // empty otherwise.
    std::string DescribeAddress(const void* address) const;

    // The components themselves, for one another.
    IoManagerImpl& IoCore() { return *io_; }
    RegistryImpl& RegistryCore() { return *registry_; }
    ObjectNamespaceImpl& NamesCore() { return *names_; }
    PnpManagerImpl& PnpCore() { return *pnp_; }
    NotificationsImpl& NotificationsCore() { return *notifications_; }

  private:
    std::unique_ptr<ObjectNamespaceImpl> names_;
    std::unique_ptr<NotificationsImpl> notifications_; // outlives the I/O manager's work queue
    std::unique_ptr<RegistryImpl> registry_;
    std::unique_ptr<IoManagerImpl> io_;
    std::unique_ptr<PnpManagerImpl> pnp_;
};

} // namespace qvx
