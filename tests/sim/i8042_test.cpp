#include "sim/i8042.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "sim/i8042_wire.hpp"
#include "sim/manual_clock.hpp"

namespace {

using sim::I8042;
using simtest::ManualClock;
using simtest::Raised;

using simtest::kByte;
using simtest::kData;
using simtest::kStatus;
constexpr hosted::Micros kBusy = 5;

class FakeDevice : public sim::Ps2Device {
  public:
    void send(std::initializer_list<std::uint8_t> bytes) {
        out.insert(out.end(), bytes);
        wakeHost();
    }
    void hostByte(std::uint8_t byte) override { in.push_back(byte); }
    bool hasByte() const override { return !out.empty(); }
    std::uint8_t takeByte() override {
        const std::uint8_t byte = out.front();
        out.pop_front();
        return byte;
    }
    std::deque<std::uint8_t> out;
    std::vector<std::uint8_t> in;
};

class I8042Test : public ::testing::Test {
  protected:
    I8042Test() {
        kbc.attachKeyboard(&keyboard);
        kbc.attachAux(&aux);
    }
    std::uint8_t status() { return kbc.readPort(kStatus); }
    std::uint8_t read() { return kbc.readPort(kData); }
    void command(std::uint8_t value) {
        kbc.writePort(kStatus, value);
        clock.advance(kBusy);
    }
    void data(std::uint8_t value) {
        kbc.writePort(kData, value);
        clock.advance(kBusy);
    }
    void setCommandByte(std::uint8_t value) {
        command(0x60);
        data(value);
    }

    ManualClock clock;
    I8042 kbc{clock};
    FakeDevice keyboard;
    FakeDevice aux;
};

TEST_F(I8042Test, PowerOnStateAndCommandByteReadBack) {
    EXPECT_EQ(kbc.byteTime(), kByte);
    EXPECT_EQ(status(), 0x14);  // system flag, not inhibited, nothing else
    command(0x20);
    // The answer comes from the controller: output full, command last, no aux bit.
    EXPECT_EQ(status(), 0x01 | 0x04 | 0x08 | 0x10);
    EXPECT_EQ(read(), 0x65);
    // 0x65 enables the keyboard interrupt: the answer raised IRQ 1, never IRQ 12.
    EXPECT_EQ(clock.raised(), (std::vector<Raised>{{kBusy, 1}}));

    setCommandByte(0x43);  // system flag bit clear, aux enabled
    EXPECT_EQ(kbc.commandByte(), 0x43);
    EXPECT_EQ(status() & 0x0C, 0x00);  // system flag follows bit 2; last write was data
    command(0x20);
    EXPECT_EQ(read(), 0x43);
    // An empty buffer gives the last byte again and stays empty.
    EXPECT_EQ(read(), 0x43);
    EXPECT_EQ(status() & 0x01, 0);

    command(0xAA);
    EXPECT_EQ(read(), 0x55);
    EXPECT_NE(status() & 0x04, 0);  // self test sets the system flag again
    command(0xA9);
    EXPECT_EQ(read(), 0x00);
    command(0xAB);
    EXPECT_EQ(read(), 0x00);
    command(0xAD);
    EXPECT_EQ(kbc.commandByte(), 0x53);
    command(0xAE);
    command(0xA7);
    EXPECT_EQ(kbc.commandByte(), 0x63);
    command(0xA8);
    EXPECT_EQ(kbc.commandByte(), 0x43);
    command(0x12);
    EXPECT_EQ(kbc.unknownCommands(), 1u);
}

TEST_F(I8042Test, InputBufferBusyForItsTimeOrForGood) {
    kbc.writePort(kStatus, 0x20);
    clock.advance(kBusy - 1);
    EXPECT_EQ(status() & 0x03, 0x02);  // still busy, not yet taken
    clock.advance(1);
    EXPECT_EQ(status() & 0x03, 0x01);  // taken and answered

    read();
    kbc.writePort(kData, 0x00);  // a keyboard byte
    kbc.writePort(kData, 0x01);  // overwrites it before it was taken
    clock.advance(kBusy);
    EXPECT_EQ(kbc.inputOverruns(), 1u);
    EXPECT_EQ(keyboard.in, (std::vector<std::uint8_t>{0x01}));

    kbc.setInputStuck(true);
    EXPECT_EQ(status() & 0x02, 0x02);
    kbc.writePort(kStatus, 0x20);
    clock.advance(1'000'000);
    EXPECT_EQ(status() & 0x03, 0x02);  // never taken, never answered
    kbc.setInputStuck(false);
    clock.advance(kBusy);
    EXPECT_EQ(status() & 0x03, 0x01);
    EXPECT_EQ(read(), 0x65);
}

TEST_F(I8042Test, AuxBytePathEnablesThePortAndTimesTheAnswer) {
    // The firmware's command byte has the aux port disabled.
    aux.send({0xAB});
    clock.advance(10 * kByte);
    EXPECT_EQ(status() & 0x01, 0);  // held back by the device: port disabled

    command(0xD4);
    EXPECT_EQ(kbc.commandByte() & 0x20, 0);  // 0xD4 lets the answer come back
    const hosted::Micros taken = clock.now() + kBusy;
    data(0x42);
    EXPECT_EQ(aux.in, (std::vector<std::uint8_t>{0x42}));
    EXPECT_EQ(keyboard.in.size(), 0u);

    // The byte that was waiting started when the port opened, at the 0xD4.
    clock.advanceTo(taken - kBusy + kByte - 1);
    EXPECT_EQ(status() & 0x21, 0x00);
    clock.advance(1);
    EXPECT_EQ(status() & 0x21, 0x21);
    EXPECT_EQ(read(), 0xAB);
    // Aux interrupt is off in 0x65: no IRQ 12 for that byte.
    EXPECT_TRUE(clock.raised().empty());
}

TEST_F(I8042Test, DeviceBytesWaitWhileTheBufferIsFullAndAreNeverLost) {
    setCommandByte(0x47);  // both channels enabled, both interrupts on
    const hosted::Micros t0 = clock.now();
    aux.send({1, 2, 3});
    clock.advanceTo(t0 + kByte);
    EXPECT_EQ(status() & 0x21, 0x21);
    EXPECT_EQ(aux.out.size(), 2u);  // the host inhibits the line: the rest waits

    clock.advance(50'000);  // nobody reads for 50 ms
    EXPECT_EQ(aux.out.size(), 2u);
    const hosted::Micros readAt = clock.now();
    EXPECT_EQ(read(), 1);
    clock.advanceTo(readAt + kByte - 1);
    EXPECT_EQ(status() & 0x01, 0);
    clock.advance(1);

    // A keyboard byte goes before an aux byte when both wait.
    keyboard.send({0x1C});
    EXPECT_EQ(read(), 2);
    clock.advance(kByte);
    EXPECT_EQ(status() & 0x21, 0x01);
    EXPECT_EQ(read(), 0x1C);
    clock.advance(kByte);
    EXPECT_EQ(read(), 3);

    // A controller answer given while a device byte is on the wire takes the
    // empty buffer; the device byte arrives behind it and waits: both are read.
    aux.send({4});
    command(0x20);
    clock.advance(kByte);
    EXPECT_EQ(read(), 0x47);
    EXPECT_EQ(status() & 0x21, 0x21);
    EXPECT_EQ(read(), 4);

    std::vector<std::uint8_t> seen;
    for (const sim::OutputRecord& record : kbc.outputLog()) {
        seen.push_back(record.byte);
        EXPECT_TRUE(record.read.has_value());
    }
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{1, 2, 0x1C, 3, 0x47, 4}));
    EXPECT_EQ(kbc.outputLog().back().source, sim::ByteSource::Aux);
}

TEST_F(I8042Test, InterruptEdgesFollowTheEnableBits) {
    setCommandByte(0x44);  // both channels enabled, both interrupts off
    aux.send({9});
    clock.advance(kByte);
    EXPECT_TRUE(clock.raised().empty());
    // Switching the aux interrupt on while the byte waits raises it at once.
    const hosted::Micros at = clock.now() + kBusy + kBusy;
    setCommandByte(0x46);
    EXPECT_EQ(clock.raised(), (std::vector<Raised>{{at, 12}}));
    // Rewriting the same bit raises nothing more.
    setCommandByte(0x46);
    EXPECT_EQ(clock.raised().size(), 1u);
    EXPECT_EQ(read(), 9);

    clock.clearRaised();
    keyboard.send({0x2A});
    clock.advance(kByte);
    EXPECT_TRUE(clock.raised().empty());  // keyboard interrupt still off
    read();
    setCommandByte(0x45);
    keyboard.send({0x2B});
    clock.advance(kByte);
    EXPECT_EQ(clock.raised().back().line, 1u);
}

// Whether an answer raises IRQ 1 while the keyboard interface is off is a
// setting; with the interface on it always does.
TEST(I8042Config, AnswerIrqWithTheKeyboardInterfaceOffIsASetting) {
    for (const bool answerIrq : {true, false}) {
        ManualClock clock;
        sim::I8042Config config;
        config.answerIrqWhileKeyboardOff = answerIrq;
        config.commandByte = 0x64;  // keyboard interrupt off for now
        I8042 kbc(clock, config);
        kbc.writePort(kStatus, 0xAD);
        clock.advance(kBusy);
        kbc.writePort(kStatus, 0x20);
        clock.advance(kBusy);
        kbc.writePort(kStatus, 0x60);  // the keyboard interrupt on while the answer waits
        clock.advance(kBusy);
        kbc.writePort(kData, 0x75);
        clock.advance(kBusy);
        EXPECT_EQ(kbc.readPort(kData), 0x74);
        kbc.writePort(kStatus, 0x20);
        clock.advance(kBusy);
        EXPECT_EQ(kbc.readPort(kData), 0x75);
        EXPECT_EQ(clock.raised().size(), answerIrq ? 2u : 0u) << answerIrq;
        kbc.writePort(kStatus, 0xAE);
        clock.advance(kBusy);
        kbc.writePort(kStatus, 0x20);
        clock.advance(kBusy);
        EXPECT_EQ(clock.raised().size(), answerIrq ? 3u : 1u) << answerIrq;
    }
}

TEST(I8042Config, ClockAndBaseAreConfigurable) {
    ManualClock clock;
    sim::I8042Config config;
    config.base = 0x300;
    config.ps2ClockHz = 10'000;
    config.commandByte = 0x47;
    I8042 kbc(clock, config);
    FakeDevice aux;
    kbc.attachAux(&aux);
    EXPECT_EQ(kbc.statusPort(), 0x304);
    aux.send({7});
    clock.advance(1099);
    EXPECT_EQ(kbc.readPort(0x304) & 0x01, 0);
    clock.advance(1);  // 11 bits at 10 kHz
    EXPECT_EQ(kbc.readPort(0x304) & 0x21, 0x21);
    EXPECT_EQ(kbc.readPort(0x300), 7);
    EXPECT_EQ(kbc.readPort(0x60), 0xFF);  // not its port
}

}  // namespace
