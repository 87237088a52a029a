#include "driver/capture/capture_races.hpp"

#include <gtest/gtest.h>

#include "support/virtual_time.hpp"

namespace capture {

namespace {

using hosted::Micros;
using touch_test::kMs;
constexpr int kHeldX = 700, kHeldY = 800;

void pressAndHold(windowing::Session& session) {
    sim::TouchScript script;
    script.tap(session.now() + 5 * kMs, {double(kHeldX), double(kHeldY)}, 1600 * kMs);
    session.play(script);
}

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

constexpr DWORD kAbortDelayStepMs = 20;

struct Aborter {
    PFN_TouchPanelReadCalibrationAbort abort;
    DWORD delayMs;
};

DWORD abortLater(LPVOID parameter) {
    const Aborter& job = *static_cast<const Aborter*>(parameter);
    if (job.delayMs > 0) {
        Sleep(job.delayMs);
    }
    job.abort();
    return 0;
}

// One seed's session; writes the kernel trace when TOUCH_STRESS_TRACE asks
// for it, however the run ends.
class RaceSession {
  public:
    RaceSession(const Race& race, std::uint64_t seed) : race_(race), session_(race.config(seed)) {
        session_.load();
    }
    ~RaceSession() {
        try {
            if (!race_.settings.tracePath.empty()) {
                session_.kernel().writeTrace(race_.settings.tracePath);
            }
        } catch (const std::exception& error) {
            ADD_FAILURE() << "TOUCH_STRESS_TRACE: " << error.what();
        }
    }
    RaceSession(const RaceSession&) = delete;
    RaceSession& operator=(const RaceSession&) = delete;
    windowing::Session& session() { return session_; }

  private:
    const Race& race_;
    windowing::Session session_;
};

// Enables, starts a capture, holds a touch that completes it and lets time
// pass up to the racing call, from `leadMs` before the completion to it.
windowing::PendingCapture heldCapture(const Race& race, std::uint64_t seed,
                                      windowing::Session& session, Micros leadMs) {
    EXPECT_EQ(session.enable(), TRUE);
    windowing::PendingCapture capture = session.startCapture();
    pressAndHold(session);
    session.waitMicros(racingCallDelay(race.completion, leadMs, seed));
    return capture;
}

}  // namespace

windowing::SessionConfig unitPanel(std::uint32_t tickStart, hosted::SchedulePolicy policy,
                                   std::uint64_t seed) {
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

windowing::SessionConfig Race::config(std::uint64_t seed) const {
    windowing::SessionConfig config = unitPanel(0, hosted::SchedulePolicy::Random, seed);
    config.kernel.preempt = settings.preempt;
    config.kernel.traceKernel = !settings.tracePath.empty();
    config.library.path = library;
    return config;
}

std::string Race::name(std::uint64_t seed) const {
    return "seed " + std::to_string(seed) + " (replay with " + settings.replay(seed) + ")";
}

Micros completionDelay() {
    windowing::Session session(unitPanel());
    session.load();
    session.enable();
    windowing::PendingCapture capture = session.startCapture();
    const Micros start = session.now();
    pressAndHold(session);
    capture.waitFor(2000);
    return capture.result().returnedAt - start;
}

void abortAgainstCompletion(const Race& race, std::uint64_t seed, int& completed) {
    SCOPED_TRACE(race.name(seed));
    RaceSession run(race, seed);
    windowing::Session& session = run.session();
    windowing::PendingCapture capture = heldCapture(race, seed, session, 5);
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

void disableAgainstCompletion(const Race& race, std::uint64_t seed, int& completed) {
    SCOPED_TRACE(race.name(seed));
    RaceSession run(race, seed);
    windowing::Session& session = run.session();
    windowing::PendingCapture capture = heldCapture(race, seed, session, 15);
    session.disable();
    ASSERT_TRUE(capture.waitFor(50)) << "the disable released no caller";
    expectConsistent(capture.result());
    completed += capture.result().result;
    session.wait(200);
    ASSERT_EQ(session.enable(), TRUE);
    expectNoSignalLeft(session);
    ASSERT_TRUE(session.faults().empty()) << session.faults().front().what;
}

void abortFromAnotherThreadAgainstDisable(const Race& race, std::uint64_t seed) {
    SCOPED_TRACE(race.name(seed));
    RaceSession run(race, seed);
    windowing::Session& session = run.session();
    ASSERT_EQ(session.enable(), TRUE);
    windowing::PendingCapture capture = session.startCapture();
    if (seed % 3 == 0) {
        session.touch(100, 100);  // sampling rather than waiting
        session.wait(20);
    }
    // The abort comes at once, or later: within the disable's wait for the
    // sample thread, or after the disable.
    Aborter job{session.library().entry().readCalibrationAbort,
                static_cast<DWORD>(seed / 10 % 4 * kAbortDelayStepMs)};
    HANDLE aborter = CreateThread(nullptr, 0, &abortLater, &job, 0, nullptr);
    ASSERT_NE(aborter, nullptr);
    // The aborting thread at the disabling thread's priority, or below it.
    CeSetThreadPriority(aborter, THREAD_PRIORITY_NORMAL_256 + static_cast<int>(seed / 5 % 2));
    session.waitMicros(seed % 5 * 300);
    session.disable();
    EXPECT_EQ(WaitForSingleObject(aborter, 100), WAIT_OBJECT_0);
    CloseHandle(aborter);
    ASSERT_TRUE(capture.waitFor(50));
    EXPECT_EQ(capture.result().result, FALSE);
    ASSERT_TRUE(session.faults().empty()) << session.faults().front().what;
}

}  // namespace capture
