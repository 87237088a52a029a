#include "sim/touch_panel.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace sim {

namespace {

constexpr double kMaxStepSeconds = 86'400;  // one step of a script lasts at most a day

std::string at(Micros time) {
    return std::to_string(time) + " us";
}

bool finite(Point p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

void requireFinite(Point p, const char* step) {
    if (!finite(p)) {
        throw ScriptError(std::string(step) + ": the point is not finite");
    }
}

double distance(Point a, Point b) {
    return std::hypot(b.x - a.x, b.y - a.y);
}

int clampRaw(double value) {
    const double rounded = std::round(value);
    if (!(rounded > 0)) {  // NaN lands at 0 as well
        return 0;
    }
    return rounded >= kRawMax ? kRawMax : static_cast<int>(rounded);
}

}  // namespace

// ---- TouchScript ----

TouchScript::Stroke& TouchScript::current(const char* step) {
    if (!down_) {
        throw ScriptError(std::string(step) + " at " + at(time_) + ": the finger is not down");
    }
    return strokes_.back();
}

Micros TouchScript::travelTime(double length, double speed, const char* step) {
    if (!(speed > 0) || !std::isfinite(speed)) {
        throw ScriptError(std::string(step) + ": the speed must be above 0 pixels per second");
    }
    const double seconds = length / speed;
    if (seconds > kMaxStepSeconds) {
        throw ScriptError(std::string(step) + ": the step would take longer than a day");
    }
    return static_cast<Micros>(
        std::llround(seconds * static_cast<double>(hosted::kMicrosPerSecond)));
}

void TouchScript::addSegment(Micros duration, std::function<Point(Micros)> position,
                             Point endPoint) {
    Stroke& stroke = strokes_.back();
    stroke.segments.push_back(Segment{time_, time_ + duration, std::move(position)});
    time_ += duration;
    where_ = endPoint;
}

TouchScript& TouchScript::press(Micros when, Point p) {
    requireFinite(p, "press");
    if (down_) {
        throw ScriptError("press at " + at(when) + ": the finger is already down");
    }
    if (when < time_) {
        throw ScriptError("press at " + at(when) + " lies before the script time " + at(time_));
    }
    time_ = when;
    down_ = true;
    strokes_.push_back(Stroke{when, kNever, {}});
    addSegment(
        0, [p](Micros) { return p; }, p);
    return *this;
}

TouchScript& TouchScript::hold(Micros duration) {
    if (!down_) {
        time_ += duration;
        return *this;
    }
    const Point here = where_;
    addSegment(
        duration, [here](Micros) { return here; }, here);
    return *this;
}

TouchScript& TouchScript::moveTo(Point p, double speed) {
    requireFinite(p, "move");
    current("move");
    const Point from = where_;
    const Micros duration = travelTime(distance(from, p), speed, "move");
    const Micros start = time_;
    if (duration == 0) {
        addSegment(
            0, [p](Micros) { return p; }, p);
        return *this;
    }
    addSegment(
        duration,
        [from, p, start, duration](Micros t) {
            const double f = static_cast<double>(t - start) / static_cast<double>(duration);
            return Point{from.x + (p.x - from.x) * f, from.y + (p.y - from.y) * f};
        },
        p);
    return *this;
}

TouchScript& TouchScript::path(const std::vector<Point>& points, double speed) {
    for (const Point& p : points) {
        moveTo(p, speed);
    }
    return *this;
}

TouchScript& TouchScript::circle(Point centre, double turns, double speed) {
    requireFinite(centre, "circle");
    current("circle");
    if (!std::isfinite(turns)) {
        throw ScriptError("circle: the number of turns is not finite");
    }
    const Point from = where_;
    const double radius = distance(centre, from);
    if (radius == 0) {
        throw ScriptError("circle at " + at(time_) + ": the finger is at the centre (radius 0)");
    }
    const double startAngle = std::atan2(from.y - centre.y, from.x - centre.x);
    const double sweep = 2 * std::numbers::pi * turns;
    const Micros duration = travelTime(std::abs(sweep) * radius, speed, "circle");
    const Micros start = time_;
    auto position = [=](Micros t) {
        const double f =
            duration == 0 ? 1.0 : static_cast<double>(t - start) / static_cast<double>(duration);
        const double angle = startAngle + sweep * f;
        return Point{centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle)};
    };
    addSegment(duration, position, position(start + duration));
    return *this;
}

TouchScript& TouchScript::lift() {
    Stroke& stroke = current("lift");
    if (time_ == stroke.down) {
        throw ScriptError("lift at " + at(time_) + ": a touch lasts at least 1 us");
    }
    stroke.up = time_;
    down_ = false;
    return *this;
}

TouchScript& TouchScript::tap(Micros when, Point p, Micros duration) {
    return press(when, p).hold(duration).lift();
}

// ---- TouchPanel ----

TouchPanel::TouchPanel(hosted::DeviceContext& context, PanelConfig config)
    : context_(context), config_(config), random_(config.seed) {
    const PanelMap& m = config_.map;
    if (config_.displayWidth < 1 || config_.displayHeight < 1) {
        throw std::invalid_argument("touch panel: the display size must be at least 1 x 1");
    }
    for (double v :
         {m.scaleX, m.scaleY, m.offsetX, m.offsetY, m.rotationDegrees, m.skew, config_.noise}) {
        if (!std::isfinite(v)) {
            throw std::invalid_argument("touch panel: a map value is not finite");
        }
    }
    if (m.scaleX == 0 || m.scaleY == 0) {
        throw std::invalid_argument("touch panel: a scale of 0 maps every pixel to one value");
    }
    const double radians = m.rotationDegrees * std::numbers::pi / 180;
    cos_ = std::cos(radians);
    sin_ = std::sin(radians);
}

TouchPanel::~TouchPanel() {
    for (hosted::DeviceEventId id : events_) {
        context_.cancel(id);
    }
}

Point TouchPanel::toRaw(Point pixel) const {
    const PanelMap& m = config_.map;
    const double cx = config_.displayWidth / 2.0;
    const double cy = config_.displayHeight / 2.0;
    const double dx = pixel.x - cx;
    const double dy = pixel.y - cy;
    double x = cos_ * dx - sin_ * dy;
    const double y = sin_ * dx + cos_ * dy;
    x += m.skew * y;
    Point raw{m.scaleX * (x + cx) + m.offsetX, m.scaleY * (y + cy) + m.offsetY};
    if (m.swapAxes) {
        std::swap(raw.x, raw.y);
    }
    if (m.mirrorX) {
        raw.x = kRawMax - raw.x;
    }
    if (m.mirrorY) {
        raw.y = kRawMax - raw.y;
    }
    return raw;
}

Point TouchPanel::toPixel(Point raw) const {
    const PanelMap& m = config_.map;
    if (m.mirrorX) {
        raw.x = kRawMax - raw.x;
    }
    if (m.mirrorY) {
        raw.y = kRawMax - raw.y;
    }
    if (m.swapAxes) {
        std::swap(raw.x, raw.y);
    }
    const double cx = config_.displayWidth / 2.0;
    const double cy = config_.displayHeight / 2.0;
    const double y = (raw.y - m.offsetY) / m.scaleY - cy;
    const double x = (raw.x - m.offsetX) / m.scaleX - cx - m.skew * y;
    return Point{cos_ * x + sin_ * y + cx, -sin_ * x + cos_ * y + cy};
}

RawPoint TouchPanel::toRawClamped(Point pixel) const {
    const Point raw = toRaw(pixel);
    return RawPoint{clampRaw(raw.x), clampRaw(raw.y)};
}

const TouchPanel::Stroke* TouchPanel::active() const {
    const Micros now = context_.now();
    for (const Stroke& stroke : strokes_) {
        if (stroke.down <= now && now < stroke.up) {
            return &stroke;
        }
    }
    return nullptr;
}

bool TouchPanel::touching() const {
    return active() != nullptr;
}

std::optional<Point> TouchPanel::finger() const {
    const Stroke* stroke = active();
    if (stroke == nullptr) {
        return std::nullopt;
    }
    const Micros now = context_.now();
    const TouchScript::Segment* segment = &stroke->segments.front();
    for (const TouchScript::Segment& s : stroke->segments) {
        if (s.start <= now) {
            segment = &s;
        }
    }
    return segment->at(std::min(now, segment->end));
}

std::optional<RawPoint> TouchPanel::sample() {
    const std::optional<Point> where = finger();
    if (!where) {
        return std::nullopt;
    }
    Point raw = toRaw(*where);
    if (config_.noise > 0) {
        raw.x += config_.noise * gauss_(random_);
        raw.y += config_.noise * gauss_(random_);
    }
    return RawPoint{clampRaw(raw.x), clampRaw(raw.y)};
}

void TouchPanel::checkFree(Micros down, Micros up, const char* step) const {
    for (const Stroke& other : strokes_) {
        if (down < other.up && other.down < up) {
            throw ScriptError(std::string(step) + ": a touch from " + at(down) +
                              " overlaps the touch from " + at(other.down));
        }
    }
}

void TouchPanel::play(const TouchScript& script) {
    const Micros now = context_.now();
    const std::vector<Stroke>& strokes = script.strokes();
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        if (strokes[i].down < now) {
            throw ScriptError("play: the touch at " + at(strokes[i].down) +
                              " lies before the present " + at(now));
        }
        checkFree(strokes[i].down, strokes[i].up, "play");
    }
    for (const Stroke& stroke : strokes) {
        strokes_.push_back(stroke);
        events_.push_back(context_.schedule(stroke.down, [this] { onDown(); }));
        if (stroke.up != kNever) {
            events_.push_back(context_.schedule(stroke.up, [this] { onUp(); }));
        }
    }
}

void TouchPanel::press(Point p) {
    requireFinite(p, "press");
    const Micros now = context_.now();
    if (touching()) {
        throw ScriptError("press at " + at(now) + ": the finger is already down");
    }
    checkFree(now, kNever, "press");
    strokes_.push_back(Stroke{now, kNever, {{now, now, [p](Micros) { return p; }}}});
    onDown();
}

TouchPanel::Stroke& TouchPanel::activeOpen(const char* step) {
    const Micros now = context_.now();
    for (Stroke& stroke : strokes_) {
        if (stroke.down <= now && now < stroke.up) {
            if (stroke.up != kNever || stroke.segments.back().end > now) {
                throw ScriptError(std::string(step) + " at " + at(now) +
                                  ": a script moves the finger now");
            }
            return stroke;
        }
    }
    throw ScriptError(std::string(step) + " at " + at(now) + ": the finger is not down");
}

void TouchPanel::moveTo(Point p) {
    requireFinite(p, "move");
    Stroke& stroke = activeOpen("move");
    const Micros now = context_.now();
    stroke.segments.push_back({now, now, [p](Micros) { return p; }});
}

void TouchPanel::lift() {
    Stroke& stroke = activeOpen("lift");
    stroke.up = context_.now();
    onUp();
}

void TouchPanel::onDown() {
    if (listener_ != nullptr) {
        listener_->fingerDown();
    }
}

void TouchPanel::onUp() {
    // Strokes that have ended are of no further use.
    const Micros now = context_.now();
    std::erase_if(strokes_, [now](const Stroke& s) { return s.up <= now; });
    if (listener_ != nullptr) {
        listener_->fingerUp();
    }
}

}  // namespace sim
