// The output folder of one run, written whole or not at all.
//
// The files of a run go into a fresh folder beside the target
// (".<name>.touchsim-XXXXXX"), which takes the target's place only once
// every file is written; a run that fails leaves the target as it was, and a
// run that succeeds leaves exactly its own files there, never those of an
// earlier run.  The target is checked before anything runs: it must be a new
// folder, an empty one, or one that holds nothing but touchsim's output.
#pragma once

#include <filesystem>
#include <string>

namespace touchsim {

class OutputFolder {
  public:
    // The files a run may leave in its folder.
    static bool isArtifactName(const std::string& name);

    // Checks the target and makes the staging folder; throws ScenarioError
    // (field "--out") with the system's reason when either cannot be done.
    explicit OutputFolder(const std::filesystem::path& target);
    // Removes the staging folder unless the run was committed.
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Where a file of the run is written until the commit.
    std::filesystem::path file(const std::string& name) const { return staging_ / name; }

    // Puts the staged files in the target's place; throws ScenarioError.
    void commit();

  private:
    std::filesystem::path target_;
    std::filesystem::path staging_;
    bool committed_ = false;
};

}  // namespace touchsim
