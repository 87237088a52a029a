// The sample thread on the simulated board: pen transitions and their flags,
// the 2 ms polling while the pen is down, the click, the clamp and the cursor,
// keys typed during a touch, the lock after a lift, and what a missing
// callback or a disable in mid-touch change.
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "driver/core/driver_session.hpp"
#include "driver/sampling/sample_thread.h"
#include "windowing/keyboard_driver.hpp"

namespace {

using touch_test::flagsOf;
using touch_test::kTouchKey;
using touch_test::regDwords;
using touch_test::traceOf;

constexpr DWORD kMs = 1000;

windowing::SessionConfig clicking() {
    windowing::SessionConfig config;
    config.registryText = regDwords(kTouchKey, {{"BeepEnable", 1}});
    return config;
}

windowing::Point rawAt(windowing::Session& session, double x, double y) {
    const sim::RawPoint raw = session.panel().toRawClamped({x, y});
    return {raw.x, raw.y};
}

windowing::Point at(const windowing::Sample& sample) {
    return {sample.x, sample.y};
}

class SampleThread : public touch_test::DriverSession {};

// The controller reports every 5 ms; a touch moved between its three reports
// ends with the pen-up sample at the third report's position.
TEST_F(SampleThread, ThreeReportTouchIsFlaggedPolledAndReArmed) {
    windowing::Session& s = enabled(clicking());
    const double fast = 1e7;  // pixels per second: a jump
    sim::TouchScript script;
    script.press(s.now() + kMs, {100, 100}).hold(3 * kMs).moveTo({200, 100}, fast);
    script.hold(5 * kMs).moveTo({300, 100}, fast).hold(4 * kMs).lift();
    s.play(script);
    s.wait(100);
    ASSERT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0F, 0x0F, 0x0D}));
    EXPECT_EQ(at(s.samples()[0]), rawAt(s, 100, 100));
    EXPECT_EQ(at(s.samples()[1]), rawAt(s, 200, 100));
    EXPECT_EQ(at(s.samples()[2]), rawAt(s, 300, 100));
    EXPECT_EQ(at(s.samples()[3]), rawAt(s, 300, 100));
    EXPECT_EQ(s.clicks().size(), 1u);

    // Polled every 2 ms while down, then back to waiting for the interrupt.
    const std::string thread = touch_test::sampleThreadName(s);
    const std::vector<std::string> waits = traceOf(s, thread, "waits on event");
    EXPECT_EQ(std::count_if(waits.begin(), waits.end(),
                            [](const std::string& w) { return w.ends_with("for 2 ms"); }),
              3);
    EXPECT_TRUE(waits.back().ends_with("without timeout"));
    s.tap(400, 240, 2);
    s.wait(100);
    ASSERT_EQ(s.samples().size(), 6u);
    EXPECT_EQ(s.samples()[4].flags, 0x07u);
    EXPECT_EQ(s.clicks().size(), 2u);
}

TEST_F(SampleThread, ReleaseReportWhilePenIsUpIsIgnoredAndReArms) {
    windowing::SessionConfig config;
    config.machine.controller.faults.garbage.push_back({1000 * kMs, {0x80, 0, 0, 0, 0}});
    windowing::Session& s = enabled(config);
    s.wait(1000);
    EXPECT_TRUE(s.samples().empty());
    EXPECT_FALSE(traceOf(s, touch_test::sampleThreadName(s), "interrupt 28 done").empty());
    s.tap(400, 240, 2);
    s.wait(50);
    EXPECT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x07, 0x0D}));
}

TEST(SampleClamp, LimitsInQuarterPixels) {
    EXPECT_EQ(ClampLimit(800), 3200);
    EXPECT_EQ(ClampLimit(0), 0);
    EXPECT_EQ(ClampLimit(-5), 0);
    EXPECT_EQ(ClampLimit(0x1FFFFFFF), 0x7FFFFFFC);  // the largest size whose limit fits
    EXPECT_EQ(ClampLimit(0x20000000), 0);
    EXPECT_EQ(ClampScreenCoordinate(3200, 3200), 3196);
    EXPECT_EQ(ClampScreenCoordinate(3199, 3200), 3199);
    EXPECT_EQ(ClampScreenCoordinate(5000, 3200), 3196);
    EXPECT_EQ(ClampScreenCoordinate(-1, 3200), 0);
    EXPECT_EQ(ClampScreenCoordinate(16383, 0), 16383);
}

TEST(SampleCursor, FollowsTheDisplayRotation) {
    struct Case {
        LONG orientation;
        INT x;
        INT y;
    };
    // Quarter pixels (400, 200) are pixel (100, 50) on an 800 x 480 display.
    const Case cases[] = {{DMDO_0, 100, 50},
                          {DMDO_90, 430, 100},
                          {DMDO_180, 700, 430},
                          {DMDO_270, 50, 700},
                          {3, 100, 50}};
    for (const Case& c : cases) {
        INT x = -1;
        INT y = -1;
        CursorPosition(400, 200, c.orientation, 800, 480, &x, &y);
        EXPECT_EQ(x, c.x) << c.orientation;
        EXPECT_EQ(y, c.y) << c.orientation;
    }
    INT x = -1;
    INT y = -1;
    CursorPosition(0, 0, DMDO_180, 800, 480, &x, &y);
    EXPECT_EQ(x, 800);
    EXPECT_EQ(y, 480);
}

// Until the target query (an invalid point number included) tells the
// display size there is no upper clamp; from the next sample on, the size
// bounds every sample, in the same enable.
TEST_F(SampleThread, DisplaySizeClampsFromTheNextSampleOn) {
    windowing::Session& s = enabled();
    s.tap(400, 240, 2);
    s.wait(50);
    ASSERT_FALSE(s.samples().empty());
    EXPECT_EQ(at(s.samples()[0]), rawAt(s, 400, 240));  // unclamped
    EXPECT_EQ(s.calibrationTarget(5, 800, 480).result, FALSE);
    s.clearSamples();
    s.tap(400, 240, 2);
    s.wait(50);
    ASSERT_FALSE(s.samples().empty());
    EXPECT_EQ(at(s.samples()[0]), (windowing::Point{3196, 1916}));
    EXPECT_EQ(s.cursorMoves().back().x, 799);
    EXPECT_EQ(s.cursorMoves().back().y, 479);
}

// Before the target query tells the display size, the rotated cursor is
// mirrored against a size of 0, and the rotation is the display's at enable.
TEST_F(SampleThread, RotatedCursorBeforeTheDisplaySizeIsKnown) {
    for (const int degrees : {90, 180}) {
        windowing::SessionConfig config;
        config.machine.display.orientation = degrees;
        windowing::Session& s = enabled(config);
        s.tap(400, 240, 2);
        s.wait(50);
        ASSERT_FALSE(s.cursorMoves().empty());
        const windowing::Point pixel{rawAt(s, 400, 240).x / 4, rawAt(s, 400, 240).y / 4};
        const windowing::Point cursor{s.cursorMoves()[0].x, s.cursorMoves()[0].y};
        const windowing::Point expected = degrees == 90 ? windowing::Point{-pixel.y, pixel.x}
                                                        : windowing::Point{-pixel.x, -pixel.y};
        EXPECT_EQ(cursor, expected) << degrees;
        TearDown();
    }
}

TEST_F(SampleThread, CursorFlagZeroKeepsTheCursorStillAndTwoDoesNot) {
    for (const DWORD cursor : {0u, 2u}) {
        windowing::SessionConfig config;
        config.registryText = regDwords(kTouchKey, {{"Cursor", cursor}});
        windowing::Session& s = enabled(config);
        s.tap(400, 240, 2);
        s.wait(50);
        EXPECT_EQ(s.samples().size(), 2u);
        EXPECT_EQ(s.cursorMoves().empty(), cursor == 0) << cursor;
        TearDown();
    }
}

// The pen state outlives the disable; the next thread starts without a
// previous sample, so its pen-up carries no previous-down flag.
TEST_F(SampleThread, DisableWhilePenIsDownEndsWithPenUpWithoutPreviousDown) {
    windowing::Session& s = enabled();
    s.touch(400, 240);
    s.wait(30);
    const windowing::Point last = at(s.samples().back());
    s.disable();
    s.lift();
    s.wait(30);
    s.clearSamples();
    ASSERT_EQ(s.enable(), TRUE);
    s.wait(200);
    ASSERT_EQ(flagsOf(s.samples()), (std::vector<DWORD>{0x05}));
    EXPECT_EQ(at(s.samples()[0]), last);
}

TEST_F(SampleThread, NoCallbackDropsSamplesButStillClicks) {
    windowing::Session& s = start(clicking());
    ASSERT_EQ(s.enable(nullptr), TRUE);
    s.tap(400, 240, 12);
    s.wait(100);
    EXPECT_TRUE(s.samples().empty());
    EXPECT_TRUE(s.cursorMoves().empty());
    EXPECT_EQ(s.clicks().size(), 1u);
}

// Keys struck while the pen is down wait in the i8042 ahead of the report's
// bytes: the keyboard driver takes each, whatever its priority, the touch
// stays one touch, and no byte of either device is left unread.
TEST_F(SampleThread, KeysTypedWhileThePenIsDownLeaveTheTouchWhole) {
    for (const bool answerIrq : {true, false}) {
        for (const int priority : {windowing::KeyboardDriverConfig::kDefaultPriority, 100, 253}) {
            SCOPED_TRACE(testing::Message()
                         << "answer IRQ " << answerIrq << ", priority " << priority);
            windowing::SessionConfig config;
            config.machine.i8042.answerIrqWhileKeyboardOff = answerIrq;
            windowing::Session& s = enabled(config);
            std::optional<windowing::KeyboardDriverThread> keyboard;
            keyboard.emplace(s.kernel(), s.machine(), windowing::KeyboardDriverConfig{priority});
            std::vector<std::uint8_t> struck;
            s.touch(400, 240);
            for (std::uint8_t key = 0x10; key < 0x1C; ++key) {
                s.wait(7);
                s.machine().keyboard().inject(s.now(), {key});
                struck.push_back(key);
            }
            s.lift();
            s.wait(100);
            const std::vector<DWORD> flags = flagsOf(s.samples());
            ASSERT_GE(flags.size(), 10u);
            EXPECT_EQ(std::count(flags.begin(), flags.end(), 0x07u), 1);
            EXPECT_EQ(flags.front(), 0x07u);
            EXPECT_EQ(std::count(flags.begin(), flags.end(), 0x0Du), 1);
            EXPECT_EQ(flags.back(), 0x0Du);
            EXPECT_EQ(keyboard->bytes(), struck);
            for (const sim::OutputRecord& record : s.machine().i8042().outputLog()) {
                EXPECT_TRUE(record.read.has_value()) << sim::toString(record.source);
            }
            keyboard.reset();
            TearDown();
        }
    }
}

// An entry call under DriverLock every millisecond from a thread above the
// sample thread; each call's start and how long it took.
struct LockProbe {
    windowing::Session* session;
    PFN_TouchPanelGetDeviceCaps caps;
    int calls;
    std::vector<std::pair<hosted::Micros, hosted::Micros>> taken;

    static DWORD run(LPVOID self) {
        LockProbe& probe = *static_cast<LockProbe*>(self);
        for (int i = 0; i < probe.calls; ++i) {
            Sleep(1);
            const hosted::Micros before = probe.session->now();
            TPDC_SAMPLE_RATE rate{};
            probe.caps(TPDC_SAMPLE_RATE_ID, &rate);
            probe.taken.emplace_back(before, probe.session->now() - before);
        }
        return 0;
    }
};

// After the pen-up sample nothing waits in the i8042: the wake that the last
// report's interrupt leaves behind takes DriverLock for no poll window.
TEST_F(SampleThread, NoPassAfterALiftHoldsTheLock) {
    windowing::Session& s = enabled();
    LockProbe probe{&s, s.library().entry().getDeviceCaps, 120, {}};
    HANDLE thread = CreateThread(nullptr, 0, &LockProbe::run, &probe, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    CeSetThreadPriority(thread, 50);
    s.tap(400, 240, 20);
    s.wait(130);
    ASSERT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_EQ(s.samples().back().flags, 0x0Du);
    const hosted::Micros penUp = s.samples().back().time;
    int after = 0;
    for (const auto& [start, took] : probe.taken) {
        if (start >= penUp) {
            ++after;
            EXPECT_LE(took, hosted::kMicrosPerMilli) << "call at " << start << " us";
        }
    }
    EXPECT_GE(after, 60);
}

}  // namespace
