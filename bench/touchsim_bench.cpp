// Speed of touchsim: the wall time of one run of the default scenario (the
// goal is under 2 s), and how many virtual seconds it plays a wall second.
// The run is the whole program's work but the printing: the scenario read,
// the driver loaded and played through, the analysis and every artifact
// rendered in memory (the WAV to a temporary file).
//
// Long runs: 1 and 10 virtual hours of taps (one a second, the click on),
// played by the whole program into an output folder, each in a child process
// of its own so that its peak memory (peak_MB) is its own.  The run keeps
// nothing that grows with it (the samples, the drawing and the sound are
// written as it goes): what grows is the scenario, two steps a tap, packed
// as it is read.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/touchsim/analysis.hpp"
#include "tools/touchsim/app.hpp"
#include "tools/touchsim/artifacts.hpp"
#include "tools/touchsim/expectations.hpp"
#include "tools/touchsim/report.hpp"
#include "tools/touchsim/runner.hpp"

namespace {

void DefaultScenario(benchmark::State& state) {
    const touchsim::Scenario scenario =
        touchsim::parseScenario(touchsim::kDefaultScenarioText, touchsim::kDefaultScenarioName,
                                std::filesystem::current_path());
    const std::filesystem::path wav = std::filesystem::temp_directory_path() / "touchsim_bench.wav";
    double virtualSeconds = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        touchsim::RunOptions options;
        touchsim::ClicksWav sound(wav);
        options.onClick = [&sound](const sim::Click& click) { sound.heard(click); };
        options.atEnd = [&](windowing::Session& session) { sound.finish(session.now()); };
        const touchsim::RunResult run = touchsim::runScenario(scenario, options);
        const touchsim::Analysis& analysis = *run.analysis;
        const std::vector<touchsim::Verdict> verdicts =
            touchsim::checkExpectations(scenario, run, analysis);
        if (!touchsim::allMet(verdicts)) {
            state.SkipWithError("the default scenario did not meet its expectations");
            break;
        }
        bytes += touchsim::samplesCsv(run).size();
        bytes += touchsim::calibrationSvg(run.calibrations.back(), scenario.machine.display).size();
        bytes += touchsim::strokeSvg(run, analysis, scenario.machine.display).size();
        const touchsim::RunReport report{scenario, scenario.seed, run, analysis, verdicts, "", {},
                                         {}};
        bytes += touchsim::dumpJson(touchsim::summaryJson(report)).size();
        virtualSeconds += static_cast<double>(run.end) / 1e6;
    }
    std::filesystem::remove(wav);
    state.counters["virtual_s_per_wall_s"] =
        benchmark::Counter(virtualSeconds, benchmark::Counter::kIsRate);
    state.counters["virtual_s_per_run"] =
        benchmark::Counter(virtualSeconds, benchmark::Counter::kAvgIterations);
    benchmark::DoNotOptimize(bytes);
}
BENCHMARK(DefaultScenario)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// A scenario of taps at 1 Hz for `hours` virtual hours.
std::string tapsScenario(int hours) {
    constexpr int kTapsPerHour = 3600;
    std::ostringstream text;
    text << R"({"name": "taps", "registry": {"values": {"HARDWARE\\DEVICEMAP\\TOUCH":)"
         << R"( {"BeepEnable": 1}}}, "timeline": [{"step": "enable"})";
    for (int i = 0; i < hours * kTapsPerHour; ++i) {
        text << R"(, {"step": "tap", "at": [200, 120], "holdMs": 50}, {"step": "wait", "ms": 950})";
    }
    text << R"(, {"step": "disable"}]})";
    return text.str();
}

void LongTapRun(benchmark::State& state) {
    const auto hours = static_cast<int>(state.range(0));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("touchsim_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "taps.json";
    std::ofstream(file) << tapsScenario(hours);
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            touchsim::AppOptions options;
            options.scenarioFile = file.string();
            options.outDir = (dir / "out").string();
            options.quiet = true;
            std::ostringstream out;
            std::ostringstream err;
            _exit(touchsim::runApp(options, out, err));
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the run failed");
            break;
        }
        state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
        state.counters["wav_MB"] =
            static_cast<double>(std::filesystem::file_size(dir / "out" / "clicks.wav")) / 1e6;
    }
    std::filesystem::remove_all(dir);
    state.counters["virtual_h"] = hours;
}
BENCHMARK(LongTapRun)->Arg(1)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
