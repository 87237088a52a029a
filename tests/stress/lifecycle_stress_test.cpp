// Thousands of enable and disable cycles of the driver on the simulated board,
// under the kernel's random scheduling, over many seeds.  The seeds are split
// into blocks, one test each, so that ctest can run blocks side by side.
//
// TOUCH_STRESS_SCALE multiplies the number of seeds per block, TOUCH_SEED_BASE
// moves them, TOUCH_PREEMPT and TOUCH_STALLS add preemption inside the driver
// (see support/exploration.hpp).  TOUCH_STRESS_SEED=<n> replays seed n alone,
// in block 0; TOUCH_STRESS_TRACE=<file> then writes that run's kernel trace to
// the file.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "stress/stress_run.hpp"
#include "support/exploration.hpp"

namespace {

constexpr int kBlocks = 8;
constexpr int kSeedsPerBlock = 50;
constexpr int kCyclesPerSeed = 20;
constexpr std::uint64_t kFirstSeed = 1;
// A block this large is expected to have met every kind of cycle.
constexpr std::uint64_t kCoverageCycles = 150;

struct Budget {
    int seedsPerBlock = kSeedsPerBlock;
    exploration::Settings settings;
};

Budget budgetFromEnvironment() {
    Budget budget;
    budget.settings = exploration::settingsFromEnvironment();
    budget.seedsPerBlock = exploration::scaledSeeds(kSeedsPerBlock, budget.settings.scale);
    return budget;
}

// Every kind of cycle happened, so that a quiet run means a sound driver and
// not a run that stopped exercising it.
void expectCoverage(const stress::Tally& tally) {
    EXPECT_GT(tally.enabled, 0u);
    EXPECT_GT(tally.failedEnables, 0u);
    EXPECT_GT(tally.taps, 0u);
    EXPECT_GT(tally.clicks, 0u);
    EXPECT_GT(tally.completedCaptures, 0u);
    EXPECT_GT(tally.abortedCaptures, 0u);
    EXPECT_GT(tally.refusedCaptures, 0u);
    EXPECT_GT(tally.capturesReleasedByDisable, 0u);
    EXPECT_GT(tally.reloads, 0u);
    EXPECT_GT(tally.doubleAborts, 0u);
    EXPECT_GT(tally.slowCallbacks, 0u);
    EXPECT_GT(tally.reentrantCalls, 0u);
    EXPECT_GT(tally.racesCompleted, 0u);
    EXPECT_GT(tally.racesAborted, 0u);
}

class LifecycleStress : public ::testing::TestWithParam<int> {};

TEST_P(LifecycleStress, EveryCycleLeavesTheBoardAsItFound) {
    const Budget budget = budgetFromEnvironment();
    const exploration::Settings& settings = budget.settings;
    ASSERT_TRUE(settings.error.empty()) << settings.error;
    const int block = GetParam();
    std::uint64_t first =
        kFirstSeed + settings.seedBase + static_cast<std::uint64_t>(block) * kSeedsPerBlock * 1000;
    int seeds = budget.seedsPerBlock;
    if (settings.replaySeed) {
        if (block != 0) {
            GTEST_SKIP() << "replaying seed " << *settings.replaySeed << " in block 0";
        }
        first = *settings.replaySeed;
        seeds = 1;
    }
    stress::Tally tally;
    for (int i = 0; i < seeds && !HasFailure(); ++i) {
        stress::StressRun run(first + static_cast<std::uint64_t>(i), kCyclesPerSeed,
                              stress::StressOptions{.trace = false,
                                                    .tracePath = settings.tracePath,
                                                    .timeLimit = {},
                                                    .exploration = settings});
        run.run();
        tally += run.tally();
    }
    std::cout << "[ stress   ] block " << block << ": " << tally.summary() << "\n";
    RecordProperty("seeds", static_cast<int>(tally.seeds));
    RecordProperty("cycles", static_cast<int>(tally.cycles));
    if (!HasFailure() && tally.cycles >= kCoverageCycles) {
        expectCoverage(tally);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LifecycleStress, ::testing::Range(0, kBlocks),
                         [](const auto& param) { return "Block" + std::to_string(param.param); });

// A failure is only worth its seed if the seed replays it: the same seed gives
// the same kernel trace, cycle for cycle, through driver, windowing stand-in and board.
TEST(StressReplay, ASeedReplaysTheSameRun) {
    constexpr std::uint64_t kSeed = 4242;
    constexpr int kCycles = 6;
    // One kernel exists at a time: each run ends before the next begins.
    const exploration::Settings settings = exploration::settingsFromEnvironment();
    const auto replay = [&] {
        stress::StressRun run(
            kSeed, kCycles,
            stress::StressOptions{
                .trace = true, .tracePath = {}, .timeLimit = {}, .exploration = settings});
        run.run();
        return std::pair(run.traceHash(), run.tally());
    };
    const auto [firstHash, firstTally] = replay();
    ASSERT_EQ(firstTally.cycles, std::uint64_t{kCycles});
    const auto [secondHash, secondTally] = replay();
    EXPECT_EQ(secondHash, firstHash) << "kernel trace hash";
    EXPECT_EQ(secondTally.summary(), firstTally.summary());
}

// A run the kernel has to stop (here at a virtual time cap, as it stops a
// livelock or a deadlock) ends as one failure that names the seed and carries
// the kernel's report, and leaves the process able to go on.
TEST(StressReplay, AStoppedRunIsReportedWithItsSeed) {
    constexpr std::uint64_t kSeed = 77;
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        stress::StressRun run(kSeed, 50,
                              stress::StressOptions{.trace = false,
                                                    .tracePath = {},
                                                    .timeLimit = 3 * hosted::kMicrosPerMilli * 1000,
                                                    .exploration = {}});
        run.run();
    }
    ASSERT_EQ(failures.size(), 1);
    const std::string message = failures.GetTestPartResult(0).message();
    EXPECT_NE(message.find("TOUCH_STRESS_SEED=77"), std::string::npos) << message;
    EXPECT_NE(message.find("stopped the run"), std::string::npos) << message;
}

}  // namespace
