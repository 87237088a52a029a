// The files a run leaves in its output folder.
//
//   samples.csv      every delivered sample: virtual time, flags, position
//   summary.json     the summary (report.hpp)
//   calibration.svg  the last calibration: targets, captured points mapped back
//                    through the new calibration, residual arrows
//   stroke.svg       the finger's true path against the delivered samples
//   clicks.wav       the PC speaker over the whole run
//   trace.txt, ports.csv   the kernel and port traces (--trace)
//
// Every writer throws ScenarioError naming the file when it cannot write.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/touchsim/analysis.hpp"
#include "windowing/session.hpp"

namespace touchsim {

void writeText(const std::filesystem::path& path, const std::string& text);
// Writes the file straight from `write`, so that a large one is never held
// whole in memory.
void writeFile(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

// samples.csv: the header, then a row per sample, written as the samples settle.
void writeSamplesHeader(std::ostream& out);
void writeSampleRow(std::ostream& out, const windowing::Sample& sample, bool calibrated);
// The whole of it, from a run that kept its samples.
void writeSamplesCsv(std::ostream& out, const RunResult& run);
std::string samplesCsv(const RunResult& run);
std::string calibrationSvg(const CalibrationRecord& record, const sim::DisplayConfig& display);

// The drawing of stroke.svg, made while the run goes: each finger stroke and
// each compared sample is drawn once it is known, into two scratch streams
// (files beside the SVG, or memory), and the SVG is put together at the end,
// when its title's figures are known.  A path is thinned to the points a
// pixel or more apart (and each stretch's last), and a stroke or dot drawn
// exactly as one already drawn is left out, so that a long run of the same
// touches does not grow the drawing.
class StrokeDrawing {
  public:
    // In memory.
    explicit StrokeDrawing(const sim::DisplayConfig& display);
    // Scratch files `scratch`.paths and `scratch`.dots, removed at the end.
    StrokeDrawing(const sim::DisplayConfig& display, const std::filesystem::path& scratch);
    ~StrokeDrawing();
    StrokeDrawing(const StrokeDrawing&) = delete;
    StrokeDrawing& operator=(const StrokeDrawing&) = delete;

    void stroke(const FingerStroke& stroke);
    void sample(const SampleDeviation& deviation);
    std::size_t strokes() const { return strokes_; }  // drawn or left out as drawn before
    // The SVG: title, the strokes, the samples over them.
    void write(std::ostream& svg, const Analysis& analysis);

  private:
    bool firstTime(const std::string& drawing);

    sim::DisplayConfig display_;
    std::vector<std::filesystem::path> scratch_;
    std::unique_ptr<std::iostream> paths_;
    std::unique_ptr<std::iostream> dots_;
    std::unordered_set<std::size_t> drawn_;  // hashes of the strokes and dots drawn
    std::size_t strokes_ = 0;
};

// stroke.svg of a run that kept its strokes and compared samples.
std::string strokeSvg(const RunResult& run, const Analysis& analysis,
                      const sim::DisplayConfig& display);
std::string portTraceCsv(const std::vector<hosted::PortAccess>& accesses);

// clicks.wav, the speaker's sound, written while the clicks come.
class ClicksWav {
  public:
    explicit ClicksWav(const std::filesystem::path& path);  // throws ScenarioError
    ~ClicksWav();
    ClicksWav(const ClicksWav&) = delete;
    ClicksWav& operator=(const ClicksWav&) = delete;

    // Called from the board (a port write): never throws; a failure to
    // write is kept for finish().
    void heard(const sim::Click& click);
    // The sound from virtual time 0 to `end`; throws ScenarioError.
    void finish(hosted::Micros end);

  private:
    std::filesystem::path path_;
    std::unique_ptr<sim::WavWriter> writer_;
    std::optional<std::string> failure_;
};

}  // namespace touchsim
