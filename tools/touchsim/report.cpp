#include "tools/touchsim/report.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "platform/touch_ddi.h"
#include "tools/touchsim/text.hpp"

// GCC 12 at -O3 reports a -Wrestrict overlap inside std::string's
// operator+(const char*, std::string&&) where there is none: a false
// positive of that compiler (its bug 105651), not of this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace touchsim {

namespace {

using nlohmann::json;

double ms(hosted::Micros t) {
    return static_cast<double>(t) / 1000.0;
}

// Rounded so that the JSON text stays short and stable.
double rounded(double value, int digits = 3) {
    const double scale = std::pow(10.0, digits);
    return std::round(value * scale) / scale;
}

json optionalNumber(const std::optional<double>& value) {
    return value ? json(rounded(*value)) : json(nullptr);
}

// "1 touch", "2 touches".
std::string counted(std::uint64_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
std::string counted(std::uint64_t n, const std::string& one) {
    return counted(n, one, one + "s");
}

std::string pointText(windowing::Point p) {
    return "(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
}

// The name a scenario gives a mode, or its number.
std::string modeName(int mode) {
    switch (mode) {
        case TPSM_SAMPLERATE_LOW_ID:
            return "sampleRateLow";
        case TPSM_SAMPLERATE_HIGH_ID:
            return "sampleRateHigh";
        case TPSM_PRIORITY_HIGH_ID:
            return "priorityHigh";
        case TPSM_PRIORITY_NORMAL_ID:
            return "priorityNormal";
        default:
            return "mode " + std::to_string(mode);
    }
}

const char* outcomeText(const windowing::CalibrationReport& report) {
    if (report.aborted) {
        return "aborted";
    }
    if (!report.calibrationSet) {
        return "incomplete";
    }
    return report.passed() ? "passed" : "failed";
}

json pointJson(windowing::Point p) {
    return json::array({p.x, p.y});
}

json calibrationJson(const CalibrationRecord& record) {
    const windowing::CalibrationReport& report = record.report;
    json points = json::array();
    for (std::size_t i = 0; i < report.points.size(); ++i) {
        const windowing::CalibrationPointResult& p = report.points[i];
        json point = {{"target", pointJson(p.target)},
                      {"pressed", pointJson(p.pressed)},
                      {"captured", p.capture.result != FALSE},
                      {"raw", pointJson(p.capture.raw)}};
        if (i < record.mapped.size()) {
            point["mappedPx"] =
                json::array({rounded(record.mapped[i].x), rounded(record.mapped[i].y)});
            point["residualPx"] = rounded(record.residualsPx[i]);
            point["wholePixelResidualPx"] = rounded(p.residual);
        }
        points.push_back(point);
    }
    json out = {{"step", record.step},
                {"atMs", rounded(ms(record.at))},
                {"outcome", outcomeText(report)},
                {"tolerancePx", record.tolerancePx},
                {"points", points}};
    if (report.calibrationSet) {
        out["worstWholePixelPx"] = rounded(report.worstResidual);
        out["worstPoint"] = report.worstPoint;
    }
    if (!report.failure.empty()) {
        out["failure"] = report.failure;
    }
    return out;
}

json enablesJson(const RunResult& run) {
    json out = json::array();
    for (const EnableRecord& e : run.enables) {
        out.push_back({{"step", e.step},
                       {"atMs", rounded(ms(e.at))},
                       {"succeeded", e.succeeded},
                       {"durationMs", rounded(ms(e.duration))},
                       {"commandsSent", e.commands},
                       {"bytesSent", e.bytes},
                       {"controllerReporting", e.controllerReporting},
                       {"failure", e.succeeded ? json(nullptr) : json(e.failure)}});
    }
    return out;
}

json capturesJson(const RunResult& run) {
    json out = json::array();
    for (const CaptureRecord& c : run.captures) {
        json capture = {{"step", c.step}, {"startedAtMs", rounded(ms(c.startedAt))}};
        if (c.result) {
            capture["returnedAtMs"] = rounded(ms(c.result->returnedAt));
            capture["completed"] = c.result->result != FALSE;
            capture["raw"] = pointJson(c.result->raw);
            capture["lastError"] = c.result->lastError;
        } else {
            capture["returnedAtMs"] = nullptr;
        }
        out.push_back(capture);
    }
    return out;
}

json modesJson(const RunResult& run) {
    json out = json::array();
    for (const ModeRecord& m : run.modes) {
        out.push_back({{"step", m.step},
                       {"atMs", rounded(ms(m.at))},
                       {"mode", m.mode},
                       {"name", modeName(m.mode)},
                       {"succeeded", m.succeeded},
                       {"lastError", m.lastError}});
    }
    return out;
}

json cursorJson(const RunResult& run) {
    json out = {{"moves", run.cursor.moves},
                {"clipped", run.cursor.clipped},
                {"last", nullptr},
                {"lastRequested", nullptr}};
    if (run.cursor.last) {
        out["last"] = pointJson(run.cursor.last->at);
        out["lastRequested"] = pointJson(run.cursor.last->requested);
    }
    return out;
}

json faultsJson(const RunResult& run) {
    json out = json::array();
    for (const hosted::KernelFault& f : run.faults) {
        out.push_back({{"atMs", rounded(ms(f.time))}, {"thread", f.thread}, {"what", f.what}});
    }
    return out;
}

std::string hex64(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string residualList(const CalibrationRecord& record) {
    std::string text;
    for (std::size_t i = 0; i < record.residualsPx.size(); ++i) {
        text +=
            (text.empty() ? "" : ", ") + std::to_string(i) + ": " + fixed(record.residualsPx[i], 2);
    }
    return text;
}

void line(std::ostringstream& out, const char* label, const std::string& text) {
    out << "  " << label << std::string(18 - std::string(label).size(), ' ') << text << "\n";
}

std::string enableLine(const RunResult& run) {
    if (run.enables.empty()) {
        return "not enabled";
    }
    const EnableRecord& e = run.enables.front();
    std::string sent = e.commands == 0 ? "no whole command sent (" + counted(e.bytes, "byte") + ")"
                                       : counted(e.commands, "command") + " (" +
                                             counted(e.bytes, "byte") + ") sent";
    std::string text = sent + "; the enable " + (e.succeeded ? "succeeded" : "FAILED") + " after " +
                       fixed(ms(e.duration), 1) + " virtual ms";
    if (run.enables.size() > 1) {
        std::size_t ok = 0;
        for (const EnableRecord& other : run.enables) {
            ok += other.succeeded ? 1 : 0;
        }
        text += " (" + std::to_string(ok) + " of " + std::to_string(run.enables.size()) +
                " enables succeeded)";
    }
    const auto failed = std::find_if(run.enables.begin(), run.enables.end(),
                                     [](const EnableRecord& r) { return !r.succeeded; });
    if (failed != run.enables.end()) {
        text +=
            (run.enables.size() > 1 ? "; " + failed->step + " failed: " : ": ") + failed->failure;
    }
    return text;
}

std::string modesLine(const RunResult& run) {
    std::string text;
    for (const ModeRecord& m : run.modes) {
        text += (text.empty() ? "" : ", ") + modeName(m.mode) +
                (m.succeeded ? " set" : " refused (error " + std::to_string(m.lastError) + ")");
    }
    return text;
}

std::string calibrationLine(const CalibrationRecord& record) {
    const windowing::CalibrationReport& r = record.report;
    std::string text = outcomeText(r);
    const std::string tolerance = "tolerance " + std::to_string(record.tolerancePx) + " px";
    if (r.calibrationSet && r.worstResidual == 0) {
        text += ": every target hit to the whole pixel (as the driver checks; " + tolerance + ")";
    } else if (r.calibrationSet) {
        text += ": worst " + fixed(r.worstResidual, 2) + " px at target " +
                std::to_string(r.worstPoint) + " (whole pixels, as the driver checks; " +
                tolerance + ")";
    } else if (!r.failure.empty()) {
        text += ": " + r.failure;
    } else if (r.aborted && !r.points.empty()) {
        text += " at target " + std::to_string(r.points.back().index);
    }
    return text;
}

std::string capturesLine(const RunResult& run) {
    std::string text;
    for (const CaptureRecord& c : run.captures) {
        text += text.empty() ? "" : ", ";
        if (!c.result) {
            text += "still waiting at the end";
        } else if (c.result->result != FALSE) {
            text += "completed at raw " + pointText(c.result->raw);
        } else {
            text += "failed (error " + std::to_string(c.result->lastError) + ")";
        }
    }
    return text;
}

std::string samplesLine(const SampleStats& s) {
    std::string text = std::to_string(s.delivered) + " delivered";
    if (s.afterCapture > 0) {
        text += ": " + std::to_string(s.delivered - s.afterCapture) + " in " +
                counted(s.touches, "touch", "touches") + ", " + std::to_string(s.afterCapture) +
                " after a capture";
    } else {
        text += " in " + counted(s.touches, "touch", "touches");
    }
    if (s.ratePerSecond) {
        text += ", " + fixed(*s.ratePerSecond, 1) + " a second while the pen was down";
    }
    return text;
}

std::string strokeLine(const StrokeAccuracy& stroke) {
    std::string text;
    if (stroke.meanPx) {
        text = "mean " + fixed(*stroke.meanPx, 2) + " px, worst " + fixed(*stroke.worstPx, 2) +
               " px (" + counted(stroke.samples, "sample") + " of " +
               counted(stroke.strokes, "touch", "touches") + " against the finger's path)";
    } else {
        text = "nothing to compare (no touch on the display delivered while calibrated)";
    }
    if (stroke.offDisplay > 0) {
        text += "; " + counted(stroke.offDisplay, "touch", "touches") + " off the display left out";
    }
    return text;
}

std::string cursorLine(const RunResult& run) {
    const windowing::CursorPosition& last = *run.cursor.last;
    std::string text =
        counted(run.cursor.moves, "move") + ", last to " + pointText(last.at) + " px";
    if (last.clipped()) {
        text += ", clipped to the screen from " + pointText(last.requested);
    }
    if (!run.calibratedAt(last.time)) {
        text += " (placed from raw controller units: no calibration was set)";
    }
    if (run.cursor.clipped > 0) {
        text += "; " + counted(run.cursor.clipped, "move") + " clipped to the screen's edge";
    }
    return text;
}

}  // namespace

std::string dumpJson(const json& value, int indent) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

json summaryJson(const RunReport& report) {
    const RunResult& run = report.run;
    const Analysis& a = report.analysis;
    json calibrations = json::array();
    for (const CalibrationRecord& c : run.calibrations) {
        calibrations.push_back(calibrationJson(c));
    }
    json verdicts = json::array();
    for (const Verdict& v : report.verdicts) {
        verdicts.push_back(
            {{"field", v.field}, {"line", v.line}, {"met", v.met}, {"text", v.text}});
    }
    json clickFrequencies = json::array();
    for (const ClickLog::Pitch& p : run.clicks.pitches()) {
        for (std::size_t i = 0; i < p.count; ++i) {
            clickFrequencies.push_back(rounded(p.frequency));
        }
    }
    const sim::DisplayConfig& display = report.scenario.machine.display;
    return {
        {"scenario", report.scenario.name},
        {"file", report.scenario.file},
        {"seed", report.seed},
        {"display",
         {{"width", display.width},
          {"height", display.height},
          {"orientation", display.orientation}}},
        {"result", run.stopped ? "stopped" : (allMet(report.verdicts) ? "passed" : "failed")},
        {"stopped", run.stopped ? json(*run.stopped) : json(nullptr)},
        {"virtualMs", rounded(ms(run.end))},
        {"enables", enablesJson(run)},
        {"calibrations", calibrations},
        {"captures", capturesJson(run)},
        {"modes", modesJson(run)},
        {"samples",
         {{"delivered", a.samples.delivered},
          {"touches", a.samples.touches},
          {"penDownSamples", a.samples.downSamples},
          {"calibrated", a.samples.calibrated},
          {"afterCapture", a.samples.afterCapture},
          {"penDownSeconds", rounded(a.samples.penDownSeconds)},
          {"ratePerSecond", optionalNumber(a.samples.ratePerSecond)}}},
        {"stroke",
         {{"touches", a.stroke.strokes},
          {"samples", a.stroke.samples},
          {"offDisplayTouches", a.stroke.offDisplay},
          {"meanErrorPx", optionalNumber(a.stroke.meanPx)},
          {"worstErrorPx", optionalNumber(a.stroke.worstPx)}}},
        {"clicks",
         {{"count", a.clicks.count},
          {"meanFrequencyHz", optionalNumber(a.clicks.meanFrequencyHz)},
          {"meanLengthMs", optionalNumber(a.clicks.meanLengthMs)},
          {"longestMs", optionalNumber(a.clicks.longestMs)},
          {"frequenciesHz", clickFrequencies}}},
        {"cursor", cursorJson(run)},
        {"registryFiles", report.registryFiles},
        {"controllerReports", run.controllerReports},
        {"droppedReports", run.droppedReports},
        {"keyboardBytesTaken", run.keyboardBytes.size()},
        {"kernelFaults", faultsJson(run)},
        {"libraryUnmapped", run.unmapped},
        {"traceHash", hex64(run.traceHash)},
        {"expectations", verdicts},
        {"artifacts", report.artifacts},
    };
}

std::string summaryText(const RunReport& report, double wallSeconds) {
    const RunResult& run = report.run;
    const Analysis& a = report.analysis;
    const sim::DisplayConfig& display = report.scenario.machine.display;
    std::ostringstream out;
    out << "touchsim: " << report.scenario.name << " (" << display.width << "x" << display.height
        << " display";
    if (display.orientation != 0) {
        out << " at " << display.orientation << " degrees";
    }
    out << ", seed " << report.seed << ")\n";
    line(out, "controller start", enableLine(run));
    if (!run.calibrations.empty()) {
        const CalibrationRecord& last = run.calibrations.back();
        line(out, "calibration", calibrationLine(last));
        if (!last.residualsPx.empty()) {
            line(out, "", "sub-pixel residuals by target (px): " + residualList(last));
        }
    }
    if (!run.captures.empty()) {
        line(out, "captures", capturesLine(run));
    }
    line(out, "samples", samplesLine(a.samples));
    line(out, "stroke accuracy", strokeLine(a.stroke));
    if (a.clicks.meanFrequencyHz) {
        line(out, "clicks",
             std::to_string(a.clicks.count) + " heard at " + fixed(*a.clicks.meanFrequencyHz, 1) +
                 " Hz, " + fixed(*a.clicks.meanLengthMs, 1) + " ms on average, longest " +
                 fixed(*a.clicks.longestMs, 1) + " ms");
    } else {
        line(out, "clicks", "none heard");
    }
    if (!run.cursor.empty()) {
        line(out, "cursor", cursorLine(run));
    }
    if (!run.modes.empty()) {
        line(out, "modes", modesLine(run));
    }
    if (!run.keyboardBytes.empty()) {
        line(out, "keyboard",
             counted(run.keyboardBytes.size(), "byte") + " taken by the keyboard driver");
    }
    if (!run.faults.empty()) {
        line(out, "kernel faults",
             std::to_string(run.faults.size()) + ", first: " + run.faults.front().what);
    }
    const double virtualSeconds = ms(run.end) / 1000.0;
    std::string time =
        fixed(virtualSeconds, 2) + " virtual s in " + fixed(wallSeconds, 2) + " wall s";
    if (wallSeconds > 0) {
        time += " (" + fixed(virtualSeconds / wallSeconds, 1) + " virtual s a second)";
    }
    line(out, "time", time);
    std::size_t met = 0;
    for (const Verdict& v : report.verdicts) {
        met += v.met ? 1 : 0;
    }
    if (report.verdicts.empty()) {
        line(out, "expectations", "none given");
    } else if (met == 1 && report.verdicts.size() == 1) {
        line(out, "expectations", "the one met");
    } else if (met == report.verdicts.size()) {
        line(out, "expectations", "all " + std::to_string(met) + " met");
    } else {
        line(out, "expectations",
             std::to_string(report.verdicts.size() - met) + " of " +
                 std::to_string(report.verdicts.size()) + " NOT met:");
        for (const std::string& text : unmetLines(report)) {
            out << "    " << text << "\n";
        }
    }
    std::string files;
    for (const std::string& f : report.artifacts) {
        files += " " + f;
    }
    line(out, "output", report.outDir + ":" + files);
    return out.str();
}

std::vector<std::string> unmetLines(const RunReport& report) {
    std::vector<std::string> lines;
    for (const Verdict& v : report.verdicts) {
        if (v.met) {
            continue;
        }
        std::string text = report.scenario.file;
        if (v.line > 0) {
            text += ":" + std::to_string(v.line);
        }
        lines.push_back(text + ": " + v.field + ": " + v.text);
    }
    return lines;
}

}  // namespace touchsim
