// Checks a run against what its scenario expects.
#pragma once

#include <string>
#include <vector>

#include "tools/touchsim/analysis.hpp"
#include "tools/touchsim/scenario.hpp"

namespace touchsim {

struct Verdict {
    std::string field;  // "expect.samples"; "run" for the run itself
    int line = 0;       // of the field in the scenario, 0 when none
    bool met = false;
    std::string text;  // what was expected and what happened
};

// One verdict per expectation of the scenario, in a fixed order, preceded by
// one for the run itself when the kernel stopped it.
std::vector<Verdict> checkExpectations(const Scenario& scenario, const RunResult& run,
                                       const Analysis& analysis);

bool allMet(const std::vector<Verdict>& verdicts);

}  // namespace touchsim
