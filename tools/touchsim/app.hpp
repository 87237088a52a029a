// The touchsim program once its options are read: load the scenario, run it,
// write the output folder and print the summary.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace touchsim {

struct AppOptions {
    std::optional<std::string> scenarioFile;  // none: the default scenario; "-": standard input
    std::optional<std::uint64_t> seed;
    std::string outDir = "touchsim-out";
    bool trace = false;
    std::vector<std::string> regFiles;
    std::vector<std::string> defines;   // for the IF blocks of the --reg files
    std::optional<std::string> driver;  // --driver: the driver library to load
    bool realtime = false;
    bool quiet = false;
    bool json = false;
    bool progress = false;  // show progress (stdout is a terminal)
};

// The default scenario, as examples/default.json holds it.
extern const char* const kDefaultScenarioText;
constexpr const char* kDefaultScenarioName = "examples/default.json (built in)";

// Returns the exit status: 0, 1 (an expectation not met) or 2 (bad input).
int runApp(const AppOptions& options, std::ostream& out, std::ostream& err);

// Bad input as touchsim reports it: a line of text on `err`, or with `json`
// the object {"error": {"file", "line", "field", "message"}} on `out` (null
// for what is not known).  Returns the exit status for bad input, 2.
struct BadInput {
    std::string file;
    int line = 0;
    std::string field;
    std::string message;
};
int reportBadInput(const BadInput& bad, bool json, std::ostream& out, std::ostream& err);

}  // namespace touchsim
