// The controller link against a scripted i8042 (exact poll windows, reply
// frames, report packets) and against the simulated board (the start-up
// sequence on the wire, failures in it).
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "driver/controller/controller.h"
#include "driver/core/driver_state.h"
#include "platform/hosted/kernel.hpp"
#include "sim/machine.hpp"

namespace {

constexpr std::uint16_t kData = 0x60;
constexpr std::uint16_t kStatus = 0x64;

// An i8042 played by the test: queued bytes come out of the data port one at
// a time with the status given when they were queued (0x21 a touch
// controller byte, 0x01 a keyboard byte or the i8042's own); writes are
// recorded.
struct ScriptedI8042 : hosted::PortDevice {
    std::deque<std::pair<std::uint8_t, std::uint8_t>> output;  // byte, status
    std::function<std::uint8_t()> status;  // replaces the queue's status when set
    std::function<void(std::uint16_t, std::uint8_t)> onWrite;  // called after each write
    int statusReads = 0;
    int dataReads = 0;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;

    void queue(const std::vector<std::uint8_t>& bytes, std::uint8_t full = 0x21) {
        for (const std::uint8_t byte : bytes) {
            output.emplace_back(byte, full);
        }
    }
    std::uint8_t readPort(std::uint16_t port) override {
        if (port == kStatus) {
            ++statusReads;
            return status ? status() : (output.empty() ? 0 : output.front().second);
        }
        ++dataReads;
        if (output.empty()) {
            return 0;
        }
        const std::uint8_t byte = output.front().first;
        output.pop_front();
        return byte;
    }
    void writePort(std::uint16_t port, std::uint8_t value) override {
        writes.emplace_back(port, value);
        if (onWrite) {
            onWrite(port, value);
        }
    }
};

class ScriptedLink : public testing::Test {
  protected:
    void start(std::uint32_t tickStart = 0) {
        if (kernel) {
            EXPECT_TRUE(kernel->faults().empty());
        }
        kernel.reset();
        hosted::KernelConfig config;
        config.tickStart = tickStart;
        config.yieldCost = 10;
        kernel = std::make_unique<hosted::Kernel>(config);
        ports = std::make_unique<ScriptedI8042>();
        kernel->mapPorts(kData, kStatus, *ports);
        SetPorts(kData);
    }
    void SetUp() override { start(); }
    void TearDown() override { EXPECT_TRUE(kernel->faults().empty()); }

    std::unique_ptr<hosted::Kernel> kernel;
    std::unique_ptr<ScriptedI8042> ports;
};

// Ready at the first test needs no yield; the window holds at exactly 50 ms
// and ends just past it, also when the tick counter wraps inside it.
TEST_F(ScriptedLink, PollWindowEndsJustPastFiftyMilliseconds) {
    ports->queue({0x42});  // ready at the first test: taken without a yield
    const hosted::Micros before = kernel->now();
    UCHAR byte = 0;
    ASSERT_TRUE(ReadAuxData(&byte));
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(kernel->now() - before, 2 * kernel->config().portAccessCost);
    for (const std::uint32_t tickStart : {0u, 0xFFFFFFE0u}) {
        for (const std::uint32_t readyAt : {50u, 51u}) {
            start(tickStart);
            const std::uint32_t begin = kernel->tickCount();
            ports->status = [&] { return kernel->tickCount() - begin >= readyAt ? 0x21 : 0x00; };
            UCHAR value = 0;
            EXPECT_EQ(ReadAuxData(&value), readyAt == 50 ? TRUE : FALSE) << readyAt;
            EXPECT_EQ(kernel->tickCount() - begin, readyAt) << tickStart;
            EXPECT_EQ(ports->dataReads, readyAt == 50 ? 1 : 0);
        }
    }
}

TEST_F(ScriptedLink, KeyboardBytesAreNeverTaken) {
    ports->queue({0x1C}, 0x01);
    UCHAR value = 0;
    TouchReport report{};
    EXPECT_FALSE(ReadAuxData(&value));
    EXPECT_FALSE(ReadTouchReport(&report));
    EXPECT_EQ(ports->dataReads, 0);
    EXPECT_EQ(ports->output.size(), 1u);
}

// Acknowledges and reply bytes queued up front; `consumed` counts every byte
// the command read, so a reply is neither cut short nor over-read.
TEST_F(ScriptedLink, CommandRepliesAreCheckedByHeaderAndEcho) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool ok;
        int consumed;
    };
    const Case cases[] = {
        {{0xFA, 0xFA, 0xFA, 0x0A, 0x01, 0x44}, true, 6},
        {{0xFA, 0xFA, 0xFA, 0x0A, 0x03, 0x44, 0x11, 0x22, 0x0A}, true, 8},
        {{0xFA, 0xFA, 0xFA, 0x0A, 0x00, 0x44}, true, 6},
        {{0xFA, 0xFA, 0xFA, 0x0A, 0x00, 0x45}, false, 6},
        {{0xFA, 0xFA, 0xFA, 0x0B, 0x01, 0x44}, false, 4},
        {{0xFA, 0xFE, 0xFA, 0x0A, 0x01, 0x44}, false, 2},
        {{0xFA, 0xFA, 0xFA, 0x0A, 0x02, 0x44}, false, 6},  // payload never arrives
    };
    for (const Case& c : cases) {
        start();
        ports->queue(c.bytes);
        EXPECT_EQ(SendControllerCommand(1, 0x44, 0), c.ok ? TRUE : FALSE);
        EXPECT_EQ(ports->dataReads, c.consumed);
    }
    start();
    EXPECT_FALSE(SendControllerCommand(3, 0x44, 0));
    EXPECT_TRUE(ports->writes.empty());
}

TEST_F(ScriptedLink, ReportPacketsDecodeOrFailWhereTheirFramingBreaks) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool ok;
        int consumed;
        TouchReport report;
    };
    const TouchReport untouched{7, 7, 7};
    const Case cases[] = {
        {{0x81, 0x7F, 0x7F, 0x00, 0x01}, true, 5, {1, 16383, 1}},
        {{0x80, 0x01, 0x00, 0x02, 0x00}, true, 5, {0, 128, 256}},
        {{0xA1, 0x00, 0x00, 0x00, 0x00, 0xFF}, true, 6, {1, 0, 0}},
        {{0x81, 0x01, 0x02, 0x03, 0x04, 0x05}, true, 5, {1, 130, 388}},
        {{0x01}, false, 1, untouched},
        {{0x81, 0x80}, false, 2, untouched},
        {{0x81, 0x01, 0x02}, false, 3, untouched},
    };
    for (const Case& c : cases) {
        start();
        ports->queue(c.bytes);
        TouchReport report = untouched;
        EXPECT_EQ(ReadTouchReport(&report), c.ok ? TRUE : FALSE);
        EXPECT_EQ(ports->dataReads, c.consumed);
        EXPECT_EQ(report.Touching, c.report.Touching);
        EXPECT_EQ(report.X, c.report.X);
        EXPECT_EQ(report.Y, c.report.Y);
    }
}

TEST_F(ScriptedLink, ReaderFallsBackInStepAfterABrokenPacket) {
    ports->queue({0x81, 0x80, 0x05, 0x00, 0x81, 0x01, 0x02, 0x03, 0x04});
    TouchReport report{};
    int failures = 0;
    while (!ReadTouchReport(&report) && failures < 10) {
        ++failures;
    }
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(report.X, 130u);
    EXPECT_EQ(report.Y, 388u);
}

// Bytes left over from before are drained until the line is quiet, but at
// most 64 at a time: a controller that never falls silent cannot hold the
// driver.
TEST_F(ScriptedLink, DrainStopsAtQuietOrAfterSixtyFourBytes) {
    ports->queue(std::vector<std::uint8_t>(100, 0x81));
    DrainAuxData();
    EXPECT_EQ(ports->dataReads, 64);
    DrainAuxData();
    EXPECT_EQ(ports->dataReads, 100);
    EXPECT_TRUE(ports->writes.empty());
}

// The command byte is read with the keyboard interface held off (0xAD), and
// the value written back switches it on again; an answer that does not show
// it off is not the answer and is never written back.
TEST_F(ScriptedLink, StopClearsOnlyTheAuxInterruptBitAndForgetsSysIntr) {
    // A touch byte still waiting is not the i8042's answer.
    ports->queue({0x81}, 0x21);
    std::uint8_t answer = 0xFF;
    const auto answering = [&](std::uint16_t port, std::uint8_t value) {
        if (port == kStatus && value == 0x20) {
            ports->queue({answer}, 0x01);
        }
    };
    ports->onWrite = answering;
    SysIntr = 28;
    ControllerStop();
    decltype(ports->writes) expected = {
        {kStatus, 0xAD}, {kStatus, 0x20}, {kStatus, 0x60}, {kData, 0xED}};
    EXPECT_EQ(ports->writes, expected);
    EXPECT_EQ(ports->dataReads, 2);
    EXPECT_EQ(SysIntr, 0u);

    start();
    answer = 0xEF;  // keyboard interface on: someone else's byte
    ports->onWrite = answering;
    EXPECT_FALSE(DisableAuxInterrupt());
    expected.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        expected.insert(expected.end(), {{kStatus, 0xAD}, {kStatus, 0x20}, {kStatus, 0xAE}});
    }
    EXPECT_EQ(ports->writes, expected);

    // The command byte is read once the keyboard interface has been off for
    // longer than the 2 ms a byte already on the wire needs, and no later
    // than the tick after.
    start();
    hosted::Micros off = 0, read = 0;
    ports->onWrite = [&](std::uint16_t port, std::uint8_t value) {
        if (port == kStatus && value == 0xAD && off == 0) {
            off = kernel->now();
        } else if (port == kStatus && value == 0x20 && read == 0) {
            read = kernel->now();
        }
    };
    kernel->advance(400);  // off the tick's edge
    DisableAuxInterrupt();
    EXPECT_GT(read - off, 2000u);
    EXPECT_LE(read - off, 3000u);

    // An i8042 that takes no byte: the keyboard interface cannot be held
    // off, and no further attempt could fare better, so the stop gives up
    // after the 0xAD's window and the 0xAE's, without retries.
    start();
    ports->status = [] { return std::uint8_t{0x02}; };
    const hosted::Micros before = kernel->now();
    EXPECT_FALSE(DisableAuxInterrupt());
    EXPECT_TRUE(ports->writes.empty());
    EXPECT_LT(kernel->now() - before, 3 * 50'000u);

    // No port base known yet: ports 0x00-0x0F belong to the DMA controller.
    ScriptedI8042 dma;
    kernel->mapPorts(0x00, 0x0F, dma);
    DataPort = 0;
    StatusPort = 0;
    SysIntr = 28;
    ControllerStop();
    EXPECT_EQ(dma.statusReads + dma.dataReads, 0);
    EXPECT_TRUE(dma.writes.empty());
    EXPECT_EQ(SysIntr, 0u);
    EXPECT_FALSE(ControllerStart(0));
    EXPECT_FALSE(ControllerStart(0xFFFC));
    EXPECT_TRUE(dma.writes.empty());
}

// ---- The start-up sequence on the simulated board ----

class BoardLink : public testing::Test {
  protected:
    static hosted::KernelConfig tracing() {
        hosted::KernelConfig config;
        config.tracePorts = true;
        return config;
    }

    void build(sim::ControllerFaults faults = {}) {
        sim::MachineConfig config;
        config.controller.faults = std::move(faults);
        machine = std::make_unique<sim::Machine>(kernel, config);
    }

    // Every byte the driver passed to the auxiliary device (a data write
    // that follows the i8042 command 0xD4).
    std::vector<std::uint8_t> auxBytesSent() const {
        std::vector<std::uint8_t> bytes;
        bool toAux = false;
        for (const hosted::PortAccess& access : kernel.portTrace()) {
            if (access.write && access.port == kStatus) {
                toAux = access.value == 0xD4;
            } else if (access.write && access.port == kData && toAux) {
                bytes.push_back(access.value);
                toAux = false;
            }
        }
        return bytes;
    }

    hosted::Kernel kernel{tracing()};
    std::unique_ptr<sim::Machine> machine;
};

TEST_F(BoardLink, StartSendsSixtySevenFramesInOrderThenEnablesTheAuxInterrupt) {
    build();
    ASSERT_TRUE(ControllerStart(kData));
    kernel.advance(hosted::kMicrosPerMilli);  // the i8042 takes the last byte written
    std::vector<std::uint8_t> expected;
    for (const std::uint8_t command : {0x41, 0x44, 0x45}) {
        expected.insert(expected.end(), {0x0A, 0x01, command});
    }
    for (int argument = 0; argument < 64; ++argument) {
        expected.insert(expected.end(), {0x0A, 0x02, 0x43, static_cast<std::uint8_t>(argument)});
    }
    EXPECT_EQ(auxBytesSent(), expected);
    EXPECT_EQ(expected.size(), 265u);
    EXPECT_TRUE(machine->controller().started());
    EXPECT_EQ(machine->i8042().commandByte() & 0x22, 0x02);
    EXPECT_TRUE(kernel.faults().empty());
}

TEST_F(BoardLink, FailureAtTheTenthCCommandEndsTheStart) {
    sim::ControllerFaults faults;
    faults.replies.push_back({13, sim::ControllerFaults::ReplyKind::None});
    build(faults);
    EXPECT_FALSE(ControllerStart(kData));
    EXPECT_EQ(machine->controller().framesReceived(), 13u);
    EXPECT_EQ(auxBytesSent().size(), 9u + 10 * 4);
    EXPECT_EQ(machine->i8042().commandByte() & 0x02, 0);
}

// A report left streaming at a stop neither becomes the command byte nor
// fails the next start.
TEST_F(BoardLink, StopAndRestartWhileAReportStreamsIn) {
    build();
    ASSERT_TRUE(ControllerStart(kData));
    machine->panel().press({400, 240});
    kernel.advance(20 * hosted::kMicrosPerMilli);
    ControllerStop();
    kernel.advance(hosted::kMicrosPerMilli);
    EXPECT_EQ(machine->i8042().commandByte(), 0x45);  // 0x65 as started, aux interrupt off
    machine->panel().lift();
    kernel.advance(100 * hosted::kMicrosPerMilli);
    EXPECT_TRUE(ControllerStart(kData));
    EXPECT_TRUE(kernel.faults().empty());
}

}  // namespace
