// Speed of the hosted kernel: a thread switch, an event round trip, and how
// many virtual seconds pass per wall second on an idle machine and with a
// thread polling a device.
#include <benchmark/benchmark.h>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

namespace {

constexpr hosted::Micros kOneSecond = 1'000'000;

hosted::KernelConfig quietConfig() {
    hosted::KernelConfig config;
    config.traceKernel = false;  // a trace would grow with every iteration
    config.timeLimit = ~hosted::Micros{0};
    return config;
}

struct Shared {
    volatile LONG stop = 0;
    HANDLE ping = nullptr;
    HANDLE pong = nullptr;
};

DWORD yieldUntilStopped(LPVOID arg) {
    auto& shared = *static_cast<Shared*>(arg);
    while (shared.stop == 0) {
        Sleep(0);
    }
    return 0;
}

// Two threads of the same priority passing the turn with Sleep(0).
void BM_ThreadSwitch(benchmark::State& state) {
    hosted::Kernel kernel(quietConfig());
    Shared shared;
    HANDLE other = CreateThread(nullptr, 0, yieldUntilStopped, &shared, 0, nullptr);
    for (auto _ : state) {
        Sleep(0);  // to the other thread and back: two switches
    }
    InterlockedExchange(&shared.stop, 1);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2);
}
BENCHMARK(BM_ThreadSwitch)->UseRealTime();

DWORD answerPings(LPVOID arg) {
    auto& shared = *static_cast<Shared*>(arg);
    for (;;) {
        WaitForSingleObject(shared.ping, INFINITE);
        if (shared.stop != 0) {
            return 0;
        }
        SetEvent(shared.pong);
    }
}

// The main thread sets an event a higher-priority thread waits on and waits
// for its answer.
void BM_EventRoundTrip(benchmark::State& state) {
    hosted::Kernel kernel(quietConfig());
    Shared shared;
    shared.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    shared.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE other = CreateThread(nullptr, 0, answerPings, &shared, 0, nullptr);
    CeSetThreadPriority(other, 100);
    for (auto _ : state) {
        SetEvent(shared.ping);
        WaitForSingleObject(shared.pong, INFINITE);
    }
    InterlockedExchange(&shared.stop, 1);
    SetEvent(shared.ping);
    WaitForSingleObject(other, INFINITE);
    for (HANDLE h : {other, shared.ping, shared.pong}) {
        CloseHandle(h);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

DWORD waitForever(LPVOID arg) {
    WaitForSingleObject(static_cast<Shared*>(arg)->ping, INFINITE);
    return 0;
}

// An idle machine: a driver-like thread waits for an interrupt that never
// comes while the host lets a virtual second pass per iteration.
void BM_IdleMachine(benchmark::State& state) {
    hosted::Kernel kernel(quietConfig());
    Shared shared;
    shared.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE other = CreateThread(nullptr, 0, waitForever, &shared, 0, nullptr);
    CeSetThreadPriority(other, 109);
    for (auto _ : state) {
        kernel.advance(kOneSecond);
    }
    SetEvent(shared.ping);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    CloseHandle(shared.ping);
    state.counters["virtual_s_per_wall_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IdleMachine)->UseRealTime();

// A device whose status bit comes up every 900 us and clears when read.
class PeriodicDevice : public hosted::PortDevice {
  public:
    explicit PeriodicDevice(hosted::DeviceContext& context) : context_(context) { arm(); }
    std::uint8_t readPort(std::uint16_t) override {
        const std::uint8_t value = ready_ ? 1 : 0;
        ready_ = false;
        return value;
    }
    void writePort(std::uint16_t, std::uint8_t) override {}

  private:
    void arm() {
        context_.schedule(context_.now() + 900, [this] {
            ready_ = true;
            arm();
        });
    }
    hosted::DeviceContext& context_;
    bool ready_ = false;
};

DWORD pollDevice(LPVOID arg) {
    auto& shared = *static_cast<Shared*>(arg);
    auto* status = reinterpret_cast<PUCHAR>(0x64);
    while (shared.stop == 0) {
        while ((READ_PORT_UCHAR(status) & 1) == 0 && shared.stop == 0) {
            Sleep(0);
        }
    }
    return 0;
}

// A thread polling the device's status port with Sleep(0) between reads, at
// the main thread's priority so that the main thread gets the turn back when
// its virtual second is over.
void BM_PollingDevice(benchmark::State& state) {
    hosted::Kernel kernel(quietConfig());
    PeriodicDevice device(kernel.devices());
    kernel.mapPorts(0x64, 0x64, device);
    Shared shared;
    HANDLE poller = CreateThread(nullptr, 0, pollDevice, &shared, 0, nullptr);
    for (auto _ : state) {
        kernel.advance(kOneSecond);
    }
    InterlockedExchange(&shared.stop, 1);
    WaitForSingleObject(poller, INFINITE);
    CloseHandle(poller);
    state.counters["virtual_s_per_wall_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PollingDevice)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
