// platform_demo: a short run of the hosted kernel in virtual time, printing
// what happened.  A sample thread waits for a device's interrupt with a
// timeout, a worker signals it, the registry gives the settings, and the
// kernel's trace shows the switches at their exact virtual times.
//
// Usage: platform_demo [--trace FILE]
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

namespace {

constexpr DWORD kSysIntr = 10;
constexpr unsigned kLine = 12;
constexpr DWORD kSampleTimeoutMs = 20;

struct Demo {
    HANDLE touchEvent = nullptr;
    HANDLE doneEvent = nullptr;
};

void say(const char* text) {
    const hosted::Kernel& kernel = *hosted::Kernel::current();
    std::printf("%8.3f ms  %s\n", static_cast<double>(kernel.now()) / 1000.0, text);
}

// Waits for the interrupt with a timeout, three rounds, then reports done.
DWORD sampleThread(LPVOID arg) {
    auto& demo = *static_cast<Demo*>(arg);
    for (int round = 1; round <= 3; ++round) {
        const DWORD result = WaitForSingleObject(demo.touchEvent, kSampleTimeoutMs);
        if (result == WAIT_OBJECT_0) {
            say("sample thread: woken by the interrupt");
            InterruptDone(kSysIntr);
        } else {
            say("sample thread: timed out after 20 ms");
        }
    }
    SetEvent(demo.doneEvent);
    return 0;
}

// A lower-priority worker that sleeps, then yields to its equals.
DWORD workerThread(LPVOID) {
    Sleep(5);
    say("worker: slept 5 ms, yielding");
    Sleep(0);
    say("worker: done");
    return 7;
}

DWORD readRegistryDword(LPCWSTR key, LPCWSTR name, DWORD fallback) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &handle) != ERROR_SUCCESS) {
        return fallback;
    }
    DWORD value = fallback;
    DWORD size = sizeof value;
    if (RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) !=
        ERROR_SUCCESS) {
        value = fallback;
    }
    RegCloseKey(handle);
    return value;
}

int run(const char* tracePath) {
    hosted::Kernel kernel;
    kernel.registry().loadText(
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Touch]\n\"Priority256\"=dword:0000006d\n",
        "demo.reg");
    kernel.mapInterrupt(kSysIntr, kLine);

    const DWORD priority =
        readRegistryDword(TEXT("\\Drivers\\BuiltIn\\Touch"), TEXT("Priority256"), 251);
    std::printf("registry: Priority256 = %u\n", priority);
    const DWORD missing = readRegistryDword(TEXT("HARDWARE\\DEVICEMAP\\TOUCH"), TEXT("ioBase"), 0);
    std::printf("registry: ioBase missing, default %u\n", missing);

    Demo demo;
    demo.touchEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    demo.doneEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    InterruptInitialize(kSysIntr, demo.touchEvent, nullptr, 0);

    // The device raises its line at 12 ms and 50 ms.
    kernel.devices().schedule(12'000, [&kernel] { kernel.devices().raiseLine(kLine); });
    kernel.devices().schedule(50'000, [&kernel] { kernel.devices().raiseLine(kLine); });

    HANDLE sampler = CreateThread(nullptr, 0, sampleThread, &demo, 0, nullptr);
    kernel.setThreadName(sampler, "sampler");
    CeSetThreadPriority(sampler, static_cast<int>(priority));
    HANDLE worker = CreateThread(nullptr, 0, workerThread, nullptr, 0, nullptr);
    kernel.setThreadName(worker, "worker");

    say("main: waiting for the sample thread");
    WaitForSingleObject(demo.doneEvent, INFINITE);
    say("main: sample thread finished");
    WaitForSingleObject(worker, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(worker, &code);
    std::printf("worker exit code %u, tick count %u, faults %zu\n", code, GetTickCount(),
                kernel.faults().size());

    InterruptDisable(kSysIntr);
    for (HANDLE h : {sampler, worker, demo.touchEvent, demo.doneEvent}) {
        CloseHandle(h);
    }
    std::printf("open handles %zu, trace lines %zu, trace hash %016llx\n", kernel.openHandleCount(),
                kernel.trace().size(), static_cast<unsigned long long>(kernel.traceHash()));
    if (tracePath != nullptr) {
        kernel.writeTrace(tracePath);
        std::printf("trace written to %s\n", tracePath);
    }
    return kernel.faults().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* tracePath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            tracePath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--trace FILE]\n", argv[0]);
            return 2;
        }
    }
    try {
        return run(tracePath);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "platform_demo: %s\n", error.what());
        return 1;
    }
}
