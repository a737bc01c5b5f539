#include "platform/sim/names.h"

namespace qvx {

ObjectNamespace::ObjectNamespace(Machine& machine) : machine_(machine) {}

ObjectNamespace::~ObjectNamespace() = default;

}  // namespace qvx
