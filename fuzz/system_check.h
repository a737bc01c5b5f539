// What a booted system's machine recorded, for fuzz targets that include windows.h and so
// cannot include the kernel headers themselves.
#pragma once

#include "host/system.h"

#include <string>
#include <vector>

namespace qvx::fuzz {

// The verifier reports recorded so far, "rule: message" each; they are cleared.
std::vector<std::string> TakeViolations(System& system);

} // namespace qvx::fuzz
