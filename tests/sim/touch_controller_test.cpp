#include "sim/touch_controller.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "sim/i8042_wire.hpp"
#include "sim/manual_clock.hpp"

namespace {

using sim::ControllerFaults;
using sim::TouchController;
using simtest::ManualClock;
using Bytes = std::vector<std::uint8_t>;

using simtest::kByte;
using simtest::kData;
using simtest::kStatus;
constexpr hosted::Micros kWindow = 50'000;

struct Timed {
    hosted::Micros time;
    std::uint8_t byte;
};

// The host side of the link, polled once a microsecond as a driver would.
class Link {
  public:
    Link(ManualClock& clock, sim::I8042& kbc) : clock_(clock), kbc_(kbc) {}

    bool waitStatus(std::uint8_t mask, std::uint8_t want) {
        const hosted::Micros start = clock_.now();
        while (clock_.now() - start <= kWindow) {
            if ((kbc_.readPort(kStatus) & mask) == want) {
                return true;
            }
            clock_.advance(1);
        }
        return false;
    }
    std::optional<std::uint8_t> readAux() {
        if (!waitStatus(0x21, 0x21)) {
            return std::nullopt;
        }
        return kbc_.readPort(kData);
    }
    void write(std::uint16_t port, std::uint8_t value) {
        ASSERT_TRUE(waitStatus(0x02, 0x00));
        kbc_.writePort(port, value);
    }
    std::optional<std::uint8_t> sendAux(std::uint8_t byte) {
        write(kStatus, 0xD4);
        write(kData, byte);
        return readAux();
    }
    // Every acknowledge of the frame, then the reply as long as its length
    // byte says (empty when none comes).
    std::pair<Bytes, Bytes> exchange(const Bytes& frame) {
        Bytes acks;
        for (std::uint8_t byte : frame) {
            if (auto ack = sendAux(byte)) {
                acks.push_back(*ack);
            }
        }
        Bytes reply;
        for (std::size_t want = 2; reply.size() < want;) {
            const auto byte = readAux();
            if (!byte) {
                break;
            }
            reply.push_back(*byte);
            if (reply.size() == 2) {
                want += *byte;
            }
        }
        return {acks, reply};
    }
    Bytes drain() {
        Bytes bytes;
        for (const Timed& t : drainTimed()) {
            bytes.push_back(t.byte);
        }
        return bytes;
    }
    std::vector<Timed> drainTimed() {
        constexpr std::size_t kLimit = 100'000;  // a stream that never ends is a failure
        std::vector<Timed> bytes;
        while (bytes.size() < kLimit) {
            auto byte = readAux();
            if (!byte) {
                break;
            }
            bytes.push_back({clock_.now(), *byte});
        }
        EXPECT_LT(bytes.size(), kLimit);
        return bytes;
    }
    // Every aux byte that arrives before `end`, read as soon as it is there.
    Bytes readUntil(hosted::Micros end) {
        Bytes bytes;
        for (; clock_.now() < end; clock_.advance(1)) {
            if ((kbc_.readPort(kStatus) & 0x21) == 0x21) {
                bytes.push_back(kbc_.readPort(kData));
            }
        }
        return bytes;
    }
    // The start-up sequence as the driver runs it, then the aux interrupt on.
    void start() {
        const Bytes plain[] = {{0x0A, 1, 'A'}, {0x0A, 1, 'D'}, {0x0A, 1, 'E'}};
        for (const Bytes& frame : plain) {
            exchange(frame);
        }
        for (std::uint8_t i = 0; i < 64; ++i) {
            exchange({0x0A, 2, 'C', i});
        }
        write(kStatus, 0x20);
        ASSERT_TRUE(waitStatus(0x01, 0x01));
        const std::uint8_t value = kbc_.readPort(kData);
        write(kStatus, 0x60);
        write(kData, static_cast<std::uint8_t>((value & 0xDF) | 0x02));
        clock_.advance(5);
    }

  private:
    ManualClock& clock_;
    sim::I8042& kbc_;
};

class TouchControllerTest : public ::testing::Test {
  protected:
    TouchControllerTest() { build({}); }
    void build(sim::TouchControllerConfig config) {
        kbc.attachAux(nullptr);
        controller.reset();
        controller = std::make_unique<TouchController>(clock, panel, std::move(config));
        panel.setListener(controller.get());
        kbc.attachAux(controller.get());
    }
    sim::RawPoint rawAt(sim::Point p) const { return panel.toRawClamped(p); }

    ManualClock clock;
    sim::TouchPanel panel{clock};
    sim::I8042 kbc{clock};
    std::unique_ptr<TouchController> controller;
    Link link{clock, kbc};
};

sim::TouchControllerConfig withFaults(const std::function<void(ControllerFaults&)>& set) {
    sim::TouchControllerConfig config;
    set(config.faults);
    return config;
}

Bytes packet(bool touching, sim::RawPoint raw) {
    return TouchController::encode(touching, raw, false, 0);
}

TEST(TouchControllerEncode, PacketsAtTheEndsOfTheRange) {
    EXPECT_EQ(TouchController::encode(true, {0, 0}, false, 0), (Bytes{0x81, 0, 0, 0, 0}));
    EXPECT_EQ(TouchController::encode(false, {16383, 16383}, false, 0),
              (Bytes{0x80, 0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(TouchController::encode(true, {16383, 1}, false, 0),
              (Bytes{0x81, 0x7F, 0x7F, 0x00, 0x01}));
    EXPECT_EQ(TouchController::encode(false, {128, 256}, true, 0x9C),
              (Bytes{0xC0, 0x01, 0x00, 0x02, 0x00, 0x9C}));
}

TEST_F(TouchControllerTest, FramesAreAcknowledgedAndAnswered) {
    auto [acks, reply] = link.exchange({0x0A, 1, 'A'});
    EXPECT_EQ(acks, (Bytes{0xFA, 0xFA, 0xFA}));
    EXPECT_EQ(reply, (Bytes{0x0A, 9, 'A', 'T', 'S', 'I', 'M', ' ', '1', '.', '0'}));
    EXPECT_EQ(link.exchange({0x0A, 1, 'D'}).second, (Bytes{0x0A, 1, 'D'}));
    EXPECT_EQ(link.exchange({0x0A, 1, 'E'}).second, (Bytes{0x0A, 3, 'E', 5, 20}));
    EXPECT_EQ(link.exchange({0x0A, 2, 'C', 5}).second,
              (Bytes{0x0A, 2, 'C', TouchController::parameter(5)}));
    EXPECT_EQ(link.exchange({0x0A, 2, 'C', 64}).second, (Bytes{0x0A, 1, 'C'}));
    // Unknown commands, stray bytes and impossible lengths: acknowledged, no reply.
    EXPECT_EQ(link.exchange({0x0A, 1, 'Z'}), (std::pair<Bytes, Bytes>{{0xFA, 0xFA, 0xFA}, {}}));
    EXPECT_EQ(link.exchange({0x55, 0x0A, 0, 'A'}),
              (std::pair<Bytes, Bytes>{{0xFA, 0xFA, 0xFA, 0xFA}, {}}));
    EXPECT_EQ(controller->framesReceived(), 6u);
    EXPECT_FALSE(controller->started());
}

TEST_F(TouchControllerTest, ReportsOnlyAfterTheWholeStartSequence) {
    for (const Bytes& frame : {Bytes{0x0A, 1, 'A'}, Bytes{0x0A, 1, 'D'}, Bytes{0x0A, 1, 'E'}}) {
        link.exchange(frame);
    }
    for (std::uint8_t i = 0; i < 64; ++i) {
        if (i != 10) {  // one parameter left out
            link.exchange({0x0A, 2, 'C', i});
        }
    }
    EXPECT_FALSE(controller->started());
    panel.press({100, 100});
    clock.advance(100'000);
    EXPECT_TRUE(controller->reports().empty());
    panel.lift();

    link.start();
    EXPECT_TRUE(controller->started());
    sim::TouchScript tap;
    tap.tap(clock.now(), {100, 100}, 12'000);
    panel.play(tap);
    EXPECT_EQ(link.drain().size(), 4u * 5);  // 0, 5, 10 ms and the release
}

TEST_F(TouchControllerTest, ReportTimingPositionAndRelease) {
    link.start();
    const hosted::Micros down = clock.now() + 1000;
    const sim::Point a{400, 240};
    const sim::Point b{10, 20};
    sim::TouchScript script;
    script.press(down, a).hold(7000).moveTo(b, 1e9).hold(5000).lift();
    panel.play(script);
    const std::vector<Timed> got = link.drainTimed();

    // Reports at 0, 5 and 10 ms while touched, and the release at 15 ms at the
    // last reported place; byte j of each reaches the host (j + 1) byte times
    // after the report, as the host reads at once.
    const std::pair<hosted::Micros, Bytes> expected[] = {{0, packet(true, rawAt(a))},
                                                         {5000, packet(true, rawAt(a))},
                                                         {10'000, packet(true, rawAt(b))},
                                                         {15'000, packet(false, rawAt(b))}};
    ASSERT_EQ(got.size(), 20u);
    for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t j = 0; j < 5; ++j) {
            const Timed& byte = got[k * 5 + j];
            EXPECT_EQ(byte.byte, expected[k].second[j]) << "packet " << k << " byte " << j;
            EXPECT_EQ(byte.time, down + expected[k].first + kByte * (j + 1))
                << "packet " << k << " byte " << j;
        }
    }
    EXPECT_EQ(controller->droppedReports(), 0u);
}

TEST_F(TouchControllerTest, ShortTapAndEdgesOfTheRangeOnTheWire) {
    link.start();
    sim::TouchScript script;
    const hosted::Micros t = clock.now() + 100;
    script.tap(t, {-500, -500}, 1000).tap(t + 20'000, {5000, 5000}, 30'000);
    panel.play(script);
    const Bytes bytes = link.drain();
    const Bytes expected = [] {
        Bytes all;
        for (const Bytes& p : {Bytes{0x81, 0, 0, 0, 0}, Bytes{0x80, 0, 0, 0, 0}}) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    }();
    ASSERT_GE(bytes.size(), 15u);
    // The 1 ms tap still gives one touching report and then its release.
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 10), expected);
    EXPECT_EQ(Bytes(bytes.begin() + 10, bytes.begin() + 15), (Bytes{0x81, 0x7F, 0x7F, 0x7F, 0x7F}));
    EXPECT_EQ(Bytes(bytes.end() - 5, bytes.end()), (Bytes{0x80, 0x7F, 0x7F, 0x7F, 0x7F}));
}

TEST_F(TouchControllerTest, KeepsOnlyThePacketOnTheWireAndTheLatestReport) {
    sim::TouchControllerConfig config;
    config.sixBytePackets = true;
    build(config);
    link.start();
    const hosted::Micros down = clock.now();
    panel.press({200, 200});
    clock.advanceTo(down + 100'000);  // the host reads nothing for 100 ms
    // Reports 0 to 20 are made: the first is on the wire, the last waits, the
    // 19 in between were replaced, each by the next.
    EXPECT_EQ(controller->droppedReports(), 19u);
    const Bytes bytes = link.readUntil(down + 100'000 + 11 * kByte + 1);
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes[0], 0xC1);
    EXPECT_EQ(bytes[5], 0);  // the packet on the wire: the first report
    EXPECT_EQ(bytes[6], 0xC1);
    EXPECT_EQ(bytes[11], 20);  // then the latest report, made at 100 ms
    const std::vector<sim::ReportRecord>& reports = controller->reports();
    ASSERT_GE(reports.size(), 21u);
    for (std::size_t i = 0; i <= 20; ++i) {
        EXPECT_EQ(reports[i].dropped, i != 0 && i != 20) << "report " << i;
    }
}

TEST_F(TouchControllerTest, WithoutTheLogTheLatestReportStillGoesOutAndIsCounted) {
    sim::TouchControllerConfig config;
    config.keepReports = false;
    config.sixBytePackets = true;  // the sixth byte numbers the report
    build(config);
    link.start();
    const hosted::Micros down = clock.now();
    panel.press({200, 200});
    clock.advanceTo(down + 100'000);
    EXPECT_EQ(controller->droppedReports(), 19u);
    EXPECT_EQ(controller->reportsMade(), 21u);
    EXPECT_TRUE(controller->reports().empty());
    const Bytes bytes = link.readUntil(down + 100'000 + 11 * kByte + 1);
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes[11], 20);  // the report that waited, made at 100 ms
}

TEST_F(TouchControllerTest, ACommandFrameStopsReportingUntilTheNextStart) {
    link.start();
    const hosted::Micros down = clock.now();
    panel.press({300, 300});
    // The reports of 0 to 15 ms, read to the end; the frame is sent before
    // the one of 20 ms is made.
    EXPECT_EQ(link.readUntil(down + 19'900).size(), 4u * 5);
    // Between packets: the frame's acknowledges and reply come back clean.
    const auto [acks, reply] = link.exchange({0x0A, 1, 'A'});
    EXPECT_EQ(acks, (Bytes{0xFA, 0xFA, 0xFA}));
    EXPECT_EQ(reply.size(), 11u);
    const std::size_t made = controller->reports().size();
    clock.advance(50'000);
    EXPECT_EQ(controller->reports().size(), made);
    link.start();  // still touching: reports resume at once
    const Bytes more = link.readUntil(clock.now() + 19'900);
    ASSERT_GE(more.size(), 5u);
    EXPECT_EQ(more[0], 0x81);
}

// ---- Faults, each as the host sees it on the wire ----

TEST_F(TouchControllerTest, AcknowledgeFaults) {
    build(withFaults([](ControllerFaults& f) {
        f.acks = {{2, ControllerFaults::AckKind::None, 0},
                  {4, ControllerFaults::AckKind::Wrong, 0xFE}};
    }));
    auto [acks, reply] = link.exchange({0x0A, 1, 'A'});
    EXPECT_EQ(acks, (Bytes{0xFA, 0xFA}));  // the second byte went unanswered
    EXPECT_EQ(reply.size(), 11u);          // the frame itself was whole
    EXPECT_EQ(link.sendAux(0x0A), std::optional<std::uint8_t>(0xFE));
}

TEST_F(TouchControllerTest, ReplyFaults) {
    build(withFaults([](ControllerFaults& f) {
        f.replies = {{1, ControllerFaults::ReplyKind::None},
                     {2, ControllerFaults::ReplyKind::WrongHeader},
                     {3, ControllerFaults::ReplyKind::WrongEcho}};
    }));
    EXPECT_EQ(link.exchange({0x0A, 1, 'A'}).second, Bytes{});
    EXPECT_EQ(link.exchange({0x0A, 1, 'D'}).second, (Bytes{0x0B, 1, 'D'}));
    EXPECT_EQ(link.exchange({0x0A, 1, 'E'}).second, (Bytes{0x0A, 3, 'e', 5, 20}));
    EXPECT_EQ(link.exchange({0x0A, 1, 'D'}).second, (Bytes{0x0A, 1, 'D'}));
}

TEST_F(TouchControllerTest, SilentControllerNeverAnswers) {
    build(withFaults([](ControllerFaults& f) { f.silent = true; }));
    auto [acks, reply] = link.exchange({0x0A, 1, 'A'});
    EXPECT_TRUE(acks.empty());
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(controller->bytesReceived(), 3u);
}

TEST_F(TouchControllerTest, GarbageArrivesAtItsTime) {
    build(withFaults([](ControllerFaults& f) { f.garbage = {{10'000, {0x12, 0x34}}}; }));
    const std::vector<Timed> got = [&] {
        clock.advance(1);
        link.write(kStatus, 0xA8);  // aux port on so the bytes can come
        return link.drainTimed();
    }();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].byte, 0x12);
    EXPECT_EQ(got[0].time, 10'000 + kByte);
    EXPECT_EQ(got[1].byte, 0x34);
    EXPECT_EQ(got[1].time, 10'000 + 2 * kByte);
}

TEST_F(TouchControllerTest, BrokenPacketsAndExtraBytes) {
    using F = ControllerFaults;
    build(withFaults([](F& f) {
        f.brokenPackets = {{1, F::PacketKind::MissingSync, 1}, {2, F::PacketKind::HighBit, 3}};
        f.extraBytes = {{2, {0xEE, 0x01}}};
    }));
    link.start();
    const sim::Point where{123, 321};
    panel.press(where);
    clock.advanceTo(clock.now() + 6000);
    Bytes bytes;
    for (int i = 0; i < 17; ++i) {
        bytes.push_back(link.readAux().value_or(0xFF));
    }
    Bytes good = packet(true, rawAt(where));
    Bytes first = good;
    first[0] = 0x01;
    Bytes second = good;
    second[3] |= 0x80;
    second.insert(second.end(), {0xEE, 0x01});
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 5), first);
    EXPECT_EQ(Bytes(bytes.begin() + 5, bytes.begin() + 12), second);
    EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.end()), good);  // the third is whole
}

}  // namespace
