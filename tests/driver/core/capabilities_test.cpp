// The capability queries and modes while the driver is enabled, with the
// last errors they leave.
#include <climits>

#include <gtest/gtest.h>

#include "driver/core/driver_internal.h"
#include "driver/core/driver_session.hpp"

namespace {

constexpr DWORD kUntouched = 1234;  // a last error left by an earlier call

class Capabilities : public touch_test::DriverSession {
  protected:
    void SetUp() override {
        enabled();
        session->setLastError(kUntouched);
    }
};

TEST_F(Capabilities, TargetsSitAtTwiceATwentiethFromTheEdges) {
    struct Case {
        int point, width, height;
        windowing::Point target;
        BOOL result;
    };
    const Case cases[] = {
        {0, 800, 480, {400, 240}, TRUE},  {1, 800, 480, {80, 48}, TRUE},
        {2, 800, 480, {80, 432}, TRUE},   {3, 800, 480, {720, 432}, TRUE},
        {4, 800, 480, {720, 48}, TRUE},   {0, 810, 270, {405, 135}, TRUE},
        {1, 810, 270, {80, 26}, TRUE},    {3, 810, 270, {730, 244}, TRUE},
        {0, 801, 481, {400, 240}, TRUE},  {3, 801, 481, {721, 433}, TRUE},
        {5, 800, 480, {400, 240}, FALSE}, {-1, 800, 480, {400, 240}, FALSE},
    };
    for (const Case& c : cases) {
        session->setLastError(kUntouched);
        const windowing::TargetAnswer answer =
            session->calibrationTarget(c.point, c.width, c.height);
        EXPECT_EQ(answer.result, c.result) << c.point;
        EXPECT_EQ(answer.target, c.target) << c.point << " on " << c.width << "x" << c.height;
        EXPECT_EQ(answer.lastError,
                  c.result ? kUntouched : static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST_F(Capabilities, NullRecordAndUnknownQueryAreInvalid) {
    EXPECT_EQ(session->getDeviceCaps(TPDC_SAMPLE_RATE_ID, nullptr), FALSE);
    EXPECT_EQ(session->lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    TPDC_SAMPLE_RATE record{1, 2, 3};
    session->setLastError(kUntouched);
    EXPECT_EQ(session->getDeviceCaps(3, &record), FALSE);
    EXPECT_EQ(session->lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(record.SamplesPerSecondLow, 1);
    EXPECT_EQ(record.CurrentSampleRateSetting, 3);
}

TEST_F(Capabilities, ModesQueriesAndTheLastErrorsTheyLeave) {
    struct Case {
        INT mode;
        BOOL result;
        DWORD lastError;
    };
    const Case cases[] = {{0, TRUE, 0},
                          {1, TRUE, 0},
                          {2, TRUE, kUntouched},
                          {4, TRUE, kUntouched},
                          {3, FALSE, ERROR_INVALID_PARAMETER},
                          {5, FALSE, ERROR_INVALID_PARAMETER},
                          {-1, FALSE, ERROR_INVALID_PARAMETER}};
    for (const Case& c : cases) {
        session->setLastError(kUntouched);
        EXPECT_EQ(session->setMode(c.mode), c.result) << c.mode;
        EXPECT_EQ(session->lastError(), c.lastError) << c.mode;
    }
    session->setLastError(kUntouched);
    session->powerHandler(TRUE);
    TPDC_SAMPLE_RATE rate{};
    ASSERT_EQ(session->getDeviceCaps(TPDC_SAMPLE_RATE_ID, &rate), TRUE);
    EXPECT_EQ(rate.SamplesPerSecondLow, 400);
    EXPECT_EQ(rate.SamplesPerSecondHigh, 400);
    EXPECT_EQ(rate.CurrentSampleRateSetting, 400);  // the sample-rate modes changed nothing
    TPDC_CALIBRATION_POINT_COUNT count{7, 7};
    ASSERT_EQ(session->getDeviceCaps(TPDC_CALIBRATION_POINT_COUNT_ID, &count), TRUE);
    EXPECT_EQ(count.flags, 0u);
    EXPECT_EQ(count.cCalibrationPoints, 5);
    EXPECT_EQ(session->lastError(), kUntouched);
}

// Sizes at the ends of the signed range neither overflow nor trap, and a
// negative size is divided toward zero.
TEST(CalibrationTargets, ExtremeAndNegativeSizes) {
    TPDC_CALIBRATION_POINT negative{3, -810, -481, 0, 0};
    EXPECT_EQ(CalibrationTargetPosition(&negative), TRUE);
    EXPECT_EQ(negative.CalibrationX, -730);  // margin -80
    EXPECT_EQ(negative.CalibrationY, -433);  // margin -48
    negative.PointNumber = 0;
    EXPECT_EQ(CalibrationTargetPosition(&negative), TRUE);
    EXPECT_EQ(negative.CalibrationX, -405);
    EXPECT_EQ(negative.CalibrationY, -240);

    TPDC_CALIBRATION_POINT point{3, INT_MAX, INT_MIN, 0, 0};
    EXPECT_EQ(CalibrationTargetPosition(&point), TRUE);
    EXPECT_EQ(point.CalibrationX, 1932735283);   // margin 214748364
    EXPECT_EQ(point.CalibrationY, -1932735284);  // margin -214748364, truncated
    point.PointNumber = 0;
    EXPECT_EQ(CalibrationTargetPosition(&point), TRUE);
    EXPECT_EQ(point.CalibrationX, INT_MAX / 2);
    EXPECT_EQ(point.CalibrationY, INT_MIN / 2);
}

}  // namespace
