// Fuzz target: the .reg text parser of the hosted registry.
//
// Input: byte 0 picks which of three IF names are defined; the rest is the
// text.  A text is either loaded or refused with a RegParseError that names
// the file and a line of the text; nothing else may escape.  A loaded
// registry written back as text loads again to the same registry.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hosted/registry.hpp"

namespace {

constexpr char kFile[] = "fuzz.reg";

[[noreturn]] void fault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "reg parser: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    std::vector<std::string> defines;
    const char* const names[] = {"BSP_NOTOUCH", "IMGTOUCH", "BSP_TOUCH_BEEP"};
    for (int i = 0; i < 3; ++i) {
        if ((data[0] >> i) & 1) {
            defines.emplace_back(names[i]);
        }
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;

    hosted::Registry registry;
    try {
        registry.loadText(text, kFile, defines);
    } catch (const hosted::RegParseError& error) {
        if (error.file() != kFile || error.line() < 1 || error.line() > lines) {
            fault("an error that does not name the file and a line of it", error.what());
        }
        return 0;
    }

    const std::string written = registry.toText();
    hosted::Registry again;
    try {
        again.loadText(written, "written.reg");
    } catch (const hosted::RegParseError& error) {
        fault("the written text does not load again", std::string(error.what()) + "\n" + written);
    }
    if (again.toText() != written) {
        fault("the written text loads to a different registry", written);
    }
    return 0;
}
