#include "tools/touchsim/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

namespace touchsim {

namespace {

using hosted::Micros;

// A delivered sample reports where the finger was a little earlier: the
// report crosses the PS/2 wire and waits for the driver's next poll.  It is
// compared with the path of this long before its delivery.
constexpr Micros kReportLag = 100 * hosted::kMicrosPerMilli;
// Samples delivered this long after the lift still belong to the touch (the
// pen-up sample comes with the next poll).
constexpr Micros kLiftGrace = 100 * hosted::kMicrosPerMilli;

double distanceToSegment(sim::Point p, sim::Point a, sim::Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    double t = 0;
    if (length2 > 0) {
        t = std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length2, 0.0, 1.0);
    }
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

ClickStats clickStats(const ClickLog& clicks) {
    ClickStats stats;
    stats.count = clicks.size();
    if (clicks.empty()) {
        return stats;
    }
    stats.longestMs = clicks.longestMs();
    stats.lowestHz = clicks.lowestHz();
    stats.highestHz = clicks.highestHz();
    stats.meanFrequencyHz = clicks.frequencySum() / static_cast<double>(clicks.size());
    stats.meanLengthMs = clicks.lengthSumMs() / static_cast<double>(clicks.size());
    return stats;
}

constexpr Micros kForever = std::numeric_limits<Micros>::max();

}  // namespace

sim::Point samplePixel(const windowing::Sample& sample) {
    return sim::Point{quarterToPixel(sample.x), quarterToPixel(sample.y)};
}

std::optional<double> distanceToPath(const std::vector<TimedPoint>& path, sim::Point p, Micros from,
                                     Micros to) {
    // The first point at or after `from`; the finger was on the segment that
    // leads to it when the window opened.
    auto it = std::lower_bound(path.begin(), path.end(), from,
                               [](const TimedPoint& point, Micros t) { return point.time < t; });
    if (it == path.end()) {
        return std::nullopt;  // lifted before the window
    }
    if (it != path.begin() && it->time > from && !it->jumped) {
        --it;
    }
    std::optional<double> best;
    for (; it != path.end() && it->time <= to; ++it) {
        const auto next = std::next(it);
        double d = 0;
        if (next == path.end() || next->jumped || next->time == it->time) {
            if (it->time < from) {
                continue;  // a point before the window, where no segment leads on
            }
            d = std::hypot(p.x - it->at.x, p.y - it->at.y);
        } else {
            // The part of the segment travelled within the window.
            const double span = static_cast<double>(next->time - it->time);
            const double f0 =
                std::max(0.0, static_cast<double>(from) - static_cast<double>(it->time)) / span;
            const double f1 =
                std::min(1.0, (static_cast<double>(to) - static_cast<double>(it->time)) / span);
            const sim::Point a{it->at.x + (next->at.x - it->at.x) * f0,
                               it->at.y + (next->at.y - it->at.y) * f0};
            const sim::Point b{it->at.x + (next->at.x - it->at.x) * f1,
                               it->at.y + (next->at.y - it->at.y) * f1};
            d = distanceToSegment(p, a, b);
        }
        best = std::min(best.value_or(d), d);
    }
    return best;
}

struct Analyser::State {
    Sinks sinks;
    bool keepDeviations = false;

    // Calibrated spans: the ended ones, and the one still open.
    std::vector<CalibratedSpan> spans;
    std::optional<Micros> openFrom;
    // Finger strokes from index `base` on; a touch pressed at `pressed`
    // whose path is not known yet comes after them.
    std::deque<FingerStroke> strokes;
    std::size_t base = 0;
    std::optional<Micros> pressed;
    std::deque<windowing::Sample> held;

    Analysis figures;
    // The samples' figures so far.
    std::size_t intervals = 0;
    bool inTouch = false;
    bool headless = false;  // in a touch whose pen-down was not delivered
    Micros first = 0;
    Micros last = 0;
    // The stroke accuracy's so far.
    double sum = 0;
    std::optional<std::size_t> stroke;  // of the touch being delivered
    bool touchOpen = false;
    std::optional<std::size_t> lastCompared;
    std::optional<std::size_t> lastLeftOut;

    bool calibratedAt(Micros t) const {
        return (openFrom && *openFrom <= t) ||
               std::any_of(spans.begin(), spans.end(),
                           [t](const CalibratedSpan& span) { return span.contains(t); });
    }

    const FingerStroke& strokeAt(std::size_t index) const { return strokes[index - base]; }

    // The finger stroke that a delivered touch starting at `t` came from:
    // the last one pressed at or before `t`, if it was not lifted too long
    // before.  `open` tells that it is the touch whose path is not known yet.
    std::optional<std::size_t> strokeFor(Micros t, bool& open) const {
        open = pressed && *pressed <= t;
        if (open) {
            return std::nullopt;
        }
        const auto after =
            std::upper_bound(strokes.begin(), strokes.end(), t,
                             [](Micros time, const FingerStroke& s) { return time < s.down; });
        if (after == strokes.begin()) {
            return std::nullopt;
        }
        const std::size_t index = base + static_cast<std::size_t>(after - strokes.begin()) - 1;
        if (t > strokeAt(index).up + kLiftGrace) {
            return std::nullopt;
        }
        return index;
    }

    void endTouch() {
        if (inTouch) {
            figures.samples.penDownSeconds += static_cast<double>(last - first) / 1e6;
            inTouch = false;
        }
    }

    void count(const windowing::Sample& s, bool calibrated) {
        SampleStats& stats = figures.samples;
        ++stats.delivered;
        if (calibrated) {
            ++stats.calibrated;
        }
        if (s.penDown()) {
            endTouch();
            headless = false;
            ++stats.touches;
        } else if (!inTouch && (s.down() || headless)) {
            headless = s.down();
            ++stats.afterCapture;
            return;
        }
        if (!s.down()) {
            endTouch();
            return;
        }
        ++stats.downSamples;
        if (inTouch) {
            ++intervals;
        } else {
            inTouch = true;
            first = s.time;
        }
        last = s.time;
    }

    // Each delivered touch, from its pen-down sample to its pen-up sample, is
    // compared with the finger stroke it came from, when both its press and
    // its lift fell while the driver was calibrated.
    void compare(const windowing::Sample& s, std::size_t index) {
        if (!stroke) {
            return;
        }
        const FingerStroke& finger = strokeAt(*stroke);
        if (!calibratedAt(finger.down) || !calibratedAt(finger.up)) {
            return;
        }
        StrokeAccuracy& accuracy = figures.stroke;
        if (finger.offDisplay) {
            // The driver clamps to the display, so such samples say nothing
            // of its accuracy.
            if (lastLeftOut != stroke) {
                ++accuracy.offDisplay;
                lastLeftOut = stroke;
            }
            return;
        }
        const sim::Point at = samplePixel(s);
        const Micros from = s.time > kReportLag ? s.time - kReportLag : 0;
        const std::optional<double> d = distanceToPath(finger.path, at, from, s.time);
        if (!d) {
            return;
        }
        const SampleDeviation deviation{index, *stroke, at, *d};
        ++accuracy.samples;
        if (keepDeviations) {
            accuracy.deviations.push_back(deviation);
        }
        if (sinks.deviation) {
            sinks.deviation(deviation);
        }
        sum += *d;
        accuracy.worstPx = std::max(accuracy.worstPx.value_or(0), *d);
        if (lastCompared != stroke) {
            ++accuracy.strokes;
            lastCompared = stroke;
        }
    }

    // Takes in the held samples that `now` has settled, in order.
    void settle(Micros now) {
        while (!held.empty() && held.front().time < now) {
            const windowing::Sample& s = held.front();
            std::optional<std::size_t> next = stroke;
            if (s.penDown() || !touchOpen) {
                bool open = false;
                next = strokeFor(s.time, open);
                if (open) {
                    return;  // its touch's path is not known yet
                }
            }
            if (next && strokeAt(*next).up >= now) {
                return;  // whether the driver was calibrated at the lift is not settled
            }
            stroke = next;
            touchOpen = !s.penUp();
            const bool calibrated = calibratedAt(s.time);
            const std::size_t index = figures.samples.delivered;
            count(s, calibrated);
            compare(s, index);
            if (sinks.settled) {
                sinks.settled(s, calibrated);
            }
            forgetStrokesBefore(s.time);
            held.pop_front();
        }
    }

    // Later samples can belong only to the touch being delivered, the last
    // stroke pressed by `t`, or later ones.
    void forgetStrokesBefore(Micros t) {
        const auto after =
            std::upper_bound(strokes.begin(), strokes.end(), t,
                             [](Micros time, const FingerStroke& s) { return time < s.down; });
        if (after == strokes.begin()) {
            return;
        }
        std::size_t keep = base + static_cast<std::size_t>(after - strokes.begin()) - 1;
        if (stroke) {
            keep = std::min(keep, *stroke);
        }
        while (base < keep) {
            strokes.pop_front();
            ++base;
        }
    }
};

Analyser::Analyser(Sinks sinks, bool keepDeviations) : state_(std::make_unique<State>()) {
    state_->sinks = std::move(sinks);
    state_->keepDeviations = keepDeviations;
}

Analyser::~Analyser() = default;

void Analyser::calibrationSet(Micros from) {
    state_->openFrom = from;
}

void Analyser::calibrationEnded(Micros to) {
    if (state_->openFrom) {
        state_->spans.push_back(CalibratedSpan{*state_->openFrom, to});
        state_->openFrom.reset();
    }
}

void Analyser::press(Micros down) {
    state_->pressed = down;
}

void Analyser::stroke(const FingerStroke& stroke) {
    state_->pressed.reset();
    state_->strokes.push_back(stroke);
}

void Analyser::sample(const windowing::Sample& sample) {
    state_->held.push_back(sample);
    state_->settle(sample.time);
}

void Analyser::settle(Micros now) {
    state_->settle(now);
}

Analysis Analyser::finish(const ClickLog& clicks) {
    State& s = *state_;
    s.pressed.reset();
    s.settle(kForever);
    s.endTouch();
    SampleStats& stats = s.figures.samples;
    if (stats.penDownSeconds > 0) {
        stats.ratePerSecond = static_cast<double>(s.intervals) / stats.penDownSeconds;
    }
    StrokeAccuracy& accuracy = s.figures.stroke;
    if (accuracy.samples > 0) {
        accuracy.meanPx = s.sum / static_cast<double>(accuracy.samples);
    }
    s.figures.clicks = clickStats(clicks);
    return s.figures;
}

std::size_t Analyser::held() const {
    return state_->held.size() + state_->strokes.size();
}

Analysis analyse(const RunResult& run) {
    Analyser analyser({}, true);
    for (const CalibratedSpan& span : run.calibrated) {
        analyser.calibrationSet(span.from);
        analyser.calibrationEnded(span.to);
    }
    for (const FingerStroke& stroke : run.strokes) {
        analyser.stroke(stroke);
    }
    for (const windowing::Sample& sample : run.samples) {
        analyser.sample(sample);
    }
    return analyser.finish(run.clicks);
}

}  // namespace touchsim
