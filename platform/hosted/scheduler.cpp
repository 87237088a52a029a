// The baton scheduler and the virtual clock of the hosted kernel.
//
// Every kernel thread is an OS thread, but only the one that owner_ names
// runs; the others wait on their own condition variable.  The baton changes
// hands only inside platform calls, so the kernel's state needs no further
// locking: whoever holds the baton owns it all.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "platform/hosted/kernel_impl.hpp"

namespace hosted {

namespace {

// The kernel thread running on this OS thread, and the kernel it belongs to.
thread_local Thread* tlsThread = nullptr;
thread_local Kernel::Impl* tlsKernel = nullptr;

// Mixed into the seed of the preemption points' own generator.
constexpr std::uint64_t kPreemptSeedMix = 0x9e3779b97f4a7c15ull;

[[noreturn]] void hostError(const char* function, const char* problem) {
    std::fprintf(stderr, "hosted kernel: %s: %s\n", function, problem);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

Kernel::Impl::Impl(Kernel& k, KernelConfig config)
    : kernel(k),
      traceLog(config.traceLimit),
      config_(config),
      random_(config.seed),
      preemptRandom_(config.seed ^ kPreemptSeedMix) {
    if (tlsThread != nullptr) {
        throw std::logic_error("a kernel thread cannot construct another hosted::Kernel");
    }
    if (config_.mainPriority < 0 || config_.mainPriority > kLowestPriority) {
        throw std::invalid_argument("KernelConfig::mainPriority must be 0 to 255");
    }
    if (pct() && (config_.preempt.depth < 1 || config_.preempt.window < 1)) {
        throw std::invalid_argument(
            "KernelConfig::preempt: pct needs a depth and a window of 1 or more");
    }
    auto main = std::make_shared<Thread>();
    main->id = nextThreadId_++;
    main->name = "main";
    main->priority = config_.mainPriority;
    main->state = ThreadState::Running;
    pctRankNew(*main);
    main_ = main.get();
    threads_.push_back(std::move(main));
    owner_ = main_;
    tlsThread = main_;
    tlsKernel = this;
    // The preemption settings stay out of the trace: points that never act
    // leave it as it is without them.
    trace("kernel starts, " + describePolicy());
}

Kernel::Impl::~Impl() = default;

Kernel::Impl& Kernel::Impl::forCall(const char* function) {
    Kernel* current = Kernel::current();
    if (current == nullptr) {
        hostError(function, "called with no hosted::Kernel alive; create one first");
    }
    Impl& impl = current->impl();
    if (tlsThread == nullptr || tlsKernel != &impl) {
        hostError(function,
                  "called from a thread the hosted kernel did not create; only the thread that "
                  "constructed the Kernel and threads made by CreateThread may call the platform");
    }
    return impl;
}

Thread& Kernel::Impl::self() {
    if (tlsThread == nullptr || tlsKernel != this) {
        hostError("hosted::Kernel",
                  "used from a thread that is not one of its kernel threads; only the thread that "
                  "constructed the Kernel and threads made by CreateThread may drive it");
    }
    return *tlsThread;
}

// ---- Baton passing ----

bool Kernel::Impl::runsPoints() const {
    const bool active = config_.preempt.mode != PreemptMode::Off || config_.preempt.stallOdds > 0;
    if (!active || tlsKernel != this || tlsThread == nullptr) {
        return false;
    }
    return owner_.load() == tlsThread && !inDeviceAction_ && !shuttingDown_ && !stopped_ &&
           !tlsThread->inPoint;
}

void Kernel::Impl::handOver(Thread& from, Thread& to) {
    to.state = ThreadState::Running;
    to.readyAsync = false;
    if (&from == &to) {
        return;
    }
    sliceStart_ = now_;
    trace("switch to " + to.name);
    std::unique_lock<std::mutex> lock(batonMutex_);
    owner_ = &to;
    to.turn.notify_one();
    from.turn.wait(lock, [&] { return owner_ == &from; });
}

void Kernel::Impl::handOverAndExit(Thread& from, Thread& to) {
    if (!shuttingDown_) {
        trace("switch to " + to.name);
    }
    (void)from;
    to.state = ThreadState::Running;
    to.readyAsync = false;
    sliceStart_ = now_;
    std::lock_guard<std::mutex> lock(batonMutex_);
    owner_ = &to;
    to.turn.notify_one();
}

void Kernel::Impl::afterResume(Thread& thread) {
    if (shuttingDown_ && &thread != main_) {
        // The kernel is going away: unwind this thread from its blocking call.
        if (std::uncaught_exceptions() == 0) {
            throw ThreadEnd{0};
        }
        return;
    }
    if (stopped_ && &thread == main_ && !stopThrown_) {
        stopThrown_ = true;
        throw RunStopped(stopReport_);
    }
}

// ---- Threads ----

void Kernel::Impl::trampoline(Thread& thread) {
    tlsThread = &thread;
    tlsKernel = this;
    {
        std::unique_lock<std::mutex> lock(batonMutex_);
        thread.turn.wait(lock, [&] { return owner_ == &thread; });
    }
    DWORD code = 0;
    try {
        afterResume(thread);
        trace("starts");
        code = thread.start(thread.parameter);
    } catch (const ThreadEnd& end) {
        code = end.exitCode;
    } catch (const std::exception& error) {
        fault(std::string("thread ended by an exception: ") + error.what());
    } catch (...) {
        fault("thread ended by an exception of unknown type");
    }
    finishThread(thread, code);
    tlsThread = nullptr;
    tlsKernel = nullptr;
}

void Kernel::Impl::finishThread(Thread& thread, DWORD code) {
    thread.exitCode = code;
    thread.state = ThreadState::Finished;
    if (shuttingDown_) {
        handOverAndExit(thread, *main_);
        return;
    }
    trace("ends with code " + std::to_string(code));
    handles.forEach([&](HandleId id, const std::shared_ptr<Object>& object) {
        if (object->kind == ObjectKind::CriticalSection &&
            static_cast<CriticalSectionObject&>(*object).owner == &thread) {
            fault("thread ended while owning critical section " +
                  handleText(HandleTable::toHandle(id)));
        }
    });
    while (!thread.waiters.empty()) {
        wake(*thread.waiters.front(), WAIT_OBJECT_0);
    }
    Thread& next = pickNext(thread);
    handOverAndExit(thread, next);
}

HANDLE Kernel::Impl::createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD id) {
    Thread& me = self();
    if (start == nullptr || flags != 0) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (injectFailure(FaultPoint::CreateThread)) {
        setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    reapFinished();
    auto thread = std::make_shared<Thread>();
    thread->id = nextThreadId_++;
    thread->name = "thread-" + std::to_string(thread->id) + routineName(start);
    thread->start = start;
    thread->parameter = parameter;
    pctRankNew(*thread);
    HANDLE handle = addHandle(thread);
    if (handle == nullptr) {
        return nullptr;
    }
    try {
        thread->os = std::thread([this, raw = thread.get()] { trampoline(*raw); });
    } catch (const std::system_error&) {
        handles.remove(HandleTable::fromHandle(handle));
        setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    threads_.push_back(thread);
    trace("creates " + thread->name + " as " + handleText(handle) + ", priority " +
          std::to_string(thread->priority));
    if (id != nullptr) {
        *id = thread->id;
    }
    makeReady(*thread, false);
    (void)me;
    switchPoint();
    return handle;
}

void Kernel::Impl::reapFinished() {
    // A finished thread has handed the baton on and is leaving its
    // trampoline; joining it frees its OS resources in long runs.
    for (const auto& thread : threads_) {
        if (thread->state == ThreadState::Finished && thread->os.joinable()) {
            thread->os.join();
        }
    }
}

void Kernel::Impl::exitThread(DWORD code) {
    Thread& me = self();
    if (&me == main_) {
        hostError("ExitThread", "the thread that constructed the Kernel cannot exit through it");
    }
    throw ThreadEnd{code};
}

void Kernel::Impl::setPriority(Thread& thread, int priority) {
    thread.priority = priority;
    trace("sets priority of " + thread.name + " to " + std::to_string(priority));
    switchPoint();
}

std::size_t Kernel::Impl::liveThreads() const {
    return static_cast<std::size_t>(
        std::count_if(threads_.begin(), threads_.end(),
                      [](const auto& t) { return t->state != ThreadState::Finished; }));
}

bool Kernel::Impl::othersIdle() const {
    return std::all_of(threads_.begin(), threads_.end(), [&](const auto& t) {
        return t.get() == tlsThread || t->state == ThreadState::Finished ||
               (t->state == ThreadState::Blocked && !t->wait.deadline);
    });
}

void Kernel::Impl::shutdown() {
    if (tlsThread != main_) {
        hostError("~Kernel", "a hosted::Kernel must be destroyed by the thread that created it");
    }
    shuttingDown_ = true;
    trace("kernel ends");
    for (const auto& thread : threads_) {
        if (thread.get() == main_ || thread->state == ThreadState::Finished) {
            continue;
        }
        cancelWait(*thread);
        std::erase(ready_, thread.get());
        // The thread unwinds from its blocking call and gives the baton back.
        handOver(*main_, *thread);
    }
    for (const auto& thread : threads_) {
        if (thread->os.joinable()) {
            thread->os.join();
        }
    }
    tlsThread = nullptr;
    tlsKernel = nullptr;
}

// ---- Choosing the next thread ----

void Kernel::Impl::makeReady(Thread& thread, bool front) {
    thread.state = ThreadState::Ready;
    thread.readyAsync = false;
    thread.readyOrder = front ? --frontOrder_ : ++backOrder_;
    ready_.push_back(&thread);
}

bool Kernel::Impl::anyReadyAbove(int priority, bool orEqual) const {
    return std::any_of(ready_.begin(), ready_.end(), [&](const Thread* t) {
        return t->priority < priority || (orEqual && t->priority == priority);
    });
}

Thread& Kernel::Impl::takeNext() {
    std::size_t chosen = 0;
    if (pct()) {
        chosen = static_cast<std::size_t>(std::find(ready_.begin(), ready_.end(), pctBest()) -
                                          ready_.begin());
    } else if (policy() == SchedulePolicy::Random) {
        chosen = static_cast<std::size_t>(random_() % ready_.size());
    } else {
        for (std::size_t i = 1; i < ready_.size(); ++i) {
            const Thread* a = ready_[i];
            const Thread* b = ready_[chosen];
            if (a->priority < b->priority ||
                (a->priority == b->priority && a->readyOrder < b->readyOrder)) {
                chosen = i;
            }
        }
    }
    Thread& next = *ready_[chosen];
    ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(chosen));
    return next;
}

Thread& Kernel::Impl::pickNext(Thread& current) {
    for (;;) {
        if (!ready_.empty()) {
            return takeNext();
        }
        if (wakeStaleSteppers()) {
            continue;
        }
        if (++steps_ > config_.stepLimit) {
            return stopRun(current, "livelock: step limit of " + std::to_string(config_.stepLimit) +
                                        " reached");
        }
        const std::optional<Micros> when = nextPending();
        if (!when) {
            return stopRun(current,
                           "deadlock: every thread is blocked and no timeout or device event is "
                           "pending");
        }
        if (!advanceClockTo(*when)) {
            return stopRun(current, "livelock: virtual time limit of " +
                                        TraceLog::formatTime(config_.timeLimit) + " s reached");
        }
    }
}

void Kernel::Impl::block(Thread& thread) {
    if (inDeviceAction_) {
        hostError("blocking call", "a device action must not block");
    }
    if (shuttingDown_ || stopped_) {
        runAlone(thread);
        return;
    }
    Thread& next = pickNext(thread);
    handOver(thread, next);
    afterResume(thread);
}

void Kernel::Impl::switchPoint() {
    Thread& me = self();
    if (inDeviceAction_ || shuttingDown_ || stopped_) {
        return;
    }
    if (++steps_ > config_.stepLimit) {
        halt(me, "livelock: step limit of " + std::to_string(config_.stepLimit) + " reached");
    }
    if (pct()) {
        pctStep(me);
        pctSwitch(me, nullptr);
        return;
    }
    const bool priority = policy() == SchedulePolicy::Priority;
    if (priority ? !anyReadyAbove(me.priority, false) : ready_.empty()) {
        return;
    }
    makeReady(me, priority);  // preempted: first in line at its priority
    Thread& next = takeNext();
    handOver(me, next);
    afterResume(me);
}

void Kernel::Impl::yield() {
    Thread& me = self();
    if (inDeviceAction_ || shuttingDown_) {
        return;
    }
    if (stopped_) {
        (void)advanceClockTo(now_ + config_.yieldCost);
        return;
    }
    if (++steps_ > config_.stepLimit) {
        halt(me, "livelock: step limit of " + std::to_string(config_.stepLimit) + " reached");
    }
    const bool priority = policy() == SchedulePolicy::Priority;
    if (pct()) {
        pctStep(me);
    }
    auto othersCanRun = [&] {
        if (pct()) {
            const Thread* best = pctBest();
            return best != nullptr && best->pctRank > me.pctRank;
        }
        return priority ? anyReadyAbove(me.priority, true) : !ready_.empty();
    };
    Micros target = now_ + config_.yieldCost;
    // A poller that has read the tick count and not yet read the current
    // tick (its last port access ended on or past a tick boundary) sees it
    // next; skipping to the following tick would hide a whole millisecond.
    const bool tickUnread =
        me.tickReadAt && *me.tickReadAt / kMicrosPerMilli != now_ / kMicrosPerMilli;
    if (!othersCanRun() && me.quietMark == activity_ && !tickUnread) {
        // The thread yields alone again and did nothing since its last yield
        // but touch ports: it polls.  Nothing it can see changes before the
        // next device event, timeout or tick, so it skips to the first of them.
        Micros skip = (now_ / kMicrosPerMilli + 1) * kMicrosPerMilli;
        if (const auto pending = nextPending()) {
            skip = std::min(skip, *pending);
        }
        target = std::max(target, skip);
    }
    me.quietMark = othersCanRun() ? ~std::uint64_t{0} : activity_;
    if (!advanceClockTo(target)) {
        halt(me, "livelock: virtual time limit of " + TraceLog::formatTime(config_.timeLimit) +
                     " s reached");
    }
    if (!othersCanRun()) {
        return;
    }
    if (pct()) {
        pctSwitch(me, nullptr);
        return;
    }
    makeReady(me, false);
    Thread& next = takeNext();
    handOver(me, next);
    afterResume(me);
}

void Kernel::Impl::sleep(std::optional<Micros> duration) {
    Thread& me = self();
    me.wait = WaitInfo{};
    me.wait.since = now_;
    me.wait.order = ++waitOrder_;
    if (duration) {
        me.wait.deadline = now_ + *duration;
    }
    me.state = ThreadState::Blocked;
    trace(duration ? "sleeps " + TraceLog::formatTime(*duration) + " s" : "sleeps forever");
    block(me);
}

std::uint32_t Kernel::Impl::readTicks() {
    self().tickReadAt = now_;
    return ticks();
}

void Kernel::Impl::portCycle() {
    Thread& me = self();
    if (inDeviceAction_ || shuttingDown_) {
        return;
    }
    if (!advanceClockTo(now_ + config_.portAccessCost) && !stopped_) {
        halt(me, "livelock: virtual time limit of " + TraceLog::formatTime(config_.timeLimit) +
                     " s reached");
    }
}

void Kernel::Impl::advance(Micros duration) {
    sleep(duration);
}

bool Kernel::Impl::advanceUntil(const std::function<bool()>& pred, Micros timeout) {
    Thread& me = self();
    const Micros end = now_ + timeout;
    for (;;) {
        if (pred()) {
            return true;
        }
        if (now_ >= end || shuttingDown_) {
            return false;
        }
        me.wait = WaitInfo{};
        me.wait.since = now_;
        me.wait.order = ++waitOrder_;
        me.wait.deadline = end;
        me.wait.wakeOnStep = true;
        me.wait.activityMark = activity_;
        me.state = ThreadState::Blocked;
        block(me);
    }
}

// ---- The clock ----

std::optional<Micros> Kernel::Impl::nextPending() const {
    std::optional<Micros> next;
    if (!events_.empty()) {
        next = events_.begin()->first.first;
    }
    if (const Thread* t = earliestDeadline(~Micros{0})) {
        next = next ? std::min(*next, *t->wait.deadline) : *t->wait.deadline;
    }
    return next;
}

Thread* Kernel::Impl::earliestDeadline(Micros limit) const {
    Thread* best = nullptr;
    for (const auto& t : threads_) {
        if (t->state != ThreadState::Blocked || !t->wait.deadline || *t->wait.deadline > limit) {
            continue;
        }
        if (best == nullptr || *t->wait.deadline < *best->wait.deadline ||
            (*t->wait.deadline == *best->wait.deadline && t->wait.order < best->wait.order)) {
            best = t.get();
        }
    }
    return best;
}

bool Kernel::Impl::advanceClockTo(Micros target) {
    const bool withinLimit = target <= config_.timeLimit;
    if (!withinLimit) {
        target = config_.timeLimit;
    }
    runDueEvents(target);
    now_ = std::max(now_, target);
    return withinLimit;
}

void Kernel::Impl::runDueEvents(Micros target) {
    const FlagScope asynchronous(advancingClock_);
    for (;;) {
        const bool eventDue = !events_.empty() && events_.begin()->first.first <= target;
        Thread* sleeper = earliestDeadline(target);
        if (!eventDue && sleeper == nullptr) {
            return;
        }
        // A device event and a timeout at the same time: the device goes first.
        if (eventDue &&
            (sleeper == nullptr || events_.begin()->first.first <= *sleeper->wait.deadline)) {
            auto due = events_.begin();
            now_ = std::max(now_, due->first.first);
            std::function<void()> action = std::move(due->second);
            eventTimes_.erase(due->first.second);
            events_.erase(due);
            const FlagScope device(inDeviceAction_);
            ++activity_;
            action();
        } else {
            now_ = std::max(now_, *sleeper->wait.deadline);
            wake(*sleeper, WAIT_TIMEOUT);
        }
    }
}

bool Kernel::Impl::wakeStaleSteppers() {
    // The machine is quiet: a thread in advanceUntil looks at its predicate
    // again if anything happened since it last did.
    bool woken = false;
    for (const auto& t : threads_) {
        if (t->state == ThreadState::Blocked && t->wait.wakeOnStep &&
            t->wait.activityMark != activity_) {
            wake(*t, WAIT_TIMEOUT);
            woken = true;
        }
    }
    return woken;
}

void Kernel::Impl::wake(Thread& thread, DWORD result) {
    cancelWait(thread);
    thread.wait.result = result;
    trace("wakes " + thread.name + (result == WAIT_TIMEOUT ? " (timeout)" : ""));
    makeReady(thread, false);
    thread.readyAsync = advancingClock_;
}

void Kernel::Impl::cancelWait(Thread& thread) {
    if (thread.wait.object) {
        std::erase(thread.wait.object->waiters, &thread);
    }
    thread.wait.object.reset();
    thread.wait.deadline.reset();
    thread.wait.wakeOnStep = false;
}

DeviceEventId Kernel::Impl::schedule(Micros at, std::function<void()> action) {
    (void)self();  // only the baton holder may touch the clock
    const DeviceEventId id = nextEventId_++;
    at = std::max(at, now_);
    events_.emplace(std::make_pair(at, id), std::move(action));
    eventTimes_.emplace(id, at);
    return id;
}

void Kernel::Impl::cancel(DeviceEventId id) {
    (void)self();
    const auto it = eventTimes_.find(id);
    if (it == eventTimes_.end()) {
        return;
    }
    events_.erase(std::make_pair(it->second, id));
    eventTimes_.erase(it);
}

// ---- Stopping a run ----

void Kernel::Impl::runAlone(Thread& thread) {
    // After a stop only the main thread runs (and, while the kernel ends, the
    // thread being unwound): nothing could wake a blocked caller, so a timed
    // wait lets its time pass and ends in a timeout, and an untimed one fails
    // at once.  Code that tidies up after a stop therefore cannot hang.
    const std::optional<Micros> deadline = thread.wait.deadline;
    cancelWait(thread);
    thread.state = ThreadState::Running;
    thread.wait.result = WAIT_FAILED;
    if (deadline && !shuttingDown_) {
        (void)advanceClockTo(*deadline);
        thread.wait.result = WAIT_TIMEOUT;
    }
}

Thread& Kernel::Impl::stopRun(Thread& current, const std::string& why) {
    stopReport_ = why + "\n" + threadReport();
    stopped_ = true;
    trace("run stopped: " + why);
    cancelWait(*main_);
    std::erase(ready_, main_);
    main_->state = ThreadState::Running;
    if (&current == main_) {
        stopThrown_ = true;
        throw RunStopped(stopReport_);
    }
    if (current.state != ThreadState::Finished) {
        cancelWait(current);
        std::erase(ready_, &current);
        current.state = ThreadState::Parked;
    }
    return *main_;
}

void Kernel::Impl::halt(Thread& current, const std::string& why) {
    Thread& main = stopRun(current, why);
    handOver(current, main);
    afterResume(current);
    hostError("kernel", "a stopped thread was resumed");
}

// ---- Reports ----

std::string Kernel::Impl::describeWait(const Thread& thread) const {
    std::ostringstream out;
    switch (thread.state) {
        case ThreadState::Running:
            return "running";
        case ThreadState::Ready:
            return "ready";
        case ThreadState::Finished:
            return "ended with code " + std::to_string(thread.exitCode);
        case ThreadState::Parked:
            return "stopped";
        case ThreadState::Blocked:
            break;
    }
    const WaitInfo& wait = thread.wait;
    if (!wait.object) {
        out << (wait.wakeOnStep ? "advances time" : "sleeps");
    } else {
        out << "waits on " << kindName(wait.object->kind) << " " << handleText(wait.handle);
        if (wait.object->kind == ObjectKind::CriticalSection) {
            const auto& section = static_cast<const CriticalSectionObject&>(*wait.object);
            out << " owned by " << threadName(section.owner);
        } else if (wait.object->kind == ObjectKind::Thread) {
            out << " (" << static_cast<const Thread&>(*wait.object).name << ")";
        }
    }
    out << " since " << TraceLog::formatTime(wait.since) << " s";
    if (wait.deadline) {
        out << " until " << TraceLog::formatTime(*wait.deadline) << " s";
    } else {
        out << " without timeout";
    }
    return out.str();
}

std::string Kernel::Impl::threadReport() const {
    std::ostringstream out;
    out << "at " << TraceLog::formatTime(now_) << " s (virtual), " << describeSchedule() << "\n";
    for (const auto& t : threads_) {
        out << "  thread \"" << t->name << "\" (id " << t->id << ", priority " << t->priority
            << "): " << describeWait(*t) << "\n";
    }
    return out.str();
}

std::string Kernel::Impl::threadName(const Thread* thread) const {
    return thread == nullptr ? std::string("nobody") : thread->name;
}

}  // namespace hosted
