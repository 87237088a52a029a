#include "tools/touchsim/app.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/hosted/registry.hpp"
#include "tools/touchsim/artifacts.hpp"
#include "tools/touchsim/driver_lookup.hpp"
#include "tools/touchsim/output_folder.hpp"
#include "tools/touchsim/report.hpp"
#include "tools/touchsim/text.hpp"

namespace touchsim {

namespace {

constexpr int kAllMet = 0;
constexpr int kNotMet = 1;
constexpr int kBadInput = 2;

constexpr const char* kStandardInput = "-";
constexpr const char* kStandardInputName = "(standard input)";

Scenario loadChosen(const AppOptions& options) {
    if (options.scenarioFile == kStandardInput) {
        std::ostringstream text;
        text << std::cin.rdbuf();
        if (const std::optional<std::string> foreign = foreignEncoding(text.str())) {
            throw ScenarioError(
                kStandardInputName, 0, "",
                "seems to be " + *foreign + "; a scenario is JSON in UTF-8: give it as UTF-8");
        }
        // Relative .reg paths are taken from the current folder.
        return parseScenario(text.str(), kStandardInputName, std::filesystem::current_path());
    }
    if (options.scenarioFile) {
        return loadScenario(*options.scenarioFile);
    }
    return parseScenario(kDefaultScenarioText, kDefaultScenarioName,
                         std::filesystem::current_path());
}

std::vector<RegistrySettings> extraRegistry(const AppOptions& options) {
    std::vector<RegistrySettings> extra;
    for (const std::string& file : options.regFiles) {
        RegistrySettings settings;
        settings.file = file;
        settings.fileText = decodeRegText(readFile(file), file);
        settings.defines = options.defines;
        try {
            hosted::Registry().loadText(settings.fileText, file, settings.defines);
        } catch (const hosted::RegParseError& error) {
            throw ScenarioError(error.file(), error.line(), "--reg", error.message());
        }
        extra.push_back(std::move(settings));
    }
    return extra;
}

// One line that rewrites itself on a terminal.
class Progress {
  public:
    Progress(std::ostream& out, bool shown) : out_(out), shown_(shown) {}
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void step(std::size_t index, std::size_t count, const Step& step, hosted::Micros now) {
        if (!shown_) {
            return;
        }
        char text[160];
        std::snprintf(text, sizeof text, "\r\033[K[%zu/%zu] %s (line %d) at %.1f virtual s",
                      index + 1, count, step.kind, step.line, static_cast<double>(now) / 1e6);
        out_ << text << std::flush;
        dirty_ = true;
    }
    void clear() {
        if (dirty_) {
            out_ << "\r\033[K" << std::flush;
            dirty_ = false;
        }
    }

  private:
    std::ostream& out_;
    bool shown_;
    bool dirty_ = false;
};

void printLive(std::ostream& out, const windowing::Sample& s) {
    char text[96];
    std::snprintf(text, sizeof text, "%10.3f ms  0x%02X  %6d %6d\n",
                  static_cast<double>(s.time) / 1000.0, static_cast<unsigned>(s.flags), s.x, s.y);
    out << text << std::flush;
}

int play(const AppOptions& options, std::ostream& out, std::ostream& err) {
    const Scenario scenario = loadChosen(options);
    RunOptions run;
    run.seed = options.seed;
    run.extraRegistry = extraRegistry(options);
    run.tracePorts = options.trace;
    run.realtime = options.realtime;
    // Checked before any virtual time passes; written whole at the end.
    OutputFolder folder(options.outDir);
    run.driverLibrary = findDriverLibrary(driverLookupForThisProgram(options.driver));
    std::vector<std::string> artifacts;
    auto write = [&](const std::string& name, const std::string& text) {
        writeText(folder.file(name), text);
        artifacts.push_back(name);
    };
    // For the files that grow with the run: written without being held whole.
    auto stream = [&](const std::string& name, const std::function<void(std::ostream&)>& text) {
        writeFile(folder.file(name), text);
        artifacts.push_back(name);
    };

    Progress progress(out,
                      options.progress && !options.quiet && !options.json && !options.realtime);
    run.onStep = [&progress](std::size_t i, std::size_t n, const Step& step, hosted::Micros now) {
        progress.step(i, n, step, now);
    };
    if (options.realtime && !options.json && !options.quiet) {
        run.onSample = [&out](const windowing::Sample& s) { printLive(out, s); };
    }
    // What grows with the run is written as it goes, not kept: the sound,
    // the samples once settled, the drawing of the strokes.
    run.keep = false;
#if TOUCH_SIM_WAV
    ClicksWav wav(folder.file("clicks.wav"));
    run.onClick = [&wav](const sim::Click& click) { wav.heard(click); };
#endif
    std::ofstream csv(folder.file("samples.csv"), std::ios::binary);
    if (!csv) {
        throw ScenarioError(folder.file("samples.csv").string(), 0, "",
                            std::string("cannot write: ") + std::strerror(errno));
    }
    writeSamplesHeader(csv);
    run.onSettledSample = [&csv](const windowing::Sample& s, bool calibrated) {
        writeSampleRow(csv, s, calibrated);
    };
    std::optional<StrokeDrawing> drawing(std::in_place, scenario.machine.display,
                                         folder.file("stroke.svg"));
    run.onStroke = [&drawing](const FingerStroke& stroke) { drawing->stroke(stroke); };
    run.onDeviation = [&drawing](const SampleDeviation& d) { drawing->sample(d); };
    run.atEnd = [&](windowing::Session& session) {
#if TOUCH_SIM_WAV
        wav.finish(session.now());
        artifacts.push_back("clicks.wav");
#else
        (void)session;
        if (!options.quiet) {
            err << "touchsim: clicks.wav not written: this build has no WAV output\n";
        }
#endif
        if (options.trace) {
            stream("trace.txt", [&](std::ostream& text) {
                text << "# virtual time in ms, thread: event\n";
                for (const hosted::TraceRecord& r : session.trace()) {
                    char time[32];
                    std::snprintf(time, sizeof time, "%12.3f ", static_cast<double>(r.time) / 1e3);
                    text << time << r.thread << ": " << r.what << "\n";
                }
            });
            write("ports.csv", portTraceCsv(session.kernel().portTrace()));
        }
    };

    const auto started = std::chrono::steady_clock::now();
    const RunResult result = runScenario(scenario, run);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.clear();

    const Analysis& analysis = *result.analysis;
    const std::vector<Verdict> verdicts = checkExpectations(scenario, result, analysis);
    csv.close();
    if (!csv) {
        throw ScenarioError(folder.file("samples.csv").string(), 0, "",
                            std::string("cannot write: ") + std::strerror(errno));
    }
    artifacts.push_back("samples.csv");
    if (!result.calibrations.empty()) {
        write("calibration.svg",
              calibrationSvg(result.calibrations.back(), scenario.machine.display));
    }
    if (drawing->strokes() > 0) {
        stream("stroke.svg", [&](std::ostream& svg) { drawing->write(svg, analysis); });
    }
    drawing.reset();  // and its scratch files with it
    artifacts.push_back("summary.json");
    std::vector<std::string> registryFiles;
    if (!scenario.registry.file.empty()) {
        registryFiles.push_back(scenario.registry.file);
    }
    registryFiles.insert(registryFiles.end(), options.regFiles.begin(), options.regFiles.end());
    RunReport report{scenario,  run.seed.value_or(scenario.seed),
                     result,    analysis,
                     verdicts,  options.outDir,
                     artifacts, registryFiles};
    const nlohmann::json summary = summaryJson(report);
    writeText(folder.file("summary.json"), dumpJson(summary) + "\n");
    folder.commit();

    if (options.json) {
        out << dumpJson(summary) << "\n";
    } else if (!options.quiet) {
        out << terminalSafe(summaryText(report, wall), true);
    } else {
        for (const std::string& line : unmetLines(report)) {
            err << terminalSafe(line) << "\n";
        }
    }
    return allMet(verdicts) && !result.stopped ? kAllMet : kNotMet;
}

}  // namespace

int runApp(const AppOptions& options, std::ostream& out, std::ostream& err) {
    try {
        return play(options, out, err);
    } catch (const ScenarioError& error) {
        return reportBadInput({error.file(), error.line(), error.field(), error.message()},
                              options.json, out, err);
    } catch (const windowing::LoadError& error) {
        return reportBadInput(
            {"", 0, "driver", std::string("cannot load the driver: ") + error.what()}, options.json,
            out, err);
    } catch (const std::exception& error) {
        return reportBadInput({"", 0, "", error.what()}, options.json, out, err);
    }
}

int reportBadInput(const BadInput& bad, bool json, std::ostream& out, std::ostream& err) {
    if (json) {
        auto known = [](const std::string& text) {
            return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
        };
        const nlohmann::json error = {
            {"error",
             {{"file", known(bad.file)},
              {"line", bad.line > 0 ? nlohmann::json(bad.line) : nlohmann::json(nullptr)},
              {"field", known(bad.field)},
              {"message", bad.message}}}};
        out << dumpJson(error) << "\n";
    } else {
        err << "touchsim: "
            << terminalSafe(ScenarioError(bad.file, bad.line, bad.field, bad.message).what())
            << "\n";
    }
    return kBadInput;
}

}  // namespace touchsim
