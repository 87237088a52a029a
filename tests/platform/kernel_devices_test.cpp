// The hosted machine seen from the devices' side: logical interrupts, the
// port bus, device events on the clock, the windowing services and the trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "kernel_harness.hpp"

using hosted::Kernel;
using hosted::KernelConfig;
using hosted::Micros;
using kernel_test::Job;
using kernel_test::Log;
using kernel_test::startThread;
using ::testing::HasSubstr;

namespace {

constexpr DWORD kSysIntr = 17;
constexpr unsigned kLine = 12;

DWORD serviceInterrupts(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    for (;;) {
        if (WaitForSingleObject(job.object, INFINITE) != WAIT_OBJECT_0) {
            return 1;
        }
        job.log->add("interrupt");
    }
}

class KernelInterrupts : public ::testing::Test {
  protected:
    KernelInterrupts() {
        kernel.mapInterrupt(kSysIntr, kLine);
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~KernelInterrupts() override { EXPECT_EQ(kernel.faults().size(), expectedFaults); }
    void edgeAt(Micros at) {
        kernel.devices().schedule(at, [this] { kernel.devices().raiseLine(kLine); });
    }
    void at(Micros time) { kernel.advance(time - kernel.now()); }
    std::vector<Micros> times() const {
        std::vector<Micros> out;
        for (const auto& step : log.steps) {
            out.push_back(step.time);
        }
        return out;
    }

    Kernel kernel;
    Log log;
    HANDLE event;
    std::size_t expectedFaults = 0;
};

TEST_F(KernelInterrupts, AnInterruptStaysMaskedUntilDoneAndEdgesMeanwhileAreDeliveredOnce) {
    ASSERT_TRUE(InterruptInitialize(kSysIntr, event, nullptr, 0));
    Job job{&log, event, "isr"};
    startThread(serviceInterrupts, job, 100);
    edgeAt(1'000);
    edgeAt(2'000);  // masked: latched
    at(5'000);
    InterruptDone(kSysIntr);  // the latched edge comes through at once
    edgeAt(6'000);
    edgeAt(7'000);  // two edges while masked latch one interrupt
    at(8'000);
    InterruptDone(kSysIntr);
    at(9'000);
    InterruptDone(kSysIntr);  // nothing latched: just unmasks
    edgeAt(10'000);
    at(10'500);
    EXPECT_EQ(times(), (std::vector<Micros>{1'000, 5'000, 8'000, 10'000}));
}

TEST_F(KernelInterrupts, DisableDropsALatchedEdgeAndEndsTheBinding) {
    ASSERT_TRUE(InterruptInitialize(kSysIntr, event, nullptr, 0));
    Job job{&log, event, "isr"};
    startThread(serviceInterrupts, job, 100);
    edgeAt(1'000);
    edgeAt(2'000);  // latched
    at(3'000);
    InterruptDisable(kSysIntr);
    edgeAt(4'000);  // not bound: dropped
    at(5'000);
    EXPECT_EQ(times(), std::vector<Micros>{1'000});

    ASSERT_TRUE(InterruptInitialize(kSysIntr, event, nullptr, 0));  // may be bound again
    edgeAt(6'000);
    at(7'000);
    EXPECT_EQ(times(), (std::vector<Micros>{1'000, 6'000}));
}

TEST_F(KernelInterrupts, BindingRefusesNoneUnmappedAlreadyBoundAndBadEvents) {
    EXPECT_FALSE(InterruptInitialize(0, event, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(InterruptInitialize(kSysIntr + 1, event, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(InterruptInitialize(kSysIntr, event, nullptr, 0));
    SetLastError(0);
    EXPECT_FALSE(InterruptInitialize(kSysIntr, event, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Identifier 0 and unbound identifiers are harmless for Done and Disable.
    InterruptDone(0);
    InterruptDisable(0);
    InterruptDone(kSysIntr + 1);
    InterruptDisable(kSysIntr + 1);
    InterruptDisable(kSysIntr);
    InterruptDisable(kSysIntr);

    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    EXPECT_FALSE(InterruptInitialize(kSysIntr, semaphore, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_THAT(kernel.faults().at(0).what, HasSubstr("is a semaphore, not an event"));
    expectedFaults = 1;
    CloseHandle(semaphore);
}

TEST_F(KernelInterrupts, AnInterruptAtTheDeadlineOfAWaitWinsOverTheTimeout) {
    ASSERT_TRUE(InterruptInitialize(kSysIntr, event, nullptr, 0));
    edgeAt(10'000);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.now(), 10'000u);
}

// ---- The port bus ----

// Eight ports that remember what was written and count accesses.
class Latches : public hosted::PortDevice {
  public:
    std::uint8_t readPort(std::uint16_t port) override {
        ++reads;
        return values[port & 7];
    }
    void writePort(std::uint16_t port, std::uint8_t value) override { values[port & 7] = value; }
    std::uint8_t values[8] = {};
    int reads = 0;
};

PUCHAR port(unsigned number) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(number));
}

TEST(KernelPorts, ClaimedPortsReachTheirDeviceAndUnclaimedOnesFloatHigh) {
    KernelConfig config;
    config.tracePorts = true;
    Kernel kernel(config);
    Latches latches;
    kernel.mapPorts(0x60, 0x67, latches);
    WRITE_PORT_UCHAR(port(0x61), 0x5A);
    EXPECT_EQ(READ_PORT_UCHAR(port(0x61)), 0x5A);
    EXPECT_EQ(READ_PORT_UCHAR(port(0x68)), 0xFF);
    WRITE_PORT_UCHAR(port(0x68), 0x00);  // goes nowhere
    EXPECT_EQ(READ_PORT_UCHAR(port(0x68)), 0xFF);
    EXPECT_EQ(latches.reads, 1);
    EXPECT_EQ(kernel.now(), 5u);  // one microsecond per access

    ASSERT_EQ(kernel.portTrace().size(), 5u);
    const hosted::PortAccess& write = kernel.portTrace()[0];
    EXPECT_EQ(write.time, 1u);
    EXPECT_EQ(write.port, 0x61);
    EXPECT_EQ(write.value, 0x5A);
    EXPECT_TRUE(write.write);
    EXPECT_FALSE(kernel.portTrace()[1].write);

    Latches other;
    EXPECT_THROW(kernel.mapPorts(0x67, 0x70, other), std::invalid_argument);
    kernel.unmapPorts(latches);
    EXPECT_EQ(READ_PORT_UCHAR(port(0x61)), 0xFF);
    EXPECT_TRUE(kernel.faults().empty());
}

TEST(KernelPorts, DeviceEventsDueDuringAnAccessRunBeforeItCompletes) {
    Kernel kernel;
    Latches latches;
    kernel.mapPorts(0x60, 0x67, latches);
    kernel.advance(10);
    kernel.devices().schedule(11, [&] { latches.values[0] = 0x42; });
    EXPECT_EQ(READ_PORT_UCHAR(port(0x60)), 0x42);  // the access spans 10..11 us
    EXPECT_EQ(kernel.now(), 11u);
}

TEST(KernelDeviceEvents, EventsRunInTimeOrderFirstScheduledFirstAndCanBeCancelled) {
    Kernel kernel;
    std::string order;
    auto& devices = kernel.devices();
    devices.schedule(500, [&] { order += "b"; });
    devices.schedule(200, [&] { order += "a"; });
    devices.schedule(500, [&] { order += "c"; });
    const hosted::DeviceEventId dropped = devices.schedule(300, [&] { order += "x"; });
    devices.schedule(400, [&] {
        order += "d";
        devices.schedule(0, [&] { order += "e"; });  // in the past: runs now, after d
    });
    devices.cancel(dropped);
    devices.cancel(dropped);  // harmless twice
    kernel.advance(1'000);
    EXPECT_EQ(order, "adebc");
    EXPECT_EQ(devices.now(), 1'000u);
}

// ---- Windowing services ----

TEST(KernelWindowing, TheDisplayQueryReportsTheOrientationAndCursorMovesAreRecorded) {
    Kernel kernel;
    kernel.setDisplayOrientation(DMDO_270);
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    mode.dmFields = DM_DISPLAYORIENTATION;
    EXPECT_EQ(ChangeDisplaySettingsEx(nullptr, &mode, nullptr, CDS_TEST, nullptr),
              DISP_CHANGE_SUCCESSFUL);
    EXPECT_EQ(mode.dmDisplayOrientation, static_cast<DWORD>(DMDO_270));

    kernel.setDisplayQueryFails(true);
    mode.dmDisplayOrientation = 77;
    EXPECT_EQ(ChangeDisplaySettingsEx(nullptr, &mode, nullptr, CDS_TEST, nullptr),
              DISP_CHANGE_FAILED);
    EXPECT_EQ(mode.dmDisplayOrientation, 77u);  // untouched

    kernel.advance(2'500);
    EXPECT_TRUE(SetCursorPos(320, -4));
    ASSERT_EQ(kernel.cursorMoves().size(), 1u);
    EXPECT_EQ(kernel.cursorMoves()[0].time, 2'500u);
    EXPECT_EQ(kernel.cursorMoves()[0].x, 320);
    EXPECT_EQ(kernel.cursorMoves()[0].y, -4);
}

// ---- The trace ----

DWORD setOnce(LPVOID arg) {
    SetEvent(static_cast<Job*>(arg)->object);
    return 0;
}

TEST(KernelTrace, TheTraceNamesThreadsAndIsWrittenAsTheTextItsHashCovers) {
    Kernel kernel;
    Log log;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Job job{&log, event, "setter"};
    HANDLE thread = CreateThread(nullptr, 0, setOnce, &job, 0, nullptr);
    kernel.setThreadName(thread, "setter");
    const std::uint64_t before = kernel.traceHash();
    WaitForSingleObject(event, INFINITE);
    EXPECT_NE(kernel.traceHash(), before);

    std::string text;
    for (const auto& record : kernel.trace()) {
        text += std::to_string(record.time) + " " + record.thread + " " + record.what + "\n";
    }
    EXPECT_THAT(text, HasSubstr("0 main switch to setter"));
    EXPECT_THAT(text, HasSubstr("0 setter wakes main"));
    EXPECT_THAT(text, HasSubstr("0 setter ends with code 0"));

    const std::string path = ::testing::TempDir() + "kernel_trace.txt";
    kernel.writeTrace(path);
    std::ifstream in(path, std::ios::binary);
    std::stringstream written;
    written << in.rdbuf();
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : written.str()) {
        hash = (hash ^ c) * 0x100000001b3ull;
    }
    EXPECT_EQ(hash, kernel.traceHash());
    EXPECT_THAT(written.str(), HasSubstr("0.000000 setter ends with code 0\n"));
    std::remove(path.c_str());
    CloseHandle(thread);
    CloseHandle(event);
    EXPECT_THROW(kernel.setThreadName(event, "closed"), std::invalid_argument);
}

}  // namespace
