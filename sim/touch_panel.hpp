// The resistive panel in front of the display, and the finger on it.
//
// The panel turns a finger position in display pixels into raw controller
// units (0..16383 on each axis) through an affine map, then adds seeded
// Gaussian noise and clamps.  The finger follows a TouchScript on the virtual
// clock; the touch controller samples it whenever it makes a report.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/hosted/devices.hpp"

namespace sim {

using hosted::Micros;

constexpr int kRawMax = 16383;  // 14-bit controller units

// A position in display pixels (fractions allowed: a finger is not a pixel).
struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// A position in raw controller units.
struct RawPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const RawPoint&, const RawPoint&) = default;
};

// The panel's geometry.  A pixel p maps to raw units in this order:
//   1. rotate by `rotationDegrees` (counter-clockwise on screen) about the
//      display centre;
//   2. skew: x += skew * (y - centre y);
//   3. scale and offset: raw = scale * p + offset on each axis;
//   4. swap the two raw axes when `swapAxes`;
//   5. mirror: raw = 16383 - raw on the axes asked for.
// The defaults are for an 800 x 480 display whose raw range spans the visible
// area with a margin of 256 units at each edge, not rotated, not skewed.
struct PanelMap {
    double scaleX = (kRawMax - 511) / 800.0;  // raw units per pixel
    double scaleY = (kRawMax - 511) / 480.0;
    double offsetX = 256;
    double offsetY = 256;
    double rotationDegrees = 0;
    double skew = 0;
    bool swapAxes = false;
    bool mirrorX = false;  // raw X axis reversed
    bool mirrorY = false;  // raw Y axis reversed
};

struct PanelConfig {
    int displayWidth = 800;  // pixels; the rotation turns about the centre
    int displayHeight = 480;
    PanelMap map;
    double noise = 0;  // standard deviation of the raw noise, raw units
    std::uint64_t seed = 1;
};

// A bad script step: what() says which step and why.
class ScriptError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

constexpr Micros kNever = ~Micros{0};

// A finger's timeline, built step by step.  Each step starts where the
// previous one ended ("the script time"); press and tap say their own start,
// which may not lie before the script time.  Speeds are pixels per second.
// hold() lets time pass with the finger where it is, on the panel or off it.
// A touch lasts at least 1 us: a lift at the time of its press is refused.
// Misuse (press while down, move or lift while up, a speed that is not above
// 0, a point that is not finite, a circle of radius 0) throws ScriptError.
class TouchScript {
  public:
    struct Segment {
        Micros start;
        Micros end;
        // Position at time t in [start, end].
        std::function<Point(Micros)> at;
    };
    struct Stroke {
        Micros down;
        Micros up;                      // the finger leaves at `up`; kNever while it stays down
        std::vector<Segment> segments;  // the first one starts at `down`
    };

    TouchScript& press(Micros at, Point p);
    TouchScript& hold(Micros duration);
    TouchScript& moveTo(Point p, double speed);
    TouchScript& path(const std::vector<Point>& points, double speed);  // polyline from here
    // `turns` turns around `centre`, starting where the finger is; positive
    // turns carry the x axis towards the y axis (clockwise on a screen whose
    // y grows downwards).
    TouchScript& circle(Point centre, double turns, double speed);
    TouchScript& lift();
    // press(at, p), hold(duration), lift().
    TouchScript& tap(Micros at, Point p, Micros duration);

    const std::vector<Stroke>& strokes() const { return strokes_; }
    Micros end() const { return time_; }  // the script time after the last step
    bool fingerDown() const { return down_; }

  private:
    Stroke& current(const char* step);
    void addSegment(Micros duration, std::function<Point(Micros)> at, Point endPoint);
    static Micros travelTime(double distance, double speed, const char* step);

    std::vector<Stroke> strokes_;
    Micros time_ = 0;
    bool down_ = false;
    Point where_;
};

// Something that wants to know when the finger lands or leaves.
class PanelListener {
  public:
    virtual ~PanelListener() = default;
    virtual void fingerDown() = 0;
    virtual void fingerUp() = 0;
};

class TouchPanel {
  public:
    // Throws std::invalid_argument for a display size below 1, a scale of 0
    // or a value that is not finite.
    TouchPanel(hosted::DeviceContext& context, PanelConfig config = {});
    ~TouchPanel();
    TouchPanel(const TouchPanel&) = delete;
    TouchPanel& operator=(const TouchPanel&) = delete;

    void setListener(PanelListener* listener) { listener_ = listener; }

    // ---- Driving the finger ----
    // Schedule a script on the virtual clock.  A script whose strokes overlap
    // a stroke already scheduled, or that starts before now(), is refused
    // with ScriptError and nothing of it is scheduled.  A script left with
    // the finger down keeps it down at its last point until a later lift.
    void play(const TouchScript& script);
    // Immediate control at now(): put the finger down, move it there at once,
    // take it off.  press while touching or before a scheduled stroke, and
    // move or lift while not touching or while a script moves the finger,
    // throw ScriptError.
    void press(Point p);
    void moveTo(Point p);
    void lift();

    // ---- What the controller sees ----
    bool touching() const;
    // The finger position now, in pixels; empty while not touching.
    std::optional<Point> finger() const;
    // One measurement: the mapped finger position with noise, clamped; empty
    // while not touching.  Each call draws fresh noise.
    std::optional<RawPoint> sample();

    // ---- The map itself ----
    // Pixel to raw without noise or clamping, and its exact inverse.
    Point toRaw(Point pixel) const;
    Point toPixel(Point raw) const;
    // Pixel to raw as a measurement: rounded and clamped, without noise.
    RawPoint toRawClamped(Point pixel) const;

    const PanelConfig& config() const { return config_; }

  private:
    using Stroke = TouchScript::Stroke;

    const Stroke* active() const;
    Stroke& activeOpen(const char* step);
    void checkFree(Micros down, Micros up, const char* step) const;
    void onDown();
    void onUp();

    hosted::DeviceContext& context_;
    PanelConfig config_;
    std::mt19937_64 random_;
    std::normal_distribution<double> gauss_{0.0, 1.0};
    std::vector<Stroke> strokes_;  // an open one (up == kNever) stays down
    std::vector<hosted::DeviceEventId> events_;
    PanelListener* listener_ = nullptr;
    double cos_, sin_;
};

}  // namespace sim
