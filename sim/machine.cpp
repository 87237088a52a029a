#include "sim/machine.hpp"

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/registry.hpp"

namespace sim {

namespace {

constexpr char kTouchKey[] = "HARDWARE\\DEVICEMAP\\TOUCH";

MachineConfig checked(MachineConfig config) {
    config.validate();
    return config;
}

}  // namespace

Machine::Machine(hosted::Kernel& kernel, MachineConfig config)
    : kernel_(kernel), config_(checked(std::move(config))) {
    hosted::DeviceContext& context = kernel_.devices();
    panel_ = std::make_unique<TouchPanel>(context, config_.panelConfig());
    i8042_ = std::make_unique<I8042>(context, config_.i8042);
    controller_ = std::make_unique<TouchController>(context, *panel_, config_.controller);
    keyboard_ = std::make_unique<Keyboard>(context);
    speaker_ = std::make_unique<Speaker>(context, config_.speaker);

    panel_->setListener(controller_.get());
    i8042_->attachAux(controller_.get());
    i8042_->attachKeyboard(keyboard_.get());
    for (const KeyboardInjection& injection : config_.keyboard) {
        keyboard_->inject(injection);
    }

    // Two single ports for the i8042: the three between them are not its own
    // (0x61, the speaker's, lies there at the usual base).
    kernel_.mapPorts(i8042_->dataPort(), i8042_->dataPort(), *i8042_);
    kernel_.mapPorts(i8042_->statusPort(), i8042_->statusPort(), *i8042_);
    kernel_.mapPorts(Speaker::kCounterPort, Speaker::kControlPort, *speaker_);
    kernel_.mapPorts(Speaker::kSystemPort, Speaker::kSystemPort, *speaker_);
    kernel_.mapInterrupt(config_.sysIntr, config_.i8042.auxIrq);
    kernel_.setDisplayOrientation(config_.displayOrientation());
}

Machine::~Machine() {
    kernel_.unmapPorts(*speaker_);
    kernel_.unmapPorts(*i8042_);
    panel_->setListener(nullptr);
    i8042_->attachAux(nullptr);
    i8042_->attachKeyboard(nullptr);
}

void Machine::describeInRegistry(hosted::Registry& registry) const {
    registry.createKey(kTouchKey);
    registry.setDword(kTouchKey, "ioBase", config_.i8042.base);
    registry.setDword(kTouchKey, "sysIntr", config_.sysIntr);
}

}  // namespace sim
