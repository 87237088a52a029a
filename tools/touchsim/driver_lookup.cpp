#include "tools/touchsim/driver_lookup.hpp"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#ifndef TOUCHSIM_DRIVER_INSTALLED
#define TOUCHSIM_DRIVER_INSTALLED "../lib/touch/libTOUCH.so"
#endif
#ifndef TOUCH_DRIVER_PATH
#define TOUCH_DRIVER_PATH ""
#endif
#ifndef TOUCHSIM_BUILD_PROGRAM_DIR
#define TOUCHSIM_BUILD_PROGRAM_DIR ""
#endif

namespace touchsim {

namespace {

constexpr const char* kPathVariable = "TOUCH_DRIVER_LIBRARY";

std::optional<std::string> nonEmpty(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

bool sameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, error);
}

}  // namespace

DriverLookup driverLookupForThisProgram(std::optional<std::string> option) {
    DriverLookup lookup;
    lookup.option = std::move(option);
    lookup.environment = nonEmpty(std::getenv(kPathVariable));
    std::error_code error;
    lookup.program = std::filesystem::read_symlink("/proc/self/exe", error);
    lookup.installedRelative = TOUCHSIM_DRIVER_INSTALLED;
    lookup.buildTreeLibrary = TOUCH_DRIVER_PATH;
    lookup.buildTreeProgramDir = TOUCHSIM_BUILD_PROGRAM_DIR;
    return lookup;
}

std::filesystem::path findDriverLibrary(const DriverLookup& lookup) {
    if (lookup.option) {
        return *lookup.option;
    }
    if (lookup.environment) {
        return *lookup.environment;
    }
    const std::filesystem::path programDir = lookup.program.parent_path();
    std::error_code error;
    const std::filesystem::path installed =
        (programDir / lookup.installedRelative).lexically_normal();
    if (!programDir.empty() && std::filesystem::is_regular_file(installed, error)) {
        return installed;
    }
    // The build tree's library only for the build tree's program: a program
    // installed elsewhere never loads a library from a build tree.
    if (sameFolder(programDir, lookup.buildTreeProgramDir)) {
        return lookup.buildTreeLibrary;
    }
    throw std::runtime_error("no driver library at " + installed.string() +
                             "; name one with --driver PATH or " + kPathVariable);
}

}  // namespace touchsim
