// A PS/2 mouse on the i8042's auxiliary channel, as the PS/2 mouse protocol
// has it, with no movement: it acknowledges each command byte with 0xFA and
// answers 0xFF (reset) with 0xAA 0x00, 0xF2 (identify) with 0x00 and 0xE9
// (status) with its three status bytes; 0xF3 (sample rate) and 0xE8
// (resolution) take one argument byte, acknowledged too; a byte that is no
// command gets 0xFE (resend), and 0xFE from the host has the last byte sent
// again.  It answers at once: the time on the wire is the
// i8042's, and the self test a real mouse runs after a reset (up to 500 ms)
// is left out.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>

#include "sim/i8042.hpp"

namespace sim {

class Ps2Mouse : public Ps2Device {
  public:
    static constexpr std::uint8_t kAck = 0xFA;
    static constexpr std::uint8_t kResend = 0xFE;
    static constexpr std::uint8_t kSelfTestPassed = 0xAA;
    static constexpr std::uint8_t kMouseId = 0x00;

    // Ps2Device
    void hostByte(std::uint8_t byte) override;
    bool hasByte() const override { return !queue_.empty(); }
    std::uint8_t takeByte() override;

    bool reporting() const { return reporting_; }

  private:
    void command(std::uint8_t byte);
    void resetSettings();
    void send(std::initializer_list<std::uint8_t> bytes);

    std::deque<std::uint8_t> queue_;
    std::uint8_t lastSent_ = kResend;      // what 0xFE from the host repeats
    std::uint8_t awaitingArgumentOf_ = 0;  // 0xF3 or 0xE8 while its argument is due
    std::uint8_t sampleRate_ = 100;
    std::uint8_t resolution_ = 2;  // 4 counts a millimetre
    bool scaling2to1_ = false;
    bool reporting_ = false;
    bool remoteMode_ = false;
};

}  // namespace sim
