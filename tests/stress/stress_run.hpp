// The driver enabled and disabled over and over on one simulated board under
// the kernel's seeded random scheduling, with touches, calibration captures,
// aborts, clicks, failed enables, callbacks that call back into the driver or
// stall the sample thread, and library reloads, all drawn from one seed.
// After every disable the board must be back where it started: no kernel
// fault, no handle left open, no thread but the main one, no caller still
// blocked, the speaker silent.
//
// Every failure carries the seed, the cycle and its plan, so that it replays
// with that seed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "stress/cycle_plan.hpp"
#include "support/exploration.hpp"
#include "windowing/session.hpp"

namespace stress {

// What a run did, summed over its cycles.
struct Tally {
    std::uint64_t seeds = 0;
    std::uint64_t cycles = 0;
    std::uint64_t enabled = 0;
    std::uint64_t failedEnables = 0;
    std::uint64_t taps = 0;
    std::uint64_t completedCaptures = 0;
    std::uint64_t abortedCaptures = 0;
    std::uint64_t refusedCaptures = 0;
    std::uint64_t capturesReleasedByDisable = 0;
    std::uint64_t reloads = 0;
    std::uint64_t clicks = 0;
    std::uint64_t doubleAborts = 0;
    std::uint64_t slowCallbacks = 0;
    std::uint64_t reentrantCalls = 0;  // rounds of entry-point calls made from the callback
    // Aborts and disables about when the hold completes a capture, by outcome.
    std::uint64_t racesCompleted = 0;
    std::uint64_t racesAborted = 0;
    hosted::Micros virtualTime = 0;

    Tally& operator+=(const Tally& other);
    std::string summary() const;
};

// What a capture may end with.
enum class Outcome { Completed, Aborted, Either };

struct StressOptions {
    bool trace = false;     // keep the kernel trace (for replay checks; slower)
    std::string tracePath;  // when set, the kernel trace is kept and written there at the end
    std::optional<hosted::Micros> timeLimit;  // the kernel's virtual time cap, if not its own
    exploration::Settings exploration;        // preemption, and the replay it names
};

class StressRun {
  public:
    StressRun(std::uint64_t seed, int cycles, StressOptions options = {});
    ~StressRun();
    StressRun(const StressRun&) = delete;
    StressRun& operator=(const StressRun&) = delete;

    // Runs every cycle; stops at the first cycle with a failure.  A run the
    // kernel stops (deadlock, livelock) is reported as a failure, with the
    // kernel's report.
    void run();
    const Tally& tally() const { return tally_; }
    // FNV-1a hash of the kernel trace; meaningful with StressOptions::trace.
    std::uint64_t traceHash();

  private:
    void cycle(const CyclePlan& plan);
    void prepareRegistry(const CyclePlan& plan);
    void restoreRegistry();
    void armFault(const CyclePlan& plan);
    BOOL enable(const CyclePlan& plan);
    void tap(const CyclePlan& plan);
    std::optional<windowing::PendingCapture> capture(const CyclePlan& plan,
                                                     const CapturePlan& step);
    void endCapture(const CyclePlan& plan, const CapturePlan& step,
                    windowing::PendingCapture& pending, hosted::Micros start);
    void abort(const CapturePlan& step);
    // Lets `ms` of virtual time pass, then until the driver's threads are idle.
    void settle(DWORD ms);
    static Outcome outcomeOf(CaptureMode mode);
    void checkOutcome(const CyclePlan& plan, const windowing::CaptureResult& result,
                      Outcome allowed);
    void checkCaptureClicks(const CapturePlan& step, std::size_t clicksBefore);
    void checkNothingDelivered(hosted::Micros start, hosted::Micros until);
    void releaseAtDisable(std::optional<windowing::PendingCapture>& pending, const CyclePlan& plan,
                          BOOL enabled);
    void callIntoDriverFromCallback();
    void disableDuringSlowCallback(const CyclePlan& plan);
    void tapWhileDisabled(const CyclePlan& plan);
    void reload();
    void checkSettled();

    windowing::Point expectedRaw(const CyclePlan& plan);
    static std::optional<bool> expectedClicks(const CyclePlan& plan);
    void press(const CyclePlan& plan);
    void liftIfDown();
    std::string where() const;

    std::uint64_t seed_;
    std::string tracePath_;
    exploration::Settings exploration_;
    hosted::Micros clickSlack_;  // how far past its length a click may sound
    int cycles_;
    int cycleIndex_ = -1;
    std::string planText_;
    windowing::Session session_;
    PlanGenerator plans_;
    HANDLE activityEvent_ = nullptr;  // the platform's activity event, owned by the main thread
    std::size_t baselineHandles_ = 0;
    std::size_t faultsReported_ = 0;
    windowing::Point lastCompleted_;  // raw result of the latest completed capture of this library
    bool fingerDown_ = false;
    struct ReentrantCalls {
        std::uint64_t made = 0;
        std::uint64_t refused = 0;
    };
    std::shared_ptr<ReentrantCalls> reentrantCalls_;  // while the callback calls the driver
    std::optional<bool> clicksOn_;  // whether this enable left clicks on, when known
    Tally tally_;
};

}  // namespace stress
