// The platform's calibration screen: shows the driver's calibration targets
// one after another, captures a touch on each with the simulated finger, and
// hands the targets and the captured raw positions to the driver's fit.
//
// For each target the screen
//   1. asks TouchPanelGetDeviceCaps for its position on the configured
//      display (after asking for the number of points),
//   2. starts TouchPanelReadCalibrationPoint on a kernel thread of its own,
//   3. presses the finger on the target (plus the configured offset for that
//      target), holds it, lifts it, and waits for the capture to return.
// With every target captured it calls TouchPanelSetCalibration and measures,
// for every point, where the new calibration puts the captured position
// (TouchPanelCalibrateAPoint, truncated to whole pixels as the driver's own
// check does) against the target.
//
// The run can be aborted at a chosen target, before the press or while the
// finger is held, through TouchPanelReadCalibrationAbort; no calibration is
// set then.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "windowing/session.hpp"

namespace windowing {

struct CalibrationAbort {
    enum class When {
        BeforePress,  // while the capture waits for a touch
        WhileHeld,    // `heldMs` after the finger went down on the target
    };
    std::size_t point = 0;  // index of the target, 0-based
    When when = When::BeforePress;
    DWORD heldMs = 500;
};

struct CalibrationScreenConfig {
    // Display size given with every target query; 0 takes the machine's.
    int displayWidth = 0;
    int displayHeight = 0;
    DWORD settleMs = 50;            // from the start of a capture to the press
    DWORD holdMs = 1700;            // finger on the target: longer than the driver's hold time
    DWORD gapMs = 100;              // after the lift, before the next target
    DWORD captureTimeoutMs = 5000;  // after the lift, for the capture to return
    // Pixels added to where the finger presses, per target (missing: none).
    // A large offset makes the calibration miss its tolerance.
    std::vector<Point> offsets;
    std::optional<CalibrationAbort> abort;
    // Priority of the capturing thread (the platform's default for a thread).
    int capturePriority = THREAD_PRIORITY_NORMAL_256;
};

// One target of the run.
struct CalibrationPointResult {
    std::size_t index = 0;
    Point target;   // pixels, as the driver placed it
    Point pressed;  // pixels, where the finger went (target + offset)
    CaptureResult capture;
    // After the calibration was set: the captured raw position mapped back to
    // the screen, in whole pixels (quarter pixels / 4, truncated), and its
    // distance from the target.
    Point mapped;
    Point error;          // mapped - target, pixels
    double residual = 0;  // |error|, pixels
};

struct CalibrationReport {
    int pointCount = 0;                          // as the driver reported it
    std::vector<CalibrationPointResult> points;  // the targets visited, in order
    bool aborted = false;
    bool calibrationSet = false;  // TouchPanelSetCalibration was called
    BOOL verdict = FALSE;         // its result; FALSE when it was not called
    double worstResidual = 0;     // pixels, over every point
    std::size_t worstPoint = 0;   // index of that point
    // Empty after a complete run (pass or fail) or a requested abort;
    // otherwise why the run stopped early.
    std::string failure;

    bool passed() const { return calibrationSet && verdict != FALSE; }
};

class CalibrationScreen {
  public:
    // The most calibration points the screen accepts from the driver.
    static constexpr int kMaxPoints = 16;

    CalibrationScreen(Session& session, CalibrationScreenConfig config = {});

    // Runs the whole calibration; the driver must be enabled.  Never throws
    // for what the driver answers: a refused query or capture ends the run
    // with `failure` set.
    CalibrationReport run();

  private:
    bool visit(std::size_t index, CalibrationReport& report);
    void measure(CalibrationReport& report);
    int width() const;
    int height() const;

    Session& session_;
    CalibrationScreenConfig config_;
};

}  // namespace windowing
