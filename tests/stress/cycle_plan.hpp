// One enable-to-disable cycle of the stress run, drawn from a seeded
// generator, and the text that names it in a failure so that the cycle can be
// read back and replayed from its seed.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stress {

// What makes an enable fail, or half-succeed.
enum class EnableFault {
    None,
    NoEvent,         // an event of the state reset cannot be created: the enable fails
    NoInterrupt,     // the interrupt cannot be bound: the enable fails
    NoThread,        // the first or second thread creation fails; only the sample
                     // thread's fails the enable
    ClickObjects,    // the beeper's event or semaphore cannot be created: clicks stay off
    RegistryOpen,    // one registry open or create of the enable fails
    MissingIoBase,   // "ioBase" is not in the registry: the enable fails
    MissingSysIntr,  // "sysIntr" is not in the registry: the enable fails
};

// What a calibration capture started during the cycle does.
enum class CaptureMode {
    None,
    Held,              // a touch held past the hold time completes it with the pen down
    Lifted,            // a shorter touch completes it at the lift
    AbortWaiting,      // aborted before any touch
    AbortHeld,         // aborted while a touch is held, before the hold time
    AbortRacing,       // aborted about when a held touch completes it: either outcome, once
    Refused,           // a second capture while one waits is refused; the first is aborted
    PendingAtDisable,  // still waiting (maybe with the finger down) when the driver is disabled
    RacingDisable,     // the driver is disabled about when a held touch completes it
};

// The modes whose capture is still running when the driver is disabled.
bool leftPending(CaptureMode mode);

struct Pixel {
    int x = 0;
    int y = 0;
};

struct CapturePlan {
    CaptureMode mode = CaptureMode::None;
    DWORD settleMs = 5;  // from the capture's start to the press or the abort
    DWORD holdMs = 0;    // the capture touch, or the time to the abort while held
    // Abort twice in a row: the second abort finds the capture aborted already
    // (or over) and must not signal again.
    bool doubleAbort = false;
};

struct CyclePlan {
    bool click = false;  // "BeepEnable" set for this enable
    bool cursor = true;  // "Cursor" left on
    // "Priority256" and "HighPriority256" under the driver's key; with neither
    // the key is left out.
    std::optional<DWORD> priority;
    std::optional<DWORD> highPriorityValue;
    EnableFault fault = EnableFault::None;
    unsigned faultNth = 1;  // which call of the faulted kind fails (1-based)
    int taps = 0;           // plain taps while enabled, before any capture
    DWORD tapHoldMs = 30;
    bool highPriority = false;  // switch the sample thread to its high priority first
    // Captures one after another while enabled; only the last may be left
    // pending at the disable.
    std::vector<CapturePlan> captures;
    bool downAtDisable = false;  // the finger is still down when the driver is disabled
    // The callback sleeps this long in the sample that a press delivers just
    // before the disable (0: never), so the disable may give up waiting for
    // the sample thread; then, maybe, the driver is enabled and disabled again
    // before that thread is back.
    DWORD slowCallbackMs = 0;
    bool reenableWhileSlow = false;
    // The callback calls back into the driver (capabilities and mode) for
    // every sample it is given.
    bool reentrantCallback = false;
    bool tapWhileDisabled = false;
    bool reload = false;  // unload and load the library after the disable
    Pixel at;             // where the finger goes, display pixels
};

// Enables that this plan expects to fail, whatever the scheduling.
bool mustFail(const CyclePlan& plan);
// Enables that this plan expects to succeed with clicks as the registry says.
bool mustSucceed(const CyclePlan& plan);

std::string describe(const CyclePlan& plan);
const char* faultName(EnableFault fault);
const char* captureName(CaptureMode mode);

// Draws cycle plans for a display of the given size.
class PlanGenerator {
  public:
    PlanGenerator(std::uint64_t seed, int displayWidth, int displayHeight);
    CyclePlan next();

  private:
    int between(int low, int high);  // inclusive
    bool chance(int percent);
    EnableFault pickFault();
    CapturePlan pickCapture(bool last);

    std::mt19937_64 random_;
    int width_;
    int height_;
};

}  // namespace stress
