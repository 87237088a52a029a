// Calibration captures through the whole stack: the windowing system's
// capture caller on its own thread, the driver library, its sample thread and
// the simulated panel, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "driver/capture/capture_races.hpp"
#include "support/exploration.hpp"
#include "support/virtual_time.hpp"
#include "windowing/session.hpp"

namespace {

using capture::raw;
using capture::unitPanel;
using hosted::Micros;
using touch_test::kMs;

class Capture : public ::testing::Test {
  protected:
    explicit Capture(windowing::SessionConfig config = unitPanel()) : session_(std::move(config)) {}

    void enable() {
        session_.load();
        ASSERT_EQ(session_.enable(), TRUE);
    }
    // The finger down at (x, y) `afterMs` from now for `holdMs`; gives the press time.
    Micros tapLater(int x, int y, DWORD afterMs, DWORD holdMs) {
        const Micros at = session_.now() + afterMs * kMs;
        sim::TouchScript script;
        script.tap(at, {double(x), double(y)}, holdMs * kMs);
        session_.play(script);
        return at;
    }
    bool nothingDeliveredBefore(Micros time) const {
        return std::none_of(session_.samples().begin(), session_.samples().end(),
                            [&](const windowing::Sample& s) { return s.time <= time; }) &&
               std::none_of(session_.cursorMoves().begin(), session_.cursorMoves().end(),
                            [&](const hosted::CursorMove& m) { return m.time <= time; });
    }

    windowing::Session session_;
};

// ---- Completion ----

class HeldTouch : public Capture, public ::testing::WithParamInterface<std::uint32_t> {
  protected:
    HeldTouch() : Capture(unitPanel(GetParam())) {}
};

// From zero, and with the counter wrapping 1 s into the run, after the
// reference and before the hold ends.
INSTANTIATE_TEST_SUITE_P(Ticks, HeldTouch, ::testing::Values(0u, 0xFFFFFFFFu - 1000),
                         [](const auto& param) {
                             return param.param == 0 ? "FromZero" : "AcrossWrap";
                         });

TEST_P(HeldTouch, CompletesWhileThePenIsDownAtTheLatestPosition) {
    enable();
    windowing::PendingCapture capture = session_.startCapture();
    const Micros press = session_.now() + 10 * kMs;
    sim::TouchScript script;
    script.press(press, {500, 500})
        .hold(1400 * kMs)
        .moveTo({510, 505}, 1e9)
        .hold(1600 * kMs)
        .lift();
    session_.play(script);
    ASSERT_TRUE(capture.waitFor(3500));
    const windowing::CaptureResult& r = capture.result();
    EXPECT_EQ(r.result, TRUE);
    EXPECT_EQ(r.raw, raw(510, 505)) << "the sample that crossed the hold time, not the reference";
    // The first sample arrives a few ms after the press; the capture ends at
    // the first sample more than 1500 ms after it, samples being ~6 ms apart.
    EXPECT_GT(r.returnedAt, press + 1500 * kMs);
    EXPECT_LT(r.returnedAt, press + 1520 * kMs);
    EXPECT_TRUE(nothingDeliveredBefore(r.returnedAt)) << "no callback, no cursor while pending";
    EXPECT_TRUE(session_.faults().empty());
}

// A touch begun before the capture and a short one leave the caller waiting;
// one that never holds still completes at its pen-up.
TEST_F(Capture, OnlyALongEnoughTouchBegunDuringTheCaptureCompletesIt) {
    enable();
    session_.touch(300, 300);
    session_.wait(50);
    windowing::PendingCapture capture = session_.startCapture();
    session_.wait(2000);  // held long enough, but it began before the capture
    session_.lift();
    tapLater(400, 400, 100, 50);  // fewer than 20 samples
    EXPECT_FALSE(capture.waitFor(500));

    sim::TouchScript script;
    script.press(session_.now() + 10 * kMs, {500, 500}).moveTo({1500, 500}, 300);
    script.hold(30 * kMs).lift();
    session_.play(script);
    session_.waitMicros(script.end() - session_.now() - kMs);
    EXPECT_FALSE(capture.finished()) << "never held still for 1500 ms";
    ASSERT_TRUE(capture.waitFor(100));
    EXPECT_EQ(capture.result().result, TRUE);
    EXPECT_EQ(capture.result().raw, raw(1500, 500)) << "the last pen-down sample";
}

TEST_F(Capture, PendingCaptureStillClicks) {
    session_.registry().setDword("HARDWARE\\DEVICEMAP\\TOUCH", "BeepEnable", 1);
    enable();
    windowing::PendingCapture capture = session_.startCapture();
    tapLater(300, 300, 10, 50);
    tapLater(400, 400, 200, 1700);
    ASSERT_TRUE(capture.waitFor(2500));
    EXPECT_TRUE(nothingDeliveredBefore(capture.result().returnedAt));
    EXPECT_EQ(session_.clicks().size(), 2u);
}

// ---- Refusals and aborts ----

TEST_F(Capture, SecondReaderIsRefusedAndTheFirstGoesOn) {
    enable();
    windowing::PendingCapture capture = session_.startCapture();
    const Micros before = session_.now();
    const windowing::CaptureResult second = session_.readCalibrationPoint();
    EXPECT_EQ(second.result, FALSE);
    EXPECT_EQ(second.lastError, static_cast<DWORD>(ERROR_POSSIBLE_DEADLOCK));
    EXPECT_LT(second.returnedAt, before + kMs) << "refused at once";
    tapLater(100, 200, 10, 1700);
    ASSERT_TRUE(capture.waitFor(2000));
    EXPECT_EQ(capture.result().result, TRUE);
    EXPECT_EQ(capture.result().raw, raw(100, 200));
    // The refused call left the driver: the disable does not wait for it.
    const Micros disabling = session_.now();
    session_.disable();
    EXPECT_LT(session_.now() - disabling, 100 * kMs);
}

TEST_F(Capture, AbortReleasesTheCallerWithTheLastCompletedPosition) {
    enable();
    {
        windowing::PendingCapture waiting = session_.startCapture();
        session_.wait(20);
        session_.abortCapture();
        ASSERT_TRUE(waiting.waitFor(10));
        EXPECT_EQ(waiting.result().result, FALSE);
        EXPECT_EQ(waiting.result().raw, (windowing::Point{0, 0})) << "nothing completed since load";
    }
    {
        windowing::PendingCapture completed = session_.startCapture();
        tapLater(250, 350, 10, 1700);
        ASSERT_TRUE(completed.waitFor(2000));
        ASSERT_EQ(completed.result().result, TRUE);
    }
    session_.wait(300);
    windowing::PendingCapture sampling = session_.startCapture();
    session_.touch(900, 900);
    session_.wait(500);
    session_.setLastError(1234);
    session_.abortCapture();
    EXPECT_EQ(session_.lastError(), 1234u);
    ASSERT_TRUE(sampling.waitFor(10));
    EXPECT_EQ(sampling.result().result, FALSE);
    EXPECT_EQ(sampling.result().raw, raw(250, 350));
    session_.lift();
}

TEST_F(Capture, AbortWithNothingPendingLeavesNoSignalBehind) {
    enable();
    session_.abortCapture();
    session_.abortCapture();
    windowing::PendingCapture capture = session_.startCapture();
    EXPECT_FALSE(capture.waitFor(300)) << "a stale signal would end this wait at once";
    tapLater(50, 60, 10, 1700);
    ASSERT_TRUE(capture.waitFor(2000));
    EXPECT_EQ(capture.result().result, TRUE);
}

TEST_F(Capture, EntryPointsOutsideTheEnabledPeriod) {
    session_.load();
    session_.setLastError(0);
    windowing::CaptureResult r = session_.readCalibrationPoint();
    EXPECT_EQ(r.result, FALSE);
    EXPECT_EQ(r.lastError, static_cast<DWORD>(ERROR_NOT_READY));
    session_.setLastError(77);
    session_.abortCapture();
    EXPECT_EQ(session_.lastError(), 77u);

    ASSERT_EQ(session_.enable(), TRUE);
    session_.disable();
    r = session_.readCalibrationPoint();
    EXPECT_EQ(r.result, FALSE);
    EXPECT_EQ(r.lastError, static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_TRUE(session_.faults().empty());
}

TEST_F(Capture, DisableReleasesAPendingCaller) {
    enable();
    windowing::PendingCapture waiting = session_.startCapture();
    session_.wait(20);
    session_.disable();
    ASSERT_TRUE(waiting.finished());
    EXPECT_EQ(waiting.result().result, FALSE);

    ASSERT_EQ(session_.enable(), TRUE);
    windowing::PendingCapture sampling = session_.startCapture();
    session_.touch(200, 200);
    session_.wait(300);
    session_.disable();
    ASSERT_TRUE(sampling.finished());
    EXPECT_EQ(sampling.result().result, FALSE);
    session_.lift();
    EXPECT_TRUE(session_.faults().empty());
}

// ---- The activity event ----

struct ActivitySetting {
    const char* name;
    std::size_t length;  // characters of the stored name
    std::uint32_t type;
    bool stored;
    bool signalled;
};

class Activity : public Capture, public ::testing::WithParamInterface<ActivitySetting> {};

INSTANTIATE_TEST_SUITE_P(Settings, Activity,
                         ::testing::Values(ActivitySetting{"Named", 12, REG_SZ, true, true},
                                           ActivitySetting{"Missing", 12, REG_SZ, false, false},
                                           ActivitySetting{"Expandable", 12, REG_EXPAND_SZ, true,
                                                           false},
                                           ActivitySetting{"Longest", 259, REG_SZ, true, true},
                                           ActivitySetting{"TooLong", 260, REG_SZ, true, false}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_P(Activity, SignalledOnlyForAPlainStringThatFits) {
    const ActivitySetting& setting = GetParam();
    std::u16string name;
    for (std::size_t i = 0; i < setting.length; ++i) {
        name.push_back(static_cast<char16_t>(u'a' + i % 26));
    }
    if (setting.stored) {
        session_.registry().setString("System\\GWE", "ActivityEvent", name, setting.type);
    }
    // The event carries the name as the driver may use it: cut to 259
    // characters, which a name too long for the buffer must not be.
    const std::u16string opened = name.substr(0, 259);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, opened.c_str());
    ASSERT_NE(event, nullptr);
    // And the name the platform leaves in a buffer too small for the value.
    const std::u16string garbage(
        259, static_cast<char16_t>(0x0101 * session_.kernel().config().undefinedFill));
    HANDLE undefined = CreateEventW(nullptr, TRUE, FALSE, garbage.c_str());
    enable();
    const std::size_t handles = session_.kernel().openHandleCount();
    {
        windowing::PendingCapture capture = session_.startCapture();
        tapLater(10, 10, 10, 300);
        ASSERT_TRUE(capture.waitFor(600));
        EXPECT_EQ(capture.result().result, TRUE) << "the capture works either way";
    }
    EXPECT_EQ(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, setting.signalled);
    EXPECT_EQ(WaitForSingleObject(undefined, 0), WAIT_TIMEOUT);
    EXPECT_EQ(session_.kernel().openHandleCount(), handles) << "the driver closed its handle";
    CloseHandle(event);
    CloseHandle(undefined);
}

}  // namespace

// ---- Races, explored under the random schedule ----

namespace {

constexpr int kSeeds = 500;

// The seeds a race runs: kSeeds scaled by TOUCH_STRESS_SCALE, and at least
// one for each place of the racing call, from TOUCH_SEED_BASE + 1; or the one
// seed TOUCH_STRESS_SEED replays.
struct RacingSeeds {
    capture::Race race{exploration::settingsFromEnvironment(), {}, capture::completionDelay()};
    std::uint64_t first = race.settings.replaySeed.value_or(race.settings.seedBase + 1);
    std::uint64_t count = race.settings.replaySeed
                              ? 1
                              : static_cast<std::uint64_t>(exploration::scaledSeeds(
                                    kSeeds, race.settings.scale, capture::kRacingPlaces));
    RacingSeeds() { EXPECT_TRUE(race.settings.error.empty()) << race.settings.error; }
    std::uint64_t end() const { return first + count; }
    // Both outcomes met, when every place of the racing call was tried.
    void expectBothOutcomes(int completed) const {
        if (count >= capture::kRacingPlaces && !::testing::Test::HasFailure()) {
            EXPECT_GT(completed, 0) << "no run completed before the racing call";
            EXPECT_LT(completed, static_cast<int>(count))
                << "no racing call came before the completion";
        }
    }
};

TEST(Race, AbortAgainstCompletion) {
    const RacingSeeds seeds;
    int completed = 0;
    for (std::uint64_t seed = seeds.first; seed < seeds.end() && !HasFailure(); ++seed) {
        capture::abortAgainstCompletion(seeds.race, seed, completed);
    }
    seeds.expectBothOutcomes(completed);
}

TEST(Race, DisableAgainstCompletion) {
    const RacingSeeds seeds;
    int completed = 0;
    for (std::uint64_t seed = seeds.first; seed < seeds.end() && !HasFailure(); ++seed) {
        capture::disableAgainstCompletion(seeds.race, seed, completed);
    }
    seeds.expectBothOutcomes(completed);
}

TEST(Race, AbortFromAnotherThreadAgainstDisable) {
    const RacingSeeds seeds;
    for (std::uint64_t seed = seeds.first; seed < seeds.end() && !HasFailure(); ++seed) {
        capture::abortFromAnotherThreadAgainstDisable(seeds.race, seed);
    }
}

}  // namespace
