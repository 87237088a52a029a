// touchsim: plays a scenario through the TOUCH driver on the simulated board
// and reports what happened.
//
//   touchsim                 the default scenario
//   touchsim run FILE        a scenario file (see examples/)
//
// Exit status: 0 every expectation met, 1 an expectation not met (or the run
// stopped), 2 bad input (options, scenario, .reg file, output folder).
#include <unistd.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/touchsim/app.hpp"
#include "tools/touchsim/scenario.hpp"

namespace {

constexpr int kBadInput = 2;

}  // namespace

int main(int argc, char** argv) {
    touchsim::AppOptions options;
    CLI::App app{
        "touchsim: plays a scenario through the TOUCH touch-screen driver on a simulated board\n"
        "(i8042 with the touch controller, touch panel, PC speaker) in virtual time, and reports\n"
        "the calibration, the samples delivered, their accuracy and the clicks heard.\n\n"
        "Without a command it runs the default scenario (examples/default.json).\n"
        "Exit status: 0 all expectations met, 1 an expectation not met, 2 bad input.",
        "touchsim"};
    app.option_defaults()->always_capture_default();
    std::string seedText;
    CLI::Option* seed = app.add_option(
        "--seed", seedText, "Seed of the panel noise (replaces the scenario's), 0 to 2^64 - 1");
    app.add_option("--out", options.outDir, "Output folder")->capture_default_str();
    app.add_flag("--trace", options.trace,
                 "Also write the kernel trace (trace.txt) and every port access (ports.csv)");
    app.add_option("--reg", options.regFiles,
                   "Extra registry settings (.reg file), applied after the scenario's; repeatable")
        ->check(CLI::ExistingFile);
    app.add_flag("--realtime", options.realtime,
                 "Pace virtual time to the wall clock and print each sample as it is delivered");
    app.add_flag("--quiet,-q", options.quiet, "Print nothing but unmet expectations and errors");
    app.add_flag("--json", options.json, "Print the summary as JSON on stdout");
    CLI::App* run = app.add_subcommand("run", "Play a scenario file");
    run->add_option("FILE", options.scenarioFile, "Scenario (JSON), see examples/")
        ->required()
        ->check(CLI::ExistingFile);
    run->fallthrough();
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::cerr << "touchsim: " << error.what() << "\nRun touchsim --help for the options.\n";
        return kBadInput;
    }
    if (seed->count() > 0) {
        options.seed = touchsim::parseSeed(seedText);
        if (!options.seed) {
            std::cerr << "touchsim: --seed: must be " << touchsim::kSeedRange << ", not \""
                      << seedText << "\"\n";
            return kBadInput;
        }
    }
    options.progress = isatty(STDOUT_FILENO) != 0;
    return touchsim::runApp(options, std::cout, std::cerr);
}
