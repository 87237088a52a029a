#include "sim/touch_controller.hpp"

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

constexpr std::uint8_t kCmdIdentify = 0x41;   // 'A'
constexpr std::uint8_t kCmdDescribe = 0x44;   // 'D'
constexpr std::uint8_t kCmdStatus = 0x45;     // 'E'
constexpr std::uint8_t kCmdParameter = 0x43;  // 'C'
constexpr char kFirmwareId[] = "TSIM 1.0";
constexpr int kStartSteps = 3 + TouchController::kParameterCount;  // A, D, E, C 0..63

constexpr std::uint8_t kSync = 0x80;
constexpr std::uint8_t kTouching = 0x01;
constexpr std::uint8_t kSixByteMode = 0x40;
constexpr std::uint8_t kLow7 = 0x7F;
constexpr std::uint8_t kHighBit = 0x80;
constexpr std::uint8_t kWrongHeader = TouchController::kFrameHeader ^ 0x01;
constexpr std::uint8_t kEchoCaseBit = 0x20;  // a wrong echo: the letter in lower case
constexpr std::uint32_t kRateUnit = 10;      // 'E' reports the rate in tens per second

Micros periodFor(std::uint32_t rate) {
    if (rate == 0 || rate > 1'000'000) {
        throw std::invalid_argument("touch controller: the report rate must be 1 to 1000000 per s");
    }
    return 1'000'000 / rate;
}

}  // namespace

TouchController::TouchController(hosted::DeviceContext& context, TouchPanel& panel,
                                 TouchControllerConfig config)
    : context_(context),
      panel_(panel),
      config_(std::move(config)),
      period_(periodFor(config_.reportRate)) {
    for (const ControllerFaults::Garbage& garbage : config_.faults.garbage) {
        const Micros when = std::max(garbage.at, context_.now());
        garbageEvents_.push_back(context_.schedule(when, [this, bytes = garbage.bytes] {
            responses_.insert(responses_.end(), bytes.begin(), bytes.end());
            wakeHost();
        }));
    }
}

TouchController::~TouchController() {
    if (tickEvent_ != 0) {
        context_.cancel(tickEvent_);
    }
    for (hosted::DeviceEventId id : garbageEvents_) {
        context_.cancel(id);
    }
}

std::vector<std::uint8_t> TouchController::encode(bool touching, RawPoint raw, bool sixBytes,
                                                  std::uint8_t sequence) {
    const int x = std::clamp(raw.x, 0, kRawMax);
    const int y = std::clamp(raw.y, 0, kRawMax);
    std::vector<std::uint8_t> bytes{
        static_cast<std::uint8_t>(kSync | (touching ? kTouching : 0) |
                                  (sixBytes ? kSixByteMode : 0)),
        static_cast<std::uint8_t>((x >> 7) & kLow7), static_cast<std::uint8_t>(x & kLow7),
        static_cast<std::uint8_t>((y >> 7) & kLow7), static_cast<std::uint8_t>(y & kLow7)};
    if (sixBytes) {
        bytes.push_back(sequence);
    }
    return bytes;
}

std::uint8_t TouchController::parameter(int index) {
    // A factory table: any fixed values do; these differ from entry to entry.
    return static_cast<std::uint8_t>((index * 29 + 7) & 0xFF);
}

// ---- Bytes from the host ----

void TouchController::hostByte(std::uint8_t byte) {
    ++bytesReceived_;
    if (config_.faults.silent) {
        return;
    }
    bool acknowledge = true;
    std::uint8_t ack = kAck;
    for (const ControllerFaults::AckFault& fault : config_.faults.acks) {
        if (fault.byte == bytesReceived_) {
            acknowledge = fault.kind == ControllerFaults::AckKind::Wrong;
            ack = fault.value;
        }
    }
    if (acknowledge) {
        queue(ack);
    }
    frameByte(byte);
    wakeHost();
}

void TouchController::frameByte(std::uint8_t byte) {
    if (frame_.empty()) {
        if (byte != kFrameHeader) {
            return;  // not the start of a frame: acknowledged and dropped
        }
        stopReporting();
        frame_.push_back(byte);
        return;
    }
    if (frame_.size() == 1 && (byte == 0 || byte > kMaxFrameLength)) {
        frame_.clear();  // a length no frame can have
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() < 2u + frame_[1]) {
        return;
    }
    ++framesReceived_;
    const std::uint8_t command = frame_[2];
    std::optional<std::uint8_t> argument;
    if (frame_.size() > 3) {
        argument = frame_[3];
    }
    frame_.clear();
    runCommand(command, argument);
}

void TouchController::runCommand(std::uint8_t command, std::optional<std::uint8_t> argument) {
    track(command, argument);
    switch (command) {
        case kCmdIdentify:
            reply(command,
                  std::vector<std::uint8_t>(kFirmwareId, kFirmwareId + sizeof kFirmwareId - 1));
            break;
        case kCmdDescribe:
            reply(command, {});
            break;
        case kCmdStatus:
            reply(command, {static_cast<std::uint8_t>(config_.sixBytePackets ? 6 : 5),
                            static_cast<std::uint8_t>(config_.reportRate / kRateUnit)});
            break;
        case kCmdParameter:
            if (argument && *argument < kParameterCount) {
                reply(command, {parameter(*argument)});
            } else {
                reply(command, {});
            }
            break;
        default:
            break;  // unknown: no reply
    }
    if (startStep_ == kStartSteps && !started_) {
        started_ = true;
        if (panel_.touching()) {
            fingerDown();
        }
    }
}

// Follow the start-up sequence; anything out of order starts it over.
void TouchController::track(std::uint8_t command, std::optional<std::uint8_t> argument) {
    const int step = startStep_;
    if (command == kCmdIdentify) {
        startStep_ = 1;
    } else if (command == kCmdDescribe && step == 1) {
        startStep_ = 2;
    } else if (command == kCmdStatus && step == 2) {
        startStep_ = 3;
    } else if (command == kCmdParameter && step >= 3 && step < kStartSteps && argument &&
               *argument == step - 3) {
        startStep_ = step + 1;
    } else {
        startStep_ = 0;
    }
}

void TouchController::reply(std::uint8_t command, const std::vector<std::uint8_t>& payload) {
    std::uint8_t header = kFrameHeader;
    std::uint8_t echo = command;
    for (const ControllerFaults::ReplyFault& fault : config_.faults.replies) {
        if (fault.command != framesReceived_) {
            continue;
        }
        switch (fault.kind) {
            case ControllerFaults::ReplyKind::None:
                return;
            case ControllerFaults::ReplyKind::WrongHeader:
                header = kWrongHeader;
                break;
            case ControllerFaults::ReplyKind::WrongEcho:
                echo = static_cast<std::uint8_t>(command ^ kEchoCaseBit);
                break;
        }
    }
    queue(header);
    queue(static_cast<std::uint8_t>(1 + payload.size()));
    queue(echo);
    for (std::uint8_t byte : payload) {
        queue(byte);
    }
}

void TouchController::queue(std::uint8_t byte) {
    responses_.push_back(byte);
}

// ---- Bytes to the host ----

bool TouchController::hasByte() const {
    return !packet_.empty() || !responses_.empty() || latest_.has_value();
}

std::uint8_t TouchController::takeByte() {
    if (packet_.empty() && responses_.empty()) {
        startPacket();
    }
    std::deque<std::uint8_t>& from = packet_.empty() ? responses_ : packet_;
    const std::uint8_t byte = from.front();
    from.pop_front();
    return byte;
}

void TouchController::startPacket() {
    const ReportRecord report = *latest_;
    latest_.reset();
    ++packetsSent_;
    std::vector<std::uint8_t> bytes =
        encode(report.touching, report.raw, config_.sixBytePackets, report.sequence);
    for (const ControllerFaults::BrokenPacket& fault : config_.faults.brokenPackets) {
        if (fault.packet != packetsSent_) {
            continue;
        }
        if (fault.kind == ControllerFaults::PacketKind::MissingSync) {
            bytes[0] &= static_cast<std::uint8_t>(~kSync);
        } else {
            bytes[static_cast<std::size_t>(std::clamp(fault.byte, 1, 4))] |= kHighBit;
        }
    }
    for (const ControllerFaults::ExtraBytes& extra : config_.faults.extraBytes) {
        if (extra.packet == packetsSent_) {
            bytes.insert(bytes.end(), extra.bytes.begin(), extra.bytes.end());
        }
    }
    packet_.assign(bytes.begin(), bytes.end());
}

// ---- Reporting ----

void TouchController::fingerDown() {
    pressedSinceTick_ = true;
    pressSample_ = panel_.sample();
    if (started_ && tickEvent_ == 0) {
        scheduleTick(context_.now());
    }
}

void TouchController::fingerUp() {
    // The next report time notices the lift and sends the release.
}

void TouchController::scheduleTick(Micros when) {
    tickEvent_ = context_.schedule(when, [this] { tick(); });
}

void TouchController::tick() {
    tickEvent_ = 0;
    if (!started_) {
        return;
    }
    const bool pressed = pressedSinceTick_;
    pressedSinceTick_ = false;
    std::optional<RawPoint> raw = panel_.sample();
    if (!raw && pressed) {
        raw = pressSample_;  // a touch shorter than a report period still reports once
    }
    if (raw) {
        makeReport(true, *raw);
        releaseOwed_ = true;
        scheduleTick(context_.now() + period_);
    } else if (releaseOwed_) {
        makeReport(false, lastRaw_);
        releaseOwed_ = false;
    }
}

void TouchController::makeReport(bool touching, RawPoint raw) {
    if (latest_) {
        dropLatest();
    }
    latest_ = ReportRecord{context_.now(), touching, raw, sequence_++, false};
    ++reportsMade_;
    if (config_.keepReports) {
        reports_.push_back(*latest_);
    }
    lastRaw_ = raw;
    wakeHost();
}

// The report waiting for the wire is replaced or cut off: it never goes out.
// While it waits it is the last one in the log.
void TouchController::dropLatest() {
    if (config_.keepReports) {
        reports_.back().dropped = true;
    }
    ++dropped_;
}

void TouchController::stopReporting() {
    started_ = false;
    releaseOwed_ = false;
    if (tickEvent_ != 0) {
        context_.cancel(tickEvent_);
        tickEvent_ = 0;
    }
    if (latest_) {
        dropLatest();
        latest_.reset();
    }
}

}  // namespace sim
