#include "windowing/keyboard_driver.hpp"

#include <stdexcept>
#include <string>

namespace windowing {

namespace {

constexpr std::uint8_t kOutputFull = 0x01;
constexpr std::uint8_t kAuxData = 0x20;
constexpr unsigned kKeyboardLine = 1;
// Bytes taken at one interrupt at most; more wait for the next one.
constexpr int kMaxBytesPerInterrupt = 16;
// How long an ending thread is waited for, in virtual time.
constexpr DWORD kStopWaitMs = 1000;

UCHAR readPort(std::uint16_t port) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(port)));
}

}  // namespace

HANDLE startThread(LPTHREAD_START_ROUTINE routine, void* self, int priority, const char* name,
                   hosted::Kernel& kernel) {
    HANDLE thread = CreateThread(nullptr, 0, routine, self, 0, nullptr);
    if (thread == nullptr) {
        throw std::runtime_error(std::string("cannot start the ") + name + " thread");
    }
    kernel.setThreadName(thread, name);
    CeSetThreadPriority(thread, priority);
    return thread;
}

void endThread(HANDLE& thread) {
    if (thread == nullptr) {
        return;
    }
    try {
        WaitForSingleObject(thread, kStopWaitMs);
        CloseHandle(thread);
    } catch (...) {
    }
    thread = nullptr;
}

KeyboardDriverThread::KeyboardDriverThread(hosted::Kernel& kernel, sim::Machine& machine,
                                           KeyboardDriverConfig config)
    : config_(config),
      dataPort_(machine.i8042().dataPort()),
      statusPort_(machine.i8042().statusPort()) {
    kernel.mapInterrupt(config_.sysIntr, kKeyboardLine);
    event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event_ == nullptr || InterruptInitialize(config_.sysIntr, event_, nullptr, 0) == FALSE) {
        if (event_ != nullptr) {
            CloseHandle(event_);
        }
        throw std::runtime_error("cannot bind the keyboard interrupt");
    }
    thread_ =
        startThread(&KeyboardDriverThread::main, this, config_.priority, "KeyboardDriver", kernel);
}

KeyboardDriverThread::~KeyboardDriverThread() {
    stop_.store(true);
    try {
        SetEvent(event_);
    } catch (...) {
    }
    endThread(thread_);
    try {
        InterruptDisable(config_.sysIntr);
        CloseHandle(event_);
    } catch (...) {
    }
}

DWORD KeyboardDriverThread::main(LPVOID self) {
    static_cast<KeyboardDriverThread*>(self)->serve();
    return 0;
}

void KeyboardDriverThread::serve() {
    for (;;) {
        WaitForSingleObject(event_, INFINITE);
        if (stop_.load()) {
            return;
        }
        for (int i = 0; i < kMaxBytesPerInterrupt; ++i) {
            if ((readPort(statusPort_) & (kOutputFull | kAuxData)) != kOutputFull) {
                break;
            }
            bytes_.push_back(readPort(dataPort_));
        }
        InterruptDone(config_.sysIntr);
    }
}

}  // namespace windowing
