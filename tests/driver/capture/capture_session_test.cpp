// Calibration captures through the whole stack: the windowing system's
// capture caller on its own thread, the driver library, its sample thread and
// the simulated panel, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "support/exploration.hpp"
#include "windowing/session.hpp"

namespace {

using hosted::Micros;
constexpr Micros kMs = 1000;
constexpr int kRawOffset = 1000;  // the panel maps pixel p to raw p + 1000

// A 4000 x 4000 display whose panel gives one raw unit per pixel, so that
// finger positions read directly as raw positions.
windowing::SessionConfig unitPanel(std::uint32_t tickStart = 0,
                                   hosted::SchedulePolicy policy = hosted::SchedulePolicy::Priority,
                                   std::uint64_t seed = 1) {
    windowing::SessionConfig config;
    config.kernel.tickStart = tickStart;
    config.kernel.policy = policy;
    config.kernel.seed = seed;
    config.machine.display = {4000, 4000, 0};
    config.machine.panel.scaleX = 1;
    config.machine.panel.scaleY = 1;
    config.machine.panel.offsetX = kRawOffset;
    config.machine.panel.offsetY = kRawOffset;
    return config;
}

windowing::Point raw(int x, int y) {
    return {x + kRawOffset, y + kRawOffset};
}

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
    enable();
    const std::size_t handles = session_.kernel().openHandleCount();
    {
        windowing::PendingCapture capture = session_.startCapture();
        tapLater(10, 10, 10, 300);
        ASSERT_TRUE(capture.waitFor(600));
        EXPECT_EQ(capture.result().result, TRUE) << "the capture works either way";
    }
    EXPECT_EQ(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, setting.signalled);
    EXPECT_EQ(session_.kernel().openHandleCount(), handles) << "the driver closed its handle";
    CloseHandle(event);
}

// ---- Races, explored under the random schedule ----
//
// A touch held at (700, 800) completes a capture about 1.5 s after the press.
// Under the random schedule, with the racing call placed at 40 steps
// across the moment of completion, the call lands before the completion,
// between its signal and the caller taking the result, or after.  Every run:
// no kernel fault, no deadlock (which would throw), the caller released with
// a consistent answer, and no signal left for the next capture.

constexpr int kSeeds = 500;
// The racing call steps through 40 places; fewer seeds would leave some out.
constexpr int kRacingPlaces = 40;
constexpr int kHeldX = 700, kHeldY = 800;

// The seeds a race runs: kSeeds scaled by TOUCH_STRESS_SCALE, and at least
// one for each place of the racing call.
std::uint64_t racingSeeds() {
    const exploration::Scale scale = exploration::scaleFromEnvironment();
    EXPECT_TRUE(scale.error.empty()) << scale.error;
    return static_cast<std::uint64_t>(exploration::scaledSeeds(kSeeds, scale.value, kRacingPlaces));
}

void pressAndHold(windowing::Session& session) {
    sim::TouchScript script;
    script.tap(session.now() + 5 * kMs, {double(kHeldX), double(kHeldY)}, 1600 * kMs);
    session.play(script);
}

// When the held touch completes a capture started at the same point of an
// identical run, measured from the start of the capture.
Micros completionDelay() {
    static const Micros delay = [] {
        windowing::Session session(unitPanel());
        session.load();
        session.enable();
        windowing::PendingCapture capture = session.startCapture();
        const Micros start = session.now();
        pressAndHold(session);
        capture.waitFor(2000);
        return capture.result().returnedAt - start;
    }();
    return delay;
}

// Measured once, before any racing session exists (one kernel at a time).
// The call comes from `leadMs` before the completion up to the completion.
Micros racingCallDelay(Micros completion, Micros leadMs, std::uint64_t seed) {
    return completion - leadMs * kMs + seed % kRacingPlaces * leadMs * kMs / kRacingPlaces;
}

// The capture's answer is consistent: the held position when it completed,
// the position of no completed capture (0, 0) when it did not.
void expectConsistent(const windowing::CaptureResult& r) {
    EXPECT_EQ(r.raw, (r.result ? raw(kHeldX, kHeldY) : windowing::Point{0, 0}));
}

// A new capture with no touch must wait: a second signal of the previous one
// would end its wait at once.
void expectNoSignalLeft(windowing::Session& session) {
    windowing::PendingCapture next = session.startCapture();
    EXPECT_FALSE(next.waitFor(100)) << "a signal was left for the next capture";
    session.abortCapture();
    ASSERT_TRUE(next.waitFor(50));
    EXPECT_EQ(next.result().result, FALSE);
}

TEST(Race, AbortAgainstCompletion) {
    const Micros completion = completionDelay();
    int completed = 0;
    const std::uint64_t seeds = racingSeeds();
    for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        windowing::Session session(unitPanel(0, hosted::SchedulePolicy::Random, seed));
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
        windowing::PendingCapture capture = session.startCapture();
        pressAndHold(session);
        session.waitMicros(racingCallDelay(completion, 5, seed));
        session.abortCapture();
        if (seed % 2 == 0) {
            session.abortCapture();  // a repeated abort
        }
        ASSERT_TRUE(capture.waitFor(50));
        expectConsistent(capture.result());
        completed += capture.result().result;
        session.wait(200);
        expectNoSignalLeft(session);
        ASSERT_TRUE(session.faults().empty()) << session.faults().front().what;
    }
    EXPECT_GT(completed, 0) << "no run completed before the abort";
    EXPECT_LT(completed, static_cast<int>(seeds)) << "no abort came before the completion";
}

TEST(Race, DisableAgainstCompletion) {
    const Micros completion = completionDelay();
    int completed = 0;
    const std::uint64_t seeds = racingSeeds();
    for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        windowing::Session session(unitPanel(0, hosted::SchedulePolicy::Random, seed));
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
        windowing::PendingCapture capture = session.startCapture();
        pressAndHold(session);
        session.waitMicros(racingCallDelay(completion, 15, seed));
        session.disable();
        ASSERT_TRUE(capture.waitFor(50)) << "the disable released no caller";
        expectConsistent(capture.result());
        completed += capture.result().result;
        session.wait(200);
        ASSERT_EQ(session.enable(), TRUE);
        expectNoSignalLeft(session);
        ASSERT_TRUE(session.faults().empty()) << session.faults().front().what;
    }
    EXPECT_GT(completed, 0);
    EXPECT_LT(completed, static_cast<int>(seeds));
}

TEST(Race, AbortFromAnotherThreadAgainstDisable) {
    const std::uint64_t seeds = racingSeeds();
    for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        windowing::Session session(unitPanel(0, hosted::SchedulePolicy::Random, seed));
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
        windowing::PendingCapture capture = session.startCapture();
        if (seed % 3 == 0) {
            session.touch(100, 100);  // sampling rather than waiting
            session.wait(20);
        }
        HANDLE aborter = CreateThread(
            nullptr, 0,
            [](LPVOID entry) -> DWORD {
                reinterpret_cast<PFN_TouchPanelReadCalibrationAbort>(entry)();
                return 0;
            },
            reinterpret_cast<LPVOID>(session.library().entry().readCalibrationAbort), 0, nullptr);
        ASSERT_NE(aborter, nullptr);
        session.waitMicros(seed % 5 * 300);
        session.disable();
        EXPECT_EQ(WaitForSingleObject(aborter, 100), WAIT_OBJECT_0);
        CloseHandle(aborter);
        ASSERT_TRUE(capture.waitFor(50));
        EXPECT_EQ(capture.result().result, FALSE);
        ASSERT_TRUE(session.faults().empty()) << session.faults().front().what;
    }
}

}  // namespace
