// The registry and its .reg-file loader.
#pragma once

#include "platform/sim/machine.h"

namespace qvx {

class Registry
{
  public:
    explicit Registry(Machine& machine);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

  private:
    Machine& machine_;
};

}  // namespace qvx
