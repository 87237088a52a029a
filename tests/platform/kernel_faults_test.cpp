// Misuse the hosted kernel catches instead of crashing: bad handles and
// pointers, critical-section mistakes, deadlocks and livelocks, a kernel
// destroyed under blocked threads, and injected failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <thread>

#include "kernel_harness.hpp"

using hosted::FaultPoint;
using hosted::Kernel;
using hosted::KernelConfig;
using hosted::RunStopped;
using kernel_test::Job;
using kernel_test::Log;
using kernel_test::startThread;
using ::testing::HasSubstr;

namespace {

std::string faultText(const Kernel& kernel) {
    std::string text;
    for (const auto& fault : kernel.faults()) {
        text += fault.thread + ": " + fault.what + "\n";
    }
    return text;
}

DWORD lastError() {
    return GetLastError();
}

TEST(KernelBadHandles, AClosedHandleFailsEveryCallAndNeverNamesTheObjectThatReusesItsSlot) {
    Kernel kernel;
    HANDLE stale = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(stale));
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(fresh, stale);

    SetLastError(0);
    EXPECT_FALSE(SetEvent(stale));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);  // the stale set did not reach it
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(stale));
    EXPECT_FALSE(ReleaseSemaphore(stale, 1, nullptr));
    EXPECT_FALSE(CeSetThreadPriority(stale, 100));
    EXPECT_EQ(CeGetThreadPriority(stale), 0x7FFFFFFF);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(stale, &code));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x12345678)));
    EXPECT_EQ(kernel.faults().size(), 9u) << faultText(kernel);
    EXPECT_THAT(kernel.faults()[0].what, HasSubstr("EventModify: closed or unknown handle"));
    EXPECT_EQ(kernel.faults()[0].thread, "main");

    // A handle of another kind is refused the same way.
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    EXPECT_FALSE(SetEvent(semaphore));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_THAT(kernel.faults().back().what, HasSubstr("is a semaphore, not an event"));
    CloseHandle(semaphore);
    CloseHandle(fresh);
}

TEST(KernelBadHandles, NullPointersAndBadArgumentsFailWithTheirLastError) {
    Kernel kernel;
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, nullptr), nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    EXPECT_FALSE(GetExitCodeThread(thread, nullptr));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ChangeDisplaySettingsEx(nullptr, nullptr, nullptr, CDS_TEST, nullptr),
              DISP_CHANGE_BADMODE);
    EXPECT_FALSE(InterruptInitialize(5, nullptr, nullptr, 0));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Critical sections: a null one is a recorded fault, not a crash.
    EnterCriticalSection(nullptr);
    LeaveCriticalSection(nullptr);
    InitializeCriticalSection(nullptr);
    DeleteCriticalSection(nullptr);
    EXPECT_EQ(kernel.faults().size(), 4u) << faultText(kernel);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x10000)), 0xFF);
    EXPECT_EQ(kernel.faults().size(), 5u);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// What the platform restricts (security attributes it does not support, the
// access and inheritance of an opened event, the window and parameter of a
// display query, a data size without its data) is refused and recorded; a
// record without its size and a stack no process could reserve fail without
// a fault.
TEST(KernelBadHandles, RestrictedArgumentsAndImpossibleRequestsAreRefused) {
    Kernel kernel;
    kernel.mapInterrupt(5, 12);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    const auto routine = [](LPVOID) -> DWORD { return 0; };
    HANDLE named = CreateEventW(nullptr, FALSE, FALSE, TEXT("Named"));
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    int dummy = 0;
    const std::function<bool()> refused[] = {
        [&] { return CreateEventW(&attributes, FALSE, FALSE, nullptr) == nullptr; },
        [&] { return CreateSemaphoreW(&attributes, 0, 1, nullptr) == nullptr; },
        [&] { return CreateThread(&attributes, 0, routine, nullptr, 0, nullptr) == nullptr; },
        [&] { return OpenEventW(0, FALSE, TEXT("Named")) == nullptr; },
        [&] { return OpenEventW(EVENT_ALL_ACCESS, TRUE, TEXT("Named")) == nullptr; },
        [&] {
            return ChangeDisplaySettingsEx(nullptr, &mode, reinterpret_cast<HWND>(&dummy), CDS_TEST,
                                           nullptr) == DISP_CHANGE_BADMODE;
        },
        [&] {
            return ChangeDisplaySettingsEx(nullptr, &mode, nullptr, CDS_TEST, &dummy) ==
                   DISP_CHANGE_BADMODE;
        },
        [&] { return !InterruptInitialize(5, named, nullptr, 4); },
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        SetLastError(0);
        EXPECT_TRUE(refused[i]()) << i;
        EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << i;
        EXPECT_EQ(kernel.faults().size(), i + 1) << faultText(kernel);
    }
    mode.dmSize = sizeof mode - 1;
    EXPECT_EQ(ChangeDisplaySettingsEx(nullptr, &mode, nullptr, CDS_TEST, nullptr),
              DISP_CHANGE_BADMODE);
    EXPECT_EQ(CreateThread(nullptr, 0x40000001, routine, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(kernel.liveThreadCount(), 1u);
    HANDLE thread = CreateThread(nullptr, 0x40000000, routine, nullptr, 0, nullptr);
    EXPECT_NE(thread, nullptr) << "1 GB is still a stack";
    EXPECT_EQ(kernel.faults().size(), std::size(refused)) << faultText(kernel);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(named);
    EXPECT_EQ(kernel.openHandleCount(), 0u);
}

DWORD waitForever(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    WaitForSingleObject(job.object, INFINITE);
    job.log->add(job.name + " woke");
    return 0;
}

TEST(KernelBadHandles, ClosingAHandleAnotherThreadWaitsOnIsAFaultAndTheWaiterKeepsWaiting) {
    Kernel kernel;
    Log log;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = OpenEventW(EVENT_ALL_ACCESS, FALSE, nullptr);  // unnamed: refused
    EXPECT_EQ(second, nullptr);
    Job job{&log, event, "waiter"};
    HANDLE thread = startThread(waitForever, job, 100);
    ASSERT_TRUE(CloseHandle(event));
    ASSERT_EQ(kernel.faults().size(), 1u);
    EXPECT_THAT(kernel.faults()[0].what, HasSubstr("closed while thread-2"));
    EXPECT_TRUE(log.steps.empty());
    EXPECT_EQ(WaitForSingleObject(thread, 5), WAIT_TIMEOUT);  // still waiting on the object
    CloseHandle(thread);
}

DWORD enterAndLeave(LPVOID arg) {
    auto* section = static_cast<CRITICAL_SECTION*>(arg);
    EnterCriticalSection(section);
    LeaveCriticalSection(section);
    return 0;
}

TEST(KernelCriticalSections, ForeignLeaveDoubleEntryAndUseAfterDeleteAreFaultsThatHangNothing) {
    Kernel kernel;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // twice by its owner: counted, so one more leave is needed
    HANDLE other = CreateThread(nullptr, 0, enterAndLeave, &section, 0, nullptr);
    CeSetThreadPriority(other, 100);  // runs, and blocks on the section
    EXPECT_EQ(WaitForSingleObject(other, 1), WAIT_TIMEOUT);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(other, 1), WAIT_TIMEOUT);  // still owned once
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(other, 1), WAIT_OBJECT_0);
    LeaveCriticalSection(&section);  // not the owner now
    DeleteCriticalSection(&section);
    EnterCriticalSection(&section);  // deleted: ignored

    CRITICAL_SECTION never{};
    LeaveCriticalSection(&never);

    ASSERT_EQ(kernel.faults().size(), 4u) << faultText(kernel);
    EXPECT_THAT(kernel.faults()[0].what, HasSubstr("entered again by its owner"));
    EXPECT_THAT(kernel.faults()[1].what, HasSubstr("does not own it"));
    EXPECT_THAT(kernel.faults()[2].what, HasSubstr("was deleted"));
    EXPECT_THAT(kernel.faults()[3].what, HasSubstr("not initialized"));
    CloseHandle(other);
    EXPECT_EQ(kernel.openHandleCount(), 0u);
}

DWORD enterAndKeep(LPVOID arg) {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(arg));
    return 0;
}

TEST(KernelCriticalSections, AThreadEndingWhileOwningASectionIsAFault) {
    Kernel kernel;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    HANDLE thread = CreateThread(nullptr, 0, enterAndKeep, &section, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    ASSERT_EQ(kernel.faults().size(), 1u);
    EXPECT_THAT(kernel.faults()[0].what, HasSubstr("ended while owning critical section"));
    CloseHandle(thread);
}

// ---- Runs that cannot go on ----

DWORD lockThenWait(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(job.object));
    job.log->add("entered");  // never: main holds the section
    return 0;
}

TEST(KernelStop, ADeadlockStopsTheRunWithAReportNamingEveryThreadAndTheSeed) {
    KernelConfig config;
    config.seed = 77;
    Kernel kernel(config);
    Log log;
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    Job job{&log, &section, "locker"};
    HANDLE thread = startThread(lockThenWait, job, 100);
    kernel.setThreadName(thread, "locker");
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    kernel.advance(2'000);
    std::string report;
    try {
        WaitForSingleObject(event, INFINITE);
        ADD_FAILURE() << "the wait returned";
    } catch (const RunStopped& stopped) {
        report = stopped.what();
    }
    EXPECT_THAT(report, HasSubstr("deadlock"));
    EXPECT_THAT(report, HasSubstr("seed 77"));
    EXPECT_THAT(report, HasSubstr("thread \"main\" (id 1, priority 251): waits on event"));
    EXPECT_THAT(report, HasSubstr("thread \"locker\" (id 2, priority 100): waits on critical "
                                  "section"));
    EXPECT_THAT(report, HasSubstr("owned by main since 0.000000 s without timeout"));
    EXPECT_THAT(report, HasSubstr("at 0.002000 s"));

    // After the stop the main thread runs alone: its waits cannot hang.
    EXPECT_EQ(WaitForSingleObject(event, 30), WAIT_TIMEOUT);
    EXPECT_EQ(kernel.now(), 32'000u);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    EXPECT_TRUE(log.steps.empty());
    // The kernel's end unwinds the blocked thread.
}

DWORD spin(LPVOID) {
    for (;;) {
        Sleep(0);
    }
}

TEST(KernelStop, AThreadThatNeverBlocksIsStoppedAtTheTimeLimit) {
    KernelConfig config;
    config.timeLimit = 2'000'000;
    Kernel kernel(config);
    HANDLE thread = CreateThread(nullptr, 0, spin, nullptr, 0, nullptr);
    try {
        // The spinner takes over at once and starves the main thread.
        CeSetThreadPriority(thread, 100);
        ADD_FAILURE() << "the main thread ran again";
    } catch (const RunStopped& stopped) {
        EXPECT_THAT(stopped.what(), HasSubstr("time limit"));
        EXPECT_THAT(stopped.what(), HasSubstr("(id 1, priority 251): ready"));
        EXPECT_THAT(stopped.what(), HasSubstr("(id 2, priority 100): running"));
    }
    EXPECT_EQ(kernel.now(), 2'000'000u);
}

DWORD pingPong(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (;;) {
        SetEvent(job.object);
    }
}

TEST(KernelStop, ThreadsThatKeepTakingTurnsAreStoppedAtTheStepLimit) {
    KernelConfig config;
    config.stepLimit = 5'000;
    config.policy = hosted::SchedulePolicy::Random;
    Kernel kernel(config);
    Log log;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Job a{&log, event, "a"}, b{&log, event, "b"};
    try {
        // Under the random policy the spinners may take over inside CreateThread.
        startThread(pingPong, a);
        startThread(pingPong, b);
        Sleep(INFINITE);
        ADD_FAILURE() << "Sleep(INFINITE) returned";
    } catch (const RunStopped& stopped) {
        EXPECT_THAT(stopped.what(), HasSubstr("step limit of 5000"));
    }
    EXPECT_EQ(kernel.now(), 0u);  // setting an event takes no time
}

DWORD sleepLong(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    Sleep(1'000'000);
    job.log->add("slept");
    return 0;
}

TEST(KernelEnd, DestroyingTheKernelEndsBlockedReadyAndUnstartedThreads) {
    Log log;
    {
        Kernel kernel;
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        EnterCriticalSection(&section);
        Job waiter{&log, event, "waiter"}, locker{&log, &section, "locker"},
            sleeper{&log, nullptr, "sleeper"}, unstarted{&log, event, "unstarted"};
        startThread(waitForever, waiter, 100);
        startThread(lockThenWait, locker, 100);
        startThread(sleepLong, sleeper, 100);
        startThread(waitForever, unstarted);  // below the main thread: never ran
        EXPECT_EQ(kernel.liveThreadCount(), 5u);
    }
    EXPECT_TRUE(log.steps.empty());  // no code after a blocking call ran
    EXPECT_EQ(Kernel::current(), nullptr);
    Kernel next;  // and a fresh kernel starts cleanly
    EXPECT_EQ(next.liveThreadCount(), 1u);
    EXPECT_EQ(next.openHandleCount(), 0u);
}

// ---- Fault injection ----

TEST(KernelFaultInjection, TheChosenCallFailsWithThePlatformsError) {
    Kernel kernel;
    kernel.failCall(FaultPoint::CreateEvent, 2);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE third = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(third, nullptr);

    kernel.failCall(FaultPoint::CreateSemaphore);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 10, nullptr), nullptr);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 10, nullptr), nullptr);  // nth 0: every call
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    kernel.failCall(FaultPoint::CreateThread, 1);
    EXPECT_EQ(CreateThread(
                  nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr),
              nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    kernel.mapInterrupt(5, 12);
    kernel.failCall(FaultPoint::InterruptInitialize, 1);
    EXPECT_FALSE(InterruptInitialize(5, first, nullptr, 0));
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(InterruptInitialize(5, first, nullptr, 0));

    kernel.registry().createKey("Drivers\\BuiltIn\\Touch");
    kernel.failCall(FaultPoint::RegistryOpen, 1);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\Touch"), 0, 0, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\Touch"), 0, 0, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);

    kernel.clearFailures();
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 10, nullptr);
    EXPECT_NE(semaphore, nullptr);
    InterruptDisable(5);
    for (HANDLE h : {first, third, semaphore}) {
        CloseHandle(h);
    }
    EXPECT_EQ(kernel.openHandleCount(), 0u);
    EXPECT_TRUE(kernel.faults().empty()) << faultText(kernel);
}

}  // namespace

// ---- Host programming errors ----

TEST(KernelHostErrors, APlatformCallWithoutAKernelOrFromAForeignThreadAbortsWithAMessage) {
    EXPECT_DEATH(GetTickCount(), "GetTickCount: called with no hosted::Kernel alive");
    EXPECT_DEATH(
        {
            Kernel kernel;
            std::thread([] { Sleep(1); }).join();
        },
        "Sleep: called from a thread the hosted kernel did not create");
    EXPECT_DEATH(
        {
            Kernel kernel;
            std::thread([&] { kernel.advance(1); }).join();
        },
        "used from a thread that is not one of its kernel threads");
    // The interlocked calls need no kernel, and refuse a null target.
    LONG value = 1;
    EXPECT_EQ(InterlockedIncrement(&value), 2);
    EXPECT_EQ(InterlockedExchange(&value, 7), 2);
    EXPECT_EQ(InterlockedDecrement(&value), 6);
    EXPECT_EQ(InterlockedExchange(nullptr, 7), 0);
}

TEST(KernelHostErrors, OnlyOneKernelAtATime) {
    Kernel kernel;
    EXPECT_THROW(Kernel second, std::logic_error);
    EXPECT_EQ(Kernel::current(), &kernel);
}
