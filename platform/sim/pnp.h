// The root bus and the Plug and Play manager.
#pragma once

#include "platform/sim/machine.h"

namespace qvx {

class PnpManager
{
  public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

  private:
    Machine& machine_;
};

}  // namespace qvx
