// Figures drawn from a run: the samples delivered and their rate, how far
// the delivered touches lie from the finger's true path, and the clicks.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "tools/touchsim/runner.hpp"

namespace touchsim {

// The screen position, in pixels, that a calibrated sample stands for.
sim::Point samplePixel(const windowing::Sample& sample);

struct SampleStats {
    std::size_t delivered = 0;    // every sample the callback received
    std::size_t touches = 0;      // pen-down samples (0x07)
    std::size_t downSamples = 0;  // samples with the pen down, in touches
    // Samples of a touch whose pen-down went to a calibration capture: the
    // rest of the hold (0x0F) and its pen-up (0x0D), delivered once the
    // capture completed.  They are in `delivered` but in no touch.
    std::size_t afterCapture = 0;
    std::size_t calibrated = 0;           // delivered while a calibration was set
    double penDownSeconds = 0;            // from the first to the last down sample of each touch
    std::optional<double> ratePerSecond;  // down samples a second while the pen was down
};

// One delivered sample compared with the finger.
struct SampleDeviation {
    std::size_t sample = 0;  // index into RunResult::samples
    std::size_t stroke = 0;  // index into RunResult::strokes
    sim::Point at;           // pixels
    double distancePx = 0;   // to the finger's path over the preceding 100 ms
};

struct StrokeAccuracy {
    std::vector<SampleDeviation> deviations;
    std::size_t strokes = 0;     // touches compared (made while calibrated)
    std::size_t offDisplay = 0;  // touches left out because the finger left the display
    std::optional<double> meanPx;
    std::optional<double> worstPx;
};

struct ClickStats {
    std::size_t count = 0;
    std::optional<double> meanFrequencyHz;
    std::optional<double> lowestHz;
    std::optional<double> highestHz;
    std::optional<double> meanLengthMs;
    std::optional<double> longestMs;
};

struct Analysis {
    SampleStats samples;
    StrokeAccuracy stroke;
    ClickStats clicks;
};

Analysis analyse(const RunResult& run);

// The distance from `p` to the path the finger travelled between `from` and
// `to` (jumps are not travelled); empty when the finger was nowhere then.
std::optional<double> distanceToPath(const std::vector<TimedPoint>& path, sim::Point p,
                                     hosted::Micros from, hosted::Micros to);

}  // namespace touchsim
