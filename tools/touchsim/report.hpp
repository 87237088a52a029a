// What a run tells its user: the summary as JSON (summary.json, --json) and
// as a few lines of text.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/touchsim/analysis.hpp"
#include "tools/touchsim/expectations.hpp"

namespace touchsim {

struct RunReport {
    const Scenario& scenario;
    std::uint64_t seed;
    const RunResult& run;
    const Analysis& analysis;
    const std::vector<Verdict>& verdicts;
    std::string outDir;                      // as given
    std::vector<std::string> artifacts;      // file names written there
    std::vector<std::string> registryFiles;  // .reg files applied, in order
};

// Everything of the run that is the same on every machine: no wall time, no
// absolute paths, so that two runs with one seed give the same text.
nlohmann::json summaryJson(const RunReport& report);

// The short human summary; `wallSeconds` is how long the run took.
std::string summaryText(const RunReport& report, double wallSeconds);

// "<file>:<line>: <field>: <text>" for each expectation not met.
std::vector<std::string> unmetLines(const RunReport& report);

// Compact JSON text that never fails on odd bytes in user-given strings.
std::string dumpJson(const nlohmann::json& json, int indent = 2);

}  // namespace touchsim
