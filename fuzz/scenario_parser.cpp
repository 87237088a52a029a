// Fuzz target: the touchsim scenario parser.
//
// Input: the JSON text of a scenario.  It is either read or refused with a
// ScenarioError that names the scenario (or the .reg file it refers to) and,
// when it names a line, a line of the text; nothing else may escape.  The
// .reg files a scenario refers to are looked up in an empty folder, so the
// fuzzer reads nothing from the disk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tools/touchsim/scenario.hpp"

namespace {

constexpr char kFile[] = "fuzz.json";

const std::filesystem::path& emptyFolder() {
    static const std::filesystem::path folder = [] {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / "touch-fuzz-scenario-empty";
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    try {
        (void)touchsim::parseScenario(text, kFile, emptyFolder());
    } catch (const touchsim::ScenarioError& error) {
        const bool namesScenario = error.file() == kFile;
        const bool namesRegFile = error.file().starts_with(emptyFolder().string());
        if ((!namesScenario && !namesRegFile) || error.line() < 0 ||
            (namesScenario && error.line() > lines)) {
            std::fprintf(stderr, "scenario parser: an error that names no file or line of it\n%s\n",
                         error.what());
            std::abort();
        }
    }
    return 0;
}
