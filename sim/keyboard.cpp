#include "sim/keyboard.hpp"

#include <algorithm>

namespace sim {

Keyboard::Keyboard(hosted::DeviceContext& context) : context_(context) {}

Keyboard::~Keyboard() {
    for (hosted::DeviceEventId id : events_) {
        context_.cancel(id);
    }
}

void Keyboard::inject(Micros at, std::vector<std::uint8_t> bytes) {
    const Micros when = std::max(at, context_.now());
    events_.push_back(context_.schedule(when, [this, bytes = std::move(bytes)] {
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
        wakeHost();
    }));
}

void Keyboard::hostByte(std::uint8_t byte) {
    received_.push_back(byte);
    queue_.push_back(kAck);
    wakeHost();
}

std::uint8_t Keyboard::takeByte() {
    const std::uint8_t byte = queue_.front();
    queue_.pop_front();
    ++sent_;
    return byte;
}

}  // namespace sim
