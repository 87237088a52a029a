// The simulated i8042's behaviour where real i8042s differ, for a whole test
// program, from the environment (read here, before any test builds a
// machine; the kernel and the simulator read no environment):
//   TOUCH_I8042=qemu     answers raise no IRQ 1 with the keyboard interface
//                        off, and a waiting auxiliary byte goes after each
//                        keyboard byte, as QEMU's i8042 does;
//   TOUCH_I8042=default  or unset: the simulator's defaults.
// Settings a test gives its machine itself still hold.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/i8042.hpp"

namespace {

struct VariantFromEnvironment {
    VariantFromEnvironment() {
        const char* value = std::getenv("TOUCH_I8042");
        const std::string name = value == nullptr ? "default" : value;
        if (name == "qemu") {
            sim::setDefaultI8042Variant(
                {.answerIrqWhileKeyboardOff = false, .auxAfterKeyboardByte = true});
        } else if (name != "default") {
            std::fprintf(stderr, "TOUCH_I8042=%s: expected qemu or default\n", name.c_str());
            std::exit(2);
        }
    }
};

const VariantFromEnvironment variantFromEnvironment;

}  // namespace
