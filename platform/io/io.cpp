// The I/O side: its components built and torn down in order.

#include "platform/io/io.h"

#include "platform/io/io_manager.h"
#include "platform/io/names.h"
#include "platform/io/notifications.h"
#include "platform/io/pnp.h"
#include "platform/io/registry.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qvx {

namespace {

std::atomic<IoSide*> g_side{nullptr};

} // namespace

IoSide::IoSide()
{
    g_side.store(this, std::memory_order_release);
    names_ = std::make_unique<ObjectNamespaceImpl>(*this);
    notifications_ = std::make_unique<NotificationsImpl>(*this);
    registry_ = std::make_unique<RegistryImpl>(*this);
    io_ = std::make_unique<IoManagerImpl>(*this);
    pnp_ = std::make_unique<PnpManagerImpl>(*this);
}

IoSide::~IoSide()
{
    pnp_.reset();
    io_.reset();
    registry_.reset();
    notifications_.reset();
    names_.reset();
    g_side.store(nullptr, std::memory_order_release);
}

IoSide& IoSide::Current()
{
    IoSide* side = g_side.load(std::memory_order_acquire);
    if (side == nullptr) {
        fprintf(stderr, "qvx::Machine::Current: no machine exists\n");
        abort();
    }
    return *side;
}

IoManager& IoSide::Io()
{
    return *io_;
}

Registry& IoSide::Reg()
{
    return *registry_;
}

ObjectNamespace& IoSide::Names()
{
    return *names_;
}

PnpManager& IoSide::Pnp()
{
    return *pnp_;
}

std::string IoSide::DescribeAddress(const void* address) const
{
    return io_->DescribeAddress(address);
}

} // namespace qvx
