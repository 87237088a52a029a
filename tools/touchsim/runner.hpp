// Plays a scenario through the windowing-system stand-in, the driver and the
// simulated board, and keeps what happened.
//
// The run loads a fresh driver library, plays the timeline step by step on
// the session's thread in virtual time, and unloads the library at the end
// (an enabled driver is disabled first, as the platform would).  Nothing
// here waits on the wall clock, except when pacing is asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/touchsim/scenario.hpp"
#include "windowing/session.hpp"

namespace touchsim {

struct RunOptions {
    std::optional<std::uint64_t> seed;  // replaces the scenario's
    // Further registry settings, applied after the scenario's own.
    std::vector<RegistrySettings> extraRegistry;
    bool tracePorts = false;  // record every port access, and keep the kernel's trace lines
    // The driver library to load; empty: the one this build made.
    std::filesystem::path driverLibrary;
    // Pace virtual time to the wall clock (one virtual second a second).
    bool realtime = false;
    // Called on the driver's sample thread for every delivered sample.
    std::function<void(const windowing::Sample&)> onSample;
    // Called before each step: its index, the number of steps, the step and
    // the virtual time.
    std::function<void(std::size_t, std::size_t, const Step&, hosted::Micros)> onStep;
    // Called once after the last step, while the session still exists, so
    // that what needs the live machine (the speaker's sound, the traces) can
    // be written out.
    std::function<void(windowing::Session&)> atEnd;
};

// The finger's true position over time, one touch from press to lift.
struct TimedPoint {
    hosted::Micros time = 0;
    sim::Point at;
    bool jumped = false;  // reached by a jump from the previous point, not by travel
};

struct FingerStroke {
    std::string step;  // the timeline field of the step that pressed
    hosted::Micros down = 0;
    hosted::Micros up = 0;
    std::vector<TimedPoint> path;  // in time order; the first at `down`
    bool offDisplay = false;       // some of the path lies off the display
};

struct EnableRecord {
    std::string step;
    hosted::Micros at = 0;
    bool succeeded = false;
    hosted::Micros duration = 0;       // of the TouchPanelEnable call
    std::uint64_t commands = 0;        // command frames the controller received
    std::uint64_t bytes = 0;           // bytes the controller received
    bool controllerReporting = false;  // the controller ran its start-up sequence
    std::string failure;               // a failed enable: what went wrong, as the board saw it
};

struct CalibrationRecord {
    std::string step;
    hosted::Micros at = 0;
    windowing::CalibrationReport report;
    std::uint32_t tolerancePx = 5;  // "MaxCalError" at the time of the fit
    // With a calibration set: each captured point mapped through it, in
    // fractional pixels (from the quarter pixels), and its distance from the
    // target.  The report's own residuals are in whole pixels, as the
    // driver judges them.
    std::vector<sim::Point> mapped;
    std::vector<double> residualsPx;
};

// The screen position, in pixels, that a quarter-pixel coordinate from the
// driver stands for.  The driver adds half a pixel (2 quarters) before it
// truncates to quarter pixels, so that the value divided by 4 and truncated
// is the nearest whole pixel: a position p gives q = trunc(4p + 2), and q
// stands for the positions from (q - 2) / 4 up to a quarter pixel more.  The
// lowest of them is taken, which is exact for a whole-pixel position such as
// a calibration target; the figures are good to a quarter pixel.
double quarterToPixel(int quarter);

struct CaptureRecord {
    std::string step;
    hosted::Micros startedAt = 0;
    std::optional<windowing::CaptureResult> result;  // empty: still pending at the end
};

struct ModeRecord {
    std::string step;
    hosted::Micros at = 0;
    int mode = 0;
    bool succeeded = false;
    DWORD lastError = 0;
};

// A stretch of virtual time during which delivered samples are screen
// quarter pixels (a calibration was set and no enable has reset it since).
struct CalibratedSpan {
    hosted::Micros from = 0;
    hosted::Micros to = 0;  // the enable (or calibration) that ended it
    bool contains(hosted::Micros t) const { return t >= from && t < to; }
};

struct RunResult {
    hosted::Micros end = 0;              // virtual time at the end of the last step
    std::optional<std::string> stopped;  // why the run stopped early (kernel report)
    std::vector<windowing::Sample> samples;
    std::vector<CalibratedSpan> calibrated;
    std::vector<FingerStroke> strokes;
    std::vector<EnableRecord> enables;
    std::vector<CalibrationRecord> calibrations;
    std::vector<CaptureRecord> captures;
    std::vector<ModeRecord> modes;
    std::vector<sim::Click> clicks;
    std::vector<windowing::CursorPosition> cursor;  // one per SetCursorPos, clipped to the screen
    std::vector<hosted::KernelFault> faults;
    std::vector<std::uint8_t> keyboardBytes;  // taken by the keyboard driver
    std::uint64_t traceHash = 0;
    std::uint64_t controllerReports = 0;
    std::uint64_t droppedReports = 0;
    bool unmapped = false;  // the library was unmapped at the end

    bool calibratedAt(hosted::Micros t) const;
};

// Plays the scenario.  Throws ScenarioError for input that is found bad
// only while running, and windowing::LoadError when the driver cannot be loaded.
RunResult runScenario(const Scenario& scenario, const RunOptions& options);

}  // namespace touchsim
