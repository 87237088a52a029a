// The driver library loader: a fresh instance at every load, the attach
// guard driven through extra attaches, clear load errors, and unmapping only
// when no other kernel thread may still run the library's code.
#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/hosted/kernel.hpp"
#include "windowing/driver_library.hpp"

namespace {

namespace fs = std::filesystem;

bool mappedInProcess(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find(file.string()) != std::string::npos;
}

// A private directory for the copies, so a test can see what is left behind.
class CopyDirectory {
  public:
    CopyDirectory() {
        const std::string name = std::string("touch-host-test-") +
                                 testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = fs::temp_directory_path() / name;
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~CopyDirectory() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    bool empty() const { return fs::is_empty(path_); }

  private:
    fs::path path_;
};

windowing::DriverLibraryOptions optionsFor(const CopyDirectory& directory, fs::path library = {}) {
    windowing::DriverLibraryOptions options;
    options.path = std::move(library);
    options.copyDirectory = directory.path();
    return options;
}

std::string loadError(const windowing::DriverLibraryOptions& options) {
    try {
        windowing::DriverLibrary library(options);
    } catch (const windowing::LoadError& error) {
        return error.what();
    }
    return "";
}

TEST(HostLoader, EveryLoadIsAFreshInstanceWithItsOwnAttachGuard) {
    CopyDirectory directory;
    windowing::DriverLibrary first(optionsFor(directory));
    EXPECT_EQ(first.outstandingAttaches(), 1);
    EXPECT_EQ(first.attach(), TRUE);   // second attach accepted
    EXPECT_EQ(first.attach(), FALSE);  // third refused
    EXPECT_EQ(first.outstandingAttaches(), 2);

    // The first instance is still at its limit; a second load starts from
    // the values at load and so accepts its own second attach.
    windowing::DriverLibrary second(optionsFor(directory));
    EXPECT_NE(second.copyPath(), first.copyPath());
    EXPECT_NE(second.entry().dllMain, first.entry().dllMain);
    EXPECT_EQ(second.attach(), TRUE);
    EXPECT_EQ(second.attach(), FALSE);

    // After a detach the first instance accepts an attach again.
    EXPECT_EQ(first.detach(), TRUE);
    EXPECT_EQ(first.attach(), TRUE);
    EXPECT_EQ(first.attach(), FALSE);

    const fs::path copy = first.copyPath();
    EXPECT_TRUE(mappedInProcess(copy));
    first.unload();
    EXPECT_FALSE(first.keptMapped());
    EXPECT_FALSE(first.loaded());
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(mappedInProcess(copy));
    EXPECT_THROW(first.entry(), std::logic_error);
    first.unload();  // a second unload does nothing
}

TEST(HostLoader, LoadFailuresNameTheLibraryAndTheReasonAndLeaveNoCopy) {
    CopyDirectory directory;

    const std::string refused = loadError(optionsFor(directory, TOUCH_WINDOWING_REFUSING_DRIVER));
    EXPECT_NE(refused.find("refused DLL_PROCESS_ATTACH"), std::string::npos) << refused;
    EXPECT_NE(refused.find(TOUCH_WINDOWING_REFUSING_DRIVER), std::string::npos) << refused;

    // The platform library is a valid shared object without the driver's entry.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetTickCount), &info), 0);
    const std::string missing = loadError(optionsFor(directory, info.dli_fname));
    EXPECT_NE(missing.find("entry point DllMain not found"), std::string::npos) << missing;

    const std::string absent = loadError(optionsFor(directory, directory.path() / "none.so"));
    EXPECT_NE(absent.find("none.so: no such file"), std::string::npos) << absent;

    std::ofstream(directory.path() / "garbage.so") << "not an ELF file";
    const std::string garbage = loadError(optionsFor(directory, directory.path() / "garbage.so"));
    EXPECT_NE(garbage.find("garbage.so"), std::string::npos) << garbage;
    fs::remove(directory.path() / "garbage.so");

    EXPECT_TRUE(directory.empty());
}

DWORD blockOnEvent(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

TEST(HostLoader, StaysMappedWhileAnotherKernelThreadLives) {
    CopyDirectory directory;
    hosted::Kernel kernel;
    HANDLE release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, &blockOnEvent, release, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(0);
    ASSERT_EQ(kernel.liveThreadCount(), 2u);

    windowing::DriverLibrary library(optionsFor(directory));
    const fs::path copy = library.copyPath();
    library.unload();
    EXPECT_TRUE(library.keptMapped());
    EXPECT_TRUE(mappedInProcess(copy));
    EXPECT_FALSE(fs::exists(copy));  // the file goes, the mapping stays

    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(thread, 10), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(release);

    windowing::DriverLibrary alone(optionsFor(directory));
    const fs::path aloneCopy = alone.copyPath();
    alone.unload();
    EXPECT_FALSE(alone.keptMapped());
    EXPECT_FALSE(mappedInProcess(aloneCopy));
    EXPECT_TRUE(kernel.faults().empty());
}

}  // namespace
