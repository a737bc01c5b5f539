#include "seeds.h"

#include <cstdlib>
#include <sstream>

namespace qvx {

namespace {

const char* Variable(const char* name)
{
    return std::getenv(name); // NOLINT(concurrency-mt-unsafe): read before any thread starts
}

} // namespace

std::vector<uint32_t> SeedRange(uint32_t first, uint32_t count)
{
    std::vector<uint32_t> seeds;
    for (uint32_t i = 0; i < count; ++i) {
        seeds.push_back(first + i);
    }
    return seeds;
}

std::vector<uint32_t> ScenarioSeeds(const std::vector<uint32_t>& defaults)
{
    if (const char* one = Variable("QVX_SEED")) {
        return {static_cast<uint32_t>(std::strtoul(one, nullptr, 0))};
    }
    if (const char* range = Variable("QVX_SEEDS")) {
        std::istringstream in(range);
        uint32_t first = 0;
        uint32_t count = 0;
        char colon = 0;
        in >> first >> colon >> count;
        return SeedRange(first, count);
    }
    return defaults;
}

uint32_t ScenarioSeed(uint32_t fallback)
{
    const char* one = Variable("QVX_SEED");
    return one != nullptr ? static_cast<uint32_t>(std::strtoul(one, nullptr, 0)) : fallback;
}

bool SeedsChosen()
{
    return Variable("QVX_SEED") != nullptr || Variable("QVX_SEEDS") != nullptr;
}

std::string ReplayLine(uint32_t seed, const std::string& command)
{
    return "replay: QVX_SEED=" + std::to_string(seed) + " " + command;
}

} // namespace qvx
