#include "tools/touchsim/expectations.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "tools/touchsim/text.hpp"

namespace touchsim {

namespace {

constexpr double kClickFrequencyTolerance = 0.01;  // the 8254 divisor rounds the pitch
constexpr int kCursorTolerancePx = 1;              // the panel's noise moves a touch a little

const char* calibrationWord(CalibrationOutcome outcome) {
    switch (outcome) {
        case CalibrationOutcome::Passes:
            return "passes";
        case CalibrationOutcome::Fails:
            return "fails";
        case CalibrationOutcome::Aborted:
            return "aborted";
        case CalibrationOutcome::Incomplete:
            return "incomplete";
    }
    return "?";
}

CalibrationOutcome outcomeOf(const windowing::CalibrationReport& report) {
    if (report.aborted) {
        return CalibrationOutcome::Aborted;
    }
    if (!report.calibrationSet) {
        return CalibrationOutcome::Incomplete;
    }
    return report.passed() ? CalibrationOutcome::Passes : CalibrationOutcome::Fails;
}

class Checker {
  public:
    Checker(const Expectations& expect, std::vector<Verdict>& out) : expect_(expect), out_(out) {}

    void add(const std::string& name, bool met, const std::string& text) {
        const auto line = expect_.lines.find(name);
        out_.push_back(
            Verdict{"expect." + name, line == expect_.lines.end() ? 0 : line->second, met, text});
    }

    void count(const std::string& name, const std::optional<CountRange>& range, std::uint64_t value,
               const std::string& what) {
        if (range) {
            add(name, range->contains(value),
                range->describe() + " " + what + ", got " + std::to_string(value));
        }
    }

  private:
    const Expectations& expect_;
    std::vector<Verdict>& out_;
};

void checkEnable(Checker& check, const Expectations& e, const RunResult& run) {
    if (!e.enableSucceeds) {
        return;
    }
    const std::string want = *e.enableSucceeds ? "every enable to succeed" : "every enable to fail";
    if (run.enables.empty()) {
        check.add("enable", false, want + ", but the run has no enable step");
        return;
    }
    for (const EnableRecord& enable : run.enables) {
        if (enable.succeeded != *e.enableSucceeds) {
            check.add("enable", false,
                      want + ", but the enable of " + enable.step +
                          (enable.succeeded ? " succeeded" : " failed"));
            return;
        }
    }
    check.add("enable", true,
              want + ": " + std::to_string(run.enables.size()) + " of " +
                  std::to_string(run.enables.size()) +
                  (*e.enableSucceeds ? " succeeded" : " failed"));
}

void checkCalibration(Checker& check, const Expectations& e, const RunResult& run) {
    if (!e.calibration) {
        return;
    }
    const std::string want = std::string("the calibration ") + calibrationWord(*e.calibration);
    if (run.calibrations.empty()) {
        check.add("calibration", false, want + ", but the run has no calibrate step");
        return;
    }
    const CalibrationRecord& last = run.calibrations.back();
    const CalibrationOutcome got = outcomeOf(last.report);
    std::string text = want + "; the calibration of " + last.step + " " + calibrationWord(got);
    if (last.report.calibrationSet) {
        text += " (worst " + fixed(last.report.worstResidual) + " px, tolerance " +
                std::to_string(last.tolerancePx) + " px)";
    } else if (!last.report.failure.empty()) {
        text += " (" + last.report.failure + ")";
    }
    check.add("calibration", got == *e.calibration, text);
}

void checkCapture(Checker& check, const Expectations& e, const RunResult& run) {
    if (!e.capture) {
        return;
    }
    const bool wantDone = *e.capture == CaptureOutcome::Completes;
    const std::string want = wantDone ? "the capture completes" : "the capture fails";
    if (run.captures.empty()) {
        check.add("capture", false, want + ", but the run has no capture step");
        return;
    }
    const CaptureRecord& last = run.captures.back();
    if (!last.result) {
        check.add("capture", false, want + "; the capture of " + last.step + " never returned");
        return;
    }
    const bool done = last.result->result != FALSE;
    check.add("capture", done == wantDone,
              want + "; the capture of " + last.step + (done ? " completed" : " failed") +
                  " (last error " + std::to_string(last.result->lastError) + ")");
}

void checkClicks(Checker& check, const Expectations& e, const RunResult& run) {
    check.count("clicks", e.clicks, run.clicks.size(), "clicks heard");
    if (!e.clickFrequencyHz) {
        return;
    }
    const double want = *e.clickFrequencyHz;
    const std::string text = "every click at " + fixed(want, 0) + " Hz (within 1 %)";
    if (run.clicks.empty()) {
        check.add("clickFrequencyHz", false, text + ", but no click was heard");
        return;
    }
    const std::vector<ClickLog::Pitch>& pitches = run.clicks.pitches();
    const auto off = std::find_if(pitches.begin(), pitches.end(), [want](const ClickLog::Pitch& p) {
        return std::abs(p.frequency - want) > want * kClickFrequencyTolerance;
    });
    check.add("clickFrequencyHz", off == pitches.end(),
              off == pitches.end()
                  ? text + ": " + std::to_string(run.clicks.size()) + " clicks"
                  : text + ", but one sounded at " + fixed(off->frequency, 1) + " Hz");
}

void checkClickLength(Checker& check, const Expectations& e, const Analysis& analysis,
                      const RunResult& run) {
    auto judge = [&](const std::optional<RealRange>& range, const std::string& what,
                     const std::optional<double>& value) {
        if (!range) {
            return;
        }
        const std::string text = what + " " + range->describe("ms");
        if (!value) {
            check.add("clickLengthMs", false, text + ", but no click was heard");
            return;
        }
        check.add("clickLengthMs", range->contains(*value),
                  text + ", got " + fixed(*value, 1) + " ms");
    };
    judge(e.clickMeanLengthMs, "the mean click length", analysis.clicks.meanLengthMs);
    // The first click outside the range is the one named (the run watched
    // for it); with none, the first click.
    judge(e.clickLengthMs, "every click's length",
          run.clicks.lengthOutsideMs() ? run.clicks.lengthOutsideMs() : run.clicks.firstLengthMs());
}

void checkSampleRate(Checker& check, const Expectations& e, const Analysis& analysis) {
    if (!e.sampleRate) {
        return;
    }
    const std::string text = "a sample rate of " + e.sampleRate->describe("a second");
    const std::optional<double> rate = analysis.samples.ratePerSecond;
    if (!rate) {
        check.add("sampleRate", false, text + ", but no touch was delivered to measure");
        return;
    }
    check.add("sampleRate", e.sampleRate->contains(*rate),
              text + " while the pen was down, got " + fixed(*rate, 1));
}

void checkStroke(Checker& check, const Expectations& e, const Analysis& analysis) {
    const StrokeAccuracy& stroke = analysis.stroke;
    auto one = [&](const char* which, const std::optional<double>& limit,
                   const std::optional<double>& value) {
        if (!limit) {
            return;
        }
        const std::string text =
            std::string(which) + " stroke error at most " + fixed(*limit) + " px";
        if (!value) {
            check.add("strokeErrorPx", false,
                      text + ", but no calibrated touch was delivered to compare");
            return;
        }
        check.add("strokeErrorPx", *value <= *limit, text + ", got " + fixed(*value) + " px");
    };
    one("mean", e.strokeMeanErrorPx, stroke.meanPx);
    one("worst", e.strokeWorstErrorPx, stroke.worstPx);
}

void checkCursor(Checker& check, const Expectations& e, const RunResult& run) {
    if (!e.lastCursor) {
        return;
    }
    const std::string want = "the cursor last at (" + std::to_string(e.lastCursor->x) + ", " +
                             std::to_string(e.lastCursor->y) + ") within a pixel";
    if (run.cursor.empty()) {
        check.add("lastCursor", false, want + ", but the cursor never moved");
        return;
    }
    const windowing::Point last = run.cursor.last->at;
    const bool near = std::abs(last.x - e.lastCursor->x) <= kCursorTolerancePx &&
                      std::abs(last.y - e.lastCursor->y) <= kCursorTolerancePx;
    check.add("lastCursor", near,
              want + ", got (" + std::to_string(last.x) + ", " + std::to_string(last.y) + ")");
}

}  // namespace

std::vector<Verdict> checkExpectations(const Scenario& scenario, const RunResult& run,
                                       const Analysis& analysis) {
    std::vector<Verdict> verdicts;
    if (run.stopped) {
        verdicts.push_back(Verdict{"run", 0, false, "the kernel stopped the run: " + *run.stopped});
    }
    const Expectations& e = scenario.expect;
    Checker check(e, verdicts);
    checkEnable(check, e, run);
    checkCalibration(check, e, run);
    checkCapture(check, e, run);
    check.count("samples", e.samples, analysis.samples.delivered, "samples delivered");
    check.count("touches", e.touches, analysis.samples.touches, "touches delivered (pen-downs)");
    checkClicks(check, e, run);
    checkClickLength(check, e, analysis, run);
    checkSampleRate(check, e, analysis);
    checkStroke(check, e, analysis);
    check.count("cursorMoves", e.cursorMoves, run.cursor.moves, "cursor moves");
    checkCursor(check, e, run);
    check.count("kernelFaults", e.kernelFaults, run.faults.size(), "kernel faults");
    check.count("keyboardBytes", e.keyboardBytes, run.keyboardBytes.size(),
                "keyboard bytes taken by the keyboard driver");
    return verdicts;
}

bool allMet(const std::vector<Verdict>& verdicts) {
    return std::all_of(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.met; });
}

}  // namespace touchsim
