#include "platform/sim/io_manager.h"

namespace qvx {

IoManager::IoManager(Machine& machine) : machine_(machine) {}

IoManager::~IoManager() = default;

}  // namespace qvx
