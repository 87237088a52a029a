// Speed of the simulated machine: virtual seconds per wall second while the
// panel is held down, the touch controller streams reports at its full rate,
// and a kernel thread reads every packet through the i8042's ports the way
// the driver does (woken by the interrupt, polling the status with Sleep(0)).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"
#include "sim/machine.hpp"

namespace {

constexpr hosted::Micros kOneSecond = 1'000'000;
constexpr std::uint16_t kData = 0x60;
constexpr std::uint16_t kStatus = 0x64;
constexpr int kPacketBytes = 5;

PUCHAR port(std::uint16_t number) {
    return reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(number));
}

void waitStatus(std::uint8_t mask, std::uint8_t want) {
    while ((READ_PORT_UCHAR(port(kStatus)) & mask) != want) {
        Sleep(0);
    }
}

void write(std::uint16_t to, std::uint8_t value) {
    waitStatus(0x02, 0x00);
    WRITE_PORT_UCHAR(port(to), value);
}

std::uint8_t readAux() {
    waitStatus(0x21, 0x21);
    return READ_PORT_UCHAR(port(kData));
}

// The controller's start-up as the driver runs it, then the aux interrupt on.
void startController() {
    auto command = [](std::initializer_list<std::uint8_t> frame) {
        for (std::uint8_t byte : frame) {
            write(kStatus, 0xD4);
            write(kData, byte);
            readAux();  // the acknowledge
        }
        readAux();  // header
        const std::uint8_t length = readAux();
        for (int i = 0; i < length; ++i) {
            readAux();
        }
    };
    command({0x0A, 1, 'A'});
    command({0x0A, 1, 'D'});
    command({0x0A, 1, 'E'});
    for (std::uint8_t i = 0; i < 64; ++i) {
        command({0x0A, 2, 'C', i});
    }
    write(kStatus, 0x20);
    waitStatus(0x01, 0x01);
    const std::uint8_t value = READ_PORT_UCHAR(port(kData));
    write(kStatus, 0x60);
    write(kData, static_cast<std::uint8_t>((value & 0xDF) | 0x02));
}

struct Reader {
    DWORD sysIntr = 0;
    volatile LONG stop = 0;
    std::uint64_t packets = 0;
};

DWORD readPackets(LPVOID arg) {
    auto& reader = *static_cast<Reader*>(arg);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    InterruptInitialize(reader.sysIntr, event, nullptr, 0);
    while (reader.stop == 0) {
        if (WaitForSingleObject(event, 100) != WAIT_OBJECT_0) {
            continue;
        }
        for (int i = 0; i < kPacketBytes; ++i) {
            readAux();
        }
        ++reader.packets;
        InterruptDone(reader.sysIntr);
    }
    InterruptDisable(reader.sysIntr);
    CloseHandle(event);
    return 0;
}

void BM_StreamingPanel(benchmark::State& state) {
    hosted::KernelConfig config;
    config.traceKernel = false;  // a trace would grow with every iteration
    config.timeLimit = ~hosted::Micros{0};
    hosted::Kernel kernel(config);
    sim::Machine machine(kernel, sim::MachineConfig{});
    startController();
    Reader reader;
    reader.sysIntr = machine.config().sysIntr;
    // The reader keeps the default priority, the main thread's: it polls with
    // Sleep(0), which yields only to threads of its own priority.
    HANDLE thread = CreateThread(nullptr, 0, readPackets, &reader, 0, nullptr);
    machine.panel().press({400, 240});

    for (auto _ : state) {
        kernel.advance(kOneSecond);
    }

    machine.panel().lift();
    InterlockedExchange(&reader.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    state.counters["virtual_s_per_wall_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["packets_per_virtual_s"] =
        static_cast<double>(reader.packets) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StreamingPanel)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
