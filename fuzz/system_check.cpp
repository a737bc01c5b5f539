#include "fuzz/system_check.h"

#include "host/system_internal.h"

namespace qvx::fuzz {

std::vector<std::string> TakeViolations(System& system)
{
    Machine& machine = *system.Kernel().TheMachine;
    std::vector<std::string> found;
    for (const Violation& violation : machine.Violations()) {
        found.push_back(std::string(RuleName(violation.Rule)) + ": " + violation.Message);
    }
    machine.ClearViolations();
    return found;
}

} // namespace qvx::fuzz
