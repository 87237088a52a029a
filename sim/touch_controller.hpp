// The touch controller on the i8042's auxiliary channel.
//
// Host side: every byte the host passes to it is acknowledged with 0xFA.  The
// bytes form command frames 0x0A, length, command [, argument...] (length 1 to
// 15: the bytes after the length byte); a byte that is not 0x0A where a frame
// must begin is acknowledged and dropped.  Known commands are answered with
// 0x0A, n, echo, payload (n counts the echo and the payload):
//   'A' (0x41)   firmware id: n = 9, payload "TSIM 1.0"
//   'D' (0x44)   n = 1, no payload
//   'E' (0x45)   status: n = 3, payload packet size (5 or 6), reports per
//                second / 10
//   'C' (0x43) i parameter i of the 64-entry table: n = 2, payload the entry;
//                for i above 63 or no argument: n = 1, no payload
// Unknown commands get the acknowledge of each byte and no reply.
//
// Reporting: once the host has run the start-up sequence in order (A, D, E,
// then C with 0, 1, ... 63) the controller is started and, while the panel is
// touched, makes a report every 1/reportRate seconds (the first at the
// touch), each from one sample of the panel; after the finger leaves it makes
// one report with the touch bit clear at the next report time (at the last
// reported position).  A press always yields at least one touching report,
// however short it is.  The header byte of any command frame stops reporting,
// and drops a report not yet on the wire, until the sequence has been run
// again.
//
// Packet: byte 0 = 0x80 | touching (| 0x40 in six-byte mode), then X bits
// 13..7, X bits 6..0, Y bits 13..7, Y bits 6..0; in six-byte mode a sixth byte
// carries a report sequence number (0..255, counting every report made).
//
// Flow control: the controller holds at most the packet on the wire (the one
// whose bytes the i8042 has begun to take) and the latest report.  A report
// made while another waits replaces it; dropped reports are counted.  The
// packet on the wire is finished before anything else is sent; acknowledges,
// replies and garbage come next, in the order they arose; the latest report
// then becomes the next packet.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/i8042.hpp"
#include "sim/touch_panel.hpp"

namespace sim {

// Faults the controller can be told to commit.  Counts are 1-based: the k-th
// byte the host passed to the controller, the k-th complete command frame,
// the k-th packet put on the wire.
struct ControllerFaults {
    enum class AckKind { None, Wrong };
    struct AckFault {
        std::uint64_t byte = 1;
        AckKind kind = AckKind::None;
        std::uint8_t value = 0xFE;  // sent instead of 0xFA for Wrong
    };
    enum class ReplyKind { None, WrongHeader, WrongEcho };
    struct ReplyFault {
        std::uint64_t command = 1;
        ReplyKind kind = ReplyKind::None;
    };
    struct Garbage {
        Micros at = 0;
        std::vector<std::uint8_t> bytes;
    };
    enum class PacketKind { MissingSync, HighBit };
    struct BrokenPacket {
        std::uint64_t packet = 1;
        PacketKind kind = PacketKind::MissingSync;
        int byte = 1;  // HighBit: which of bytes 1..4 gets bit 7
    };
    struct ExtraBytes {
        std::uint64_t packet = 1;
        std::vector<std::uint8_t> bytes;  // sent right after that packet
    };

    std::vector<AckFault> acks;
    std::vector<ReplyFault> replies;
    bool silent = false;  // never sends anything: no acknowledge, reply or report
    std::vector<Garbage> garbage;
    std::vector<BrokenPacket> brokenPackets;
    std::vector<ExtraBytes> extraBytes;
};

struct TouchControllerConfig {
    std::uint32_t reportRate = 200;  // reports per second while touched, 1..1000
    bool sixBytePackets = false;
    ControllerFaults faults;
    // Keep every report in reports(); off, only their count is kept, so that
    // a long run's memory does not grow with its touches.
    bool keepReports = true;
};

// One report the controller made, whether or not it reached the wire.
struct ReportRecord {
    Micros time;
    bool touching;
    RawPoint raw;
    std::uint8_t sequence;
    bool dropped;  // replaced by a later report, or cut off by a command, before the wire
};

class TouchController : public Ps2Device, public PanelListener {
  public:
    static constexpr std::uint8_t kAck = 0xFA;
    static constexpr std::uint8_t kFrameHeader = 0x0A;
    static constexpr int kParameterCount = 64;
    static constexpr int kMaxFrameLength = 15;

    TouchController(hosted::DeviceContext& context, TouchPanel& panel,
                    TouchControllerConfig config = {});
    ~TouchController() override;
    TouchController(const TouchController&) = delete;
    TouchController& operator=(const TouchController&) = delete;

    // Ps2Device
    void hostByte(std::uint8_t byte) override;
    bool hasByte() const override;
    std::uint8_t takeByte() override;

    // PanelListener
    void fingerDown() override;
    void fingerUp() override;

    // The packet bytes for one report (pure: no faults applied).
    static std::vector<std::uint8_t> encode(bool touching, RawPoint raw, bool sixBytes,
                                            std::uint8_t sequence);
    // The parameter table answered to 'C'.
    static std::uint8_t parameter(int index);

    // ---- Inspection ----
    bool started() const { return started_; }
    const std::vector<ReportRecord>& reports() const { return reports_; }
    std::uint64_t reportsMade() const { return reportsMade_; }
    std::uint64_t droppedReports() const { return dropped_; }
    std::uint64_t bytesReceived() const { return bytesReceived_; }
    std::uint64_t framesReceived() const { return framesReceived_; }
    std::uint64_t packetsSent() const { return packetsSent_; }
    const TouchControllerConfig& config() const { return config_; }
    Micros reportPeriod() const { return period_; }

  private:
    void frameByte(std::uint8_t byte);
    void runCommand(std::uint8_t command, std::optional<std::uint8_t> argument);
    void reply(std::uint8_t command, const std::vector<std::uint8_t>& payload);
    void track(std::uint8_t command, std::optional<std::uint8_t> argument);
    void queue(std::uint8_t byte);
    void scheduleTick(Micros at);
    void tick();
    void makeReport(bool touching, RawPoint raw);
    void dropLatest();
    void startPacket();
    void stopReporting();

    hosted::DeviceContext& context_;
    TouchPanel& panel_;
    TouchControllerConfig config_;
    Micros period_;

    // Command frames.
    std::vector<std::uint8_t> frame_;
    int startStep_ = 0;  // 0: nothing, 1: A seen, 2: D, 3: E, 3 + k + 1: C k seen
    bool started_ = false;

    // Reporting.
    hosted::DeviceEventId tickEvent_ = 0;
    bool pressedSinceTick_ = false;
    std::optional<RawPoint> pressSample_;  // the panel at the press
    bool releaseOwed_ = false;
    RawPoint lastRaw_;
    std::uint8_t sequence_ = 0;

    // Outgoing bytes.
    std::deque<std::uint8_t> packet_;  // the rest of the packet on the wire
    std::deque<std::uint8_t> responses_;
    std::optional<ReportRecord> latest_;  // made and not yet on the wire
    std::uint64_t reportsMade_ = 0;

    std::vector<hosted::DeviceEventId> garbageEvents_;
    std::vector<ReportRecord> reports_;
    std::uint64_t dropped_ = 0;
    std::uint64_t bytesReceived_ = 0;
    std::uint64_t framesReceived_ = 0;
    std::uint64_t packetsSent_ = 0;
};

}  // namespace sim
