// The windowing system's sample callback, recording every delivered sample.
//
// The driver is handed a plain PFN_TOUCH_PANEL_CALLBACK, which carries no
// context.  The one active Recorder is therefore kept in a single static
// pointer: the one piece of global state of the stand-in.  A Recorder becomes the
// active one when it is constructed and stops being it when destroyed; only
// one may be active at a time.  A sample that arrives while no recorder is
// active is counted as dropped and answered with FALSE.
//
// Samples are recorded with the virtual time of the current hosted kernel.
// Cursor moves are not recorded here: the kernel keeps them
// (hosted::Kernel::cursorMoves()).
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/hosted/devices.hpp"
#include "platform/platform.h"

namespace windowing {

// One sample as the driver delivered it.  x and y are screen quarter pixels
// once the driver is calibrated, raw controller units before.
struct Sample {
    hosted::Micros time = 0;  // virtual time of the delivery
    DWORD flags = 0;          // TOUCH_PANEL_SAMPLE_FLAGS
    INT x = 0;
    INT y = 0;

    bool down() const { return (flags & TouchSampleDownFlag) != 0; }
    bool previousDown() const { return (flags & TouchSamplePreviousDownFlag) != 0; }
    bool calibrated() const { return (flags & TouchSampleIsCalibratedFlag) != 0; }
    // The first sample of a touch (down, previously up).
    bool penDown() const { return down() && !previousDown(); }
    // The sample that ends a touch (up, previously down).
    bool penUp() const { return !down() && previousDown(); }
    bool operator==(const Sample&) const = default;
};

class Recorder {
  public:
    // Called on the driver's sample thread for every sample, after it has been
    // recorded, while the driver holds no lock: it may call entry points.
    using Hook = std::function<void(const Sample&)>;

    Recorder();  // becomes the active recorder; throws std::logic_error if one is
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The callback to give TouchPanelEnable.  It records into the active
    // recorder, whichever that is at the time of the call.
    static PFN_TOUCH_PANEL_CALLBACK callback();
    // Samples delivered while no recorder was active, since the process began.
    static std::size_t droppedSamples();

    const std::vector<Sample>& samples() const { return samples_; }
    void clear() { samples_.clear(); }
    // Hands the samples over, leaving none: no second copy of a long run's.
    std::vector<Sample> take() { return std::exchange(samples_, {}); }

    // What the callback answers the driver (TRUE unless changed).
    void setAnswer(BOOL answer) { answer_ = answer; }
    void setHook(Hook hook) { hook_ = std::move(hook); }
    // Whether samples are kept (they are unless turned off): a long run
    // that only passes them to its hook keeps none.
    void setKeep(bool keep) { keep_ = keep; }

  private:
    static BOOL deliver(TOUCH_PANEL_SAMPLE_FLAGS flags, INT x, INT y);
    BOOL record(TOUCH_PANEL_SAMPLE_FLAGS flags, INT x, INT y);

    std::vector<Sample> samples_;
    BOOL answer_ = TRUE;
    Hook hook_;
    bool keep_ = true;
};

}  // namespace windowing
