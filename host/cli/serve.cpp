// quarvex serve: a port's application side over RFC 2217.

#include "host/cli/commands.h"

#include <cstdio>

namespace qvx::cli {

int RunServe(const CommonOptions& options, const std::vector<std::string>& positional,
             const std::map<std::string, std::string>& named)
{
    (void)options;
    (void)positional;
    (void)named;
    std::fprintf(stderr, "quarvex: serve is not available in this build\n");
    return EXIT_FAILED;
}

} // namespace qvx::cli
