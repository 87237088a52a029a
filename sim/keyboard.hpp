// A keyboard on the i8042's first channel.  It sends the bytes it is given at
// the times it is given (scan codes, as if keys were struck) and acknowledges
// every byte the host sends it with 0xFA.  Nothing in this machine reads
// keyboard bytes on its own: one that nobody takes stays in the i8042's output
// buffer and holds the auxiliary channel back, as on a board without a
// keyboard driver.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/i8042.hpp"

namespace sim {

struct KeyboardInjection {
    Micros at = 0;
    std::vector<std::uint8_t> bytes;
};

class Keyboard : public Ps2Device {
  public:
    static constexpr std::uint8_t kAck = 0xFA;

    explicit Keyboard(hosted::DeviceContext& context);
    ~Keyboard() override;
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // Queue `bytes` for sending at virtual time `at`; a time already past means now.
    void inject(Micros at, std::vector<std::uint8_t> bytes);
    void inject(const KeyboardInjection& injection) { inject(injection.at, injection.bytes); }

    // Ps2Device
    void hostByte(std::uint8_t byte) override;
    bool hasByte() const override { return !queue_.empty(); }
    std::uint8_t takeByte() override;

    const std::vector<std::uint8_t>& received() const { return received_; }
    std::uint64_t bytesSent() const { return sent_; }

  private:
    hosted::DeviceContext& context_;
    std::deque<std::uint8_t> queue_;
    std::vector<hosted::DeviceEventId> events_;
    std::vector<std::uint8_t> received_;
    std::uint64_t sent_ = 0;
};

}  // namespace sim
