// The seam between the hosted kernel and the simulated devices.
//
// A device sees only this: the virtual clock, events it schedules on that
// clock, the port bus (it implements PortDevice for the ports it claims) and
// the interrupt lines it raises.  The kernel implements DeviceContext; tests
// of a device alone may use a manual implementation instead.
#pragma once

#include <cstdint>
#include <functional>

namespace hosted {

using Micros = std::uint64_t;  // virtual time in microseconds since the kernel started

constexpr Micros kMicrosPerMilli = 1000;
constexpr Micros kMicrosPerSecond = 1000 * kMicrosPerMilli;

using DeviceEventId = std::uint64_t;  // 0 is never a valid id

class PortDevice {
  public:
    virtual ~PortDevice() = default;
    virtual std::uint8_t readPort(std::uint16_t port) = 0;
    virtual void writePort(std::uint16_t port, std::uint8_t value) = 0;
};

class DeviceContext {
  public:
    virtual ~DeviceContext() = default;
    virtual Micros now() const = 0;
    // Run action at absolute virtual time `at` (not before now()).  Events due
    // at the same time run in the order they were scheduled.
    virtual DeviceEventId schedule(Micros at, std::function<void()> action) = 0;
    // Cancel a pending event; cancelling one that ran or was cancelled is harmless.
    virtual void cancel(DeviceEventId id) = 0;
    // An edge on an interrupt line of the interrupt controller (IRQ number).
    virtual void raiseLine(unsigned line) = 0;
};

}  // namespace hosted
