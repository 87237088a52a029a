#include "stress/cycle_plan.hpp"

#include <array>
#include <sstream>

namespace stress {

namespace {

constexpr int kFaultPercent = 25;          // enables that meet a fault
constexpr int kCapturePercent = 55;        // cycles with a calibration capture
constexpr int kSecondCapturePercent = 35;  // of those, cycles with a second one
constexpr int kDoubleAbortPercent = 40;
constexpr int kPriorityKeyPercent = 50;
constexpr int kClickPercent = 40;
constexpr int kCursorOffPercent = 20;
constexpr int kHighPriorityPercent = 20;
constexpr int kDownAtDisablePercent = 15;
constexpr int kSlowCallbackPercent = 8;
constexpr int kReentrantCallbackPercent = 15;
constexpr int kTapWhileDisabledPercent = 10;
constexpr int kReloadPercent = 5;
constexpr int kMaxTaps = 2;
constexpr int kLowestPriority = 255;

// Longest hold that cannot complete a capture by time (the driver's hold
// time is 1500 ms), with room for the polling of the pen.
constexpr int kShortOfHoldMs = 1300;

constexpr std::array kFaults = {
    EnableFault::NoEvent,        EnableFault::NoInterrupt,  EnableFault::NoThread,
    EnableFault::ClickObjects,   EnableFault::RegistryOpen, EnableFault::MissingIoBase,
    EnableFault::MissingSysIntr,
};

// The modes left pending at the disable come last: every capture but a
// cycle's last is drawn without them.
constexpr std::array kCaptures = {
    CaptureMode::Held,
    CaptureMode::Lifted,
    CaptureMode::AbortWaiting,
    CaptureMode::AbortHeld,
    CaptureMode::AbortRacing,
    CaptureMode::Refused,
    CaptureMode::PendingAtDisable,
    CaptureMode::RacingDisable,
};
constexpr int kPendingModes = 2;

// Holds that end about when the driver's 1500 ms hold completes a capture.
constexpr int kRaceLowMs = 1450;
constexpr int kRaceHighMs = 1560;

// Which thread creation of the enable starts the sample thread: the beeper's
// thread, when clicks are on, is created before it.
unsigned sampleThreadCall(const CyclePlan& plan) {
    return plan.click ? 2 : 1;
}

}  // namespace

bool leftPending(CaptureMode mode) {
    return mode == CaptureMode::PendingAtDisable || mode == CaptureMode::RacingDisable;
}

bool mustFail(const CyclePlan& plan) {
    switch (plan.fault) {
        case EnableFault::NoEvent:
        case EnableFault::NoInterrupt:
        case EnableFault::MissingIoBase:
        case EnableFault::MissingSysIntr:
            return true;
        case EnableFault::NoThread:
            return plan.faultNth == sampleThreadCall(plan);
        default:
            return false;
    }
}

bool mustSucceed(const CyclePlan& plan) {
    switch (plan.fault) {
        case EnableFault::None:
        case EnableFault::ClickObjects:
            return true;
        case EnableFault::NoThread:
            return plan.faultNth != sampleThreadCall(plan);
        default:
            return false;
    }
}

const char* faultName(EnableFault fault) {
    switch (fault) {
        case EnableFault::None:
            return "none";
        case EnableFault::NoEvent:
            return "no-event";
        case EnableFault::NoInterrupt:
            return "no-interrupt";
        case EnableFault::NoThread:
            return "no-thread";
        case EnableFault::ClickObjects:
            return "click-objects";
        case EnableFault::RegistryOpen:
            return "registry-open";
        case EnableFault::MissingIoBase:
            return "missing-ioBase";
        case EnableFault::MissingSysIntr:
            return "missing-sysIntr";
    }
    return "?";
}

const char* captureName(CaptureMode mode) {
    switch (mode) {
        case CaptureMode::None:
            return "none";
        case CaptureMode::Held:
            return "held";
        case CaptureMode::Lifted:
            return "lifted";
        case CaptureMode::AbortWaiting:
            return "abort-waiting";
        case CaptureMode::AbortHeld:
            return "abort-held";
        case CaptureMode::AbortRacing:
            return "abort-racing";
        case CaptureMode::RacingDisable:
            return "racing-disable";
        case CaptureMode::Refused:
            return "refused";
        case CaptureMode::PendingAtDisable:
            return "pending-at-disable";
    }
    return "?";
}

std::string describe(const CyclePlan& plan) {
    std::ostringstream text;
    const auto value = [](std::optional<DWORD> number) {
        return number ? std::to_string(*number) : std::string("-");
    };
    text << "click=" << plan.click << " cursor=" << plan.cursor
         << " priorities=" << value(plan.priority) << "/" << value(plan.highPriorityValue)
         << " fault=" << faultName(plan.fault) << "#" << plan.faultNth << " taps=" << plan.taps
         << "x" << plan.tapHoldMs << "ms high=" << plan.highPriority << " captures=[";
    for (const CapturePlan& capture : plan.captures) {
        text << " " << captureName(capture.mode) << " settle=" << capture.settleMs
             << "ms hold=" << capture.holdMs << "ms" << (capture.doubleAbort ? " twice" : "")
             << ";";
    }
    text << " ] downAtDisable=" << plan.downAtDisable << " slowCallback=" << plan.slowCallbackMs
         << "ms" << (plan.reenableWhileSlow ? " reenable" : "")
         << " reentrantCallback=" << plan.reentrantCallback
         << " tapWhileDisabled=" << plan.tapWhileDisabled << " reload=" << plan.reload << " at=("
         << plan.at.x << "," << plan.at.y << ")";
    return text.str();
}

PlanGenerator::PlanGenerator(std::uint64_t seed, int displayWidth, int displayHeight)
    : random_(seed), width_(displayWidth), height_(displayHeight) {}

int PlanGenerator::between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
}

bool PlanGenerator::chance(int percent) {
    return between(1, 100) <= percent;
}

EnableFault PlanGenerator::pickFault() {
    if (!chance(kFaultPercent)) {
        return EnableFault::None;
    }
    return kFaults[static_cast<std::size_t>(between(0, int(kFaults.size()) - 1))];
}

CapturePlan PlanGenerator::pickCapture(bool last) {
    CapturePlan capture;
    // Only the last capture of a cycle may still be pending at the disable.
    const int modes = int(kCaptures.size()) - (last ? 1 : 1 + kPendingModes);
    capture.mode = kCaptures[static_cast<std::size_t>(between(0, modes))];
    capture.settleMs = static_cast<DWORD>(between(1, 100));
    switch (capture.mode) {
        case CaptureMode::Held:
            capture.holdMs = static_cast<DWORD>(between(1700, 2000));
            break;
        case CaptureMode::Lifted:
            capture.holdMs = static_cast<DWORD>(between(300, kShortOfHoldMs));
            break;
        case CaptureMode::AbortWaiting:
            capture.settleMs = static_cast<DWORD>(between(1, 500));
            capture.doubleAbort = chance(kDoubleAbortPercent);
            break;
        case CaptureMode::AbortHeld:
            capture.holdMs = static_cast<DWORD>(between(10, kShortOfHoldMs));
            capture.doubleAbort = chance(kDoubleAbortPercent);
            break;
        case CaptureMode::PendingAtDisable:
            // 0: the capture never sees a touch.
            capture.holdMs = chance(30) ? 0 : static_cast<DWORD>(between(10, kShortOfHoldMs));
            break;
        case CaptureMode::AbortRacing:
        case CaptureMode::RacingDisable:
            capture.holdMs = static_cast<DWORD>(between(kRaceLowMs, kRaceHighMs));
            break;
        case CaptureMode::None:
        case CaptureMode::Refused:
            break;
    }
    return capture;
}

CyclePlan PlanGenerator::next() {
    CyclePlan plan;
    plan.click = chance(kClickPercent);
    plan.cursor = !chance(kCursorOffPercent);
    if (chance(kPriorityKeyPercent)) {
        // Either value may be missing.
        if (chance(70)) {
            plan.priority = static_cast<DWORD>(between(0, kLowestPriority));
        }
        if (chance(70)) {
            plan.highPriorityValue = static_cast<DWORD>(between(0, kLowestPriority));
        }
    }
    plan.fault = pickFault();
    switch (plan.fault) {
        case EnableFault::NoEvent:
        case EnableFault::NoThread:
            plan.faultNth = static_cast<unsigned>(between(1, 2));
            break;
        case EnableFault::ClickObjects:
            plan.click = true;                   // only the beeper creates these
            plan.faultNth = chance(50) ? 1 : 3;  // the semaphore, or the third event
            break;
        case EnableFault::RegistryOpen:
            plan.faultNth = static_cast<unsigned>(between(1, 4));
            break;
        default:
            plan.faultNth = 1;
            break;
    }
    plan.taps = between(0, kMaxTaps);
    plan.tapHoldMs = static_cast<DWORD>(between(10, 80));
    plan.highPriority = chance(kHighPriorityPercent);
    if (chance(kCapturePercent)) {
        const bool two = chance(kSecondCapturePercent);
        if (two) {
            plan.captures.push_back(pickCapture(false));
        }
        plan.captures.push_back(pickCapture(true));
    }
    const bool fingerFree =
        plan.captures.empty() || plan.captures.back().mode == CaptureMode::PendingAtDisable;
    plan.downAtDisable = fingerFree && chance(kDownAtDisablePercent);
    const bool samplesReachCallback =
        plan.captures.empty() || !leftPending(plan.captures.back().mode);
    if (samplesReachCallback && !plan.downAtDisable && chance(kSlowCallbackPercent)) {
        // From within the disable's four waits of 100 ms for the sample
        // thread to past the start of the next enable's thread.
        plan.slowCallbackMs = static_cast<DWORD>(between(200, 1500));
        plan.reenableWhileSlow = chance(50);
    }
    plan.reentrantCallback = plan.slowCallbackMs == 0 && chance(kReentrantCallbackPercent);
    plan.tapWhileDisabled = chance(kTapWhileDisabledPercent);
    plan.reload = chance(kReloadPercent);
    plan.at = Pixel{between(width_ / 20, width_ - width_ / 20),
                    between(height_ / 20, height_ - height_ / 20)};
    return plan;
}

}  // namespace stress
