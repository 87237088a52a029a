// A DeviceContext that tests step by hand: an event queue in virtual time and
// a record of every interrupt line raised.
#pragma once

#include <functional>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/hosted/devices.hpp"

namespace simtest {

using hosted::DeviceEventId;
using hosted::Micros;

struct Raised {
    Micros time;
    unsigned line;
    friend bool operator==(const Raised&, const Raised&) = default;
};

class ManualClock : public hosted::DeviceContext {
  public:
    Micros now() const override { return now_; }

    DeviceEventId schedule(Micros at, std::function<void()> action) override {
        if (at < now_) {
            throw std::logic_error("an event was scheduled in the past");
        }
        const DeviceEventId id = ++lastId_;
        queue_.emplace(Key{at, id}, std::move(action));
        return id;
    }

    void cancel(DeviceEventId id) override {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->first.second == id) {
                queue_.erase(it);
                return;
            }
        }
    }

    void raiseLine(unsigned line) override { raised_.push_back({now_, line}); }

    // Run every event due at or before `time` (in time order, then in the
    // order scheduled), then stop the clock at `time`.
    void advanceTo(Micros time) {
        while (!queue_.empty() && queue_.begin()->first.first <= time) {
            auto node = queue_.extract(queue_.begin());
            now_ = node.key().first;
            node.mapped()();
        }
        if (time > now_) {
            now_ = time;
        }
    }
    void advance(Micros duration) { advanceTo(now_ + duration); }

    bool idle() const { return queue_.empty(); }
    const std::vector<Raised>& raised() const { return raised_; }
    void clearRaised() { raised_.clear(); }

  private:
    using Key = std::pair<Micros, DeviceEventId>;
    Micros now_ = 0;
    DeviceEventId lastId_ = 0;
    std::map<Key, std::function<void()>> queue_;
    std::vector<Raised> raised_;
};

}  // namespace simtest
