// The test of the exploration: each race planted in a copy of the driver must
// be found by the capture races, under preemption inside the driver, within
// a stated number of seeds.  If one stops being found, the exploration has
// lost its power.  The preemption is the environment's, or PCT of depth 2
// over windows of 100 contested steps with stalls when the environment sets
// none.  The seeds start from a base of their own, not the run's changing
// TOUCH_SEED_BASE: a find is then a fact of the code under test rather than
// a draw, and the limits stay far above the measured seeds between finds
// (about 3,100 for the entry bracket, 4 for the abort), so a change that
// re-draws the seeds fails here by bad luck with odds under 1 in 500.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>

#include "driver/capture/capture_races.hpp"

namespace {

struct Planted {
    const char* name;
    const char* library;  // file name, beside the shipping library
    // One seed of the exploration that must catch it.
    std::function<void(const capture::Race&, std::uint64_t)> scenario;
    int seedLimit;
};

const std::uint64_t kPlantedSeedBase = 7000000;

void PrintTo(const Planted& planted, std::ostream* os) {
    *os << planted.name;
}

// The entry bracket tests that the lock exists before it counts itself in:
// an abort that tested between the disable's release and its deletion of the
// lock enters a deleted lock.
// The abort tests for a pending capture before it takes the lock: a
// completion in between is answered with a second signal and a false result.
const Planted kPlanted[] = {
    {"EntryBracketCheckThenAct", "libTOUCH_entry_bracket.so",
     [](const capture::Race& race, std::uint64_t seed) {
         capture::abortFromAnotherThreadAgainstDisable(race, seed);
     },
     20000},
    {"AbortTestsWithoutTheLock", "libTOUCH_abort_check_then_act.so",
     [](const capture::Race& race, std::uint64_t seed) {
         int completed = 0;
         capture::abortAgainstCompletion(race, seed, completed);
     },
     100},
};

class PlantedRace : public ::testing::TestWithParam<Planted> {};

INSTANTIATE_TEST_SUITE_P(Races, PlantedRace, ::testing::ValuesIn(kPlanted),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_P(PlantedRace, IsFoundWithinItsSeeds) {
    const Planted& planted = GetParam();
    capture::Race race{exploration::settingsFromEnvironment(), {}, capture::completionDelay()};
    ASSERT_TRUE(race.settings.error.empty()) << race.settings.error;
    if (!race.settings.preemptive()) {
        race.settings.preempt.mode = hosted::PreemptMode::Pct;
        race.settings.preempt.depth = 2;
        race.settings.preempt.window = 100;
        race.settings.preempt.stallOdds = 20;
        race.settings.preemptText = "pct:2:100";
    }
    race.library = std::filesystem::path(TOUCH_SHIPPING_DRIVER).parent_path() / planted.library;
    const std::uint64_t first = kPlantedSeedBase + 1;
    for (std::uint64_t seed = first; seed < first + planted.seedLimit; ++seed) {
        ::testing::TestPartResultArray failures;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
            planted.scenario(race, seed);
        }
        if (failures.size() > 0) {
            std::cout << "[ planted  ] " << planted.name << " found after " << seed - first + 1
                      << " seeds: " << failures.GetTestPartResult(0).message() << "\n";
            return;
        }
    }
    ADD_FAILURE() << planted.name << " was not found in " << planted.seedLimit << " seeds from "
                  << first << " under " << race.settings.replay(first)
                  << ": the exploration has lost its power";
}

}  // namespace
