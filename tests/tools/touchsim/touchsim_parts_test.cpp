// The parts of touchsim in-process: where a field stands in a scenario file,
// what the scenario reader accepts and refuses, how delivered samples are
// compared with the finger, how expectations are judged, and what the runner
// records of a timeline.
#ifdef TOUCHSIM_CORE

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "support/virtual_time.hpp"
#include "tools/touchsim/analysis.hpp"
#include "tools/touchsim/artifacts.hpp"
#include "tools/touchsim/expectations.hpp"
#include "tools/touchsim/json_lines.hpp"
#include "tools/touchsim/runner.hpp"
#include "tools/touchsim/scenario.hpp"
#include "tools/touchsim/text.hpp"

namespace {

using touchsim::JsonLines;
using touchsim::Scenario;
using touchsim::ScenarioError;

using touch_test::kMs;

Scenario parse(const std::string& text) {
    return touchsim::parseScenario(text, "s.json", std::filesystem::temp_directory_path());
}

// The error a scenario text gives: "<line>: <field>: <message>".
std::string errorOf(const std::string& text) {
    try {
        parse(text);
    } catch (const ScenarioError& error) {
        return std::to_string(error.line()) + ": " + error.field() + ": " + error.message();
    }
    return "accepted";
}

// ---- Line numbers ----

TEST(TouchsimLines, FieldsArrayElementsAndMissingFieldsFindTheirLines) {
    const std::string text =
        "{\n"
        "  \"a\": {\n"
        "    \"b\": [1,\n"
        "          {\"c\": 2},\n"
        "          3],\n"
        "    \"say \\\"hi\\\"\": \"x\\\\\"\n"
        "  },\n"
        "  \"d\": \"}]{[\"\n"
        "}\n";
    const JsonLines lines(text);
    EXPECT_EQ(lines.lineOf(""), 1);
    EXPECT_EQ(lines.lineOf("a"), 2);
    EXPECT_EQ(lines.lineOf("a.b"), 3);
    EXPECT_EQ(lines.lineOf("a.b[0]"), 3);
    EXPECT_EQ(lines.lineOf("a.b[1]"), 4);
    EXPECT_EQ(lines.lineOf("a.b[1].c"), 4);
    EXPECT_EQ(lines.lineOf("a.b[2]"), 5);
    EXPECT_EQ(lines.lineOf("a.say \"hi\""), 6);  // escaped quotes in a key
    EXPECT_EQ(lines.lineOf("d"), 8);             // brackets inside a string are text
    // Not in the text: the nearest enclosing field that is.
    EXPECT_EQ(lines.lineOf("a.b[1].missing"), 4);
    EXPECT_EQ(lines.lineOf("a.nothing[3].x"), 2);
    EXPECT_EQ(lines.lineOf("nowhere"), 1);
}

TEST(TouchsimLines, DeepNestingIsSteppedOverAndOffsetsGiveLineAndColumn) {
    std::string text = "{\"deep\": ";
    for (int i = 0; i < 40; ++i) {
        text += "[";
    }
    text += "\n1";
    for (int i = 0; i < 40; ++i) {
        text += "]";
    }
    text += ",\n\"after\": 2}";
    const JsonLines lines(text);
    EXPECT_EQ(lines.lineOf("after"), 3);  // the scan went on past the deep part
    EXPECT_EQ(lines.lineOf("deep"), 1);

    const std::string two = "ab\ncd";
    EXPECT_EQ(JsonLines::lineAt(two, 0), 1);
    EXPECT_EQ(JsonLines::lineAt(two, 2), 1);  // the newline ends line 1
    EXPECT_EQ(JsonLines::lineAt(two, 3), 2);
    EXPECT_EQ(JsonLines::columnAt(two, 3), 1);
    EXPECT_EQ(JsonLines::columnAt(two, 4), 2);
    EXPECT_EQ(JsonLines::lineAt(two, 99), 2);  // past the end: the last line
    EXPECT_EQ(touchsim::parentPath("a.b[2]"), "a.b");
    EXPECT_EQ(touchsim::parentPath("a"), "");
}

// ---- The scenario reader ----

TEST(TouchsimScenario, StepsAndTheirDefaults) {
    const Scenario s = parse(R"({"timeline": [
        {"step": "enable"},
        {"step": "tap", "at": [10, 20.5]},
        {"step": "circle", "centre": [400, 240], "radius": 50},
        {"step": "setMode", "mode": "priorityHigh"},
        {"step": "setMode", "mode": -7},
        {"step": "calibrate", "offsets": [[3, -4]], "abort": {"point": 2, "when": "whileHeld"}},
        {"step": "registry", "values": {"K": {"n": 5, "s": "txt", "m": ["a", "b"], "gone": null},
                                        "Old": null}}
    ]})");
    ASSERT_EQ(s.timeline.size(), 7u);
    EXPECT_EQ(s.name, "s");  // from the file name
    const auto& tap = std::get<touchsim::TapStep>(s.timeline[1].action);
    EXPECT_EQ(tap.at, (sim::Point{10, 20.5}));
    EXPECT_EQ(tap.holdMs, 50);
    EXPECT_EQ(tap.count, 1);
    EXPECT_EQ(std::get<touchsim::CircleStep>(s.timeline[2].action).turns, 1);
    EXPECT_EQ(std::get<touchsim::ModeStep>(s.timeline[3].action).mode, TPSM_PRIORITY_HIGH_ID);
    EXPECT_EQ(std::get<touchsim::ModeStep>(s.timeline[4].action).mode, -7);
    const auto& calibrate = *std::get<touchsim::CalibrateStep>(s.timeline[5].action).screen;
    ASSERT_EQ(calibrate.offsets.size(), 1u);
    EXPECT_EQ(calibrate.offsets[0], (windowing::Point{3, -4}));
    ASSERT_TRUE(calibrate.abort);
    EXPECT_EQ(calibrate.abort->point, 2u);
    EXPECT_EQ(calibrate.abort->when, windowing::CalibrationAbort::When::WhileHeld);
    EXPECT_EQ(calibrate.holdMs, windowing::CalibrationScreenConfig{}.holdMs);

    using Kind = touchsim::RegistryValue::Kind;
    const auto& values = std::get<touchsim::RegistryStep>(s.timeline[6].action).values;
    ASSERT_EQ(values.size(), 5u);
    std::map<std::string, Kind> kinds;
    for (const touchsim::RegistryValue& v : values) {
        kinds[v.key + "/" + v.name] = v.kind;
    }
    EXPECT_EQ(kinds["K/n"], Kind::Dword);
    EXPECT_EQ(kinds["K/s"], Kind::String);
    EXPECT_EQ(kinds["K/m"], Kind::MultiString);
    EXPECT_EQ(kinds["K/gone"], Kind::Remove);
    EXPECT_EQ(kinds["Old/"], Kind::RemoveKey);
}

TEST(TouchsimScenario, TheTimelineIsFollowedForTheFingerAndTheKeyboardDriver) {
    // A touch left down is named by its line when a gesture follows.
    EXPECT_EQ(errorOf("{\"timeline\": [\n{\"step\": \"touch\", \"at\": [1, 1]},\n"
                      "{\"step\": \"calibrate\"}]}"),
              "3: timeline[1].step: \"calibrate\" needs the finger up; it is still down from "
              "line 2");
    EXPECT_EQ(errorOf("{\"timeline\": [\n{\"step\": \"touch\", \"at\": [1, 1]},\n"
                      "{\"step\": \"touch\", \"at\": [2, 2]}]}")
                  .rfind("3: timeline[1].step: \"touch\" needs the finger up", 0),
              0u);
    EXPECT_EQ(errorOf("{\"timeline\": [\n{\"step\": \"move\", \"to\": [1, 1]}]}")
                  .rfind("2: timeline[0].step: \"move\" needs the finger down", 0),
              0u);
    // Down, moved and lifted: fine, and a path after the lift too.
    EXPECT_EQ(errorOf(R"({"timeline": [{"step": "touch", "at": [1, 1]},
        {"step": "move", "to": [5, 5], "speed": 10}, {"step": "lift"},
        {"step": "path", "points": [[0, 0], [9, 9]]}]})"),
              "accepted");
    // The finger's time adds up over the steps: 3000 px at 1 px/s is 3000 s.
    EXPECT_EQ(
        errorOf(R"({"timeline": [{"step": "touch", "at": [0, 0]},
        {"step": "move", "to": [5000, 0], "speed": 1, "offDisplay": true}]})")
            .rfind("2: timeline[1]: the finger's moves and taps up to here take 5000000 ms", 0),
        0u);
    EXPECT_EQ(errorOf("{\"timeline\": [\n{\"step\": \"keyboardDriver\", \"state\": \"off\"}]}"),
              "2: timeline[0].state: the keyboard driver is off already");
    EXPECT_EQ(errorOf("{\"timeline\": [{\"step\": \"keyboardDriver\", \"state\": \"on\",\n"
                      "\"sysIntr\": 28}]}"),
              "2: timeline[0].sysIntr: is the touch controller's logical interrupt (28)");
}

TEST(TouchsimScenario, ValuesOutsideTheirRangeAreRefusedByName) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"timeline": [{"step": "tap", "at": [1]}]})", "timeline[0].at: must be [x, y]"},
        {R"({"timeline": [{"step": "tap", "at": [1, 2], "count": 0}]})",
         "timeline[0].count: must be 1 to 1000, not 0"},
        {R"({"timeline": [{"step": "circle", "centre": [100, 100], "radius": 5, "turns": 0}]})",
         "timeline[0].turns: must not be 0"},
        {R"({"timeline": [{"step": "wait", "ms": -1}]})", "timeline[0].ms: must be 0 to"},
        {R"({"timeline": [{"step": "path", "points": [[1, 2]]}]})",
         "timeline[0].points: must be a list of 2"},
        {R"({"timeline": [{"step": "keys", "bytes": [256]}]})",
         "timeline[0].bytes[0]: must be 0 to 255"},
        {R"({"timeline": [{"step": "calibrate", "offsets": [[0.5, 0]]}]})",
         "timeline[0].offsets[0]: offsets are whole pixels"},
        {R"({"timeline": [{"step": "enable", "extra": 1}]})", "timeline[0].extra: unknown field"},
        {R"({"timeline": [], "seed": 1})", "timeline: must be a list of one or more steps"},
        {R"({"timeline": [{"step": "enable"}], "expect": {"samples": {}}})",
         "expect.samples: needs \"atLeast\""},
        {R"({"timeline": [{"step": "enable"}], "expect": {"calibration": "great"}})",
         "expect.calibration: must be one of \"passes\""},
        {R"({"timeline": [{"step": "enable"}], "registry": {"values": {"K": {"n": -1}}}})",
         "registry.values.K.n: must be"},
        {R"({"timeline": [{"step": "enable"}], "registry": {"values": {"K]": {"n": 1}}}})",
         "registry.values.K]: is not a key path"},
        // The calibration screen has five targets.
        {R"({"timeline": [{"step": "calibrate", "abort": {"point": 5}}]})",
         "timeline[0].abort.point: must be 0 to 4, not 5"},
        {R"({"timeline": [{"step": "calibrate", "offsets": [[0,0],[0,0],[0,0],[0,0],[0,0],[0,0]]}]})",
         "timeline[0].offsets: must be a list of at most 5"},
        // Counts and seeds name their range as a person reads it.
        {R"({"timeline": [{"step": "enable"}], "expect": {"samples": -1}})",
         "expect.samples: must be 0 or more, not -1"},
        {R"({"timeline": [{"step": "enable"}], "seed": -1})",
         "seed: must be a whole number from 0 to 18446744073709551615"},
        {R"({"timeline": [{"step": "enable"}], "seed": 4, "machine": {"display":
             {"width": 800, "height": 480}, "seed": 5}})",
         "machine.seed: is 5, but \"seed\" is 4; give the seed once"},
        // Finger positions off the display, unless the step means them.
        {R"({"timeline": [{"step": "tap", "at": [800, 10]}]})",
         "timeline[0].at: (800, 10) is off the 800 x 480 display; add \"offDisplay\": true"},
        {R"({"timeline": [{"step": "path", "points": [[1, 1], [5, -1]]}]})",
         "timeline[0].points[1]: (5, -1) is off the"},
        {R"({"timeline": [{"step": "circle", "centre": [400, 240], "radius": 241}]})",
         "timeline[0].radius: the circle reaches off the 800 x 480 display"},
        {R"({"timeline": [{"step": "wait", "ms": 1, "offDisplay": true}]})",
         "timeline[0].offDisplay: unknown field"},
    };
    for (const auto& [text, wanted] : cases) {
        const std::string error = errorOf(text);
        EXPECT_NE(error.find(wanted), std::string::npos) << text << "\n -> " << error;
    }
}

TEST(TouchsimScenario, TheSeedIsTheScenariosElseTheMachinesAndTakesAll64Bits) {
    const std::string machine =
        R"("machine": {"display": {"width": 800, "height": 480}, "seed": 4})";
    EXPECT_EQ(parse(R"({"timeline": [{"step": "enable"}], )" + machine + "}").seed, 4u);
    EXPECT_EQ(parse(R"({"timeline": [{"step": "enable"}], "seed": 4, )" + machine + "}").seed, 4u);
    EXPECT_EQ(parse(R"({"timeline": [{"step": "enable"}], "seed": 18446744073709551615})").seed,
              18446744073709551615u);
    // The command line reads the same range, and nothing else.
    EXPECT_EQ(touchsim::parseSeed("18446744073709551615"), 18446744073709551615u);
    for (const char* bad : {"", "-1", "18446744073709551616", "7x", " 7", "+7"}) {
        EXPECT_FALSE(touchsim::parseSeed(bad)) << bad;
    }
}

TEST(TouchsimScenario, ANumberBeyondEveryTypeIsBadJsonOnItsLine) {
    // The parser reports such a number without its place; the error still
    // names the line and says what is wrong, and nothing escapes as a crash.
    EXPECT_EQ(
        errorOf("{\n  \"seed\": 1,\n  \"timeline\": [{\"step\": \"wait\", \"ms\": 2e400}]\n}"),
        "3: : not valid JSON: number overflow parsing '2e400'");
    // The input the fuzzer found: the number comes first, before any object.
    EXPECT_EQ(errorOf("667.3303e4215\xb8"
                      "06053 {\"wide]\"is"),
              "1: : not valid JSON: number overflow parsing '667.3303e4215'");
}

TEST(TouchsimScenario, ARegFileIsFoundBesideTheScenario) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("touchsim_parts_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "t.reg") << "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:2A\n";
    std::ofstream(dir / "sub" / "s.json")
        << R"({"registry": {"file": "t.reg"}, "timeline": [{"step": "enable"}]})";
    const Scenario s = touchsim::loadScenario(dir / "sub" / "s.json");
    EXPECT_EQ(s.registry.file, (dir / "sub" / "t.reg").string());
    EXPECT_NE(s.registry.fileText.find("dword:2A"), std::string::npos);
    std::filesystem::remove_all(dir);
}

// ---- Comparing samples with the finger ----

touchsim::FingerStroke line(hosted::Micros down, hosted::Micros up, sim::Point from,
                            sim::Point to) {
    touchsim::FingerStroke stroke{"timeline[0]", down, up, {}};
    for (hosted::Micros t = down; t <= up; t += kMs) {
        const double f = static_cast<double>(t - down) / static_cast<double>(up - down);
        stroke.path.push_back(
            {t, {from.x + (to.x - from.x) * f, from.y + (to.y - from.y) * f}, false});
    }
    return stroke;
}

// A sample at pixel p, as the driver delivers it once calibrated.
windowing::Sample at(hosted::Micros t, DWORD flags, sim::Point p) {
    return windowing::Sample{t, flags, static_cast<INT>(std::lround(p.x * 4 + 2)),
                             static_cast<INT>(std::lround(p.y * 4 + 2))};
}

TEST(TouchsimAnalysis, DistanceIsToThePathTravelledInTheWindow) {
    const touchsim::FingerStroke s = line(0, 100 * kMs, {0, 0}, {100, 0});
    EXPECT_NEAR(*touchsim::distanceToPath(s.path, {50.5, 3}, 0, 100 * kMs), 3.0, 1e-9);
    // Only the path of the window counts: at 10 ms the finger had reached
    // x = 10, and from 20.5 ms on it was past x = 20.5.
    EXPECT_NEAR(*touchsim::distanceToPath(s.path, {50, 0}, 0, 10 * kMs), 40.0, 1e-9);
    EXPECT_NEAR(*touchsim::distanceToPath(s.path, {0, 0}, 20500, 30 * kMs), 20.5, 1e-9);
    EXPECT_FALSE(touchsim::distanceToPath(s.path, {0, 0}, 200 * kMs, 300 * kMs));
    // A jump is not travelled: the point halfway lies 5 from either end.
    const std::vector<touchsim::TimedPoint> jump = {{0, {0, 0}, false}, {kMs, {10, 0}, true}};
    EXPECT_NEAR(*touchsim::distanceToPath(jump, {5, 0}, 0, kMs), 5.0, 1e-9);
    EXPECT_DOUBLE_EQ(touchsim::quarterToPixel(4 * 123 + 2), 123.0);
}

TEST(TouchsimAnalysis, APenUpDeliveredAfterTheNextPressBelongsToItsOwnTouch) {
    touchsim::RunResult run;
    run.calibrated.push_back({0, 1000 * kMs});
    run.strokes.push_back(line(0, 100 * kMs, {0, 0}, {100, 0}));
    run.strokes.push_back(line(100 * kMs, 150 * kMs, {500, 300}, {500, 300}));
    run.samples = {at(5 * kMs, 0x07, {4, 0}),         at(50 * kMs, 0x0F, {49, 0.5}),
                   at(98 * kMs, 0x0F, {97, 0}),       at(104 * kMs, 0x0D, {97, 0}),
                   at(108 * kMs, 0x07, {500, 300.5}), at(155 * kMs, 0x0D, {500, 300.5})};
    const touchsim::Analysis a = touchsim::analyse(run);
    ASSERT_EQ(a.stroke.deviations.size(), 6u);
    EXPECT_EQ(a.stroke.deviations[3].stroke, 0u);  // the pen-up at 104 ms
    EXPECT_EQ(a.stroke.deviations[4].stroke, 1u);
    EXPECT_EQ(a.stroke.strokes, 2u);
    EXPECT_NEAR(*a.stroke.worstPx, 0.5, 1e-9);
    EXPECT_EQ(a.samples.touches, 2u);
    EXPECT_EQ(a.samples.downSamples, 4u);
    // Down samples of the first touch at 5, 50 and 98 ms: two intervals in
    // 93 ms; the second touch has one down sample and no interval.
    EXPECT_NEAR(*a.samples.ratePerSecond, 2 / 0.093, 1e-6);
}

TEST(TouchsimAnalysis, TheRestOfAHoldAfterACaptureIsInNoTouch) {
    touchsim::RunResult run;
    run.samples = {at(5 * kMs, 0x0F, {1, 1}),  at(10 * kMs, 0x0F, {1, 1}),
                   at(15 * kMs, 0x0D, {1, 1}), at(20 * kMs, 0x07, {1, 1}),
                   at(25 * kMs, 0x0F, {1, 1}), at(30 * kMs, 0x0D, {1, 1})};
    const touchsim::SampleStats s = touchsim::analyse(run).samples;
    EXPECT_EQ(s.delivered, 6u);
    EXPECT_EQ(s.afterCapture, 3u);
    EXPECT_EQ(s.touches, 1u);
    EXPECT_EQ(s.downSamples, 2u);
    EXPECT_NEAR(*s.ratePerSecond, 1 / 0.005, 1e-6);
}

TEST(TouchsimAnalysis, TouchesMadeWhileUncalibratedAreNotCompared) {
    touchsim::RunResult run;
    run.calibrated.push_back({200 * kMs, 400 * kMs});
    run.strokes.push_back(line(0, 100 * kMs, {0, 0}, {100, 0}));            // before
    run.strokes.push_back(line(150 * kMs, 250 * kMs, {0, 0}, {100, 0}));    // straddles
    run.strokes.push_back(line(300 * kMs, 350 * kMs, {10, 10}, {10, 10}));  // within
    run.samples = {at(10 * kMs, 0x07, {9999, 9999}), at(160 * kMs, 0x07, {9999, 9999}),
                   at(310 * kMs, 0x07, {10, 12}), at(355 * kMs, 0x0D, {10, 12})};
    const touchsim::Analysis a = touchsim::analyse(run);
    ASSERT_EQ(a.stroke.deviations.size(), 2u);
    EXPECT_NEAR(*a.stroke.meanPx, 2.0, 1e-9);
    EXPECT_EQ(a.samples.calibrated, 2u);
    // samples.csv says which unit each sample is in.
    const std::string csv = touchsim::samplesCsv(run);
    EXPECT_NE(csv.find("10.000,0x07,39998,39998,raw\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("310.000,0x07,42,50,quarter-pixel\n"), std::string::npos) << csv;
}

TEST(TouchsimArtifacts, ResidualsAreMagnifiedOnlyAsFarAsTheDisplayHolds) {
    touchsim::CalibrationRecord record;
    record.report.calibrationSet = true;
    windowing::CalibrationPointResult point;
    point.target = {400, 240};
    record.report.points = {point};
    record.mapped = {{430, 240}};  // 30 px: 20 times would end at x 1000
    record.residualsPx = {30};
    EXPECT_NE(touchsim::calibrationSvg(record, {}).find("are 10 times the residual"),
              std::string::npos);
    record.mapped = {{900, 240}};  // off the display even unmagnified
    EXPECT_NE(touchsim::calibrationSvg(record, {}).find("the residual, unmagnified"),
              std::string::npos);
}

TEST(TouchsimArtifacts, AFileWrittenAsItGoesFailsByNameWhenTheDiskIsFull) {
    const std::string big(1 << 20, 'x');  // past any stream buffer
    try {
        touchsim::writeFile("/dev/full", [&](std::ostream& out) { out << big; });
        FAIL() << "a full disk went unnoticed";
    } catch (const touchsim::ScenarioError& error) {
        EXPECT_NE(std::string(error.what()).find("/dev/full: cannot write: No space left"),
                  std::string::npos)
            << error.what();
    }
}

// ---- Text from files and for terminals ----

TEST(TouchsimText, RegFilesAreReadInTheEncodingsTheyComeIn) {
    using touchsim::decodeRegText;
    const std::string le("\xFF\xFE[\0\xE9\0\x3D\xD8\x00\xDE]\0", 12);  // [é😀]
    EXPECT_EQ(decodeRegText(le, "r"), "[\xC3\xA9\xF0\x9F\x98\x80]");
    EXPECT_EQ(decodeRegText(std::string("\xFE\xFF\0[", 4), "r"), "[");
    EXPECT_EQ(decodeRegText("\xEF\xBB\xBF[\xC3\xA9]", "r"), "[\xC3\xA9]");
    EXPECT_EQ(decodeRegText("[\xE9\x80]", "r"), "[\xC3\xA9\xE2\x82\xAC]");  // ANSI
    auto refusal = [](const std::string& bytes) {
        try {
            decodeRegText(bytes, "r.reg");
        } catch (const ScenarioError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(refusal(std::string("[\0a\0]\0", 6))
                  .find("r.reg: seems to be UTF-16, little-endian, "
                        "without a byte-order mark"),
              std::string::npos);
    EXPECT_NE(refusal(std::string("\xFF\xFE\0\0[\0\0\0", 8)).find("seems to be UTF-32"),
              std::string::npos);
    EXPECT_NE(refusal(std::string("\xFF\xFE\x00\xDC", 4)).find("is not valid UTF-16"),
              std::string::npos);
}

TEST(TouchsimText, WhatReachesATerminalIsEscaped) {
    EXPECT_EQ(touchsim::terminalSafe("a\x1B[2Jb\x07\nc\xFF\xC3\xA9\xE2\x80\xAE"),
              "a\\x1B[2Jb\\x07\\x0Ac\\xFF\xC3\xA9\\u202E");
    EXPECT_EQ(touchsim::terminalSafe("a\nb\r", true), "a\nb\\x0D");
}

// ---- Expectations ----

TEST(TouchsimExpectations, EachIsJudgedAndNamesItsLine) {
    const Scenario s = parse(R"({"timeline": [{"step": "enable"}],
  "expect": {
    "enable": "succeeds",
    "clicks": {"atLeast": 2, "atMost": 3},
    "clickFrequencyHz": 1500,
    "lastCursor": [100, 50],
    "capture": "completes",
    "strokeErrorPx": {"worst": 1},
    "clickLengthMs": {"worst": {"atLeast": 45, "atMost": 49}},
    "sampleRate": {"atLeast": 100}
  }})");
    touchsim::RunResult run;
    run.enables = {{"timeline[0]", 0, true, 0, 67, 265, true, ""},
                   {"timeline[3]", 0, false, 0, 0, 1, false, ""}};
    run.clicks.watchLength(s.expect.clickLengthMs);
    run.clicks.add({0, 50 * kMs, 795, 1500.86});
    run.clicks.add({kMs, 50 * kMs, 780, 1529.7});
    run.cursor.add({0, {300, 300}, {300, 300}});
    run.cursor.add({kMs, {101, 49}, {101, 49}});
    run.captures = {{"timeline[1]", 0, std::nullopt}};
    const std::vector<touchsim::Verdict> v =
        touchsim::checkExpectations(s, run, touchsim::analyse(run));
    ASSERT_EQ(v.size(), 8u);
    std::map<std::string, touchsim::Verdict> by;
    for (const touchsim::Verdict& verdict : v) {
        by[verdict.field] = verdict;
    }
    EXPECT_FALSE(by["expect.enable"].met);  // the second enable failed
    EXPECT_NE(by["expect.enable"].text.find("timeline[3] failed"), std::string::npos);
    EXPECT_EQ(by["expect.enable"].line, 3);
    EXPECT_TRUE(by["expect.clicks"].met);
    EXPECT_FALSE(by["expect.clickFrequencyHz"].met);  // 1529.7 Hz is 2 % off
    EXPECT_TRUE(by["expect.lastCursor"].met);         // one pixel off on each axis
    EXPECT_FALSE(by["expect.capture"].met);
    EXPECT_NE(by["expect.capture"].text.find("never returned"), std::string::npos);
    EXPECT_FALSE(by["expect.strokeErrorPx"].met);  // nothing was compared
    EXPECT_EQ(by["expect.strokeErrorPx"].line, 8);
    EXPECT_FALSE(by["expect.clickLengthMs"].met);
    EXPECT_NE(by["expect.clickLengthMs"].text.find("got 50.0 ms"), std::string::npos);
    EXPECT_FALSE(by["expect.sampleRate"].met);  // no touch to measure
    EXPECT_FALSE(touchsim::allMet(v));

    run.stopped = "deadlock";
    EXPECT_EQ(touchsim::checkExpectations(s, run, touchsim::analyse(run)).front().field, "run");
}

// ---- The runner ----

TEST(TouchsimRunner, AMoveIsFollowedEveryMillisecondAndAReEnableIsUncalibrated) {
    const Scenario s = parse(R"({"timeline": [
        {"step": "enable"},
        {"step": "calibrate"},
        {"step": "touch", "at": [100, 100]},
        {"step": "move", "to": [110, 100], "speed": 1000},
        {"step": "move", "to": [300, 300]},
        {"step": "wait", "ms": 20},
        {"step": "lift"},
        {"step": "wait", "ms": 100},
        {"step": "tap", "at": [900, 100], "holdMs": 30, "offDisplay": true},
        {"step": "wait", "ms": 100},
        {"step": "disable"},
        {"step": "enable"},
        {"step": "tap", "at": [400, 240], "holdMs": 30},
        {"step": "wait", "ms": 100}
    ]})");
    const touchsim::RunResult run = touchsim::runScenario(s, {});
    ASSERT_FALSE(run.stopped) << *run.stopped;
    ASSERT_EQ(run.strokes.size(), 3u);
    const touchsim::FingerStroke& hand = run.strokes[0];
    // The press, ten 1 ms steps of one pixel, the jump.
    ASSERT_EQ(hand.path.size(), 12u);
    EXPECT_EQ(hand.path[10].time - hand.path[0].time, 10 * kMs);
    EXPECT_EQ(hand.path[10].at, (sim::Point{110, 100}));
    EXPECT_TRUE(hand.path[11].jumped);
    EXPECT_GE(hand.path[11].time, hand.path[10].time);
    EXPECT_GE(hand.up - hand.down, 30 * kMs);
    // A finger that stays put is kept as the two ends of its stay, not as a
    // point a millisecond.
    EXPECT_EQ(run.strokes[2].path.size(), 2u);
    // Calibrated from the calibration to the second enable only.
    ASSERT_EQ(run.calibrated.size(), 1u);
    EXPECT_TRUE(run.calibratedAt(hand.down));
    EXPECT_FALSE(run.calibratedAt(run.strokes[2].down));
    ASSERT_EQ(run.enables.size(), 2u);
    EXPECT_EQ(run.enables[1].commands, 67u);
    EXPECT_TRUE(run.unmapped);
    // The hand-made touch is delivered in screen quarter pixels, the tap
    // after the second enable in raw units; the tap off the display is
    // clamped by the driver and left out of the accuracy.
    const touchsim::Analysis a = touchsim::analyse(run);
    EXPECT_EQ(a.samples.touches, 3u);
    EXPECT_EQ(a.stroke.offDisplay, 1u);
    ASSERT_FALSE(a.stroke.deviations.empty());
    EXPECT_LT(*a.stroke.meanPx, 1.0);
    for (const touchsim::SampleDeviation& d : a.stroke.deviations) {
        EXPECT_EQ(d.stroke, 0u);
    }
    // Drawn while the run went, the figures are those of the kept run.
    auto figures = [](const touchsim::Analysis& f) {
        return std::make_tuple(f.samples.delivered, f.samples.calibrated, f.samples.downSamples,
                               f.samples.ratePerSecond, f.stroke.samples, f.stroke.strokes,
                               f.stroke.offDisplay, f.stroke.meanPx, f.stroke.worstPx);
    };
    EXPECT_EQ(figures(*run.analysis), figures(a));
}

// A run that keeps nothing holds no more for being longer: the samples wait
// only for virtual time to settle them, then go on as samples.csv rows; the
// speaker hands its clicks over as they end; the cursor moves are counted.
TEST(TouchsimRunner, ALongerRunThatKeepsNothingHoldsNoMore) {
    struct Held {
        std::size_t mostHeld = 0;
        std::size_t speakerTimeline = 0;
        std::size_t cursorMoves = 0;
        std::size_t recorded = 0;
        std::size_t rows = 0;
        std::size_t delivered = 0;
    };
    auto play = [](int taps) {
        std::string text = R"({"registry": {"values": {"HARDWARE\\DEVICEMAP\\TOUCH":)"
                           R"( {"BeepEnable": 1}}}, "timeline": [{"step": "enable"})";
        for (int i = 0; i < taps; ++i) {
            text +=
                R"(, {"step": "tap", "at": [200, 120], "holdMs": 50}, {"step": "wait", "ms": 150})";
        }
        touchsim::RunOptions options;
        options.keep = false;
        Held held;
        options.onSettledSample = [&held](const windowing::Sample&, bool) { ++held.rows; };
        options.atEnd = [&held](windowing::Session& session) {
            held.speakerTimeline = session.machine().speaker().timeline().size();
            held.cursorMoves = session.cursorMoves().size();
            held.recorded = session.samples().size();
        };
        const touchsim::RunResult run = touchsim::runScenario(parse(text + "]}"), options);
        EXPECT_TRUE(run.samples.empty() && run.strokes.empty());
        EXPECT_EQ(run.clicks.size(), static_cast<std::size_t>(taps));
        held.mostHeld = run.mostHeld;
        held.delivered = run.analysis->samples.delivered;
        return held;
    };
    const Held few = play(4);
    const Held many = play(16);
    EXPECT_GT(many.delivered, 3 * few.delivered);
    EXPECT_EQ(many.rows, many.delivered);
    EXPECT_LE(many.mostHeld, few.mostHeld);
    EXPECT_LE(many.speakerTimeline, 2u);
    EXPECT_EQ(many.cursorMoves + many.recorded, 0u);
}

TEST(TouchsimRunner, AFailedEnableSaysWhatTheBoardSawGoWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {R"("controller": {"faults": {"silent": true}})",
         "the touch controller answered nothing: it did not acknowledge byte 1 of command 'A' "
         "within 50 ms"},
        {R"("controller": {"faults": {"acks": [{"byte": 7, "kind": "none"}]}})",
         "the touch controller did not acknowledge byte 1 of command 'E' within 50 ms"},
        {R"("controller": {"faults": {"acks": [{"byte": 9, "kind": "wrong", "value": 254}]}})",
         "the touch controller acknowledged byte 3 of command 'E' with 0xFE instead of 0xFA"},
        {R"("controller": {"faults": {"replies": [{"command": 2, "kind": "none"}]}})",
         "the touch controller did not reply to command 'D' within 50 ms"},
        {R"("controller": {"faults": {"replies": [{"command": 5, "kind": "wrongHeader"}]}})",
         "the touch controller's reply to command 'C 1' did not begin with 0x0A"},
        {R"("controller": {"faults": {"replies": [{"command": 5, "kind": "wrongEcho"}]}})",
         "the touch controller's reply to command 'C 1' echoed another command"},
        {R"("controller": {"faults": {"garbage": [{"atMs": 300, "bytes": [1, 2]}]}})",
         "a byte the touch controller sent unasked came where the acknowledge of byte 1 of "
         "command 'C 23' was expected"},
        {R"("i8042": {"inputStuck": true})",
         "the i8042 took no byte written to it (its input buffer stayed full)"},
    };
    const std::string display = R"("display": {"width": 800, "height": 480})";
    for (const auto& [machine, reason] : cases) {
        const Scenario s = parse(R"({"machine": {)" + display + ", " + machine +
                                 R"(}, "timeline": [{"step": "enable"}]})");
        const touchsim::RunResult run = touchsim::runScenario(s, {});
        ASSERT_EQ(run.enables.size(), 1u);
        EXPECT_FALSE(run.enables[0].succeeded) << machine;
        EXPECT_EQ(run.enables[0].failure, reason) << machine;
    }
    // The registry names a port where there is no i8042; a keyboard driver
    // above the touch driver's priority takes the i8042's own answer.
    const std::pair<const char*, const char*> timelines[] = {
        {R"("registry": {"values": {"HARDWARE\\DEVICEMAP\\TOUCH": {"ioBase": 512}}},
            "timeline": [{"step": "enable"}])",
         "no i8042 at port 0x200 (the registry's \"ioBase\"); the board's is at 0x60"},
        {R"("timeline": [{"step": "keyboardDriver", "state": "on", "priority": 0},
                         {"step": "enable"}])",
         "the i8042's answer to 'read command byte' was taken by the keyboard driver"},
    };
    for (const auto& [rest, reason] : timelines) {
        const touchsim::RunResult run =
            touchsim::runScenario(parse(std::string("{") + rest + "}"), {});
        ASSERT_EQ(run.enables.size(), 1u);
        EXPECT_EQ(run.enables[0].failure, reason) << rest;
    }
}

TEST(TouchsimRunner, ACaptureIsRecordedWithItsOutcome) {
    const Scenario s = parse(R"({"timeline": [
        {"step": "enable"},
        {"step": "capture"},
        {"step": "tap", "at": [200, 200], "holdMs": 300},
        {"step": "wait", "ms": 50},
        {"step": "capture"},
        {"step": "wait", "ms": 50},
        {"step": "abort"},
        {"step": "wait", "ms": 10},
        {"step": "capture"},
        {"step": "wait", "ms": 10}
    ]})");
    const touchsim::RunResult run = touchsim::runScenario(s, {});
    ASSERT_EQ(run.captures.size(), 3u);
    // Lifted after more than 20 samples: completed at the touch's position.
    ASSERT_TRUE(run.captures[0].result);
    EXPECT_EQ(run.captures[0].result->result, TRUE);
    EXPECT_NEAR(run.captures[0].result->raw.x, 200 * (16383 - 511) / 800.0 + 256, 20);
    ASSERT_TRUE(run.captures[1].result);
    EXPECT_EQ(run.captures[1].result->result, FALSE);  // aborted
    EXPECT_FALSE(run.captures[2].result);              // still waiting for a touch at the end
    EXPECT_TRUE(run.samples.empty());                  // every touch went to a capture
}

}  // namespace

#endif  // TOUCHSIM_CORE
