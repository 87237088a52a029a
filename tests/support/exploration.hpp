// How much of the random-schedule exploration a test program runs.
//
// The explorations (the lifecycle stress blocks, the capture races) run their
// scenario under many seeds.  TOUCH_STRESS_SCALE multiplies their number of
// seeds.  It defaults to 1, to 0.1 in builds with the address sanitizer
// (whose thread switches cost far more) and to 0.5 in other unoptimised
// builds, so that each kind of build takes a similar time; the 32-bit run
// under an emulator sets it in its test preset.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace exploration {

#if defined(__SANITIZE_ADDRESS__)
#define TOUCH_EXPLORATION_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOUCH_EXPLORATION_SANITIZED 1
#endif
#endif

#if defined(TOUCH_EXPLORATION_SANITIZED)
inline constexpr double kDefaultScale = 0.1;
#elif !defined(NDEBUG)
inline constexpr double kDefaultScale = 0.5;
#else
inline constexpr double kDefaultScale = 1.0;
#endif

inline constexpr double kMaxScale = 1000;

struct Scale {
    double value = kDefaultScale;
    std::string error;  // the variable, named, when it cannot be read
};

inline Scale scaleFromEnvironment() {
    Scale scale;
    const char* text = std::getenv("TOUCH_STRESS_SCALE");
    if (text == nullptr || *text == '\0') {
        return scale;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0 || value > kMaxScale) {
        scale.error = std::string("TOUCH_STRESS_SCALE=\"") + text +
                      "\": not a number above 0 and at most 1000";
        return scale;
    }
    scale.value = value;
    return scale;
}

// count seeds scaled, and never fewer than minimum.
inline int scaledSeeds(int count, double scale, int minimum = 1) {
    return std::max(minimum, static_cast<int>(std::lround(count * scale)));
}

}  // namespace exploration
