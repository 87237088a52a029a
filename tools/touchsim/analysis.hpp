// Figures drawn from a run: the samples delivered and their rate, how far
// the delivered touches lie from the finger's true path, and the clicks.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
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

struct StrokeAccuracy {
    std::size_t samples = 0;                  // compared
    std::vector<SampleDeviation> deviations;  // each of them, when the run kept them
    std::size_t strokes = 0;                  // touches compared (made while calibrated)
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

// The figures of a run drawn as it goes: samples in delivery order, finger
// strokes in the order pressed, calibrated spans as they open and close.  A
// sample is taken into the figures once virtual time has passed it (before
// then a calibration may still be set or ended at its instant) and, when it
// belongs to a touch, once that touch's lift is known and past; until then
// it is held, with the strokes that later samples may still belong to.
class Analyser {
  public:
    struct Sinks {
        std::function<void(const windowing::Sample&, bool calibrated)> settled;
        std::function<void(const SampleDeviation&)> deviation;
    };
    Analyser(Sinks sinks, bool keepDeviations);
    ~Analyser();
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    void calibrationSet(hosted::Micros from);  // samples from here on are screen quarter pixels
    void calibrationEnded(hosted::Micros to);  // ... until here
    void press(hosted::Micros down);           // a touch whose path is not known yet
    void stroke(const FingerStroke& stroke);   // a touch's whole path (ends a press)
    void sample(const windowing::Sample& sample);
    // Takes in what virtual time `now` has settled.
    void settle(hosted::Micros now);
    // Takes in everything held, and the clicks; call once.
    Analysis finish(const ClickLog& clicks);

    // Samples and strokes held, waiting to be taken in.
    std::size_t held() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The figures of a run whose samples and strokes were kept.
Analysis analyse(const RunResult& run);

// The distance from `p` to the path the finger travelled between `from` and
// `to` (jumps are not travelled); empty when the finger was nowhere then.
std::optional<double> distanceToPath(const std::vector<TimedPoint>& path, sim::Point p,
                                     hosted::Micros from, hosted::Micros to);

}  // namespace touchsim
