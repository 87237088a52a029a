#include "sim/i8042.hpp"

#include <stdexcept>

namespace sim {

namespace {

constexpr int kBitsPerPs2Byte = 11;  // start, 8 data, parity, stop
constexpr std::uint8_t kPortNotDecoded = 0xFF;

constexpr std::uint8_t kReadCommandByte = 0x20;
constexpr std::uint8_t kWriteCommandByte = 0x60;
constexpr std::uint8_t kAuxInterfaceTest = 0xA9;
constexpr std::uint8_t kAuxDisable = 0xA7;
constexpr std::uint8_t kAuxEnable = 0xA8;
constexpr std::uint8_t kSelfTest = 0xAA;
constexpr std::uint8_t kKeyboardInterfaceTest = 0xAB;
constexpr std::uint8_t kKeyboardDisable = 0xAD;
constexpr std::uint8_t kKeyboardEnable = 0xAE;
constexpr std::uint8_t kWriteAux = 0xD4;

constexpr std::uint8_t kSelfTestPassed = 0x55;
constexpr std::uint8_t kInterfaceTestPassed = 0x00;

Micros byteTimeFor(std::uint32_t clockHz) {
    if (clockHz == 0) {
        throw std::invalid_argument("i8042: the PS/2 clock must be above 0 Hz");
    }
    const std::uint64_t bits = kBitsPerPs2Byte * std::uint64_t{1'000'000};
    return (bits + clockHz / 2) / clockHz;
}

}  // namespace

namespace {

I8042Variant& processVariant() {
    static I8042Variant variant;
    return variant;
}

}  // namespace

I8042Variant defaultI8042Variant() {
    return processVariant();
}

void setDefaultI8042Variant(I8042Variant variant) {
    processVariant() = variant;
}

const char* toString(ByteSource source) {
    switch (source) {
        case ByteSource::Controller:
            return "controller";
        case ByteSource::Keyboard:
            return "keyboard";
        case ByteSource::Aux:
            return "aux";
    }
    return "?";
}

I8042::I8042(hosted::DeviceContext& context, I8042Config config)
    : context_(context),
      config_(config),
      byteTime_(byteTimeFor(config.ps2ClockHz)),
      commandByte_(config.commandByte),
      systemFlag_(config.systemFlag),
      inputStuck_(config.inputStuck) {}

I8042::~I8042() {
    // The devices may already be gone; only our own events are touched here.
    if (inputEvent_ != 0) {
        context_.cancel(inputEvent_);
    }
    if (inFlight_) {
        context_.cancel(inFlight_->event);
    }
}

void I8042::attachKeyboard(Ps2Device* device) {
    keyboard_ = device;
    if (device != nullptr) {
        device->connect([this] { pump(); });
    }
    pump();
}

void I8042::attachAux(Ps2Device* device) {
    aux_ = device;
    if (device != nullptr) {
        device->connect([this] { pump(); });
    }
    pump();
}

std::uint8_t I8042::status() const {
    std::uint8_t value = kStatusNotInhibited;
    if (output_) {
        value |= kStatusOutputFull;
        if (output_->source == ByteSource::Aux) {
            value |= kStatusAuxData;
        }
    }
    if (inputByte_ || inputStuck_) {
        value |= kStatusInputFull;
    }
    if (systemFlag_) {
        value |= kStatusSystemFlag;
    }
    if (lastWriteCommand_) {
        value |= kStatusCommand;
    }
    return value;
}

std::uint8_t I8042::readPort(std::uint16_t port) {
    if (port == statusPort()) {
        return status();
    }
    if (port != dataPort()) {
        return kPortNotDecoded;
    }
    if (!output_) {
        return lastRead_;  // the latch still holds the last byte
    }
    lastRead_ = output_->byte;
    if (config_.keepOutputLog) {
        log_[outputLogIndex_].read = context_.now();
    }
    output_.reset();
    pump();
    return lastRead_;
}

void I8042::writePort(std::uint16_t port, std::uint8_t value) {
    if (port != dataPort() && port != statusPort()) {
        return;
    }
    lastWriteCommand_ = port == statusPort();
    if (inputByte_) {
        ++inputOverruns_;  // the byte not yet taken is overwritten
    }
    inputByte_ = value;
    inputIsCommand_ = lastWriteCommand_;
    if (inputEvent_ != 0) {
        context_.cancel(inputEvent_);
        inputEvent_ = 0;
    }
    if (!inputStuck_) {
        inputEvent_ =
            context_.schedule(context_.now() + config_.inputBusyTime, [this] { takeInput(); });
    }
}

void I8042::setInputStuck(bool stuck) {
    inputStuck_ = stuck;
    if (stuck && inputEvent_ != 0) {
        context_.cancel(inputEvent_);
        inputEvent_ = 0;
    }
    if (!stuck && inputByte_ && inputEvent_ == 0) {
        inputEvent_ =
            context_.schedule(context_.now() + config_.inputBusyTime, [this] { takeInput(); });
    }
}

void I8042::takeInput() {
    inputEvent_ = 0;
    if (!inputByte_) {
        return;
    }
    const std::uint8_t value = *inputByte_;
    inputByte_.reset();
    if (inputIsCommand_) {
        handleCommand(value);
    } else {
        handleData(value);
    }
}

void I8042::handleCommand(std::uint8_t command) {
    pending_ = Pending::None;  // a new command abandons a half-given one
    switch (command) {
        case kReadCommandByte:
            answer(commandByte_);
            break;
        case kWriteCommandByte:
            pending_ = Pending::CommandByte;
            break;
        case kWriteAux:
            // Enabling the auxiliary port here lets the device's answer come
            // back before the host has enabled the port itself.
            pending_ = Pending::AuxByte;
            setCommandByte(commandByte_ & ~kCmdAuxDisabled);
            break;
        case kAuxDisable:
            setCommandByte(commandByte_ | kCmdAuxDisabled);
            break;
        case kAuxEnable:
            setCommandByte(commandByte_ & ~kCmdAuxDisabled);
            break;
        case kKeyboardDisable:
            setCommandByte(commandByte_ | kCmdKeyboardDisabled);
            break;
        case kKeyboardEnable:
            setCommandByte(commandByte_ & ~kCmdKeyboardDisabled);
            break;
        case kSelfTest:
            systemFlag_ = true;
            answer(kSelfTestPassed);
            break;
        case kAuxInterfaceTest:
        case kKeyboardInterfaceTest:
            answer(kInterfaceTestPassed);
            break;
        default:
            ++unknownCommands_;
            break;
    }
}

void I8042::handleData(std::uint8_t value) {
    const Pending pending = pending_;
    pending_ = Pending::None;
    switch (pending) {
        case Pending::CommandByte:
            systemFlag_ = (value & kCmdSystemFlag) != 0;
            setCommandByte(value);
            break;
        case Pending::AuxByte:
            if (aux_ != nullptr) {
                aux_->hostByte(value);
            }
            break;
        case Pending::None:
            if (keyboard_ != nullptr) {
                keyboard_->hostByte(value);
            }
            break;
    }
}

void I8042::setCommandByte(std::uint8_t value) {
    const std::uint8_t switchedOn = static_cast<std::uint8_t>(value & ~commandByte_);
    commandByte_ = value;
    if (output_) {
        const std::uint8_t bit =
            output_->source == ByteSource::Aux ? kCmdAuxInterrupt : kCmdKeyboardInterrupt;
        if ((switchedOn & bit) != 0) {
            raiseFor(output_->source);
        }
    }
    pump();
}

void I8042::answer(std::uint8_t byte) {
    controllerBytes_.push_back(byte);
    pump();
}

bool I8042::channelEnabled(ByteSource source) const {
    switch (source) {
        case ByteSource::Keyboard:
            return (commandByte_ & kCmdKeyboardDisabled) == 0;
        case ByteSource::Aux:
            return (commandByte_ & kCmdAuxDisabled) == 0;
        case ByteSource::Controller:
            return true;
    }
    return false;
}

Ps2Device* I8042::deviceFor(ByteSource source) const {
    switch (source) {
        case ByteSource::Keyboard:
            return keyboard_;
        case ByteSource::Aux:
            return aux_;
        case ByteSource::Controller:
            return nullptr;
    }
    return nullptr;
}

// Move whatever may move now: a byte into the empty output buffer, or the next
// device byte onto the free wire.
void I8042::pump() {
    if (pumping_) {
        return;  // a device woke us from inside takeByte(); the outer call goes on
    }
    pumping_ = true;
    if (!output_) {
        if (arrived_) {
            const Held held = *arrived_;
            arrived_.reset();
            fillOutput(held.byte, held.source);
        } else if (!controllerBytes_.empty()) {
            const std::uint8_t byte = controllerBytes_.front();
            controllerBytes_.pop_front();
            fillOutput(byte, ByteSource::Controller);
        } else if (!inFlight_) {
            const bool auxFirst =
                config_.auxAfterKeyboardByte && lastDeviceByte_ == ByteSource::Keyboard;
            const ByteSource first = auxFirst ? ByteSource::Aux : ByteSource::Keyboard;
            const ByteSource second = auxFirst ? ByteSource::Keyboard : ByteSource::Aux;
            for (ByteSource source : {first, second}) {
                Ps2Device* device = deviceFor(source);
                if (device != nullptr && channelEnabled(source) && device->hasByte()) {
                    startTransfer(source);
                    break;
                }
            }
        }
    }
    pumping_ = false;
}

void I8042::startTransfer(ByteSource source) {
    const std::uint8_t byte = deviceFor(source)->takeByte();
    const hosted::DeviceEventId event =
        context_.schedule(context_.now() + byteTime_, [this] { finishTransfer(); });
    inFlight_ = InFlight{byte, source, event};
    lastDeviceByte_ = source;
}

void I8042::finishTransfer() {
    const InFlight done = *inFlight_;
    inFlight_.reset();
    if (output_) {
        arrived_ = Held{done.byte, done.source};  // waits for the buffer; never lost
    } else {
        fillOutput(done.byte, done.source);
    }
    pump();
}

void I8042::fillOutput(std::uint8_t byte, ByteSource source) {
    output_ = Held{byte, source};
    if (config_.keepOutputLog) {
        log_.push_back(OutputRecord{byte, source, context_.now(), std::nullopt});
        outputLogIndex_ = log_.size() - 1;
    }
    raiseFor(source);
}

bool I8042::answerSilenced(ByteSource source) const {
    return source == ByteSource::Controller && !config_.answerIrqWhileKeyboardOff &&
           (commandByte_ & kCmdKeyboardDisabled) != 0;
}

void I8042::raiseFor(ByteSource source) {
    if (source == ByteSource::Aux) {
        if ((commandByte_ & kCmdAuxInterrupt) != 0) {
            context_.raiseLine(config_.auxIrq);
        }
    } else if ((commandByte_ & kCmdKeyboardInterrupt) != 0 && !answerSilenced(source)) {
        context_.raiseLine(config_.keyboardIrq);
    }
}

}  // namespace sim
