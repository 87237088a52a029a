#include "tools/touchsim/scenario.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/hosted/registry.hpp"
#include "platform/touch_ddi.h"
#include "tools/touchsim/json_lines.hpp"
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

// Limits of what a scenario may ask for.
constexpr double kMaxMs = 3'600'000;  // one hour of virtual time per step
// The finger's path is kept millisecond by millisecond for the accuracy
// figures: one hour of moves and taps per run at most.
constexpr double kMaxFingerMs = 3'600'000;
constexpr double kMaxCoordinate = 65'536;  // pixels, either sign
constexpr double kMinSpeed = 1;            // pixels per second
constexpr double kMaxSpeed = 100'000;
constexpr double kMaxTurns = 100;
constexpr int kMaxTaps = 1'000;
constexpr std::size_t kMaxPathPoints = 10'000;
constexpr std::size_t kMaxKeyBytes = 4'096;
constexpr int kMaxPriority = 255;
constexpr double kMaxSampleRate = 100'000;  // samples a second
constexpr std::uint32_t kMaxSysIntr = 255;
// The platform's calibration screen visits the targets the driver gives it:
// five of them.
constexpr int kCalibrationTargets = 5;

std::string where(const std::string& file, int line, const std::string& field,
                  const std::string& message) {
    std::string text = file;
    if (line > 0) {
        text += ":" + std::to_string(line);
    }
    if (!text.empty()) {
        text += ": ";
    }
    if (!field.empty()) {
        text += field + ": ";
    }
    return text + message;
}

// A limit or a value as a person writes it: 3600000, not 3.6e+06.
std::string number(double value) {
    std::ostringstream out;
    if (std::abs(value) < 1e15 && value == std::floor(value)) {
        out << static_cast<long long>(value);
    } else {
        out << value;
    }
    return out.str();
}

// "0 to 255", or "0 or more" when the top is only the type's own limit.
std::string rangeText(std::int64_t min, std::int64_t max) {
    if (max == std::numeric_limits<std::int64_t>::max()) {
        return std::to_string(min) + " or more";
    }
    return std::to_string(min) + " to " + std::to_string(max);
}

// Finger positions must lie on the display unless the step says it means
// them to be off it ("offDisplay": true).
class DisplayCheck {
  public:
    DisplayCheck(const sim::DisplayConfig& display, bool offAllowed)
        : display_(display), offAllowed_(offAllowed) {}

    // Empty when the point may be used, else why not.
    std::optional<std::string> refuse(sim::Point p) const {
        if (offAllowed_ ||
            (p.x >= 0 && p.y >= 0 && p.x < display_.width && p.y < display_.height)) {
            return std::nullopt;
        }
        return "(" + number(p.x) + ", " + number(p.y) + ") is off the " + size() +
               " display; add \"offDisplay\": true to the step if that is meant";
    }
    std::string size() const {
        return std::to_string(display_.width) + " x " + std::to_string(display_.height);
    }

  private:
    const sim::DisplayConfig& display_;
    bool offAllowed_;
};

// Reads the JSON of one scenario, naming the line of every field it refuses.
class Reader {
  public:
    Reader(const std::string& text, std::string file) : lines_(text), file_(std::move(file)) {}

    [[noreturn]] void fail(const std::string& field, const std::string& message) const {
        throw ScenarioError(file_, lines_.lineOf(field), field, message);
    }

    int lineOf(const std::string& field) const { return lines_.lineOf(field); }
    const std::string& file() const { return file_; }

    // The members of one object; whatever is left unread at finish() is an
    // unknown field.
    class Object {
      public:
        Object(const Reader& reader, const json& value, std::string path)
            : reader_(reader), value_(value), path_(std::move(path)) {
            if (!value_.is_object()) {
                reader_.fail(path_, "must be an object");
            }
        }
        std::string at(const std::string& key) const {
            return path_.empty() ? key : path_ + "." + key;
        }
        const json* find(const std::string& key) {
            read_.insert(key);
            const auto it = value_.find(key);
            return it == value_.end() ? nullptr : &*it;
        }
        const json& require(const std::string& key) {
            const json* value = find(key);
            if (value == nullptr) {
                reader_.fail(at(key), "missing");
            }
            return *value;
        }
        void finish() const {
            for (const auto& item : value_.items()) {
                if (read_.count(item.key()) == 0) {
                    const std::optional<std::string> meant = nearestWord(
                        item.key(), std::vector<std::string>(read_.begin(), read_.end()));
                    reader_.fail(at(item.key()),
                                 "unknown field" + (meant ? "; did you mean \"" + *meant + "\"?"
                                                          : std::string()));
                }
            }
        }
        const std::string& path() const { return path_; }

      private:
        const Reader& reader_;
        const json& value_;
        std::string path_;
        std::set<std::string> read_;
    };

    double real(const json& value, const std::string& field, double min, double max) const {
        if (!value.is_number()) {
            fail(field, "must be a number");
        }
        const double v = value.get<double>();
        if (!std::isfinite(v) || v < min || v > max) {
            fail(field, "must be " + number(min) + " to " + number(max) + ", not " + number(v));
        }
        return v;
    }

    std::int64_t whole(const json& value, const std::string& field, std::int64_t min,
                       std::int64_t max) const {
        const std::string range = rangeText(min, max);
        if (!value.is_number_integer()) {
            fail(field, "must be a whole number, " + range);
        }
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(max)) {
            fail(field, "must be " + range + ", not " + std::to_string(value.get<std::uint64_t>()));
        }
        const auto v = value.get<std::int64_t>();
        if (v < min || v > max) {
            fail(field, "must be " + range + ", not " + std::to_string(v));
        }
        return v;
    }

    std::string text(const json& value, const std::string& field) const {
        if (!value.is_string()) {
            fail(field, "must be a string");
        }
        return value.get<std::string>();
    }

    bool flag(const json& value, const std::string& field) const {
        if (!value.is_boolean()) {
            fail(field, "must be true or false");
        }
        return value.get<bool>();
    }

    // A word out of a fixed set.
    template <typename T>
    T choice(const json& value, const std::string& field,
             const std::vector<std::pair<std::string, T>>& choices) const {
        std::string list;
        for (const auto& [word, result] : choices) {
            if (value.is_string() && value.get<std::string>() == word) {
                return result;
            }
            list += (list.empty() ? "\"" : ", \"") + word + "\"";
        }
        std::vector<std::string> words;
        for (const auto& choice : choices) {
            words.push_back(choice.first);
        }
        const std::optional<std::string> meant =
            value.is_string() ? nearestWord(value.get<std::string>(), words) : std::nullopt;
        fail(field, "must be one of " + list +
                        (meant ? "; did you mean \"" + *meant + "\"?" : std::string()));
    }

    // [x, y] in pixels.
    sim::Point point(const json& value, const std::string& field) const {
        if (!value.is_array() || value.size() != 2) {
            fail(field, "must be [x, y] in pixels");
        }
        return sim::Point{real(value[0], field + "[0]", -kMaxCoordinate, kMaxCoordinate),
                          real(value[1], field + "[1]", -kMaxCoordinate, kMaxCoordinate)};
    }
    // [x, y] where the finger goes.
    sim::Point point(const json& value, const std::string& field, const DisplayCheck& check) const {
        const sim::Point p = point(value, field);
        if (const std::optional<std::string> why = check.refuse(p)) {
            fail(field, *why);
        }
        return p;
    }

    CountRange count(const json& value, const std::string& field) const {
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
        CountRange range;
        if (value.is_number()) {
            const auto n = static_cast<std::uint64_t>(whole(value, field, 0, kMax));
            range.atLeast = n;
            range.atMost = n;
            return range;
        }
        if (!value.is_object()) {
            fail(field, "must be a count or {\"atLeast\": n, \"atMost\": m}");
        }
        return bounds<CountRange>(value, field, [this](const json& v, const std::string& at) {
            return static_cast<std::uint64_t>(whole(v, at, 0, kMax));
        });
    }

    RealRange realRange(const json& value, const std::string& field, double max) const {
        return bounds<RealRange>(value, field, [this, max](const json& v, const std::string& at) {
            return real(v, at, 0, max);
        });
    }

    // The object {"atLeast": a, "atMost": b} of a range, either bound optional
    // but not both; `read` reads one bound and checks its own limits.
    template <typename Range, typename Read>
    Range bounds(const json& value, const std::string& field, Read read) const {
        Range range;
        Object object(*this, value, field);
        if (const json* v = object.find("atLeast")) {
            range.atLeast = read(*v, object.at("atLeast"));
        }
        if (const json* v = object.find("atMost")) {
            range.atMost = read(*v, object.at("atMost"));
        }
        object.finish();
        if (!range.atLeast && !range.atMost) {
            fail(field, "needs \"atLeast\", \"atMost\" or both");
        }
        if (range.atLeast && range.atMost && *range.atLeast > *range.atMost) {
            fail(object.at("atMost"), "is below \"atLeast\"");
        }
        return range;
    }

  private:
    JsonLines lines_;
    std::string file_;
};

using Object = Reader::Object;

// ---- Registry ----

RegistryValue readRegistryValue(const Reader& r, const std::string& key, const std::string& name,
                                const json& value, const std::string& field) {
    RegistryValue v;
    v.key = key;
    v.name = name;
    if (!hosted::Registry::validValueName(name)) {
        r.fail(field, "is not a value name the registry can hold");
    }
    if (value.is_null()) {
        v.kind = RegistryValue::Kind::Remove;
    } else if (value.is_number()) {
        v.kind = RegistryValue::Kind::Dword;
        v.dword = static_cast<std::uint32_t>(r.whole(value, field, 0, 0xFFFF'FFFF));
    } else if (value.is_string()) {
        v.kind = RegistryValue::Kind::String;
        v.strings.push_back(value.get<std::string>());
    } else if (value.is_array()) {
        v.kind = RegistryValue::Kind::MultiString;
        for (std::size_t i = 0; i < value.size(); ++i) {
            v.strings.push_back(r.text(value[i], field + "[" + std::to_string(i) + "]"));
        }
    } else {
        r.fail(field, "must be a number (dword), a string, a list of strings or null (remove)");
    }
    return v;
}

// {"<key>": {"<name>": value, ...} or null, ...}
std::vector<RegistryValue> readRegistryValues(const Reader& r, const json& value,
                                              const std::string& field) {
    std::vector<RegistryValue> values;
    Object keys(r, value, field);
    for (const auto& item : value.items()) {
        const std::string keyField = keys.at(item.key());
        keys.find(item.key());
        if (!hosted::Registry::validKeyPath(item.key()) || item.key().empty()) {
            r.fail(keyField, "is not a key path the registry can hold");
        }
        if (item.value().is_null()) {
            RegistryValue remove;
            remove.key = item.key();
            remove.kind = RegistryValue::Kind::RemoveKey;
            values.push_back(remove);
            continue;
        }
        if (!item.value().is_object()) {
            r.fail(keyField, "must be an object of values, or null to remove the key");
        }
        for (const auto& entry : item.value().items()) {
            values.push_back(readRegistryValue(r, item.key(), entry.key(), entry.value(),
                                               keyField + "." + entry.key()));
        }
    }
    keys.finish();
    return values;
}

// ---- Steps ----

// Follows the finger (and the keyboard driver) through the timeline, so that
// a timeline that presses twice, lifts a finger that is not down, moves the
// finger for longer than a run can follow, or starts the keyboard driver
// twice is refused here, with its line, rather than halfway through the run.
class FingerCheck {
  public:
    explicit FingerCheck(const Reader& reader) : reader_(reader) {}

    void before(const Step& step) {
        const bool needsDown = std::holds_alternative<MoveStep>(step.action) ||
                               std::holds_alternative<LiftStep>(step.action);
        const bool needsUp = std::holds_alternative<TouchStep>(step.action) ||
                             std::holds_alternative<TapStep>(step.action) ||
                             std::holds_alternative<PathStep>(step.action) ||
                             std::holds_alternative<CircleStep>(step.action) ||
                             std::holds_alternative<CalibrateStep>(step.action);
        if (needsDown && !down_) {
            reader_.fail(step.field() + ".step", "\"" + std::string(step.kind) +
                                                     "\" needs the finger down; " +
                                                     "put it down first with a \"touch\" step");
        }
        if (needsUp && down_) {
            reader_.fail(step.field() + ".step",
                         "\"" + std::string(step.kind) + "\" needs the finger up; it is " +
                             "still down from line " + std::to_string(downLine_));
        }
        field_ = step.field();
        std::visit([this](const auto& action) { follow(action); }, step.action);
        if (fingerMs_ > kMaxFingerMs) {
            reader_.fail(step.field(), "the finger's moves and taps up to here take " +
                                           number(fingerMs_) + " ms; a run follows at most " +
                                           number(kMaxFingerMs) + " ms of them");
        }
        if (std::holds_alternative<TouchStep>(step.action)) {
            downLine_ = step.line;
        }
    }

  private:
    static double length(sim::Point a, sim::Point b) { return std::hypot(b.x - a.x, b.y - a.y); }

    void follow(const TouchStep& step) {
        down_ = true;
        at_ = step.at;
    }
    void follow(const MoveStep& step) {
        if (step.speed) {
            fingerMs_ += length(at_, step.to) / *step.speed * 1000;
        }
        at_ = step.to;
    }
    void follow(const LiftStep&) { down_ = false; }
    void follow(const KeyboardDriverStep& step) {
        if (step.on == keyboard_) {
            reader_.fail(field_ + ".state", std::string("the keyboard driver is ") +
                                                (keyboard_ ? "on" : "off") + " already");
        }
        keyboard_ = step.on;
    }
    void follow(const TapStep& step) {
        fingerMs_ += step.count * step.holdMs + (step.count - 1) * step.gapMs;
    }
    void follow(const PathStep& step) {
        double total = 0;
        for (std::size_t i = 1; i < step.points.size(); ++i) {
            total += length(step.points[i - 1], step.points[i]);
        }
        fingerMs_ += total / step.speed * 1000;
    }
    void follow(const CircleStep& step) {
        fingerMs_ += 2 * std::numbers::pi * step.radius * std::abs(step.turns) / step.speed * 1000;
    }
    template <typename Other>
    void follow(const Other&) {}

    const Reader& reader_;
    std::string field_;
    bool down_ = false;
    bool keyboard_ = false;
    int downLine_ = 0;
    sim::Point at_;
    double fingerMs_ = 0;
};

windowing::CalibrationScreenConfig readCalibrate(const Reader& r, Object& o) {
    windowing::CalibrationScreenConfig screen;
    auto ms = [&](const char* key, DWORD& out, double min) {
        if (const json* v = o.find(key)) {
            out = static_cast<DWORD>(r.whole(*v, o.at(key), static_cast<std::int64_t>(min),
                                             static_cast<std::int64_t>(kMaxMs)));
        }
    };
    ms("settleMs", screen.settleMs, 0);
    ms("holdMs", screen.holdMs, 1);
    ms("gapMs", screen.gapMs, 0);
    ms("captureTimeoutMs", screen.captureTimeoutMs, 1);
    if (const json* v = o.find("offsets")) {
        const std::string field = o.at("offsets");
        if (!v->is_array() || v->size() > static_cast<std::size_t>(kCalibrationTargets)) {
            r.fail(field, "must be a list of at most " + std::to_string(kCalibrationTargets) +
                              " [dx, dy] offsets in pixels, one per target");
        }
        for (std::size_t i = 0; i < v->size(); ++i) {
            const std::string at = field + "[" + std::to_string(i) + "]";
            const sim::Point p = r.point((*v)[i], at);
            if (p.x != std::floor(p.x) || p.y != std::floor(p.y)) {
                r.fail(at, "offsets are whole pixels");
            }
            screen.offsets.push_back(
                windowing::Point{static_cast<int>(p.x), static_cast<int>(p.y)});
        }
    }
    if (const json* v = o.find("abort")) {
        Object a(r, *v, o.at("abort"));
        windowing::CalibrationAbort abort;
        abort.point = static_cast<std::size_t>(
            r.whole(a.require("point"), a.at("point"), 0, kCalibrationTargets - 1));
        if (const json* when = a.find("when")) {
            abort.when = r.choice<windowing::CalibrationAbort::When>(
                *when, a.at("when"),
                {{"beforePress", windowing::CalibrationAbort::When::BeforePress},
                 {"whileHeld", windowing::CalibrationAbort::When::WhileHeld}});
        }
        if (const json* held = a.find("heldMs")) {
            abort.heldMs = static_cast<DWORD>(
                r.whole(*held, a.at("heldMs"), 0, static_cast<std::int64_t>(kMaxMs)));
        }
        a.finish();
        screen.abort = abort;
    }
    return screen;
}

double speed(const Reader& r, Object& o, double fallback) {
    const json* v = o.find("speed");
    return v == nullptr ? fallback : r.real(*v, o.at("speed"), kMinSpeed, kMaxSpeed);
}

int modeNumber(const Reader& r, const json& value, const std::string& field) {
    if (value.is_number()) {
        return static_cast<int>(r.whole(value, field, std::numeric_limits<int>::min(),
                                        std::numeric_limits<int>::max()));
    }
    return r.choice<int>(value, field,
                         {{"sampleRateLow", TPSM_SAMPLERATE_LOW_ID},
                          {"sampleRateHigh", TPSM_SAMPLERATE_HIGH_ID},
                          {"priorityHigh", TPSM_PRIORITY_HIGH_ID},
                          {"priorityNormal", TPSM_PRIORITY_NORMAL_ID}});
}

bool isFingerStep(const std::string& kind) {
    return kind == "touch" || kind == "move" || kind == "tap" || kind == "path" || kind == "circle";
}

Action readAction(const Reader& r, Object& o, const std::string& kind,
                  const sim::MachineConfig& machine) {
    bool offDisplay = false;
    if (isFingerStep(kind)) {
        if (const json* v = o.find("offDisplay")) {
            offDisplay = r.flag(*v, o.at("offDisplay"));
        }
    }
    const DisplayCheck display(machine.display, offDisplay);
    if (kind == "enable") {
        return EnableStep{};
    }
    if (kind == "disable") {
        return DisableStep{};
    }
    if (kind == "calibrate") {
        return CalibrateStep{
            std::make_shared<const windowing::CalibrationScreenConfig>(readCalibrate(r, o))};
    }
    if (kind == "capture") {
        return CaptureStep{};
    }
    if (kind == "abort") {
        return AbortStep{};
    }
    if (kind == "touch") {
        return TouchStep{r.point(o.require("at"), o.at("at"), display)};
    }
    if (kind == "move") {
        MoveStep step{r.point(o.require("to"), o.at("to"), display), std::nullopt};
        if (o.find("speed") != nullptr) {
            step.speed = speed(r, o, 0);
        }
        return step;
    }
    if (kind == "lift") {
        return LiftStep{};
    }
    if (kind == "tap") {
        TapStep step;
        step.at = r.point(o.require("at"), o.at("at"), display);
        if (const json* v = o.find("holdMs")) {
            step.holdMs = r.real(*v, o.at("holdMs"), 0.001, kMaxMs);
        }
        if (const json* v = o.find("count")) {
            step.count = static_cast<int>(r.whole(*v, o.at("count"), 1, kMaxTaps));
        }
        if (const json* v = o.find("gapMs")) {
            step.gapMs = r.real(*v, o.at("gapMs"), 0.001, kMaxMs);
        }
        return step;
    }
    if (kind == "path") {
        PathStep step;
        const json& points = o.require("points");
        if (!points.is_array() || points.size() < 2 || points.size() > kMaxPathPoints) {
            r.fail(o.at("points"),
                   "must be a list of 2 to " + std::to_string(kMaxPathPoints) + " [x, y] points");
        }
        for (std::size_t i = 0; i < points.size(); ++i) {
            step.points.push_back(
                r.point(points[i], o.at("points") + "[" + std::to_string(i) + "]", display));
        }
        step.speed = speed(r, o, step.speed);
        return step;
    }
    if (kind == "circle") {
        CircleStep step;
        step.centre = r.point(o.require("centre"), o.at("centre"));
        step.radius = r.real(o.require("radius"), o.at("radius"), 1, kMaxCoordinate);
        for (const sim::Point edge :
             {sim::Point{step.centre.x - step.radius, step.centre.y - step.radius},
              sim::Point{step.centre.x + step.radius, step.centre.y + step.radius}}) {
            if (display.refuse(edge)) {
                r.fail(o.at("radius"), "the circle reaches off the " + display.size() +
                                           " display; add \"offDisplay\": true to the step if "
                                           "that is meant");
            }
        }
        if (const json* v = o.find("turns")) {
            step.turns = r.real(*v, o.at("turns"), -kMaxTurns, kMaxTurns);
            if (step.turns == 0) {
                r.fail(o.at("turns"), "must not be 0");
            }
        }
        step.speed = speed(r, o, step.speed);
        return step;
    }
    if (kind == "wait") {
        return WaitStep{r.real(o.require("ms"), o.at("ms"), 0, kMaxMs)};
    }
    if (kind == "setMode") {
        return ModeStep{modeNumber(r, o.require("mode"), o.at("mode"))};
    }
    if (kind == "power") {
        return PowerStep{
            r.choice<bool>(o.require("state"), o.at("state"), {{"off", true}, {"on", false}})};
    }
    if (kind == "keys") {
        KeysStep step;
        const json& bytes = o.require("bytes");
        if (!bytes.is_array() || bytes.empty() || bytes.size() > kMaxKeyBytes) {
            r.fail(o.at("bytes"),
                   "must be a list of 1 to " + std::to_string(kMaxKeyBytes) + " bytes (0 to 255)");
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            step.bytes.push_back(static_cast<std::uint8_t>(
                r.whole(bytes[i], o.at("bytes") + "[" + std::to_string(i) + "]", 0, 255)));
        }
        return step;
    }
    if (kind == "registry") {
        return RegistryStep{readRegistryValues(r, o.require("values"), o.at("values"))};
    }
    if (kind == "keyboardDriver") {
        KeyboardDriverStep step;
        step.on = r.choice<bool>(o.require("state"), o.at("state"), {{"on", true}, {"off", false}});
        if (const json* v = o.find("priority")) {
            step.priority = static_cast<int>(r.whole(*v, o.at("priority"), 0, kMaxPriority));
        }
        if (const json* v = o.find("sysIntr")) {
            step.sysIntr = static_cast<std::uint32_t>(r.whole(*v, o.at("sysIntr"), 1, kMaxSysIntr));
        }
        if (step.sysIntr == machine.sysIntr) {
            r.fail(o.at("sysIntr"), "is the touch controller's logical interrupt (" +
                                        std::to_string(machine.sysIntr) + ")");
        }
        return step;
    }
    const std::optional<std::string> meant = nearestWord(
        kind, {"enable", "disable", "calibrate", "capture", "abort", "touch", "move", "lift", "tap",
               "path", "circle", "wait", "setMode", "power", "keys", "keyboardDriver", "registry"});
    r.fail(o.at("step"),
           "unknown step \"" + kind + "\"" +
               (meant ? "; did you mean \"" + *meant + "\"? The" : "; the") +
               " steps are enable, disable, calibrate, capture, abort, touch, move, lift, "
               "tap, path, circle, wait, setMode, power, keys, keyboardDriver and registry");
}

// The steps of the timeline, each packed (as MessagePack) as soon as the
// parser has read it, so that a long timeline is never held as a whole
// document: a step of a few bytes of text takes hundreds in one.
class PackedSteps {
  public:
    // The parser's callback: packs and drops each element of the top-level
    // "timeline" list (a "timeline" that is no list stays in the document).
    bool take(int depth, json::parse_event_t event, json& parsed) {
        using Event = json::parse_event_t;
        if (depth == 1 && event == Event::key) {
            inKey_ = parsed == "timeline";
            return true;
        }
        if (depth == 1 && event == Event::array_start && inKey_) {
            inTimeline_ = true;
            bytes_.clear();
            ends_.clear();
            return true;
        }
        if (depth == 1 && event == Event::array_end) {
            inTimeline_ = false;
            return true;
        }
        const bool whole =
            event == Event::value || event == Event::object_end || event == Event::array_end;
        if (depth == 2 && inTimeline_ && whole) {
            json::to_msgpack(parsed, bytes_);
            ends_.push_back(bytes_.size());
            return false;
        }
        return true;
    }

    std::size_t size() const { return ends_.size(); }
    json operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return json::from_msgpack(bytes_.begin() + static_cast<std::ptrdiff_t>(begin),
                                  bytes_.begin() + static_cast<std::ptrdiff_t>(ends_[i]));
    }

  private:
    bool inKey_ = false;
    bool inTimeline_ = false;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> ends_;
};

// The static name of a step kind that readAction() took.
const char* stepName(const std::string& kind) {
    static constexpr std::array<const char*, 17> kNames = {
        "enable",  "disable", "calibrate", "capture",        "abort",   "touch",
        "move",    "lift",    "tap",       "path",           "circle",  "wait",
        "setMode", "power",   "keys",      "keyboardDriver", "registry"};
    for (const char* name : kNames) {
        if (kind == name) {
            return name;
        }
    }
    return "";
}

std::vector<Step> readTimeline(const Reader& r, const json& value, const PackedSteps& packed,
                               const std::string& field, const sim::MachineConfig& machine) {
    if (!value.is_array() || packed.size() == 0) {
        r.fail(field, "must be a list of one or more steps");
    }
    std::vector<Step> steps;
    FingerCheck finger(r);
    steps.reserve(packed.size());
    for (std::size_t i = 0; i < packed.size(); ++i) {
        Step step;
        step.index = static_cast<std::uint32_t>(i);
        const std::string stepField = field + "[" + std::to_string(i) + "]";
        step.line = r.lineOf(stepField);
        const json element = packed[i];
        Object o(r, element, stepField);
        const std::string kind = r.text(o.require("step"), o.at("step"));
        o.find("note");  // free text for the reader of the file
        step.action = readAction(r, o, kind, machine);
        step.kind = stepName(kind);
        o.finish();
        finger.before(step);
        steps.push_back(std::move(step));
    }
    return steps;
}

// ---- Expectations ----

Expectations readExpectations(const Reader& r, const json& value, const std::string& field) {
    Expectations e;
    Object o(r, value, field);
    for (const auto& item : value.items()) {
        e.lines[item.key()] = r.lineOf(o.at(item.key()));
    }
    if (const json* v = o.find("enable")) {
        e.enableSucceeds =
            r.choice<bool>(*v, o.at("enable"), {{"succeeds", true}, {"fails", false}});
    }
    if (const json* v = o.find("calibration")) {
        e.calibration =
            r.choice<CalibrationOutcome>(*v, o.at("calibration"),
                                         {{"passes", CalibrationOutcome::Passes},
                                          {"fails", CalibrationOutcome::Fails},
                                          {"aborted", CalibrationOutcome::Aborted},
                                          {"incomplete", CalibrationOutcome::Incomplete}});
    }
    if (const json* v = o.find("capture")) {
        e.capture = r.choice<CaptureOutcome>(
            *v, o.at("capture"),
            {{"completes", CaptureOutcome::Completes}, {"fails", CaptureOutcome::Fails}});
    }
    auto count = [&](const char* key, std::optional<CountRange>& out) {
        if (const json* v = o.find(key)) {
            out = r.count(*v, o.at(key));
        }
    };
    count("samples", e.samples);
    count("touches", e.touches);
    count("clicks", e.clicks);
    count("cursorMoves", e.cursorMoves);
    count("kernelFaults", e.kernelFaults);
    count("keyboardBytes", e.keyboardBytes);
    if (const json* v = o.find("lastCursor")) {
        const sim::Point p = r.point(*v, o.at("lastCursor"));
        if (p.x != std::floor(p.x) || p.y != std::floor(p.y)) {
            r.fail(o.at("lastCursor"), "the cursor is placed on whole pixels");
        }
        e.lastCursor = windowing::Point{static_cast<int>(p.x), static_cast<int>(p.y)};
    }
    if (const json* v = o.find("clickFrequencyHz")) {
        e.clickFrequencyHz = r.real(*v, o.at("clickFrequencyHz"), 1, 1'193'180);
    }
    if (const json* v = o.find("clickLengthMs")) {
        Object c(r, *v, o.at("clickLengthMs"));
        if (const json* mean = c.find("mean")) {
            e.clickMeanLengthMs = r.realRange(*mean, c.at("mean"), kMaxMs);
        }
        if (const json* every = c.find("worst")) {
            e.clickLengthMs = r.realRange(*every, c.at("worst"), kMaxMs);
        }
        c.finish();
        if (!e.clickMeanLengthMs && !e.clickLengthMs) {
            r.fail(o.at("clickLengthMs"), "needs \"mean\", \"worst\" or both");
        }
    }
    if (const json* v = o.find("sampleRate")) {
        e.sampleRate = r.realRange(*v, o.at("sampleRate"), kMaxSampleRate);
    }
    if (const json* v = o.find("strokeErrorPx")) {
        Object s(r, *v, o.at("strokeErrorPx"));
        if (const json* mean = s.find("mean")) {
            e.strokeMeanErrorPx = r.real(*mean, s.at("mean"), 0, kMaxCoordinate);
        }
        if (const json* worst = s.find("worst")) {
            e.strokeWorstErrorPx = r.real(*worst, s.at("worst"), 0, kMaxCoordinate);
        }
        s.finish();
        if (!e.strokeMeanErrorPx && !e.strokeWorstErrorPx) {
            r.fail(o.at("strokeErrorPx"), "needs \"mean\", \"worst\" or both");
        }
    }
    o.finish();
    return e;
}

RegistrySettings readRegistry(const Reader& r, const json& value, const std::string& field,
                              const std::filesystem::path& directory) {
    RegistrySettings settings;
    Object o(r, value, field);
    if (const json* v = o.find("defines")) {
        if (!v->is_array()) {
            r.fail(o.at("defines"), "must be a list of names");
        }
        for (std::size_t i = 0; i < v->size(); ++i) {
            settings.defines.push_back(
                r.text((*v)[i], o.at("defines") + "[" + std::to_string(i) + "]"));
        }
    }
    if (const json* v = o.find("file")) {
        const std::filesystem::path given = r.text(*v, o.at("file"));
        const std::filesystem::path path = given.is_absolute() ? given : directory / given;
        settings.file = path.lexically_normal().string();
        std::string bytes;
        try {
            bytes = readFile(path);
        } catch (const ScenarioError&) {
            r.fail(o.at("file"), "cannot read " + settings.file);
        }
        try {
            settings.fileText = decodeRegText(bytes, settings.file);
            hosted::Registry().loadText(settings.fileText, settings.file, settings.defines);
        } catch (const ScenarioError& error) {
            r.fail(o.at("file"), error.what());
        } catch (const hosted::RegParseError& error) {
            r.fail(o.at("file"), error.what());
        }
    }
    if (const json* v = o.find("values")) {
        settings.values = readRegistryValues(r, *v, o.at("values"));
    }
    o.finish();
    return settings;
}

sim::MachineConfig readMachine(const Reader& r, const json& value, const std::string& field) {
    try {
        return sim::MachineConfig::fromJson(value, field);
    } catch (const sim::ConfigError& error) {
        r.fail(error.field().empty() ? field : error.field(), error.message());
    } catch (const std::exception& error) {
        // Whatever else the machine reader throws is still bad input here.
        r.fail(field, error.what());
    }
}

// The parser's message without its "[json.exception.kind.id] " tag.
std::string withoutExceptionTag(const std::string& what) {
    const std::size_t end = what.starts_with("[") ? what.find("] ") : std::string::npos;
    return end == std::string::npos ? what : what.substr(end + 2);
}

// The line where the text quoted in a parser message ('...') first appears,
// or 0 when the message quotes nothing found in the text.
int lineOfQuotedText(const std::string& text, const std::string& what) {
    const std::size_t open = what.find('\'');
    const std::size_t close = open == std::string::npos ? open : what.find('\'', open + 1);
    if (close == std::string::npos || close == open + 1) {
        return 0;
    }
    const std::size_t at = text.find(what.substr(open + 1, close - open - 1));
    return at == std::string::npos ? 0 : JsonLines::lineAt(text, at);
}

std::uint64_t readSeed(const Reader& r, const json& value, const std::string& field) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    r.fail(field, std::string("must be ") + kSeedRange);
}

}  // namespace

std::optional<std::uint64_t> parseSeed(const std::string& text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.front() == '-' || error != std::errc() || at != end) {
        return std::nullopt;
    }
    return value;
}

std::string Step::field() const {
    return "timeline[" + std::to_string(index) + "]";
}

ScenarioError::ScenarioError(std::string file, int line, std::string field, std::string message)
    : std::runtime_error(where(file, line, field, message)),
      file_(std::move(file)),
      line_(line),
      field_(std::move(field)),
      message_(std::move(message)) {}

bool CountRange::contains(std::uint64_t value) const {
    return (!atLeast || value >= *atLeast) && (!atMost || value <= *atMost);
}

std::string CountRange::describe() const {
    if (atLeast && atMost) {
        return *atLeast == *atMost ? "exactly " + std::to_string(*atLeast)
                                   : std::to_string(*atLeast) + " to " + std::to_string(*atMost);
    }
    return atLeast ? "at least " + std::to_string(*atLeast) : "at most " + std::to_string(*atMost);
}

bool RealRange::contains(double value) const {
    return (!atLeast || value >= *atLeast) && (!atMost || value <= *atMost);
}

std::string RealRange::describe(const std::string& unit) const {
    if (atLeast && atMost) {
        return number(*atLeast) + " to " + number(*atMost) + " " + unit;
    }
    return atLeast ? "at least " + number(*atLeast) + " " + unit
                   : "at most " + number(*atMost) + " " + unit;
}

std::string readFile(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw ScenarioError(path.string(), 0, "", "cannot read the file: it is a folder");
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path.string(), 0, "",
                            std::string("cannot read the file: ") +
                                (errno != 0 ? std::strerror(errno) : "cannot open it"));
    }
    // Read into one string of the file's size, not through a second copy:
    // a long scenario is megabytes.
    std::string text;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error) {
        text.reserve(static_cast<std::size_t>(size));
    }
    std::array<char, 1 << 16> block{};
    while (in.read(block.data(), block.size()), in.gcount() > 0) {
        text.append(block.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw ScenarioError(path.string(), 0, "", "cannot read the file");
    }
    return text;
}

Scenario parseScenario(const std::string& text, const std::string& file,
                       const std::filesystem::path& directory) {
    json document;
    PackedSteps steps;
    try {
        document = json::parse(text, [&steps](int depth, json::parse_event_t event, json& parsed) {
            return steps.take(depth, event, parsed);
        });
    } catch (const json::parse_error& error) {
        const std::size_t at = error.byte > 0 ? error.byte - 1 : 0;
        // The parser's own text repeats the place; keep what follows it.
        std::string what = error.what();
        const std::size_t place = what.find(", column ");
        const std::size_t reason = place == std::string::npos ? place : what.find(": ", place);
        if (reason != std::string::npos) {
            what = what.substr(reason + 2);
        }
        throw ScenarioError(file, JsonLines::lineAt(text, at), "",
                            "not valid JSON (column " +
                                std::to_string(JsonLines::columnAt(text, at)) + "): " + what);
    } catch (const json::exception& error) {
        // A number beyond every number type: the parser quotes it but gives
        // no place, so the place is that of the number's first appearance.
        throw ScenarioError(file, lineOfQuotedText(text, error.what()), "",
                            "not valid JSON: " + withoutExceptionTag(error.what()));
    }
    const Reader r(text, file);
    Scenario scenario;
    scenario.file = file;
    Object o(r, document, "");
    if (const json* v = o.find("name")) {
        scenario.name = r.text(*v, "name");
    }
    if (const json* v = o.find("description")) {
        scenario.description = r.text(*v, "description");
    }
    const json* seed = o.find("seed");
    if (seed != nullptr) {
        scenario.seed = readSeed(r, *seed, "seed");
    }
    if (const json* v = o.find("machine")) {
        scenario.machine = readMachine(r, *v, "machine");
        // The machine's own seed is the run's when the scenario gives none;
        // two different seeds are refused rather than one silently winning.
        if (v->is_object() && v->contains("seed")) {
            const std::uint64_t machineSeed = readSeed(r, v->at("seed"), "machine.seed");
            if (seed != nullptr && machineSeed != scenario.seed) {
                r.fail("machine.seed", "is " + std::to_string(machineSeed) + ", but \"seed\" is " +
                                           std::to_string(scenario.seed) + "; give the seed once");
            }
            scenario.seed = machineSeed;
        }
    }
    if (const json* v = o.find("registry")) {
        scenario.registry = readRegistry(r, *v, "registry", directory);
    }
    scenario.timeline = readTimeline(r, o.require("timeline"), steps, "timeline", scenario.machine);
    if (const json* v = o.find("expect")) {
        scenario.expect = readExpectations(r, *v, "expect");
    }
    o.finish();
    if (scenario.name.empty()) {
        scenario.name = std::filesystem::path(file).stem().string();
    }
    return scenario;
}

Scenario loadScenario(const std::filesystem::path& path) {
    const std::string text = readFile(path);
    if (const std::optional<std::string> foreign = foreignEncoding(text)) {
        throw ScenarioError(
            path.string(), 0, "",
            "seems to be " + *foreign + "; a scenario is JSON in UTF-8: save it as UTF-8");
    }
    return parseScenario(text, path.string(), path.parent_path());
}

}  // namespace touchsim
