// How the random-schedule explorations run, from the environment.
//
// The explorations (the lifecycle stress blocks, the capture races) run their
// scenario under many seeds.
//   TOUCH_STRESS_SCALE=<x>  multiplies their number of seeds.  It defaults to
//                           1, to 0.1 in builds with the address sanitizer
//                           (whose thread switches cost far more) and to 0.5
//                           in other unoptimised builds, so that each kind of
//                           build takes a similar time; the 32-bit run under
//                           an emulator sets it in its test preset.
//   TOUCH_SEED_BASE=<n>     is added to every seed, so that runs can cover
//                           new seeds (CI draws one per run).
//   TOUCH_STRESS_SEED=<n>   replays seed n alone, and TOUCH_STRESS_TRACE=<file>
//                           then writes its kernel trace to the file.
//   TOUCH_PREEMPT=<mode>    preemption at the driver's own preemption points
//                           (the preempt build): off, target, any or pct:D:K.
//   TOUCH_STALLS=<c>        stalls at those points, the n-th visit of a block
//                           stalling with probability 1/(c n); 0 for none.
// A failure names the settings and the seed that replay it.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/hosted/kernel.hpp"

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
inline constexpr unsigned kMaxPctDepth = 10;
inline constexpr std::uint64_t kMaxPctWindow = 1'000'000'000;
inline constexpr unsigned kMaxStallOdds = 1'000'000;

struct Settings {
    double scale = kDefaultScale;
    std::uint64_t seedBase = 0;
    std::optional<std::uint64_t> replaySeed;
    std::string tracePath;  // with replaySeed
    hosted::Preemption preempt;
    std::string preemptText = "off";  // TOUCH_PREEMPT as given
    std::string error;                // the variable that could not be read, named

    bool preemptive() const {
        return preempt.mode != hosted::PreemptMode::Off || preempt.stallOdds > 0;
    }
    // What to set to replay `seed` alone.
    std::string replay(std::uint64_t seed) const {
        std::string text;
        if (preemptive()) {
            text = "TOUCH_PREEMPT=" + preemptText +
                   " TOUCH_STALLS=" + std::to_string(preempt.stallOdds) + " ";
        }
        return text + "TOUCH_STRESS_SEED=" + std::to_string(seed);
    }
};

namespace detail {

inline const char* variable(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? text : nullptr;
}

// A whole unsigned decimal number of at most `maximum`.
inline std::optional<std::uint64_t> number(const std::string& text, std::uint64_t maximum) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value > maximum) {
        return std::nullopt;
    }
    return value;
}

inline bool parsePreempt(const std::string& text, hosted::Preemption& preempt) {
    if (text == "off") {
        preempt.mode = hosted::PreemptMode::Off;
    } else if (text == "target") {
        preempt.mode = hosted::PreemptMode::Target;
    } else if (text == "any") {
        preempt.mode = hosted::PreemptMode::Any;
    } else if (text.rfind("pct:", 0) == 0) {
        const std::size_t colon = text.find(':', 4);
        if (colon == std::string::npos) {
            return false;
        }
        const auto depth = number(text.substr(4, colon - 4), kMaxPctDepth);
        const auto window = number(text.substr(colon + 1), kMaxPctWindow);
        if (!depth || !window || *depth == 0 || *window == 0) {
            return false;
        }
        preempt.mode = hosted::PreemptMode::Pct;
        preempt.depth = static_cast<unsigned>(*depth);
        preempt.window = *window;
    } else {
        return false;
    }
    return true;
}

}  // namespace detail

inline Settings settingsFromEnvironment() {
    Settings settings;
    const auto fail = [&](const char* name, const char* text, const char* wanted) {
        settings.error = std::string(name) + "=\"" + text + "\": " + wanted;
        return settings;
    };
    if (const char* text = detail::variable("TOUCH_STRESS_SCALE")) {
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(text, &end);
        if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0 ||
            value > kMaxScale) {
            return fail("TOUCH_STRESS_SCALE", text, "not a number above 0 and at most 1000");
        }
        settings.scale = value;
    }
    if (const char* text = detail::variable("TOUCH_SEED_BASE")) {
        const auto base = detail::number(text, UINT64_MAX / 2);
        if (!base) {
            return fail("TOUCH_SEED_BASE", text, "not a seed number");
        }
        settings.seedBase = *base;
    }
    if (const char* text = detail::variable("TOUCH_STRESS_SEED")) {
        settings.replaySeed = detail::number(text, UINT64_MAX);
        if (!settings.replaySeed) {
            return fail("TOUCH_STRESS_SEED", text, "not a seed number");
        }
        if (const char* path = detail::variable("TOUCH_STRESS_TRACE")) {
            settings.tracePath = path;
        }
    }
    if (const char* text = detail::variable("TOUCH_PREEMPT")) {
        if (!detail::parsePreempt(text, settings.preempt)) {
            return fail("TOUCH_PREEMPT", text,
                        "not off, target, any or pct:D:K (D 1 to 10, K above 0)");
        }
        settings.preemptText = text;
    }
    if (const char* text = detail::variable("TOUCH_STALLS")) {
        const auto odds = detail::number(text, kMaxStallOdds);
        if (!odds) {
            return fail("TOUCH_STALLS", text, "not a whole number from 0 to 1000000");
        }
        settings.preempt.stallOdds = static_cast<unsigned>(*odds);
    }
    return settings;
}

// count seeds scaled, and never fewer than minimum.
inline int scaledSeeds(int count, double scale, int minimum = 1) {
    return std::max(minimum, static_cast<int>(std::lround(count * scale)));
}

}  // namespace exploration
