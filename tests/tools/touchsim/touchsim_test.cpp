// touchsim as its users run it: the program is started as a subprocess on the
// default scenario, on every example, and on scenario files that are wrong in
// one place each, and its exit status, summary and output folder are checked.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

class Touchsim : public testing::Test {
  protected:
    void SetUp() override {
#ifndef TOUCHSIM_PROGRAM
        GTEST_SKIP() << "touchsim is not built in this configuration";
#else
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("touchsim_cli_" + std::string(test->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
#endif
    }
    void TearDown() override {
        if (!dir_.empty() && !HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    // Runs touchsim with `args`, its standard input from `input` if given.
    Outcome run(const std::vector<std::string>& args, const fs::path& input = {}) {
        std::string command;
#ifdef TOUCHSIM_EMULATOR
        command = std::string(TOUCHSIM_EMULATOR) + " ";
#endif
#ifdef TOUCHSIM_PROGRAM
        command += quoted(TOUCHSIM_PROGRAM);
#endif
        for (const std::string& arg : args) {
            command += " " + quoted(arg);
        }
        const fs::path out = dir_ / "stdout.txt";
        const fs::path err = dir_ / "stderr.txt";
        if (!input.empty()) {
            command += " <" + quoted(input);
        }
        const int raw = std::system((command + " >" + quoted(out) + " 2>" + quoted(err)).c_str());
        Outcome outcome;
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.out = slurp(out);
        outcome.err = slurp(err);
        return outcome;
    }

    fs::path write(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    static fs::path examples() {
#ifdef TOUCHSIM_EXAMPLES
        return TOUCHSIM_EXAMPLES;
#else
        return {};
#endif
    }

    fs::path dir_;
};

std::size_t lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// ---- The default scenario ----

TEST_F(Touchsim, DefaultScenarioPassesAndItsSummaryMatchesItsFiles) {
    const fs::path out = dir_ / "out";
    const Outcome o = run({"--json", "--out", out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    const json summary = json::parse(o.out);
    EXPECT_EQ(summary, json::parse(slurp(out / "summary.json")));
    EXPECT_EQ(summary["result"], "passed");

    // The controller was started with its whole command sequence.
    ASSERT_EQ(summary["enables"].size(), 1u);
    EXPECT_EQ(summary["enables"][0]["succeeded"], true);
    EXPECT_EQ(summary["enables"][0]["commandsSent"], 67);

    // Five targets, each captured and mapped back close to its target.
    const json& calibration = summary["calibrations"][0];
    EXPECT_EQ(calibration["outcome"], "passed");
    ASSERT_EQ(calibration["points"].size(), 5u);
    for (const json& point : calibration["points"]) {
        EXPECT_TRUE(point["captured"].get<bool>());
        EXPECT_LT(point["residualPx"].get<double>(), 1.0) << point.dump();
    }

    // Every delivered sample is in samples.csv, after its header line.
    const std::size_t delivered = summary["samples"]["delivered"];
    EXPECT_GE(delivered, 500u);
    EXPECT_EQ(lines(slurp(out / "samples.csv")), delivered + 1);
    EXPECT_EQ(summary["samples"]["touches"], 5);
    EXPECT_LT(summary["stroke"]["meanErrorPx"].get<double>(), 1.0);

    // Ten pen-downs (five targets, a circle, a line, three taps): ten clicks
    // at 1193180 / 795 Hz.
    EXPECT_EQ(summary["clicks"]["count"], 10);
    EXPECT_NEAR(summary["clicks"]["meanFrequencyHz"].get<double>(), 1500.855, 0.01);

    if (TOUCH_SIM_WAV) {
        EXPECT_EQ(slurp(out / "clicks.wav").substr(0, 4), "RIFF");
    } else {
        EXPECT_FALSE(fs::exists(out / "clicks.wav"));
        EXPECT_NE(o.err.find("clicks.wav not written"), std::string::npos) << o.err;
    }
    const std::string calibrationSvg = slurp(out / "calibration.svg");
    EXPECT_EQ(calibrationSvg.rfind("<svg", 0), 0u);
    EXPECT_NE(calibrationSvg.find("Calibration passed"), std::string::npos);
    EXPECT_NE(slurp(out / "stroke.svg").find("<polyline"), std::string::npos);
}

TEST_F(Touchsim, DefaultSummaryTextNamesVerdictSamplesAccuracyAndClicks) {
    const Outcome o = run({"--out", (dir_ / "out").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    for (const char* expected :
         {"controller start  67 commands", "calibration       passed", "sub-pixel residuals",
          "samples", "a second while the pen was down", "stroke accuracy   mean",
          "clicks            10 heard at 1500.9 Hz", "expectations      all 8 met"}) {
        EXPECT_NE(o.out.find(expected), std::string::npos) << expected << "\n" << o.out;
    }
}

TEST_F(Touchsim, TheSummarySaysUnitsNamesAndWhatWasLeftOut) {
    // Uncalibrated: the cursor is placed from raw units, and clipped to the
    // screen; modes go by the names a scenario uses; one enable, one byte.
    const Outcome modes = run(
        {"run", (examples() / "modes_and_power.json").string(), "--out", (dir_ / "m").string()});
    ASSERT_EQ(modes.status, 0) << modes.err;
    for (const char* expected :
         {"20 delivered in 2 touches", "last to (799, 479) px, clipped to the screen from (",
          "(placed from raw controller units: no calibration was set)",
          "priorityHigh set, priorityNormal set", "mode 3 refused (error 87)"}) {
        EXPECT_NE(modes.out.find(expected), std::string::npos) << expected << "\n" << modes.out;
    }
    const json cursor = json::parse(slurp(dir_ / "m" / "summary.json"))["cursor"];
    EXPECT_EQ(cursor["last"], json::array({799, 479}));
    EXPECT_EQ(cursor["clipped"], 20);
    const Outcome silent = run(
        {"run", (examples() / "silent_controller.json").string(), "--out", (dir_ / "s").string()});
    EXPECT_NE(silent.out.find("no whole command sent (1 byte)"), std::string::npos) << silent.out;
    EXPECT_EQ(json::parse(slurp(dir_ / "s" / "summary.json"))["enables"][0]["failure"],
              "the touch controller answered nothing: it did not acknowledge byte 1 of command "
              "'A' within 50 ms");
    // A calibrated run: the holds after each capture apart from the touches,
    // and a calibration with no miss said so.
    const Outcome calibrated = run({"--out", (dir_ / "d").string()});
    for (const char* expected : {"647 delivered: 611 in 5 touches, 36 after a capture",
                                 "every target hit to the whole pixel"}) {
        EXPECT_NE(calibrated.out.find(expected), std::string::npos) << expected << "\n"
                                                                    << calibrated.out;
    }
}

TEST_F(Touchsim, TheBuiltInDefaultIsTheDefaultExample) {
    const Outcome builtIn = run({"--json", "--out", (dir_ / "a").string()});
    const Outcome file = run(
        {"run", (examples() / "default.json").string(), "--json", "--out", (dir_ / "b").string()});
    ASSERT_EQ(builtIn.status, 0);
    ASSERT_EQ(file.status, 0);
    json a = json::parse(builtIn.out);
    json b = json::parse(file.out);
    for (json* summary : {&a, &b}) {
        summary->erase("file");
        summary->erase("artifacts");
    }
    EXPECT_EQ(a, b);
    EXPECT_EQ(slurp(dir_ / "a" / "samples.csv"), slurp(dir_ / "b" / "samples.csv"));
}

// ---- Examples ----

TEST_F(Touchsim, EveryExampleRunsWithItsExpectedStatus) {
    // Every example states what its run shows as expectations that hold.
    const std::map<std::string, int> expected = {
        {"default.json", 0},        {"rotated_display.json", 0},   {"calibration_fails.json", 0},
        {"abort.json", 0},          {"silent_controller.json", 0}, {"keyboard.json", 0},
        {"click_settings.json", 0}, {"modes_and_power.json", 0},   {"typing.json", 0},
    };
    std::size_t seen = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(examples())) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::string name = entry.path().filename().string();
        const auto want = expected.find(name);
        ASSERT_NE(want, expected.end()) << name << " is not in this test's table";
        ++seen;
        const fs::path out = dir_ / entry.path().stem();
        const Outcome o = run({"run", entry.path().string(), "--quiet", "--out", out.string()});
        EXPECT_EQ(o.status, want->second) << name << "\n" << o.err;
        EXPECT_EQ(o.out, "") << name << ": --quiet printed";
        const json summary = json::parse(slurp(out / "summary.json"));
        EXPECT_EQ(summary["result"], want->second == 0 ? "passed" : "failed") << name;
        EXPECT_GE(summary["expectations"].size(), 3u) << name << " checks too little";
    }
    EXPECT_EQ(seen, expected.size());
}

TEST_F(Touchsim, TheReadmeScenarioRunsAsDocumented) {
    const std::string readme = slurp(examples() / ".." / "README.md");
    const std::size_t start = readme.find("```json\n");
    ASSERT_NE(start, std::string::npos);
    const std::size_t end = readme.find("```", start + 8);
    const fs::path file = write("readme.json", readme.substr(start + 8, end - start - 8));
    const Outcome o = run({"run", file.string(), "--quiet", "--out", (dir_ / "out").string()});
    EXPECT_EQ(o.status, 0) << o.err;
    const json summary = json::parse(slurp(dir_ / "out" / "summary.json"));
    EXPECT_EQ(summary["expectations"].size(), 3u);
}

// ---- Bad input ----

struct BadScenario {
    const char* name;
    const char* text;
    int line;
    const char* field;  // the start of what follows "<file>:<line>: "
};

TEST_F(Touchsim, BadScenariosNameTheFileTheLineAndTheField) {
    write("bad.reg",
          "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"BeepFreq\"=dword:1\n"
          "\"BeepDelay\"=dwerd:2\n");
    const BadScenario cases[] = {
        {"syntax", "{\n  \"timeline\": [\n    {\"step\": \"enable\",, }\n  ]\n}\n", 3,
         "not valid JSON"},
        {"unknown_step",
         "{\n  \"timeline\": [\n    {\"step\": \"enable\"},\n    {\"step\": \"jump\"}\n  ]\n}\n", 4,
         "timeline[1].step: unknown step \"jump\""},
        {"machine_field",
         "{\n  \"machine\": {\n    \"display\": {\"width\": 800, \"height\": 480},\n"
         "    \"panel\": {\"noise\": -1}\n  },\n  \"timeline\": [{\"step\": \"enable\"}]\n}\n",
         4, "machine.panel.noise:"},
        {"missing_timeline", "{\n  \"name\": \"nothing to do\"\n}\n", 1, "timeline: missing"},
        {"wrong_type",
         "{\"timeline\": [\n  {\"step\": \"enable\"},\n  {\"step\": \"tap\", \"at\": [1, 2],\n"
         "   \"holdMs\": \"long\"}\n]}\n",
         4, "timeline[1].holdMs: must be a number"},
        {"lift_while_up",
         "{\"timeline\": [\n  {\"step\": \"enable\"},\n  {\"step\": \"lift\"}\n]}\n", 3,
         "timeline[1].step: \"lift\" needs the finger down"},
        {"missing_reg",
         "{\n  \"registry\": {\"file\": \"nowhere.reg\"},\n  \"timeline\": "
         "[{\"step\": \"enable\"}]\n}\n",
         2, "registry.file: cannot read"},
        {"bad_reg",
         "{\n  \"registry\": {\n    \"file\": \"bad.reg\"\n  },\n  \"timeline\": "
         "[{\"step\": \"enable\"}]\n}\n",
         3, "registry.file: "},
        {"bad_value",
         "{\n  \"registry\": {\"values\": {\n    \"HARDWARE\\\\DEVICEMAP\\\\TOUCH\": {\n"
         "      \"BeepFreq\": true}}},\n  \"timeline\": [{\"step\": \"enable\"}]\n}\n",
         4, "registry.values.HARDWARE\\DEVICEMAP\\TOUCH.BeepFreq: must be"},
        {"range",
         "{\n  \"timeline\": [{\"step\": \"enable\"}],\n  \"expect\": {\n    \"samples\": "
         "{\"atLeast\": 5,\n                \"atMost\": 2}\n  }\n}\n",
         5, "expect.samples.atMost: is below"},
        {"unknown_top", "{\n  \"timeline\": [{\"step\": \"enable\"}],\n  \"timelne\": []\n}\n", 3,
         "timelne: unknown field"},
        {"too_long",
         "{\"timeline\": [\n  {\"step\": \"circle\", \"centre\": [400, 240],\n"
         "   \"radius\": 200, \"turns\": 100, \"speed\": 1}\n]}\n",
         2, "timeline[0]: the finger's moves and taps up to here take"},
    };
    for (const BadScenario& c : cases) {
        const fs::path file = write(std::string(c.name) + ".json", c.text);
        const Outcome o = run({"run", file.string(), "--out", (dir_ / "out").string()});
        EXPECT_EQ(o.status, 2) << c.name << "\n" << o.out << o.err;
        const std::string place = file.string() + ":" + std::to_string(c.line) + ": " + c.field;
        EXPECT_NE(o.err.find(place), std::string::npos)
            << c.name << ": wanted \"" << place << "\" in\n"
            << o.err;
        if (std::string(c.name) == "bad_reg") {
            // The .reg file is found beside the scenario and named with its line.
            EXPECT_NE(o.err.find(place + (dir_ / "bad.reg").string() + ":3: "), std::string::npos)
                << o.err;
        }
    }
}

TEST_F(Touchsim, ABadRegFileIsNamedWithItsOwnLine) {
    const fs::path reg = write("extra.reg",
                               "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n"
                               "\"BeepEnable\"=dword:1\n\"BeepFreq\"=dword:xyz\n");
    const Outcome o = run({"--reg", reg.string(), "--out", (dir_ / "out").string()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find(reg.string() + ":3"), std::string::npos) << o.err;
}

TEST_F(Touchsim, UserTextReachesTheTerminalEscapedAndForeignEncodingsAreNamed) {
    const fs::path named =
        write("named.json",
              "{\"name\": \"red\\u001b[31m\", \"timeline\": [{\"step\": \"wait\", "
              "\"ms\": 1}, {\"step\": \"x\\u009b2J\"}]}");
    const Outcome bad = run({"run", named.string(), "--out", (dir_ / "o").string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown step \"x\\u009B2J\""), std::string::npos) << bad.err;
    std::ofstream(named) << "{\"name\": \"red\\u001b[31m\", \"timeline\": [{\"step\": \"wait\", "
                            "\"ms\": 1}]}";
    const Outcome good = run({"run", named.string(), "--out", (dir_ / "o").string()});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out.find('\x1B'), std::string::npos);
    EXPECT_NE(good.out.find("touchsim: red\\x1B[31m ("), std::string::npos) << good.out;
    // A scenario saved as UTF-16 is refused with its encoding named.
    const fs::path wide = write("wide.json", std::string("\xFF\xFE{\0}\0", 6));
    const Outcome o = run({"run", wide.string(), "--out", (dir_ / "o").string()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find(wide.string() + ": seems to be UTF-16, little-endian"), std::string::npos)
        << o.err;
}

TEST_F(Touchsim, DeeplyNestedInputIsRefusedNotACrash) {
    const std::size_t depth = 100000;
    const fs::path file =
        write("deep.json", "{\"timeline\": [{\"step\": \"enable\"}],\n \"x\": " +
                               std::string(depth, '[') + std::string(depth, ']') + "}");
    const Outcome o = run({"run", file.string(), "--out", (dir_ / "out").string()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find(file.string() + ":2: x: unknown field"), std::string::npos) << o.err;
}

TEST_F(Touchsim, BadOptionsAreBadInput) {
    EXPECT_EQ(run({"--no-such-option"}).status, 2);
    EXPECT_EQ(run({"run", (dir_ / "missing.json").string()}).status, 2);
    EXPECT_EQ(run({"--seed", "many"}).status, 2);
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--seed"), std::string::npos);
    EXPECT_NE(help.out.find("run"), std::string::npos);
    // An output folder that cannot be made.
    write("file", "not a folder");
    const Outcome o = run({"--out", (dir_ / "file" / "out").string()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("--out"), std::string::npos) << o.err;
    // A driver library named by --driver is the one loaded, not the build's.
    const Outcome driver =
        run({"--driver", (dir_ / "none.so").string(), "--out", (dir_ / "out").string()});
    EXPECT_EQ(driver.status, 2);
    EXPECT_NE(driver.err.find((dir_ / "none.so").string() + ": no such file"), std::string::npos)
        << driver.err;
}

// ---- The output folder ----

TEST_F(Touchsim, TheOutputFolderIsCheckedFirstAndHoldsExactlyOneRun) {
    const fs::path out = dir_ / "out";
    ASSERT_EQ(run({"--trace", "--quiet", "--out", out.string()}).status, 0);
    ASSERT_TRUE(fs::exists(out / "ports.csv"));
    // A reused folder keeps nothing of the earlier run.
    ASSERT_EQ(run({"--quiet", "--out", out.string()}).status, 0);
    EXPECT_FALSE(fs::exists(out / "ports.csv"));
    EXPECT_FALSE(fs::exists(out / "trace.txt"));

    // A folder that is in the way is refused before the driver is even
    // loaded (a driver that cannot be loaded would be reported otherwise),
    // and nothing is left behind, neither in it nor beside it.
    const fs::path blocked = dir_ / "blocked";
    fs::create_directories(blocked / "samples.csv");
    setenv("TOUCH_DRIVER_LIBRARY", (dir_ / "no-such-driver.so").c_str(), 1);
    const Outcome o = run({"--out", blocked.string()});
    unsetenv("TOUCH_DRIVER_LIBRARY");
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("--out: " + blocked.string() + ": holds \"samples.csv\""),
              std::string::npos)
        << o.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(blocked), fs::directory_iterator()), 1);
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().find(".touchsim-"), std::string::npos)
            << entry.path();
    }
}

// ---- Options ----

TEST_F(Touchsim, OptionsAsAUserOfCommandLineToolsExpectsThem) {
    // --version names the build and the driver library the loader takes.
    const fs::path driver = dir_ / "other" / "libTOUCH.so";
    setenv("TOUCH_DRIVER_LIBRARY", driver.c_str(), 1);
    const Outcome version = run({"--version"});
    unsetenv("TOUCH_DRIVER_LIBRARY");
    EXPECT_EQ(version.status, 0);
    for (const std::string& expected :
         {std::string("touchsim "), std::string(" (commit "), std::string("\ncompiler: "),
          "\ndriver library: " + driver.string() + " (not found)"}) {
        EXPECT_NE(version.out.find(expected), std::string::npos) << expected << "\n" << version.out;
    }
    // Help without the parser's own notation; run --help lists the global options.
    const std::string help = run({"--help"}).out + run({"run", "--help"}).out;
    for (const char* noise : {"TEXT", "=[]", "REQUIRED", ":FILE"}) {
        EXPECT_EQ(help.find(noise), std::string::npos) << noise << "\n" << help;
    }
    EXPECT_NE(help.find("also taken after run FILE:\n  --seed N"), std::string::npos) << help;
    // Mistakes get the nearest name, or the command that was meant.
    EXPECT_NE(run({"--sed", "4"}).err.find("--sed: unknown option; did you mean --seed?"),
              std::string::npos);
    const fs::path scenario = write("s.json",
                                    "{\"timeline\": [{\"step\": \"wait\", \"ms\": 1,\n"
                                    "  \"note\": \"\", \"mss\": 1}]}");
    const Outcome bare = run({scenario.string()});
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.err.find("touchsim run " + scenario.string()), std::string::npos) << bare.err;
    EXPECT_EQ(run({"--seed", "-1"}).status, 2);
    // --json turns bad input into an error object; "-" reads standard input.
    const Outcome error = run({"run", "-", "--json", "--out", (dir_ / "o").string()}, scenario);
    EXPECT_EQ(error.status, 2);
    EXPECT_EQ(error.err, "");
    EXPECT_EQ(json::parse(error.out),
              json::parse(R"j({"error": {"file": "(standard input)", "line": 2,
                  "field": "timeline[0].mss", "message": "unknown field; did you mean \"ms\"?"}})j"));
}

TEST_F(Touchsim, DefinesChooseTheIfBlocksOfRegFiles) {
    const fs::path reg = write("quiet.reg",
                               "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n"
                               "IF QUIET\n\"BeepEnable\"=dword:0\nENDIF\n");
    EXPECT_EQ(run({"--reg", reg.string(), "-q", "--out", (dir_ / "a").string()}).status, 0);
    const Outcome quiet =
        run({"--reg", reg.string(), "--define", "QUIET", "-q", "--out", (dir_ / "b").string()});
    EXPECT_EQ(quiet.status, 1);  // the default scenario's clicks are not heard
    EXPECT_NE(quiet.err.find("expect.clicks"), std::string::npos) << quiet.err;
}

// ---- Expectations, seeds, options ----

TEST_F(Touchsim, AnUnmetExpectationExitsWithOneAndSaysWhich) {
    // The default scenario expects ten clicks; this turns the click off.
    const fs::path reg = write("quiet.reg",
                               "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n"
                               "\"BeepEnable\"=dword:0\n");
    const Outcome o = run({"--reg", reg.string(), "--quiet", "--out", (dir_ / "out").string()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("expect.clicks: exactly 10 clicks heard, got 0"), std::string::npos)
        << o.err;
    EXPECT_EQ(o.err.find("expect.calibration"), std::string::npos) << o.err;
    const json summary = json::parse(slurp(dir_ / "out" / "summary.json"));
    EXPECT_EQ(summary["result"], "failed");
    EXPECT_EQ(summary["registryFiles"], json::array({reg.string()}));
}

TEST_F(Touchsim, OneSeedGivesTheSameFilesAndAnotherSeedOtherSamples) {
    std::vector<std::string> files = {"samples.csv", "summary.json", "calibration.svg",
                                      "stroke.svg"};
    if (TOUCH_SIM_WAV) {
        files.push_back("clicks.wav");
    }
    for (const char* run_name : {"a", "b"}) {
        ASSERT_EQ(run({"--seed", "7", "--quiet", "--out", (dir_ / run_name).string()}).status, 0);
    }
    for (const std::string& name : files) {
        EXPECT_EQ(slurp(dir_ / "a" / name), slurp(dir_ / "b" / name)) << name;
    }
    ASSERT_EQ(run({"--seed", "8", "--quiet", "--out", (dir_ / "c").string()}).status, 0);
    EXPECT_NE(slurp(dir_ / "a" / "samples.csv"), slurp(dir_ / "c" / "samples.csv"));
    EXPECT_EQ(json::parse(slurp(dir_ / "c" / "summary.json"))["seed"], 8);
}

TEST_F(Touchsim, TraceWritesTheKernelTraceAndEveryPortAccess) {
    const fs::path out = dir_ / "out";
    ASSERT_EQ(run({"--trace", "--quiet", "--out", out.string()}).status, 0);
    const std::string trace = slurp(out / "trace.txt");
    // The sample thread gets the registry's default priority, 109.
    EXPECT_NE(trace.find(" to 109\n"), std::string::npos) << trace.substr(0, 3000);
    // The controller's first command frame: 0xD4 to the command port, then
    // the frame header 0x0A to the data port.
    EXPECT_EQ(trace.rfind("# virtual time in ms", 0), 0u);
    const std::string ports = slurp(out / "ports.csv");
    EXPECT_EQ(ports.rfind("time_ms,", 0), 0u);
    const std::size_t d4 = ports.find(",write,0x64,0xD4\n");
    ASSERT_NE(d4, std::string::npos);
    EXPECT_NE(ports.find(",write,0x60,0x0A\n", d4), std::string::npos);
    const json summary = json::parse(slurp(out / "summary.json"));
    EXPECT_NE(std::find(summary["artifacts"].begin(), summary["artifacts"].end(), "ports.csv"),
              summary["artifacts"].end());
}

}  // namespace
