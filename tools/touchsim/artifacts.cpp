#include "tools/touchsim/artifacts.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace touchsim {

namespace {

constexpr double kPlotWidth = 800;  // SVG units across the display
constexpr double kMargin = 40;      // around the display, for titles
// Residual lines are drawn magnified by the largest of these that keeps every
// dot on the display.
constexpr std::array<double, 5> kMagnifications = {20, 10, 5, 2, 1};

std::string num(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Pixel coordinates on the display to SVG units.
class PlotScale {
  public:
    explicit PlotScale(const sim::DisplayConfig& display) : scale_(kPlotWidth / display.width) {}
    double x(double px) const { return kMargin + px * scale_; }
    double y(double py) const { return kMargin + py * scale_; }
    double factor() const { return scale_; }  // SVG units per pixel

  private:
    double scale_;
};

// An SVG picture of the display: pixel coordinates in, SVG units out.
class DisplayPlot {
  public:
    DisplayPlot(std::ostream& out, const sim::DisplayConfig& display)
        : out_(out),
          width_px_(display.width),
          height_px_(display.height),
          scale_(display),
          width_(kPlotWidth + 2 * kMargin),
          height_(display.height * scale_.factor() + 3 * kMargin) {
        const double displayWidth = display.width * scale_.factor();
        const double displayHeight = display.height * scale_.factor();
        out_ << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(width_)
             << "\" height=\"" << num(height_) << "\" viewBox=\"0 0 " << num(width_) << " "
             << num(height_) << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
             << "<rect width=\"" << num(width_) << "\" height=\"" << num(height_)
             << "\" fill=\"white\" stroke=\"none\"/>\n"
             << "<rect x=\"" << num(kMargin) << "\" y=\"" << num(kMargin) << "\" width=\""
             << num(displayWidth) << "\" height=\"" << num(displayHeight)
             << "\" fill=\"#f4f4f4\" stroke=\"#888\"/>\n"
             << "<clipPath id=\"display\"><rect x=\"" << num(kMargin) << "\" y=\"" << num(kMargin)
             << "\" width=\"" << num(displayWidth) << "\" height=\"" << num(displayHeight)
             << "\"/></clipPath>\n";
        bottom_ = kMargin + displayHeight;
    }

    double x(double px) const { return scale_.x(px); }
    bool onDisplay(double px, double py) const {
        return px >= 0 && py >= 0 && px <= width_px_ && py <= height_px_;
    }
    double y(double py) const { return scale_.y(py); }
    double scale() const { return scale_.factor(); }

    void title(const std::string& text) {
        out_ << "<text x=\"" << num(kMargin) << "\" y=\"" << num(kMargin - 14)
             << "\" font-size=\"15\" font-weight=\"bold\">" << escape(text) << "</text>\n";
    }
    // A line of explanation under the display; the first goes right under
    // it, each further one below the one before.
    void note(const std::string& text) {
        out_ << "<text x=\"" << num(kMargin) << "\" y=\"" << num(bottom_ + 22 + 17 * notes_++)
             << "\">" << escape(text) << "</text>\n";
    }
    std::ostream& raw() { return out_; }
    // What is drawn between these is cut off at the display's edge.
    void beginClip() { out_ << "<g clip-path=\"url(#display)\">\n"; }
    void endClip() { out_ << "</g>\n"; }

    void finish() { out_ << "</svg>\n"; }

  private:
    std::ostream& out_;
    double width_px_;
    double height_px_;
    PlotScale scale_;
    double width_;
    double height_;
    double bottom_ = 0;
    int notes_ = 0;
};

std::string flagsText(DWORD flags) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%02X", static_cast<unsigned>(flags));
    return buffer;
}

}  // namespace

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw ScenarioError(path.string(), 0, "",
                            std::string("cannot write: ") + std::strerror(errno));
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        throw ScenarioError(
            path.string(), 0, "",
            std::string("cannot write: ") + std::strerror(written ? errno : writeError));
    }
}

void writeFile(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write) {
    std::ofstream out(path, std::ios::binary);
    if (!out) {
        throw ScenarioError(path.string(), 0, "",
                            std::string("cannot write: ") + std::strerror(errno));
    }
    write(out);
    out.close();
    if (!out) {
        throw ScenarioError(path.string(), 0, "",
                            std::string("cannot write: ") + std::strerror(errno));
    }
}

void writeSamplesHeader(std::ostream& out) {
    out << "time_ms,flags,x,y,unit\n";
}

void writeSampleRow(std::ostream& out, const windowing::Sample& s, bool calibrated) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%.3f,%s,%d,%d,%s\n", static_cast<double>(s.time) / 1000.0,
                  flagsText(s.flags).c_str(), s.x, s.y, calibrated ? "quarter-pixel" : "raw");
    out << buffer;
}

void writeSamplesCsv(std::ostream& out, const RunResult& run) {
    writeSamplesHeader(out);
    for (const windowing::Sample& s : run.samples) {
        writeSampleRow(out, s, run.calibratedAt(s.time));
    }
}

std::string samplesCsv(const RunResult& run) {
    std::ostringstream out;
    writeSamplesCsv(out, run);
    return out.str();
}

// The largest magnification at which every target's residual line ends on
// the display.
double magnification(const CalibrationRecord& record, const DisplayPlot& plot) {
    const windowing::CalibrationReport& r = record.report;
    for (const double m : kMagnifications) {
        bool fits = true;
        for (std::size_t i = 0; i < r.points.size() && i < record.mapped.size(); ++i) {
            const sim::Point target{static_cast<double>(r.points[i].target.x),
                                    static_cast<double>(r.points[i].target.y)};
            fits = fits && plot.onDisplay(target.x + (record.mapped[i].x - target.x) * m,
                                          target.y + (record.mapped[i].y - target.y) * m);
        }
        if (fits) {
            return m;
        }
    }
    return kMagnifications.back();
}

std::string calibrationSvg(const CalibrationRecord& record, const sim::DisplayConfig& display) {
    const windowing::CalibrationReport& r = record.report;
    std::ostringstream text;
    DisplayPlot plot(text, display);
    const double magnified = magnification(record, plot);
    std::string title = "Calibration ";
    if (r.calibrationSet) {
        title += std::string(r.passed() ? "passed" : "failed") + ": worst " + num(r.worstResidual) +
                 " px at target " + std::to_string(r.worstPoint) + ", tolerance " +
                 std::to_string(record.tolerancePx) + " px";
    } else {
        title += r.aborted ? "aborted" : "not completed";
    }
    plot.title(title);
    std::ostream& out = plot.raw();
    for (std::size_t i = 0; i < r.points.size(); ++i) {
        const windowing::CalibrationPointResult& p = r.points[i];
        const double tx = plot.x(p.target.x);
        const double ty = plot.y(p.target.y);
        // The target, as the screen drew it.
        out << "<g stroke=\"#333\" stroke-width=\"1.5\"><line x1=\"" << num(tx - 12) << "\" y1=\""
            << num(ty) << "\" x2=\"" << num(tx + 12) << "\" y2=\"" << num(ty) << "\"/><line x1=\""
            << num(tx) << "\" y1=\"" << num(ty - 12) << "\" x2=\"" << num(tx) << "\" y2=\""
            << num(ty + 12) << "\"/></g>\n";
        if (p.pressed != p.target) {
            out << "<circle cx=\"" << num(plot.x(p.pressed.x)) << "\" cy=\""
                << num(plot.y(p.pressed.y)) << "\" r=\"5\" fill=\"none\" stroke=\"#d08000\"/>\n";
        }
        std::string label = std::to_string(p.index);
        if (i < record.mapped.size()) {
            // Where the new calibration puts the captured touch, with the
            // residual drawn from the target, magnified.
            const sim::Point m = record.mapped[i];
            const double mx = tx + (m.x - p.target.x) * plot.scale() * magnified;
            const double my = ty + (m.y - p.target.y) * plot.scale() * magnified;
            const char* colour = p.residual < record.tolerancePx ? "#1a7f37" : "#cf222e";
            plot.beginClip();  // a dot off the display even unmagnified is cut at its edge
            out << "<line x1=\"" << num(tx) << "\" y1=\"" << num(ty) << "\" x2=\"" << num(mx)
                << "\" y2=\"" << num(my) << "\" stroke=\"" << colour
                << "\" stroke-width=\"2\"/>\n<circle cx=\"" << num(mx) << "\" cy=\"" << num(my)
                << "\" r=\"4\" fill=\"" << colour << "\"/>\n";
            plot.endClip();
            label += ": " + num(record.residualsPx[i]) + " px";
        } else if (p.capture.result == FALSE) {
            label += ": not captured";
        }
        out << "<text x=\"" << num(tx + 10) << "\" y=\"" << num(ty + 24) << "\">" << escape(label)
            << "</text>\n";
    }
    plot.note(
        "Crosses: the targets. Dots: the captured touches mapped through the new "
        "calibration, green within the tolerance, red not.");
    plot.note("Lines from each target to its dot are " +
              (magnified == 1 ? std::string("the residual, unmagnified")
                              : std::to_string(static_cast<int>(magnified)) +
                                    " times the residual (the most that keeps every dot on the "
                                    "display)") +
              ". Orange circles: where the finger pressed, when off target.");
    plot.finish();
    return text.str();
}

StrokeDrawing::StrokeDrawing(const sim::DisplayConfig& display)
    : display_(display),
      paths_(std::make_unique<std::stringstream>()),
      dots_(std::make_unique<std::stringstream>()) {}

StrokeDrawing::StrokeDrawing(const sim::DisplayConfig& display,
                             const std::filesystem::path& scratch)
    : display_(display) {
    constexpr auto kMode = std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary;
    for (const char* suffix : {".paths", ".dots"}) {
        std::filesystem::path file = scratch;
        file += suffix;
        auto stream = std::make_unique<std::fstream>(file, kMode);
        if (!*stream) {
            throw ScenarioError(file.string(), 0, "",
                                std::string("cannot write: ") + std::strerror(errno));
        }
        scratch_.push_back(file);
        (paths_ ? dots_ : paths_) = std::move(stream);
    }
}

StrokeDrawing::~StrokeDrawing() {
    paths_.reset();
    dots_.reset();
    for (const std::filesystem::path& file : scratch_) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
}

bool StrokeDrawing::firstTime(const std::string& drawing) {
    // Enough to leave out the repeats of a long run's touches; past it every
    // drawing is drawn, so that memory stays bounded.
    constexpr std::size_t kRemembered = 1 << 16;
    const std::size_t hash = std::hash<std::string>{}(drawing);
    if (drawn_.count(hash) != 0) {
        return false;
    }
    if (drawn_.size() < kRemembered) {
        drawn_.insert(hash);
    }
    return true;
}

void StrokeDrawing::stroke(const FingerStroke& stroke) {
    // A point closer than this to the last one drawn adds nothing to a line
    // 6 units wide.
    constexpr double kThinPx = 1;
    ++strokes_;
    const PlotScale plot(display_);
    std::ostringstream out;
    // One polyline per stretch the finger travelled; a jump starts another.
    const char* polyline =
        "<polyline fill=\"none\" stroke=\"#7fb2f0\" stroke-width=\"6\" "
        "stroke-linecap=\"round\" stroke-linejoin=\"round\" points=\"";
    out << polyline;
    const std::vector<TimedPoint>& path = stroke.path;
    std::optional<sim::Point> kept;  // the last point drawn in this stretch
    for (std::size_t i = 0; i < path.size(); ++i) {
        const sim::Point at = path[i].at;
        if (path[i].jumped) {
            out << "\"/>\n" << polyline;
            kept.reset();
        }
        const bool stretchEnds = i + 1 == path.size() || path[i + 1].jumped;
        if (kept && !stretchEnds && std::hypot(at.x - kept->x, at.y - kept->y) < kThinPx) {
            continue;
        }
        out << num(plot.x(at.x)) << "," << num(plot.y(at.y)) << " ";
        kept = at;
    }
    out << "\"/>\n";
    if (path.size() == 1) {
        out << "<circle cx=\"" << num(plot.x(path[0].at.x)) << "\" cy=\""
            << num(plot.y(path[0].at.y)) << "\" r=\"5\" fill=\"#7fb2f0\" stroke=\"none\"/>\n";
    }
    const std::string drawing = out.str();
    if (firstTime(drawing)) {
        *paths_ << drawing;
    }
}

void StrokeDrawing::sample(const SampleDeviation& deviation) {
    const PlotScale plot(display_);
    std::ostringstream out;
    out << "<circle cx=\"" << num(plot.x(deviation.at.x)) << "\" cy=\""
        << num(plot.y(deviation.at.y)) << "\" r=\"1.6\" fill=\"#d1242f\" stroke=\"none\"/>\n";
    const std::string dot = out.str();
    if (firstTime(dot)) {
        *dots_ << dot;
    }
}

void StrokeDrawing::write(std::ostream& svg, const Analysis& analysis) {
    DisplayPlot plot(svg, display_);
    std::string title = "Stroke";
    if (analysis.stroke.meanPx) {
        title += ": mean error " + num(*analysis.stroke.meanPx) + " px, worst " +
                 num(*analysis.stroke.worstPx) + " px over " +
                 std::to_string(analysis.stroke.samples) + " samples";
    } else {
        title += ": no touch delivered while calibrated";
    }
    plot.title(title);
    plot.beginClip();
    for (std::iostream* part : {paths_.get(), dots_.get()}) {
        part->flush();
        if (part->tellp() > 0) {
            part->seekg(0);
            svg << part->rdbuf();
        }
        if (!*part) {
            throw ScenarioError(scratch_.empty() ? "stroke.svg" : scratch_.front().string(), 0, "",
                                "cannot read the drawing back");
        }
    }
    plot.endClip();
    plot.note(
        "Blue: the finger's true path. Red: the samples the driver delivered while "
        "calibrated, in pixels.");
    plot.finish();
}

std::string strokeSvg(const RunResult& run, const Analysis& analysis,
                      const sim::DisplayConfig& display) {
    StrokeDrawing drawing(display);
    for (const FingerStroke& stroke : run.strokes) {
        drawing.stroke(stroke);
    }
    for (const SampleDeviation& d : analysis.stroke.deviations) {
        drawing.sample(d);
    }
    std::ostringstream out;
    drawing.write(out, analysis);
    return out.str();
}

std::string portTraceCsv(const std::vector<hosted::PortAccess>& accesses) {
    std::string text = "time_ms,access,port,value\n";
    for (const hosted::PortAccess& a : accesses) {
        char buffer[80];
        std::snprintf(buffer, sizeof buffer, "%.3f,%s,0x%02X,0x%02X\n",
                      static_cast<double>(a.time) / 1000.0, a.write ? "write" : "read",
                      static_cast<unsigned>(a.port), static_cast<unsigned>(a.value));
        text += buffer;
    }
    return text;
}

ClicksWav::ClicksWav(const std::filesystem::path& path) : path_(path) {
    try {
        writer_ = std::make_unique<sim::WavWriter>(path.string(), 44'100);
    } catch (const sim::WavError& error) {
        throw ScenarioError(path.string(), 0, "", error.what());
    }
}

ClicksWav::~ClicksWav() = default;

void ClicksWav::heard(const sim::Click& click) {
    if (failure_) {
        return;
    }
    try {
        writer_->add(click);
    } catch (const sim::WavError& error) {
        failure_ = error.what();
    }
}

void ClicksWav::finish(hosted::Micros end) {
    try {
        if (!failure_) {
            writer_->finish(end);
        }
    } catch (const sim::WavError& error) {
        failure_ = error.what();
    }
    if (failure_) {
        throw ScenarioError(path_.string(), 0, "", *failure_);
    }
}

}  // namespace touchsim
