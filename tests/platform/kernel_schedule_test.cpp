// The hosted kernel's scheduler: strict priority, FIFO within a priority,
// preemption at platform calls, Sleep(0), polling in virtual time, and the
// seeded random policy.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kernel_harness.hpp"

using hosted::Kernel;
using hosted::KernelConfig;
using hosted::Micros;
using hosted::SchedulePolicy;
using kernel_test::Job;
using kernel_test::Log;
using kernel_test::logOnce;
using kernel_test::startThread;

namespace {

using Names = std::vector<std::string>;

DWORD logThreeTimesYielding(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (int i = 1; i <= 3; ++i) {
        job.log->add(job.name + std::to_string(i));
        Sleep(0);
    }
    return 0;
}

DWORD waitThenLog(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    WaitForSingleObject(job.object, INFINITE);
    job.log->add(job.name);
    return 0;
}

KernelConfig withMainPriority(int priority) {
    KernelConfig config;
    config.mainPriority = priority;
    return config;
}

TEST(KernelPriority, AHigherPriorityThreadRunsInsideCreateThread) {
    Kernel kernel(withMainPriority(255));
    Log log;
    Job job{&log, nullptr, "new thread"};
    HANDLE thread = CreateThread(nullptr, 0, logOnce, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(log.whats(), Names{"new thread"});  // 251 preempted the creator at 255
    EXPECT_EQ(CeGetThreadPriority(thread), THREAD_PRIORITY_NORMAL_256);
    CloseHandle(thread);
}

TEST(KernelPriority, ReadyThreadsRunByPriorityThenInTheOrderTheyBecameReady) {
    Kernel kernel(withMainPriority(10));
    Log log;
    Job low{&log, nullptr, "low"}, first{&log, nullptr, "first"}, second{&log, nullptr, "second"};
    HANDLE threads[] = {startThread(logOnce, low, 200), startThread(logOnce, first, 100),
                        startThread(logOnce, second, 100)};
    EXPECT_TRUE(log.steps.empty());  // the main thread is above them all
    Sleep(1);
    EXPECT_EQ(log.whats(), (Names{"first", "second", "low"}));
    for (HANDLE h : threads) {
        CloseHandle(h);
    }
}

TEST(KernelPriority, SettingAnEventSwitchesToTheHigherPriorityWaiterAtOnce) {
    Kernel kernel;
    Log log;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Job waiter{&log, event, "waiter"};
    HANDLE thread = startThread(waitThenLog, waiter, 100);
    log.add("before set");
    SetEvent(event);
    log.add("after set");
    EXPECT_EQ(log.whats(), (Names{"before set", "waiter", "after set"}));
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(KernelPriority, RaisingAReadyThreadAboveTheCallerPreemptsItInsideTheCall) {
    Kernel kernel(withMainPriority(100));
    Log log;
    Job job{&log, nullptr, "other"};
    HANDLE thread = startThread(logOnce, job, 150);
    EXPECT_TRUE(log.steps.empty());
    ASSERT_TRUE(CeSetThreadPriority(thread, 50));
    EXPECT_EQ(log.whats(), Names{"other"});
    EXPECT_FALSE(CeSetThreadPriority(thread, 256));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CeGetThreadPriority(thread), 50);
    CloseHandle(thread);
}

TEST(KernelPriority, TheCurrentThreadPseudoHandleNamesTheCaller) {
    Kernel kernel(withMainPriority(100));
    Log log;
    Job job{&log, nullptr, "other"};
    HANDLE thread = startThread(logOnce, job, 150);
    EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), 100);
    ASSERT_TRUE(CeSetThreadPriority(GetCurrentThread(), 200));  // now below the ready thread
    EXPECT_EQ(log.whats(), Names{"other"});
    EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), 200);
    EXPECT_EQ(CeGetThreadPriority(thread), 150);
    CloseHandle(thread);
}

TEST(KernelYield, SleepZeroPassesTheTurnToThreadsOfTheSamePriorityOnly) {
    Kernel kernel(withMainPriority(10));
    Log log;
    Job a{&log, nullptr, "a"}, b{&log, nullptr, "b"}, low{&log, nullptr, "low"};
    HANDLE threads[] = {startThread(logThreeTimesYielding, a, 100),
                        startThread(logThreeTimesYielding, b, 100), startThread(logOnce, low, 101)};
    WaitForSingleObject(threads[2], INFINITE);
    EXPECT_EQ(log.whats(), (Names{"a1", "b1", "a2", "b2", "a3", "b3", "low"}));
    // Each Sleep(0) costs a microsecond; nothing else took time.
    EXPECT_EQ(log.steps[1].time, 1u);
    EXPECT_EQ(log.steps[5].time, 5u);
    for (HANDLE h : threads) {
        CloseHandle(h);
    }
}

TEST(KernelYield, ALoneYieldCostsAMicrosecondAndRepeatedLoneYieldsSkipToTheNextTick) {
    Kernel kernel;
    kernel.advance(100);
    Sleep(0);
    EXPECT_EQ(kernel.now(), 101u);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(event);  // kernel activity in between: the next yield is a single one again
    Sleep(0);
    EXPECT_EQ(kernel.now(), 102u);
    Sleep(0);  // polling: nothing can change before the next millisecond
    EXPECT_EQ(kernel.now(), 1'000u);
    kernel.devices().schedule(1'300, [] {});
    Sleep(0);  // ...or the next device event, whichever comes first
    EXPECT_EQ(kernel.now(), 1'300u);
    CloseHandle(event);
}

// A port device whose status bit 0 comes up at a time the test chooses.
class LateByte : public hosted::PortDevice {
  public:
    std::uint8_t readPort(std::uint16_t) override { return ready ? 1 : 0; }
    void writePort(std::uint16_t, std::uint8_t) override {}
    bool ready = false;
};

DWORD pollForByte(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < job.milliseconds) {
        if (READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x64)) & 1) {
            job.log->add("byte");
            return 0;
        }
        Sleep(0);
    }
    job.log->add("gave up");
    return 1;
}

TEST(KernelPolling, APollingThreadSeesADeviceChangeOneAccessAfterItHappens) {
    Kernel kernel;
    LateByte device;
    kernel.mapPorts(0x64, 0x64, device);
    kernel.devices().schedule(900, [&] { device.ready = true; });
    Log log;
    Job job{&log, nullptr, "poller", 50};
    HANDLE thread = startThread(pollForByte, job, 100);
    ASSERT_EQ(log.whats(), Names{"byte"});
    EXPECT_EQ(log.steps[0].time, 901u);  // the read that follows the change, 1 us long
    CloseHandle(thread);
}

TEST(KernelPolling, ABoundedPollGivesUpWhenItsMillisecondsHavePassed) {
    Kernel kernel;
    LateByte device;
    kernel.mapPorts(0x64, 0x64, device);
    Log log;
    Job job{&log, nullptr, "poller", 50};
    kernel.advance(300);
    HANDLE thread = startThread(pollForByte, job, 100);
    ASSERT_EQ(log.whats(), Names{"gave up"});
    EXPECT_GE(log.steps[0].time, 50'000u);
    EXPECT_LT(log.steps[0].time, 50'300u);
    CloseHandle(thread);
}

TEST(KernelPolling, APollReadsEveryTickWhateverItsPhase) {
    // The poll of the driver: read the tick count, read the status, yield.
    // Started at any point of a millisecond, and so also where a status read
    // ends exactly on a tick boundary, it reads each tick in turn: skipping
    // ahead never hides one, which would stretch a 50 ms window to 51.
    for (hosted::Micros phase = 990; phase < 1'010; ++phase) {
        SCOPED_TRACE("started at " + std::to_string(phase) + " us");
        Kernel kernel;
        LateByte device;
        kernel.mapPorts(0x64, 0x64, device);
        kernel.advance(phase);
        const DWORD start = GetTickCount();
        std::vector<DWORD> read;
        for (DWORD now = start; now - start <= 5; now = GetTickCount()) {
            if (read.empty() || read.back() != now) {
                read.push_back(now);
            }
            (void)READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x64));
            Sleep(0);
        }
        const std::vector<DWORD> everyTick = {start,     start + 1, start + 2,
                                              start + 3, start + 4, start + 5};
        EXPECT_EQ(read, everyTick);
        // It stops on the first read of the sixth tick after its start.
        EXPECT_EQ(kernel.now(), (start + 6) * 1'000u);
    }
}

TEST(KernelAdvance, AdvanceUntilStopsWhenThePredicateHoldsOrAtTheTimeout) {
    Kernel kernel;
    bool flag = false;
    kernel.devices().schedule(3'000, [&] { flag = true; });
    EXPECT_TRUE(kernel.advanceUntil([&] { return flag; }, 10'000));
    EXPECT_EQ(kernel.now(), 3'000u);
    EXPECT_FALSE(kernel.advanceUntil([] { return false; }, 10'000));
    EXPECT_EQ(kernel.now(), 13'000u);
}

DWORD logWakesWithShortTimeouts(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (;;) {
        const DWORD result = WaitForSingleObject(job.object, job.milliseconds);
        job.log->add(result == WAIT_OBJECT_0 ? "signalled" : "timeout");
        job.milliseconds = 2;
    }
}

TEST(KernelAdvance, AdvanceUntilLooksAtItsPredicateAsSoonAsTheMachineFallsQuiet) {
    Kernel kernel;
    Log log;
    kernel.mapInterrupt(3, 4);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(3, event, nullptr, 0));
    Job job{&log, event, "worker", INFINITE};
    startThread(logWakesWithShortTimeouts, job, 100);
    kernel.devices().schedule(3'000, [&] { kernel.devices().raiseLine(4); });
    // The worker handles the interrupt at 3 ms and then waits 2 ms at a
    // time: the host sees the first entry at 3 ms, before any timeout.
    EXPECT_TRUE(kernel.advanceUntil([&] { return !log.steps.empty(); }, 100'000));
    EXPECT_EQ(kernel.now(), 3'000u);
    EXPECT_EQ(log.whats(), Names{"signalled"});
    EXPECT_TRUE(kernel.advanceUntil([&] { return log.steps.size() == 3; }, 100'000));
    EXPECT_EQ(kernel.now(), 7'000u);
}

// ---- The random policy ----

struct ToyRun {
    std::string order;
    std::uint64_t hash;
};

DWORD appendLetters(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (int i = 0; i < 4; ++i) {
        job.log->add(job.name);
        SetEvent(job.object);  // a switch point, like every platform call that can wake
    }
    return 0;
}

ToyRun runToy(SchedulePolicy policy, std::uint64_t seed) {
    KernelConfig config;
    config.policy = policy;
    config.seed = seed;
    Kernel kernel(config);
    Log log;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Job a{&log, event, "a"}, b{&log, event, "b"}, c{&log, event, "c"};
    HANDLE threads[] = {startThread(appendLetters, a), startThread(appendLetters, b),
                        startThread(appendLetters, c)};
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    CloseHandle(event);
    std::string order;
    for (const auto& step : log.steps) {
        order += step.what;
    }
    return ToyRun{order, kernel.traceHash()};
}

TEST(KernelRandomPolicy, TheSameSeedReplaysTheSameRunAndOtherSeedsInterleaveDifferently) {
    const ToyRun first = runToy(SchedulePolicy::Random, 42);
    const ToyRun again = runToy(SchedulePolicy::Random, 42);
    EXPECT_EQ(first.order, again.order);
    EXPECT_EQ(first.hash, again.hash);

    std::set<std::string> orders;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        const ToyRun run = runToy(SchedulePolicy::Random, seed);
        EXPECT_EQ(run.order.size(), 12u);
        orders.insert(run.order);
    }
    EXPECT_GE(orders.size(), 5u);
    EXPECT_NE(runToy(SchedulePolicy::Random, 1).hash, runToy(SchedulePolicy::Random, 2).hash);
}

TEST(KernelRandomPolicy, ThePriorityPolicyIsDeterministicToo) {
    const ToyRun first = runToy(SchedulePolicy::Priority, 1);
    EXPECT_EQ(first.order, "aaaabbbbcccc");  // equal priorities, nothing blocks: FIFO
    EXPECT_EQ(runToy(SchedulePolicy::Priority, 1).hash, first.hash);
}

}  // namespace
