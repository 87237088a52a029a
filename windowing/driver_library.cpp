#include "windowing/driver_library.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <type_traits>
#include <vector>

#include "platform/hosted/kernel.hpp"

namespace windowing {

namespace {

#ifndef TOUCH_DRIVER_PATH
#define TOUCH_DRIVER_PATH "libTOUCH.so"
#endif

constexpr const char* kPathVariable = "TOUCH_DRIVER_LIBRARY";
constexpr const char* kCopyPattern = "touch-driver-XXXXXX";

std::string describe(const std::filesystem::path& path, const std::string& reason) {
    return "driver library " + path.string() + ": " + reason;
}

// Makes a uniquely named folder in `directory` and gives the path of the
// copy in it, which keeps the library's own file name, so that whatever names
// the library by its file (a trace, a symbolizer) names it alike.
std::filesystem::path makeUniqueCopyPath(const std::filesystem::path& directory,
                                         const std::filesystem::path& source) {
    std::string name = (directory / kCopyPattern).string();
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw LoadError(describe(
            source, "cannot create a copy in " + directory.string() + ": " + std::strerror(errno)));
    }
    return std::filesystem::path(buffer.data()) / source.filename();
}

// The one kernel thread that may be running: the caller.  Any other live
// kernel thread may still execute code of the library.
bool otherKernelThreadsAlive() {
    const hosted::Kernel* kernel = hosted::Kernel::current();
    return kernel != nullptr && kernel->liveThreadCount() > 1;
}

}  // namespace

std::filesystem::path DriverLibrary::defaultPath() {
    const char* fromEnvironment = std::getenv(kPathVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return TOUCH_DRIVER_PATH;
}

DriverLibrary::DriverLibrary(DriverLibraryOptions options)
    : source_(options.path.empty() ? defaultPath() : std::move(options.path)) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(source_, error)) {
        throw LoadError(describe(source_, "no such file"));
    }
    const std::filesystem::path directory = options.copyDirectory.empty()
                                                ? std::filesystem::temp_directory_path()
                                                : options.copyDirectory;
    copy_ = makeUniqueCopyPath(directory, source_);
    if (!std::filesystem::copy_file(source_, copy_,
                                    std::filesystem::copy_options::overwrite_existing, error)) {
        removeCopy();
        throw LoadError(
            describe(source_, "cannot copy to " + copy_.string() + ": " + error.message()));
    }
    handle_ = ::dlopen(copy_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = ::dlerror();
        removeCopy();
        throw LoadError(describe(source_, reason != nullptr ? reason : "cannot be mapped"));
    }
    try {
        resolveEntryPoints();
    } catch (...) {
        closeMapping();
        removeCopy();
        throw;
    }
    if (attach() == FALSE) {
        closeMapping();
        removeCopy();
        throw LoadError(describe(source_, "DllMain refused DLL_PROCESS_ATTACH"));
    }
}

DriverLibrary::~DriverLibrary() {
    unload();
}

const DriverEntryPoints& DriverLibrary::entry() const {
    if (handle_ == nullptr) {
        throw std::logic_error(describe(source_, "entry points used after unload"));
    }
    return entry_;
}

void* DriverLibrary::symbol(const char* name) const {
    ::dlerror();
    void* address = ::dlsym(handle_, name);
    if (address == nullptr) {
        throw LoadError(describe(source_, std::string("entry point ") + name + " not found"));
    }
    return address;
}

void DriverLibrary::resolveEntryPoints() {
    // dlsym gives object pointers; the library's entry points are functions.
    auto bind = [this](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol(name));
    };
    bind(entry_.dllMain, "DllMain");
    bind(entry_.enable, "TouchPanelEnable");
    bind(entry_.disable, "TouchPanelDisable");
    bind(entry_.getDeviceCaps, "TouchPanelGetDeviceCaps");
    bind(entry_.setMode, "TouchPanelSetMode");
    bind(entry_.powerHandler, "TouchPanelPowerHandler");
    bind(entry_.readCalibrationPoint, "TouchPanelReadCalibrationPoint");
    bind(entry_.readCalibrationAbort, "TouchPanelReadCalibrationAbort");
    bind(entry_.setCalibration, "TouchPanelSetCalibration");
    bind(entry_.calibrateAPoint, "TouchPanelCalibrateAPoint");
}

BOOL DriverLibrary::attach() {
    const BOOL accepted =
        entry().dllMain(static_cast<HINSTANCE>(handle_), DLL_PROCESS_ATTACH, nullptr);
    if (accepted != FALSE) {
        ++attaches_;
    }
    return accepted;
}

BOOL DriverLibrary::detach() {
    const BOOL result =
        entry().dllMain(static_cast<HINSTANCE>(handle_), DLL_PROCESS_DETACH, nullptr);
    if (attaches_ > 0) {
        --attaches_;
    }
    return result;
}

void DriverLibrary::unload() {
    if (handle_ == nullptr) {
        return;
    }
    while (attaches_ > 0) {
        detach();
    }
    if (otherKernelThreadsAlive()) {
        // A thread of the kernel may still be inside the library: keep the
        // instance mapped for the rest of the process rather than pull its
        // code from under that thread.
        keptMapped_ = true;
        handle_ = nullptr;
    } else {
        closeMapping();
    }
    entry_ = DriverEntryPoints{};
    removeCopy();
}

void DriverLibrary::closeMapping() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

void DriverLibrary::removeCopy() {
    if (!copy_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(copy_, ignored);
        std::filesystem::remove(copy_.parent_path(), ignored);
    }
}

}  // namespace windowing
