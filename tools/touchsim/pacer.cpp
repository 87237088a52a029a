#include "tools/touchsim/pacer.hpp"

#include <thread>

#include "windowing/keyboard_driver.hpp"

namespace touchsim {

namespace {

constexpr DWORD kPaceStepMs = 5;
constexpr int kHighestPriority = 0;

}  // namespace

Pacer::Pacer(hosted::Kernel& kernel)
    : kernel_(kernel),
      start_(std::chrono::steady_clock::now() - std::chrono::microseconds(kernel.now())) {
    thread_ = windowing::startThread(&Pacer::main, this, kHighestPriority, "Pacer", kernel);
}

Pacer::~Pacer() {
    stop_.store(true);
    windowing::endThread(thread_);
}

DWORD Pacer::main(LPVOID self) {
    static_cast<Pacer*>(self)->pace();
    return 0;
}

void Pacer::pace() {
    while (!stop_.load()) {
        Sleep(kPaceStepMs);
        std::this_thread::sleep_until(start_ + std::chrono::microseconds(kernel_.now()));
    }
}

}  // namespace touchsim
