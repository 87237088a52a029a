// The click beeper on its own: ClickSetup, ClickTrigger and ClickTeardown
// called directly on a hosted kernel with only the speaker mapped, heard
// through the speaker model's timeline in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "driver/click/click.h"
#include "driver/core/driver_state.h"
#include "platform/hosted/kernel.hpp"
#include "sim/speaker.hpp"
#include "support/virtual_time.hpp"

namespace {

using hosted::Micros;
using ::testing::ElementsAre;
using ::testing::Pair;

constexpr const char* kTouchKey = "HARDWARE\\DEVICEMAP\\TOUCH";
using touch_test::kMs;
// A tone edge lags the call that caused it by the click's few port accesses,
// each one I/O cycle of virtual time.
constexpr Micros kPortSlack = 10;

hosted::RegValue dwordValue(std::uint32_t number) {
    return {REG_DWORD,
            {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
             static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)}};
}

class BeeperTest : public ::testing::Test {
  protected:
    static hosted::KernelConfig kernelConfig() {
        hosted::KernelConfig config;
        config.tracePorts = true;
        config.mainPriority = 100;  // the test runs ahead of the BeepThread until it waits
        return config;
    }

    BeeperTest() : kernel_(kernelConfig()), speaker_(kernel_.devices()) {
        kernel_.mapPorts(sim::Speaker::kCounterPort, sim::Speaker::kControlPort, speaker_);
        kernel_.mapPorts(sim::Speaker::kSystemPort, sim::Speaker::kSystemPort, speaker_);
        baseHandles_ = kernel_.openHandleCount();
    }

    // Every test ends with clicks off, no thread, no handle and no fault left.
    void TearDown() override {
        ClickTeardown();
        kernel_.advance(kMs);
        EXPECT_EQ(kernel_.openHandleCount(), baseHandles_ + leakedHandles_);
        EXPECT_EQ(kernel_.liveThreadCount(), 1u) << kernel_.threadReport();
        EXPECT_TRUE(kernel_.faults().empty()) << kernel_.faults().front().what;
        EXPECT_FALSE(speaker_.sounding());
    }

    ~BeeperTest() override { kernel_.unmapPorts(speaker_); }

    void store(const char* name, hosted::RegValue value) {
        kernel_.registry().setValue(kTouchKey, name, std::move(value));
    }
    void store(const char* name, std::uint32_t number) { store(name, dwordValue(number)); }

    void switchOn() {
        store("BeepEnable", 1);
        ASSERT_EQ(ClickSetup(), TRUE);
    }

    std::vector<sim::Click> clicks() const { return speaker_.clicks(); }

    static void expectClick(const sim::Click& click, Micros start, Micros length,
                            std::uint32_t divisor) {
        EXPECT_NEAR(static_cast<double>(click.start), static_cast<double>(start), kPortSlack);
        EXPECT_NEAR(static_cast<double>(click.length), static_cast<double>(length), kPortSlack);
        EXPECT_EQ(click.divisor, divisor);
    }

    hosted::Kernel kernel_;
    sim::Speaker speaker_;
    std::size_t baseHandles_ = 0;
    std::size_t leakedHandles_ = 0;
};

// ---- Settings from the registry ----

struct SettingCase {
    const char* value;
    hosted::RegValue stored;
    DWORD frequency;
    DWORD duration;
};

void PrintTo(const SettingCase& setting, std::ostream* out) {
    *out << setting.value << " of type " << setting.stored.type << " in "
         << setting.stored.data.size() << " bytes";
}

class BeeperSettingTest : public BeeperTest, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(BeeperSettingTest, TakesAcceptedValuesAndKeepsDefaultsForTheRest) {
    const SettingCase& setting = GetParam();
    store(setting.value, setting.stored);
    switchOn();
    EXPECT_EQ(Click.BeepFrequency, setting.frequency);
    EXPECT_EQ(Click.BeepDuration, setting.duration);

    const Micros pressed = kernel_.now();
    ClickTrigger();
    kernel_.advance(300 * kMs);
    const std::vector<sim::Click> heard = clicks();
    ASSERT_EQ(heard.size(), 1u);
    expectClick(heard[0], pressed, setting.duration * kMs, sim::kTimerClockHz / setting.frequency);
}

INSTANTIATE_TEST_SUITE_P(
    Range, BeeperSettingTest,
    ::testing::Values(SettingCase{"BeepFreq", dwordValue(100), 100, 50},    // divisor 11931
                      SettingCase{"BeepFreq", dwordValue(121), 121, 50},    // 9860.99: 9860
                      SettingCase{"BeepFreq", dwordValue(3000), 3000, 50},  // divisor 397
                      SettingCase{"BeepFreq", dwordValue(99), 1500, 50},
                      SettingCase{"BeepFreq", dwordValue(3001), 1500, 50},
                      SettingCase{"BeepFreq", dwordValue(0xFFFFFFFFu), 1500, 50},
                      SettingCase{"BeepDelay", dwordValue(10), 1500, 10},
                      SettingCase{"BeepDelay", dwordValue(200), 1500, 200},
                      SettingCase{"BeepDelay", dwordValue(9), 1500, 50},
                      SettingCase{"BeepDelay", dwordValue(201), 1500, 50},
                      SettingCase{"BeepDelay", dwordValue(0xFFFFFFF6u), 1500, 50}));

INSTANTIATE_TEST_SUITE_P(
    StoredForm, BeeperSettingTest,
    ::testing::Values(
        // A string does not fit the 4-byte number.
        SettingCase{"BeepFreq", {REG_SZ, {'2', 0, '0', 0, '0', 0, '0', 0, 0, 0}}, 1500, 50},
        // Two bytes are not a 32-bit number, even though they would be in range.
        SettingCase{"BeepFreq", {REG_BINARY, {0xD0, 0x07}}, 1500, 50},
        SettingCase{"BeepDelay", {REG_BINARY, {100, 0, 0, 0, 0, 0, 0, 0}}, 1500, 50},
        // Four bytes are a number whatever type they are stored as.
        SettingCase{"BeepDelay", {REG_BINARY, {100, 0, 0, 0}}, 1500, 100}));

// ---- Clicks off ----

TEST_F(BeeperTest, ClicksStayOffWithoutAnEnablingValue) {
    struct Case {
        const char* name;
        void (*prepare)(hosted::Kernel&);
    };
    const Case cases[] = {
        {"no key", [](hosted::Kernel&) {}},
        {"no BeepEnable",
         [](hosted::Kernel& k) { k.registry().setDword(kTouchKey, "BeepFreq", 2000); }},
        {"BeepEnable 0",
         [](hosted::Kernel& k) { k.registry().setDword(kTouchKey, "BeepEnable", 0); }},
        {"BeepEnable too long",
         [](hosted::Kernel& k) { k.registry().setString(kTouchKey, "BeepEnable", u"yes"); }},
        {"key cannot be opened",
         [](hosted::Kernel& k) {
             k.registry().setDword(kTouchKey, "BeepEnable", 1);
             k.failCall(hosted::FaultPoint::RegistryOpen);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kernel_.registry().removeKey(kTouchKey);
        kernel_.clearFailures();
        c.prepare(kernel_);
        EXPECT_EQ(ClickSetup(), FALSE);
        EXPECT_EQ(Click.BeepEnabled, 0u);
        EXPECT_EQ(BeepThread, nullptr);
        EXPECT_EQ(kernel_.openHandleCount(), baseHandles_);
        EXPECT_EQ(kernel_.liveThreadCount(), 1u);
        ClickTrigger();
        kernel_.advance(100 * kMs);
    }
    kernel_.clearFailures();
    EXPECT_TRUE(clicks().empty());
    EXPECT_TRUE(kernel_.portTrace().empty());
}

// ---- Sounding ----

TEST_F(BeeperTest, DefaultClickProgramsChannelTwoAndKeepsTheOtherControlBits) {
    switchOn();
    const Micros pressed = kernel_.now();
    ClickTrigger();
    kernel_.advance(100 * kMs);

    std::vector<std::pair<std::uint16_t, int>> writes;
    for (const hosted::PortAccess& access : kernel_.portTrace()) {
        if (access.write) {
            // Port 0x61 reads back live status in bits 4..7; only 0..3 are kept.
            const int kept = access.port == sim::Speaker::kSystemPort ? 0x0F : 0xFF;
            writes.emplace_back(access.port, access.value & kept);
        }
    }
    EXPECT_THAT(writes, ElementsAre(Pair(0x43, 0xB6), Pair(0x42, 0x1B), Pair(0x42, 0x03),
                                    Pair(0x61, 0x0F), Pair(0x61, 0x0C)));
    const std::vector<sim::Click> heard = clicks();
    ASSERT_EQ(heard.size(), 1u);
    expectClick(heard[0], pressed, 50 * kMs, 795);
    EXPECT_EQ(speaker_.systemBits(), 0x0C);
}

TEST_F(BeeperTest, NewPenDownCutsTheSoundingClickShortAndStartsAFullOne) {
    switchOn();
    const Micros first = kernel_.now();
    ClickTrigger();
    kernel_.advance(20 * kMs);
    ClickTrigger();
    kernel_.advance(200 * kMs);
    const std::vector<sim::Click> heard = clicks();
    ASSERT_EQ(heard.size(), 2u);
    expectClick(heard[0], first, 20 * kMs, 795);
    expectClick(heard[1], first + 20 * kMs, 50 * kMs, 795);
}

TEST_F(BeeperTest, AtMostTenClicksWaitAndTheyFollowOneAnother) {
    switchOn();
    Micros next = kernel_.now();
    for (int press = 0; press < 11; ++press) {
        ClickTrigger();  // the BeepThread cannot run before the test waits
    }
    kernel_.advance(1000 * kMs);
    const std::vector<sim::Click> heard = clicks();
    ASSERT_EQ(heard.size(), 10u);
    for (std::size_t i = 0; i < heard.size(); ++i) {
        SCOPED_TRACE(i);
        expectClick(heard[i], next, 50 * kMs, 795);
        next = heard[i].start + heard[i].length;
    }
}

// ---- Teardown ----

TEST_F(BeeperTest, TeardownWhileIdleIsSilentAndRestoresTheDefaults) {
    store("BeepFreq", 3000);
    store("BeepDelay", 200);
    switchOn();
    kernel_.advance(10 * kMs);
    const Micros before = kernel_.now();
    ClickTeardown();
    EXPECT_EQ(kernel_.now(), before);  // the idle thread leaves at once
    EXPECT_EQ(kernel_.liveThreadCount(), 1u);
    EXPECT_EQ(kernel_.openHandleCount(), baseHandles_);
    EXPECT_EQ(Click.BeepEnabled, 0u);
    EXPECT_EQ(Click.BeepFrequency, 1500u);
    EXPECT_EQ(Click.BeepDuration, 50u);
    EXPECT_EQ(Click.BeepSemaphore, nullptr);
    EXPECT_EQ(Click.BeepStopEvent, nullptr);
    EXPECT_EQ(BeepThread, nullptr);
    ClickTrigger();
    kernel_.advance(100 * kMs);
    EXPECT_TRUE(clicks().empty());
    EXPECT_TRUE(kernel_.portTrace().empty());
}

TEST_F(BeeperTest, TeardownDuringAClickWaitsForTheThreadWithTheSpeakerOff) {
    store("BeepDelay", 200);
    switchOn();
    const Micros pressed = kernel_.now();
    ClickTrigger();
    kernel_.advance(10 * kMs);
    ASSERT_TRUE(speaker_.sounding());
    ClickTeardown();
    EXPECT_NEAR(static_cast<double>(kernel_.now()), static_cast<double>(pressed + 200 * kMs),
                kPortSlack);
    EXPECT_FALSE(speaker_.sounding());
    EXPECT_EQ(kernel_.liveThreadCount(), 1u);
    EXPECT_EQ(kernel_.openHandleCount(), baseHandles_);
    ASSERT_EQ(clicks().size(), 1u);
    expectClick(clicks()[0], pressed, 200 * kMs, 795);
}

TEST_F(BeeperTest, SecondSetupReplacesTheRunningClickInsteadOfOrphaningIt) {
    switchOn();
    const std::size_t handlesWhileOn = kernel_.openHandleCount();
    ASSERT_EQ(ClickSetup(), TRUE);
    EXPECT_EQ(kernel_.openHandleCount(), handlesWhileOn);
    EXPECT_EQ(kernel_.liveThreadCount(), 2u);
}

// A thread that keeps the processor from the BeepThread (it outranks it) but
// not from the test.
std::atomic<bool> hogRuns{false};
DWORD hogProcessor(LPVOID) {
    while (hogRuns.load()) {
        Sleep(0);
    }
    return 0;
}

TEST_F(BeeperTest, TeardownGivesUpOnAStarvedThreadButSilencesTheSpeakerAndKeepsItsHandles) {
    store("BeepDelay", 100);
    switchOn();
    ClickTrigger();
    kernel_.advance(10 * kMs);
    ASSERT_TRUE(speaker_.sounding());

    hogRuns = true;
    HANDLE hog = CreateThread(nullptr, 0, hogProcessor, nullptr, 0, nullptr);
    ASSERT_NE(hog, nullptr);
    CeSetThreadPriority(hog, 200);
    const Micros before = kernel_.now();
    ClickTeardown();
    // Four waits of 100 ms, all in vain.
    EXPECT_NEAR(static_cast<double>(kernel_.now() - before), 400.0 * kMs, kPortSlack);
    EXPECT_FALSE(speaker_.sounding());
    EXPECT_EQ(Click.BeepEnabled, 0u);
    EXPECT_EQ(BeepThread, nullptr);
    EXPECT_TRUE(kernel_.faults().empty());

    // Once it gets the processor, the thread leaves by itself, using only
    // the handles that were left open for it.
    hogRuns = false;
    EXPECT_EQ(WaitForSingleObject(hog, 10), WAIT_OBJECT_0);
    CloseHandle(hog);
    kernel_.advance(10 * kMs);
    EXPECT_EQ(kernel_.liveThreadCount(), 1u);
    EXPECT_EQ(clicks().size(), 1u);
    leakedHandles_ = 3;  // semaphore, stop event and thread
}

}  // namespace
