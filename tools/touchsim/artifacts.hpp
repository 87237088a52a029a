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
#include <ostream>
#include <string>

#include "tools/touchsim/analysis.hpp"
#include "windowing/session.hpp"

namespace touchsim {

void writeText(const std::filesystem::path& path, const std::string& text);
// Writes the file straight from `write`, so that a large one is never held
// whole in memory.
void writeFile(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

void writeSamplesCsv(std::ostream& out, const RunResult& run);
std::string samplesCsv(const RunResult& run);
std::string calibrationSvg(const CalibrationRecord& record, const sim::DisplayConfig& display);
void writeStrokeSvg(std::ostream& out, const RunResult& run, const Analysis& analysis,
                    const sim::DisplayConfig& display);
std::string strokeSvg(const RunResult& run, const Analysis& analysis,
                      const sim::DisplayConfig& display);
std::string portTraceCsv(const std::vector<hosted::PortAccess>& accesses);

// The speaker's sound from virtual time 0 to `end`.
void writeClicksWav(const std::filesystem::path& path, windowing::Session& session,
                    hosted::Micros end);

}  // namespace touchsim
