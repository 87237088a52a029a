// Loading the TOUCH library the way the platform does.
//
// Every DriverLibrary is a fresh instance of the library: the file is copied
// to a unique temporary name before it is mapped, so the dynamic loader cannot
// hand back an instance that is already mapped, and every module-level
// variable starts from its value at load.  The copy is mapped with
// RTLD_NOW | RTLD_LOCAL; libtouch_platform.so stays shared, so the library and
// the windowing stand-in talk to the same (one per process) hosted kernel.
//
// Construction maps the copy, resolves DllMain and the nine entry points and
// attaches once through DllMain(DLL_PROCESS_ATTACH); a refused attach or a
// missing symbol fails the load with a LoadError.  unload() (or destruction)
// detaches every attach still outstanding, unmaps the copy and deletes it.
//
// The library is never unmapped while a kernel thread other than the caller
// is alive, since such a thread may still run code of the library (a sample
// thread that did not stop, a capture caller that was never released).  The
// mapping is then deliberately kept for the rest of the process and
// keptMapped() says so; the copied file is deleted all the same (the mapping
// keeps its contents alive).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "driver/core/touch_driver.h"

namespace windowing {

// A driver library that could not be loaded: what() names the file and the
// reason (unreadable file, loader error, missing entry point, refused attach).
class LoadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The library entry and the nine entry points of one mapped instance.
struct DriverEntryPoints {
    PFN_DllMain dllMain = nullptr;
    PFN_TouchPanelEnable enable = nullptr;
    PFN_TouchPanelDisable disable = nullptr;
    PFN_TouchPanelGetDeviceCaps getDeviceCaps = nullptr;
    PFN_TouchPanelSetMode setMode = nullptr;
    PFN_TouchPanelPowerHandler powerHandler = nullptr;
    PFN_TouchPanelReadCalibrationPoint readCalibrationPoint = nullptr;
    PFN_TouchPanelReadCalibrationAbort readCalibrationAbort = nullptr;
    PFN_TouchPanelSetCalibration setCalibration = nullptr;
    PFN_TouchPanelCalibrateAPoint calibrateAPoint = nullptr;
};

struct DriverLibraryOptions {
    // The library file to load; defaultPath() unless given.
    std::filesystem::path path;
    // Where the private copy is made; the system's temporary directory unless
    // given (it must allow mapping executable code).
    std::filesystem::path copyDirectory;
};

class DriverLibrary {
  public:
    // The library this build produced (TOUCH_DRIVER_PATH), unless the
    // environment variable TOUCH_DRIVER_LIBRARY names another file.
    static std::filesystem::path defaultPath();

    // Maps a fresh copy and attaches once.  Throws LoadError.
    explicit DriverLibrary(DriverLibraryOptions options = {});
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // The entry points; valid until unload().
    const DriverEntryPoints& entry() const;

    // A further DllMain(DLL_PROCESS_ATTACH) / DLL_PROCESS_DETACH on this same
    // instance, as when the platform attaches the library again.  Return the
    // library's answer; an accepted attach is detached again by unload().
    BOOL attach();
    BOOL detach();
    // Attaches the library accepted and that have not been detached yet.
    int outstandingAttaches() const { return attaches_; }

    // Detaches, unmaps and deletes the copy.  Idempotent.
    void unload();
    bool loaded() const { return handle_ != nullptr; }
    // True when unload() found other kernel threads alive and left the
    // instance mapped for the rest of the process.
    bool keptMapped() const { return keptMapped_; }

    const std::filesystem::path& sourcePath() const { return source_; }
    const std::filesystem::path& copyPath() const { return copy_; }

  private:
    void resolveEntryPoints();
    void* symbol(const char* name) const;
    void closeMapping();
    void removeCopy();

    std::filesystem::path source_;
    std::filesystem::path copy_;
    void* handle_ = nullptr;
    DriverEntryPoints entry_{};
    int attaches_ = 0;
    bool keptMapped_ = false;
};

}  // namespace windowing
