// Kernel threads that touchsim runs beside the driver: a keyboard driver that
// takes the keyboard's bytes off the i8042, and a pacer that holds virtual
// time to the wall clock.  Each is started by its constructor and ended,
// with its kernel objects closed, by its destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"
#include "sim/machine.hpp"
#include "tools/touchsim/scenario.hpp"

namespace touchsim {

// A minimal keyboard driver: its logical interrupt is bound to the keyboard
// line (IRQ 1), and at each interrupt it reads every byte the i8042 marks as
// keyboard data (status 0x01 set, 0x20 clear), as the board's keyboard
// driver would.  Without one, a keyboard byte stays in the i8042's output
// buffer and holds the touch controller's bytes back.
class KeyboardDriverThread {
  public:
    KeyboardDriverThread(hosted::Kernel& kernel, sim::Machine& machine, KeyboardDriverStep config);
    ~KeyboardDriverThread();
    KeyboardDriverThread(const KeyboardDriverThread&) = delete;
    KeyboardDriverThread& operator=(const KeyboardDriverThread&) = delete;

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  private:
    static DWORD main(LPVOID self);
    void serve();

    KeyboardDriverStep config_;
    std::uint16_t dataPort_;
    std::uint16_t statusPort_;
    HANDLE event_ = nullptr;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::vector<std::uint8_t> bytes_;
};

// Runs at the highest priority, wakes every few virtual milliseconds and
// then sleeps on the wall clock until the wall clock has caught up with
// virtual time.  While it sleeps it holds the kernel, so nothing else moves.
class Pacer {
  public:
    explicit Pacer(hosted::Kernel& kernel);
    ~Pacer();
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

  private:
    static DWORD main(LPVOID self);
    void pace();

    hosted::Kernel& kernel_;
    std::chrono::steady_clock::time_point start_;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
};

}  // namespace touchsim
