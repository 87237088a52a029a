// The controller link beside the board's keyboard driver on one i8042: keys
// struck at the driver's own i8042 commands and all around its enable and
// disable, with i8042s that do and do not raise IRQ 1 for their answers while
// the keyboard interface is off, and with the keyboard driver's interrupt
// thread above the sample thread, between it and the caller, and below both.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "driver/core/driver_session.hpp"
#include "support/virtual_time.hpp"
#include "windowing/keyboard_driver.hpp"

namespace {

using hosted::Micros;

using touch_test::kMs;
constexpr std::uint8_t kReadCommandByte = 0x20;
constexpr std::uint8_t kKeyboardOff = 0xAD;
constexpr std::uint8_t kAuxInterrupt = 0x02;
constexpr std::uint8_t kAuxDisabled = 0x20;

// Stands between the port bus and the i8042 and strikes a key `delay` after
// every write of `command` to the status port; strikeAt() strikes one at a
// given time.  Every key is a byte of its own, so the keyboard driver's bytes
// show any key lost, doubled, reordered or made up.
class Typist : public hosted::PortDevice {
  public:
    Typist(windowing::Session& session, std::uint8_t command, Micros delay)
        : kernel_(session.kernel()),
          i8042_(session.machine().i8042()),
          keyboard_(session.machine().keyboard()),
          command_(command),
          delay_(delay) {
        kernel_.unmapPorts(i8042_);
        kernel_.mapPorts(i8042_.dataPort(), i8042_.dataPort(), *this);
        kernel_.mapPorts(i8042_.statusPort(), i8042_.statusPort(), *this);
    }
    ~Typist() override {
        for (const hosted::DeviceEventId id : pending_) {
            kernel_.devices().cancel(id);
        }
        kernel_.unmapPorts(*this);
        kernel_.mapPorts(i8042_.dataPort(), i8042_.dataPort(), i8042_);
        kernel_.mapPorts(i8042_.statusPort(), i8042_.statusPort(), i8042_);
    }
    Typist(const Typist&) = delete;
    Typist& operator=(const Typist&) = delete;

    std::uint8_t readPort(std::uint16_t port) override { return i8042_.readPort(port); }
    void writePort(std::uint16_t port, std::uint8_t value) override {
        i8042_.writePort(port, value);
        if (port == i8042_.statusPort() && value == command_) {
            strikeAt(kernel_.now() + delay_);
        }
    }
    void strikeAt(Micros at) {
        pending_.push_back(kernel_.devices().schedule(at, [this] {
            struck_.push_back(next_);
            keyboard_.inject(kernel_.now(), {next_++});
        }));
    }
    const std::vector<std::uint8_t>& struck() const { return struck_; }

  private:
    hosted::Kernel& kernel_;
    sim::I8042& i8042_;
    sim::Keyboard& keyboard_;
    std::uint8_t command_;
    Micros delay_;
    std::uint8_t next_ = 0x10;
    std::vector<hosted::DeviceEventId> pending_;
    std::vector<std::uint8_t> struck_;
};

struct Board {
    bool answerIrq;      // the i8042 raises IRQ 1 for its answers with the keyboard off
    std::uint8_t found;  // its command byte before the driver
    bool fastWire;       // PS/2 bytes (11 us) quicker than the i8042 takes a command (50 us)
};

struct Keys {
    std::uint8_t command;  // a key is struck at every write of this command...
    Micros delay;          // ...this long after it
};

class KeyboardSharing : public touch_test::DriverSession {
  protected:
    windowing::Session& startBoard(const Board& board) {
        windowing::SessionConfig config;
        config.machine.i8042.answerIrqWhileKeyboardOff = board.answerIrq;
        config.machine.i8042.commandByte = board.found;
        if (board.fastWire) {
            config.machine.i8042.ps2ClockHz = 1'000'000;
            config.machine.i8042.inputBusyTime = 50;
        }
        return start(config);
    }
    // Once the i8042 has taken the last byte written.
    std::uint8_t commandByte() {
        session->wait(1);
        return session->machine().i8042().commandByte();
    }

    // The command byte as found, with the auxiliary bits as an enable and a
    // disable leave them.
    static std::uint8_t enabledFrom(std::uint8_t found) {
        return static_cast<std::uint8_t>((found & ~kAuxDisabled) | kAuxInterrupt);
    }
    static std::uint8_t disabledFrom(std::uint8_t found) {
        return static_cast<std::uint8_t>(found & ~(kAuxDisabled | kAuxInterrupt));
    }

    // Ends a run: the keyboard driver has had its time, every key reached it
    // once and in order, and no thread is left behind.
    void finish(std::optional<windowing::KeyboardDriverThread>& keyboard,
                std::optional<Typist>& typist) {
        session->wait(20);
        EXPECT_EQ(keyboard->bytes(), typist->struck());
        EXPECT_GE(typist->struck().size(), 8u);
        keyboard.reset();
        typist.reset();
        TearDown();
    }
};

const Board kBoards[] = {
    {true, 0x65, false}, {false, 0x61, false}, {true, 0x65, true}, {false, 0x61, true}};

TEST_F(KeyboardSharing, EnableAndDisableKeepTheCommandByteAndEveryKey) {
    const Keys keyTimes[] = {
        {kKeyboardOff, 0}, {kKeyboardOff, 45}, {kKeyboardOff, kMs}, {kReadCommandByte, 0}};
    const int priorities[] = {windowing::KeyboardDriverConfig::kDefaultPriority, 100, 253};
    for (const Board& board : kBoards) {
        for (const Keys& keys : keyTimes) {
            for (const int priority : priorities) {
                SCOPED_TRACE(testing::Message()
                             << "answer IRQ " << board.answerIrq << ", fast wire " << board.fastWire
                             << ", key " << keys.delay << " us after 0x" << std::hex
                             << int{keys.command} << std::dec << ", priority " << priority);
                windowing::Session& s = startBoard(board);
                std::optional<windowing::KeyboardDriverThread> keyboard;
                keyboard.emplace(s.kernel(), s.machine(),
                                 windowing::KeyboardDriverConfig{priority});
                std::optional<Typist> typist;
                typist.emplace(s, keys.command, keys.delay);
                for (const Micros at : {20 * kMs, 150 * kMs, 400 * kMs}) {
                    typist->strikeAt(at);  // in the settling wait, the start-up, after
                }
                ASSERT_EQ(s.enable(), TRUE);
                EXPECT_EQ(commandByte(), enabledFrom(board.found));
                s.tap(400, 240, 20);
                s.wait(300);
                typist->strikeAt(s.now() + 300);
                s.disable();
                EXPECT_EQ(commandByte(), disabledFrom(board.found));
                ASSERT_EQ(s.enable(), TRUE);
                EXPECT_EQ(commandByte(), enabledFrom(board.found));
                ASSERT_GE(s.samples().size(), 2u);
                EXPECT_EQ(s.samples().front().flags, 0x07u);
                EXPECT_EQ(s.samples().back().flags, 0x0Du);
                finish(keyboard, typist);
            }
        }
    }
}

// A keyboard driver that starts only once the touch driver runs.
TEST_F(KeyboardSharing, KeyboardDriverStartedAfterTheEnable) {
    for (const Board& board : kBoards) {
        SCOPED_TRACE(testing::Message()
                     << "answer IRQ " << board.answerIrq << ", fast wire " << board.fastWire);
        windowing::Session& s = startBoard(board);
        ASSERT_EQ(s.enable(), TRUE);
        std::optional<windowing::KeyboardDriverThread> keyboard;
        keyboard.emplace(s.kernel(), s.machine());
        std::optional<Typist> typist;
        typist.emplace(s, kReadCommandByte, 0);
        for (int i = 0; i < 6; ++i) {
            typist->strikeAt(s.now() + static_cast<Micros>(i) * 5 * kMs);
        }
        s.wait(10);
        s.disable();
        EXPECT_EQ(commandByte(), disabledFrom(board.found));
        ASSERT_EQ(s.enable(), TRUE);
        EXPECT_EQ(commandByte(), enabledFrom(board.found));
        s.disable();
        finish(keyboard, typist);
    }
}

}  // namespace
