// The simulated i8042 keyboard controller: two PS/2 channels (keyboard and
// auxiliary) behind a data port at `base` and a status/command port at base+4.
//
// Model, in the terms a PC's firmware gives it:
// - One-byte output buffer.  Bytes enter it from three sources, in this order
//   of precedence when several wait: the controller itself (answers to its
//   own commands), the keyboard channel, the auxiliary channel.  Reading the
//   data port empties it; reading it while empty returns the last byte again.
// - Each byte from a device crosses the PS/2 wire before it reaches the output
//   buffer: 11 bits at the configured clock (default 12 kHz, 917 us).  Only one
//   byte is on the wires at a time, and a transfer starts only while the
//   output buffer is empty and the byte's channel is enabled (command byte bit
//   0x10 keyboard, 0x20 auxiliary); otherwise the host inhibits the line and
//   the device keeps its byte.  So no device byte is ever lost.
// - Each write to either port makes the input buffer busy (status 0x02) for
//   the configured time (default 5 us); the controller acts on the byte when
//   it takes it at the end of that time.  A controller configured as stuck
//   never takes a byte.  A write while busy replaces the byte not yet taken
//   (as the register on the chip does); such losses are counted.
// - Status bits: 0x01 output buffer full, 0x02 input buffer full, 0x04 system
//   flag, 0x08 last write was to the command port, 0x10 keyboard not
//   inhibited (no key lock: always set), 0x20 the byte in the output buffer
//   came from the auxiliary device.
// - Commands: 0x20 command byte to the output buffer; 0x60 next data byte is
//   the command byte; 0xD4 next data byte goes to the auxiliary device (also
//   clears the auxiliary-disable bit 0x20 so that its answer can come back);
//   0xA7/0xA8 auxiliary disable/enable (bit 0x20); 0xAD/0xAE keyboard
//   disable/enable (bit 0x10); 0xAA self test (answers 0x55, sets the system
//   flag); 0xA9/0xAB interface tests (answer 0x00).  Other commands are
//   ignored and counted.  A data write with no pending command goes to the
//   keyboard device.
// - Command byte: 0x01 keyboard interrupt (IRQ 1), 0x02 auxiliary interrupt
//   (IRQ 12), 0x04 system flag, 0x10 keyboard disabled, 0x20 auxiliary
//   disabled, 0x40 scan-code translation (stored only: bytes pass untranslated).
//   An interrupt edge is raised when a byte enters the output buffer with its
//   channel's interrupt bit set (the controller's own answers count as the
//   keyboard channel's); setting the bit while such a byte waits raises the
//   edge at once.
// - I8042Config::answerIrqWhileKeyboardOff: real i8042s differ on whether the
//   controller's own answers raise IRQ 1 while the keyboard interface is off
//   (command byte bit 0x10, set by 0xAD).  true (the default) raises it, as
//   for any answer; false raises none for an answer that enters the output
//   buffer, or waits in it when the keyboard interrupt is switched on, while
//   the interface is off (QEMU's i8042 does so).  Machine JSON:
//   "i8042": {"answerIrqWhileKeyboardOff": false}.
// - I8042Config::auxAfterKeyboardByte: real i8042s also differ on which
//   channel goes next when both have bytes waiting.  false (the default): the
//   keyboard always first.  true: after a keyboard byte a waiting auxiliary
//   byte goes next, and the keyboard first otherwise (QEMU's i8042 does so).
//   Machine JSON: "i8042": {"auxAfterKeyboardByte": true}.
// - The defaults of these two settings are the process's I8042Variant, the
//   first of each pair above unless a program (a test run under the other
//   variant) sets another before it builds a machine.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted/devices.hpp"

namespace sim {

using hosted::Micros;

// Where a byte in the output buffer came from.
enum class ByteSource { Controller, Keyboard, Aux };

const char* toString(ByteSource source);

// A device on one PS/2 channel.  The i8042 pulls the device's bytes one at a
// time when the wire is free, so a device keeps its own queue and decides
// what it holds back while the host inhibits it.
class Ps2Device {
  public:
    virtual ~Ps2Device() = default;
    // A byte from the host (a data write routed to this channel).
    virtual void hostByte(std::uint8_t byte) = 0;
    // True when the device has a byte to send.
    virtual bool hasByte() const = 0;
    // The next byte to send; called only when hasByte(), as its transfer starts.
    virtual std::uint8_t takeByte() = 0;

    // Called by the i8042 when the device is plugged in.
    void connect(std::function<void()> wake) { wake_ = std::move(wake); }

  protected:
    // Tell the controller that hasByte() may have become true.
    void wakeHost() {
        if (wake_) {
            wake_();
        }
    }

  private:
    std::function<void()> wake_;
};

// The behaviours where real i8042s differ, as a simulated i8042 has them by
// default (see the top of this file).
struct I8042Variant {
    bool answerIrqWhileKeyboardOff = true;
    bool auxAfterKeyboardByte = false;
};

// The process's default variant; a program sets it once, before it builds a
// machine.
I8042Variant defaultI8042Variant();
void setDefaultI8042Variant(I8042Variant variant);

struct I8042Config {
    std::uint16_t base = 0x60;          // data port; status/command at base + 4
    Micros inputBusyTime = 5;           // input buffer busy after each write
    bool inputStuck = false;            // never takes a written byte (0x02 stays set)
    std::uint32_t ps2ClockHz = 12'000;  // device-to-host bit clock; 11 bits a byte
    std::uint8_t commandByte = 0x65;    // as the firmware leaves it
    bool systemFlag = true;             // status 0x04 at power-on
    unsigned keyboardIrq = 1;
    unsigned auxIrq = 12;
    // See the top of this file.
    bool answerIrqWhileKeyboardOff = defaultI8042Variant().answerIrqWhileKeyboardOff;
    bool auxAfterKeyboardByte = defaultI8042Variant().auxAfterKeyboardByte;
    // Keep every byte of the output buffer in outputLog(); off, the log stays
    // empty, so that a long run's memory does not grow with its traffic.
    bool keepOutputLog = true;
};

// One byte that entered the output buffer, and when (if ever) it was read.
struct OutputRecord {
    std::uint8_t byte;
    ByteSource source;
    Micros entered;
    std::optional<Micros> read;
};

class I8042 : public hosted::PortDevice {
  public:
    static constexpr std::uint8_t kStatusOutputFull = 0x01;
    static constexpr std::uint8_t kStatusInputFull = 0x02;
    static constexpr std::uint8_t kStatusSystemFlag = 0x04;
    static constexpr std::uint8_t kStatusCommand = 0x08;
    static constexpr std::uint8_t kStatusNotInhibited = 0x10;
    static constexpr std::uint8_t kStatusAuxData = 0x20;

    static constexpr std::uint8_t kCmdKeyboardInterrupt = 0x01;
    static constexpr std::uint8_t kCmdAuxInterrupt = 0x02;
    static constexpr std::uint8_t kCmdSystemFlag = 0x04;
    static constexpr std::uint8_t kCmdKeyboardDisabled = 0x10;
    static constexpr std::uint8_t kCmdAuxDisabled = 0x20;

    I8042(hosted::DeviceContext& context, I8042Config config = {});
    ~I8042() override;
    I8042(const I8042&) = delete;
    I8042& operator=(const I8042&) = delete;

    // Plug a device into a channel (at most one each; null unplugs).
    void attachKeyboard(Ps2Device* device);
    void attachAux(Ps2Device* device);

    std::uint16_t dataPort() const { return config_.base; }
    std::uint16_t statusPort() const { return static_cast<std::uint16_t>(config_.base + 4); }

    // PortDevice: the two ports above.
    std::uint8_t readPort(std::uint16_t port) override;
    void writePort(std::uint16_t port, std::uint8_t value) override;

    // Make the input buffer stay busy for good (or recover).
    void setInputStuck(bool stuck);

    // ---- Inspection (no side effects) ----
    std::uint8_t status() const;
    std::uint8_t commandByte() const { return commandByte_; }
    const std::vector<OutputRecord>& outputLog() const { return log_; }
    std::uint64_t inputOverruns() const { return inputOverruns_; }
    std::uint64_t unknownCommands() const { return unknownCommands_; }
    const I8042Config& config() const { return config_; }
    Micros byteTime() const { return byteTime_; }  // one PS/2 byte on the wire

  private:
    struct InFlight {
        std::uint8_t byte;
        ByteSource source;
        hosted::DeviceEventId event;
    };
    struct Held {
        std::uint8_t byte;
        ByteSource source;
    };

    void takeInput();
    void handleCommand(std::uint8_t command);
    void handleData(std::uint8_t value);
    void setCommandByte(std::uint8_t value);
    void answer(std::uint8_t byte);
    void pump();
    bool channelEnabled(ByteSource source) const;
    Ps2Device* deviceFor(ByteSource source) const;
    void startTransfer(ByteSource source);
    void finishTransfer();
    void fillOutput(std::uint8_t byte, ByteSource source);
    void raiseFor(ByteSource source);
    bool answerSilenced(ByteSource source) const;

    hosted::DeviceContext& context_;
    I8042Config config_;
    Micros byteTime_;
    std::uint8_t commandByte_;
    bool systemFlag_;
    bool lastWriteCommand_ = false;

    // Input side.
    std::optional<std::uint8_t> inputByte_;
    bool inputIsCommand_ = false;
    hosted::DeviceEventId inputEvent_ = 0;
    bool inputStuck_;
    enum class Pending { None, CommandByte, AuxByte } pending_ = Pending::None;

    // Output side.
    std::optional<Held> output_;
    std::uint8_t lastRead_ = 0;
    std::size_t outputLogIndex_ = 0;
    std::deque<std::uint8_t> controllerBytes_;
    std::optional<InFlight> inFlight_;
    std::optional<Held> arrived_;  // finished its transfer while the buffer was taken
    bool pumping_ = false;
    ByteSource lastDeviceByte_ = ByteSource::Aux;  // channel of the last transfer

    Ps2Device* keyboard_ = nullptr;
    Ps2Device* aux_ = nullptr;

    std::vector<OutputRecord> log_;
    std::uint64_t inputOverruns_ = 0;
    std::uint64_t unknownCommands_ = 0;
};

}  // namespace sim
