#include "platform/sim/registry.h"

namespace qvx {

Registry::Registry(Machine& machine) : machine_(machine) {}

Registry::~Registry() = default;

}  // namespace qvx
