// The seeds of the seeded scenarios, chosen one way for all of them:
//   QVX_SEED=<n>               runs seed n alone: the line a failure prints replays it;
//   QVX_SEEDS=<first>:<count>  runs count seeds from first (CI's shards, scripts/swarm.sh).
// Without either, each suite runs its own seeds. No kernel or Win32 types: every suite can
// include it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

// `count` seeds from `first`.
std::vector<uint32_t> SeedRange(uint32_t first, uint32_t count);
// The seeds a suite of seeded scenarios runs: those the environment chose, else `defaults`.
std::vector<uint32_t> ScenarioSeeds(const std::vector<uint32_t>& defaults);
// The seed of a scenario that runs one: QVX_SEED, else `fallback`.
uint32_t ScenarioSeed(uint32_t fallback);
// Whether the environment chose the seeds (a suite's seeds that once failed then stay out).
bool SeedsChosen();
// "replay: QVX_SEED=<seed> <command>".
std::string ReplayLine(uint32_t seed, const std::string& command);

} // namespace qvx
