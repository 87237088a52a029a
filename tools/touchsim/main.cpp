// touchsim: plays a scenario through the TOUCH driver on the simulated board
// and reports what happened.
//
//   touchsim                 the default scenario
//   touchsim run FILE        a scenario file (see examples/); "-" reads it from standard input
//
// Exit status: 0 every expectation met, 1 an expectation not met (or the run
// stopped), 2 bad input (options, scenario, .reg file, output folder).
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/touchsim/app.hpp"
#include "tools/touchsim/driver_lookup.hpp"
#include "tools/touchsim/scenario.hpp"
#include "tools/touchsim/text.hpp"

namespace touchsim {
// Set by the build (build_info.cpp): the version and the commit it was built from.
extern const char* const kVersion;
extern const char* const kCommit;
}  // namespace touchsim

namespace {

std::string compilerName() {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "gcc " __VERSION__;
#else
    return "unknown compiler";
#endif
}

std::string versionText(const std::optional<std::string>& driverOption) {
    std::filesystem::path driver;
    try {
        driver = touchsim::findDriverLibrary(touchsim::driverLookupForThisProgram(driverOption));
    } catch (const std::runtime_error& error) {
        return std::string("touchsim ") + touchsim::kVersion + " (commit " + touchsim::kCommit +
               ")\ncompiler: " + compilerName() + "\ndriver library: none found (" + error.what() +
               ")\n";
    }
    std::error_code error;
    const bool found = std::filesystem::is_regular_file(driver, error);
    return std::string("touchsim ") + touchsim::kVersion + " (commit " + touchsim::kCommit +
           ")\ncompiler: " + compilerName() + "\ndriver library: " +
           std::filesystem::absolute(driver, error).lexically_normal().string() +
           (found ? "" : " (not found)") + "\n";
}

// The long names of the options of `app`, for "did you mean".
std::vector<std::string> optionNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
    }
    return names;
}

// What touchsim says of arguments it did not expect.
touchsim::BadInput unexpected(const std::vector<std::string>& extras, const CLI::App& app,
                              bool subcommandGiven) {
    const std::string& first = extras.front();
    if (first.starts_with("-") && first != "-") {
        const std::string name = first.substr(0, first.find('='));
        const std::optional<std::string> meant = touchsim::nearestWord(name, optionNames(app));
        return {"", 0, name,
                "unknown option" + (meant ? "; did you mean " + *meant + "?" : std::string()) +
                    " Run touchsim --help for the options."};
    }
    if (!subcommandGiven) {
        return {"", 0, first,
                "touchsim takes a scenario file after \"run\": touchsim run " + first};
    }
    return {"", 0, first, "unexpected argument; touchsim run takes one scenario file"};
}

// `run --help` also lists the options of touchsim itself, which may be given
// after the file.
std::string runHelp(const CLI::App& app, const CLI::App& run) {
    std::string text = run.help();
    text += "\nOptions of touchsim, also taken after run FILE:\n";
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_lnames().empty() || option->get_lnames().front() == "help") {
            continue;
        }
        std::string names = option->get_name(false, true);
        if (!option->get_type_name().empty()) {
            names += " " + option->get_type_name();
        }
        names.resize(std::max<std::size_t>(names.size() + 2, 30), ' ');
        text += "  " + names + option->get_description() + "\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    touchsim::AppOptions options;
    CLI::App app{
        "touchsim: plays a scenario through the TOUCH touch-screen driver on a simulated board\n"
        "(i8042 with the touch controller, touch panel, PC speaker) in virtual time, and reports\n"
        "the calibration, the samples delivered, their accuracy and the clicks heard.\n\n"
        "Without a command it runs the default scenario (examples/default.json).\n"
        "Exit status: 0 all expectations met, 1 an expectation not met, 2 bad input.",
        "touchsim"};
    app.allow_extras();
    std::string seedText;
    CLI::Option* seed =
        app.add_option("--seed", seedText,
                       "Seed of the panel noise, 0 to 2^64 - 1 (replaces the scenario's)")
            ->type_name("N");
    app.add_option("--out", options.outDir, "Output folder (default: touchsim-out)")
        ->type_name("DIR");
    app.add_flag("--trace", options.trace,
                 "Also write the kernel trace (trace.txt) and every port access (ports.csv)");
    app.add_option("--reg", options.regFiles,
                   "Extra registry settings (.reg file), applied after the scenario's; repeatable")
        ->type_name("FILE");
    app.add_option("--define", options.defines,
                   "Define NAME for the IF blocks of the --reg files; repeatable")
        ->type_name("NAME");
    app.add_option("--driver", options.driver,
                   "Driver library to load.  Without it: $TOUCH_DRIVER_LIBRARY, else the one\n"
                   "installed beside touchsim (../lib/touch/libTOUCH.so), else the build tree's")
        ->type_name("PATH");
    app.add_flag("--realtime", options.realtime,
                 "Pace virtual time to the wall clock and print each sample as it is delivered");
    app.add_flag("--quiet,-q", options.quiet, "Print nothing but unmet expectations and errors");
    app.add_flag("--json", options.json,
                 "Print the summary as JSON on stdout (and bad input as a JSON error object)");
    app.set_version_flag("--version", versionText(options.driver),
                         "Print the version, the build and the "
                         "driver library it loads, and exit");
    CLI::App* run = app.add_subcommand("run", "Play a scenario file (- reads standard input)");
    std::string scenarioFile;
    run->add_option("FILE", scenarioFile, "Scenario (JSON), see examples/; - for standard input")
        ->type_name("");
    run->fallthrough();
    run->allow_extras();
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << (run->parsed() ? runHelp(app, *run) : app.help());
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::cout << versionText(options.driver);
        return 0;
    } catch (const CLI::ParseError& error) {
        return touchsim::reportBadInput(
            {"", 0, "", std::string(error.what()) + " Run touchsim --help for the options."}, json,
            std::cout, std::cerr);
    }
    std::vector<std::string> extras = app.remaining();
    const std::vector<std::string> runExtras = run->remaining();
    extras.insert(extras.end(), runExtras.begin(), runExtras.end());
    if (!extras.empty()) {
        return touchsim::reportBadInput(unexpected(extras, app, run->parsed()), json, std::cout,
                                        std::cerr);
    }
    if (run->parsed()) {
        if (scenarioFile.empty()) {
            return touchsim::reportBadInput(
                {"", 0, "run", "needs a scenario FILE (or - for standard input)"}, json, std::cout,
                std::cerr);
        }
        options.scenarioFile = scenarioFile;
    }
    if (seed->count() > 0) {
        options.seed = touchsim::parseSeed(seedText);
        if (!options.seed) {
            return touchsim::reportBadInput(
                {"", 0, "--seed",
                 std::string("must be ") + touchsim::kSeedRange + ", not \"" + seedText + "\""},
                json, std::cout, std::cerr);
        }
    }
    options.progress = isatty(STDOUT_FILENO) != 0;
    return touchsim::runApp(options, std::cout, std::cerr);
}
