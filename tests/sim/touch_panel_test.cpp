#include "sim/touch_panel.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "sim/manual_clock.hpp"

namespace {

using sim::Point;
using sim::ScriptError;
using sim::TouchPanel;
using sim::TouchScript;
using simtest::ManualClock;

sim::PanelConfig withMap(const sim::PanelMap& map, double noise = 0, std::uint64_t seed = 1) {
    sim::PanelConfig config;
    config.map = map;
    config.noise = noise;
    config.seed = seed;
    return config;
}

class Listener : public sim::PanelListener {
  public:
    void fingerDown() override { events.push_back('d'); }
    void fingerUp() override { events.push_back('u'); }
    std::string events;
};

TEST(PanelMap, DefaultSpansTheDisplayWithAMargin) {
    ManualClock clock;
    TouchPanel panel(clock);
    EXPECT_EQ(panel.toRawClamped({0, 0}), (sim::RawPoint{256, 256}));
    EXPECT_EQ(panel.toRawClamped({800, 480}), (sim::RawPoint{16128, 16128}));
    EXPECT_EQ(panel.toRawClamped({400, 240}), (sim::RawPoint{8192, 8192}));
    // Outside the panel's range the reading clamps to the ends.
    EXPECT_EQ(panel.toRawClamped({-100, 900}), (sim::RawPoint{0, 16383}));
}

TEST(PanelMap, EveryTransformRoundTrips) {
    ManualClock clock;
    sim::PanelMap rotated;
    rotated.rotationDegrees = 7.5;
    rotated.skew = 0.04;
    sim::PanelMap flipped;
    flipped.swapAxes = true;
    flipped.mirrorX = true;
    flipped.scaleX = -12.5;
    flipped.offsetX = 15000;
    sim::PanelMap all = rotated;
    all.swapAxes = true;
    all.mirrorY = true;
    all.offsetY = -300;
    for (const sim::PanelMap& map : {sim::PanelMap{}, rotated, flipped, all}) {
        TouchPanel panel(clock, withMap(map));
        for (Point p : {Point{0, 0}, Point{799, 479}, Point{123.25, 401.5}, Point{-50, 600}}) {
            const Point back = panel.toPixel(panel.toRaw(p));
            EXPECT_NEAR(back.x, p.x, 1e-9);
            EXPECT_NEAR(back.y, p.y, 1e-9);
        }
    }
}

TEST(PanelMap, TransformsActAsDescribed) {
    ManualClock clock;
    sim::PanelMap map;
    map.scaleX = 10;
    map.scaleY = 20;
    map.offsetX = 100;
    map.offsetY = 200;
    map.swapAxes = true;
    map.mirrorY = true;
    TouchPanel swapped(clock, withMap(map));
    // x 5 -> 150, y 7 -> 340; swapped (340, 150); raw Y mirrored.
    const Point raw = swapped.toRaw({5, 7});
    EXPECT_DOUBLE_EQ(raw.x, 340);
    EXPECT_DOUBLE_EQ(raw.y, 16383 - 150);

    sim::PanelMap turn;
    turn.scaleX = turn.scaleY = 1;
    turn.offsetX = turn.offsetY = 0;
    turn.rotationDegrees = 90;
    TouchPanel turned(clock, withMap(turn));
    // A quarter turn about the centre (400, 240): the x axis turns to the y axis.
    const Point q = turned.toRaw({410, 240});
    EXPECT_NEAR(q.x, 400, 1e-9);
    EXPECT_NEAR(q.y, 250, 1e-9);
}

TEST(PanelNoise, SeededGaussianAroundTheMappedPoint) {
    ManualClock clock;
    TouchPanel a(clock, withMap({}, 8.0, 42));
    TouchPanel b(clock, withMap({}, 8.0, 42));
    TouchPanel c(clock, withMap({}, 8.0, 43));
    a.press({400, 240});
    b.press({400, 240});
    c.press({400, 240});
    const int kSamples = 20'000;
    double sum = 0;
    double squares = 0;
    bool differs = false;
    for (int i = 0; i < kSamples; ++i) {
        const sim::RawPoint s = *a.sample();
        EXPECT_EQ(s, *b.sample());  // same seed, same readings
        differs = differs || s != *c.sample();
        sum += s.x - 8192;
        squares += (s.x - 8192.0) * (s.x - 8192.0);
    }
    EXPECT_TRUE(differs);
    const double mean = sum / kSamples;
    const double sd = std::sqrt(squares / kSamples - mean * mean);
    EXPECT_NEAR(mean, 0, 0.3);
    EXPECT_NEAR(sd, 8.0, 0.3);

    // Noise never carries a reading past the ends.
    TouchPanel edge(clock, withMap({}, 500.0, 1));
    edge.press({0, 0});
    for (int i = 0; i < 1000; ++i) {
        const sim::RawPoint s = *edge.sample();
        EXPECT_TRUE(s.x >= 0 && s.x <= 16383 && s.y >= 0 && s.y <= 16383);
    }
}

TEST(TouchScriptPlay, FingerFollowsTheScriptInVirtualTime) {
    ManualClock clock;
    TouchPanel panel(clock);
    Listener listener;
    panel.setListener(&listener);
    TouchScript script;
    // Down at 1 ms, 100 px right in 100 ms, hold 50 ms, a half turn around
    // (150, 100) at pi * 50 px per 100 ms, then up.
    script.press(1000, {100, 100})
        .moveTo({200, 100}, 1000)
        .hold(50'000)
        .circle({150, 100}, 0.5, std::numbers::pi * 500)
        .lift();
    EXPECT_EQ(script.end(), 1000u + 100'000 + 50'000 + 100'000);
    panel.play(script);

    EXPECT_FALSE(panel.touching());
    clock.advanceTo(1000);
    EXPECT_EQ(panel.finger(), (Point{100, 100}));
    clock.advanceTo(51'000);
    EXPECT_EQ(panel.finger(), (Point{150, 100}));
    clock.advanceTo(140'000);
    EXPECT_EQ(panel.finger(), (Point{200, 100}));
    clock.advanceTo(201'000);  // a quarter turn: from (200, 100) towards +y
    EXPECT_NEAR(panel.finger()->x, 150, 1e-9);
    EXPECT_NEAR(panel.finger()->y, 150, 1e-9);
    clock.advanceTo(250'999);
    EXPECT_NEAR(panel.finger()->x, 100, 1e-3);
    clock.advanceTo(251'000);
    EXPECT_FALSE(panel.touching());
    EXPECT_FALSE(panel.sample().has_value());
    EXPECT_EQ(listener.events, "du");
}

TEST(TouchScriptPlay, MisuseIsRefusedWithAReason) {
    TouchScript script;
    EXPECT_THROW(script.lift(), ScriptError);
    EXPECT_THROW(script.moveTo({1, 1}, 10), ScriptError);
    script.press(100, {10, 10});
    EXPECT_THROW(script.press(200, {10, 10}), ScriptError);
    EXPECT_THROW(script.lift(), ScriptError);  // no time passed since the press
    EXPECT_THROW(script.moveTo({20, 20}, 0), ScriptError);
    EXPECT_THROW(script.moveTo({20, 20}, 1e-300), ScriptError);  // would never arrive
    EXPECT_THROW(script.moveTo({NAN, 20}, 10), ScriptError);
    EXPECT_THROW(script.circle({10, 10}, 1, 10), ScriptError);  // radius 0
    script.hold(10).lift();
    EXPECT_THROW(script.press(50, {1, 1}), ScriptError);  // before the script time

    ManualClock clock;
    TouchPanel panel(clock);
    TouchScript first;
    first.tap(1000, {5, 5}, 5000);
    panel.play(first);
    TouchScript overlapping;
    overlapping.tap(5999, {6, 6}, 10);
    EXPECT_THROW(panel.play(overlapping), ScriptError);
    TouchScript after;
    after.tap(6000, {6, 6}, 10);
    EXPECT_NO_THROW(panel.play(after));
    clock.advanceTo(7000);
    TouchScript past;
    past.tap(6500, {1, 1}, 10);
    EXPECT_THROW(panel.play(past), ScriptError);

    EXPECT_THROW(panel.lift(), ScriptError);
    panel.press({1, 1});
    EXPECT_THROW(panel.press({2, 2}), ScriptError);
}

TEST(TouchScriptPlay, ImmediateControlAndAnOpenScript) {
    ManualClock clock;
    TouchPanel panel(clock);
    Listener listener;
    panel.setListener(&listener);
    panel.press({10, 20});
    EXPECT_TRUE(panel.touching());
    clock.advance(100);
    panel.moveTo({30, 40});
    EXPECT_EQ(panel.finger(), (Point{30, 40}));
    panel.lift();
    EXPECT_FALSE(panel.touching());

    TouchScript open;  // ends with the finger down
    open.press(clock.now() + 10, {1, 2}).moveTo({1, 102}, 1000);
    panel.play(open);
    clock.advance(50'000);
    EXPECT_THROW(panel.moveTo({0, 0}), ScriptError);  // the script still moves it
    clock.advance(60'000);
    EXPECT_EQ(panel.finger(), (Point{1, 102}));
    panel.lift();
    EXPECT_EQ(listener.events, "dudu");
}

}  // namespace
