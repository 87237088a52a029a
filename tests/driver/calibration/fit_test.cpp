// The least-squares fit, its scaling to 32-bit coefficients, the tolerance
// check against "MaxCalError" and the per-sample transform.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/calibration/calibration.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"
#include "platform/hosted/kernel.hpp"

// The record lives in the global namespace, so its comparison and printer do too.
static bool operator==(const CalibrationCoefficients& a, const CalibrationCoefficients& b) {
    return a.A1 == b.A1 && a.B1 == b.B1 && a.C1 == b.C1 && a.A2 == b.A2 && a.B2 == b.B2 &&
           a.C2 == b.C2 && a.Delta == b.Delta && a.Calibrated == b.Calibrated;
}

[[maybe_unused]] static void PrintTo(const CalibrationCoefficients& c, std::ostream* os) {
    *os << "{A1 " << c.A1 << ", B1 " << c.B1 << ", C1 " << c.C1 << ", A2 " << c.A2 << ", B2 "
        << c.B2 << ", C2 " << c.C2 << ", Delta " << c.Delta << ", Calibrated " << c.Calibrated
        << "}";
}

namespace {

const std::string kTouchKey = "HARDWARE\\DEVICEMAP\\TOUCH";

struct Point {
    INT32 screenX, screenY, rawX, rawY;
};

struct Quarter {
    INT32 x, y;
    friend bool operator==(const Quarter&, const Quarter&) = default;
};

void PrintTo(const Quarter& q, std::ostream* os) {
    *os << "(" << q.x << ", " << q.y << ")";
}

class Fit : public ::testing::Test {
  protected:
    void SetUp() override { Calibration = CalibrationCoefficients{}; }
    void TearDown() override { Calibration = CalibrationCoefficients{}; }

    BOOL set(const std::vector<Point>& points) {
        split(points);
        return TouchPanelSetCalibration(static_cast<INT32>(points.size()), sx_.data(), sy_.data(),
                                        rx_.data(), ry_.data());
    }
    BOOL check(const std::vector<Point>& points) {
        split(points);
        return CheckCalibrationError(static_cast<INT32>(points.size()), sx_.data(), sy_.data(),
                                     rx_.data(), ry_.data());
    }
    static Quarter transform(INT32 x, INT32 y) {
        Quarter q{-99, -99};
        TouchPanelCalibrateAPoint(x, y, &q.x, &q.y);
        return q;
    }
    void setMaxCalError(std::uint32_t pixels) {
        kernel_.registry().setDword(kTouchKey, "MaxCalError", pixels);
    }
    hosted::Registry& registry() { return kernel_.registry(); }

    // screen = raw / 10, exactly.
    const std::vector<Point> tenth_{{10, 10, 100, 100}, {30, 10, 300, 100}, {10, 30, 100, 300}};

  private:
    void split(const std::vector<Point>& points) {
        sx_.clear(), sy_.clear(), rx_.clear(), ry_.clear();
        for (const Point& p : points) {
            sx_.push_back(p.screenX), sy_.push_back(p.screenY);
            rx_.push_back(p.rawX), ry_.push_back(p.rawY);
        }
    }

    std::vector<INT32> sx_, sy_, rx_, ry_;

  protected:
    hosted::Kernel kernel_;
};

TEST_F(Fit, WorkedExampleGivesTheScaledRecordAndRoundedPositions) {
    // The determinants of its normal equations, built from the sums
    // Sxx 110000, Sxy 70000, Sx 500, Syy 110000, Sy 500, n 3,
    // SxX 11000, SyX 7000, SX 50.
    auto w = [](LONG v) {
        WideInt r;
        WideSet(r, v);
        return r;
    };
    WideInt delta, a1, b1;
    Determinant3(delta, w(110000), w(70000), w(500), w(70000), w(110000), w(500), w(500), w(500),
                 w(3));
    Determinant3(a1, w(11000), w(70000), w(500), w(7000), w(110000), w(500), w(50), w(500), w(3));
    Determinant3(b1, w(110000), w(11000), w(500), w(70000), w(7000), w(500), w(500), w(50), w(3));
    EXPECT_EQ(delta.Magnitude[0], 1600000000u);
    EXPECT_EQ(a1.Magnitude[0], 160000000u);
    EXPECT_EQ(WideIsNonZero(b1), 0u);
    EXPECT_EQ(delta.Negative | a1.Negative | b1.Negative, 0u);

    EXPECT_EQ(set(tenth_), TRUE);
    EXPECT_EQ(Calibration, (CalibrationCoefficients{19531, 0, 97656, 0, 19531, 97656, 195312, 1}));
    EXPECT_EQ(transform(100, 100), (Quarter{41, 41}));
    EXPECT_EQ(transform(300, 100), (Quarter{121, 41}));
    EXPECT_EQ(transform(100, 300), (Quarter{41, 121}));
    EXPECT_EQ(transform(200, 200), (Quarter{81, 81}));
    EXPECT_EQ(transform(0, 0), (Quarter{2, 2}));
    EXPECT_EQ(transform(-100, 50), (Quarter{0, 21})) << "a negative coordinate becomes 0 alone";
}

TEST_F(Fit, UnscaledFitKeepsNegativeCoefficients) {
    EXPECT_EQ(set({{0, 0, 10, 10}, {1, 0, 9, 10}, {0, 1, 10, 11}}), TRUE);
    EXPECT_EQ(Calibration, (CalibrationCoefficients{-1, 0, 10, 0, 1, -10, 1, 1}));
    EXPECT_EQ(transform(9, 10), (Quarter{4, 0}));
}

TEST_F(Fit, DivisorCanDecideTheScaling) {
    // Screen targets averaging -0.5 px with no slope: the weights are 0 and
    // the constants -Delta/2 cancel against the rounding term, so Delta
    // (4e12, 42 bits) alone sets the shift: 11.
    EXPECT_EQ(set({{0, 0, 0, 0}, {-1, -1, 1000, 0}, {-1, -1, 0, 1000}, {0, 0, 1000, 1000}}), TRUE);
    EXPECT_EQ(Calibration, (CalibrationCoefficients{0, 0, 0, 0, 0, 0, 1953125000, 1}));
}

TEST_F(Fit, DeterminantMayOverwriteItsOwnInput) {
    auto w = [](LONG v) {
        WideInt r;
        WideSet(r, v);
        return r;
    };
    WideInt m[9] = {w(2), w(-3), w(5), w(7), w(11), w(-13), w(17), w(19), w(23)};
    Determinant3(m[4], m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
    // 2(11*23 + 13*19) + 3(7*23 + 13*17) + 5(7*19 - 11*17) = 1000 + 1146 - 270
    EXPECT_EQ(m[4].Magnitude[0], 1876u);
    EXPECT_EQ(m[4].Negative, 0u);
}

TEST_F(Fit, DegenerateInputLeavesRawPassThrough) {
    // Collinear raw points: no fit; raw / 4 against the targets misses by up
    // to 5850 squared pixels, between 76^2 and 77^2.
    const std::vector<Point> line{{10, 10, 100, 100}, {30, 10, 300, 100}, {50, 10, 500, 100}};
    EXPECT_EQ(set(line), FALSE);
    EXPECT_EQ(Calibration.Calibrated, 0u);
    EXPECT_EQ(Calibration.Delta, 1);
    EXPECT_EQ(transform(1234, 567), (Quarter{1234, 567}));
    setMaxCalError(76);
    EXPECT_EQ(set(line), FALSE);
    setMaxCalError(77);
    EXPECT_EQ(set(line), TRUE);

    // Fewer than three points, and a negative count, which sums nothing.
    EXPECT_EQ(set({tenth_[0], tenth_[1]}), TRUE) << "77 px still covers them";
    EXPECT_EQ(Calibration.Calibrated, 0u);
    EXPECT_EQ(TouchPanelSetCalibration(-2, nullptr, nullptr, nullptr, nullptr), TRUE);
    EXPECT_EQ(Calibration.Calibrated, 0u);
    EXPECT_EQ(Calibration.Delta, 1);
}

TEST_F(Fit, CountZeroOnlyClearsTheFlag) {
    ASSERT_EQ(set(tenth_), TRUE);
    const CalibrationCoefficients fitted = Calibration;
    EXPECT_EQ(TouchPanelSetCalibration(0, nullptr, nullptr, nullptr, nullptr), TRUE);
    CalibrationCoefficients expected = fitted;
    expected.Calibrated = 0;
    EXPECT_EQ(Calibration, expected);
    EXPECT_EQ(transform(1234, 567), (Quarter{1234, 567}));
}

TEST_F(Fit, CheckPassesBelowTheSquaredTolerance) {
    ASSERT_EQ(set(tenth_), TRUE);
    auto shifted = [&](INT32 dx, INT32 dy) {
        std::vector<Point> points = tenth_;
        points[1].screenX += dx;
        points[1].screenY += dy;
        return points;
    };
    EXPECT_EQ(check(shifted(4, 2)), TRUE) << "20 < 25";
    EXPECT_EQ(check(shifted(3, -4)), FALSE) << "25 is not below 25";
    EXPECT_EQ(check(shifted(-5, 0)), FALSE);
    setMaxCalError(0);
    EXPECT_EQ(check(tenth_), FALSE) << "a tolerance of 0 fails even an exact fit";
    setMaxCalError(0x10000);
    EXPECT_EQ(check(shifted(1, 0)), FALSE) << "the square is taken modulo 2^32";
}

TEST_F(Fit, FailedCheckStillInstallsTheNewFit) {
    ASSERT_EQ(set(tenth_), TRUE);
    const CalibrationCoefficients before = Calibration;
    // Four corners of a 100 px square and a centre 10 px off.
    EXPECT_EQ(set({{0, 0, 0, 0},
                   {100, 0, 1000, 0},
                   {0, 100, 0, 1000},
                   {100, 100, 1000, 1000},
                   {60, 50, 500, 500}}),
              FALSE);
    EXPECT_EQ(Calibration.Calibrated, 1u);
    EXPECT_FALSE(Calibration == before);
    // The least-squares map is screen X = raw/10 + 2, screen Y = raw/10; the
    // old one put raw (500, 500) at pixel (50, 50).
    const Quarter centre = transform(500, 500);
    EXPECT_EQ(centre.x / 4, 52);
    EXPECT_EQ(centre.y / 4, 50);
}

TEST_F(Fit, MaxCalErrorIsReadAsFourBytesOfAnyType) {
    ASSERT_EQ(set(tenth_), TRUE);
    std::vector<Point> off = tenth_;
    off[2].screenX += 6;  // 36 squared pixels
    EXPECT_EQ(check(off), FALSE) << "default 5";
    setMaxCalError(7);
    EXPECT_EQ(check(off), TRUE);
    // A string "7" of four bytes reads as 0x37 = 55.
    registry().setString(kTouchKey, "MaxCalError", u"7");
    EXPECT_EQ(check(off), TRUE);
    // Eight bytes do not fit: the default stays.
    registry().setBinary(kTouchKey, "MaxCalError", {50, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(check(off), FALSE);
    // Two bytes fill the low half of the number.
    registry().setBinary(kTouchKey, "MaxCalError", {50, 0});
    EXPECT_EQ(check(off), TRUE);
    registry().removeKey(kTouchKey);
    EXPECT_EQ(check(off), FALSE);
}

TEST_F(Fit, TransformNeverTraps) {
    // Four times C is 2^31: as a wrapped 32-bit product divided by -1 it
    // would trap on x86.  The quotient saturates instead, and a negative one
    // is 0.
    Calibration = CalibrationCoefficients{0, 0, 0x20000000, 0, 0, -0x20000000, -1, 1};
    EXPECT_EQ(transform(0, 0), (Quarter{0, 0x7FFFFFFF}));
    Calibration = CalibrationCoefficients{0, 0, 0x1FFFFFFF, 0, 0, -0x1FFFFFFF, -1, 1};
    EXPECT_EQ(transform(0, 0), (Quarter{0, 0x7FFFFFFC}));
    Calibration = CalibrationCoefficients{0, 0, -0x80000000LL, 0, 0, 7, -0x80000000LL, 1};
    EXPECT_EQ(transform(0, 0), (Quarter{4, 0}));
    // Products and sums wrap modulo 2^32 (raw far outside 14 bits), but the
    // product by 4 saturates instead of wrapping: 32767 * 65535 * 4 exceeds
    // 31 bits, 32767 * 16384 * 4 is 0x7FFF0000 exactly.
    Calibration = CalibrationCoefficients{32767, 0, 0, 0, 32767, 0, 1, 1};
    EXPECT_EQ(transform(65535, 16384), (Quarter{0x7FFFFFFF, 0x7FFF0000}));
    Calibration = CalibrationCoefficients{0x10000, 0, 0, 0, 0, 0, 1, 1};
    EXPECT_EQ(transform(0x10000, 0), (Quarter{0, 0})) << "2^32 wraps to 0 before the division";
    // A zero divisor is never installed by a fit; it must not divide anyway.
    Calibration = CalibrationCoefficients{1, 2, 3, 4, 5, 6, 0, 1};
    EXPECT_EQ(transform(7, 8), (Quarter{7, 8}));
}

TEST_F(Fit, FarEndOfTheRawRangeStaysOnItsSide) {
    // A 1600 px wide display over raw 0 to about 10500: the X weight scales
    // to 32767, and at raw 16383, beyond the right edge, four times the
    // numerator exceeds 31 bits.  The position must stay beyond the right
    // edge (about 2503 px) rather than wrap to the left.
    const INT32 w = 1600, h = 1080;
    std::vector<Point> points;
    for (auto [x, y] :
         {std::pair{w / 2, h / 2}, {160, 108}, {160, 972}, {1440, 972}, {1440, 108}}) {
        points.push_back({x, y, static_cast<INT32>(std::lround(x * 6.5459)), y * 15});
    }
    EXPECT_EQ(set(points), TRUE);
    ASSERT_EQ(Calibration.A1, 32767);
    const Quarter edge = transform(16383, 0);
    EXPECT_NEAR(edge.x, 4 * 16383 / 6.5459 + 2, 4);
}

// Disabled, DriverLock does not exist: the fit and the transform leave it
// alone, leave no entry counted and keep the caller's last error.
TEST_F(Fit, WhileDisabledTheLockAndTheEntryCountAreLeftAlone) {
    SetLastError(4321);
    for (int count : {3, 0}) {
        EXPECT_EQ(
            count ? set(tenth_) : TouchPanelSetCalibration(0, nullptr, nullptr, nullptr, nullptr),
            TRUE);
        EXPECT_EQ(transform(300, 100), count ? (Quarter{121, 41}) : (Quarter{300, 100}));
        EXPECT_EQ(SharedRead(&DriverEntryCount), 0) << "count " << count;
    }
    EXPECT_EQ(GetLastError(), 4321u);
    EXPECT_TRUE(kernel_.faults().empty()) << kernel_.faults().front().what;
}

// While DriverLock exists the sample thread transforms under it; the fit
// must wait for it rather than change the record under the thread's feet.
TEST_F(Fit, RecordChangesOnlyUnderTheDriverLock) {
    InitializeCriticalSection(&DriverLock);
    SharedWrite(&DriverLockReady, 1);
    struct Holder {
        static DWORD run(LPVOID unchanged) {
            EnterCriticalSection(&DriverLock);
            const CalibrationCoefficients seen = Calibration;
            Sleep(100);
            *static_cast<bool*>(unchanged) = Calibration == seen;
            LeaveCriticalSection(&DriverLock);
            return 0;
        }
    };
    for (int count : {3, 0}) {
        bool unchanged = false;
        HANDLE holder = CreateThread(nullptr, 0, &Holder::run, &unchanged, 0, nullptr);
        ASSERT_NE(holder, nullptr);
        Sleep(0);  // the holder takes the lock
        const hosted::Micros start = kernel_.now();
        SetLastError(4321);
        EXPECT_EQ(
            count ? set(tenth_) : TouchPanelSetCalibration(0, nullptr, nullptr, nullptr, nullptr),
            TRUE);
        EXPECT_GE(kernel_.now() - start, 100'000u) << "count " << count;
        EXPECT_EQ(Calibration.Calibrated, count ? 1u : 0u);
        EXPECT_EQ(GetLastError(), 4321u);
        ASSERT_EQ(WaitForSingleObject(holder, INFINITE), WAIT_OBJECT_0);
        CloseHandle(holder);
        EXPECT_TRUE(unchanged) << "count " << count;
    }
    SharedWrite(&DriverLockReady, 0);
    DeleteCriticalSection(&DriverLock);
    EXPECT_TRUE(kernel_.faults().empty());
}

// A caller's transform reads the record under DriverLock too: a fit being
// installed (on the 32-bit board, eight moves a preemption may fall between)
// is seen whole or not at all.
TEST_F(Fit, TransformOnAnotherThreadNeverSeesHalfARecord) {
    const std::vector<Point> fifth{{20, 20, 100, 100}, {60, 20, 300, 100}, {20, 60, 100, 300}};
    ASSERT_EQ(set(fifth), TRUE);
    static CalibrationCoefficients next;
    next = Calibration;
    ASSERT_EQ(set(tenth_), TRUE);
    InitializeCriticalSection(&DriverLock);
    SharedWrite(&DriverLockReady, 1);
    struct Installer {
        static DWORD run(LPVOID) {
            EnterCriticalSection(&DriverLock);
            Calibration.A1 = next.A1, Calibration.B1 = next.B1, Calibration.C1 = next.C1;
            Sleep(100);  // preempted halfway
            Calibration = next;
            LeaveCriticalSection(&DriverLock);
            return 0;
        }
    };
    HANDLE installer = CreateThread(nullptr, 0, &Installer::run, nullptr, 0, nullptr);
    ASSERT_NE(installer, nullptr);
    Sleep(0);  // the installer is halfway
    EXPECT_EQ(transform(200, 200), (Quarter{161, 161})) << "raw / 5 in quarter pixels, rounded";
    ASSERT_EQ(WaitForSingleObject(installer, INFINITE), WAIT_OBJECT_0);
    CloseHandle(installer);
    SharedWrite(&DriverLockReady, 0);
    DeleteCriticalSection(&DriverLock);
    EXPECT_TRUE(kernel_.faults().empty());
}

TEST_F(Fit, BadInputNeverCrashesAndKeepsTheLimits) {
    ASSERT_EQ(set(tenth_), TRUE);
    const CalibrationCoefficients before = Calibration;
    INT32 one = 1;
    EXPECT_EQ(TouchPanelSetCalibration(1, nullptr, &one, &one, &one), FALSE);
    EXPECT_EQ(TouchPanelSetCalibration(3, &one, &one, &one, nullptr), FALSE);
    EXPECT_EQ(Calibration, before) << "arrays missing: no fit, the record stays";
    EXPECT_EQ(CheckCalibrationError(1, &one, &one, nullptr, &one), FALSE);
    EXPECT_EQ(CheckCalibrationError(0, nullptr, nullptr, nullptr, nullptr), TRUE) << "no point";

    // Garbage far outside 14 bits, few or hundreds of points; and exact maps
    // whose huge screen offsets make the constants, not the weights, decide
    // the scaling.
    std::mt19937 rng(77);
    std::uniform_int_distribution<INT32> any(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<INT32> raw(0, 16383);
    auto within = [](LONG v, int bits) { return v >= -(1LL << bits) && v < (1LL << bits); };
    for (int round = 0; round < 400; ++round) {
        const bool garbage = round % 2 == 0;
        std::vector<Point> points(rng() % 2 ? 3 + rng() % 5 : 200 + rng() % 400);
        const INT32 offset = static_cast<INT32>(rng() % 2000000) - 1000000;
        for (Point& p : points) {
            p = {any(rng), any(rng), raw(rng), raw(rng)};
            if (!garbage) {
                p.screenX = p.rawX / 8 + offset;
                p.screenY = offset - p.rawY / 8;
            }
        }
        set(points);
        EXPECT_NE(Calibration.Delta, 0);
        EXPECT_TRUE(within(Calibration.A1, 15) && within(Calibration.B1, 15));
        EXPECT_TRUE(within(Calibration.A2, 15) && within(Calibration.B2, 15));
        EXPECT_TRUE(within(Calibration.C1, 27) && within(Calibration.C2, 27)) << round;
        for (int k = 0; k < 20; ++k) {
            const INT32 x = any(rng);
            const INT32 y = any(rng);
            const Quarter q = transform(x, y);
            if (Calibration.Calibrated) {
                EXPECT_TRUE(q.x >= 0 && q.y >= 0);
            } else {
                EXPECT_EQ(q, (Quarter{x, y})) << "a fit scaled to Delta 0 passes raw through";
            }
        }
    }
}

}  // namespace
