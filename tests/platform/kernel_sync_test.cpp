// Events, semaphores, thread handles and timed waits of the hosted kernel,
// checked at exact virtual times.
#include <gtest/gtest.h>

#include "kernel_harness.hpp"

using hosted::Kernel;
using hosted::KernelConfig;
using kernel_test::Job;
using kernel_test::Log;
using kernel_test::startThread;
using kernel_test::Step;

namespace {

constexpr int kHigh = 100;  // above the main thread's 251

DWORD waitAndLog(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    const DWORD result = WaitForSingleObject(job.object, job.milliseconds);
    job.log->add(job.name + (result == WAIT_OBJECT_0 ? " woke" : " timed out"));
    return result;
}

class KernelSync : public ::testing::Test {
  protected:
    ~KernelSync() override { EXPECT_TRUE(kernel.faults().empty()) << kernel.faults()[0].what; }
    Kernel kernel;
    Log log;
};

TEST_F(KernelSync, AutoResetEventWakesOneWaiterPerSignalAndStaysSetWithoutWaiters) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    Job a{&log, event, "a"}, b{&log, event, "b"};
    HANDLE ta = startThread(waitAndLog, a, kHigh);
    HANDLE tb = startThread(waitAndLog, b, kHigh);
    EXPECT_TRUE(log.steps.empty());

    kernel.advance(1000);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(log.whats(), std::vector<std::string>{"a woke"});  // first come, first served
    kernel.advance(1000);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(log.whats(), (std::vector<std::string>{"a woke", "b woke"}));

    // Nobody waits now: the event keeps the signal for the next wait, once.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    for (HANDLE h : {event, ta, tb}) {
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(KernelSync, ManualResetEventWakesEveryWaiterAndStaysSetUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Job a{&log, event, "a"}, b{&log, event, "b"};
    HANDLE ta = startThread(waitAndLog, a, kHigh);
    HANDLE tb = startThread(waitAndLog, b, kHigh);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(log.whats(), (std::vector<std::string>{"a woke", "b woke"}));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    for (HANDLE h : {event, ta, tb}) {
        CloseHandle(h);
    }
}

TEST_F(KernelSync, PulseReleasesCurrentWaitersAndLeavesTheEventClear) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Job a{&log, event, "a"};
    HANDLE ta = startThread(waitAndLog, a, kHigh);
    ASSERT_TRUE(PulseEvent(event));
    EXPECT_EQ(log.whats(), std::vector<std::string>{"a woke"});
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(EventModify(event, 99));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(event);
    CloseHandle(ta);
}

TEST_F(KernelSync, NamedEventsAreSharedByName) {
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, TEXT("PowerManager/ActivityTimer"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, TEXT("PowerManager/ActivityTimer"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(again, first);
    HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, TEXT("PowerManager/ActivityTimer"));
    ASSERT_NE(opened, nullptr);

    ASSERT_TRUE(SetEvent(opened));  // one object behind all three handles
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT);

    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, TEXT("NoSuchEvent")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (HANDLE h : {first, again, opened}) {
        CloseHandle(h);
    }
    // The last handle gone, the name is free again.
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, TEXT("PowerManager/ActivityTimer")), nullptr);
}

TEST_F(KernelSync, SemaphoreCountsUpToItsMaximumAndRefusesMore) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 10, nullptr);
    ASSERT_NE(semaphore, nullptr);
    LONG previous = -1;
    for (LONG i = 0; i < 10; ++i) {
        ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
        EXPECT_EQ(previous, i);
    }
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(previous, 9);  // untouched by the refused release
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0) << i;
    }
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    // The refused release did not change the count: ten, not eleven.
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 11, nullptr));
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 10, nullptr));
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(semaphore);

    EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(KernelSync, SemaphoreReleaseWakesAsManyWaitersAsItCounts) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 10, nullptr);
    Job a{&log, semaphore, "a"}, b{&log, semaphore, "b"}, c{&log, semaphore, "c"};
    HANDLE threads[] = {startThread(waitAndLog, a, kHigh), startThread(waitAndLog, b, kHigh),
                        startThread(waitAndLog, c, kHigh)};
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 2, nullptr));
    EXPECT_EQ(log.whats(), (std::vector<std::string>{"a woke", "b woke"}));
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(log.steps.size(), 3u);
    for (HANDLE h : threads) {
        CloseHandle(h);
    }
    CloseHandle(semaphore);
}

DWORD returnSeven(LPVOID) {
    return 7;
}
DWORD exitWithNine(LPVOID) {
    ExitThread(9);
    return 1;  // not reached
}

TEST_F(KernelSync, WaitingOnAThreadEndsWhenItHasEndedAndGivesItsExitCode) {
    HANDLE returns = CreateThread(nullptr, 0, returnSeven, nullptr, 0, nullptr);
    HANDLE exits = CreateThread(nullptr, 0, exitWithNine, nullptr, 0, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(returns, &code));
    EXPECT_EQ(code, 259u);  // still active: same priority as main, not yet run
    EXPECT_EQ(kernel.liveThreadCount(), 3u);

    EXPECT_EQ(WaitForSingleObject(returns, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(exits, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(exits, 0), WAIT_OBJECT_0);  // stays signalled
    ASSERT_TRUE(GetExitCodeThread(returns, &code));
    EXPECT_EQ(code, 7u);
    ASSERT_TRUE(GetExitCodeThread(exits, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(kernel.liveThreadCount(), 1u);
    EXPECT_EQ(kernel.now(), 0u);  // threads that never wait take no time
    CloseHandle(returns);
    CloseHandle(exits);
}

DWORD sleepThenSet(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    Sleep(job.milliseconds);
    SetEvent(job.object);
    return 0;
}

TEST_F(KernelSync, TimedWaitsEndExactlyAtTheirDeadline) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kernel.advance(250);  // start off a millisecond boundary
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(kernel.now(), 100'250u);
    Sleep(3);
    EXPECT_EQ(kernel.now(), 103'250u);

    // Signalled before the deadline: the wait ends at the signal.
    Job setter{&log, event, "setter", 40};
    HANDLE thread = startThread(sleepThenSet, setter);
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.now(), 143'250u);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(KernelTicks, TickCountWrapsAtTwoToTheThirtyTwo) {
    KernelConfig config;
    config.tickStart = 0xFFFFFFFFu - 5;
    Kernel kernel(config);
    const DWORD start = GetTickCount();
    EXPECT_EQ(start, 0xFFFFFFFAu);
    Sleep(10);
    EXPECT_EQ(GetTickCount(), 4u);
    EXPECT_EQ(GetTickCount() - start, 10u);  // unsigned difference across the wrap
    kernel.advance(999);
    EXPECT_EQ(GetTickCount(), 4u);  // the counter moves on whole milliseconds
    kernel.advance(1);
    EXPECT_EQ(kernel.tickCount(), 5u);
}

}  // namespace
