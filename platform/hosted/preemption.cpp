// Preemption points inside instrumented code: stalls, the board's own
// preemption (target), the aggressive one (any) and the PCT scheduler, which
// also rules the platform calls' switch points.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/hosted/kernel_impl.hpp"

// GCC 12 at -O3 reports a -Wrestrict overlap inside std::string's
// operator+(const char*, std::string&&) where there is none: a false
// positive of that compiler (its bug 105651), not of this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace hosted {

namespace {

// "libTOUCH.so+0x1a2b": the module's file name and the offset of the site in
// it, which addr2line turns into a function and a line.  The address is one
// before the return address, inside the call of the point.
std::string siteName(const void* site) {
    Dl_info info{};
    if (site == nullptr || dladdr(site, &info) == 0 || info.dli_fbase == nullptr) {
        return "an unknown site";
    }
    const auto offset = reinterpret_cast<std::uintptr_t>(site) -
                        reinterpret_cast<std::uintptr_t>(info.dli_fbase) - 1;
    char text[32];
    std::snprintf(text, sizeof text, "+0x%lx", static_cast<unsigned long>(offset));
    const char* file = info.dli_fname != nullptr ? info.dli_fname : "";
    return std::filesystem::path(file).filename().string() + text;
}

}  // namespace

std::string describePreemption(const Preemption& preempt) {
    std::string text;
    switch (preempt.mode) {
        case PreemptMode::Off:
            return "no preemption points";
        case PreemptMode::Target:
            text = "preemption target";
            break;
        case PreemptMode::Any:
            text = "preemption any";
            break;
        case PreemptMode::Pct:
            text = "preemption pct:" + std::to_string(preempt.depth) + ":" +
                   std::to_string(preempt.window);
            break;
    }
    if (preempt.stallOdds > 0) {
        text += ", stalls 1/(" + std::to_string(preempt.stallOdds) + " n) within " +
                TraceLog::formatTime(preempt.stallHorizon) + " s";
    }
    return text;
}

SchedulePolicy Kernel::Impl::policy() const {
    return config_.preempt.mode == PreemptMode::Target ? SchedulePolicy::Priority : config_.policy;
}

std::string Kernel::Impl::describePolicy() const {
    const char* name = pct() ? "pct" : policy() == SchedulePolicy::Priority ? "priority" : "random";
    return std::string("policy ") + name + ", seed " + std::to_string(config_.seed);
}

std::string Kernel::Impl::describeSchedule() const {
    if (config_.preempt.mode == PreemptMode::Off && config_.preempt.stallOdds == 0) {
        return describePolicy();
    }
    return describePolicy() + ", " + describePreemption(config_.preempt);
}

void preemptionPoint(std::uint32_t block, const void* site) {
    Kernel* kernel = Kernel::current();
    if (kernel != nullptr && kernel->impl().runsPoints()) {
        kernel->impl().preemptionPoint(block, site);
    }
}

void Kernel::Impl::preemptionPoint(std::uint32_t block, const void* site) {
    Thread& me = self();
    const FlagScope inside(me.inPoint);
    if (config_.preempt.stallOdds > 0) {
        stallAt(block, site);
    }
    switch (config_.preempt.mode) {
        case PreemptMode::Off:
            break;
        case PreemptMode::Target:
            if (Thread* next = targetCandidate(me)) {
                // Preempted by a higher priority it stays first in line at its
                // own; at the end of its slice it goes to the back.
                preemptAt(me, *next, next->priority < me.priority, site);
            }
            break;
        case PreemptMode::Any:
            if (!ready_.empty()) {
                const auto pick = static_cast<std::size_t>(preemptRandom_() % (ready_.size() + 1));
                if (pick < ready_.size()) {
                    preemptAt(me, *ready_[pick], false, site);
                }
            }
            break;
        case PreemptMode::Pct:
            pctStep(me);
            pctSwitch(me, site);
            break;
    }
}

// ---- Stalls ----

void Kernel::Impl::stallAt(std::uint32_t block, const void* site) {
    if (block >= visits_.size()) {
        visits_.resize(std::size_t{block} + 1, 0);
    }
    const std::uint64_t visits = ++visits_[block];
    if (preemptRandom_() % (config_.preempt.stallOdds * visits) != 0) {
        return;
    }
    const std::optional<Micros> next = nextPending();
    if (!next || *next <= now_ || *next > now_ + config_.preempt.stallHorizon ||
        *next > config_.timeLimit) {
        return;
    }
    trace("stalls until " + TraceLog::formatTime(*next) + " s at " + siteName(site));
    (void)advanceClockTo(*next);
}

// ---- Target ----

Thread* Kernel::Impl::targetCandidate(const Thread& me) const {
    const bool sliceOver = now_ - sliceStart_ >= config_.preempt.timeSlice;
    Thread* best = nullptr;
    for (Thread* t : ready_) {
        const bool takesOver = (t->readyAsync && t->priority < me.priority) ||
                               (sliceOver && t->priority == me.priority);
        if (takesOver && (best == nullptr || t->priority < best->priority ||
                          (t->priority == best->priority && t->readyOrder < best->readyOrder))) {
            best = t;
        }
    }
    return best;
}

void Kernel::Impl::preemptAt(Thread& me, Thread& next, bool front, const void* site) {
    trace("preempted at " + siteName(site));
    std::erase(ready_, &next);
    makeReady(me, front);
    handOver(me, next);
    afterResume(me);
}

// ---- PCT ----

void Kernel::Impl::pctRankNew(Thread& thread) {
    // Drawn ranks lie above every rank a change point gives.
    thread.pctRank = static_cast<std::int64_t>(preemptRandom_() >> 2);
}

void Kernel::Impl::pctDraw() {
    const Preemption& p = config_.preempt;
    windowEnd_ = contested_ + p.window - 1;
    changePoints_.clear();
    changesFired_ = 0;
    std::string drawn;
    for (unsigned i = 1; i < p.depth; ++i) {
        changePoints_.push_back(contested_ + preemptRandom_() % p.window);
    }
    std::sort(changePoints_.begin(), changePoints_.end());
    for (std::uint64_t step : changePoints_) {
        drawn += " " + std::to_string(step);
    }
    trace("pct window of steps " + std::to_string(contested_) + " to " +
          std::to_string(windowEnd_) + ", change points at" + (drawn.empty() ? " none" : drawn));
}

void Kernel::Impl::pctStep(Thread& me) {
    if (ready_.empty()) {
        return;  // not contested
    }
    ++contested_;
    if (contested_ > windowEnd_) {
        pctDraw();
    }
    while (changesFired_ < changePoints_.size() && changePoints_[changesFired_] == contested_) {
        ++changesFired_;
        me.pctRank = --pctFloor_;
        trace("pct change point at step " + std::to_string(contested_) + " lowers " + me.name);
    }
}

Thread* Kernel::Impl::pctBest() const {
    Thread* best = nullptr;
    for (Thread* t : ready_) {
        if (best == nullptr || t->pctRank > best->pctRank ||
            (t->pctRank == best->pctRank && t->readyOrder < best->readyOrder)) {
            best = t;
        }
    }
    return best;
}

bool Kernel::Impl::pctSwitch(Thread& me, const void* site) {
    Thread* best = pctBest();
    if (best == nullptr || best->pctRank <= me.pctRank) {
        return false;
    }
    if (site != nullptr) {
        preemptAt(me, *best, false, site);
    } else {
        std::erase(ready_, best);
        makeReady(me, false);
        handOver(me, *best);
        afterResume(me);
    }
    return true;
}

}  // namespace hosted
