// Bringing the driver up and down on the simulated board: the attach guard,
// the configuration from the registry, every failed enable and what the
// disable releases after it, repeated and out-of-order calls, a sample thread
// whose callback does not return, and a controller that misbehaves.
#include <gtest/gtest.h>

#include "driver/core/driver_session.hpp"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

namespace {

using touch_test::flagsOf;
using touch_test::kTouchKey;
using touch_test::regDwords;
using touch_test::sampleThreadName;
using touch_test::traceOf;

class Lifecycle : public touch_test::DriverSession {};

TEST_F(Lifecycle, ThirdAttachIsRefusedUntilADetach) {
    windowing::Session& s = start();
    windowing::DriverLibrary& library = s.library();
    EXPECT_EQ(library.attach(), TRUE);
    EXPECT_EQ(library.attach(), FALSE);
    EXPECT_EQ(library.detach(), TRUE);
    EXPECT_EQ(library.attach(), TRUE);
    EXPECT_EQ(library.attach(), FALSE);
}

TEST_F(Lifecycle, MissingTouchKeyIsCreatedAndTheEnableFailsWithRateSet) {
    windowing::SessionConfig config;
    config.describeBoard = false;
    windowing::Session& s = start(config);
    ASSERT_FALSE(s.registry().keyExists(kTouchKey));
    EXPECT_EQ(s.enable(), FALSE);
    EXPECT_TRUE(s.registry().keyExists(kTouchKey));
    TPDC_SAMPLE_RATE rate{};
    EXPECT_EQ(s.getDeviceCaps(TPDC_SAMPLE_RATE_ID, &rate), TRUE);
    EXPECT_EQ(rate.CurrentSampleRateSetting, 400);
}

// Registry numbers are read into 4 bytes whatever their type: a 2-byte
// "ioBase" still names port 0x60, an 8-byte "sysIntr" cannot be read.
TEST_F(Lifecycle, RegistryValuesOfOtherSizes) {
    windowing::SessionConfig config;
    config.registryText =
        "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"ioBase\"=hex:60,00\n";
    EXPECT_EQ(start(config).enable(), TRUE);
    config.registryText += "\"sysIntr\"=hex:1c,00,00,00,00,00,00,00\n";
    EXPECT_EQ(start(config).enable(), FALSE);
}

TEST_F(Lifecycle, PrioritiesComeFromTheDriverKeyOr109) {
    struct Case {
        std::string text;
        std::string normal;
        std::string high;
    };
    const Case cases[] = {
        {"", "109", "109"},
        {regDwords("Drivers\\BuiltIn\\Touch", {{"HighPriority256", 90}}), "109", "90"},
        {regDwords("Drivers\\BuiltIn\\Touch", {{"Priority256", 120}, {"HighPriority256", 100}}),
         "120", "100"},
        // Eight bytes cannot be read, whatever the platform left in the buffer.
        {"[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Touch]\n\"Priority256\"=hex:78,0,0,0,0,0,0,0\n",
         "109", "109"},
    };
    for (const Case& c : cases) {
        windowing::SessionConfig config;
        config.kernel.undefinedFill =
            0;  // what a driver using the buffer would take for priority 0
        config.registryText = c.text;
        windowing::Session& s = enabled(config);
        EXPECT_EQ(s.setMode(TPSM_PRIORITY_HIGH_ID), TRUE);
        EXPECT_EQ(s.setMode(TPSM_PRIORITY_NORMAL_ID), TRUE);
        const std::vector<std::string> set =
            traceOf(s, "main", "sets priority of " + sampleThreadName(s) + " to");
        ASSERT_EQ(set.size(), 3u);
        EXPECT_TRUE(set[0].ends_with(" " + c.normal));
        EXPECT_TRUE(set[1].ends_with(" " + c.high));
        EXPECT_TRUE(set[2].ends_with(" " + c.normal));
    }
}

// Each failure point of the enable: the enable fails and leaves the aux
// interrupt off.  Before DriverLock exists the disable releases the events
// without it, or a new enable takes over; after it, a second enable is
// refused and the disable releases all, naming interrupt 0 as the enable did.
TEST_F(Lifecycle, FailedEnablesAreReleasedByTheDisable) {
    struct Case {
        hosted::FaultPoint point;
        unsigned nth;
        BOOL secondEnable;
        std::size_t releasesOfZero;  // InterruptDone 0 by the enables and the disable
    };
    const Case cases[] = {{hosted::FaultPoint::CreateEvent, 1, FALSE, 0},
                          {hosted::FaultPoint::CreateEvent, 2, FALSE, 0},
                          {hosted::FaultPoint::CreateEvent, 2, TRUE, 1},
                          {hosted::FaultPoint::InterruptInitialize, 0, FALSE, 2},
                          {hosted::FaultPoint::CreateThread, 1, FALSE, 2}};
    for (const Case& c : cases) {
        windowing::Session& s = start();
        const std::size_t handles = s.kernel().openHandleCount();
        s.kernel().failCall(c.point, c.nth);
        EXPECT_EQ(s.enable(), FALSE);
        s.kernel().clearFailures();
        s.wait(1);
        EXPECT_EQ(s.machine().i8042().commandByte() & 0x02, 0);
        if (c.point != hosted::FaultPoint::CreateEvent || c.secondEnable) {
            EXPECT_EQ(s.enable(), c.secondEnable);
        }
        s.disable();
        EXPECT_EQ(s.kernel().openHandleCount(), handles);
        EXPECT_EQ(traceOf(s, "main", "InterruptDone 0").size(), c.releasesOfZero);
        TearDown();
    }
}

TEST_F(Lifecycle, SecondEnableIsRefusedAndChangesNothing) {
    windowing::Session& s = enabled();
    const std::size_t threads = s.kernel().liveThreadCount();
    EXPECT_EQ(s.enable(), FALSE);
    EXPECT_EQ(s.kernel().liveThreadCount(), threads);
    s.tap(400, 240, 2);
    s.wait(50);
    EXPECT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0D}));
}

TEST_F(Lifecycle, DisableWithoutEnableOrTwiceTouchesNothing) {
    windowing::SessionConfig config;
    config.kernel.tracePorts = true;
    windowing::Session& s = start(config);
    s.disable();
    s.disable();
    EXPECT_TRUE(s.kernel().portTrace().empty());
    ASSERT_EQ(s.enable(), TRUE);
    // The stop before the first start knows no port base: no DMA port.
    for (const hosted::PortAccess& access : s.kernel().portTrace()) {
        ASSERT_GE(access.port, 0x60) << "port " << access.port;
    }
    s.disable();
    const std::size_t accesses = s.kernel().portTrace().size();
    s.disable();
    EXPECT_EQ(s.kernel().portTrace().size(), accesses);
}

TEST_F(Lifecycle, EnableDisableEnableBindsTheSameInterruptAgain) {
    windowing::Session& s = enabled();
    s.disable();
    ASSERT_EQ(s.enable(), TRUE);
    EXPECT_EQ(traceOf(s, "main", "binds interrupt 28 to").size(), 2u);
    EXPECT_EQ(traceOf(s, "main", "interrupt 28 disabled").size(), 1u);
    s.tap(400, 240, 2);
    s.wait(50);
    EXPECT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0D}));
}

TEST_F(Lifecycle, EntryPointsOutsideTheEnabledPeriodReportNotReady) {
    windowing::Session& s = start();
    for (int round = 0; round < 2; ++round) {
        TPDC_SAMPLE_RATE rate{};
        EXPECT_EQ(s.getDeviceCaps(TPDC_SAMPLE_RATE_ID, &rate), FALSE);
        EXPECT_EQ(s.lastError(), static_cast<DWORD>(ERROR_NOT_READY));
        s.setLastError(0);
        EXPECT_EQ(s.setMode(TPSM_PRIORITY_HIGH_ID), FALSE);
        EXPECT_EQ(s.lastError(), static_cast<DWORD>(ERROR_NOT_READY));
        EXPECT_EQ(s.readCalibrationPoint().result, FALSE);
        s.abortCapture();
        s.powerHandler(TRUE);
        ASSERT_EQ(s.enable(), TRUE);
        s.disable();
    }
}

// A callback that does not return within the disable's four waits of 100 ms
// (no more, no fewer): the disable goes on, the callback's own entry calls are
// refused, and the old thread ends once it returns, also when a new enable
// has started its own.
TEST_F(Lifecycle, ThreadStuckInItsCallbackOutlivesTheDisableSafely) {
    for (const bool reEnable : {false, true}) {
        windowing::Session& s = enabled();
        BOOL answer = TRUE;
        DWORD error = 0;
        bool stuck = false;
        s.recorder().setHook([&](const windowing::Sample&) {
            if (stuck) {
                return;
            }
            stuck = true;
            Sleep(1000);
            TPDC_SAMPLE_RATE rate{};
            answer = s.library().entry().getDeviceCaps(TPDC_SAMPLE_RATE_ID, &rate);
            error = GetLastError();
        });
        s.touch(400, 240);
        s.wait(20);
        ASSERT_TRUE(stuck);
        s.disable();
        const std::vector<std::string> waits = traceOf(s, "main", "waits on thread");
        EXPECT_EQ(waits.size(), 4u);
        for (const std::string& wait : waits) {
            EXPECT_TRUE(wait.ends_with(" for 100 ms")) << wait;
        }
        s.lift();
        if (reEnable) {
            ASSERT_EQ(s.enable(), TRUE);
        }
        s.wait(1000);
        EXPECT_EQ(s.kernel().liveThreadCount(), reEnable ? 2u : 1u);
        if (reEnable) {
            EXPECT_EQ(answer, TRUE);
            s.clearSamples();
            s.tap(400, 240, 2);
            s.wait(50);
            EXPECT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0D}));
        } else {
            EXPECT_EQ(answer, FALSE);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_READY));
        }
        TearDown();
    }
}

BOOL ignoreSample(TOUCH_PANEL_SAMPLE_FLAGS, INT, INT) {
    return TRUE;
}

// An entry call that got in before the disable and is still inside a second
// later (its thread starved of time).
DWORD WINAPI staySecondInside(LPVOID) {
    if (DriverEntryBegin()) {
        Sleep(1000);
        DriverEntryEnd();
    }
    return 0;
}

// The disable waits for entry calls still inside through exactly 40 polls
// 10 ms apart, no fewer (a call leaving late would find DriverLock deleted)
// and no more (the disable must end), and the late caller then leaves
// cleanly.  The build's own copy of the driver is driven here, so that the
// call can hold the driver's entry count.
TEST(LifecycleOfTheLinkedDriver, DisableWaitsFortyPollsForAnEntryCallStillInside) {
    windowing::Session s;
    ASSERT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    ASSERT_EQ(TouchPanelEnable(ignoreSample), TRUE);
    const HANDLE caller = CreateThread(nullptr, 0, staySecondInside, nullptr, 0, nullptr);
    s.wait(1);
    ASSERT_EQ(SharedRead(&DriverEntryCount), 1);
    const std::size_t traced = s.trace().size();
    TouchPanelDisable();
    std::size_t polls = 0;
    for (std::size_t i = traced; i < s.trace().size(); ++i) {
        polls += s.trace()[i].thread == "main" && s.trace()[i].what == "sleeps 0.010000 s";
    }
    EXPECT_EQ(polls, 40u);
    s.wait(1000);
    EXPECT_EQ(WaitForSingleObject(caller, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(caller);
    EXPECT_EQ(SharedRead(&DriverEntryCount), 0);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_TRUE(s.faults().empty()) << s.faults().front().what;
}

TEST_F(Lifecycle, PendingCaptureIsReleasedByTheDisable) {
    windowing::Session& s = enabled();
    windowing::PendingCapture capture = s.startCapture();
    s.wait(10);
    ASSERT_FALSE(capture.finished());
    s.disable();
    ASSERT_TRUE(capture.waitFor(100));
    EXPECT_EQ(capture.result().result, FALSE);
}

// A silent controller fails the enable in bounded time; garbage on the
// auxiliary channel and a keyboard byte neither crash the driver nor stick
// its thread, and the keyboard byte is never taken.
TEST_F(Lifecycle, MisbehavingControllerAndKeyboardBytes) {
    windowing::SessionConfig silent;
    silent.machine.controller.faults.silent = true;
    windowing::Session& quiet = start(silent);
    const hosted::Micros before = quiet.now();
    EXPECT_EQ(quiet.enable(), FALSE);
    EXPECT_LT(quiet.now() - before, 300'000u);
    TearDown();

    windowing::SessionConfig noisy;
    std::vector<std::uint8_t> garbage;
    for (int i = 0; i < 200; ++i) {
        garbage.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    }
    noisy.machine.controller.faults.garbage.push_back({1000'000, garbage});
    noisy.machine.keyboard.push_back({5000'000, {0x1C}});
    windowing::Session& s = enabled(noisy);
    s.wait(1500);
    s.clearSamples();
    s.tap(400, 240, 2);
    s.wait(100);
    EXPECT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0D}));
    s.wait(5000);
    int keyboardBytes = 0;
    for (const sim::OutputRecord& record : s.machine().i8042().outputLog()) {
        if (record.source == sim::ByteSource::Keyboard) {
            ++keyboardBytes;
            EXPECT_FALSE(record.read.has_value());
        }
    }
    EXPECT_EQ(keyboardBytes, 1);
}

}  // namespace
