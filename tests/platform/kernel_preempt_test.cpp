// Preemption points: where they do nothing, stalls and their horizon, the
// board's preemption (target), the PCT scheduler's change points, and a thread
// parked at a point when the kernel ends.  The points are called here by
// hand, as the instrumented driver calls them at each of its basic blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel_harness.hpp"
#include "support/virtual_time.hpp"

using hosted::Kernel;
using hosted::KernelConfig;
using hosted::Micros;
using hosted::preemptionPoint;
using hosted::PreemptMode;
using kernel_test::Job;
using kernel_test::Log;
using kernel_test::logOnce;
using kernel_test::startThread;

namespace {

using touch_test::kMs;

KernelConfig preempting(PreemptMode mode, unsigned stallOdds = 0, int mainPriority = 251) {
    KernelConfig config;
    config.preempt.mode = mode;
    config.preempt.stallOdds = stallOdds;
    config.mainPriority = mainPriority;
    return config;
}

DWORD sleepThenLog(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    Sleep(job.milliseconds);
    job.log->add(job.name);
    return 0;
}

// ---- Where a point does nothing ----

TEST(PreemptionPoint, DoesNothingOutsideTheRunningKernelThread) {
    preemptionPoint(1, nullptr);  // no kernel at all
    std::optional<Micros> stopAt;
    {
        Kernel kernel(preempting(PreemptMode::Any, 1));
        Log log;
        Job sleeper{&log, nullptr, "sleeper", 5};
        HANDLE thread = startThread(sleepThenLog, sleeper);
        Sleep(0);  // the sleeper now waits for 5 ms
        const Micros start = kernel.now();
        std::thread([] { preemptionPoint(2, nullptr); }).join();  // not a kernel thread
        kernel.devices().schedule(start + 1 * kMs, [] { preemptionPoint(3, nullptr); });
        Sleep(2);  // the device action runs after 1 ms and must not stall to 5 ms
        EXPECT_EQ(kernel.now(), start + 2 * kMs);
        EXPECT_TRUE(log.steps.empty());
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    {
        // After a stop only the main thread runs: its points neither stall
        // nor hand over.
        Kernel kernel(preempting(PreemptMode::Any, 1));
        HANDLE never = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Log log;
        Job sleeper{&log, nullptr, "sleeper", 5};
        EXPECT_THROW(WaitForSingleObject(never, INFINITE), hosted::RunStopped);
        HANDLE thread = startThread(sleepThenLog, sleeper);  // ready, but never runs now
        kernel.devices().schedule(5 * kMs, [] {});
        preemptionPoint(4, nullptr);
        stopAt = kernel.now();
        EXPECT_TRUE(log.steps.empty());
        CloseHandle(thread);
        CloseHandle(never);
    }
    EXPECT_EQ(stopAt, Micros{0});
}

constexpr int kRounds = 12;

DWORD waitRounds(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (int round = 0; round < kRounds; ++round) {
        WaitForSingleObject(job.object, INFINITE);
        job.log->add(job.name + std::to_string(round));
    }
    return 0;
}

// Points that never act leave the run exactly as it is without them: they
// draw nothing from the random policy's generator and trace nothing.  Here
// no point meets another ready thread or a wake-up (the others sleep long),
// and stalls, drawn at every point, find nothing within their horizon.
TEST(PreemptionPoint, PointsNeverTakenLeaveTheTraceAsItWas) {
    const auto run = [](PreemptMode mode, hosted::SchedulePolicy policy, unsigned stallOdds = 0) {
        KernelConfig config = preempting(mode, stallOdds);
        config.preempt.stallHorizon = 0;  // a stall drawn finds nothing to reach
        config.policy = policy;
        config.seed = 17;
        Kernel kernel(config);
        Log log;
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Job a{&log, event, "a"}, b{&log, nullptr, "b", 100};
        HANDLE threads[] = {startThread(waitRounds, a), startThread(sleepThenLog, b)};
        Sleep(0);
        for (std::uint32_t block = 1; block <= 20; ++block) {
            preemptionPoint(block, nullptr);
            Sleep(block % 3);
        }
        for (int round = 0; round < kRounds; ++round) {
            SetEvent(event);  // the random policy picks who runs on
            log.add("main");
            Sleep(1);
        }
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        CloseHandle(event);
        return std::pair(kernel.traceHash(), log.whats());
    };
    using hosted::SchedulePolicy;
    const auto random = run(PreemptMode::Off, SchedulePolicy::Random);
    EXPECT_EQ(run(PreemptMode::Any, SchedulePolicy::Random), random);
    EXPECT_EQ(run(PreemptMode::Any, SchedulePolicy::Random, 1), random);
    EXPECT_EQ(run(PreemptMode::Target, SchedulePolicy::Priority),
              run(PreemptMode::Off, SchedulePolicy::Priority));
    EXPECT_EQ(random.second.size(), 2u * kRounds + 1);
}

// ---- Stalls ----

TEST(PreemptionStall, JumpsToTheNextEventOrTimeoutWithinTheHorizonOnly) {
    KernelConfig config = preempting(PreemptMode::Off, 1);  // first visits always stall
    config.preempt.stallHorizon = 20 * kMs;
    Kernel kernel(config);
    Log log;
    Job late{&log, nullptr, "late", 30}, soon{&log, nullptr, "soon", 10};
    HANDLE threads[] = {startThread(sleepThenLog, late)};
    Sleep(0);  // the late sleeper sleeps from here
    const Micros start = kernel.now();
    preemptionPoint(1, nullptr);
    EXPECT_EQ(kernel.now(), start) << "a timeout beyond the horizon";
    bool fired = false;
    kernel.devices().schedule(start + 4 * kMs, [&] { fired = true; });
    preemptionPoint(2, nullptr);
    EXPECT_EQ(kernel.now(), start + 4 * kMs);
    EXPECT_TRUE(fired);
    HANDLE second = startThread(sleepThenLog, soon);
    Sleep(0);  // the soon sleeper sleeps from here
    const Micros asleep = kernel.now();
    preemptionPoint(3, nullptr);
    EXPECT_EQ(kernel.now(), asleep + 10 * kMs) << "to the timeout of the sleeper";
    EXPECT_EQ(log.whats(), std::vector<std::string>{}) << "a stall alone hands over nothing";
    for (HANDLE thread : {threads[0], second}) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// ---- Target: only what the board could do ----

TEST(PreemptionTarget, AHigherPriorityWokenByATimeoutTakesOverAtOnce) {
    Kernel kernel(preempting(PreemptMode::Target, 1, 100));
    Log log;
    Job high{&log, nullptr, "high", 5}, low{&log, nullptr, "low", 2};
    HANDLE threads[] = {startThread(sleepThenLog, low, 200), startThread(sleepThenLog, high, 50)};
    Sleep(1);                     // both sleep now, until 3 ms and 5 ms
    preemptionPoint(1, nullptr);  // stalls to 3 ms: the lower one wakes
    log.add("main at 3 ms");
    preemptionPoint(2, nullptr);  // stalls to 5 ms: the higher one wakes
    log.add("main at 5 ms");
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    EXPECT_EQ(log.whats(),
              (std::vector<std::string>{"main at 3 ms", "high", "main at 5 ms", "low"}));
}

TEST(PreemptionTarget, AnEqualPriorityTakesOverWhenTheTimeSliceIsOver) {
    KernelConfig config = preempting(PreemptMode::Target, 1);
    config.preempt.timeSlice = 3 * kMs;
    Kernel kernel(config);
    Log log;
    Job peer{&log, nullptr, "peer"};
    HANDLE thread = startThread(logOnce, peer);  // ready, behind main
    kernel.devices().schedule(2 * kMs, [] {});
    kernel.devices().schedule(4 * kMs, [] {});
    preemptionPoint(1, nullptr);  // stalls to 2 ms: slice not over
    log.add("main");
    preemptionPoint(2, nullptr);  // stalls to 4 ms: slice over
    log.add("main again");
    EXPECT_EQ(log.whats(), (std::vector<std::string>{"main", "peer", "main again"}));
    CloseHandle(thread);
}

// ---- PCT ----

DWORD pollAndYield(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (std::uint32_t i = 0; i < 60; ++i) {
        preemptionPoint(i + 1, nullptr);
        job.log->add(job.name);
        Sleep(0);
    }
    return 0;
}

// Every drawn change point fires at its step, and the lowered thread gives
// way at once.
TEST(PreemptionPct, ChangePointsFireAsDrawn) {
    KernelConfig config = preempting(PreemptMode::Pct);
    config.preempt.depth = 3;
    config.preempt.window = 25;
    config.seed = 5;
    Kernel kernel(config);
    Log log;
    Job a{&log, nullptr, "a"}, b{&log, nullptr, "b"}, c{&log, nullptr, "c"};
    HANDLE threads[] = {startThread(pollAndYield, a), startThread(pollAndYield, b),
                        startThread(pollAndYield, c)};
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    std::multiset<std::uint64_t> drawn, fired;
    const std::vector<hosted::TraceRecord>& trace = kernel.trace();
    for (std::size_t i = 0; i < trace.size(); ++i) {
        std::uint64_t step = 0;
        if (trace[i].what.starts_with("pct window")) {
            const std::string points = trace[i].what.substr(trace[i].what.find(" at ") + 4);
            std::istringstream list(points);
            while (list >> step) {
                drawn.insert(step);
            }
        } else if (trace[i].what.starts_with("pct change point at step ")) {
            fired.insert(std::stoull(trace[i].what.substr(25)));
            ASSERT_LT(i + 1, trace.size());
            const std::string& next = trace[i + 1].what;
            EXPECT_TRUE(next.starts_with("switch to ") || next.starts_with("preempted at ") ||
                        next.starts_with("pct change point"))
                << "after a change point: " << next;
        }
    }
    EXPECT_GE(fired.size(), 4u);
    EXPECT_TRUE(std::includes(drawn.begin(), drawn.end(), fired.begin(), fired.end()));
    EXPECT_LE(drawn.size() - fired.size(), 2u) << "only the last window's may stay unfired";
    EXPECT_EQ(log.steps.size(), 180u);
}

// ---- The end of the kernel ----

struct Unwound {
    bool* flag;
    ~Unwound() { *flag = true; }
};

DWORD parkAtAPoint(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    const Unwound unwound{reinterpret_cast<bool*>(job.object)};
    preemptionPoint(1, nullptr);  // stalls to main's timeout: main takes over
    job.log->add(job.name);
    return 0;
}

TEST(PreemptionPoint, AThreadParkedAtAPointIsUnwoundWhenTheKernelEnds) {
    bool unwound = false;
    Log log;
    {
        Kernel kernel(preempting(PreemptMode::Target, 1, 100));
        Job parked{&log, reinterpret_cast<HANDLE>(&unwound), "resumed"};
        HANDLE thread = startThread(parkAtAPoint, parked, 200);
        Sleep(10);  // the thread runs, and is preempted at its point at 10 ms
        EXPECT_EQ(kernel.now(), 10 * kMs);
        EXPECT_EQ(kernel.activityOf(thread), hosted::ThreadActivity::Ready);
        CloseHandle(thread);
    }
    EXPECT_TRUE(unwound);
    EXPECT_TRUE(log.steps.empty());
}

}  // namespace
