#include "windowing/recorder.hpp"

#include <atomic>

#include "platform/hosted/kernel.hpp"

namespace windowing {

namespace {

// The recorder that the context-free callback records into.  This is the one
// global of the stand-in: a C callback has nowhere else to find its recorder.
// Set and cleared only by Recorder's constructor and destructor.
std::atomic<Recorder*> activeRecorder{nullptr};
std::atomic<std::size_t> samplesWithoutRecorder{0};

hosted::Micros virtualNow() {
    const hosted::Kernel* kernel = hosted::Kernel::current();
    return kernel != nullptr ? kernel->now() : 0;
}

}  // namespace

Recorder::Recorder() {
    Recorder* expected = nullptr;
    if (!activeRecorder.compare_exchange_strong(expected, this)) {
        throw std::logic_error("windowing::Recorder: another recorder is already active");
    }
}

Recorder::~Recorder() {
    Recorder* expected = this;
    activeRecorder.compare_exchange_strong(expected, nullptr);
}

PFN_TOUCH_PANEL_CALLBACK Recorder::callback() {
    return &Recorder::deliver;
}

std::size_t Recorder::droppedSamples() {
    return samplesWithoutRecorder.load();
}

BOOL Recorder::deliver(TOUCH_PANEL_SAMPLE_FLAGS flags, INT x, INT y) {
    Recorder* recorder = activeRecorder.load();
    if (recorder == nullptr) {
        ++samplesWithoutRecorder;
        return FALSE;
    }
    return recorder->record(flags, x, y);
}

BOOL Recorder::record(TOUCH_PANEL_SAMPLE_FLAGS flags, INT x, INT y) {
    const Sample sample{virtualNow(), flags, x, y};
    if (keep_) {
        samples_.push_back(sample);
    }
    if (hook_) {
        hook_(sample);
    }
    return answer_;
}

}  // namespace windowing
