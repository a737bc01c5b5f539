// The .reg configuration: the registry's loader and the configuration check. Either says what
// is wrong or accepts; neither crashes, hangs or leaves half a configuration loaded.

#include "fuzz/fuzz_target.h"
#include "host/system.h"
#include "platform/machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!qvx::System::CheckConfiguration(text, "fuzz.reg", &error) && error.empty()) {
        std::fprintf(stderr, "config_fuzz: a refusal without a message\n");
        std::abort();
    }
    qvx::MachineOptions options;
    options.AbortOnViolation = true;
    qvx::Machine machine(options);
    const qvx::RegLoadResult result = machine.Reg().LoadRegText(text);
    if (!result.Ok && result.Error.empty()) {
        std::fprintf(stderr, "config_fuzz: a refusal without a message\n");
        std::abort();
    }
    return 0;
}
