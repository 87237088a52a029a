// Where touchsim finds the driver library it loads.  The first of these wins:
//   1. the --driver option;
//   2. the environment variable TOUCH_DRIVER_LIBRARY;
//   3. the library beside the program as installed (bin/touchsim loads
//      lib/touch/libTOUCH.so of the same prefix), wherever the tree was moved;
//   4. the build tree's library, for the build tree's own program.
// A path given by 1 or 2 is taken as is (the loader reports a missing file).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace touchsim {

struct DriverLookup {
    std::optional<std::string> option;  // --driver
    std::optional<std::string> environment;
    std::filesystem::path program;            // this executable, as run
    std::filesystem::path installedRelative;  // from the program's folder
    std::filesystem::path buildTreeLibrary;
    std::filesystem::path buildTreeProgramDir;
};

// The lookup for this process: its environment, its executable and what the
// build compiled in.
DriverLookup driverLookupForThisProgram(std::optional<std::string> option);

// The library to load; throws std::runtime_error naming the places looked at
// when none of them has it.
std::filesystem::path findDriverLibrary(const DriverLookup& lookup);

}  // namespace touchsim
