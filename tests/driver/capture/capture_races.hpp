// Calibration captures racing aborts and disables, one seed at a time, for
// the capture tests and for the test of the exploration that must find races
// planted in copies of the driver.
//
// A touch held at (700, 800) completes a capture about 1.5 s after the press.
// Under the random schedule (and, in the preempt build, preemption inside the
// driver), with the racing call placed at 40 steps across the moment of
// completion, the call lands before the completion, between its signal and
// the caller taking the result, or after.  Every run: no kernel fault, no
// deadlock (which would throw), the caller released with a consistent answer,
// and no signal left for the next capture.  Failures are reported through
// GoogleTest and name the seed and the settings that replay it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/exploration.hpp"
#include "windowing/session.hpp"

namespace capture {

inline constexpr int kRawOffset = 1000;  // the panel maps pixel p to raw p + 1000

// A 4000 x 4000 display whose panel gives one raw unit per pixel, so that
// finger positions read directly as raw positions.
windowing::SessionConfig unitPanel(std::uint32_t tickStart = 0,
                                   hosted::SchedulePolicy policy = hosted::SchedulePolicy::Priority,
                                   std::uint64_t seed = 1);

inline windowing::Point raw(int x, int y) {
    return {x + kRawOffset, y + kRawOffset};
}

// The racing call steps through 40 places; fewer seeds would leave some out.
inline constexpr int kRacingPlaces = 40;

// How a race runs: the exploration's settings and the driver library.
struct Race {
    exploration::Settings settings;
    std::filesystem::path library;  // empty: the driver this build made
    hosted::Micros completion = 0;  // completionDelay(), measured before the first seed

    windowing::SessionConfig config(std::uint64_t seed) const;
    std::string name(std::uint64_t seed) const;  // the seed and how to replay it
};

// When the held touch completes a capture, measured from the start of the
// capture, in a run of the shipping driver under the platform's own policy.
// Call it while no other kernel exists.
hosted::Micros completionDelay();

// One seed of each race.  `completed` counts the captures that completed.
void abortAgainstCompletion(const Race& race, std::uint64_t seed, int& completed);
void disableAgainstCompletion(const Race& race, std::uint64_t seed, int& completed);
void abortFromAnotherThreadAgainstDisable(const Race& race, std::uint64_t seed);

}  // namespace capture
