// A kernel thread that holds virtual time to the wall clock (touchsim's
// --realtime).  Started by its constructor, ended by its destructor.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

namespace touchsim {

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
