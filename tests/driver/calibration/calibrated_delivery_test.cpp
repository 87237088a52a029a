// A whole calibration on the simulated board: the platform's calibration
// screen captures the five targets through the driver, sets the fit, and
// the sample thread then delivers screen positions in quarter pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "windowing/calibration_screen.hpp"
#include "windowing/session.hpp"

namespace {

// An 800 x 480 display behind a panel that is turned a little, skewed,
// with swapped and mirrored raw axes and a little noise.
windowing::SessionConfig awkwardPanel() {
    windowing::SessionConfig config;
    config.machine.panel.rotationDegrees = 2;
    config.machine.panel.skew = 0.01;
    config.machine.panel.swapAxes = true;
    config.machine.panel.mirrorX = true;
    config.machine.panel.noise = 2;
    return config;
}

// Pixels of the first sample of every touch delivered, in order.
std::vector<windowing::Point> touchedPixels(const windowing::Session& session) {
    std::vector<windowing::Point> pixels;
    for (const windowing::Sample& s : session.samples()) {
        EXPECT_TRUE(s.calibrated());
        if (s.penDown()) {
            pixels.push_back({s.x / 4, s.y / 4});
        }
    }
    return pixels;
}

TEST(CalibratedDelivery, SamplesArriveInScreenPixelsAfterTheCalibrationScreen) {
    windowing::Session session(awkwardPanel());
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    const windowing::CalibrationReport report = windowing::CalibrationScreen(session).run();
    ASSERT_TRUE(report.passed()) << report.failure;
    EXPECT_LT(report.worstResidual, 1.5);

    session.clearSamples();
    const windowing::Point spots[] = {{400, 240}, {10, 10}, {790, 470}, {123, 456}, {700, 35}};
    for (const windowing::Point& p : spots) {
        session.tap(p.x + 0.5, p.y + 0.5, 30);
        session.wait(100);
    }
    const std::vector<windowing::Point> seen = touchedPixels(session);
    ASSERT_EQ(seen.size(), std::size(spots));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_LE(std::abs(seen[i].x - spots[i].x), 1) << i;
        EXPECT_LE(std::abs(seen[i].y - spots[i].y), 1) << i;
    }
    EXPECT_TRUE(session.faults().empty());
}

// A corner target pressed 40 px off leaves it about 12 px off the fit, which
// fails the default 5 px tolerance, yet the new fit is in force; a tolerance
// of 50 from the registry lets it pass.
TEST(CalibratedDelivery, ToleranceComesFromTheRegistryAndAFailedFitStillApplies) {
    for (const DWORD maxCalError : {0u, 50u}) {
        SCOPED_TRACE("MaxCalError " + std::to_string(maxCalError));
        windowing::Session session(awkwardPanel());
        if (maxCalError != 0) {
            session.registry().setDword("HARDWARE\\DEVICEMAP\\TOUCH", "MaxCalError", maxCalError);
        }
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
        windowing::CalibrationScreenConfig screen;
        screen.offsets = {{0, 0}, {0, 0}, {40, 0}};
        const windowing::CalibrationReport report =
            windowing::CalibrationScreen(session, screen).run();
        ASSERT_TRUE(report.calibrationSet) << report.failure;
        EXPECT_EQ(report.verdict, maxCalError == 0 ? FALSE : TRUE);

        session.clearSamples();
        session.tap(400.5, 240.5, 30);
        session.wait(100);
        const std::vector<windowing::Point> seen = touchedPixels(session);
        ASSERT_EQ(seen.size(), 1u);
        // Raw positions would be thousands; the pulled fit is some pixels off.
        EXPECT_LE(std::abs(seen[0].x - 400), 12);
        EXPECT_LE(std::abs(seen[0].y - 240), 12);
    }
}

}  // namespace
