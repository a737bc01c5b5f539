// The object namespace: callback objects, symbolic links, device interfaces.
#pragma once

#include "platform/sim/machine.h"

namespace qvx {

class ObjectNamespace
{
  public:
    explicit ObjectNamespace(Machine& machine);
    ~ObjectNamespace();
    ObjectNamespace(const ObjectNamespace&) = delete;
    ObjectNamespace& operator=(const ObjectNamespace&) = delete;

  private:
    Machine& machine_;
};

}  // namespace qvx
