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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/touchsim/scenario.hpp"
#include "windowing/session.hpp"

namespace touchsim {

struct Analysis;

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

// The clicks heard, without a list of them: counts, sums and extremes, and
// the pitches as runs of equal ones (a click's pitch is its divisor's, so a
// long run has few).
class ClickLog {
  public:
    struct Pitch {
        double frequency = 0;
        std::size_t count = 0;
    };
    // Notes the first click whose length, in ms, lies outside `lengthMs`.
    void watchLength(const std::optional<RealRange>& lengthMs);
    void add(const sim::Click& click);

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const std::vector<Pitch>& pitches() const { return pitches_; }
    double frequencySum() const { return frequencySum_; }  // in the order heard
    double lengthSumMs() const { return lengthSumMs_; }
    std::optional<double> firstLengthMs() const { return firstLengthMs_; }
    std::optional<double> longestMs() const { return longestMs_; }
    std::optional<double> lowestHz() const { return lowestHz_; }
    std::optional<double> highestHz() const { return highestHz_; }
    // The first click outside the watched range; empty: none (or none watched).
    std::optional<double> lengthOutsideMs() const { return lengthOutsideMs_; }

  private:
    std::optional<RealRange> watched_;
    std::size_t count_ = 0;
    std::vector<Pitch> pitches_;
    double frequencySum_ = 0;
    double lengthSumMs_ = 0;
    std::optional<double> firstLengthMs_;
    std::optional<double> longestMs_;
    std::optional<double> lowestHz_;
    std::optional<double> highestHz_;
    std::optional<double> lengthOutsideMs_;
};

// Where the windowing system put the cursor: the moves counted, not kept.
struct CursorLog {
    std::size_t moves = 0;
    std::size_t clipped = 0;  // moves clipped to the screen's edge
    std::optional<windowing::CursorPosition> last;

    void add(const windowing::CursorPosition& position);
    bool empty() const { return moves == 0; }
};

struct RunResult {
    hosted::Micros end = 0;                  // virtual time at the end of the last step
    std::optional<std::string> stopped;      // why the run stopped early (kernel report)
    std::vector<windowing::Sample> samples;  // with RunOptions::keep
    std::vector<CalibratedSpan> calibrated;
    std::vector<FingerStroke> strokes;  // with RunOptions::keep
    std::vector<EnableRecord> enables;
    std::vector<CalibrationRecord> calibrations;
    std::vector<CaptureRecord> captures;
    std::vector<ModeRecord> modes;
    ClickLog clicks;
    CursorLog cursor;  // every SetCursorPos, clipped to the screen
    std::vector<hosted::KernelFault> faults;
    std::vector<std::uint8_t> keyboardBytes;  // taken by the keyboard driver
    std::uint64_t traceHash = 0;
    std::uint64_t controllerReports = 0;
    std::uint64_t droppedReports = 0;
    bool unmapped = false;  // the library was unmapped at the end
    // The figures, drawn while the run went (see analysis.hpp).
    std::shared_ptr<const Analysis> analysis;
    // The most samples and strokes the analysis held at once, waiting for
    // virtual time to settle them: what a run that does not keep them keeps.
    std::size_t mostHeld = 0;

    bool calibratedAt(hosted::Micros t) const;
};

// One delivered sample compared with the finger.
struct SampleDeviation {
    std::size_t sample = 0;  // index into the delivered samples
    std::size_t stroke = 0;  // index into the finger strokes
    sim::Point at;           // pixels
    double distancePx = 0;   // to the finger's path over the preceding 100 ms
};

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
    // that what needs the live machine (the traces) can be written out.
    std::function<void(windowing::Session&)> atEnd;
    // Keep every delivered sample, finger stroke and compared sample in the
    // result.  Without it a run keeps only what it still needs, so that its
    // memory does not grow with its length; what it does not keep reaches
    // the callbacks below as the run goes.
    bool keep = true;
    // Each delivered sample once its unit is settled (whether a calibration
    // was set when it came can be known only once virtual time has passed
    // it), in order, with that unit.
    std::function<void(const windowing::Sample&, bool calibrated)> onSettledSample;
    // Each finger stroke once its path is known, in the order of RunResult::strokes.
    std::function<void(const FingerStroke&)> onStroke;
    // Each sample compared with the finger's path, in order.
    std::function<void(const SampleDeviation&)> onDeviation;
    // Each click of the speaker once it has ended (the last at the end of the run).
    std::function<void(const sim::Click&)> onClick;
};

// Plays the scenario.  Throws ScenarioError for input that is found bad
// only while running, and windowing::LoadError when the driver cannot be loaded.
RunResult runScenario(const Scenario& scenario, const RunOptions& options);

}  // namespace touchsim
