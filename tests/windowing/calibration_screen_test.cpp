// The calibration screen against the driver on the simulated board: a full
// run, a run made to fail by a misplaced touch, aborts, and a driver that is
// not enabled.
#include <gtest/gtest.h>

#include "windowing/calibration_screen.hpp"

namespace {

class HostCalibrationScreen : public testing::Test {
  protected:
    void SetUp() override {
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
    }

    windowing::Point rawAt(windowing::Point pixel) {
        const sim::RawPoint raw = session.panel().toRawClamped(
            sim::Point{static_cast<double>(pixel.x), static_cast<double>(pixel.y)});
        return windowing::Point{raw.x, raw.y};
    }

    windowing::Session session;
};

TEST_F(HostCalibrationScreen, CapturesEveryTargetAndPasses) {
    const windowing::CalibrationReport report = windowing::CalibrationScreen(session).run();
    EXPECT_EQ(report.failure, "");
    EXPECT_FALSE(report.aborted);
    ASSERT_EQ(report.pointCount, 5);
    ASSERT_EQ(report.points.size(), 5u);
    const std::vector<windowing::Point> targets = {
        {400, 240}, {80, 48}, {80, 432}, {720, 432}, {720, 48}};
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const windowing::CalibrationPointResult& point = report.points[i];
        EXPECT_EQ(point.target, targets[i]) << "target " << i;
        EXPECT_EQ(point.pressed, targets[i]);
        EXPECT_EQ(point.capture.result, TRUE);
        EXPECT_EQ(point.capture.raw, rawAt(targets[i])) << "target " << i;
    }
    EXPECT_TRUE(report.calibrationSet);
    EXPECT_TRUE(report.passed());
    EXPECT_LE(report.worstResidual, 1.0);

    // From now on the driver delivers screen quarter pixels.
    session.clearSamples();
    session.tap(200, 100, 10);
    session.wait(10);
    ASSERT_FALSE(session.samples().empty());
    const windowing::Sample& first = session.samples().front();
    EXPECT_TRUE(first.penDown());
    EXPECT_TRUE(first.calibrated());
    EXPECT_NEAR(first.x, 800, 8);
    EXPECT_NEAR(first.y, 400, 8);
    EXPECT_TRUE(session.faults().empty());
}

TEST_F(HostCalibrationScreen, AMisplacedTouchFailsAndIsTheWorstPoint) {
    windowing::CalibrationScreenConfig config;
    config.offsets = {{20, 0}};  // the centre pressed 20 pixels to the right
    const windowing::CalibrationReport report = windowing::CalibrationScreen(session, config).run();
    EXPECT_EQ(report.failure, "");
    EXPECT_EQ(report.points[0].pressed, (windowing::Point{420, 240}));
    EXPECT_TRUE(report.calibrationSet);
    EXPECT_EQ(report.verdict, FALSE);
    EXPECT_EQ(report.worstPoint, 0u);
    // The screen measures as the driver judges: a fail means an error of
    // the tolerance (5 pixels) or more.
    EXPECT_GE(report.worstResidual, 5.0);
}

TEST_F(HostCalibrationScreen, AbortsBeforeAPressOrWhileHeldAndTheDriverCarriesOn) {
    windowing::CalibrationScreenConfig config;
    config.abort = windowing::CalibrationAbort{2, windowing::CalibrationAbort::When::BeforePress};
    const windowing::CalibrationReport before = windowing::CalibrationScreen(session, config).run();
    EXPECT_TRUE(before.aborted);
    EXPECT_EQ(before.failure, "");
    ASSERT_EQ(before.points.size(), 3u);
    EXPECT_EQ(before.points[2].capture.result, FALSE);
    EXPECT_FALSE(before.calibrationSet);
    EXPECT_FALSE(before.passed());

    config.abort =
        windowing::CalibrationAbort{0, windowing::CalibrationAbort::When::WhileHeld, 300};
    const windowing::CalibrationReport held = windowing::CalibrationScreen(session, config).run();
    EXPECT_TRUE(held.aborted);
    ASSERT_EQ(held.points.size(), 1u);
    EXPECT_EQ(held.points[0].capture.result, FALSE);

    const windowing::CalibrationReport complete = windowing::CalibrationScreen(session).run();
    EXPECT_TRUE(complete.passed()) << complete.failure;
    EXPECT_TRUE(session.faults().empty());
}

TEST_F(HostCalibrationScreen, ACaptureThatCannotStartEndsTheRunWithAReason) {
    session.kernel().failCall(hosted::FaultPoint::CreateThread);
    const windowing::CalibrationReport report = windowing::CalibrationScreen(session).run();
    session.kernel().clearFailures();
    EXPECT_NE(report.failure.find("target 0: "), std::string::npos) << report.failure;
    EXPECT_TRUE(report.points.empty());
    EXPECT_FALSE(report.passed());
}

TEST(HostCalibrationScreenAlone, ADisabledDriverEndsTheRunWithAReason) {
    windowing::Session session;
    session.load();
    const windowing::CalibrationReport report = windowing::CalibrationScreen(session).run();
    EXPECT_NE(report.failure.find("number of calibration points"), std::string::npos)
        << report.failure;
    EXPECT_TRUE(report.points.empty());
    EXPECT_FALSE(report.passed());
}

}  // namespace
