#include "tools/touchsim/runner.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/hosted/win32.h"
#include "tools/touchsim/analysis.hpp"
#include "tools/touchsim/diagnosis.hpp"
#include "tools/touchsim/pacer.hpp"
#include "windowing/keyboard_driver.hpp"

namespace touchsim {

namespace {

using hosted::kMicrosPerMilli;
using hosted::Micros;

constexpr Micros kFingerTick = kMicrosPerMilli;  // a moving finger is followed every 1 ms
constexpr const char* kTouchKey = "HARDWARE\\DEVICEMAP\\TOUCH";
constexpr std::uint32_t kDefaultTolerancePx = 5;

Micros micros(double ms) {
    return static_cast<Micros>(std::llround(ms * static_cast<double>(kMicrosPerMilli)));
}

// UTF-8, as the JSON reader has checked it, to the platform's 16-bit strings.
std::u16string utf16(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + static_cast<std::size_t>(k) < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

void applyValues(hosted::Registry& registry, const std::vector<RegistryValue>& values) {
    using Kind = RegistryValue::Kind;
    for (const RegistryValue& v : values) {
        switch (v.kind) {
            case Kind::Dword:
                registry.setDword(v.key, v.name, v.dword);
                break;
            case Kind::String:
                registry.setString(v.key, v.name, utf16(v.strings.front()));
                break;
            case Kind::MultiString: {
                // Each string ends in a NUL, and the list in one more (which
                // setString adds); an empty list is the lone pair of NULs.
                std::u16string joined;
                for (const std::string& s : v.strings) {
                    joined += utf16(s);
                    joined.push_back(u'\0');
                }
                if (v.strings.empty()) {
                    joined.push_back(u'\0');
                }
                registry.setString(v.key, v.name, joined, REG_MULTI_SZ);
                break;
            }
            case Kind::Remove:
                registry.removeValue(v.key, v.name);
                break;
            case Kind::RemoveKey:
                registry.removeKey(v.key);
                break;
        }
    }
}

void applyRegistry(hosted::Registry& registry, const RegistrySettings& settings) {
    if (!settings.file.empty()) {
        registry.loadText(settings.fileText, settings.file, settings.defines);
    }
    applyValues(registry, settings.values);
}

bool onDisplay(sim::Point p, const sim::DisplayConfig& display) {
    return p.x >= 0 && p.y >= 0 && p.x < display.width && p.y < display.height;
}

void markOffDisplay(FingerStroke& stroke, const sim::DisplayConfig& display) {
    stroke.offDisplay = std::any_of(stroke.path.begin(), stroke.path.end(),
                                    [&](const TimedPoint& p) { return !onDisplay(p.at, display); });
}

// Adds a point to the finger's path.  A finger that stays put needs only the
// two ends of its stay: a point at the same position as the two before it
// takes the place of the last, so that a long hold costs two points, not one
// a millisecond.
void extendPath(std::vector<TimedPoint>& path, const TimedPoint& point) {
    const std::size_t n = path.size();
    if (n >= 2 && !point.jumped && !path[n - 1].jumped && path[n - 1].at == point.at &&
        path[n - 2].at == point.at) {
        path[n - 1] = point;
        return;
    }
    path.push_back(point);
}

// The points of a scripted touch, followed every millisecond.
FingerStroke strokeOf(const sim::TouchScript::Stroke& stroke, const std::string& step,
                      const sim::DisplayConfig& display) {
    FingerStroke out{step, stroke.down, stroke.up, {}};
    for (const sim::TouchScript::Segment& segment : stroke.segments) {
        for (Micros t = segment.start; t < segment.end; t += kFingerTick) {
            extendPath(out.path, TimedPoint{t, segment.at(t), false});
        }
        extendPath(out.path, TimedPoint{segment.end, segment.at(segment.end), false});
    }
    markOffDisplay(out, display);
    return out;
}

// Plays the steps of one timeline on a session.
class Player {
  public:
    Player(const Scenario& scenario, const RunOptions& options, windowing::Session& session,
           RunResult& result, Analyser& analyser)
        : scenario_(scenario),
          options_(options),
          session_(session),
          result_(result),
          analyser_(analyser) {}

    void play(const Step& step) {
        step_ = &step;
        try {
            std::visit([this](const auto& action) { run(action); }, step.action);
        } catch (const sim::ScriptError& error) {
            throw ScenarioError(scenario_.file, step.line, step.field(), error.what());
        }
        collectCaptures();
        analyser_.settle(session_.now());
        result_.mostHeld = std::max(result_.mostHeld, analyser_.held());
    }

    // After the last step: the open touch ends, captures are collected.
    void finish() {
        if (finger_) {
            finger_->up = session_.now();
            endStroke();
        }
        closeCalibratedSpan();
        collectCaptures();
    }

    // Ends the driver as the platform does: captures still pending are
    // aborted, an enabled driver is disabled, the library is unloaded.
    // Returns whether the library was unmapped.
    bool tearDown() {
        stopKeyboard();
        captures_.clear();
        if (enableOutstanding_) {
            session_.disable();
            enableOutstanding_ = false;
        }
        return session_.unload();
    }

  private:
    void run(const EnableStep&) {
        closeCalibratedSpan();  // every enable starts uncalibrated
        sim::TouchController& controller = session_.machine().controller();
        EnableRecord record;
        record.step = step_->field();
        record.at = session_.now();
        const std::uint64_t frames = controller.framesReceived();
        const std::uint64_t bytes = controller.bytesReceived();
        const std::size_t keyboardBytes = keyboard_ ? keyboard_->bytes().size() : 0;
        enableOutstanding_ = true;  // a failed enable is released by a disable too
        record.succeeded = session_.enable() != FALSE;
        record.duration = session_.now() - record.at;
        record.commands = controller.framesReceived() - frames;
        record.bytes = controller.bytesReceived() - bytes;
        record.controllerReporting = controller.started();
        if (!record.succeeded) {
            EnableEvidence evidence;
            evidence.machine = &session_.machine().config();
            evidence.ioBase = session_.registry().dword(kTouchKey, "ioBase");
            evidence.bytesBefore = bytes;
            evidence.framesBefore = frames;
            evidence.bytes = record.bytes;
            evidence.frames = record.commands;
            evidence.keyboardBytesTaken =
                (keyboard_ ? keyboard_->bytes().size() : 0) - keyboardBytes;
            evidence.enableStartMs = record.at / kMicrosPerMilli;
            evidence.enableEndMs = session_.now() / kMicrosPerMilli;
            record.failure = enableFailure(evidence);
        }
        result_.enables.push_back(record);
    }

    void run(const DisableStep&) {
        session_.disable();
        enableOutstanding_ = false;
    }

    void run(const CalibrateStep& step) {
        CalibrationRecord record;
        record.step = step_->field();
        record.at = session_.now();
        closeCalibratedSpan();
        record.report = windowing::CalibrationScreen(session_, *step.screen).run();
        record.tolerancePx =
            session_.registry().dword(kTouchKey, "MaxCalError").value_or(kDefaultTolerancePx);
        if (record.report.calibrationSet) {
            calibratedFrom_ = session_.now();
            analyser_.calibrationSet(*calibratedFrom_);
            for (const windowing::CalibrationPointResult& point : record.report.points) {
                const windowing::Point q =
                    session_.calibrateAPoint(point.capture.raw.x, point.capture.raw.y);
                const sim::Point at{quarterToPixel(q.x), quarterToPixel(q.y)};
                record.mapped.push_back(at);
                record.residualsPx.push_back(
                    std::hypot(at.x - point.target.x, at.y - point.target.y));
            }
        }
        result_.calibrations.push_back(std::move(record));
    }

    void run(const CaptureStep&) {
        captures_.push_back(session_.startCapture());
        result_.captures.push_back(CaptureRecord{step_->field(), session_.now(), std::nullopt});
    }

    void run(const AbortStep&) { session_.abortCapture(); }

    void run(const TouchStep& step) {
        session_.touch(step.at.x, step.at.y);
        finger_ = FingerStroke{
            step_->field(), session_.now(), 0, {TimedPoint{session_.now(), step.at, false}}};
        analyser_.press(session_.now());
    }

    // A move at a speed is scheduled on the devices' clock, one position a
    // millisecond, so that the finger keeps its pace however busy the
    // session's thread is kept by the driver's higher-priority threads.
    void run(const MoveStep& step) {
        const sim::Point from = finger_->path.back().at;
        if (!step.speed) {
            session_.move(step.to.x, step.to.y);
            finger_->path.push_back(TimedPoint{session_.now(), step.to, true});
            return;
        }
        const double distance = std::hypot(step.to.x - from.x, step.to.y - from.y);
        const auto ticks = std::max<std::int64_t>(
            1, std::llround(distance / *step.speed * 1e6 / static_cast<double>(kFingerTick)));
        const Micros start = session_.now();
        sim::TouchPanel& panel = session_.panel();
        for (std::int64_t k = 1; k <= ticks; ++k) {
            const double f = static_cast<double>(k) / static_cast<double>(ticks);
            const sim::Point at{from.x + (step.to.x - from.x) * f,
                                from.y + (step.to.y - from.y) * f};
            const Micros when = start + static_cast<Micros>(k) * kFingerTick;
            session_.kernel().devices().schedule(when, [&panel, at] {
                try {
                    panel.moveTo(at);
                } catch (const sim::ScriptError&) {
                    // The timeline check keeps the finger down for its moves.
                }
            });
            extendPath(finger_->path, TimedPoint{when, at, false});
        }
        session_.waitMicros(static_cast<Micros>(ticks) * kFingerTick);
    }

    void run(const LiftStep&) {
        session_.lift();
        finger_->up = session_.now();
        endStroke();
    }

    void endStroke() {
        markOffDisplay(*finger_, scenario_.machine.display);
        addStroke(std::move(*finger_));
        finger_.reset();
    }

    void addStroke(FingerStroke stroke) {
        analyser_.stroke(stroke);
        if (options_.onStroke) {
            options_.onStroke(stroke);
        }
        if (options_.keep) {
            result_.strokes.push_back(std::move(stroke));
        }
    }

    void run(const TapStep& step) {
        sim::TouchScript script;
        Micros at = session_.now();
        for (int i = 0; i < step.count; ++i) {
            if (i > 0) {
                at += micros(step.gapMs);
            }
            script.tap(at, step.at, micros(step.holdMs));
            at = script.end();
        }
        playScript(script);
    }

    void run(const PathStep& step) {
        sim::TouchScript script;
        script.press(session_.now(), step.points.front());
        script.path(std::vector<sim::Point>(step.points.begin() + 1, step.points.end()),
                    step.speed);
        script.lift();
        playScript(script);
    }

    void run(const CircleStep& step) {
        sim::TouchScript script;
        script.press(session_.now(), sim::Point{step.centre.x + step.radius, step.centre.y});
        script.circle(step.centre, step.turns, step.speed);
        script.lift();
        playScript(script);
    }

    void run(const WaitStep& step) { session_.waitMicros(micros(step.ms)); }

    void run(const ModeStep& step) {
        session_.setLastError(0);
        ModeRecord record{step_->field(), session_.now(), step.mode, false, 0};
        record.succeeded = session_.setMode(step.mode) != FALSE;
        record.lastError = session_.lastError();
        result_.modes.push_back(record);
    }

    void run(const PowerStep& step) { session_.powerHandler(step.off ? TRUE : FALSE); }

    void run(const KeyboardDriverStep& step) {
        if (step.on) {
            keyboard_.emplace(session_.kernel(), session_.machine(),
                              windowing::KeyboardDriverConfig{step.priority, step.sysIntr});
        } else {
            stopKeyboard();
        }
    }

    void stopKeyboard() {
        if (keyboard_) {
            const std::vector<std::uint8_t>& bytes = keyboard_->bytes();
            result_.keyboardBytes.insert(result_.keyboardBytes.end(), bytes.begin(), bytes.end());
            keyboard_.reset();
        }
    }

    void run(const RegistryStep& step) { applyValues(session_.registry(), step.values); }

    void run(const KeysStep& step) {
        session_.machine().keyboard().inject(session_.now(), step.bytes);
    }

    void playScript(const sim::TouchScript& script) {
        session_.play(script);
        for (const sim::TouchScript::Stroke& stroke : script.strokes()) {
            addStroke(strokeOf(stroke, step_->field(), scenario_.machine.display));
        }
        session_.waitMicros(script.end() - session_.now());
    }

    void closeCalibratedSpan() {
        if (calibratedFrom_) {
            result_.calibrated.push_back(CalibratedSpan{*calibratedFrom_, session_.now()});
            analyser_.calibrationEnded(session_.now());
            calibratedFrom_.reset();
        }
    }

    void collectCaptures() {
        for (std::size_t i = 0; i < captures_.size(); ++i) {
            CaptureRecord& record = result_.captures[i];
            if (!record.result && captures_[i].finished()) {
                record.result = captures_[i].result();
            }
        }
    }

    const Scenario& scenario_;
    const RunOptions& options_;
    windowing::Session& session_;
    RunResult& result_;
    Analyser& analyser_;
    const Step* step_ = nullptr;
    std::optional<FingerStroke> finger_;
    std::optional<Micros> calibratedFrom_;
    bool enableOutstanding_ = false;
    std::vector<windowing::PendingCapture> captures_;  // one per record in result_.captures
    std::optional<windowing::KeyboardDriverThread> keyboard_;
};

windowing::SessionConfig sessionConfig(const Scenario& scenario, const RunOptions& options,
                                       RunResult& result) {
    windowing::SessionConfig config;
    config.machine = scenario.machine;
    const std::uint64_t seed = options.seed.value_or(scenario.seed);
    config.machine.seed = seed;
    config.kernel.seed = seed;
    config.kernel.tracePorts = options.tracePorts;
    if (!options.tracePorts) {
        // Without --trace the kernel's trace only feeds its hash: no line is
        // kept, so that memory does not grow with the length of the run.
        config.kernel.traceLimit = 0;
    }
    config.library.path = options.driverLibrary;
    // Nothing here reads the i8042's log of every byte it passed on, nor the
    // controller's of every report: only their count.
    config.machine.i8042.keepOutputLog = false;
    config.machine.controller.keepReports = false;
    // Nor the kernel's of every cursor move: they are counted as they come.
    config.kernel.keepCursorMoves = false;
    const sim::DisplayConfig display = scenario.machine.display;
    config.kernel.onCursorMove = [&result, display](const hosted::CursorMove& move) {
        result.cursor.add(windowing::placeCursor(move, display));
    };
    return config;
}

}  // namespace

double quarterToPixel(int quarter) {
    constexpr int kRoundingQuarters = 2;
    return static_cast<double>(quarter - kRoundingQuarters) / 4.0;
}

void ClickLog::watchLength(const std::optional<RealRange>& lengthMs) {
    watched_ = lengthMs;
}

void ClickLog::add(const sim::Click& click) {
    ++count_;
    if (pitches_.empty() || pitches_.back().frequency != click.frequency) {
        pitches_.push_back(Pitch{click.frequency, 0});
    }
    ++pitches_.back().count;
    const double length = static_cast<double>(click.length) / 1e3;
    frequencySum_ += click.frequency;
    lengthSumMs_ += length;
    if (!firstLengthMs_) {
        firstLengthMs_ = length;
    }
    longestMs_ = std::max(longestMs_.value_or(0), length);
    lowestHz_ = std::min(lowestHz_.value_or(click.frequency), click.frequency);
    highestHz_ = std::max(highestHz_.value_or(click.frequency), click.frequency);
    if (watched_ && !lengthOutsideMs_ && !watched_->contains(length)) {
        lengthOutsideMs_ = length;
    }
}

void CursorLog::add(const windowing::CursorPosition& position) {
    ++moves;
    if (position.clipped()) {
        ++clipped;
    }
    last = position;
}

bool RunResult::calibratedAt(hosted::Micros t) const {
    return std::any_of(calibrated.begin(), calibrated.end(),
                       [t](const CalibratedSpan& span) { return span.contains(t); });
}

RunResult runScenario(const Scenario& scenario, const RunOptions& options) {
    RunResult result;
    result.clicks.watchLength(scenario.expect.clickLengthMs);
    windowing::Session session(sessionConfig(scenario, options, result));
    applyRegistry(session.registry(), scenario.registry);
    for (const RegistrySettings& extra : options.extraRegistry) {
        applyRegistry(session.registry(), extra);
    }
    Analyser analyser({options.onSettledSample, options.onDeviation}, options.keep);
    session.recorder().setKeep(options.keep);
    session.recorder().setHook([&](const windowing::Sample& sample) {
        analyser.sample(sample);
        result.mostHeld = std::max(result.mostHeld, analyser.held());
        if (options.onSample) {
            options.onSample(sample);
        }
    });
    auto heard = [&](const sim::Click& click) {
        result.clicks.add(click);
        if (options.onClick) {
            options.onClick(click);
        }
    };
    session.machine().speaker().setClickSink(heard);
    Player player(scenario, options, session, result, analyser);
    {
        // The pacer ends before the library is unloaded, so that no kernel
        // thread but the session's is left to keep it mapped.
        std::optional<Pacer> pacer;
        try {
            if (options.realtime) {
                pacer.emplace(session.kernel());
            }
            session.load();
            for (std::size_t i = 0; i < scenario.timeline.size(); ++i) {
                if (options.onStep) {
                    options.onStep(i, scenario.timeline.size(), scenario.timeline[i],
                                   session.now());
                }
                player.play(scenario.timeline[i]);
            }
        } catch (const hosted::RunStopped& stop) {
            result.stopped = stop.what();
        }
        player.finish();
        result.end = session.now();
    }
    try {
        // After a stop the kernel runs the main thread alone, so this cannot hang.
        result.unmapped = player.tearDown();
    } catch (const hosted::RunStopped& stop) {
        result.stopped = stop.what();
    }
    result.samples = session.takeSamples();
    // The clicks not yet handed over: the last, and one still sounding.
    for (const sim::Click& click : session.clicks()) {
        heard(click);
    }
    result.analysis = std::make_shared<const Analysis>(analyser.finish(result.clicks));
    // Nothing more is taken in once the analysis is drawn.
    session.recorder().setHook({});
    session.machine().speaker().setClickSink({});
    result.controllerReports = session.machine().controller().reportsMade();
    result.droppedReports = session.machine().controller().droppedReports();
    result.faults = session.faults();
    result.traceHash = session.kernel().traceHash();
    if (options.atEnd) {
        options.atEnd(session);
    }
    return result;
}

}  // namespace touchsim
