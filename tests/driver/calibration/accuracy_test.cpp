// Accuracy of the integer calibration against the exact least-squares map.
//
// Many five-point calibrations of realistic panels (displays up to
// 1920x1080, the 14-bit raw range, rotation, skew, swapped and mirrored
// axes, touch noise) are fitted by the driver; its transform is then
// compared, over the whole raw range, with the exact least-squares map of
// the same five points (long double) plus the half-pixel rounding term.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>

#include "driver/calibration/calibration.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"
#include "platform/hosted/kernel.hpp"

namespace {

using Real = long double;
constexpr int kPoints = 5;
constexpr INT32 kRawMax = 16383;

struct Affine {
    Real a, b, c;  // screen = a x + b y + c
};

// The five targets of a W x H display, as the driver hands them out.
std::array<std::array<INT32, 2>, kPoints> targets(INT32 w, INT32 h) {
    const INT32 mx = (w / 20) * 2;
    const INT32 my = (h / 20) * 2;
    return {{{w / 2, h / 2}, {mx, my}, {mx, h - my}, {w - mx, h - my}, {w - mx, my}}};
}

// Least squares of screen ~ a x + b y + c by Cramer's rule on the normal
// equations, in long double: the sums are exact integers below 2^40.
Affine leastSquares(const std::array<INT32, kPoints>& x, const std::array<INT32, kPoints>& y,
                    const std::array<INT32, kPoints>& s) {
    Real m[3][3] = {};
    Real r[3] = {};
    for (int i = 0; i < kPoints; ++i) {
        const Real v[3] = {Real(x[i]), Real(y[i]), 1};
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                m[j][k] += v[j] * v[k];
            }
            r[j] += v[j] * s[i];
        }
    }
    auto det = [](const Real(&a)[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const Real d = det(m);
    Real solution[3];
    for (int col = 0; col < 3; ++col) {
        Real replaced[3][3];
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                replaced[j][k] = k == col ? r[j] : m[j][k];
            }
        }
        solution[col] = det(replaced) / d;
    }
    return {solution[0], solution[1], solution[2]};
}

// A panel: screen pixel -> raw units, an affine map with a given scale,
// rotation, skew and axis swap/mirror, placed inside the 14-bit range.
struct Panel {
    Real m[2][2];
    Real offset[2];

    std::array<INT32, 2> raw(Real px, Real py, Real noiseX, Real noiseY) const {
        const Real x = m[0][0] * px + m[0][1] * py + offset[0] + noiseX;
        const Real y = m[1][0] * px + m[1][1] * py + offset[1] + noiseY;
        auto clamp = [](Real v) {
            return static_cast<INT32>(std::clamp<Real>(std::round(v), 0, kRawMax));
        };
        return {clamp(x), clamp(y)};
    }
};

Panel randomPanel(std::mt19937_64& rng, INT32 w, INT32 h) {
    std::uniform_real_distribution<Real> unit(0, 1);
    const Real pi = 3.14159265358979323846L;
    // The display covers 60% to 98% of the raw range on each axis.
    const Real coverX = 0.6L + 0.38L * unit(rng);
    const Real coverY = 0.6L + 0.38L * unit(rng);
    const Real angle = (unit(rng) - 0.5L) * 2 * pi * 3 / 180;  // +-3 degrees
    const Real skew = (unit(rng) - 0.5L) * 0.04L;
    Real sx = coverX * kRawMax / w;
    Real sy = coverY * kRawMax / h;
    Real m[2][2] = {{sx * std::cos(angle), -sy * std::sin(angle) + skew * sy},
                    {sx * std::sin(angle), sy * std::cos(angle)}};
    Panel p{};
    const bool swap = rng() % 2;
    const bool mirrorX = rng() % 2;
    const bool mirrorY = rng() % 2;
    for (int k = 0; k < 2; ++k) {
        p.m[0][k] = (swap ? m[1][k] : m[0][k]) * (mirrorX ? -1 : 1);
        p.m[1][k] = (swap ? m[0][k] : m[1][k]) * (mirrorY ? -1 : 1);
    }
    // Place the display's image in the middle of the raw range.
    const Real cx = p.m[0][0] * w / 2 + p.m[0][1] * h / 2;
    const Real cy = p.m[1][0] * w / 2 + p.m[1][1] * h / 2;
    p.offset[0] = kRawMax / 2.0L - cx + (unit(rng) - 0.5L) * 0.02L * kRawMax;
    p.offset[1] = kRawMax / 2.0L - cy + (unit(rng) - 0.5L) * 0.02L * kRawMax;
    return p;
}

class Accuracy : public ::testing::Test {
  protected:
    void SetUp() override { Calibration = CalibrationCoefficients{}; }
    void TearDown() override { Calibration = CalibrationCoefficients{}; }

    hosted::Kernel kernel_;
};

// The driver stores every value as floor(value / 2^s), so each weight and
// the constant lose less than one unit and the divisor less than one: at
// raw (x, y) the transform can differ from the exact quarter-pixel value e
// by its final truncation (below 1) plus (4 (x + y + 1) + |e| + 2) / Delta,
// the last 2 for the rounding term, which is floor(Delta / 2).  The test
// holds every position to that bound and reports the largest difference
// over the whole raw range and inside the display.
TEST_F(Accuracy, RealisticCalibrationsStayWithinTheScalingBound) {
    std::mt19937_64 rng(20240601);
    std::uniform_int_distribution<INT32> width(320, 1920);
    std::uniform_int_distribution<INT32> height(240, 1080);
    std::normal_distribution<Real> noise(0, 4);  // raw units
    constexpr int kCalibrations = 2000;
    constexpr INT32 kGridStep = 257;  // 64 lines per axis, both ends included
    auto next = [](INT32 v) { return v == kRawMax ? v + 1 : std::min(v + kGridStep, kRawMax); };
    Real worst = 0;
    Real worstInside = 0;

    for (int n = 0; n < kCalibrations; ++n) {
        const INT32 w = width(rng);
        const INT32 h = height(rng);
        const Panel panel = randomPanel(rng, w, h);
        std::array<INT32, kPoints> sx, sy, rx, ry;
        const auto t = targets(w, h);
        for (int i = 0; i < kPoints; ++i) {
            sx[i] = t[i][0];
            sy[i] = t[i][1];
            const auto raw = panel.raw(sx[i], sy[i], noise(rng), noise(rng));
            rx[i] = raw[0];
            ry[i] = raw[1];
        }
        EXPECT_EQ(TouchPanelSetCalibration(kPoints, sx.data(), sy.data(), rx.data(), ry.data()),
                  TRUE)
            << n;
        ASSERT_EQ(Calibration.Calibrated, 1u) << n;
        ASSERT_GT(Calibration.Delta, 0) << n;
        const Affine fx = leastSquares(rx, ry, sx);
        const Affine fy = leastSquares(rx, ry, sy);
        const Real delta = Calibration.Delta;

        for (INT32 x = 0; x <= kRawMax; x = next(x)) {
            for (INT32 y = 0; y <= kRawMax; y = next(y)) {
                INT32 qx = 0;
                INT32 qy = 0;
                TouchPanelCalibrateAPoint(x, y, &qx, &qy);
                // Quarter pixels of the exact map with the half-pixel term;
                // the driver never gives a negative position.
                const Real ex = 4 * (fx.a * x + fx.b * y + fx.c) + 2;
                const Real ey = 4 * (fy.a * x + fy.b * y + fy.c) + 2;
                const Real dx = std::fabs(qx - std::max<Real>(0, ex));
                const Real dy = std::fabs(qy - std::max<Real>(0, ey));
                const Real common = 1 + (4 * (Real(x) + y + 1) + 2) / delta;
                ASSERT_LE(dx, common + std::fabs(ex) / delta) << n << " at " << x << "," << y;
                ASSERT_LE(dy, common + std::fabs(ey) / delta) << n << " at " << x << "," << y;
                worst = std::max({worst, dx, dy});
                if (ex >= 0 && ex < 4 * w && ey >= 0 && ey < 4 * h) {
                    worstInside = std::max({worstInside, dx, dy});
                }
            }
        }
    }
    std::printf(
        "largest difference from the exact map, in quarter pixels: %.3Lf over the whole "
        "raw range, %.3Lf inside the display\n",
        worst, worstInside);
    RecordProperty("WorstQuarterPixels", std::to_string(static_cast<double>(worst)));
    RecordProperty("WorstQuarterPixelsInside", std::to_string(static_cast<double>(worstInside)));
}

}  // namespace
