// The I/O manager and the application side of I/O.
#pragma once

#include "platform/sim/machine.h"

namespace qvx {

class IoManager
{
  public:
    explicit IoManager(Machine& machine);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

  private:
    Machine& machine_;
};

}  // namespace qvx
