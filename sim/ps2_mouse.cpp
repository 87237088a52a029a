#include "sim/ps2_mouse.hpp"

namespace sim {

namespace {

constexpr std::uint8_t kReset = 0xFF;
constexpr std::uint8_t kResendLast = 0xFE;
constexpr std::uint8_t kSetDefaults = 0xF6;
constexpr std::uint8_t kDisableReporting = 0xF5;
constexpr std::uint8_t kEnableReporting = 0xF4;
constexpr std::uint8_t kSetSampleRate = 0xF3;
constexpr std::uint8_t kIdentify = 0xF2;
constexpr std::uint8_t kRemoteMode = 0xF0;
constexpr std::uint8_t kStreamMode = 0xEA;
constexpr std::uint8_t kStatusRequest = 0xE9;
constexpr std::uint8_t kSetResolution = 0xE8;
constexpr std::uint8_t kScaling2to1 = 0xE7;
constexpr std::uint8_t kScaling1to1 = 0xE6;

// Status byte 0 of an 0xE9 answer.
constexpr std::uint8_t kStatusRemote = 0x40;
constexpr std::uint8_t kStatusReporting = 0x20;
constexpr std::uint8_t kStatusScaling = 0x10;

}  // namespace

void Ps2Mouse::hostByte(std::uint8_t byte) {
    if (awaitingArgumentOf_ != 0) {
        if (awaitingArgumentOf_ == kSetSampleRate) {
            sampleRate_ = byte;
        } else {
            resolution_ = byte;
        }
        awaitingArgumentOf_ = 0;
        send({kAck});
        return;
    }
    command(byte);
}

void Ps2Mouse::command(std::uint8_t byte) {
    switch (byte) {
        case kReset:
            resetSettings();
            queue_.clear();
            send({kAck, kSelfTestPassed, kMouseId});
            break;
        case kSetDefaults:
            resetSettings();
            send({kAck});
            break;
        case kDisableReporting:
        case kEnableReporting:
            reporting_ = byte == kEnableReporting;
            send({kAck});
            break;
        case kSetSampleRate:
        case kSetResolution:
            awaitingArgumentOf_ = byte;
            send({kAck});
            break;
        case kIdentify:
            send({kAck, kMouseId});
            break;
        case kRemoteMode:
        case kStreamMode:
            remoteMode_ = byte == kRemoteMode;
            send({kAck});
            break;
        case kStatusRequest: {
            const auto flags = static_cast<std::uint8_t>((remoteMode_ ? kStatusRemote : 0) |
                                                         (reporting_ ? kStatusReporting : 0) |
                                                         (scaling2to1_ ? kStatusScaling : 0));
            send({kAck, flags, resolution_, sampleRate_});
            break;
        }
        case kScaling1to1:
        case kScaling2to1:
            scaling2to1_ = byte == kScaling2to1;
            send({kAck});
            break;
        case kResendLast:
            send({lastSent_});
            break;
        default:
            send({kResend});  // no command: the host is asked to send it again
            break;
    }
}

void Ps2Mouse::resetSettings() {
    sampleRate_ = 100;
    resolution_ = 2;
    scaling2to1_ = false;
    reporting_ = false;
    remoteMode_ = false;
    awaitingArgumentOf_ = 0;
}

void Ps2Mouse::send(std::initializer_list<std::uint8_t> bytes) {
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    wakeHost();
}

std::uint8_t Ps2Mouse::takeByte() {
    const std::uint8_t byte = queue_.front();
    queue_.pop_front();
    lastSent_ = byte;
    return byte;
}

}  // namespace sim
