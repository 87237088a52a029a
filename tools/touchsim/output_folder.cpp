#include "tools/touchsim/output_folder.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "tools/touchsim/scenario.hpp"

namespace touchsim {

namespace fs = std::filesystem;

namespace {

constexpr std::array<const char*, 7> kArtifacts = {"samples.csv", "summary.json", "calibration.svg",
                                                   "stroke.svg",  "clicks.wav",   "trace.txt",
                                                   "ports.csv"};

[[noreturn]] void refuse(const fs::path& path, const std::string& message) {
    throw ScenarioError("", 0, "--out", path.string() + ": " + message);
}

// The target as an absolute path with a file name ("out/" is "out").
fs::path normalised(const fs::path& given) {
    fs::path path = fs::absolute(given).lexically_normal();
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path;
}

void checkTarget(const fs::path& target) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found) {
        return;
    }
    if (error) {
        refuse(target, error.message());
    }
    if (status.type() == fs::file_type::symlink) {
        refuse(target, "is a symbolic link; give the folder it leads to");
    }
    if (status.type() != fs::file_type::directory) {
        refuse(target, "is not a folder");
    }
    fs::directory_iterator it(target, error);
    if (error) {
        refuse(target, "cannot be read: " + error.message());
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!OutputFolder::isArtifactName(name) || !it->is_regular_file()) {
            refuse(target, "holds \"" + name +
                               "\", which is not a touchsim output file; give a new folder, an "
                               "empty one, or one that holds only an earlier run's output");
        }
    }
    if (error) {
        refuse(target, "cannot be read: " + error.message());
    }
}

}  // namespace

bool OutputFolder::isArtifactName(const std::string& name) {
    for (const char* artifact : kArtifacts) {
        if (name == artifact) {
            return true;
        }
    }
    return false;
}

OutputFolder::OutputFolder(const fs::path& given) : target_(normalised(given)) {
    if (target_ == target_.root_path()) {
        refuse(target_, "is the root folder");
    }
    checkTarget(target_);
    const fs::path parent = target_.parent_path();
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
        refuse(parent, "cannot be created: " + error.message());
    }
    // Built by appending: GCC 12 at -O3 wrongly reports an overlap (-Wrestrict,
    // its bug 105651) in "." + std::string&&.
    std::string name = ".";
    name += target_.filename().string();
    name += ".touchsim-XXXXXX";
    std::string pattern = (parent / name).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        refuse(parent, std::string("cannot hold the run's files: ") + std::strerror(errno));
    }
    staging_ = buffer.data();
    // mkdtemp makes the folder private; the output folder gets the
    // permissions any new folder would.
    const mode_t mask = umask(0);
    umask(mask);
    fs::permissions(staging_, static_cast<fs::perms>(0777 & ~mask), error);
}

OutputFolder::~OutputFolder() {
    if (!committed_) {
        std::error_code ignored;
        fs::remove_all(staging_, ignored);
    }
}

void OutputFolder::commit() {
    // The earlier run is moved aside first, so that the target holds one
    // whole run at every moment but the two renames.
    checkTarget(target_);
    const fs::path earlier = staging_.string() + ".earlier";
    std::error_code error;
    const bool replacing = fs::exists(target_, error);
    if (replacing) {
        fs::rename(target_, earlier, error);
        if (error) {
            refuse(target_, "cannot be replaced: " + error.message());
        }
    }
    fs::rename(staging_, target_, error);
    if (error) {
        std::error_code ignored;
        if (replacing) {
            fs::rename(earlier, target_, ignored);
        }
        refuse(target_, "cannot be written: " + error.message());
    }
    committed_ = true;
    if (replacing) {
        fs::remove_all(earlier, error);
    }
}

}  // namespace touchsim
