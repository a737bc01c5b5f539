#include "platform/sim/pnp.h"

namespace qvx {

PnpManager::PnpManager(Machine& machine) : machine_(machine) {}

PnpManager::~PnpManager() = default;

}  // namespace qvx
