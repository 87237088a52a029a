// The hosted machine's buses: the port bus that routes byte I/O to the
// simulated devices, and the interrupt controller that turns a device's line
// edge into a signalled event.
#include <stdexcept>

#include "platform/hosted/kernel_impl.hpp"

namespace hosted {

namespace {

constexpr std::uintptr_t kLastPort = 0xFFFF;  // the x86 I/O space
constexpr UCHAR kFloatingBus = 0xFF;          // what an unclaimed port reads

}  // namespace

// ---- Ports ----

void Kernel::Impl::mapPorts(std::uint16_t first, std::uint16_t last, PortDevice& device) {
    if (first > last) {
        throw std::invalid_argument("mapPorts: first port after last");
    }
    for (const PortRange& range : ports_) {
        if (first <= range.last && range.first <= last) {
            throw std::invalid_argument("mapPorts: ports already claimed by another device");
        }
    }
    ports_.push_back(PortRange{first, last, &device});
}

void Kernel::Impl::unmapPorts(PortDevice& device) {
    std::erase_if(ports_, [&](const PortRange& range) { return range.device == &device; });
}

UCHAR Kernel::Impl::readPort(std::uintptr_t port) {
    UCHAR value = kFloatingBus;
    if (port > kLastPort) {
        fault("READ_PORT_UCHAR: port " + handleText(reinterpret_cast<void*>(port)) +
              " is outside the I/O space");
        return value;
    }
    const auto number = static_cast<std::uint16_t>(port);
    for (const PortRange& range : ports_) {
        if (number >= range.first && number <= range.last) {
            const FlagScope device(inDeviceAction_);
            value = range.device->readPort(number);
            break;
        }
    }
    if (config_.tracePorts) {
        portTrace.push_back(PortAccess{now_, number, value, false});
    }
    return value;
}

void Kernel::Impl::writePort(std::uintptr_t port, UCHAR value) {
    if (port > kLastPort) {
        fault("WRITE_PORT_UCHAR: port " + handleText(reinterpret_cast<void*>(port)) +
              " is outside the I/O space");
        return;
    }
    const auto number = static_cast<std::uint16_t>(port);
    if (config_.tracePorts) {
        portTrace.push_back(PortAccess{now_, number, value, true});
    }
    for (const PortRange& range : ports_) {
        if (number >= range.first && number <= range.last) {
            const FlagScope device(inDeviceAction_);
            range.device->writePort(number, value);
            return;
        }
    }
}

// ---- Interrupts ----

void Kernel::Impl::mapInterrupt(std::uint32_t sysIntr, unsigned line) {
    if (sysIntr == 0) {
        throw std::invalid_argument("mapInterrupt: logical interrupt 0 means none");
    }
    interrupts_[sysIntr].line = line;
}

BOOL Kernel::Impl::interruptInitialize(DWORD sysIntr, HANDLE event) {
    if (injectFailure(FaultPoint::InterruptInitialize)) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto found = interrupts_.find(sysIntr);
    if (sysIntr == 0 || found == interrupts_.end() || found->second.bound) {
        trace("cannot bind interrupt " + std::to_string(sysIntr));
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<Object> object = lookup(event, "InterruptInitialize", ObjectKind::Event);
    if (!object) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    InterruptBinding& binding = found->second;
    binding.event = std::static_pointer_cast<Event>(object);
    binding.handle = event;
    binding.bound = true;
    binding.masked = false;
    binding.latched = false;
    trace("binds interrupt " + std::to_string(sysIntr) + " to event " + handleText(event));
    return TRUE;
}

void Kernel::Impl::deliverInterrupt(std::uint32_t sysIntr, InterruptBinding& binding) {
    binding.masked = true;
    trace("interrupt " + std::to_string(sysIntr) + " signals event " + handleText(binding.handle));
    signal(*binding.event);
}

void Kernel::Impl::raiseLine(unsigned line) {
    (void)self();  // only the baton holder may raise a line
    for (auto& [sysIntr, binding] : interrupts_) {
        if (binding.line != line) {
            continue;
        }
        if (!binding.bound) {
            trace("line " + std::to_string(line) + ": interrupt " + std::to_string(sysIntr) +
                  " not enabled, edge dropped");
        } else if (binding.masked) {
            trace("line " + std::to_string(line) + ": interrupt " + std::to_string(sysIntr) +
                  " masked, edge latched");
            binding.latched = true;
        } else {
            deliverInterrupt(sysIntr, binding);
        }
    }
}

void Kernel::Impl::interruptDone(DWORD sysIntr) {
    const auto found = interrupts_.find(sysIntr);
    if (sysIntr == 0 || found == interrupts_.end() || !found->second.bound) {
        trace("InterruptDone " + std::to_string(sysIntr) + ": not bound, nothing to do");
        return;
    }
    InterruptBinding& binding = found->second;
    binding.masked = false;
    trace("interrupt " + std::to_string(sysIntr) + " done");
    if (binding.latched) {
        binding.latched = false;
        deliverInterrupt(sysIntr, binding);
    }
    switchPoint();
}

void Kernel::Impl::interruptDisable(DWORD sysIntr) {
    const auto found = interrupts_.find(sysIntr);
    if (sysIntr == 0 || found == interrupts_.end() || !found->second.bound) {
        trace("InterruptDisable " + std::to_string(sysIntr) + ": not bound, nothing to do");
        return;
    }
    InterruptBinding& binding = found->second;
    binding.bound = false;
    binding.masked = false;
    binding.latched = false;
    binding.event.reset();
    binding.handle = nullptr;
    trace("interrupt " + std::to_string(sysIntr) + " disabled");
}

}  // namespace hosted
