// Speed of touchsim: the wall time of one run of the default scenario (the
// goal is under 2 s), and how many virtual seconds it plays a wall second.
// The run is the whole program's work but the printing: the scenario read,
// the driver loaded and played through, the analysis and every artifact
// rendered in memory (the WAV to a temporary file).
#include <benchmark/benchmark.h>

#include <filesystem>

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
        options.atEnd = [&](windowing::Session& session) {
            touchsim::writeClicksWav(wav, session, session.now());
        };
        const touchsim::RunResult run = touchsim::runScenario(scenario, options);
        const touchsim::Analysis analysis = touchsim::analyse(run);
        const std::vector<touchsim::Verdict> verdicts =
            touchsim::checkExpectations(scenario, run, analysis);
        if (!touchsim::allMet(verdicts)) {
            state.SkipWithError("the default scenario did not meet its expectations");
            break;
        }
        bytes += touchsim::samplesCsv(run).size();
        bytes += touchsim::calibrationSvg(run.calibrations.back(), scenario.machine.display).size();
        bytes += touchsim::strokeSvg(run, analysis, scenario.machine.display).size();
        const touchsim::RunReport report{scenario, scenario.seed, run, analysis, verdicts, "", {}};
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

}  // namespace

BENCHMARK_MAIN();
