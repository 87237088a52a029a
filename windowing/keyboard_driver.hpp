// The board's keyboard driver, as the windowing system loads it beside the
// touch driver, and the kernel threads of the stand-in's own.  Each thread is
// started by its constructor (or startThread) and ended, with its kernel
// objects closed, by its destructor (or endThread).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"
#include "sim/machine.hpp"

namespace windowing {

struct KeyboardDriverConfig {
    static constexpr int kDefaultPriority = 145;
    int priority = kDefaultPriority;  // of its interrupt thread
    std::uint32_t sysIntr = 16 + 1;   // logical interrupt of IRQ 1
};

// A minimal keyboard driver: its logical interrupt is bound to the keyboard
// line (IRQ 1), and at each interrupt it reads every byte the i8042 marks as
// keyboard data (status 0x01 set, 0x20 clear), as the board's keyboard
// driver would.  Without one, a keyboard byte stays in the i8042's output
// buffer and holds the touch controller's bytes back.
class KeyboardDriverThread {
  public:
    KeyboardDriverThread(hosted::Kernel& kernel, sim::Machine& machine,
                         KeyboardDriverConfig config = {});
    ~KeyboardDriverThread();
    KeyboardDriverThread(const KeyboardDriverThread&) = delete;
    KeyboardDriverThread& operator=(const KeyboardDriverThread&) = delete;

    // Every byte it took, in order.
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  private:
    static DWORD main(LPVOID self);
    void serve();

    KeyboardDriverConfig config_;
    std::uint16_t dataPort_;
    std::uint16_t statusPort_;
    HANDLE event_ = nullptr;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::vector<std::uint8_t> bytes_;
};

// A kernel thread named `name` in the trace, at `priority`; throws
// std::runtime_error when it cannot be created.
HANDLE startThread(LPTHREAD_START_ROUTINE routine, void* self, int priority, const char* name,
                   hosted::Kernel& kernel);
// Waits, bounded in virtual time, for a thread and closes its handle; never
// throws, as it runs from destructors, also after the kernel stopped a run.
void endThread(HANDLE& thread);

}  // namespace windowing
