// The capture's decisions, sample by sample: the driver's CaptureFeedSample
// fed directly, as the sample thread feeds it, with the tick counter of the
// hosted kernel moved by hand.
#include <gtest/gtest.h>

#include <cstdint>

#include "driver/calibration/calibration.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"
#include "platform/hosted/kernel.hpp"

namespace {

struct Position {
    LONG x, y;
    friend bool operator==(const Position&, const Position&) = default;
};

// One pending capture in the driver's static state: DriverLock, the done
// event and an activity event exist as during an enabled period.
class CaptureDecisions : public ::testing::TestWithParam<std::uint32_t> {
  protected:
    CaptureDecisions() : kernel_(configFor(GetParam())) {}

    void SetUp() override {
        InitializeCriticalSection(&DriverLock);
        SharedWrite(&DriverLockReady, 1);
        CalibrationDoneEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        activity_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CaptureActivityEvent = activity_;
        CaptureState = CaptureWaiting;
        CaptureResultX = -1;
        CaptureResultY = -1;
    }
    void TearDown() override {
        CaptureState = CaptureIdle;
        CaptureActivityEvent = nullptr;
        CloseHandle(activity_);
        CloseHandle(CalibrationDoneEvent);
        CalibrationDoneEvent = nullptr;
        SharedWrite(&DriverLockReady, 0);
        DeleteCriticalSection(&DriverLock);
        EXPECT_TRUE(kernel_.faults().empty());
    }

    static hosted::KernelConfig configFor(std::uint32_t tickStart) {
        hosted::KernelConfig config;
        config.tickStart = tickStart;
        return config;
    }

    // Samples as the sample thread hands them over, with the pen flags it
    // derives from the previous valid sample.
    void feed(DWORD flags, LONG x, LONG y) {
        EnterCriticalSection(&DriverLock);
        CaptureFeedSample(flags, x, y);
        LeaveCriticalSection(&DriverLock);
    }
    void down(LONG x, LONG y) {
        feed(TouchSampleValidFlag | TouchSampleDownFlag |
                 (penDown_ ? TouchSamplePreviousDownFlag : 0),
             x, y);
        penDown_ = true;
    }
    void up() {
        feed(TouchSampleValidFlag | (penDown_ ? TouchSamplePreviousDownFlag : 0), lastX_, lastY_);
        penDown_ = false;
    }
    void downAt(DWORD atMs, LONG x, LONG y) {
        kernel_.advance(static_cast<hosted::Micros>(atMs) * 1000 - kernel_.now());
        lastX_ = x, lastY_ = y;
        down(x, y);
    }
    void abort() { TouchPanelReadCalibrationAbort(); }

    // Each signal is consumed by the check, as the caller's wait would.
    static bool signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    bool done() { return signalled(CalibrationDoneEvent); }
    static Position result() { return {CaptureResultX, CaptureResultY}; }

    hosted::Kernel kernel_;
    HANDLE activity_ = nullptr;
    bool penDown_ = false;
    LONG lastX_ = 0, lastY_ = 0;
};

// Tick counters starting at 0, and just before the wrap so that the
// reference is taken before it and the hold ends after it.
INSTANTIATE_TEST_SUITE_P(Ticks, CaptureDecisions, ::testing::Values(0u, 0xFFFFFFFFu - 700),
                         [](const auto& param) {
                             return param.param == 0 ? "FromZero" : "AcrossWrap";
                         });

TEST_P(CaptureDecisions, HoldCompletesOnlyAfterMoreThanTheHoldTime) {
    downAt(0, 100, 100);
    downAt(1000, 110, 90);
    downAt(1500, 115, 85);  // exactly 1500 ms: not yet
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureSampling));
    downAt(1501, 900, 900);  // the crossing sample completes even far away
    EXPECT_TRUE(done());
    EXPECT_FALSE(done()) << "one signal per capture";
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureDone));
    EXPECT_EQ(result(), (Position{900, 900}));
}

TEST_P(CaptureDecisions, ToleranceOfTwentyUnitsPerAxis) {
    downAt(0, 100, 100);
    downAt(500, 120, 80);  // exactly 20 off on both axes: the reference holds
    downAt(1501, 120, 80);
    EXPECT_TRUE(done());
    EXPECT_EQ(result(), (Position{120, 80}));

    // 21 off re-arms the reference: the next pen-down sample is the new one.
    for (Position off : {Position{121, 100}, Position{100, 79}}) {
        up();
        CaptureState = CaptureWaiting;
        const DWORD start = static_cast<DWORD>(kernel_.now() / 1000) + 10;
        downAt(start, 100, 100);
        downAt(start + 500, off.x, off.y);  // re-arms
        downAt(start + 600, off.x, off.y);  // the new reference
        downAt(start + 2100, off.x, off.y);
        EXPECT_FALSE(done()) << "1500 ms from the new reference is not more than 1500";
        downAt(start + 2101, off.x + 3, off.y);
        EXPECT_TRUE(done());
        EXPECT_EQ(result(), (Position{off.x + 3, off.y}));
    }
}

TEST_P(CaptureDecisions, MovingTouchCompletesOnlyAtPenUp) {
    // 25 units every 100 ms: every sample strays from its reference.
    for (DWORD t = 0; t <= 3000; t += 100) {
        downAt(t, 100 + static_cast<LONG>(t / 4), 200);
    }
    EXPECT_FALSE(done());
    up();
    EXPECT_TRUE(done());
    EXPECT_EQ(result(), (Position{850, 200})) << "the last pen-down sample";
}

TEST_P(CaptureDecisions, LiftCompletesFromTheTwentiethSample) {
    for (LONG i = 1; i <= 19; ++i) {
        downAt(static_cast<DWORD>(i) * 5, 100 + 30 * i, 100);  // re-arming samples count too
    }
    up();
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureWaiting)) << "too short: wait for the next";
    for (LONG i = 1; i <= 20; ++i) {
        downAt(200 + static_cast<DWORD>(i) * 5, 300, 300 + i);
    }
    EXPECT_FALSE(done());
    up();
    EXPECT_TRUE(done());
    EXPECT_EQ(result(), (Position{300, 320})) << "the twentieth sample";
}

TEST_P(CaptureDecisions, TouchAlreadyDownWhenTheCaptureBeganIsIgnored) {
    penDown_ = true;  // the first sample the capture sees carries the previous-down flag
    for (DWORD t = 0; t <= 2000; t += 5) {
        downAt(t, 100, 100);
    }
    up();
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureWaiting));
    downAt(2100, 400, 400);
    downAt(3601, 401, 401);
    EXPECT_TRUE(done());
    EXPECT_EQ(result(), (Position{401, 401}));
}

TEST_P(CaptureDecisions, ActivityEventSignalledForEveryValidSample) {
    penDown_ = true;  // an ignored touch still signals
    downAt(0, 100, 100);
    EXPECT_TRUE(signalled(activity_));
    up();
    EXPECT_TRUE(signalled(activity_)) << "pen-up samples too";
    feed(TouchSampleIgnore, 0, 0);
    feed(TouchSampleDownFlag, 5, 5);  // not valid
    EXPECT_FALSE(signalled(activity_));
    downAt(10, 100, 100);
    EXPECT_TRUE(signalled(activity_));
    CaptureActivityEvent = nullptr;
    downAt(20, 100, 100);  // no event: nothing to signal, the capture goes on
    EXPECT_EQ(CaptureSampleCount, 2);
}

// Between the signal and the caller re-taking the lock the state stays what
// was signalled, and nothing signals a second time.
TEST_P(CaptureDecisions, NothingRestartsOrResignalsAFinishedCapture) {
    downAt(0, 100, 100);
    downAt(1501, 105, 105);
    ASSERT_TRUE(done());
    up();
    downAt(1600, 700, 700);  // a new pen-down in CaptureDone
    downAt(3200, 700, 700);
    up();
    abort();
    CaptureReleaseAtDisable();
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureDone));
    EXPECT_EQ(result(), (Position{105, 105}));

    CaptureState = CaptureSampling;
    abort();
    EXPECT_TRUE(done());
    abort();
    CaptureReleaseAtDisable();
    downAt(3300, 50, 50);  // a completion after the abort
    downAt(4900, 50, 50);
    up();
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureAborted));
    EXPECT_EQ(result(), (Position{105, 105})) << "the last completed capture's position";
}

TEST_P(CaptureDecisions, DisableReleasesOnlyAPendingCapture) {
    CaptureReleaseAtDisable();
    EXPECT_TRUE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureAborted));
    CaptureState = CaptureIdle;
    CaptureReleaseAtDisable();
    abort();
    EXPECT_FALSE(done());
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureIdle));
}

TEST_P(CaptureDecisions, EntryPointsOutsideTheEnabledPeriod) {
    SharedWrite(&DriverLockReady, 0);
    INT x = 7, y = 7;
    SetLastError(0);
    EXPECT_EQ(TouchPanelReadCalibrationPoint(&x, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TouchPanelReadCalibrationPoint(&x, &y), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(x, 7) << "nothing is written";
    SetLastError(1234);
    abort();
    EXPECT_EQ(GetLastError(), 1234u) << "the abort leaves the last error alone";
    EXPECT_EQ(CaptureState, static_cast<DWORD>(CaptureWaiting));
    EXPECT_FALSE(done());
    SharedWrite(&DriverLockReady, 1);
}

}  // namespace
