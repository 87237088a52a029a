#include "tools/touchsim/analysis.hpp"

#include <algorithm>
#include <cmath>

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

SampleStats sampleStats(const RunResult& run) {
    SampleStats stats;
    stats.delivered = run.samples.size();
    std::size_t intervals = 0;
    bool inTouch = false;
    Micros first = 0;
    Micros last = 0;
    auto endTouch = [&] {
        if (inTouch) {
            stats.penDownSeconds += static_cast<double>(last - first) / 1e6;
            inTouch = false;
        }
    };
    bool headless = false;  // in a touch whose pen-down was not delivered
    for (const windowing::Sample& s : run.samples) {
        if (run.calibratedAt(s.time)) {
            ++stats.calibrated;
        }
        if (s.penDown()) {
            endTouch();
            headless = false;
            ++stats.touches;
        } else if (!inTouch && (s.down() || headless)) {
            headless = s.down();
            ++stats.afterCapture;
            continue;
        }
        if (!s.down()) {
            endTouch();
            continue;
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
    endTouch();
    if (stats.penDownSeconds > 0) {
        stats.ratePerSecond = static_cast<double>(intervals) / stats.penDownSeconds;
    }
    return stats;
}

// The finger stroke that a delivered touch starting at `t` came from: the
// last one pressed at or before `t`, if it was not lifted too long before.
std::optional<std::size_t> strokeAt(const RunResult& run, Micros t) {
    const auto after = std::upper_bound(
        run.strokes.begin(), run.strokes.end(), t,
        [](Micros time, const FingerStroke& stroke) { return time < stroke.down; });
    if (after == run.strokes.begin()) {
        return std::nullopt;
    }
    const std::size_t index = static_cast<std::size_t>(after - run.strokes.begin()) - 1;
    if (t > run.strokes[index].up + kLiftGrace) {
        return std::nullopt;
    }
    return index;
}

// Each delivered touch, from its pen-down sample to its pen-up sample, is
// compared with the finger stroke it came from, when both its press and its
// lift fell while the driver was calibrated.
StrokeAccuracy strokeAccuracy(const RunResult& run) {
    StrokeAccuracy accuracy;
    double sum = 0;
    std::optional<std::size_t> stroke;  // of the touch being delivered
    bool touchOpen = false;
    std::vector<bool> compared(run.strokes.size(), false);
    std::vector<bool> leftOut(run.strokes.size(), false);
    for (std::size_t i = 0; i < run.samples.size(); ++i) {
        const windowing::Sample& s = run.samples[i];
        if (s.penDown() || !touchOpen) {
            stroke = strokeAt(run, s.time);
            touchOpen = true;
        }
        if (s.penUp()) {
            touchOpen = false;
        }
        if (!stroke) {
            continue;
        }
        const FingerStroke& finger = run.strokes[*stroke];
        if (!run.calibratedAt(finger.down) || !run.calibratedAt(finger.up)) {
            continue;
        }
        if (finger.offDisplay) {
            // The driver clamps to the display, so such samples say nothing
            // of its accuracy.
            leftOut[*stroke] = true;
            continue;
        }
        const sim::Point at = samplePixel(s);
        const Micros from = s.time > kReportLag ? s.time - kReportLag : 0;
        const std::optional<double> d = distanceToPath(finger.path, at, from, s.time);
        if (!d) {
            continue;
        }
        accuracy.deviations.push_back(SampleDeviation{i, *stroke, at, *d});
        sum += *d;
        accuracy.worstPx = std::max(accuracy.worstPx.value_or(0), *d);
        compared[*stroke] = true;
    }
    accuracy.strokes = static_cast<std::size_t>(std::count(compared.begin(), compared.end(), true));
    accuracy.offDisplay =
        static_cast<std::size_t>(std::count(leftOut.begin(), leftOut.end(), true));
    if (!accuracy.deviations.empty()) {
        accuracy.meanPx = sum / static_cast<double>(accuracy.deviations.size());
    }
    return accuracy;
}

ClickStats clickStats(const RunResult& run) {
    ClickStats stats;
    stats.count = run.clicks.size();
    if (run.clicks.empty()) {
        return stats;
    }
    double frequencies = 0;
    double lengths = 0;
    for (const sim::Click& click : run.clicks) {
        frequencies += click.frequency;
        lengths += static_cast<double>(click.length) / 1e3;
        stats.longestMs =
            std::max(stats.longestMs.value_or(0), static_cast<double>(click.length) / 1e3);
        stats.lowestHz = std::min(stats.lowestHz.value_or(click.frequency), click.frequency);
        stats.highestHz = std::max(stats.highestHz.value_or(click.frequency), click.frequency);
    }
    stats.meanFrequencyHz = frequencies / static_cast<double>(run.clicks.size());
    stats.meanLengthMs = lengths / static_cast<double>(run.clicks.size());
    return stats;
}

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

Analysis analyse(const RunResult& run) {
    return Analysis{sampleStats(run), strokeAccuracy(run), clickStats(run)};
}

}  // namespace touchsim
