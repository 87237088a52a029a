#include "stress/stress_run.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "support/virtual_time.hpp"

namespace stress {

namespace {

using hosted::Micros;
using touch_test::kMs;

const char* const kTouchKey = "HARDWARE\\DEVICEMAP\\TOUCH";
const char* const kGweKey = "System\\GWE";
const char* const kDriverKey = "Drivers\\BuiltIn\\Touch";
const char16_t* const kActivityName = u"TouchStressActivity";

// Virtual time given to the driver after an enable before the finger moves,
// and after each lift so that the pen-up and the click are over.  A driver
// disabled with the pen down comes back polling: its first pass reads no
// report only after the controller's 50 ms poll, holding the driver's lock,
// and then ends the old touch; the settle lets that pass finish first.
constexpr DWORD kSettleAfterEnableMs = 60;
constexpr DWORD kAfterLiftMs = 80;
// A thread of the driver held off by a preemption finishes its work after
// these times; the test waits, this much at most, until every thread of the
// driver waits without a timeout.
constexpr Micros kIdleLimit = 200 * kMs;
// How long a press may take to reach the callback.
constexpr Micros kSlowStartLimit = 100 * kMs;
// How long a capture may take to return once its end has been caused.
constexpr DWORD kCaptureReturnMs = 100;
// How long the disable's release of a pending capture may take to reach it.
constexpr DWORD kReleaseAtDisableMs = 1000;
// No touch completes a capture by time within this much of its press (the
// hold time is 1500 ms).
constexpr Micros kCaptureSafeMs = 1000;

// The beeper's default click, as long as its stop wait, give or take the
// port cycles of the threads that run meanwhile.  Preempted inside the
// driver, the click thread may also be held off between its wait and the
// speaker's port by a pass of the sample thread, which may poll the
// controller for up to 50 ms for a report that does not come, and by stalls.
constexpr Micros kClickLength = 50 * kMs;
constexpr Micros kClickSlack = 1 * kMs;
constexpr Micros kPreemptedPass = 55 * kMs;

constexpr DWORD kFirstSample =
    TouchSampleValidFlag | TouchSampleDownFlag | TouchSampleIsCalibratedFlag;
constexpr DWORD kDownSample = kFirstSample | TouchSamplePreviousDownFlag;
constexpr DWORD kUpSample =
    TouchSampleValidFlag | TouchSampleIsCalibratedFlag | TouchSamplePreviousDownFlag;

// One run in three starts the tick counter just short of its wrap, so that
// captures and polls meet the wrap early in the run.
constexpr std::uint32_t kWrapWindowMs = 30'000;

windowing::SessionConfig configFor(std::uint64_t seed, const StressOptions& options) {
    std::mt19937_64 random(seed ^ 0x5eed5eedULL);
    windowing::SessionConfig config;
    config.kernel.policy = hosted::SchedulePolicy::Random;
    config.kernel.seed = seed;
    config.kernel.traceKernel = options.trace || !options.tracePath.empty();
    config.kernel.preempt = options.exploration.preempt;
    if (options.timeLimit) {
        config.kernel.timeLimit = *options.timeLimit;
    }
    if (random() % 3 == 0) {
        config.kernel.tickStart =
            0xFFFFFFFFu - static_cast<std::uint32_t>(random() % kWrapWindowMs);
    }
    return config;
}

void setOrRemove(hosted::Registry& registry, const char* key, const char* name,
                 std::optional<DWORD> value) {
    if (value) {
        registry.setDword(key, name, *value);
    } else {
        registry.removeValue(key, name);
    }
}

std::vector<DWORD> tapFlags(std::size_t count) {
    std::vector<DWORD> flags(count, kDownSample);
    flags.front() = kFirstSample;
    flags.back() = kUpSample;
    return flags;
}

}  // namespace

Tally& Tally::operator+=(const Tally& other) {
    seeds += other.seeds;
    cycles += other.cycles;
    enabled += other.enabled;
    failedEnables += other.failedEnables;
    taps += other.taps;
    completedCaptures += other.completedCaptures;
    abortedCaptures += other.abortedCaptures;
    refusedCaptures += other.refusedCaptures;
    capturesReleasedByDisable += other.capturesReleasedByDisable;
    reloads += other.reloads;
    clicks += other.clicks;
    slowCallbacks += other.slowCallbacks;
    reentrantCalls += other.reentrantCalls;
    racesCompleted += other.racesCompleted;
    racesAborted += other.racesAborted;
    doubleAborts += other.doubleAborts;
    virtualTime += other.virtualTime;
    return *this;
}

std::string Tally::summary() const {
    std::ostringstream text;
    text << seeds << " seeds, " << cycles << " cycles (" << enabled << " enabled, " << failedEnables
         << " failed enables), " << taps << " taps, " << clicks << " clicks, "
         << "captures: " << completedCaptures << " completed, " << abortedCaptures << " aborted, "
         << refusedCaptures << " refused, " << capturesReleasedByDisable
         << " released by the disable, " << doubleAborts
         << " aborted twice, races with the hold time " << racesCompleted << " completed and "
         << racesAborted << " aborted; " << slowCallbacks << " disables during a slow callback, "
         << reentrantCalls << " calls from the callback; " << reloads << " reloads; "
         << virtualTime / (1000 * kMs) << " s of virtual time";
    return text.str();
}

StressRun::StressRun(std::uint64_t seed, int cycles, StressOptions options)
    : seed_(seed),
      tracePath_(options.tracePath),
      exploration_(options.exploration),
      clickSlack_(options.exploration.preemptive()
                      ? kClickSlack + kPreemptedPass + options.exploration.preempt.stallHorizon
                      : kClickSlack),
      cycles_(cycles),
      session_(configFor(seed, options)),
      plans_(seed, session_.machine().config().display.width,
             session_.machine().config().display.height) {
    session_.registry().setString(kGweKey, "ActivityEvent", kActivityName);
}

StressRun::~StressRun() {
    if (activityEvent_ != nullptr) {
        CloseHandle(activityEvent_);
    }
}

std::string StressRun::where() const {
    std::ostringstream text;
    text << "seed " << seed_ << " (replay with " << exploration_.replay(seed_) << ")";
    if (cycleIndex_ >= 0) {
        text << ", cycle " << cycleIndex_ << ": " << planText_;
    }
    return text.str();
}

void StressRun::run() {
    try {
        session_.load();
        activityEvent_ = CreateEventW(nullptr, FALSE, FALSE, kActivityName);
        ASSERT_NE(activityEvent_, nullptr);
        baselineHandles_ = session_.kernel().openHandleCount();
        ++tally_.seeds;
        for (cycleIndex_ = 0; cycleIndex_ < cycles_; ++cycleIndex_) {
            const CyclePlan plan = plans_.next();
            planText_ = describe(plan);
            SCOPED_TRACE(where());
            cycle(plan);
            ++tally_.cycles;
            if (::testing::Test::HasFailure()) {
                break;
            }
        }
    } catch (const hosted::RunStopped& stop) {
        ADD_FAILURE() << where() << ": the kernel stopped the run\n" << stop.what();
    } catch (const std::exception& error) {
        ADD_FAILURE() << where() << ": " << error.what();
    }
    tally_.virtualTime = session_.now();
    if (!tracePath_.empty()) {
        try {
            session_.kernel().writeTrace(tracePath_);
        } catch (const std::exception& error) {
            ADD_FAILURE() << "TOUCH_STRESS_TRACE: " << error.what();
        }
    }
}

std::uint64_t StressRun::traceHash() {
    return session_.kernel().traceHash();
}

// ---- One cycle ----

void StressRun::cycle(const CyclePlan& plan) {
    const BOOL enabled = enable(plan);
    std::optional<windowing::PendingCapture> pending;
    if (enabled != FALSE) {
        settle(kSettleAfterEnableMs);
        if (plan.highPriority) {
            EXPECT_EQ(session_.setMode(TPSM_PRIORITY_HIGH_ID), TRUE);
        }
        clicksOn_ = expectedClicks(plan);
        if (plan.reentrantCallback) {
            callIntoDriverFromCallback();
        }
        for (int i = 0; i < plan.taps && !::testing::Test::HasFailure(); ++i) {
            tap(plan);
        }
        for (const CapturePlan& step : plan.captures) {
            if (::testing::Test::HasFailure()) {
                break;
            }
            pending = capture(plan, step);
        }
    } else if (!plan.captures.empty() && leftPending(plan.captures.back().mode)) {
        // A capture in a failed enable: refused at once, or released by the disable.
        pending = session_.startCapture();
    }
    if (plan.downAtDisable && !fingerDown_) {
        press(plan);
        session_.wait(plan.tapHoldMs);
    }
    if (enabled != FALSE && plan.slowCallbackMs > 0) {
        disableDuringSlowCallback(plan);
    } else {
        session_.disable();
        liftIfDown();
    }
    session_.recorder().setHook(nullptr);
    if (reentrantCalls_ != nullptr) {
        EXPECT_EQ(reentrantCalls_->refused, 0u) << "calls from the callback were refused";
        tally_.reentrantCalls += reentrantCalls_->made;
        reentrantCalls_.reset();
    }
    releaseAtDisable(pending, plan, enabled);
    checkSettled();
    if (plan.tapWhileDisabled) {
        tapWhileDisabled(plan);
    }
    if (plan.reload) {
        reload();
    }
}

void StressRun::prepareRegistry(const CyclePlan& plan) {
    hosted::Registry& registry = session_.registry();
    if (plan.click) {
        registry.setDword(kTouchKey, "BeepEnable", 1);
    } else {
        registry.removeValue(kTouchKey, "BeepEnable");
    }
    if (plan.cursor) {
        registry.removeValue(kTouchKey, "Cursor");
    } else {
        registry.setDword(kTouchKey, "Cursor", 0);
    }
    if (plan.priority || plan.highPriorityValue) {
        registry.createKey(kDriverKey);
        setOrRemove(registry, kDriverKey, "Priority256", plan.priority);
        setOrRemove(registry, kDriverKey, "HighPriority256", plan.highPriorityValue);
    } else {
        registry.removeKey(kDriverKey);
    }
    if (plan.fault == EnableFault::MissingIoBase) {
        registry.removeValue(kTouchKey, "ioBase");
    } else if (plan.fault == EnableFault::MissingSysIntr) {
        registry.removeValue(kTouchKey, "sysIntr");
    }
}

void StressRun::restoreRegistry() {
    session_.machine().describeInRegistry(session_.registry());
}

void StressRun::armFault(const CyclePlan& plan) {
    hosted::Kernel& kernel = session_.kernel();
    switch (plan.fault) {
        case EnableFault::NoEvent:
            kernel.failCall(hosted::FaultPoint::CreateEvent, plan.faultNth);
            break;
        case EnableFault::NoInterrupt:
            kernel.failCall(hosted::FaultPoint::InterruptInitialize, 1);
            break;
        case EnableFault::NoThread:
            kernel.failCall(hosted::FaultPoint::CreateThread, plan.faultNth);
            break;
        case EnableFault::ClickObjects:
            if (plan.faultNth == 1) {
                kernel.failCall(hosted::FaultPoint::CreateSemaphore, 1);
            } else {
                kernel.failCall(hosted::FaultPoint::CreateEvent, plan.faultNth);
            }
            break;
        case EnableFault::RegistryOpen:
            kernel.failCall(hosted::FaultPoint::RegistryOpen, plan.faultNth);
            break;
        default:
            break;
    }
}

BOOL StressRun::enable(const CyclePlan& plan) {
    prepareRegistry(plan);
    armFault(plan);
    const BOOL enabled = session_.enable();
    session_.kernel().clearFailures();
    restoreRegistry();
    if (mustFail(plan)) {
        EXPECT_EQ(enabled, FALSE) << "the enable should have failed";
    }
    if (mustSucceed(plan)) {
        EXPECT_EQ(enabled, TRUE) << "the enable should have succeeded";
    }
    ++(enabled != FALSE ? tally_.enabled : tally_.failedEnables);
    return enabled;
}

// ---- The finger ----

void StressRun::press(const CyclePlan& plan) {
    session_.touch(plan.at.x, plan.at.y);
    fingerDown_ = true;
}

void StressRun::liftIfDown() {
    if (fingerDown_) {
        session_.lift();
        fingerDown_ = false;
    }
}

// Where the finger goes, as the controller measures it (the panel has no
// noise): what a completed capture reports.
windowing::Point StressRun::expectedRaw(const CyclePlan& plan) {
    const sim::RawPoint raw = session_.panel().toRawClamped(
        sim::Point{static_cast<double>(plan.at.x), static_cast<double>(plan.at.y)});
    return windowing::Point{raw.x, raw.y};
}

// Whether the enable left clicks on; empty when the plan cannot tell (a
// registry open that failed may have been the beeper's).
std::optional<bool> StressRun::expectedClicks(const CyclePlan& plan) {
    if (!plan.click || plan.fault == EnableFault::None) {
        return plan.click;
    }
    if (plan.fault == EnableFault::ClickObjects || plan.fault == EnableFault::NoThread) {
        return false;
    }
    return std::nullopt;
}

// A tap while the driver runs and no capture is pending: one pen-down, pen-down
// samples, one pen-up, and a full click when clicks are on.
void StressRun::tap(const CyclePlan& plan) {
    const std::size_t firstSample = session_.samples().size();
    const std::size_t clicksBefore = session_.clicks().size();
    const std::size_t movesBefore = session_.cursorMoves().size();
    press(plan);
    session_.wait(plan.tapHoldMs);
    liftIfDown();
    settle(kAfterLiftMs);
    ++tally_.taps;

    std::vector<DWORD> flags;
    for (std::size_t i = firstSample; i < session_.samples().size(); ++i) {
        flags.push_back(session_.samples()[i].flags);
    }
    ASSERT_GE(flags.size(), 2u) << "a tap of " << plan.tapHoldMs << " ms gave too few samples";
    EXPECT_EQ(flags, tapFlags(flags.size()));

    if (clicksOn_.has_value()) {
        const std::vector<sim::Click> clicks = session_.clicks();
        const std::size_t expected = clicksBefore + (*clicksOn_ ? 1 : 0);
        ASSERT_EQ(clicks.size(), expected) << "clicks after the tap";
        if (*clicksOn_) {
            EXPECT_GE(clicks.back().length, kClickLength);
            EXPECT_LT(clicks.back().length, kClickLength + clickSlack_);
            ++tally_.clicks;
        }
    }
    if (plan.fault != EnableFault::RegistryOpen) {
        const std::size_t moves = session_.cursorMoves().size();
        if (plan.cursor) {
            EXPECT_GT(moves, movesBefore) << "the cursor did not follow the tap";
        } else {
            EXPECT_EQ(moves, movesBefore) << "the cursor moved with \"Cursor\" 0";
        }
    }
}

// ---- Captures ----

std::optional<windowing::PendingCapture> StressRun::capture(const CyclePlan& plan,
                                                            const CapturePlan& step) {
    const std::size_t clicksBefore = session_.clicks().size();
    ResetEvent(activityEvent_);
    windowing::PendingCapture pending = session_.startCapture();
    const Micros start = session_.now();  // claimed by now
    session_.wait(step.settleMs);
    if (!leftPending(step.mode)) {
        endCapture(plan, step, pending, start);
        checkCaptureClicks(step, clicksBefore);
        return std::nullopt;
    }
    if (step.holdMs > 0) {
        press(plan);
        session_.wait(step.holdMs);
        if (step.mode == CaptureMode::PendingAtDisable && !plan.downAtDisable) {
            liftIfDown();
        }
    }
    if (step.mode == CaptureMode::PendingAtDisable) {
        EXPECT_FALSE(pending.finished()) << "the capture ended without a completing touch";
        checkNothingDelivered(start, session_.now() + 1);
    }
    return pending;
}

// Brings a waiting capture to its end as the step says and checks the outcome.
void StressRun::endCapture(const CyclePlan& plan, const CapturePlan& step,
                           windowing::PendingCapture& pending, Micros start) {
    Micros quietUntil = session_.now();
    switch (step.mode) {
        case CaptureMode::Held:
            press(plan);
            quietUntil = session_.now() + kCaptureSafeMs * kMs;
            session_.wait(step.holdMs);
            EXPECT_TRUE(pending.finished())
                << "a touch held " << step.holdMs << " ms did not complete the capture";
            break;
        case CaptureMode::Lifted:
            press(plan);
            session_.wait(step.holdMs);
            quietUntil = session_.now();
            liftIfDown();
            break;
        case CaptureMode::AbortHeld:
            press(plan);
            session_.wait(step.holdMs);
            quietUntil = session_.now();
            abort(step);
            break;
        case CaptureMode::AbortWaiting:
            abort(step);
            break;
        case CaptureMode::AbortRacing:
            press(plan);
            quietUntil = session_.now() + kCaptureSafeMs * kMs;
            session_.wait(step.holdMs);
            session_.abortCapture();
            break;
        case CaptureMode::Refused: {
            windowing::PendingCapture second = session_.startCapture();
            ASSERT_TRUE(second.waitFor(kCaptureReturnMs)) << "the second capture did not return";
            EXPECT_EQ(second.result().result, FALSE);
            EXPECT_EQ(second.result().lastError, DWORD{ERROR_POSSIBLE_DEADLOCK});
            EXPECT_FALSE(pending.finished()) << "the refused capture ended the pending one";
            ++tally_.refusedCaptures;
            session_.abortCapture();
            break;
        }
        case CaptureMode::PendingAtDisable:
        case CaptureMode::RacingDisable:
        case CaptureMode::None:
            break;
    }
    ASSERT_TRUE(pending.waitFor(kCaptureReturnMs)) << "the capture did not return";
    checkOutcome(plan, pending.result(), outcomeOf(step.mode));
    liftIfDown();
    settle(kAfterLiftMs);
    checkNothingDelivered(start, quietUntil);
}

void StressRun::settle(DWORD ms) {
    session_.wait(ms);
    hosted::Kernel& kernel = session_.kernel();
    kernel.advanceUntil([&kernel] { return kernel.othersIdle(); }, kIdleLimit);
}

// A second abort in a row may meet the capture aborted but not yet collected
// by its caller, or already over; either way it must not signal again, or the
// next capture would end at once.
void StressRun::abort(const CapturePlan& step) {
    session_.abortCapture();
    if (step.doubleAbort) {
        session_.abortCapture();
        ++tally_.doubleAborts;
    }
}

// What a capture in the given mode may end with.
Outcome StressRun::outcomeOf(CaptureMode mode) {
    switch (mode) {
        case CaptureMode::Held:
        case CaptureMode::Lifted:
            return Outcome::Completed;
        case CaptureMode::AbortRacing:
        case CaptureMode::RacingDisable:
            return Outcome::Either;
        default:
            return Outcome::Aborted;
    }
}

// A completed capture gives the raw position of the touch and has signalled
// the activity event; any other gives the latest completed result again.
void StressRun::checkOutcome(const CyclePlan& plan, const windowing::CaptureResult& result,
                             Outcome allowed) {
    if (result.result != FALSE) {
        EXPECT_NE(allowed, Outcome::Aborted) << "the capture completed";
        EXPECT_EQ(result.raw, expectedRaw(plan)) << "the captured raw position";
        EXPECT_EQ(WaitForSingleObject(activityEvent_, 0), WAIT_OBJECT_0) << "activity event";
        lastCompleted_ = result.raw;
        ++tally_.completedCaptures;
        tally_.racesCompleted += allowed == Outcome::Either ? 1 : 0;
    } else {
        EXPECT_NE(allowed, Outcome::Completed) << "the capture failed";
        EXPECT_EQ(result.raw, lastCompleted_) << "an aborted capture gives the latest result";
        ++tally_.abortedCaptures;
        tally_.racesAborted += allowed == Outcome::Either ? 1 : 0;
    }
}

// Clicks sound at a new pen-down also while a capture takes the samples.
void StressRun::checkCaptureClicks(const CapturePlan& step, std::size_t clicksBefore) {
    if (!clicksOn_.has_value()) {
        return;
    }
    const bool pressed = step.mode == CaptureMode::Held || step.mode == CaptureMode::Lifted ||
                         step.mode == CaptureMode::AbortHeld ||
                         step.mode == CaptureMode::AbortRacing;
    const std::size_t expected = clicksBefore + (*clicksOn_ && pressed ? 1 : 0);
    EXPECT_EQ(session_.clicks().size(), expected) << "clicks during the capture";
}

// While a capture is pending the callback gets no sample.  The capture was
// claimed at or before `start`, in an order the scheduler picked, so the
// samples of that instant do not count.
void StressRun::checkNothingDelivered(Micros start, Micros until) {
    for (const windowing::Sample& sample : session_.samples()) {
        if (sample.time > start && sample.time < until) {
            ADD_FAILURE() << "a sample (flags 0x" << std::hex << sample.flags << std::dec
                          << ") reached the callback at " << sample.time
                          << " us, while the capture begun at " << start << " us was pending";
        }
    }
}

void StressRun::releaseAtDisable(std::optional<windowing::PendingCapture>& pending,
                                 const CyclePlan& plan, BOOL enabled) {
    if (!pending) {
        return;
    }
    ASSERT_TRUE(pending->waitFor(kReleaseAtDisableMs))
        << "the capture caller is still blocked after the disable";
    if (enabled == FALSE) {
        // Nothing could complete it: no sample thread ran.
        EXPECT_EQ(pending->result().result, FALSE);
    } else {
        // A touch lifted just before the disable may complete the capture
        // first, if the sample thread reads its pen-up before the disable
        // takes the lock.
        const CapturePlan& step = plan.captures.back();
        const bool lifted = step.holdMs > 0 && !plan.downAtDisable;
        checkOutcome(plan, pending->result(), lifted ? Outcome::Either : outcomeOf(step.mode));
    }
    ++tally_.capturesReleasedByDisable;
    pending.reset();  // closes the capture thread's handle
}

// ---- After the disable ----

void StressRun::checkSettled() {
    const std::vector<hosted::KernelFault>& faults = session_.faults();
    for (; faultsReported_ < faults.size(); ++faultsReported_) {
        const hosted::KernelFault& fault = faults[faultsReported_];
        ADD_FAILURE() << "kernel fault at " << fault.time << " us in " << fault.thread << ": "
                      << fault.what;
    }
    EXPECT_EQ(session_.kernel().openHandleCount(), baselineHandles_) << "handles left open";
    EXPECT_EQ(session_.kernel().liveThreadCount(), 1u) << session_.kernel().threadReport();
    EXPECT_FALSE(session_.machine().speaker().sounding()) << "the speaker was left on";
}

// The callback is called without the driver's lock, so it may call the
// driver's entry points; each must answer as it would from any other thread.
void StressRun::callIntoDriverFromCallback() {
    auto calls = std::make_shared<ReentrantCalls>();
    reentrantCalls_ = calls;
    windowing::Session& session = session_;
    session_.recorder().setHook([calls, &session](const windowing::Sample&) {
        TPDC_SAMPLE_RATE rate{};
        const bool answered =
            session.getDeviceCaps(TPDC_SAMPLE_RATE_ID, &rate) != FALSE &&
            session.setMode(calls->made % 2 == 0 ? TPSM_PRIORITY_HIGH_ID
                                                 : TPSM_PRIORITY_NORMAL_ID) != FALSE;
        ++calls->made;
        calls->refused += answered ? 0 : 1;
    });
}

// The callback holds the sample thread past the disable's waits for it.  The
// thread comes back to a disabled driver, or to a later enable that started a
// thread of its own, and must leave without touching what either released.
void StressRun::disableDuringSlowCallback(const CyclePlan& plan) {
    auto slept = std::make_shared<bool>(false);
    const DWORD sleepMs = plan.slowCallbackMs;
    session_.recorder().setHook([slept, sleepMs](const windowing::Sample&) {
        if (!*slept) {
            *slept = true;
            Sleep(sleepMs);
        }
    });
    press(plan);
    const bool entered = session_.kernel().advanceUntil([&] { return *slept; }, kSlowStartLimit);
    EXPECT_TRUE(entered) << "no sample reached the callback";
    session_.disable();
    liftIfDown();
    if (plan.reenableWhileSlow) {
        // Enabled again until well after the old thread is back.
        EXPECT_EQ(session_.enable(), TRUE) << "enable while the old sample thread sleeps";
        session_.wait(sleepMs + kAfterLiftMs);
        session_.disable();
    } else {
        session_.wait(sleepMs + kAfterLiftMs);
    }
    session_.recorder().setHook(nullptr);
    ++tally_.slowCallbacks;
}

void StressRun::tapWhileDisabled(const CyclePlan& plan) {
    const std::size_t samples = session_.samples().size();
    const std::size_t moves = session_.cursorMoves().size();
    press(plan);
    session_.wait(plan.tapHoldMs);
    liftIfDown();
    settle(kAfterLiftMs);
    EXPECT_EQ(session_.samples().size(), samples) << "a disabled driver delivered samples";
    EXPECT_EQ(session_.cursorMoves().size(), moves) << "a disabled driver moved the cursor";
}

void StressRun::reload() {
    EXPECT_TRUE(session_.unload()) << "the library stayed mapped: a thread of it lives on";
    session_.load();
    lastCompleted_ = windowing::Point{};
    ++tally_.reloads;
    EXPECT_EQ(session_.kernel().openHandleCount(), baselineHandles_) << "handles after reload";
}

}  // namespace stress
